// pv.dat load/save cost at 100,000 and 1,000,000 entries next to a plain sequential read and
// write of the same file, plus the cost of one Classify and one RemoveAll at that size.
// Then, side by side in fresh processes (so that peak resident memory is the operation's own):
// Load of 1,000,000 entries against a plain read of the same file, beside the cost of the fresh
// memory alone and of a read that keeps the file's bytes in one block, and the module's start-up
// with a 10,000-entry pv.dat, in alternating rounds.
// Run by hand: build/<tree>/tests/bench/store_bench [directory for the files] [rounds]
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "store/archive.h"
#include "store/data.h"
#include "store/pod_buffer.h"
#include "store/vigil_app.h"
#include "tests/support/fake_platform.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// An unbuffered stdio file: every Read/Write is one system call, so the archive's own 4096-byte
// buffer is the only buffering, as it is with the Win32 file handle.
class StdioFile : public pv::File {
public:
    explicit StdioFile(std::FILE* f) : m_f(f) { std::setvbuf(m_f, nullptr, _IONBF, 0); }
    ~StdioFile() override { std::fclose(m_f); }
    pv::FileStatus Read(void* buffer, std::size_t size, std::size_t* read) override {
        *read = std::fread(buffer, 1, size, m_f);
        return std::ferror(m_f) ? pv::FileStatus::Generic : pv::FileStatus::Ok;
    }
    pv::FileStatus Write(const void* buffer, std::size_t size) override {
        return std::fwrite(buffer, 1, size, m_f) == size ? pv::FileStatus::Ok : pv::FileStatus::DiskFull;
    }
    std::uint64_t Size() override {
        struct stat st {};
        return fstat(fileno(m_f), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    }

private:
    std::FILE* m_f;
};

std::string Native(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

class DiskPlatform : public pv::test::FakePlatform {
public:
    explicit DiskPlatform(std::string dir) : m_dir(std::move(dir)) {}
    std::string SystemDirectory() override { return m_dir; }
    std::unique_ptr<pv::File> OpenFile(const std::string& path, pv::FileOpen mode) override {
        const std::string native = Native(path);
        std::FILE* f = nullptr;
        switch (mode) {
        case pv::FileOpen::Read:
            f = std::fopen(native.c_str(), "rb");
            break;
        case pv::FileOpen::WriteKeep:
            f = std::fopen(native.c_str(), "r+b");
            break;
        case pv::FileOpen::CreateTruncate:
            f = std::fopen(native.c_str(), "wb");
            break;
        case pv::FileOpen::WriteAlways:
            // Created when missing, never truncated.
            f = std::fopen(native.c_str(), "r+b");
            if (!f) f = std::fopen(native.c_str(), "w+b");
            break;
        }
        if (!f) return nullptr;
        return std::make_unique<StdioFile>(f);
    }
    pv::FileStatus MoveOver(const std::string& from, const std::string& to) override {
        return std::rename(Native(from).c_str(), Native(to).c_str()) == 0 ? pv::FileStatus::Ok
                                                                          : pv::FileStatus::Generic;
    }
    void RemoveFile(const std::string& path) override { std::remove(Native(path).c_str()); }

private:
    std::string m_dir;
};

// Peak resident memory of one operation, above what was resident before it (Linux).
long ReadStatusKb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
    return -1;
}
void ResetPeak() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
}

struct Measure {
    double ms = 0;      // wall clock, best of the repeats
    double worstMs = 0; // the slowest repeat (a cold allocator: the start-up case)
    double cpuMs = 0;   // user + system time of that best run (the machine may be shared)
    double peakMb = 0;
};

double CpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    return ms(u.ru_utime) + ms(u.ru_stime);
}

Measure Run(const std::function<void()>& op, int repeats = 3) {
    Measure best{1e300, 0, 0};
    for (int i = 0; i < repeats; ++i) {
        ResetPeak();
        const long before = ReadStatusKb("VmRSS:");
        const double cpu0 = CpuMs();
        const auto t0 = Clock::now();
        op();
        const double ms = Ms(Clock::now() - t0);
        const double cpu = CpuMs() - cpu0;
        const long peak = ReadStatusKb("VmHWM:");
        if (ms < best.ms) {
            best.ms = ms;
            best.cpuMs = cpu;
        }
        best.worstMs = std::max(best.worstMs, ms);
        best.peakMb = std::max(best.peakMb, (peak - before) / 1024.0);
    }
    return best;
}

