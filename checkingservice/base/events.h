// The service's own log lines (standard error): start, reloads, malformed requests, storage
// trouble. Lines are rate limited so that a flood of bad requests cannot flood the log, and
// anything taken from a request goes through printable() first. Passwords never get here.
#pragma once

#include <string>
#include <string_view>

namespace pv::check {

void LogEvent(std::string_view message);

// Quiet mode drops everything but errors (benchmarks).
void SetEventLogQuiet(bool quiet);
void LogError(std::string_view message);

// Control bytes and bytes above 0x7e become \xNN; at most max_length input bytes are shown.
std::string Printable(std::string_view text, size_t maxLength = 200);

} // namespace pv::check
