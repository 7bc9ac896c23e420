#include "guard/checking_service.h"

#include <cctype>
#include <cstring>

#include "guard/ansi_text.h"
#include "store/vigil_app.h"

namespace pv {

namespace {

constexpr uint32_t kReplyLimit = 255; // bytes of the body that are read, in one read
constexpr char kCodeForbidden[] = "001";
constexpr char kCodeRelocate[] = "004";
constexpr std::size_t kCodeLength = 3;

bool HasCode(std::string_view reply, const char (&code)[kCodeLength + 1]) {
    return reply.size() >= kCodeLength && std::memcmp(reply.data(), code, kCodeLength) == 0;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

// A relocation lasts and the next query carries the account's name and password to it, so only
// an absolute http or https address with a host is taken, and nothing in it may split a request
// line or a header (blanks, line ends, other control bytes).
bool IsCheckingAddress(std::string_view text) {
    std::size_t start;
    if (StartsWithNoCase(text, "http://")) {
        start = 7;
    } else if (StartsWithNoCase(text, "https://")) {
        start = 8;
    } else {
        return false;
    }
    for (unsigned char c : text) {
        if (c <= 0x20 || c == 0x7F) return false;
    }
    std::string_view authority = text.substr(start, text.find_first_of("/?#", start) - start);
    if (std::size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
    // A port alone is no host; "[" opens an IPv6 literal that must be closed.
    if (authority.empty() || authority.front() == ':') return false;
    return authority.front() != '[' || authority.find(']') != std::string_view::npos;
}

} // namespace

ServiceReply ParseServiceReply(std::string_view reply) {
    if (HasCode(reply, kCodeRelocate)) {
        // The new address is the rest of the reply, up to a NUL inside it.
        std::string moved = UpToNul(std::string(reply.substr(kCodeLength)));
        if (!IsCheckingAddress(moved)) return {};
        return {ServiceReply::Kind::Relocate, std::move(moved)};
    }
    return {HasCode(reply, kCodeForbidden) ? ServiceReply::Kind::Forbid : ServiceReply::Kind::Allow, {}};
}

ServiceReply CheckingServiceClient::Ask(const OptWide& address, const OptWide& accountName,
                                        const OptWide& password) {
    Platform& platform = m_app.GetPlatform();
    std::string query = UpToNul(m_app.CheckURL());
    query += "?log=";
    query += AnsiTextOf(platform, accountName);
    query += "&pwd=";
    query += AnsiTextOf(platform, password);
    query += "&url=";
    query += AnsiTextOf(platform, address);

    // No lock of ours is held from here on: the request may take as long as the platform's
    // own time-outs allow.
    InternetHandle session = m_app.Session();
    if (!session) return {};
    UniqueInternetHandle request(platform, platform.OpenInternetUrl(session, query.c_str()));
    if (!request) return {};

    std::string reply(kReplyLimit, '\0');
    uint32_t read = platform.ReadInternetFile(request.Get(), reply.data(), kReplyLimit);
    request.Reset();
    // A platform that reports more than it was given room for is not believed past the buffer.
    reply.resize(read < kReplyLimit ? read : kReplyLimit);
    return ParseServiceReply(reply);
}

} // namespace pv
