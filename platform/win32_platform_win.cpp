#include "platform/win32_platform_win.h"

#include <shlwapi.h>
#include <versionhelpers.h>

#include <cstdlib>
#include <ctime>
#include <limits>
#include <vector>

#include "platform/handles_win.h"
#include "platform/owner_window_win.h"

namespace pv {

namespace {

// One open file; the file is closed with the object.
class Win32File : public File {
public:
    explicit Win32File(KernelHandle handle) : m_handle(std::move(handle)) {}

    FileStatus Read(void* buffer, std::size_t size, std::size_t* read) override {
        *read = 0;
        auto* out = static_cast<char*>(buffer);
        while (size > 0) {
            DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
            DWORD got = 0;
            if (!::ReadFile(m_handle.Get(), out, chunk, &got, nullptr))
                return FileStatusFromError(::GetLastError());
            if (got == 0) break; // end of file
            *read += got;
            out += got;
            size -= got;
        }
        return FileStatus::Ok;
    }

    FileStatus Write(const void* buffer, std::size_t size) override {
        const auto* in = static_cast<const char*>(buffer);
        while (size > 0) {
            DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
            DWORD written = 0;
            if (!::WriteFile(m_handle.Get(), in, chunk, &written, nullptr))
                return FileStatusFromError(::GetLastError());
            // A write that makes no progress without an error is as good as a full disk.
            if (written == 0) return FileStatus::DiskFull;
            in += written;
            size -= written;
        }
        return FileStatus::Ok;
    }

    std::uint64_t Size() override {
        LARGE_INTEGER size{};
        if (!::GetFileSizeEx(m_handle.Get(), &size) || size.QuadPart < 0) return 0;
        return static_cast<std::uint64_t>(size.QuadPart);
    }

    FileStatus Commit() override {
        return ::FlushFileBuffers(m_handle.Get()) ? FileStatus::Ok : FileStatusFromError(::GetLastError());
    }

private:
    KernelHandle m_handle;
};

std::string FromBuffer(const char* buffer, UINT length, UINT capacity) {
    // The ...DirectoryA functions report the size needed (more than the capacity) when the
    // buffer is too small; that and 0 (failure) give an empty path.
    if (length == 0 || length >= capacity) return {};
    return std::string(buffer, length);
}

} // namespace

FileStatus FileStatusFromError(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_HANDLE:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
        return FileStatus::NotFound;
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL:
        return FileStatus::DiskFull;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
        return FileStatus::AccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return FileStatus::SharingViolation;
    default:
        return FileStatus::Generic;
    }
}

UINT ChooseConversionCodePage(bool nt5OrLater) {
    if (nt5OrLater) return CP_THREAD_ACP;
    char text[8] = {};
    if (::GetLocaleInfoA(::GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE, text, sizeof text) > 0) {
        char* end = nullptr;
        unsigned long cp = std::strtoul(text, &end, 10);
        if (end != text && cp != 0 && cp <= 0xFFFF) return static_cast<UINT>(cp);
    }
    return CP_ACP;
}

UINT ConversionCodePage() {
    // A function-local static: initialised exactly once even when two threads convert first.
    static const UINT codePage = ChooseConversionCodePage(::IsWindowsVersionOrGreater(5, 0, 0));
    return codePage;
}

