// The operating system as the module sees it on Windows: Win32, the shell's registry helpers,
// WinINet, the C runtime clock and the guard's ANSI conversion rule.
#pragma once

#include <windows.h>
#include <wininet.h>

#include "platform/platform.h"

namespace pv {

class Win32Platform : public Platform {
public:
    // `module` is the module whose file name gives the application title (the DLL itself; a test
    // program passes its own handle or null for the executable).
    explicit Win32Platform(HINSTANCE module);
    ~Win32Platform() override;
    Win32Platform(const Win32Platform&) = delete;
    Win32Platform& operator=(const Win32Platform&) = delete;

    std::string HostExecutablePath() override;
    std::string ModulePath() override;
    std::string WindowsDirectory() override;
    std::string SystemDirectory() override;

    std::unique_ptr<File> OpenFile(const std::string& path, FileOpen mode) override;
    FileStatus MoveOver(const std::string& from, const std::string& to) override;
    void RemoveFile(const std::string& path) override;

    bool ReadRegistryValue(const char* subkey, const char* value, void* data, uint32_t* size) override;
    bool WriteRegistryValue(const char* subkey, const char* value, RegistryType type, const void* data,
                            uint32_t size) override;

    InternetHandle OpenInternetSession(const char* agent) override;
    InternetHandle OpenInternetUrl(InternetHandle session, const char* url) override;
    uint32_t ReadInternetFile(InternetHandle request, void* buffer, uint32_t size) override;
    void CloseInternetHandle(InternetHandle handle) override;

    void ShowMessageBox(const std::string& text, const std::string& caption, unsigned style) override;

    std::optional<LocalTime> LocalNow() override;

    std::optional<std::string> WideToAnsi(std::u16string_view wide) override;
    std::optional<WideString> AnsiToWide(std::string_view ansi) override;

private:
    HINSTANCE m_module;
};

// The code page of every wide/ANSI conversion of the module: the thread's ANSI code page on
// NT 5 and later, otherwise the thread locale's default ANSI code page or, failing that, CP_ACP.
// Chosen once per process, at the first call.
UINT ConversionCodePage();
// The choice itself, for a given answer to "is this NT 5 or later" (exposed for tests).
UINT ChooseConversionCodePage(bool nt5OrLater);

// The conversions with the code page above. Wide to ANSI gives nullopt unless the result reads
// back as the very same wide text: a character the code page lacks makes the whole text fail.
std::optional<std::string> WideToAnsiString(std::u16string_view wide);
std::optional<std::u16string> AnsiToWideString(std::string_view ansi);
// The same with a given code page.
std::optional<std::string> WideToAnsiIn(UINT codePage, std::u16string_view wide);
std::optional<std::u16string> AnsiToWideIn(UINT codePage, std::string_view ansi);

// Maps a Win32 error code to the file status the core reports.
FileStatus FileStatusFromError(DWORD error);

} // namespace pv
