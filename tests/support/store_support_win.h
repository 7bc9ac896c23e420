// Helpers shared by the store and platform tests that run under Wine.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "tests/support/win_test_files_win.h"

namespace pv::wintest {

// The module under test (a Windows path), from the command line (the test program's main
// defines it).
const std::string& DllPath();

// This program's own file.
std::string SelfPath();

// The raw content of a registry value of HKEY_CLASSES_ROOT\Pathvigil.CVigil.
struct RawValue {
    DWORD type = 0;
    std::string bytes;
};
std::optional<RawValue> ReadRaw(const char* value);
void WriteRaw(const char* value, DWORD type, const std::string& bytes);
void DeleteRaw(const char* value);
// Characters a string value holds as stored (the registry keeps strings as wide text; reading it
// back through the ANSI functions may add a terminator that was never stored).
std::optional<std::size_t> StoredWideChars(const char* value);

// Keeps the settings key as it was: saves every value at construction, puts them back (and
// removes what was not there, and the key itself if the test created it) at destruction.
class SettingsKeyGuard {
public:
    SettingsKeyGuard();
    ~SettingsKeyGuard();
    SettingsKeyGuard(const SettingsKeyGuard&) = delete;
    SettingsKeyGuard& operator=(const SettingsKeyGuard&) = delete;

private:
    bool m_keyExisted;
    std::optional<RawValue> m_saved[5];
};

// Keeps a file as it was (content, or absence).
class FileGuard {
public:
    explicit FileGuard(std::string path);
    ~FileGuard();
    FileGuard(const FileGuard&) = delete;
    FileGuard& operator=(const FileGuard&) = delete;

private:
    std::string m_path;
    std::optional<std::string> m_content;
};

} // namespace pv::wintest
