// Helpers of the store and platform tests under Wine (store_support_win.h).
#include "tests/support/store_support_win.h"

#include <shlwapi.h>

#include <cstring>

#include "platform/handles_win.h"
#include "store/vigil_app.h"

namespace pv::wintest {

namespace {
constexpr const char* kValues[5] = {"first", "name", "ps", "checkURL", "errURL"};
} // namespace

std::string SelfPath() {
    char path[MAX_PATH] = {};
    DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, n);
}

std::optional<RawValue> ReadRaw(const char* value) {
    RegKey key;
    if (::RegOpenKeyExA(HKEY_CLASSES_ROOT, CVigilApp::kSettingsKey, 0, KEY_QUERY_VALUE, key.Put()) !=
        ERROR_SUCCESS)
        return std::nullopt;
    RawValue raw;
    DWORD size = 0;
    std::optional<RawValue> result;
    if (::RegQueryValueExA(key.Get(), value, nullptr, &raw.type, nullptr, &size) == ERROR_SUCCESS) {
        raw.bytes.resize(size);
        if (::RegQueryValueExA(key.Get(), value, nullptr, &raw.type,
                               reinterpret_cast<BYTE*>(raw.bytes.data()), &size) == ERROR_SUCCESS) {
            raw.bytes.resize(size);
            result = std::move(raw);
        }
    }
    return result;
}

void WriteRaw(const char* value, DWORD type, const std::string& bytes) {
    // The registry adds a terminator to string data whose next byte in memory happens to be NUL;
    // a non-NUL byte after the data keeps exactly the bytes given.
    std::string buffer = bytes + 'X';
    ::SHSetValueA(HKEY_CLASSES_ROOT, CVigilApp::kSettingsKey, value, type, buffer.data(),
                  static_cast<DWORD>(bytes.size()));
}

std::optional<std::size_t> StoredWideChars(const char* value) {
    RegKey key;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, L"Pathvigil.CVigil", 0, KEY_QUERY_VALUE, key.Put()) !=
        ERROR_SUCCESS)
        return std::nullopt;
    std::wstring name(value, value + std::strlen(value));
    DWORD size = 0;
    LSTATUS status = ::RegQueryValueExW(key.Get(), name.c_str(), nullptr, nullptr, nullptr, &size);
    if (status != ERROR_SUCCESS) return std::nullopt;
    return size / sizeof(wchar_t);
}

void DeleteRaw(const char* value) { ::SHDeleteValueA(HKEY_CLASSES_ROOT, CVigilApp::kSettingsKey, value); }

SettingsKeyGuard::SettingsKeyGuard() {
    {
        RegKey key;
        m_keyExisted = ::RegOpenKeyExA(HKEY_CLASSES_ROOT, CVigilApp::kSettingsKey, 0, KEY_QUERY_VALUE,
                                       key.Put()) == ERROR_SUCCESS;
    }
    for (int i = 0; i < 5; ++i) m_saved[i] = ReadRaw(kValues[i]);
}

SettingsKeyGuard::~SettingsKeyGuard() {
    for (int i = 0; i < 5; ++i) {
        if (m_saved[i])
            WriteRaw(kValues[i], m_saved[i]->type, m_saved[i]->bytes);
        else
            DeleteRaw(kValues[i]);
    }
    if (!m_keyExisted) ::SHDeleteEmptyKeyA(HKEY_CLASSES_ROOT, CVigilApp::kSettingsKey);
}

FileGuard::FileGuard(std::string path) : m_path(std::move(path)), m_content(ReadWholeFile(m_path)) {}

FileGuard::~FileGuard() {
    if (m_content)
        WriteWholeFile(m_path, *m_content);
    else
        ::DeleteFileA(m_path.c_str());
}

} // namespace pv::wintest
