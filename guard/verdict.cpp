// JudgeURL: the local part of a navigation's verdict (pass flag, account fill-in, Prohibited list,
// Allowed list) before handing over to the checking service.
#include "guard/ansi_text.h"
#include "store/vigil_app.h"

namespace pv {

int32_t CVigilApp::JudgeURL(OptWide address, OptWide accountName, OptWide password) {
    return JudgeURLAt(std::move(address), std::move(accountName), std::move(password), 0);
}

int32_t CVigilApp::JudgeURLAt(OptWide address, OptWide accountName, OptWide password,
                              int relocations) {
    // A raise belongs to exactly one caller, even when several tabs navigate at the same moment.
    if (ConsumePassOnce()) return 1;

    // Only an absent value is filled in: an empty one is the caller's deliberate choice. A stored
    // value the code page cannot carry stays absent and is sent as nothing.
    if (!accountName) accountName = m_platform.AnsiToWide(UpToNul(Name()));
    if (!password) password = m_platform.AnsiToWide(UpToNul(Password()));

    // An address the code page cannot carry can be neither compared nor sent faithfully: asking
    // about a mangled or empty text would let the real page through. An absent address is
    // compared as the empty string, which only an empty list entry matches.
    const std::optional<std::string> text = ConvertedText(m_platform, address);
    if (!text) return 0;
    switch (m_data.Classify(*text)) {
    case Listed::Prohibited:
        return 0;
    case Listed::Allowed:
        return 1;
    case Listed::Neither:
        break;
    }
    return QueryCheckingServiceAt(address, accountName, password, relocations);
}

} // namespace pv
