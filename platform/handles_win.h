// The module's owners of Win32 handles and automation values: each kind has exactly one type
// here, and nothing outside this header releases such a handle by hand. (COM references have
// ComPtr; WinINet handles, which the portable core holds, have UniqueInternetHandle in platform.h.)
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string_view>
#include <utility>

namespace pv {

// An open registry key, closed on destruction.
class RegKey {
public:
    RegKey() noexcept = default;
    RegKey(RegKey&& other) noexcept : m_key(std::exchange(other.m_key, nullptr)) {}
    RegKey& operator=(RegKey&& other) noexcept { RegKey(std::move(other)).Swap(*this); return *this; }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() { if (m_key) ::RegCloseKey(m_key); }

    HKEY Get() const noexcept { return m_key; }
    // For out-parameters: closes what is held and exposes the slot.
    HKEY* Put() noexcept { RegKey().Swap(*this); return &m_key; }
    void Swap(RegKey& other) noexcept { std::swap(m_key, other.m_key); }

private:
    HKEY m_key = nullptr;
};

// A BSTR freed on destruction. A null BSTR is a valid (absent) value.
class Bstr {
public:
    Bstr() noexcept = default;
    explicit Bstr(std::wstring_view text)
        : m_p(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    Bstr(Bstr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    Bstr& operator=(Bstr&& other) noexcept { Bstr(std::move(other)).Swap(*this); return *this; }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { ::SysFreeString(m_p); }

    BSTR Get() const noexcept { return m_p; }
    // For out-parameters: frees what is held and exposes the slot.
    BSTR* Put() noexcept { ::SysFreeString(std::exchange(m_p, nullptr)); return &m_p; }
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
    VARTYPE Type() const noexcept { return V_VT(&m_v); }

private:
    VARIANT m_v;
};

// A window's device context from GetDC, released to that window on destruction.
class WindowDC {
public:
    explicit WindowDC(HWND window) noexcept : m_window(window), m_dc(::GetDC(window)) {}
    WindowDC(const WindowDC&) = delete;
    WindowDC& operator=(const WindowDC&) = delete;
    ~WindowDC() { if (m_dc) ::ReleaseDC(m_window, m_dc); }

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
    ~SelectedObject() { if (m_previous) ::SelectObject(m_dc, m_previous); }

private:
    HDC m_dc;
    HGDIOBJ m_previous;
};

// A GDI object (font, brush, bitmap) deleted on destruction.
template <class Handle>
class GdiObject {
public:
    GdiObject() noexcept = default;
    explicit GdiObject(Handle object) noexcept : m_object(object) {}
    GdiObject(const GdiObject&) = delete;
    GdiObject& operator=(const GdiObject&) = delete;
    ~GdiObject() { Reset(); }

    Handle Get() const noexcept { return m_object; }
    explicit operator bool() const noexcept { return m_object != nullptr; }
    void Reset(Handle object = nullptr) noexcept {
        if (Handle old = std::exchange(m_object, object)) ::DeleteObject(old);
    }

private:
    Handle m_object = nullptr;
};

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
