// A navigation's verdict: the pass flag, the local Prohibited and Allowed lists, then the
// checking service, following its relocations.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace pv {

class CVigilApp;

// Successive relocation replies followed within one verdict before giving up (and allowing).
inline constexpr int kMaxRelocations = 8;

// 1 allows the address, 0 refuses it. An absent name or password is filled in from the
// settings; an address the code page cannot carry is refused.
int32_t JudgeURL(CVigilApp& app, OptWide address, OptWide accountName, OptWide password);

} // namespace pv
