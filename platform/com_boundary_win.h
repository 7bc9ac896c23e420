// The module's one exception policy at the COM boundary. No C++ exception may cross into the
// caller (a browser, regsvr32, the COM runtime), so every COM method and every export runs its
// body through ComBoundary, and only there is an exception turned into an HRESULT. Code below the
// boundary throws and lets it propagate; it does not catch on its own behalf.
#pragma once

#include <windows.h>

#include <new>
#include <type_traits>

namespace pv {

template <class Body>
HRESULT ComBoundary(Body&& body) noexcept {
    static_assert(std::is_same_v<std::invoke_result_t<Body&>, HRESULT>, "a COM body answers an HRESULT");
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

} // namespace pv
