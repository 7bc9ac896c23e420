// The guard's view of the browser's strings: what a wide value becomes once converted to the
// NUL-terminated ANSI text that is compared with the lists and sent to the checking service.
#pragma once

#include <string>

#include "platform/platform.h"

namespace pv {

// The text of a value; nullopt when the value is present but the thread's code page cannot carry
// it. An absent value is the empty text. A NUL inside the value ends it, as it would end the C
// string the text stands for.
inline std::optional<std::string> ConvertedText(Platform& platform, const OptWide& value) {
    if (!value) return std::string();
    std::optional<std::string> ansi = platform.WideToAnsi(*value);
    if (ansi) {
        if (auto nul = ansi->find('\0'); nul != std::string::npos) ansi->resize(nul);
    }
    return ansi;
}

// An absent value, or one the thread's code page cannot convert, contributes no text at all.
inline std::string AnsiTextOf(Platform& platform, const OptWide& value) {
    return ConvertedText(platform, value).value_or(std::string());
}

// The stored text ends at its first NUL as well: a registry value may carry one inside.
inline std::string UpToNul(std::string text) {
    if (auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
    return text;
}

} // namespace pv
