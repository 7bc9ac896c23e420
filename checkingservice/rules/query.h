// The checking query as the filter sends it: nothing in it is escaped, so the usual query
// parsing (split on every "&", decode %xx) would cut addresses that hold "&" or "=" and mangle
// the rest. The rules here read the raw request target instead.
#pragma once

#include <optional>
#include <string_view>

namespace pv::check {

struct CheckQuery {
    std::string_view path;               // the target up to its first "?"
    std::optional<std::string_view> log; // account name
    std::optional<std::string_view> pwd; // password, in clear: never log it
    std::optional<std::string_view> url; // the address to judge
};

// url is everything after the first "&url=" (a leading "url=" also counts, for hand-made
// queries); log and pwd are the first "log=" / "pwd=" that start a parameter before that
// point, each running up to the next "&".
CheckQuery ParseCheckTarget(std::string_view target);

} // namespace pv::check
