#include "DirectCreate.h"

#include <new>

#include "TonwellExposure.h"

namespace {

class CDirectTonwellExposure final : public CTonwellExposure {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override
    {
        if (ppvObject == nullptr)
            return E_POINTER;
        *ppvObject = nullptr;
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IDispatch) ||
            IsEqualGUID(riid, IID_ITonwellExposure)) {
            *ppvObject = static_cast<ITonwellExposure*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_cRef; }

    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG cRef = --m_cRef;
        if (cRef == 0)
            delete this;
        return cRef;
    }

private:
    ULONG m_cRef = 0;
};

} // namespace

HRESULT CreateTonwellExposureDirect(ITonwellExposure** ppObject)
{
    if (ppObject == nullptr)
        return E_POINTER;
    *ppObject = nullptr;
    auto* pObject = new (std::nothrow) CDirectTonwellExposure();
    if (pObject == nullptr)
        return E_OUTOFMEMORY;
    pObject->AddRef();
    *ppObject = pObject;
    return S_OK;
}
