// Test objects that implement an interface derived from IDispatch and only care about
// the interface's own methods. Not thread-safe beyond what the derived object adds.
#pragma once

#include <windows.h>

namespace tonwell::test {

// IDispatch's four methods, each answering E_NOTIMPL: an object with no type
// information of its own, called through its vtable rather than through Invoke.
template <typename Interface>
class NoTypeInfoDispatch : public Interface {
public:
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }
};

// The same on an object the test owns (on its stack, as a member): no interface is handed
// out, and AddRef and Release count nothing (they answer 2 and 1).
template <typename Interface>
class UncountedDispatch : public NoTypeInfoDispatch<Interface> {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override
    {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

} // namespace tonwell::test
