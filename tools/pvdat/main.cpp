// pvdat: writes the filter data file (pv.dat in the system directory) with the module's own
// writer, for demos and tests that need lists and a schedule in place before the module loads.
//
// Usage: pvdat [--prohibited URL]... [--allowed URL]... [--time-limit] [--common-time]
//              [--day DAY=HH:MM-HH:MM]... [--show]
//
//   --prohibited URL, --allowed URL   list entries, in the order given
//   --time-limit                      switch the schedule on
//   --common-time                     Monday's times stand for every day
//   --day DAY=HH:MM-HH:MM             allow DAY (mon..sun, or 0..6 with Monday 0) in that window;
//                                     days not named stay closed (disabled, 00:00-00:00)
//   --show                            only print what the file holds now
//
// Without --show the file is replaced by exactly what the options say.
// Exit status: 0 done, 1 usage, 2 the file could not be written.

#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>

#include "platform/win32_platform_win.h"
#include "store/data.h"
#include "store/file_error.h"

namespace {

const char* const kDays[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};

std::optional<int> ParseDay(const std::string& text) {
    for (int i = 0; i < 7; ++i)
        if (text == kDays[i] || text == std::to_string(i)) return i;
    return std::nullopt;
}

// "HH:MM-HH:MM"
bool ParseWindow(const std::string& text, pv::ScheduleEntry& row) {
    int fromH = 0, fromM = 0, toH = 0, toM = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%d:%d-%d:%d%c", &fromH, &fromM, &toH, &toM, &tail) != 4) return false;
    if (fromH < 0 || fromH > 23 || toH < 0 || toH > 23 || fromM < 0 || fromM > 59 || toM < 0 || toM > 59)
        return false;
    row = pv::ScheduleEntry{1, fromH, fromM, toH, toM};
    return true;
}

void Show(pv::Platform& platform) {
    pv::CData data;
    data.Load(platform);
    std::printf("%s\n", pv::CData::FilePath(platform).c_str());
    for (const auto& e : data.Entries(pv::ListKind::Prohibited)) std::printf("prohibited %s\n", e.c_str());
    for (const auto& e : data.Entries(pv::ListKind::Allowed)) std::printf("allowed %s\n", e.c_str());
    const pv::Schedule s = data.GetSchedule();
    std::printf("time limit %s, common time %s\n", s.bTimeLimit ? "on" : "off", s.bCommonTime ? "on" : "off");
    for (int i = 0; i < 7; ++i) {
        const auto& r = s.rows[static_cast<std::size_t>(i)];
        std::printf("%s %s %02d:%02d-%02d:%02d\n", kDays[i], r.bEnabled ? "open  " : "closed", r.nFromHour,
                    r.nFromMinute, r.nToHour, r.nToMinute);
    }
}

int Usage() {
    std::fprintf(stderr, "usage: pvdat [--prohibited URL]... [--allowed URL]... [--time-limit] "
                         "[--common-time] [--day DAY=HH:MM-HH:MM]... [--show]\n");
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    pv::Win32Platform platform(nullptr);
    pv::CData data;
    pv::Schedule schedule;
    bool show = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--prohibited" && hasValue) {
            data.Append(pv::ListKind::Prohibited, argv[++i]);
        } else if (arg == "--allowed" && hasValue) {
            data.Append(pv::ListKind::Allowed, argv[++i]);
        } else if (arg == "--time-limit") {
            schedule.bTimeLimit = 1;
        } else if (arg == "--common-time") {
            schedule.bCommonTime = 1;
        } else if (arg == "--day" && hasValue) {
            const std::string spec = argv[++i];
            const std::size_t eq = spec.find('=');
            if (eq == std::string::npos) return Usage();
            auto day = ParseDay(spec.substr(0, eq));
            if (!day || !ParseWindow(spec.substr(eq + 1), schedule.rows[static_cast<std::size_t>(*day)]))
                return Usage();
        } else if (arg == "--show") {
            show = true;
        } else {
            return Usage();
        }
    }
    if (show) {
        Show(platform);
        return 0;
    }
    data.SetSchedule(schedule);
    try {
        // Save does not truncate: start from an empty file so nothing of an older one survives.
        const std::string path = pv::CData::FilePath(platform);
        DeleteFileA(path.c_str());
        data.Save(platform);
        std::printf("wrote %s\n", path.c_str());
    } catch (const pv::FileException& e) {
        std::fprintf(stderr, "pvdat: %s\n", e.Message().c_str());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pvdat: %s\n", e.what());
        return 2;
    }
    return 0;
}