std::string Address(std::mt19937& rng, std::size_t i) {
    static const char* const sections[] = {"news", "shop", "video", "a/b/c", "forum/thread", ""};
    std::string s = (rng() % 4 ? "http://www." : "https://");
    s += "host" + std::to_string(rng() % 200000) + ".example";
    s += "/" + std::string(sections[rng() % 6]);
    s += "/page-" + std::to_string(i) + ".html";
    return s;
}

void Bench(const std::string& dir, std::size_t n) {
    std::printf("\n== %zu entries ==\n", n);
    DiskPlatform disk(dir);
    const std::string path = Native(pv::CData::FilePath(disk));
    std::remove(path.c_str());

    std::mt19937 rng(42);
    std::vector<std::string> addresses;
    addresses.reserve(n);
    for (std::size_t i = 0; i < n; ++i) addresses.push_back(Address(rng, i));

    auto data = std::make_unique<pv::CData>();
    data->Load(disk);
    for (std::size_t i = 0; i < n; ++i)
        data->Append(i % 10 < 7 ? pv::ListKind::Prohibited : pv::ListKind::Allowed, addresses[i]);

    Measure save = Run([&] { data->Save(disk); });
    struct stat st {};
    stat(path.c_str(), &st);
    const std::size_t fileSize = static_cast<std::size_t>(st.st_size);

    // The same bytes, written and read plainly in 4096-byte chunks through the same file class.
    std::string bytes(fileSize, '\0');
    {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (!f || std::fread(bytes.data(), 1, fileSize, f) != fileSize) std::perror("read back");
        if (f) std::fclose(f);
    }
    const std::string copy = path + ".plain";
    Measure plainWrite = Run([&] {
        StdioFile out(std::fopen(copy.c_str(), "wb"));
        for (std::size_t at = 0; at < bytes.size(); at += 4096)
            out.Write(bytes.data() + at, std::min<std::size_t>(4096, bytes.size() - at));
    });
    Measure plainRead = Run([&] {
        StdioFile in(std::fopen(path.c_str(), "rb"));
        char buf[4096];
        std::size_t got = 0, total = 0;
        do {
            in.Read(buf, sizeof buf, &got);
            total += got;
        } while (got);
        if (total != fileSize) std::printf("short read\n");
    });
    // Plain stdio with its default buffering, for reference.
    Measure stdioRead = Run([&] {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        char buf[4096];
        while (std::fread(buf, 1, sizeof buf, f) == sizeof buf) {}
        std::fclose(f);
    });

    // Every record through the archive without keeping it: the cost of the format itself.
    Measure parse = Run([&] {
        auto file = disk.OpenFile(pv::CData::FilePath(disk), pv::FileOpen::Read);
        pv::Archive ar(file.get(), pv::Archive::Mode::Load, path, &disk);
        ar.ReadString();
        for (int i = 0; i < 7 * 5 + 2; ++i) ar.ReadInt32();
        const int32_t count = ar.ReadInt32();
        std::string scratch;
        std::size_t total = 0;
        for (int32_t i = 0; i < count; ++i) {
            ar.ReadInt32();
            total += ar.ReadString(scratch).size();
        }
        if (total == 0) std::printf("nothing parsed\n");
    });

    std::unique_ptr<pv::CData> loaded;
    Measure load = Run([&] {
        loaded = std::make_unique<pv::CData>();
        loaded->Load(disk);
    });
    if (loaded->Count(pv::ListKind::Prohibited) + loaded->Count(pv::ListKind::Allowed) != n)
        std::printf("LOAD LOST ENTRIES\n");
    data.reset();

    // Classify: half hits (random entries of either list), half misses that differ by one byte.
    const std::size_t probes = 200000;
    std::vector<std::string> queries;
    queries.reserve(probes);
    for (std::size_t i = 0; i < probes; ++i) {
        std::string q = addresses[rng() % n];
        if (i % 2) q.back() = 'X';
        queries.push_back(std::move(q));
    }
    std::vector<double> ns;
    ns.reserve(probes);
    std::size_t hits = 0;
    std::size_t hitsBatched = 0;
    for (const std::string& q : queries) {
        const auto t0 = Clock::now();
        const pv::Listed r = loaded->Classify(q);
        const auto t1 = Clock::now();
        hits += r != pv::Listed::Neither;
        ns.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
    }
    std::sort(ns.begin(), ns.end());
    const auto t0 = Clock::now();
    for (const std::string& q : queries) hitsBatched += loaded->Classify(q) != pv::Listed::Neither;
    const double meanNs = std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / probes;

    // RemoveAll of one entry in the middle of the big list (one linear pass).
    const std::string victim =
        loaded->Entries(pv::ListKind::Prohibited)[loaded->Count(pv::ListKind::Prohibited) / 2];
    const auto r0 = Clock::now();
    const std::size_t removed = loaded->RemoveAll(pv::ListKind::Prohibited, victim);
    const double removeMs = Ms(Clock::now() - r0);

    std::printf("file %.1f MB\n", fileSize / 1048576.0);
    auto row = [](const char* what, const Measure& m) {
        std::printf("%-32s %8.1f ms wall (worst %7.1f) %8.1f ms cpu  peak +%6.1f MB\n", what, m.ms, m.worstMs,
                    m.cpuMs, m.peakMb);
    };
    row("Save (CData)", save);
    row("plain write, 4096-byte chunks", plainWrite);
    row("Load (CData, with index)", load);
    row("parse only (archive, no lists)", parse);
    row("plain read, 4096-byte chunks", plainRead);
    row("plain stdio fread (buffered)", stdioRead);
    std::printf("Save/plain write %.2fx wall %.2fx cpu; Load/plain read %.2fx wall %.2fx cpu\n",
                save.ms / plainWrite.ms, save.cpuMs / plainWrite.cpuMs, load.ms / plainRead.ms,
                load.cpuMs / plainRead.cpuMs);
    std::printf("Classify: median %.0f ns, p99 %.0f ns, mean (batched) %.0f ns; %zu of %zu listed (%zu)\n",
                ns[ns.size() / 2], ns[ns.size() * 99 / 100], meanNs, hits, probes, hitsBatched);
    std::printf("RemoveAll of one entry: %.1f ms (%zu removed)\n", removeMs, removed);
    std::printf("resident after load: %.1f MB\n", ReadStatusKb("VmRSS:") / 1024.0);

    std::remove(copy.c_str());
    std::remove(path.c_str());
}

