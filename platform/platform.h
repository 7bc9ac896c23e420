// What the filter's core needs from the operating system, and nothing more.
//
// The core (pv.dat, verdict, checking-service client, schedule, start-up) is written against this
// interface so that it builds without windows.h and runs natively under sanitizers and fuzzers.
// The Win32 implementation lives in platform/win32_platform_win.cpp; tests use
// tests/support/fake_platform.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace pv {

// Absent and empty are different things for the browser's strings (a null BSTR versus ""),
// so wide strings that may be absent travel as optional.
using WideString = std::u16string;
using OptWide = std::optional<WideString>;

// Calendar time broken down in local time, as the C runtime's localtime gives it.
struct LocalTime {
    int year = 0;    // full year, e.g. 2026
    int month = 0;   // 1..12
    int day = 0;     // 1..31
    int weekday = 0; // C numbering: Sunday 0 .. Saturday 6
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// Message box styles used by the module (values of the Win32 MB_* constants).
enum MessageStyle : unsigned {
    kMbOk = 0x0,
    kMbIconStop = 0x10,
    kMbIconExclamation = 0x30,
};

// Registry value types (values of the Win32 REG_* constants).
enum RegistryType : uint32_t {
    kRegSz = 1,
    kRegDword = 4,
};

// How a file is opened. All modes deny sharing to other openers.
enum class FileOpen {
    Read,           // existing file, read-only
    WriteKeep,      // existing file, write, no truncation, position 0
    CreateTruncate, // create or truncate, write
    WriteAlways,    // existing file or a new empty one, write, never truncated
};

// Outcome of one file operation, mapped from the platform's error codes.
enum class FileStatus {
    Ok,
    NotFound, // also an operation on a file that could not be opened (invalid handle)
    DiskFull,
    AccessDenied,
    SharingViolation,
    Generic,
};

class File {
public:
    virtual ~File() = default;
    // Reads up to `size` bytes; returns the count read (0 at end of file) or a failure status.
    virtual FileStatus Read(void* buffer, std::size_t size, std::size_t* read) = 0;
    // Writes all `size` bytes or reports why not.
    virtual FileStatus Write(const void* buffer, std::size_t size) = 0;
    // Size of the file in bytes (for bounding declared lengths before allocating).
    virtual std::uint64_t Size() = 0;
    // Makes everything written so far durable, so that a file put in another's place after a
    // crash is never a hollow one. Reports a failure the system only finds out now (a full disk).
    virtual FileStatus Commit() { return FileStatus::Ok; }
};

// An opaque WinINet handle (HINTERNET). Null means "no handle".
using InternetHandle = void*;

class Platform {
public:
    virtual ~Platform() = default;

    // --- process and module ---
    // Full path of the host process's executable (ANSI, at most 260 characters).
    virtual std::string HostExecutablePath() = 0;
    // Full path of this module's own file (ANSI); the application title is derived from it.
    virtual std::string ModulePath() = 0;
    virtual std::string WindowsDirectory() = 0;
    virtual std::string SystemDirectory() = 0;

    // --- files ---
    // Null when the file cannot be opened (or created) in that mode.
    virtual std::unique_ptr<File> OpenFile(const std::string& path, FileOpen mode) = 0;
    // Puts the file `from` in the place of `to` in one step, replacing `to` when it exists: a
    // reader finds either the old file or the new one, never a mixture. Fails while either is open.
    virtual FileStatus MoveOver(const std::string& from, const std::string& to) = 0;
    // Deletes a file that is not open; nothing happens when it cannot be deleted.
    virtual void RemoveFile(const std::string& path) = 0;

    // --- registry: values of HKEY_CLASSES_ROOT\<subkey>, through SHGetValueA / SHSetValueA ---
    // On entry *size is the buffer's capacity in bytes; on success it is the byte count stored.
    // Returns false when the key or value is missing or the read fails.
    virtual bool ReadRegistryValue(const char* subkey, const char* value, void* data, uint32_t* size) = 0;
    virtual bool WriteRegistryValue(const char* subkey, const char* value, RegistryType type,
                                    const void* data, uint32_t size) = 0;

    // --- WinINet ---
    virtual InternetHandle OpenInternetSession(const char* agent) = 0; // PRECONFIG, flags 0
    virtual InternetHandle OpenInternetUrl(InternetHandle session,
                                           const char* url) = 0; // no headers, flags 0, context 0
    // One read of at most `size` bytes; returns the number of bytes the platform reports as read.
    virtual uint32_t ReadInternetFile(InternetHandle request, void* buffer, uint32_t size) = 0;
    virtual void CloseInternetHandle(InternetHandle handle) = 0;

    // --- user interface ---
    // A modal message box owned as the module's boxes are (see the Windows implementation).
    virtual void ShowMessageBox(const std::string& text, const std::string& caption, unsigned style) = 0;

    // --- clock ---
    // The current calendar time broken down in local time; nullopt when either step fails.
    virtual std::optional<LocalTime> LocalNow() = 0;

    // --- code pages: the guard's ANSI conversion rule ---
    // nullopt when the conversion fails.
    virtual std::optional<std::string> WideToAnsi(std::u16string_view wide) = 0;
    virtual std::optional<WideString> AnsiToWide(std::string_view ansi) = 0;
};

// One WinINet handle, closed through the platform that opened it when the owner lets go.
class UniqueInternetHandle {
public:
    explicit UniqueInternetHandle(Platform& platform, InternetHandle handle = nullptr) noexcept
        : m_platform(platform), m_handle(handle) {}
    UniqueInternetHandle(const UniqueInternetHandle&) = delete;
    UniqueInternetHandle& operator=(const UniqueInternetHandle&) = delete;
    ~UniqueInternetHandle() { Reset(); }

    InternetHandle Get() const noexcept { return m_handle; }
    explicit operator bool() const noexcept { return m_handle != nullptr; }
    // Closes what is held (a null handle is never closed) and takes `handle` instead.
    void Reset(InternetHandle handle = nullptr) noexcept {
        if (InternetHandle old = m_handle) m_platform.CloseInternetHandle(old);
        m_handle = handle;
    }

private:
    Platform& m_platform;
    InternetHandle m_handle;
};

} // namespace pv
