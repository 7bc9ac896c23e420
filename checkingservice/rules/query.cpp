#include "checkingservice/rules/query.h"

namespace pv::check {
namespace {

std::optional<std::string_view> FindParam(std::string_view params, std::string_view key) {
    size_t from = 0;
    while (from <= params.size()) {
        const size_t at = params.find(key, from);
        if (at == std::string_view::npos) return std::nullopt;
        // A parameter starts the query or follows a separator; the checking address may itself
        // end in a query, so "?" separates as well as "&".
        if (at == 0 || params[at - 1] == '&' || params[at - 1] == '?') {
            std::string_view value = params.substr(at + key.size());
            return value.substr(0, value.find('&'));
        }
        from = at + 1;
    }
    return std::nullopt;
}

} // namespace

CheckQuery ParseCheckTarget(std::string_view target) {
    CheckQuery query;
    const size_t question = target.find('?');
    query.path = target.substr(0, question);
    if (question == std::string_view::npos) return query;

    std::string_view params = target.substr(question + 1);
    if (const size_t urlAt = params.find("&url="); urlAt != std::string_view::npos) {
        query.url = params.substr(urlAt + 5);
        params = params.substr(0, urlAt);
    } else if (params.starts_with("url=")) {
        query.url = params.substr(4);
        params = {};
    }
    query.log = FindParam(params, "log=");
    query.pwd = FindParam(params, "pwd=");
    return query;
}

} // namespace pv::check
