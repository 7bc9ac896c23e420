// The one counted COM reference type of the module: AddRef on copy, Release on destruction.
#pragma once

#include <unknwn.h>
#include <utility>

namespace pv {

template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    // Takes a new reference on p.
    explicit ComPtr(T* p) noexcept : m_p(p) {
        if (m_p) m_p->AddRef();
    }
    ComPtr(const ComPtr& other) noexcept : ComPtr(other.m_p) {}
    ComPtr(ComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ~ComPtr() { Reset(); }

    ComPtr& operator=(const ComPtr& other) noexcept {
        ComPtr(other).Swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept {
        ComPtr(std::move(other)).Swap(*this);
        return *this;
    }
    ComPtr& operator=(std::nullptr_t) noexcept {
        Reset();
        return *this;
    }

    // Adopts a reference the caller already owns (no AddRef).
    static ComPtr Attach(T* p) noexcept {
        ComPtr r;
        r.m_p = p;
        return r;
    }
    // Gives up ownership without Release.
    T* Detach() noexcept { return std::exchange(m_p, nullptr); }

    void Reset() noexcept {
        if (T* p = std::exchange(m_p, nullptr)) p->Release();
    }
    void Swap(ComPtr& other) noexcept { std::swap(m_p, other.m_p); }

    T* Get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    // For out-parameters: releases what is held and exposes the slot.
    T** Put() noexcept {
        Reset();
        return &m_p;
    }
    void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }

    // QueryInterface into another counted reference; null on failure.
    template <class U>
    ComPtr<U> As(REFIID iid) const noexcept {
        ComPtr<U> r;
        if (m_p) m_p->QueryInterface(iid, r.PutVoid());
        return r;
    }
    template <class U>
    HRESULT QueryTo(REFIID iid, ComPtr<U>& out) const noexcept {
        if (!m_p) {
            out.Reset();
            return E_POINTER;
        }
        return m_p->QueryInterface(iid, out.PutVoid());
    }

private:
    T* m_p = nullptr;
};

} // namespace pv