// ---- side by side, one fresh process per measurement ----

void WriteFile(const std::string& dir, std::size_t n) {
    DiskPlatform disk(dir);
    std::mt19937 rng(7);
    pv::CData data;
    // Loaded only for the seven default rows: a pv.dat already there would add its entries.
    std::remove(Native(pv::CData::FilePath(disk)).c_str());
    data.Load(disk);
    for (std::size_t i = 0; i < n; ++i)
        data.Append(i % 10 < 7 ? pv::ListKind::Prohibited : pv::ListKind::Allowed, Address(rng, i));
    data.Save(disk);
}

// Runs one operation in this process and prints "wall-ms cpu-ms peak-rss-kB entries".
int Child(const std::string& op, const std::string& dir) {
    DiskPlatform disk(dir);
    std::size_t entries = 0;
    const double cpu0 = CpuMs();
    const auto t0 = Clock::now();
    if (op == "read") {
        StdioFile in(std::fopen(Native(pv::CData::FilePath(disk)).c_str(), "rb"));
        char buf[4096];
        std::size_t got = 0;
        do {
            in.Read(buf, sizeof buf, &got);
            entries += got;
        } while (got);
    } else if (op == "keep") {
        // The least any loader that keeps the file's bytes does: one block of the file's size,
        // filled by reads of the archive's load size that, as the archive's, never ask for more
        // than the file announces (so the block is never grown).
        StdioFile in(std::fopen(Native(pv::CData::FilePath(disk)).c_str(), "rb"));
        const auto size = static_cast<std::size_t>(in.Size());
        static pv::detail::PodBuffer<char> kept;
        kept.reserve(size);
        while (kept.size() < size) {
            const std::size_t block = std::min(pv::Archive::kLoadBufferSize, size - kept.size());
            std::size_t got = 0;
            in.Read(kept.Extend(block), block, &got);
            kept.Truncate(kept.size() - block + got);
            if (got == 0) break;
        }
        entries = kept.size();
    } else if (op == "load") {
        // Small pages, as the Windows module gets its memory (large pages there need a privilege
        // a browser does not hold): the cost of first touching every page shows.
        static pv::CData data; // kept: its memory is what is measured
        data.Load(disk);
        entries = data.Count(pv::ListKind::Prohibited) + data.Count(pv::ListKind::Allowed);
    } else if (op.rfind("touch=", 0) == 0) {
        // Fresh memory as much as a Load keeps, taken the way Load takes its blocks, one write
        // per page: what the system charges for the memory alone (page faults and zeroing),
        // whatever is put into it.
        const std::size_t bytes = static_cast<std::size_t>(std::atof(op.c_str() + 6) * 1048576.0);
        static char* block = static_cast<char*>(std::calloc(bytes, 1));
        for (std::size_t at = 0; block && at < bytes; at += 4096) block[at] = 1;
        entries = block ? bytes : 0;
    } else if (op == "startup") {
        static pv::CVigilApp app(disk);
        if (!app.Startup()) return 1;
        entries = app.m_data.Count(pv::ListKind::Prohibited) + app.m_data.Count(pv::ListKind::Allowed);
    } else {
        return 2;
    }
    const double ms = Ms(Clock::now() - t0);
    const double cpu = CpuMs() - cpu0;
    std::printf("%.3f %.3f %ld %zu\n", ms, cpu, ReadStatusKb("VmHWM:"), entries);
    return 0;
}

