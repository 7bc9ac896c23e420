// A fake platform that also records which operating-system services were asked for, in order,
// for the module state's start-up and settings tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "store/vigil_app.h"
#include "tests/support/fake_platform.h"

namespace pv::test {

class RecordingPlatform : public FakePlatform {
public:
    std::vector<std::string> Calls() const {
        std::lock_guard lock(mutex);
        return m_calls;
    }
    int Writes() const {
        std::lock_guard lock(mutex);
        return m_writes;
    }
    std::vector<InternetHandle> Closed() const {
        std::lock_guard lock(mutex);
        return m_closed;
    }

    std::string HostExecutablePath() override {
        Log("host");
        return FakePlatform::HostExecutablePath();
    }
    std::string ModulePath() override {
        Log("module");
        return FakePlatform::ModulePath();
    }
    std::string WindowsDirectory() override {
        Log("windir");
        return FakePlatform::WindowsDirectory();
    }
    std::string SystemDirectory() override {
        Log("sysdir");
        return FakePlatform::SystemDirectory();
    }
    std::unique_ptr<File> OpenFile(const std::string& path, FileOpen mode) override {
        Log("open " + path);
        return FakePlatform::OpenFile(path, mode);
    }
    bool ReadRegistryValue(const char* subkey, const char* value, void* data, uint32_t* size) override {
        Log(std::string("get ") + subkey + "\\" + value);
        return FakePlatform::ReadRegistryValue(subkey, value, data, size);
    }
    bool WriteRegistryValue(const char* subkey, const char* value, RegistryType type, const void* data,
                            uint32_t size) override {
        {
            std::lock_guard lock(mutex);
            ++m_writes;
        }
        Log(std::string("set ") + subkey + "\\" + value);
        return FakePlatform::WriteRegistryValue(subkey, value, type, data, size);
    }
    InternetHandle OpenInternetSession(const char* agent) override {
        Log(std::string("inet open ") + agent);
        // Slow enough that threads arriving together really overlap inside the open.
        if (openDelay.count() > 0) std::this_thread::sleep_for(openDelay);
        return FakePlatform::OpenInternetSession(agent);
    }
    void CloseInternetHandle(InternetHandle handle) override {
        {
            std::lock_guard lock(mutex);
            m_closed.push_back(handle);
        }
        FakePlatform::CloseInternetHandle(handle);
    }

    std::chrono::milliseconds openDelay{0};

private:
    void Log(std::string what) {
        std::lock_guard lock(mutex);
        m_calls.push_back(std::move(what));
    }
    std::vector<std::string> m_calls;
    std::vector<InternetHandle> m_closed;
    int m_writes = 0;
};

// Puts a registry value of any type and content, as another program might have written it.
inline void PutRegValue(FakePlatform& fake, const std::string& value, RegistryType type, std::string bytes) {
    std::lock_guard lock(fake.mutex);
    fake.registry["Pathvigil.CVigil\\" + value] = {type, std::move(bytes)};
}

inline std::string Repeat(char c, std::size_t n) { return std::string(n, c); }

} // namespace pv::test
