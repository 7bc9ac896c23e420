#include "store/vigil_app.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace pv {

namespace {

std::atomic<CVigilApp*> g_app{nullptr};

// A string value is read in one call into a buffer this large, so that a value longer than the
// 512 characters kept can still be read and cut (the registry refuses a read that does not fit).
// Larger values are treated as absent.
constexpr uint32_t kRegistryReadLimit = 64 * 1024;

constexpr std::u16string_view kShellName = u"explorer.exe";

char16_t LowerAscii(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + (u'a' - u'A')) : c;
}

// The text before the first NUL.
std::string_view BeforeNul(std::string_view text) { return text.substr(0, text.find('\0')); }

} // namespace

CVigilApp& TheApp() {
    CVigilApp* app = g_app.load(std::memory_order_acquire);
    if (!app) {
        // Only reachable through a programming error (a call before attach or after detach).
        std::fputs("Pathvigil: module state used outside its lifetime\n", stderr);
        std::abort();
    }
    return *app;
}

void SetTheApp(CVigilApp* app) { g_app.store(app, std::memory_order_release); }

CVigilApp::CVigilApp(Platform& platform) : m_platform(platform), m_session(platform) {}

// The destructor runs only when the module is freed from a living process (never at process
// exit), so closing the session with the state is safe.
CVigilApp::~CVigilApp() = default;

bool CVigilApp::Startup() {
    // The host check compares whole characters: the path goes through the wide form, so a trail
    // byte of a double-byte character is never lowercased or matched as a letter of its own.
    const std::string host = m_platform.HostExecutablePath();
    std::u16string lowered;
    if (std::optional<WideString> wide = m_platform.AnsiToWide(host)) {
        lowered = std::move(*wide);
    } else {
        lowered.assign(host.begin(), host.end()); // not convertible: judge it byte by byte
        for (char16_t& c : lowered) c = static_cast<char16_t>(c & 0xFF);
    }
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), LowerAscii);
    if (lowered.find(kShellName) != std::u16string::npos) return false;

    m_data.Load(m_platform);
    LoadRegistrySettings();

    m_strHelpFile = m_platform.WindowsDirectory() + kHelpFileName;

    // Title: the module's file name without directory and extension, again cut on whole
    // characters so that a backslash byte inside a double-byte character does not count.
    const std::string modulePath = m_platform.ModulePath();
    if (std::optional<WideString> wide = m_platform.AnsiToWide(modulePath)) {
        std::u16string_view name = *wide;
        if (std::size_t slash = name.find_last_of(u"\\/:"); slash != name.npos) name.remove_prefix(slash + 1);
        if (std::size_t dot = name.rfind(u'.'); dot != name.npos) name = name.substr(0, dot);
        if (std::optional<std::string> title = m_platform.WideToAnsi(name)) m_strAppTitle = std::move(*title);
    } else {
        std::string_view name = modulePath;
        if (std::size_t slash = name.find_last_of("\\/:"); slash != name.npos) name.remove_prefix(slash + 1);
        if (std::size_t dot = name.rfind('.'); dot != name.npos) name = name.substr(0, dot);
        m_strAppTitle.assign(name);
    }
    return true;
}

int CVigilApp::LoadRegistrySettings() {
    m_bPassOnce.store(0);

    uint32_t first = 0;
    uint32_t size = sizeof first;
    // A value shorter than 4 bytes fills the low bytes; a longer one fails to read and leaves 0.
    if (!m_platform.ReadRegistryValue(kSettingsKey, "first", &first, &size)) first = 0;
    m_dwFirst.store(first);

    std::string name = ReadRegistryString("name");
    std::string ps = ReadRegistryString("ps");
    std::string checkURL = ReadRegistryString("checkURL");
    std::string errURL = ReadRegistryString("errURL");

    std::lock_guard lock(m_settingsLock);
    m_strName = std::move(name);
    m_strPs = std::move(ps);
    m_strCheckURL = std::move(checkURL);
    m_strErrURL = std::move(errURL);
    return 1;
}

std::string CVigilApp::ReadRegistryString(const char* value) {
    std::vector<char> buffer(kRegistryReadLimit);
    uint32_t size = kRegistryReadLimit;
    if (!m_platform.ReadRegistryValue(kSettingsKey, value, buffer.data(), &size)) return {};
    std::string_view text(buffer.data(), std::min(size, kRegistryReadLimit));
    // Room for 512 characters; the text is what stands before the first NUL. A value stored
    // without a NUL is thereby exactly its characters.
    text = BeforeNul(text.substr(0, kRegistryCapacity));
    return std::string(text);
}

void CVigilApp::WriteRegistryString(const char* value, const std::string& text) {
    // REG_SZ without the terminating NUL: the byte count is the text's length.
    m_platform.WriteRegistryValue(kSettingsKey, value, kRegSz, text.data(),
                                  static_cast<uint32_t>(text.size()));
}

void CVigilApp::RaisePassOnce() { m_bPassOnce.store(1); }

bool CVigilApp::ConsumePassOnce() { return m_bPassOnce.exchange(0) != 0; }

bool CVigilApp::PassOnceRaised() const { return m_bPassOnce.load() != 0; }

std::string CVigilApp::Name() const {
    std::lock_guard lock(m_settingsLock);
    return m_strName;
}

std::string CVigilApp::Password() const {
    std::lock_guard lock(m_settingsLock);
    return m_strPs;
}

std::string CVigilApp::CheckURL() const {
    std::lock_guard lock(m_settingsLock);
    return m_strCheckURL;
}

std::string CVigilApp::ErrURL() const {
    std::lock_guard lock(m_settingsLock);
    return m_strErrURL;
}

uint32_t CVigilApp::First() const { return m_dwFirst.load(); }

// The stored text ends at an embedded NUL, so memory keeps exactly what the next process reads.
void CVigilApp::StoreName(const std::string& name) {
    std::string text(BeforeNul(name));
    {
        std::lock_guard lock(m_settingsLock);
        m_strName = text;
    }
    WriteRegistryString("name", text);
}

void CVigilApp::StorePassword(const std::string& password) {
    std::string text(BeforeNul(password));
    {
        std::lock_guard lock(m_settingsLock);
        m_strPs = text;
    }
    WriteRegistryString("ps", text);
}

void CVigilApp::StoreCheckURL(const std::string& url) {
    std::string text(BeforeNul(url));
    WriteRegistryString("checkURL", text);
    std::lock_guard lock(m_settingsLock);
    m_strCheckURL = std::move(text);
}

bool CVigilApp::TakeFirstRun() {
    uint32_t expected = 0;
    if (!m_dwFirst.compare_exchange_strong(expected, 1)) return false;
    const uint32_t one = 1;
    m_platform.WriteRegistryValue(kSettingsKey, "first", kRegDword, &one, sizeof one);
    return true;
}

InternetHandle CVigilApp::Session() {
    // Opening is local (no network traffic), so holding the lock across it is cheap; it makes the
    // threads that arrive together share one session instead of each opening its own.
    std::lock_guard lock(m_sessionLock);
    if (!m_session) m_session.Reset(m_platform.OpenInternetSession(kAgent)); // null: tried again next time
    return m_session.Get();
}

void CVigilApp::ShowMessage(const std::string& text) {
    m_platform.ShowMessageBox(text, m_strAppTitle, kMbOk | kMbIconExclamation);
}

} // namespace pv
