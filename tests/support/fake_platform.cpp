#include "tests/support/fake_platform.h"

#include <algorithm>
#include <cstring>

namespace pv::test {

namespace {

class MemoryFile : public File {
public:
    MemoryFile(FakePlatform& owner, std::string path, bool writable)
        : m_owner(owner), m_path(std::move(path)), m_writable(writable) {}
    ~MemoryFile() override {
        std::lock_guard lock(m_owner.mutex);
        m_owner.lockedFiles.erase(m_path);
    }
    FileStatus Read(void* buffer, std::size_t size, std::size_t* read) override {
        std::lock_guard lock(m_owner.mutex);
        const std::string& data = m_owner.files[m_path];
        std::size_t n = m_pos < data.size() ? std::min(size, data.size() - m_pos) : 0;
        if (n) std::memcpy(buffer, data.data() + m_pos, n);
        m_pos += n;
        *read = n;
        return FileStatus::Ok;
    }
    FileStatus Write(const void* buffer, std::size_t size) override {
        std::lock_guard lock(m_owner.mutex);
        if (!m_writable) return FileStatus::AccessDenied;
        std::string& data = m_owner.files[m_path];
        if (m_owner.diskCapacity) {
            std::size_t others = 0;
            for (const auto& [path, content] : m_owner.files)
                if (path != m_path) others += content.size();
            // What this file may grow to while the others keep their room.
            const std::size_t room = *m_owner.diskCapacity > others ? *m_owner.diskCapacity - others : 0;
            if (m_pos + size > std::max(room, data.size())) {
                // Write what fits, as a real disk does, then report it full.
                const std::size_t limit = std::max(room, data.size());
                std::size_t fits = limit > m_pos ? limit - m_pos : 0;
                if (data.size() < m_pos + fits) data.resize(m_pos + fits);
                std::memcpy(data.data() + m_pos, buffer, fits);
                m_pos += fits;
                return FileStatus::DiskFull;
            }
        }
        if (data.size() < m_pos + size) data.resize(m_pos + size);
        std::memcpy(data.data() + m_pos, buffer, size);
        m_pos += size;
        return FileStatus::Ok;
    }
    std::uint64_t Size() override {
        std::lock_guard lock(m_owner.mutex);
        return m_owner.files[m_path].size();
    }
    FileStatus Commit() override {
        std::function<FileStatus()> hook;
        {
            std::lock_guard lock(m_owner.mutex);
            hook = m_owner.onCommit;
        }
        return hook ? hook() : FileStatus::Ok;
    }

private:
    FakePlatform& m_owner;
    std::string m_path;
    bool m_writable;
    std::size_t m_pos = 0;
};

std::string RegKey(const char* subkey, const char* value) {
    return std::string(subkey ? subkey : "") + "\\" + (value ? value : "");
}

} // namespace

WideString W(std::string_view s) {
    WideString w;
    for (unsigned char c : s) w.push_back(static_cast<char16_t>(c));
    return w;
}

FakePlatform::FakePlatform() = default;
FakePlatform::~FakePlatform() = default;

void FakePlatform::SetRegString(const std::string& value, const std::string& text, bool withNul) {
    std::lock_guard lock(mutex);
    std::string bytes = text;
    if (withNul) bytes.push_back('\0');
    registry[RegKey("Pathvigil.CVigil", value.c_str())] = {kRegSz, bytes};
}

std::optional<std::string> FakePlatform::RegString(const std::string& value) const {
    std::lock_guard lock(mutex);
    auto it = registry.find(RegKey("Pathvigil.CVigil", value.c_str()));
    if (it == registry.end()) return std::nullopt;
    return it->second.bytes;
}

std::optional<uint32_t> FakePlatform::RegDword(const std::string& value) const {
    std::lock_guard lock(mutex);
    auto it = registry.find(RegKey("Pathvigil.CVigil", value.c_str()));
    if (it == registry.end() || it->second.bytes.size() != 4) return std::nullopt;
    uint32_t v;
    std::memcpy(&v, it->second.bytes.data(), 4);
    return v;
}

std::vector<std::string> FakePlatform::Requests() const {
    std::lock_guard lock(mutex);
    return requests;
}

std::vector<FakePlatform::Box> FakePlatform::Boxes() const {
    std::lock_guard lock(mutex);
    return boxes;
}

std::string FakePlatform::HostExecutablePath() {
    std::lock_guard l(mutex);
    return hostPath;
}
std::string FakePlatform::ModulePath() {
    std::lock_guard l(mutex);
    return modulePath;
}
std::string FakePlatform::WindowsDirectory() {
    std::lock_guard l(mutex);
    return windowsDir;
}
std::string FakePlatform::SystemDirectory() {
    std::lock_guard l(mutex);
    return systemDir;
}

std::unique_ptr<File> FakePlatform::OpenFile(const std::string& path, FileOpen mode) {
    std::lock_guard lock(mutex);
    if (lockedFiles.count(path)) return nullptr;
    switch (mode) {
    case FileOpen::Read:
    case FileOpen::WriteKeep:
        if (!files.count(path)) return nullptr;
        break;
    case FileOpen::CreateTruncate:
        if (createFails) return nullptr;
        files[path].clear();
        break;
    case FileOpen::WriteAlways:
        if (!files.count(path) && createFails) return nullptr;
        files[path];
        break;
    }
    lockedFiles.insert(path);
    return std::make_unique<MemoryFile>(*this, path, mode != FileOpen::Read);
}

FileStatus FakePlatform::MoveOver(const std::string& from, const std::string& to) {
    std::lock_guard lock(mutex);
    if (moveFails) return *moveFails;
    if (lockedFiles.count(from) || lockedFiles.count(to)) return FileStatus::SharingViolation;
    auto it = files.find(from);
    if (it == files.end()) return FileStatus::NotFound;
    std::string content = std::move(it->second);
    files.erase(it);
    files[to] = std::move(content);
    return FileStatus::Ok;
}

void FakePlatform::RemoveFile(const std::string& path) {
    std::lock_guard lock(mutex);
    if (!lockedFiles.count(path)) files.erase(path);
}

bool FakePlatform::ReadRegistryValue(const char* subkey, const char* value, void* data, uint32_t* size) {
    std::lock_guard lock(mutex);
    auto it = registry.find(RegKey(subkey, value));
    if (it == registry.end()) return false;
    const std::string& bytes = it->second.bytes;
    if (bytes.size() > *size) return false; // ERROR_MORE_DATA
    std::memcpy(data, bytes.data(), bytes.size());
    *size = static_cast<uint32_t>(bytes.size());
    return true;
}

bool FakePlatform::WriteRegistryValue(const char* subkey, const char* value, RegistryType type,
                                      const void* data, uint32_t size) {
    std::lock_guard lock(mutex);
    if (registryWritesFail) return false;
    registry[RegKey(subkey, value)] = {type, std::string(static_cast<const char*>(data), size)};
    return true;
}

InternetHandle FakePlatform::OpenInternetSession(const char*) {
    std::lock_guard lock(mutex);
    ++sessionOpens;
    if (sessionFails) return nullptr;
    return &m_session;
}

InternetHandle FakePlatform::OpenInternetUrl(InternetHandle session, const char* url) {
    std::function<std::optional<std::string>(const std::string&)> handler;
    {
        std::lock_guard lock(mutex);
        requests.push_back(url ? url : "");
        if (session != &m_session || !server) return nullptr;
        handler = server;
    }
    // The handler runs unlocked: a slow fake server must not serialise the judging threads.
    std::optional<std::string> body = handler(url ? url : "");
    if (!body) return nullptr;
    std::lock_guard lock(mutex);
    int h = m_nextHandle++;
    m_requests[h] = Request{std::move(*body), 0};
    return reinterpret_cast<InternetHandle>(static_cast<std::intptr_t>(h));
}

uint32_t FakePlatform::ReadInternetFile(InternetHandle request, void* buffer, uint32_t size) {
    std::lock_guard lock(mutex);
    auto it = m_requests.find(static_cast<int>(reinterpret_cast<std::intptr_t>(request)));
    if (it == m_requests.end()) return 0;
    Request& r = it->second;
    std::size_t n = std::min<std::size_t>(size, r.body.size() - r.pos);
    std::memcpy(buffer, r.body.data() + r.pos, n);
    r.pos += n;
    return static_cast<uint32_t>(n);
}

void FakePlatform::CloseInternetHandle(InternetHandle handle) {
    std::lock_guard lock(mutex);
    m_requests.erase(static_cast<int>(reinterpret_cast<std::intptr_t>(handle)));
}

int FakePlatform::OpenRequests() const {
    std::lock_guard lock(mutex);
    return static_cast<int>(m_requests.size());
}

void FakePlatform::ShowMessageBox(const std::string& text, const std::string& caption, unsigned style) {
    std::lock_guard lock(mutex);
    boxes.push_back({text, caption, style});
}

std::optional<LocalTime> FakePlatform::LocalNow() {
    std::lock_guard lock(mutex);
    return now;
}

std::optional<std::string> FakePlatform::WideToAnsi(std::u16string_view wide) {
    std::string out;
    out.reserve(wide.size());
    for (char16_t c : wide) {
        if (c > 0xFF) {
            if (strictConversion) return std::nullopt;
            out.push_back('?');
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

std::optional<WideString> FakePlatform::AnsiToWide(std::string_view ansi) {
    WideString out;
    out.reserve(ansi.size());
    for (unsigned char c : ansi) out.push_back(static_cast<char16_t>(c));
    return out;
}

} // namespace pv::test
