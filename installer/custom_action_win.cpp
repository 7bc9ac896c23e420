// pvsetup.dll: the package's custom actions for the settings values of the ProgID key.
//
// PvPrepareSettings (immediate) reads the public properties, turns SETTINGSPASSWORD into its hash
// record at once and hands everything to PvApplySettings as its CustomActionData, so the settings
// password in clear never leaves this process and never reaches the installer's script or log.
// PvApplySettings (deferred, as the system) writes the values. PvRemoveSettings (deferred, only
// with REMOVESETTINGS=1 on an uninstall) removes the settings values and pv.dat.
//
// The values are the module's: "checkURL", "errURL", "name", "ps" (ANSI text as the module reads
// it) and the settings password record, below the ProgID key of the machine's classes.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <optional>
#include <string>
#include <vector>

#include "guard/settings_password_win.h"
#include "platform/handles_win.h"

namespace {

constexpr const wchar_t* kSettingsKey = L"SOFTWARE\\Classes\\Pathvigil.CVigil";
// What registration writes when no address is given (the module's registry script).
constexpr const wchar_t* kDefaultCheckURL = L"http://filter.pathvigil.net/cgi-bin/checker";
constexpr const wchar_t* kDefaultErrURL = L"http://filter.pathvigil.net/forbidden.htm";

using pv::RegKey;

// Overwrites the buffer before it is freed: it may hold a password.
void Wipe(std::wstring& text) {
    SecureZeroMemory(text.data(), text.size() * sizeof(wchar_t));
    text.clear();
}
using pv::settings_password::Wipe;

std::wstring Property(MSIHANDLE install, const wchar_t* name) {
    DWORD size = 0;
    wchar_t empty[1] = {0};
    if (MsiGetPropertyW(install, name, empty, &size) != ERROR_MORE_DATA) return {};
    std::wstring value(size + 1, L'\0');
    size = static_cast<DWORD>(value.size());
    if (MsiGetPropertyW(install, name, value.data(), &size) != ERROR_SUCCESS) return {};
    value.resize(size);
    return value;
}

std::string ToAnsi(const std::wstring& wide) {
    if (wide.empty()) return {};
    int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                nullptr);
    if (n <= 0) return {};
    std::string ansi(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), ansi.data(), n, nullptr,
                        nullptr);
    return ansi;
}

std::wstring ToWide(const std::string& ansi) {
    if (ansi.empty()) return {};
    int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    if (n <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(), n);
    return wide;
}

// CustomActionData: the five fields in a fixed order, each "-" when absent or "<length>:<text>",
// so no character of a value can be mistaken for a separator.
enum Field { kCheckURL, kErrURL, kName, kPs, kRecord, kFieldCount };
constexpr const wchar_t* kValueNames[kFieldCount] = {L"checkURL", L"errURL", L"name", L"ps",
                                                     L"settingsPassword"};

void AppendField(std::wstring& data, const std::optional<std::wstring>& value) {
    if (!value) {
        data += L'-';
        return;
    }
    data += std::to_wstring(value->size()) + L':' + *value;
}

std::optional<std::vector<std::optional<std::wstring>>> ParseFields(const std::wstring& data) {
    std::vector<std::optional<std::wstring>> fields;
    std::size_t pos = 0;
    while (fields.size() < kFieldCount) {
        if (pos >= data.size()) return std::nullopt;
        if (data[pos] == L'-') {
            fields.emplace_back();
            ++pos;
            continue;
        }
        std::size_t colon = data.find(L':', pos);
        if (colon == std::wstring::npos || colon == pos || colon - pos > 6) return std::nullopt;
        std::size_t length = 0;
        for (std::size_t i = pos; i < colon; ++i) {
            if (data[i] < L'0' || data[i] > L'9') return std::nullopt;
            length = length * 10 + static_cast<std::size_t>(data[i] - L'0');
        }
        if (length > data.size() - colon - 1) return std::nullopt;
        fields.emplace_back(data.substr(colon + 1, length));
        pos = colon + 1 + length;
    }
    if (pos != data.size()) return std::nullopt;
    return fields;
}

bool ValueExists(HKEY key, const wchar_t* name) {
    return RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

LSTATUS WriteString(HKEY key, const wchar_t* name, const std::wstring& text) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void Log(MSIHANDLE install, const wchar_t* text) {
    PMSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0, text);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
}

} // namespace

