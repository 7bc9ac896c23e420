// The loader's entry point: builds the process's module state at attach and takes it down at detach.
#include <windows.h>

#include <new>

#include "platform/module_instance_win.h"
#include "platform/owner_window_win.h"
#include "platform/win32_platform_win.h"
#include "store/vigil_app.h"

namespace {

struct ModuleObjects {
    explicit ModuleObjects(HINSTANCE instance) : platform(instance), app(platform) {}
    pv::Win32Platform platform; // declared first: the module state uses it until its end
    pv::CVigilApp app;
};

// Storage whose own destructor does nothing. The objects are destroyed explicitly when the module
// is freed from a living process; at process exit they are deliberately left alone, because the
// browser object they hold a reference on and WinINet may already be torn down, and the C runtime
// would otherwise destroy them after DllMain returns.
union ModuleSlot {
    ModuleSlot() {}
    ~ModuleSlot() {}
    ModuleObjects objects;
};

ModuleSlot g_slot;
bool g_constructed = false; // only touched under the loader lock

void DestroyModuleObjects() noexcept {
    pv::SetTheApp(nullptr);
    if (!g_constructed) return;
    g_constructed = false;
    g_slot.objects.~ModuleObjects();
}

BOOL Attach(HINSTANCE instance) noexcept {
    try {
        // Thread notifications stay on: the statically linked C++ runtime and threads library
        // free their per-thread data when a browser thread ends.
        pv::SetModuleInstance(instance);
        pv::RecordModuleThread(::GetCurrentThreadId());
        ::new (static_cast<void*>(&g_slot.objects)) ModuleObjects(instance);
        g_constructed = true;
        // No WinINet call here: the session is opened by the first query, outside the loader lock.
        if (!g_slot.objects.app.Startup()) {
            DestroyModuleObjects();
            return FALSE;
        }
        pv::SetTheApp(&g_slot.objects.app);
        return TRUE;
    } catch (...) {
        DestroyModuleObjects();
        return FALSE;
    }
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        return Attach(instance);
    case DLL_PROCESS_DETACH:
        // reserved != null: the process is ending; other threads are gone and the objects we hold
        // references on may be too. Touch nothing. Otherwise the module is being freed (also
        // right after a refused attach, when there is nothing left to destroy).
        if (reserved == nullptr) DestroyModuleObjects();
        return TRUE;
    default:
        return TRUE;
    }
}
