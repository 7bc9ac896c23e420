// Owning wrappers for the automation types the guard passes to and takes from the browser.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string_view>
#include <utility>

namespace pv {

// A BSTR freed on destruction. A null BSTR is a valid (absent) value.
class Bstr {
public:
    Bstr() noexcept = default;
    explicit Bstr(std::wstring_view text)
        : m_p(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    Bstr(Bstr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    Bstr& operator=(Bstr&& other) noexcept { Bstr(std::move(other)).Swap(*this); return *this; }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(m_p); }

    BSTR Get() const noexcept { return m_p; }
    // For out-parameters: frees what is held and exposes the slot.
    BSTR* Put() noexcept { SysFreeString(std::exchange(m_p, nullptr)); return &m_p; }
    BSTR Detach() noexcept { return std::exchange(m_p, nullptr); }
    std::wstring_view View() const noexcept {
        return m_p ? std::wstring_view(m_p, SysStringLen(m_p)) : std::wstring_view();
    }
    void Swap(Bstr& other) noexcept { std::swap(m_p, other.m_p); }

private:
    BSTR m_p = nullptr;
};

// A VARIANT cleared on destruction.
class Variant {
public:
    Variant() noexcept { VariantInit(&m_v); }
    // A VT_BSTR variant holding a copy of text.
    explicit Variant(std::wstring_view text) : Variant() {
        BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        if (b) {
            V_VT(&m_v) = VT_BSTR;
            V_BSTR(&m_v) = b;
        }
    }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    ~Variant() { VariantClear(&m_v); }

    VARIANT* Get() noexcept { return &m_v; }
    const VARIANT* Get() const noexcept { return &m_v; }
    VARTYPE Type() const noexcept { return V_VT(&m_v); }

private:
    VARIANT m_v;
};

} // namespace pv
