// The real module under the real loader: it refuses a host whose path contains "explorer.exe" and
// loads into any other, whether it is freed again or the host simply exits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/handles_win.h"
#include "tests/support/store_support_win.h"

namespace pv::wintest {
namespace {

constexpr const char* kRoot = "C:\\pvloader";

// Copies this program to `folder`\`exe` (creating the folders) and removes it again.
class HostCopy {
public:
    HostCopy(const std::string& folder, const std::string& exe) : m_path(folder + "\\" + exe) {
        std::string partial;
        for (std::size_t i = 0; i <= folder.size(); ++i) {
            if (i == folder.size() || folder[i] == '\\') {
                partial = folder.substr(0, i);
                if (partial.size() > 2 && ::CreateDirectoryA(partial.c_str(), nullptr))
                    m_folders.push_back(partial);
            }
        }
        m_copied = ::CopyFileA(SelfPath().c_str(), m_path.c_str(), FALSE) != FALSE;
    }
    ~HostCopy() {
        ::DeleteFileA(m_path.c_str());
        for (auto it = m_folders.rbegin(); it != m_folders.rend(); ++it) ::RemoveDirectoryA(it->c_str());
    }
    HostCopy(const HostCopy&) = delete;
    HostCopy& operator=(const HostCopy&) = delete;

    bool Copied() const { return m_copied; }

    // Runs the copy as a loader host; its exit code, or -1 when it could not be run in time.
    int Load(const std::string& dll, bool free) const {
        std::string command = "\"" + m_path + "\" --load \"" + dll + "\"" + (free ? " --free" : "");
        STARTUPINFOA si{};
        si.cb = sizeof si;
        ProcessInformation host;
        if (!::CreateProcessA(m_path.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &si, host.Put()))
            return -1;
        int result = -1;
        if (::WaitForSingleObject(host.Process(), 60000) == WAIT_OBJECT_0) {
            DWORD code = 0;
            if (::GetExitCodeProcess(host.Process(), &code)) result = static_cast<int>(code);
        } else {
            ::TerminateProcess(host.Process(), 99);
            ::WaitForSingleObject(host.Process(), 10000);
        }
        return result;
    }

private:
    std::string m_path;
    std::vector<std::string> m_folders;
    bool m_copied = false;
};

class WinLoader : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(DllPath().empty()) << "run with --dll <path of Pathvigil.dll>";
        ASSERT_NE(::GetFileAttributesA(DllPath().c_str()), INVALID_FILE_ATTRIBUTES) << DllPath();
    }
    // The module's start-up reads the settings key and pv.dat; keep both as they were.
    SettingsKeyGuard m_keys;
};

TEST_F(WinLoader, RefusesHostsWhosePathContainsTheShellName) {
    struct Case {
        const char* folder;
        const char* exe;
    };
    for (const Case& c :
         {Case{"C:\\pvloader\\Explorer.EXE.bak", "loader.exe"}, Case{"C:\\pvloader\\win", "Explorer.EXE"},
          Case{"C:\\pvloader\\my explorer.exe files", "host.exe"}}) {
        std::string where = std::string(c.folder) + "\\" + c.exe;
        SCOPED_TRACE(where);
        HostCopy host(c.folder, c.exe);
        ASSERT_TRUE(host.Copied());
        EXPECT_EQ(host.Load(DllPath(), true), 1) << "LoadLibrary must fail";
    }
}

TEST_F(WinLoader, LoadsIntoOtherHostsAndUnloadsCleanly) {
    HostCopy ie("C:\\pvloader\\Internet Explorer", "iexplore.exe");
    ASSERT_TRUE(ie.Copied());
    EXPECT_EQ(ie.Load(DllPath(), true), 0) << "loaded and freed";
    EXPECT_EQ(ie.Load(DllPath(), false), 0) << "loaded; the host exits with the module in it";

    HostCopy plain("C:\\pvloader\\explorer\\exe", "browser.exe");
    ASSERT_TRUE(plain.Copied());
    EXPECT_EQ(plain.Load(DllPath(), true), 0);
}

TEST_F(WinLoader, OnlyTheHostPathCountsNotTheModulePath) {
    const std::string folder = std::string(kRoot) + "\\explorer.exe.modules";
    HostCopy host(std::string(kRoot) + "\\browser", "browser.exe");
    ASSERT_TRUE(host.Copied());
    ASSERT_TRUE(::CreateDirectoryA(folder.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS);
    const std::string dll = folder + "\\Pathvigil.dll";
    ASSERT_TRUE(::CopyFileA(DllPath().c_str(), dll.c_str(), FALSE));
    EXPECT_EQ(host.Load(dll, true), 0);
    ::DeleteFileA(dll.c_str());
    ::RemoveDirectoryA(folder.c_str());
}

} // namespace
} // namespace pv::wintest
