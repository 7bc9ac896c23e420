// The owner rule of the module's boxes and dialog, with real windows and real message boxes that a
// helper thread dismisses (every wait is bounded, so nothing waits on a person).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/handles_win.h"
#include "platform/owner_window_win.h"
#include "platform/win32_platform_win.h"

namespace pv::wintest {
namespace {

using namespace std::chrono_literals;

void Pump() {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
}

// One top-level window of a private class, destroyed with the object.
class TestWindow {
public:
    TestWindow(const char* title, DWORD style, HWND owner) {
        static const ATOM cls = [] {
            WNDCLASSA wc{};
            wc.lpfnWndProc = ::DefWindowProcA;
            wc.hInstance = ::GetModuleHandleA(nullptr);
            wc.lpszClassName = "PvOwnerTestWindow";
            return ::RegisterClassA(&wc);
        }();
        m_hwnd.Reset(::CreateWindowExA(0, reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(cls)), title,
                                       style | WS_VISIBLE, 50, 50, 300, 200, owner, nullptr,
                                       ::GetModuleHandleA(nullptr), nullptr));
        Pump();
    }
    ~TestWindow() {
        m_hwnd.Reset();
        Pump();
    }
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;
    HWND Get() const { return m_hwnd.Get(); }

private:
    OwnedWindow m_hwnd;
};

// What a dismisser saw of the message box it closed.
struct BoxSeen {
    bool found = false;
    HWND owner = nullptr;
    bool ownerEnabledDuringBox = true;
};

// Finds the box captioned `caption`, notes its owner, presses OK. If no box appears within the
// deadline it ends the waiting thread's modal loop with WM_QUIT so the test cannot hang.
std::jthread Dismisser(const char* caption, DWORD boxThread, BoxSeen& seen) {
    return std::jthread([caption, boxThread, &seen] {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (HWND box = ::FindWindowA("#32770", caption)) {
                std::this_thread::sleep_for(100ms); // let the box finish showing itself
                seen.found = true;
                seen.owner = ::GetWindow(box, GW_OWNER);
                seen.ownerEnabledDuringBox = seen.owner ? ::IsWindowEnabled(seen.owner) != FALSE : true;
                ::PostMessageA(box, WM_COMMAND, IDOK, 0);
                return;
            }
            std::this_thread::sleep_for(20ms);
        }
        ::PostThreadMessageA(boxThread, WM_QUIT, 0, 0);
    });
}

class WinOwnerWindow : public ::testing::Test {
protected:
    void SetUp() override { RecordModuleThread(::GetCurrentThreadId()); }
    void TearDown() override { RecordModuleThread(0); }
};

TEST_F(WinOwnerWindow, NoActiveWindowMeansNoOwner) {
    ASSERT_EQ(::GetActiveWindow(), nullptr);
    EXPECT_EQ(FindModuleOwnerWindow(), nullptr);
}

TEST_F(WinOwnerWindow, LoadingThreadGetsTheLastActivePopupOfItsActiveWindow) {
    TestWindow main("pv owner main", WS_OVERLAPPEDWINDOW, nullptr);
    ASSERT_NE(main.Get(), nullptr);
    ::SetActiveWindow(main.Get());
    Pump();
    ASSERT_EQ(::GetActiveWindow(), main.Get());
    EXPECT_EQ(FindModuleOwnerWindow(), main.Get());

    TestWindow popup("pv owner popup", WS_POPUP | WS_CAPTION, main.Get());
    ::SetActiveWindow(popup.Get());
    Pump();
    ASSERT_EQ(::GetActiveWindow(), popup.Get());
    EXPECT_EQ(FindModuleOwnerWindow(), popup.Get());

    // Another thread sees no owner, however the loading thread's windows stand.
    HWND fromOther = reinterpret_cast<HWND>(1);
    std::thread([&] { fromOther = FindModuleOwnerWindow(); }).join();
    EXPECT_EQ(fromOther, nullptr);

    // Nor does the loading thread once it is no longer recorded as such.
    RecordModuleThread(::GetCurrentThreadId() + 1);
    EXPECT_EQ(FindModuleOwnerWindow(), nullptr);
}

TEST_F(WinOwnerWindow, MessageBoxOnTheLoadingThreadIsModalToTheOwner) {
    TestWindow main("pv box main", WS_OVERLAPPEDWINDOW, nullptr);
    ::SetActiveWindow(main.Get());
    Pump();
    ASSERT_EQ(::GetActiveWindow(), main.Get());

    Win32Platform platform(nullptr);
    BoxSeen seen;
    {
        auto dismisser = Dismisser("PvBoxOwned", ::GetCurrentThreadId(), seen);
        platform.ShowMessageBox("owned box", "PvBoxOwned", kMbOk | kMbIconExclamation);
    }
    Pump();
    ASSERT_TRUE(seen.found) << "the box never appeared";
    EXPECT_EQ(seen.owner, main.Get());
    EXPECT_FALSE(seen.ownerEnabledDuringBox) << "the owner is disabled while the box is up";
    EXPECT_TRUE(::IsWindowEnabled(main.Get())) << "and enabled again afterwards";
}

TEST_F(WinOwnerWindow, MessageBoxOnAnotherThreadHasNoOwner) {
    TestWindow main("pv box main 2", WS_OVERLAPPEDWINDOW, nullptr);
    ::SetActiveWindow(main.Get());
    Pump();

    BoxSeen seen;
    std::thread([&] {
        Win32Platform platform(nullptr);
        auto dismisser = Dismisser("PvBoxUnowned", ::GetCurrentThreadId(), seen);
        platform.ShowMessageBox("unowned box", "PvBoxUnowned", kMbOk | kMbIconExclamation);
    }).join();
    ASSERT_TRUE(seen.found) << "the box never appeared";
    EXPECT_EQ(seen.owner, nullptr);
    EXPECT_TRUE(::IsWindowEnabled(main.Get()));
}

} // namespace
} // namespace pv::wintest
