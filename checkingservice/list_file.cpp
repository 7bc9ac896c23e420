#include "checkingservice/list_file.h"

namespace pv::check {

ListFile read_list_file(std::istream &in, RuleKind default_kind) {
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
    text = trim(text);
    if (text.empty()) continue;

    RuleKind kind = default_kind;
    if (const size_t colon = text.find(':'); colon != std::string_view::npos) {
      if (const auto named = parse_kind(text.substr(0, colon))) {
        kind = *named;
        text = trim(text.substr(colon + 1));
      }
    }
    PatternResult result = normalize_pattern(kind, text);
    if (!result.error.empty()) {
      file.problems.push_back({file.lines, std::move(result.error)});
      continue;
    }
    file.entries.emplace_back(kind, std::move(result.key));
  }
  return file;
}

}  // namespace pv::check
