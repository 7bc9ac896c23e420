// The module's owners of Win32 handles and automation values: each kind has exactly one type
// here, and nothing outside this header releases such a handle by hand. (COM references have
// ComPtr. The portable core holds WinINet handles by UniqueInternetHandle in platform.h, which
// closes them through the platform; the Win32 platform closes them with WinInetHandle here.)
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wininet.h>

#include <string_view>
#include <utility>

namespace pv {

// The owner of one handle of a kind that Traits describes: Traits::Handle, the value that means
// none (Traits::None), which values are handles at all (Traits::Valid: the kinds disagree, see
// KernelHandle) and how one is given back (Traits::Close, false when the system refuses). The
// handle is closed on destruction; owners move, never copy.
template <class Traits>
class UniqueHandle {
public:
    using Handle = typename Traits::Handle;

    UniqueHandle() noexcept = default;
    // Takes over a handle the caller owns; an invalid one counts as none.
    explicit UniqueHandle(Handle handle) noexcept : m_handle(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.Detach()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        UniqueHandle(std::move(other)).Swap(*this);
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { Reset(); }

    Handle Get() const noexcept { return m_handle; }
    explicit operator bool() const noexcept { return Traits::Valid(m_handle); }
    // For out-parameters: closes what is held and exposes the slot.
    Handle* Put() noexcept {
        Reset();
        return &m_handle;
    }
    // Closes what is held now and takes `handle` instead. False when the system refused to close
    // the old handle; holding none counts as closed.
    bool Reset(Handle handle = Traits::None()) noexcept {
        const Handle old = std::exchange(m_handle, handle);
        return !Traits::Valid(old) || Traits::Close(old);
    }
    // Gives the handle up without closing it.
    Handle Detach() noexcept { return std::exchange(m_handle, Traits::None()); }
    void Swap(UniqueHandle& other) noexcept { std::swap(m_handle, other.m_handle); }

private:
    Handle m_handle = Traits::None();
};

// The kinds whose "none" is null.
template <class H>
struct NullIsNoneTraits {
    using Handle = H;
    static constexpr Handle None() noexcept { return nullptr; }
    static bool Valid(Handle handle) noexcept { return handle != nullptr; }
};

struct RegKeyTraits : NullIsNoneTraits<HKEY> {
    static bool Close(HKEY key) noexcept { return ::RegCloseKey(key) == ERROR_SUCCESS; }
};
// An open registry key (never one of the predefined roots).
using RegKey = UniqueHandle<RegKeyTraits>;

// A kernel object's handle: file, event, process, thread. The functions that open them disagree
// on "none": CreateFile answers INVALID_HANDLE_VALUE, CreateEvent and OpenProcess null. Both are
// none here, so test the owner itself, not Get() against one of them. (A pseudo-handle such as
// GetCurrentProcess() is nobody's to close and never goes into an owner.)
struct KernelHandleTraits {
    using Handle = HANDLE;
    static constexpr Handle None() noexcept { return nullptr; }
    static bool Valid(HANDLE handle) noexcept { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
    static bool Close(HANDLE handle) noexcept { return ::CloseHandle(handle) != FALSE; }
};
using KernelHandle = UniqueHandle<KernelHandleTraits>;

// What CreateProcess hands back: the new process's handle and its first thread's, both closed on
// destruction (the process runs on regardless).
class ProcessInformation {
public:
    ProcessInformation() noexcept = default;
    ProcessInformation(const ProcessInformation&) = delete;
    ProcessInformation& operator=(const ProcessInformation&) = delete;
    ~ProcessInformation() { Reset(); }

    // For CreateProcess's out-parameter: closes what is held and exposes the cleared structure.
    PROCESS_INFORMATION* Put() noexcept {
        Reset();
        return &m_info;
    }
    HANDLE Process() const noexcept { return m_info.hProcess; }
    HANDLE Thread() const noexcept { return m_info.hThread; }
    DWORD ProcessId() const noexcept { return m_info.dwProcessId; }
    explicit operator bool() const noexcept { return KernelHandleTraits::Valid(m_info.hProcess); }

private:
    void Reset() noexcept {
        KernelHandle(std::exchange(m_info.hThread, nullptr)).Reset();
        KernelHandle(std::exchange(m_info.hProcess, nullptr)).Reset();
        m_info = PROCESS_INFORMATION{};
    }

