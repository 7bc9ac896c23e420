// The administration command line, as a function so that tests can drive it.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace pv::check {

int RunAdmin(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

// The filter sends names and passwords unescaped: a "&" would cut the value short, a "#" or a
// blank may never reach the service intact. Such values could never be verified, so they are
// refused up front. Empty string: acceptable; otherwise the reason.
std::string CheckAccountName(std::string_view name);
std::string CheckPassword(std::string_view password);
// A relocation address must be an absolute http(s) address the filter can store whole: it
// reads at most 255 bytes of a reply, 3 of them the code.
std::string CheckRelocation(std::string_view address);

inline constexpr size_t kMaxRelocationBytes = 252;

// Console administrators log in with a form, not the checking query: any printable name.
std::string CheckAdministratorName(std::string_view name);

// A time in milliseconds since the epoch as UTC ISO 8601 text, for listings and exports.
std::string TimeText(int64_t ms);

class RuleIndex;

// What the service answers a verified account (or, for an unknown name, the stranger
// profile) for address, and which rule or policy decided: the check tools of the command
// line and the console both answer through this.
struct CheckAnswer {
    std::string reply; // "000", "001" or "004" + the new address
    std::string reason;
    bool knownAccount = false;
};
CheckAnswer CheckAddress(const RuleIndex& index, std::string_view name, std::string_view address);

} // namespace pv::check
