// The registrar's Windows back end: applies scripts to the real registry, and runs the module's
// own script resource.
#pragma once

#include <windows.h>

#include <string>

#include "server/registrar.h"

namespace pv {

// The registry of this process's view (a 32-bit module on 64-bit Windows sees the 32-bit view).
// Names are UTF-8 in the script and go to the wide registry functions.
class Win32Registry final : public registrar::RegistryBackend {
public:
    registrar::Status CreateKey(registrar::Root root, const registrar::KeyPath& path) override;
    bool KeyExists(registrar::Root root, const registrar::KeyPath& path) override;
    registrar::Status SetString(registrar::Root root, const registrar::KeyPath& path, const std::string& name,
                                const std::string& text) override;
    registrar::Status SetDword(registrar::Root root, const registrar::KeyPath& path, const std::string& name,
                               uint32_t number) override;
    registrar::Status DeleteValue(registrar::Root root, const registrar::KeyPath& path,
                                  const std::string& name) override;
    registrar::Status DeleteTree(registrar::Root root, const registrar::KeyPath& path) override;
    registrar::Status DeleteKey(registrar::Root root, const registrar::KeyPath& path) override;
    bool HasSubkeys(registrar::Root root, const registrar::KeyPath& path) override;
};

// UTF-8 <-> UTF-16 for the registrar's strings. Invalid input converts to an empty string.
std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);

// Loads the script resource (type "REGISTRY", id resourceId) of module and runs it in the given
// mode. A missing resource gives the loader's error, a script that does not parse
// HRESULT_FROM_WIN32(ERROR_INVALID_DATA), a registry failure its error as an HRESULT.
HRESULT RunRegistryScript(HMODULE module, UINT resourceId, registrar::Mode mode,
                          const registrar::Replacements& replacements);

// The module's own replacements: Module and Module_Raw (its full path) and APPID.
registrar::Replacements ModuleReplacements();

} // namespace pv
