// Address parsing shared by the rule index and the administration tool.
//
// Addresses arrive exactly as the browser navigated to them. Matching is done on a light
// canonical form: scheme and host are case-insensitive on the web, so they are lowercased;
// everything after the host is compared byte for byte.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pv::check {

enum class RuleKind : unsigned char { Exact, Prefix, Host, Domain };

struct AddressParts {
    // Lowercased scheme; empty when the address starts with its host.
    std::string scheme;
    // Lowercased scheme and host, userinfo and default port dropped, rest verbatim ("/" when
    // the address ends right after the host).
    std::string canonical;
    // Lowercased host without userinfo, port or trailing dots; %xx sequences decoded. Empty
    // for addresses that name no host ("about:blank", "javascript:...").
    std::string host;
    // Everything from the end of the host on: path, query and fragment; "/" if nothing.
    std::string path;
    // A numeric host (IPv4 dotted or bracketed IPv6) has no parent domains.
    bool hostIsIp = false;
};

AddressParts ParseAddress(std::string_view address);
// The same into parts, whose strings keep their memory for the next address.
void ParseAddress(std::string_view address, AddressParts& parts);

std::string_view KindName(RuleKind kind);
std::optional<RuleKind> ParseKind(std::string_view name);

// Turns what an administrator typed (or a list file holds) into the stored key of a rule of
// the given kind, or explains why it cannot be one:
//   exact  - a whole address with its scheme, stored canonical;
//   prefix - host plus path prefix ("example.com/games/"), any scheme, any port;
//   host   - one host name, exactly;
//   domain - a domain and all of its subdomains ("*." and a leading dot are accepted).
// Host and domain patterns may be given as whole addresses; only their host counts.
struct PatternResult {
    std::string key;
    std::string error; // empty on success
};
PatternResult NormalizePattern(RuleKind kind, std::string_view text);

// Text without ASCII blanks and line ends at either end.
std::string_view Trim(std::string_view text);

} // namespace pv::check