std::optional<std::string> WideToAnsiIn(UINT codePage, std::u16string_view wide) {
    if (wide.empty()) return std::string();
    if (wide.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return std::nullopt;
    const auto* src = reinterpret_cast<LPCWCH>(wide.data());
    const int chars = static_cast<int>(wide.size());
    // Asked for, not guessed: a character may take three bytes (UTF-8) or four (GB18030).
    const int needed = ::WideCharToMultiByte(codePage, 0, src, chars, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return std::nullopt;
    std::string out(static_cast<std::size_t>(needed), '\0');
    const int n = ::WideCharToMultiByte(codePage, 0, src, chars, out.data(), needed, nullptr, nullptr);
    if (n <= 0) return std::nullopt;
    out.resize(static_cast<std::size_t>(n));
    // A character the code page lacks comes out as '?' or a look-alike instead of failing; text
    // that does not read back as the original is not its conversion.
    std::optional<std::u16string> back = AnsiToWideIn(codePage, out);
    if (!back || *back != wide) return std::nullopt;
    return out;
}

std::optional<std::u16string> AnsiToWideIn(UINT codePage, std::string_view ansi) {
    if (ansi.empty()) return std::u16string();
    if (ansi.size() > static_cast<std::size_t>(std::numeric_limits<int>::max() - 1)) return std::nullopt;
    const int bytes = static_cast<int>(ansi.size());
    // No byte gives more than one UTF-16 unit (a four-byte sequence gives two).
    std::u16string out(static_cast<std::size_t>(bytes) + 1, u'\0');
    int n = ::MultiByteToWideChar(codePage, 0, ansi.data(), bytes, reinterpret_cast<LPWSTR>(out.data()),
                                  bytes + 1);
    if (n <= 0) return std::nullopt;
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::optional<std::string> WideToAnsiString(std::u16string_view wide) {
    return WideToAnsiIn(ConversionCodePage(), wide);
}

std::optional<std::u16string> AnsiToWideString(std::string_view ansi) {
    return AnsiToWideIn(ConversionCodePage(), ansi);
}

Win32Platform::Win32Platform(HINSTANCE module) : m_module(module) {}
Win32Platform::~Win32Platform() = default;

std::string Win32Platform::HostExecutablePath() {
    char path[MAX_PATH + 1] = {};
    DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    // A path cut short by the 260-character limit is still what the host check looks at.
    return std::string(path, std::min<DWORD>(n, MAX_PATH));
}

std::string Win32Platform::ModulePath() {
    char path[MAX_PATH + 1] = {};
    DWORD n = ::GetModuleFileNameA(m_module, path, MAX_PATH);
    return std::string(path, std::min<DWORD>(n, MAX_PATH));
}

std::string Win32Platform::WindowsDirectory() {
    char dir[MAX_PATH + 1] = {};
    return FromBuffer(dir, ::GetWindowsDirectoryA(dir, sizeof dir), sizeof dir);
}

std::string Win32Platform::SystemDirectory() {
    char dir[MAX_PATH + 1] = {};
    return FromBuffer(dir, ::GetSystemDirectoryA(dir, sizeof dir), sizeof dir);
}

std::unique_ptr<File> Win32Platform::OpenFile(const std::string& path, FileOpen mode) {
    DWORD access = GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    switch (mode) {
    case FileOpen::Read:
        break;
    case FileOpen::WriteKeep:
        access = GENERIC_WRITE;
        break;
    case FileOpen::CreateTruncate:
        access = GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
        break;
    case FileOpen::WriteAlways:
        access = GENERIC_WRITE;
        disposition = OPEN_ALWAYS;
        break;
    }
    // Share mode 0: while one process reads or writes pv.dat, nobody else opens it.
    KernelHandle h(
        ::CreateFileA(path.c_str(), access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h) return nullptr;
    return std::make_unique<Win32File>(std::move(h));
}

FileStatus Win32Platform::MoveOver(const std::string& from, const std::string& to) {
    // Write-through: the call returns only once the new name is on the disk.
    if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return FileStatus::Ok;
    }
    return FileStatusFromError(::GetLastError());
}

void Win32Platform::RemoveFile(const std::string& path) { ::DeleteFileA(path.c_str()); }

bool Win32Platform::ReadRegistryValue(const char* subkey, const char* value, void* data, uint32_t* size) {
    DWORD type = 0;
    DWORD bytes = *size;
    if (::SHGetValueA(HKEY_CLASSES_ROOT, subkey, value, &type, data, &bytes) != ERROR_SUCCESS) return false;
    *size = bytes;
    return true;
}

bool Win32Platform::WriteRegistryValue(const char* subkey, const char* value, RegistryType type,
                                       const void* data, uint32_t size) {
    return ::SHSetValueA(HKEY_CLASSES_ROOT, subkey, value, type, data, size) == ERROR_SUCCESS;
}

InternetHandle Win32Platform::OpenInternetSession(const char* agent) {
    return ::InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
}

InternetHandle Win32Platform::OpenInternetUrl(InternetHandle session, const char* url) {
    if (!session) return nullptr;
    return ::InternetOpenUrlA(static_cast<HINTERNET>(session), url, nullptr, 0, 0, 0);
}

uint32_t Win32Platform::ReadInternetFile(InternetHandle request, void* buffer, uint32_t size) {
    DWORD read = 0;
    if (!request || !::InternetReadFile(static_cast<HINTERNET>(request), buffer, size, &read)) return 0;
    return read <= size ? read : size;
}

void Win32Platform::CloseInternetHandle(InternetHandle handle) {
    // The core's owner decides when a handle goes; this is only how (a null one is none).
    WinInetHandle(static_cast<HINTERNET>(handle)).Reset();
}

void Win32Platform::ShowMessageBox(const std::string& text, const std::string& caption, unsigned style) {
    ::MessageBoxA(FindModuleOwnerWindow(), text.c_str(), caption.c_str(), style);
}

std::optional<LocalTime> Win32Platform::LocalNow() {
    std::time_t now = std::time(nullptr);
    if (now == static_cast<std::time_t>(-1)) return std::nullopt;
    std::tm tm{};
    if (localtime_s(&tm, &now) != 0) return std::nullopt;
    LocalTime t;
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.day = tm.tm_mday;
    t.weekday = tm.tm_wday;
    t.hour = tm.tm_hour;
    t.minute = tm.tm_min;
    t.second = tm.tm_sec;
    return t;
}

std::optional<std::string> Win32Platform::WideToAnsi(std::u16string_view wide) {
    return WideToAnsiString(wide);
}
std::optional<WideString> Win32Platform::AnsiToWide(std::string_view ansi) { return AnsiToWideString(ansi); }

} // namespace pv
