#include "checkingservice/rules/address.h"

#include <algorithm>

namespace pv::check {
namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

void AssignLowered(std::string& out, std::string_view text) {
    out.assign(text);
    for (char& c : out) c = LowerAscii(c);
}

bool IsScheme(std::string_view text) {
    if (text.empty()) return false;
    const auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (!alpha(text.front())) return false;
    return std::all_of(text.begin(), text.end(), [&](char c) {
        return alpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
    });
}

bool AllDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = LowerAscii(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Hosts never legitimately hold %xx; decoding them keeps "ex%61mple.com" from slipping past a
// rule for "example.com".
void DecodeHost(std::string_view host, std::string& out) {
    out.resize(host.size());
    size_t n = 0;
    for (size_t i = 0; i < host.size(); ++i) {
        char c = host[i];
        if (c == '%' && i + 2 < host.size()) {
            const int hi = HexValue(host[i + 1]);
            const int lo = HexValue(host[i + 2]);
            if (hi >= 0 && lo >= 0) {
                c = static_cast<char>(hi * 16 + lo);
                i += 2;
            }
        }
        out[n++] = LowerAscii(c);
    }
    while (n > 0 && out[n - 1] == '.') --n;
    out.resize(n);
}

// The first "/", "?", "#" or "\\" from `from` on, or npos.
size_t FindDelimiter(std::string_view text, size_t from) {
    for (size_t i = from; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '/' || c == '?' || c == '#' || c == '\\') return i;
    }
    return std::string_view::npos;
}

bool IsDefaultPort(std::string_view scheme, std::string_view port) {
    return (scheme == "http" && port == "80") || (scheme == "https" && port == "443") ||
           (scheme == "ftp" && port == "21");
}

bool LooksIpv4(std::string_view host) {
    return !host.empty() &&
           std::all_of(host.begin(), host.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

} // namespace

std::string_view Trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

AddressParts ParseAddress(std::string_view address) {
    AddressParts parts;
    ParseAddress(address, parts);
    return parts;
}

void ParseAddress(std::string_view address, AddressParts& parts) {
    parts.scheme.clear();
    parts.canonical.clear();
    parts.host.clear();
    parts.path.clear();
    parts.hostIsIp = false;
    size_t authorityStart = 0;
    const size_t sep = address.find("://");
    const size_t firstDelim = FindDelimiter(address, 0);
    if (sep != std::string_view::npos && sep < firstDelim && IsScheme(address.substr(0, sep))) {
        AssignLowered(parts.scheme, address.substr(0, sep));
        authorityStart = sep + 3;
    } else if (address.starts_with("//")) {
        authorityStart = 2;
    } else {
        const size_t colon = address.find(':');
        if (colon != std::string_view::npos && colon < firstDelim && IsScheme(address.substr(0, colon))) {
            const std::string_view after = address.substr(colon + 1, firstDelim - colon - 1);
            if (!AllDigits(after)) {
                // "about:blank", "javascript:...", "mailto:...": nothing that names a host.
                AssignLowered(parts.scheme, address.substr(0, colon));
                parts.path.assign(address.substr(colon + 1));
                parts.canonical.append(parts.scheme).append(":").append(parts.path);
                return;
            }
        }
    }

    size_t authorityEnd = authorityStart <= firstDelim ? firstDelim : FindDelimiter(address, authorityStart);
    if (authorityEnd == std::string_view::npos) authorityEnd = address.size();
    std::string_view hostPort = address.substr(authorityStart, authorityEnd - authorityStart);
    if (const size_t at = hostPort.rfind('@'); at != std::string_view::npos) {
        hostPort.remove_prefix(at + 1);
    }
    std::string_view host = hostPort;
    std::string_view port;
    if (hostPort.starts_with('[')) {
        const size_t close = hostPort.find(']');
        if (close != std::string_view::npos) {
            host = hostPort.substr(0, close + 1);
            if (close + 1 < hostPort.size() && hostPort[close + 1] == ':') {
                port = hostPort.substr(close + 2);
            }
            parts.hostIsIp = true;
        }
    } else if (const size_t colon = hostPort.rfind(':'); colon != std::string_view::npos) {
        host = hostPort.substr(0, colon);
        port = hostPort.substr(colon + 1);
    }
    DecodeHost(host, parts.host);
    if (!parts.hostIsIp) parts.hostIsIp = LooksIpv4(parts.host);

    const std::string_view rest = address.substr(authorityEnd);
    const bool needsSlash = rest.empty() || rest.front() == '?' || rest.front() == '#';
    parts.path.reserve(rest.size() + 1);
    if (needsSlash) parts.path.push_back('/');
    parts.path.append(rest.data(), rest.size());

    const bool showPort = !port.empty() && !IsDefaultPort(parts.scheme, port);
    parts.canonical.reserve(parts.scheme.size() + 3 + parts.host.size() + port.size() + 1 +
                            parts.path.size());
    if (!parts.scheme.empty()) {
        parts.canonical.append(parts.scheme);
        parts.canonical.append("://");
    }
    parts.canonical.append(parts.host);
    if (showPort) {
        parts.canonical.push_back(':');
        parts.canonical.append(port);
    }
    parts.canonical.append(parts.path);
}

std::string_view KindName(RuleKind kind) {
    switch (kind) {
    case RuleKind::Exact:
        return "exact";
    case RuleKind::Prefix:
        return "prefix";
    case RuleKind::Host:
        return "host";
    case RuleKind::Domain:
        return "domain";
    }
    return "?";
}

std::optional<RuleKind> ParseKind(std::string_view name) {
    for (RuleKind kind : {RuleKind::Exact, RuleKind::Prefix, RuleKind::Host, RuleKind::Domain}) {
        if (name == KindName(kind)) return kind;
    }
    return std::nullopt;
}

PatternResult NormalizePattern(RuleKind kind, std::string_view text) {
    text = Trim(text);
    if (text.empty()) return {{}, "empty pattern"};
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) return {{}, "control character in pattern"};
    }
    if (kind == RuleKind::Domain) {
        if (text.starts_with("*."))
            text.remove_prefix(2);
        else if (text.starts_with('.'))
            text.remove_prefix(1);
    }
    const AddressParts parts = ParseAddress(text);
    if (kind == RuleKind::Exact) {
        if (parts.scheme.empty()) return {{}, "an exact address needs its scheme (http://...)"};
        return {parts.canonical, {}};
    }
    if (parts.host.empty()) return {{}, "no host in pattern"};
    for (unsigned char c : parts.host) {
        if (c == ' ' || c == '%' || c == '@') return {{}, "invalid character in host"};
    }
    if (kind == RuleKind::Prefix) return {parts.host + parts.path, {}};
    if (parts.path != "/") return {{}, "pattern holds a path: use a prefix rule"};
    return {parts.host, {}};
}

} // namespace pv::check
