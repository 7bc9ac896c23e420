#include "guard/verdict.h"

#include "guard/ansi_text.h"
#include "guard/checking_service.h"
#include "store/vigil_app.h"

namespace pv {

int32_t JudgeURL(CVigilApp& app, OptWide address, OptWide accountName, OptWide password) {
    Platform& platform = app.GetPlatform();
    CheckingServiceClient service(app);
    // Each pass is one whole verdict: a relocation stores the new checking address and judges
    // the navigation again from the start, pass flag and lists included.
    for (int relocations = 0;; ++relocations) {
        // A raise belongs to exactly one caller, even when several tabs navigate at the same moment.
        if (app.ConsumePassOnce()) return 1;

        // Only an absent value is filled in: an empty one is the caller's deliberate choice. A
        // stored value the code page cannot carry stays absent and is sent as nothing.
        if (!accountName) accountName = platform.AnsiToWide(UpToNul(app.Name()));
        if (!password) password = platform.AnsiToWide(UpToNul(app.Password()));

        // An address the code page cannot carry can be neither compared nor sent faithfully:
        // asking about a mangled or empty text would let the real page through. An absent address
        // is compared as the empty string, which only an empty list entry matches.
        const std::optional<std::string> text = ConvertedText(platform, address);
        if (!text) return 0;
        switch (app.m_data.Classify(*text)) {
        case Listed::Prohibited:
            return 0;
        case Listed::Allowed:
            return 1;
        case Listed::Neither:
            break;
        }

        const ServiceReply reply = service.Ask(address, accountName, password);
        if (reply.kind != ServiceReply::Kind::Relocate)
            return reply.kind == ServiceReply::Kind::Forbid ? 0 : 1;
        // The new address lasts: later queries of this process and later starts use it.
        app.StoreCheckURL(reply.address);
        // A service that relocates every query would otherwise be asked without end.
        if (relocations >= kMaxRelocations) return 1;
    }
}

} // namespace pv
