#include "checkingservice/base/events.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace pv::check {
namespace {

std::mutex g_mutex;
std::atomic<bool> g_quiet{false};
constexpr int kLinesPerSecond = 50;
int64_t g_window = 0;
int g_linesInWindow = 0;
int g_suppressed = 0;

void WriteLine(std::string_view message) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::fprintf(stderr, "%s pvcheckd: %.*s\n", stamp, static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
}

void Emit(std::string_view message, bool limited) {
    std::lock_guard lock(g_mutex);
    const int64_t second =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    if (second != g_window) {
        if (g_suppressed > 0) {
            WriteLine(std::to_string(g_suppressed) + " log lines suppressed");
        }
        g_window = second;
        g_linesInWindow = 0;
        g_suppressed = 0;
    }
    if (limited && ++g_linesInWindow > kLinesPerSecond) {
        ++g_suppressed;
        return;
    }
    WriteLine(message);
}

} // namespace

void SetEventLogQuiet(bool quiet) { g_quiet = quiet; }

void LogEvent(std::string_view message) {
    if (!g_quiet) Emit(message, true);
}

void LogError(std::string_view message) { Emit(message, false); }

std::string Printable(std::string_view text, size_t maxLength) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    const size_t shown = std::min(text.size(), maxLength);
    out.reserve(shown + 8);
    for (size_t i = 0; i < shown; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c > 0x7e || c == '\\') {
            out += "\\x";
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    if (text.size() > shown) out += "...";
    return out;
}

} // namespace pv::check
