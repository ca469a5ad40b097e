// How the host obtains its exposure components: the one place that knows.
// Today the component is linked in and created directly; when the host moves
// to loading TonwellObj.so through COM activation, only this changes.
#pragma once

#include <windows.h>

#include "TonwellObj.h"

namespace tonwell::tools {

// On success *ppComponent holds one reference, to be released by the caller.
// A component is used from the thread that created it only.
HRESULT CreateExposureComponent(ITonwellExposure** ppComponent);

// Holds one reference to an interface and releases it.
template <class T>
class ComRef {
public:
    ComRef() = default;
    ~ComRef() { Reset(); }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;

    T** Receive()
    {
        Reset();
        return &m_p;
    }
    T* operator->() const { return m_p; }
    T* Get() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    void Reset()
    {
        if (m_p) {
            m_p->Release();
            m_p = nullptr;
        }
    }

private:
    T* m_p = nullptr;
};

} // namespace tonwell::tools
