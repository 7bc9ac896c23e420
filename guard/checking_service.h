// The remote checking service: the request for one address and the meaning of its reply.
//
// The wire format is fixed by services already deployed: the query is the checking address
// followed by "?log=<name>&pwd=<password>&url=<address>" with nothing escaped, and the reply's
// first three bytes are the code. Every failure allows, so the service being down never blocks
// browsing.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace pv {

class CVigilApp;

struct ServiceReply {
    enum class Kind { Allow, Forbid, Relocate };
    Kind kind = Kind::Allow;
    std::string address; // Relocate only: the checking address to use from now on
};

// What a reply's bytes mean. A relocation to anything but an absolute http or https address
// with a host is read like any other unreadable reply: allowed.
ServiceReply ParseServiceReply(std::string_view reply);

class CheckingServiceClient {
public:
    explicit CheckingServiceClient(CVigilApp& app) : m_app(app) {}

    // One request to the configured checking address, with no lock of the module state held.
    // A session or request that cannot be opened allows.
    ServiceReply Ask(const OptWide& address, const OptWide& accountName, const OptWide& password);

private:
    CVigilApp& m_app;
};

} // namespace pv
