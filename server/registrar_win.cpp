#include "server/registrar_win.h"

#include <string_view>

#include "platform/handles_win.h"
#include "platform/module_instance_win.h"
#include "server/guids.h"

namespace pv {

using registrar::KeyPath;
using registrar::Root;
using registrar::Status;

namespace {

HKEY RootKey(Root root) {
    switch (root) {
    case Root::ClassesRoot:
        return HKEY_CLASSES_ROOT;
    case Root::CurrentUser:
        return HKEY_CURRENT_USER;
    case Root::LocalMachine:
        return HKEY_LOCAL_MACHINE;
    case Root::Users:
        return HKEY_USERS;
    }
    return HKEY_CLASSES_ROOT;
}

HRESULT LastErrorHr() {
    DWORD error = GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

std::wstring JoinPath(const KeyPath& path) {
    std::wstring joined;
    for (const std::string& part : path) {
        if (!joined.empty()) joined += L'\\';
        joined += Utf8ToWide(part);
    }
    return joined;
}

Status OpenKey(Root root, const KeyPath& path, REGSAM access, RegKey& key) {
    return static_cast<Status>(RegOpenKeyExW(RootKey(root), JoinPath(path).c_str(), 0, access, key.Put()));
}

Status SetValue(Root root, const KeyPath& path, const std::string& name, DWORD type, const void* data,
                DWORD size) {
    RegKey key;
    Status st = OpenKey(root, path, KEY_SET_VALUE, key);
    if (st != registrar::kOk) return st;
    std::wstring wname = Utf8ToWide(name);
    return static_cast<Status>(RegSetValueExW(key.Get(), name.empty() ? nullptr : wname.c_str(), 0, type,
                                              static_cast<const BYTE*>(data), size));
}

} // namespace

std::wstring Utf8ToWide(const std::string& text) {
    if (text.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                nullptr, 0);
    if (n <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        wide.data(), n);
    return wide;
}

std::string WideToUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string narrow(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        narrow.data(), n, nullptr, nullptr);
    return narrow;
}

Status Win32Registry::CreateKey(Root root, const KeyPath& path) {
    RegKey key;
    return static_cast<Status>(RegCreateKeyExW(RootKey(root), JoinPath(path).c_str(), 0, nullptr,
                                               REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr,
                                               key.Put(), nullptr));
}

bool Win32Registry::KeyExists(Root root, const KeyPath& path) {
    RegKey key;
    return OpenKey(root, path, KEY_READ, key) == registrar::kOk;
}

Status Win32Registry::SetString(Root root, const KeyPath& path, const std::string& name,
                                const std::string& text) {
    std::wstring data = Utf8ToWide(text);
    // REG_SZ carries its terminating NUL.
    DWORD bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
    return SetValue(root, path, name, REG_SZ, data.c_str(), bytes);
}

Status Win32Registry::SetDword(Root root, const KeyPath& path, const std::string& name, uint32_t number) {
    DWORD data = number;
    return SetValue(root, path, name, REG_DWORD, &data, sizeof data);
}

Status Win32Registry::DeleteValue(Root root, const KeyPath& path, const std::string& name) {
    RegKey key;
    Status st = OpenKey(root, path, KEY_SET_VALUE, key);
    if (st != registrar::kOk) return st;
    std::wstring wname = Utf8ToWide(name);
    return static_cast<Status>(RegDeleteValueW(key.Get(), name.empty() ? nullptr : wname.c_str()));
}

Status Win32Registry::DeleteTree(Root root, const KeyPath& path) {
    std::wstring joined = JoinPath(path);
    if (joined.empty()) return ERROR_INVALID_PARAMETER; // never the root itself
    Status st = static_cast<Status>(RegDeleteTreeW(RootKey(root), joined.c_str()));
    if (st != registrar::kOk) return st;
    // Some implementations empty the key but leave it; remove what is left.
    st = static_cast<Status>(RegDeleteKeyW(RootKey(root), joined.c_str()));
    return st == registrar::kNotFound ? registrar::kOk : st;
}

Status Win32Registry::DeleteKey(Root root, const KeyPath& path) {
    std::wstring joined = JoinPath(path);
    if (joined.empty()) return ERROR_INVALID_PARAMETER;
    return static_cast<Status>(RegDeleteKeyW(RootKey(root), joined.c_str()));
}

bool Win32Registry::HasSubkeys(Root root, const KeyPath& path) {
    RegKey key;
    if (OpenKey(root, path, KEY_READ, key) != registrar::kOk) return false;
    DWORD subkeys = 0;
    if (RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    return subkeys > 0;
}

HRESULT RunRegistryScript(HMODULE module, UINT resourceId, registrar::Mode mode,
                          const registrar::Replacements& replacements) {
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(resourceId), L"REGISTRY");
    if (!info) return LastErrorHr();
    HGLOBAL loaded = LoadResource(module, info);
    DWORD size = SizeofResource(module, info);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data) return LastErrorHr();
    std::string_view text(static_cast<const char*>(data), size);

    Win32Registry registry;
    registrar::ParseError error;
    registrar::ExecuteResult result = registrar::Run(text, replacements, mode, registry, &error);
    if (result.status == registrar::kOk) return S_OK;
    return HRESULT_FROM_WIN32(static_cast<DWORD>(result.status));
}

registrar::Replacements ModuleReplacements() {
    std::string path = WideToUtf8(ModuleFilePath());
    registrar::Replacements replacements;
    replacements["Module"] = path;
    replacements["Module_Raw"] = path;
    replacements["APPID"] = kAppidString;
    return replacements;
}

} // namespace pv
