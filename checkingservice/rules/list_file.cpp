#include "checkingservice/rules/list_file.h"

namespace pv::check {
namespace {

// Most lines of a large list are bare lowercase host names, which are their own normal form:
// NormalizePattern would only copy them. Anything else (upper case, "*.", ports, paths,
// escapes, dots at either end) takes the full path.
bool PlainHost(std::string_view text) {
    if (text.front() == '.' || text.back() == '.') return false;
    for (const char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (!ok) return false;
    }
    return true;
}

} // namespace

ListFile ReadListFile(std::istream& in, RuleKind defaultKind) {
    ListFile file;
    std::string line;
    while (std::getline(in, line)) {
        ++file.lines;
        std::string_view text = line;
        for (size_t at = text.find('#'); at != std::string_view::npos; at = text.find('#', at + 1)) {
            if (at == 0 || text[at - 1] == ' ' || text[at - 1] == '\t') {
                text = text.substr(0, at);
                break;
            }
        }
        text = Trim(text);
        if (text.empty()) continue;

        RuleKind kind = defaultKind;
        if (const size_t colon = text.find(':'); colon != std::string_view::npos) {
            if (const auto named = ParseKind(text.substr(0, colon))) {
                kind = *named;
                text = Trim(text.substr(colon + 1));
            }
        }
        if ((kind == RuleKind::Domain || kind == RuleKind::Host) && PlainHost(text)) {
            file.entries.emplace_back(kind, std::string(text));
            continue;
        }
        PatternResult result = NormalizePattern(kind, text);
        if (!result.error.empty()) {
            file.problems.push_back({file.lines, std::move(result.error)});
            continue;
        }
        file.entries.emplace_back(kind, std::move(result.key));
    }
    return file;
}

} // namespace pv::check