    PROCESS_INFORMATION m_info{};
};

struct LoadedLibraryTraits : NullIsNoneTraits<HMODULE> {
    static bool Close(HMODULE module) noexcept { return ::FreeLibrary(module) != FALSE; }
};
// A module loaded with LoadLibrary (a reference on it, not a GetModuleHandle look-up).
using LoadedLibrary = UniqueHandle<LoadedLibraryTraits>;

struct WinInetHandleTraits : NullIsNoneTraits<HINTERNET> {
    static bool Close(HINTERNET handle) noexcept { return ::InternetCloseHandle(handle) != FALSE; }
};
// A WinINet session or request.
using WinInetHandle = UniqueHandle<WinInetHandleTraits>;

struct OwnedWindowTraits : NullIsNoneTraits<HWND> {
    static bool Close(HWND window) noexcept { return ::DestroyWindow(window) != FALSE; }
};
// A window this code created. DestroyWindow works only on the window's own thread, so the owner
// stays on the thread that made the window.
using OwnedWindow = UniqueHandle<OwnedWindowTraits>;

template <class T>
struct CoTaskMemTraits : NullIsNoneTraits<T*> {
    static bool Close(T* memory) noexcept {
        ::CoTaskMemFree(memory);
        return true;
    }
};
// Memory a COM function handed out from the task allocator (a ProgID string, say).
template <class T>
using CoTaskMem = UniqueHandle<CoTaskMemTraits<T>>;

// A BSTR freed on destruction. A null BSTR is a valid (absent) value.
class Bstr {
public:
    Bstr() noexcept = default;
    explicit Bstr(std::wstring_view text)
        : m_p(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    Bstr(Bstr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    Bstr& operator=(Bstr&& other) noexcept {
        Bstr(std::move(other)).Swap(*this);
        return *this;
    }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { ::SysFreeString(m_p); }

    BSTR Get() const noexcept { return m_p; }
    // For out-parameters: frees what is held and exposes the slot.
    BSTR* Put() noexcept {
        ::SysFreeString(std::exchange(m_p, nullptr));
        return &m_p;
    }
    BSTR Detach() noexcept { return std::exchange(m_p, nullptr); }
    std::wstring_view View() const noexcept {
        return m_p ? std::wstring_view(m_p, ::SysStringLen(m_p)) : std::wstring_view();
    }
    void Swap(Bstr& other) noexcept { std::swap(m_p, other.m_p); }

private:
    BSTR m_p = nullptr;
};

// A VARIANT cleared on destruction.
class Variant {
public:
    Variant() noexcept { ::VariantInit(&m_v); }
    // A VT_BSTR variant holding a copy of text; VT_EMPTY when the copy cannot be made.
    explicit Variant(std::wstring_view text) : Variant() {
        if (BSTR b = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {
            V_VT(&m_v) = VT_BSTR;
            V_BSTR(&m_v) = b;
        }
    }
    explicit Variant(std::u16string_view text)
        : Variant(std::wstring_view(reinterpret_cast<const wchar_t*>(text.data()), text.size())) {
        static_assert(sizeof(wchar_t) == sizeof(char16_t), "BSTR text is UTF-16");
    }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    ~Variant() { ::VariantClear(&m_v); }

    VARIANT* Get() noexcept { return &m_v; }
    const VARIANT* Get() const noexcept { return &m_v; }
    // For out-parameters and new values: clears what is held and exposes the empty value.
    VARIANT* Put() noexcept {
        ::VariantClear(&m_v);
        return &m_v;
    }
    VARTYPE Type() const noexcept { return V_VT(&m_v); }

private:
    VARIANT m_v;
};

// A description that a type library or type information hands out (TLIBATTR, TYPEATTR,
// FUNCDESC), given back to it on destruction. The giver is not referenced here: whoever asked
// for the description holds it for longer.
template <class Giver, class Desc, void (*GiveBack)(Giver*, Desc*)>
class TypeDescription {
public:
    explicit TypeDescription(Giver* giver) noexcept : m_giver(giver) {}
    TypeDescription(const TypeDescription&) = delete;
    TypeDescription& operator=(const TypeDescription&) = delete;
    ~TypeDescription() { Reset(); }

    const Desc* Get() const noexcept { return m_desc; }
    const Desc* operator->() const noexcept { return m_desc; }
    explicit operator bool() const noexcept { return m_desc != nullptr; }
    Desc** Put() noexcept {
        Reset();
        return &m_desc;
    }
    void Reset() noexcept {
        if (m_desc) GiveBack(m_giver, std::exchange(m_desc, nullptr));
    }

private:
    Giver* m_giver;
    Desc* m_desc = nullptr;
};

namespace detail {
inline void GiveLibAttr(ITypeLib* lib, TLIBATTR* attr) { lib->ReleaseTLibAttr(attr); }
inline void GiveTypeAttr(ITypeInfo* info, TYPEATTR* attr) { info->ReleaseTypeAttr(attr); }
inline void GiveFuncDesc(ITypeInfo* info, FUNCDESC* desc) { info->ReleaseFuncDesc(desc); }
} // namespace detail

using LibAttr = TypeDescription<ITypeLib, TLIBATTR, detail::GiveLibAttr>;
using TypeAttr = TypeDescription<ITypeInfo, TYPEATTR, detail::GiveTypeAttr>;
using FuncDesc = TypeDescription<ITypeInfo, FUNCDESC, detail::GiveFuncDesc>;

// A window's device context from GetDC, released to that window on destruction.
class WindowDC {
public:
    explicit WindowDC(HWND window) noexcept : m_window(window), m_dc(::GetDC(window)) {}
    WindowDC(const WindowDC&) = delete;
    WindowDC& operator=(const WindowDC&) = delete;
    ~WindowDC() {
        if (m_dc) ::ReleaseDC(m_window, m_dc);
    }

    HDC Get() const noexcept { return m_dc; }
    explicit operator bool() const noexcept { return m_dc != nullptr; }

private:
    HWND m_window;
    HDC m_dc;
};

// An object selected into a device context; the object it displaced is selected back on
// destruction. Selecting nothing (a null object) leaves the context as it is.
class SelectedObject {
public:
    SelectedObject(HDC dc, HGDIOBJ object) noexcept
        : m_dc(dc), m_previous(object ? ::SelectObject(dc, object) : nullptr) {}
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;
    ~SelectedObject() {
        if (m_previous) ::SelectObject(m_dc, m_previous);
    }

private:
    HDC m_dc;
    HGDIOBJ m_previous;
};

template <class H>
struct GdiObjectTraits : NullIsNoneTraits<H> {
    static bool Close(H object) noexcept { return ::DeleteObject(object) != FALSE; }
};
// A GDI object (font, brush, bitmap) deleted on destruction.
template <class H>
using GdiObject = UniqueHandle<GdiObjectTraits<H>>;

struct MemoryDCTraits : NullIsNoneTraits<HDC> {
    static bool Close(HDC dc) noexcept { return ::DeleteDC(dc) != FALSE; }
};
// A device context of CreateCompatibleDC's (not a window's: those are WindowDC).
using MemoryDC = UniqueHandle<MemoryDCTraits>;

// A window this object disabled (when it was enabled), enabled again when the object lets go:
// at Restore or at destruction, whichever comes first. A modal dialog holds its owners this way,
// so no way out of the dialog, an exception included, leaves the browser disabled.
class DisabledWindow {
public:
    DisabledWindow() noexcept = default;
    // Disables window unless it is null or already disabled (then there is nothing to restore).
    explicit DisabledWindow(HWND window) noexcept {
        if (window && ::IsWindowEnabled(window)) {
            ::EnableWindow(window, FALSE);
            m_window = window;
        }
    }
    DisabledWindow(DisabledWindow&& other) noexcept : m_window(std::exchange(other.m_window, nullptr)) {}
    DisabledWindow& operator=(DisabledWindow&& other) noexcept {
        if (this != &other) {
            Restore();
            m_window = std::exchange(other.m_window, nullptr);
        }
        return *this;
    }
    DisabledWindow(const DisabledWindow&) = delete;
    DisabledWindow& operator=(const DisabledWindow&) = delete;
    ~DisabledWindow() { Restore(); }

    void Restore() noexcept {
        if (HWND window = std::exchange(m_window, nullptr)) ::EnableWindow(window, TRUE);
    }

private:
    HWND m_window = nullptr;
};

} // namespace pv
