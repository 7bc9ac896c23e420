// Shared by the COM server's Windows tests: the module under test and small registry helpers.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "platform/handles_win.h"

namespace pv::servertest {

// The built Pathvigil.dll, as a Windows path (--dll on the command line; the test program's main
// defines it).
const std::wstring& DllPath();

// A module loaded for the length of a scope.
class LoadedModule {
public:
    LoadedModule();
    HMODULE Get() const { return m_module.Get(); }
    template <class Fn>
    Fn Proc(const char* name) const {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(m_module.Get(), name)));
    }

private:
    LoadedLibrary m_module;
};

// Runs "regsvr32 /s [/u] <dll>" and returns its exit code (-1 when it could not run or hung).
int Regsvr32(bool unregister);

bool KeyExists(HKEY root, const std::wstring& path);
// A REG_SZ value ("" name = default); nullopt when the key or value is missing or not REG_SZ.
std::optional<std::wstring> ReadString(HKEY root, const std::wstring& path, const std::wstring& name);
void WriteString(HKEY root, const std::wstring& path, const std::wstring& name, const std::wstring& text);
void DeleteTree(HKEY root, const std::wstring& path);

std::wstring Widen(const char* text);

} // namespace pv::servertest
