// The weekly schedule of allowed Internet time, checked before every verdict.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/platform.h"
#include "store/data.h"

namespace pv {

class CVigilApp;

inline constexpr const char* kTimeLimitMessage = "You Internet operation time is limited at the moment!";

// Whether the schedule allows Internet use at `now`. Without a readable, plausible clock a
// limiting schedule refuses: allowing would let anyone who can break the clock (or its time zone
// data) switch the limitation off.
bool ScheduleAllows(const Schedule& schedule, const std::optional<LocalTime>& now);

// The guard's check: 1 when the pass flag was raised (taking it) or the schedule allows now;
// otherwise shows the time-limit message and answers 0.
int32_t IsTimeAllowed(CVigilApp& app);

} // namespace pv