// PV_HELPDIR = INSTALLDIR without its trailing backslash, for the type library's HELPDIR row.
extern "C" __declspec(dllexport) UINT __stdcall PvSetHelpDir(MSIHANDLE install) {
    try {
        std::wstring folder = Property(install, L"INSTALLDIR");
        while (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
        return MsiSetPropertyW(install, L"PV_HELPDIR", folder.c_str()) == ERROR_SUCCESS
                   ? ERROR_SUCCESS
                   : ERROR_INSTALL_FAILURE;
    } catch (...) {
        return ERROR_INSTALL_FAILURE;
    }
}

extern "C" __declspec(dllexport) UINT __stdcall PvPrepareSettings(MSIHANDLE install) {
    try {
        std::optional<std::wstring> fields[kFieldCount];
        const wchar_t* properties[kRecord] = {L"CHECKURL", L"FORBIDDENURL", L"ACCOUNT", L"ACCOUNTPASSWORD"};
        for (int i = 0; i < kRecord; ++i) {
            std::wstring value = Property(install, properties[i]);
            if (!value.empty()) fields[i] = value;
            Wipe(value);
        }
        std::wstring password = Property(install, L"SETTINGSPASSWORD");
        if (!password.empty()) {
            std::string ansi = ToAnsi(password);
            Wipe(password);
            std::optional<std::string> record = pv::settings_password::MakeRecord(ansi);
            Wipe(ansi);
            if (!record) {
                Log(install, L"Pathvigil: the settings password could not be hashed");
                return ERROR_INSTALL_FAILURE;
            }
            fields[kRecord] = ToWide(*record);
        }
        std::wstring data;
        for (const auto& field : fields) AppendField(data, field);
        UINT result = MsiSetPropertyW(install, L"PvApplySettings", data.c_str());
        Wipe(data);
        if (fields[kPs]) Wipe(*fields[kPs]);
        return result == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
    } catch (...) {
        return ERROR_INSTALL_FAILURE;
    }
}

extern "C" __declspec(dllexport) UINT __stdcall PvApplySettings(MSIHANDLE install) {
    try {
        std::wstring data = Property(install, L"CustomActionData");
        auto fields = ParseFields(data);
        Wipe(data);
        if (!fields) {
            Log(install, L"Pathvigil: the settings handed to the installation are damaged");
            return ERROR_INSTALL_FAILURE;
        }
        RegKey key;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key.Put(), nullptr) != ERROR_SUCCESS) {
            Log(install, L"Pathvigil: the settings key cannot be written");
            return ERROR_INSTALL_FAILURE;
        }
        // A given property replaces the value; an absent one keeps what is there. The two addresses
        // get registration's defaults when nothing is there yet.
        const wchar_t* defaults[kFieldCount] = {kDefaultCheckURL, kDefaultErrURL, nullptr, nullptr, nullptr};
        LSTATUS failure = ERROR_SUCCESS;
        for (int i = 0; i < kFieldCount; ++i) {
            auto& field = (*fields)[static_cast<std::size_t>(i)];
            LSTATUS st = ERROR_SUCCESS;
            if (field) {
                // The module reads its values as ANSI; what it wrote itself round-trips the same way.
                st = WriteString(key.Get(), kValueNames[i], ToWide(ToAnsi(*field)));
                Wipe(*field);
            } else if (defaults[i] && !ValueExists(key.Get(), kValueNames[i])) {
                st = WriteString(key.Get(), kValueNames[i], defaults[i]);
            }
            if (st != ERROR_SUCCESS && failure == ERROR_SUCCESS) failure = st;
        }
        if (failure != ERROR_SUCCESS) {
            Log(install, L"Pathvigil: a settings value could not be written");
            return ERROR_INSTALL_FAILURE;
        }
        return ERROR_SUCCESS;
    } catch (...) {
        return ERROR_INSTALL_FAILURE;
    }
}

extern "C" __declspec(dllexport) UINT __stdcall PvRemoveSettings(MSIHANDLE install) {
    try {
        {
            RegKey key;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                              key.Put()) == ERROR_SUCCESS) {
                for (const wchar_t* name : kValueNames) RegDeleteValueW(key.Get(), name);
                RegDeleteValueW(key.Get(), L"first");
            }
        }
        // Only a key the uninstall has emptied goes: RegDeleteKey refuses one with subkeys, and a
        // value nobody here knows about is left where it is.
        RegKey key;
        DWORD subkeys = 1, values = 1;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_QUERY_VALUE, key.Put()) == ERROR_SUCCESS &&
            RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                             nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
            subkeys == 0 && values == 0) {
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSettingsKey);
        }

        wchar_t system[MAX_PATH] = {0};
        UINT n = GetSystemDirectoryW(system, MAX_PATH);
        if (n > 0 && n < MAX_PATH) {
            std::wstring file = std::wstring(system) + L"\\pv.dat";
            if (!DeleteFileW(file.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
                Log(install, L"Pathvigil: pv.dat could not be removed");
            }
        }
        return ERROR_SUCCESS;
    } catch (...) {
        return ERROR_SUCCESS;
    }
}