struct Sample {
    double ms = 0, cpuMs = 0, peakMb = 0;
    std::size_t entries = 0;
};

Sample Spawn(const std::string& op, const std::string& dir) {
    char self[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return {};
    const std::string command =
        "'" + std::string(self, static_cast<std::size_t>(n)) + "' --child " + op + " '" + dir + "'";
    Sample s;
    if (std::FILE* p = popen(command.c_str(), "r")) {
        long kb = 0;
        if (std::fscanf(p, "%lf %lf %ld %zu", &s.ms, &s.cpuMs, &kb, &s.entries) != 4)
            std::printf("%s failed\n", op.c_str());
        s.peakMb = kb / 1024.0;
        pclose(p);
    }
    return s;
}

void Summary(const char* what, std::vector<double> v, const char* unit) {
    std::sort(v.begin(), v.end());
    std::printf("  %-44s median %8.2f %s  range %8.2f .. %8.2f\n", what, v[v.size() / 2], unit, v.front(),
                v.back());
}

// Rounds alternate which side runs first, so that a burst of load from other users of the machine
// does not always fall on the same side.
void SideBySide(const std::string& dir, int rounds) {
    const std::string loadDir = dir + "/pv-load";
    const std::string startDir = dir + "/pv-start";
    mkdir(loadDir.c_str(), 0755);
    mkdir(startDir.c_str(), 0755);
    WriteFile(loadDir, 1000000);
    WriteFile(startDir, 10000);
    struct stat st {};
    stat((loadDir + "/pv.dat").c_str(), &st);
    const double fileMb = st.st_size / 1048576.0;
    struct stat small {};
    stat((startDir + "/pv.dat").c_str(), &small);
    Spawn("read", loadDir); // the file in the page cache for both sides

    std::vector<double> loadRatio, loadCpuRatio, loadMem, readMs, loadMs, readMem, start, startCpu, startMem,
        startRead, touchRatio, keepMs, keepRatio;
    for (int r = 0; r < rounds; ++r) {
        Sample read, load, keep, su, sread;
        if (r % 2 == 0) {
            read = Spawn("read", loadDir);
            load = Spawn("load", loadDir);
            keep = Spawn("keep", loadDir);
            su = Spawn("startup", startDir);
            sread = Spawn("read", startDir);
        } else {
            keep = Spawn("keep", loadDir);
            load = Spawn("load", loadDir);
            read = Spawn("read", loadDir);
            sread = Spawn("read", startDir);
            su = Spawn("startup", startDir);
        }
        if (load.entries != 1000000 || su.entries != 10000 ||
            keep.entries != static_cast<std::size_t>(st.st_size))
            std::printf("LOST ENTRIES\n");
        keepMs.push_back(keep.ms);
        keepRatio.push_back(load.ms / keep.ms);
        char touchOp[32];
        std::snprintf(touchOp, sizeof touchOp, "touch=%.1f", load.peakMb - read.peakMb);
        const Sample touch = Spawn(touchOp, loadDir);
        touchRatio.push_back(touch.ms / read.ms);
        std::printf(
            "round %d: read %.1f ms (cpu %.1f) | kept %.1f ms | Load %.1f ms (cpu %.1f) peak %.1f MB | "
            "start-up %.2f ms (cpu %.2f) peak %.1f MB | read of the small file %.2f ms\n",
            r + 1, read.ms, read.cpuMs, keep.ms, load.ms, load.cpuMs, load.peakMb, su.ms, su.cpuMs, su.peakMb,
            sread.ms);
        readMs.push_back(read.ms);
        loadMs.push_back(load.ms);
        loadRatio.push_back(load.ms / read.ms);
        loadCpuRatio.push_back(load.cpuMs / std::max(read.cpuMs, 0.001));
        loadMem.push_back(load.peakMb / fileMb);
        readMem.push_back(read.peakMb);
        start.push_back(su.ms);
        startCpu.push_back(su.cpuMs);
        startMem.push_back(su.peakMb);
        startRead.push_back(sread.ms);
    }
    std::printf(
        "\n== side by side, %d rounds: 1,000,000 entries, file %.1f MB; 10,000 entries, file %.2f MB ==\n",
        rounds, fileMb, small.st_size / 1048576.0);
    Summary("plain read (4096-byte chunks), wall", readMs, "ms");
    Summary("Load, wall", loadMs, "ms");
    Summary("Load / plain read, wall", loadRatio, "x ");
    Summary("Load / plain read, cpu", loadCpuRatio, "x ");
    Summary("plain read process, peak resident", readMem, "MB");
    Summary("Load process, peak resident / file size", loadMem, "x ");
    Summary("touching that much fresh memory / plain read, wall", touchRatio, "x ");
    Summary("read kept in one block of the file's size, wall", keepMs, "ms");
    Summary("Load / read kept in one block, wall", keepRatio, "x ");
    Summary("start-up with 10,000 entries, wall", start, "ms");
    Summary("start-up with 10,000 entries, cpu", startCpu, "ms");
    Summary("start-up process, peak resident", startMem, "MB");
    Summary("plain read of the 10,000-entry file, wall", startRead, "ms");
    for (const std::string& d : {loadDir, startDir}) {
        std::remove((d + "/pv.dat").c_str());
        rmdir(d.c_str());
    }
}

} // namespace

int main(int argc, char** argv) {
    // The pieces, for profiling one side: --write DIR N makes DIR/pv.dat; --child OP DIR runs one.
    if (argc == 4 && std::string(argv[1]) == "--child") return Child(argv[2], argv[3]);
    if (argc == 4 && std::string(argv[1]) == "--write") {
        WriteFile(argv[2], static_cast<std::size_t>(std::atol(argv[3])));
        return 0;
    }
    const std::string dir = argc > 1 ? argv[1] : "/tmp";
    const int rounds = argc > 2 ? std::max(3, std::atoi(argv[2])) : 5;
    if (!std::getenv("PV_BENCH_SIDE_BY_SIDE_ONLY")) {
        for (std::size_t n : {std::size_t{100000}, std::size_t{1000000}}) Bench(dir, n);
    }
    SideBySide(dir, rounds);
    return 0;
}
