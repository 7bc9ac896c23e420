#include "tests/support/guard_support_win.h"

#include <exdispid.h>

namespace pv::test {

namespace {

constexpr const char* kKey = "Pathvigil.CVigil";
const char* const kValues[] = {"first", "name", "ps", "checkURL", "errURL"};

} // namespace

SettingsSnapshot::SettingsSnapshot() {
    RegKey key;
    m_keyExisted = RegOpenKeyExA(HKEY_CLASSES_ROOT, kKey, 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
    for (const char* name : kValues) {
        m_values[name] = std::nullopt;
        if (!key) continue;
        DWORD type = 0;
        DWORD size = 0;
        if (RegQueryValueExA(key.Get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) continue;
        Saved saved;
        saved.type = type;
        saved.bytes.resize(size);
        if (RegQueryValueExA(key.Get(), name, nullptr, &type, saved.bytes.data(), &size) == ERROR_SUCCESS) {
            saved.bytes.resize(size);
            m_values[name] = std::move(saved);
        }
    }
}

SettingsSnapshot::~SettingsSnapshot() {
    if (!m_keyExisted) {
        RegDeleteKeyA(HKEY_CLASSES_ROOT, kKey);
        return;
    }
    RegKey key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kKey, 0, KEY_SET_VALUE, key.Put()) != ERROR_SUCCESS) return;
    for (const auto& [name, saved] : m_values) {
        if (saved) {
            RegSetValueExA(key.Get(), name.c_str(), 0, saved->type, saved->bytes.data(),
                           static_cast<DWORD>(saved->bytes.size()));
        } else {
            RegDeleteValueA(key.Get(), name.c_str());
        }
    }
}

void SettingsSnapshot::SetString(const char* value, const std::optional<std::string>& text) {
    RegKey key;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.Put(), nullptr) !=
        ERROR_SUCCESS)
        return;
    if (text) {
        RegSetValueExA(key.Get(), value, 0, REG_SZ, reinterpret_cast<const BYTE*>(text->c_str()),
                       static_cast<DWORD>(text->size() + 1));
    } else {
        RegDeleteValueA(key.Get(), value);
    }
}

void SettingsSnapshot::SetDword(const char* value, DWORD data) {
    RegKey key;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.Put(), nullptr) !=
        ERROR_SUCCESS)
        return;
    RegSetValueExA(key.Get(), value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
}

void BoxLog::Add(const host::SeenBox& box) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_texts.push_back(box.text);
}

std::vector<std::wstring> BoxLog::Texts() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_texts;
}

std::size_t BoxLog::Count() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_texts.size();
}

BoxLog& Boxes() {
    static BoxLog log;
    return log;
}

host::BoxWatcher& Watcher() {
    static host::BoxWatcher watcher([](const host::SeenBox& box) { Boxes().Add(box); });
    return watcher;
}

ComPtr<ICVigil> NewGuard() {
    ComPtr<ICVigil> guard;
    CreateVigilInstance(nullptr, IID_ICVigil, guard.PutVoid());
    return guard;
}

IUnknown* AsUnknown(host::HostBrowser* browser) { return static_cast<IWebBrowser2*>(browser); }

Window::Window() : browser(host::HostBrowser::Create()), guard(NewGuard()) {
    browser->boxCount = [] { return static_cast<int>(Boxes().Count()); };
}

Window::~Window() {
    if (!quit && guard) Quit();
    browser->DropSinks();
}

HRESULT Window::Site() { return guard->SetSite(AsUnknown(browser.Get())); }

void Window::Quit() {
    quit = true;
    browser->FireOnQuit();
    guard->SetSite(nullptr);
}

NavigateArgs::NavigateArgs(const std::wstring& text, IDispatch* frame) : url(std::wstring_view(text)) {
    for (VARIANT& v : args) VariantInit(&v);
    V_VT(&args[6]) = VT_DISPATCH;
    V_DISPATCH(&args[6]) = frame;
    V_VT(&args[5]) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&args[5]) = url.Get();
    for (int i = 1; i <= 4; ++i) {
        V_VT(&args[i]) = VT_BYREF | VT_VARIANT;
        V_VARIANTREF(&args[i]) = other[i - 1].Get();
    }
    V_VT(&args[0]) = VT_BYREF | VT_BOOL;
    V_BOOLREF(&args[0]) = &cancel;
}

} // namespace pv::test
