// Finds the dialog boxes (class "#32770": message boxes and dialogs) that this process shows,
// reports their caption and text, and dismisses them, so that a program that raises modal boxes
// can run without anybody at the screen.
//
// A box that has an OK button and no Cancel button (a message box) is answered with OK; any other
// dialog gets WM_CLOSE (its Cancel). A box that is still there is asked again every second, and
// given up on (reported) after a bounded number of attempts.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <thread>

namespace pv::host {

struct SeenBox {
    std::wstring caption;
    std::wstring text;       // the static texts of the box, joined with " / "
    bool messageBox = false; // an OK-only box
};

class BoxWatcher {
public:
    // report is called on the watcher's thread, once per box, before it is dismissed.
    explicit BoxWatcher(std::function<void(const SeenBox&)> report);
    ~BoxWatcher();
    BoxWatcher(const BoxWatcher&) = delete;
    BoxWatcher& operator=(const BoxWatcher&) = delete;

    // Boxes seen so far.
    int Count() const { return m_count.load(); }
    // Boxes that would not go away.
    int Stuck() const { return m_stuck.load(); }

    static constexpr int kPollMilliseconds = 50;
    static constexpr int kRetryMilliseconds = 1000;
    static constexpr int kMaxAttempts = 10;

private:
    struct Pending {
        int attempts = 0;
        ULONGLONG lastAttempt = 0;
        bool messageBox = false;
    };

    void Run();
    void Scan();
    static SeenBox Read(HWND box);
    static void Dismiss(HWND box, bool messageBox);

    std::function<void(const SeenBox&)> m_report;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_count{0};
    std::atomic<int> m_stuck{0};
    std::map<HWND, Pending> m_pending; // watcher thread only
    DWORD m_pid;
    std::thread m_thread;
};

} // namespace pv::host
