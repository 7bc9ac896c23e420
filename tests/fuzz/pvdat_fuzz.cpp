// Feeds arbitrary bytes to the pv.dat reader as the file in the system directory, then checks
// that what was loaded is self-consistent and survives a save and a second load unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "store/data.h"
#include "store/file_error.h"
#include "tests/support/fake_platform.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void Check(bool ok, const char* what) {
    if (!ok) Fail(what);
}

std::string FirstLongest(const std::vector<std::string>& v) {
    std::string longest;
    for (const std::string& s : v)
        if (s.size() > longest.size()) longest = s;
    return longest;
}

void CheckConsistent(const pv::CData& d) {
    using pv::Listed;
    using pv::ListKind;
    Check(d.ScheduleRowCount() >= 7, "at least seven rows");
    const std::vector<std::string> prohibited = d.Entries(ListKind::Prohibited);
    const std::vector<std::string> allowed = d.Entries(ListKind::Allowed);
    Check(d.Count(ListKind::Prohibited) == prohibited.size(), "prohibited count");
    Check(d.Count(ListKind::Allowed) == allowed.size(), "allowed count");
    const std::set<std::string> p(prohibited.begin(), prohibited.end());
    const std::set<std::string> a(allowed.begin(), allowed.end());
    for (const std::string& s : prohibited)
        Check(d.Classify(s) == Listed::Prohibited, "prohibited entry found");
    for (const std::string& s : allowed)
        Check(d.Classify(s) == (p.count(s) ? Listed::Prohibited : Listed::Allowed), "allowed entry found");
    // Near misses answer as the sets say.
    for (const auto* list : {&prohibited, &allowed}) {
        for (const std::string& s : *list) {
            for (const std::string& probe : {s + "/", s.empty() ? std::string("x") : s.substr(1)}) {
                const Listed want = p.count(probe)   ? Listed::Prohibited
                                    : a.count(probe) ? Listed::Allowed
                                                     : Listed::Neither;
                Check(d.Classify(probe) == want, "near miss");
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    pv::test::FakePlatform fake;
    const std::string path = fake.PvDatPath();
    fake.files[path] = std::string(reinterpret_cast<const char*>(data), size);

    pv::CData d;
    d.Load(fake);
    CheckConsistent(d);
    const std::vector<std::string> prohibited = d.Entries(pv::ListKind::Prohibited);
    const std::vector<std::string> allowed = d.Entries(pv::ListKind::Allowed);
    Check(d.Longest(pv::ListKind::Prohibited) == FirstLongest(prohibited), "longest prohibited");
    Check(d.Longest(pv::ListKind::Allowed) == FirstLongest(allowed), "longest allowed");
    const pv::Schedule schedule = d.GetSchedule();

    // Saved and read again, everything comes back.
    d.Save(fake);
    Check(fake.files.size() == 1, "only pv.dat is left");
    pv::CData again;
    again.Load(fake);
    Check(again.Entries(pv::ListKind::Prohibited) == prohibited, "prohibited round trip");
    Check(again.Entries(pv::ListKind::Allowed) == allowed, "allowed round trip");
    const pv::Schedule back = again.GetSchedule();
    Check(back.rows == schedule.rows, "rows round trip");
    Check(back.bTimeLimit == schedule.bTimeLimit && back.bCommonTime == schedule.bCommonTime, "switches");
    Check(again.ScheduleRowCount() == 7, "seven rows after a clean save");

    // Removing the first entry of each list keeps the index in step with the order.
    for (pv::ListKind kind : {pv::ListKind::Prohibited, pv::ListKind::Allowed}) {
        std::vector<std::string> ref = again.Entries(kind);
        if (ref.empty()) continue;
        const std::string victim = ref.front();
        const std::size_t n = std::erase(ref, victim);
        Check(again.RemoveAll(kind, victim) == n, "remove count");
        Check(again.Entries(kind) == ref, "order after removal");
    }
    // Entries added after loading live beside the loaded ones and may equal one of them.
    for (pv::ListKind kind : {pv::ListKind::Prohibited, pv::ListKind::Allowed}) {
        const std::vector<std::string> other = again.Entries(
            kind == pv::ListKind::Prohibited ? pv::ListKind::Allowed : pv::ListKind::Prohibited);
        again.Append(kind, other.empty() ? std::string(300, 'x') : other.front());
    }
    CheckConsistent(again);

    // With little room left, a save either completes or leaves the last complete save untouched.
    const std::string saved = fake.files[path];
    fake.diskCapacity = saved.size() + size % 1024;
    bool complete = true;
    try {
        again.Save(fake);
    } catch (const pv::FileException& e) {
        Check(e.Cause() == pv::FileStatus::DiskFull, "disk full");
        complete = false;
    }
    fake.diskCapacity.reset();
    Check(fake.files.size() == 1, "no replacement is left behind");
    if (!complete) Check(fake.files[path] == saved, "a failed save changed pv.dat");
    pv::CData third;
    third.Load(fake);
    for (pv::ListKind kind : {pv::ListKind::Prohibited, pv::ListKind::Allowed}) {
        Check(third.Entries(kind) == (complete                           ? again.Entries(kind)
                                      : kind == pv::ListKind::Prohibited ? prohibited
                                                                         : allowed),
              "what loads is one complete save");
    }

    // A save that cannot open anything fails loudly instead of pretending.
    fake.lockedFiles.insert(path);
    fake.createFails = true;
    try {
        again.Save(fake);
        Fail("save to a locked file succeeded");
    } catch (const pv::FileException& e) {
        Check(e.Cause() == pv::FileStatus::NotFound, "not found");
    }
    return 0;
}
