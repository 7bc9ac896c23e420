#include "platform/module_instance_win.h"

#include <atomic>
#include <vector>

namespace pv {

namespace {

std::atomic<HINSTANCE> g_instance{nullptr};

HINSTANCE ContainingModule() {
    HMODULE module = nullptr;
    // The module whose image holds this function: the DLL in the product, the test program when
    // the code is linked into it. No reference is taken, so nothing needs releasing.
    ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                             GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCSTR>(&ContainingModule), &module);
    return module;
}

} // namespace

HINSTANCE ModuleInstance() {
    if (HINSTANCE h = g_instance.load(std::memory_order_acquire)) return h;
    return ContainingModule();
}

void SetModuleInstance(HINSTANCE instance) { g_instance.store(instance, std::memory_order_release); }

std::wstring ModuleFilePath() {
    HMODULE module = ModuleInstance();
    if (!module) return {};
    // Paths may exceed MAX_PATH; grow until the name fits (GetModuleFileNameW truncates
    // silently, reporting the full buffer size).
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD n = ::GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) return std::wstring(buffer.data(), n);
        if (buffer.size() >= 32768) return {};
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace pv
