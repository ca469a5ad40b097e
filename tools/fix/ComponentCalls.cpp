#include "fix/ComponentCalls.h"

#include "common/Component.h"
#include "common/ErrorText.h"

#include "TonwellObj.h"

#include <new>

namespace tonwell::tools {
namespace {

class VtableCalls final : public ComponentCalls {
public:
    explicit VtableCalls(ITonwellExposure* pComponent) : m_component(pComponent) {}
    ~VtableCalls() override { m_component->Release(); }

    HRESULT Initialize(DWORD dwFlags) override { return m_component->Initialize(dwFlags); }
    HRESULT SetImage(BYTE* pImage, DWORD dwWidth, DWORD dwHeight, DWORD dwStride) override
    {
        return m_component->SetImage(pImage, dwWidth, dwHeight, dwStride);
    }

private:
    ITonwellExposure* m_component;
};

// Knows the component only as an IDispatch and its methods by name.
class DispatchCalls final : public ComponentCalls {
public:
    DispatchCalls(IDispatch* pDispatch, DISPID idInitialize, DISPID idSetImage)
        : m_dispatch(pDispatch), m_idInitialize(idInitialize), m_idSetImage(idSetImage)
    {
    }
    ~DispatchCalls() override { m_dispatch->Release(); }

    HRESULT Initialize(DWORD dwFlags) override
    {
        VARIANT flags;
        VariantInit(&flags);
        flags.vt = VT_UI4;
        flags.ulVal = dwFlags;
        return Call(m_idInitialize, &flags, 1);
    }

    HRESULT SetImage(BYTE* pImage, DWORD dwWidth, DWORD dwHeight, DWORD dwStride) override
    {
        // Dispatch arguments come last to first. The buffer goes by reference
        // as an unsigned byte, which the type information passes on as the
        // method's BYTE* without copying.
        VARIANT args[4];
        for (VARIANT& arg : args)
            VariantInit(&arg);
        args[3].vt = VT_UI1 | VT_BYREF;
        args[3].pbVal = pImage;
        args[2].vt = VT_UI4;
        args[2].ulVal = dwWidth;
        args[1].vt = VT_UI4;
        args[1].ulVal = dwHeight;
        args[0].vt = VT_UI4;
        args[0].ulVal = dwStride;
        return Call(m_idSetImage, args, 4);
    }

private:
    HRESULT Call(DISPID id, VARIANT* pArgs, UINT cArgs)
    {
        DISPPARAMS params{pArgs, nullptr, cArgs, 0};
        VARIANT result;
        VariantInit(&result);
        EXCEPINFO excep{};
        UINT argErr = 0;
        HRESULT hr = m_dispatch->Invoke(id, IID_NULL, 0 /* neutral */, DISPATCH_METHOD, &params, &result, &excep,
                                        &argErr);
        VariantClear(&result);
        if (hr == DISP_E_EXCEPTION) {
            if (excep.pfnDeferredFillIn)
                excep.pfnDeferredFillIn(&excep);
            // The method's own failure; an exception without a code is still one.
            hr = FAILED(excep.scode) ? excep.scode : E_FAIL;
            SysFreeString(excep.bstrSource);
            SysFreeString(excep.bstrDescription);
            SysFreeString(excep.bstrHelpFile);
        }
        return hr;
    }

    IDispatch* m_dispatch;
    DISPID m_idInitialize;
    DISPID m_idSetImage;
};

HRESULT LookUp(IDispatch* pDispatch, const char16_t* pszName, const char* name, DISPID* pId, std::string* pError)
{
    LPOLESTR names[] = {const_cast<LPOLESTR>(pszName)};
    const HRESULT hr = pDispatch->GetIDsOfNames(IID_NULL, names, 1, 0 /* neutral */, pId);
    if (FAILED(hr)) {
        *pError = std::string("the component's IDispatch cannot find \"") + name + "\": " + HResultText(hr);
        if (hr == TYPE_E_LIBNOTREGISTERED)
            *pError += "; --dispatch needs the component's type library registered: run tonwell register";
    }
    return hr;
}

} // namespace

HRESULT CreateComponentCalls(bool byName, std::unique_ptr<ComponentCalls>* ppCalls, std::string* pError)
{
    ppCalls->reset();
    ITonwellExposure* component = nullptr;
    std::string why;
    HRESULT hr = CreateExposureComponent(&component, &why);
    if (FAILED(hr)) {
        *pError = "cannot create the exposure component: " + (why.empty() ? HResultText(hr) : why + " (" + HResultText(hr) + ")");
        return hr;
    }
    if (!byName) {
        ppCalls->reset(new (std::nothrow) VtableCalls(component));
        if (!*ppCalls) {
            component->Release();
            *pError = "out of memory";
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    // From here on the component is known only by its IDispatch.
    IDispatch* dispatch = nullptr;
    hr = component->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch));
    component->Release();
    if (FAILED(hr) || !dispatch) {
        *pError = "the exposure component has no IDispatch (" + HResultText(FAILED(hr) ? hr : E_NOINTERFACE) + ")";
        return FAILED(hr) ? hr : E_NOINTERFACE;
    }
    DISPID idInitialize = DISPID_UNKNOWN, idSetImage = DISPID_UNKNOWN;
    hr = LookUp(dispatch, u"Initialize", "Initialize", &idInitialize, pError);
    if (SUCCEEDED(hr))
        hr = LookUp(dispatch, u"SetImage", "SetImage", &idSetImage, pError);
    if (FAILED(hr)) {
        dispatch->Release();
        return hr;
    }
    ppCalls->reset(new (std::nothrow) DispatchCalls(dispatch, idInitialize, idSetImage));
    if (!*ppCalls) {
        dispatch->Release();
        *pError = "out of memory";
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

} // namespace tonwell::tools
