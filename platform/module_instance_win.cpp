#include "platform/module_instance_win.h"

#include <atomic>

namespace pv {

namespace {

std::atomic<HINSTANCE> g_instance{nullptr};

HINSTANCE ContainingModule() {
    HMODULE module = nullptr;
    // The module whose image holds this function: the DLL in the product, the test program when
    // the code is linked into it. No reference is taken, so nothing needs releasing.
    ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCSTR>(&ContainingModule), &module);
    return module;
}

} // namespace

HINSTANCE ModuleInstance() {
    if (HINSTANCE h = g_instance.load(std::memory_order_acquire)) return h;
    return ContainingModule();
}

void SetModuleInstance(HINSTANCE instance) { g_instance.store(instance, std::memory_order_release); }

} // namespace pv
