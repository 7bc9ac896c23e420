// An in-memory stand-in for the operating system, for tests of the portable core.
// Thread-safe: the thread tests share one instance between judging threads.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace pv::test {

class FakePlatform : public Platform {
public:
    struct Box {
        std::string text;
        std::string caption;
        unsigned style;
    };
    struct RegValue {
        RegistryType type;
        std::string bytes;
    };

    FakePlatform();
    ~FakePlatform() override;

    // --- configuration (public, set before use or under your own ordering) ---
    std::string hostPath = "C:\\Program Files\\Internet Explorer\\iexplore.exe";
    std::string modulePath = "C:\\Program Files\\Pathvigil\\Pathvigil.dll";
    std::string windowsDir = "C:\\WINDOWS";
    std::string systemDir = "C:\\WINDOWS\\system32";

    // Files by full path. A path in lockedFiles cannot be opened (sharing violation).
    std::map<std::string, std::string> files;
    std::set<std::string> lockedFiles;
    bool createFails = false; // OpenFile(CreateTruncate) fails
    // Bytes all files together may hold; a write past it stores what fits and reports DiskFull.
    std::optional<std::size_t> diskCapacity;
    std::function<FileStatus()> onCommit; // File::Commit reports what this returns
    std::optional<FileStatus> moveFails;  // MoveOver reports this and moves nothing

    // Registry: "subkey\\value" -> value. Failing writes are dropped silently.
    std::map<std::string, RegValue> registry;
    bool registryWritesFail = false;

    // Internet: sessionOpens counts OpenInternetSession calls; sessionFails makes them return null.
    bool sessionFails = false;
    int sessionOpens = 0;
    // Answers one URL: nullopt = the request cannot be opened; otherwise the response body.
    std::function<std::optional<std::string>(const std::string& url)> server;
    std::vector<std::string> requests; // every URL passed to OpenInternetUrl, in order

    // Message boxes shown, in order.
    std::vector<Box> boxes;

    // Clock: nullopt makes LocalNow fail.
    std::optional<LocalTime> now = LocalTime{2026, 12, 7, 1, 12, 0, 0}; // a Monday, noon

    // Conversion: code units up to 0xFF map to the same byte; others make the conversion fail
    // when strictConversion is set, else become '?'.
    bool strictConversion = true;

    // --- helpers for tests ---
    void SetRegString(const std::string& value, const std::string& text, bool withNul = false);
    std::optional<std::string> RegString(const std::string& value) const;
    std::optional<uint32_t> RegDword(const std::string& value) const;
    std::vector<std::string> Requests() const;
    std::vector<Box> Boxes() const;
    std::string PvDatPath() const { return systemDir + "\\pv.dat"; }

    // --- Platform ---
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

    // Handles still open (requests not closed); a test can check nothing leaked.
    int OpenRequests() const;

    mutable std::recursive_mutex mutex;

private:
    struct Request {
        std::string body;
        std::size_t pos = 0;
    };
    std::map<int, Request> m_requests;
    int m_nextHandle = 100;
    int m_session = 1; // the address of this int stands for the session handle
};

// Wide string from a narrow literal (ASCII/Latin-1).
WideString W(std::string_view s);

} // namespace pv::test
