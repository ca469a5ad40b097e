/* The C form of the generated header: the vtable's slots where the platform puts them,
 * and each method's pointer type as a C host assigns it (an incompatible type does not
 * compile here). */
#include <stddef.h>

#include "TonwellObj.h"

_Static_assert(offsetof(ITonwellExposureVtbl, QueryInterface) == 0, "IUnknown first");
_Static_assert(offsetof(ITonwellExposureVtbl, Invoke) == 6 * sizeof(void*), "IDispatch in slots 3 to 6");
_Static_assert(offsetof(ITonwellExposureVtbl, Initialize) == 7 * sizeof(void*), "Initialize in slot 7");
_Static_assert(offsetof(ITonwellExposureVtbl, SetImage) == 8 * sizeof(void*), "SetImage in slot 8");
_Static_assert(offsetof(ITonwellExposureVtbl, GetResults) == 9 * sizeof(void*), "GetResults in slot 9");
_Static_assert(sizeof(ITonwellExposureVtbl) == 10 * sizeof(void*), "ten slots");
_Static_assert(offsetof(ITonwellExposure, lpVtbl) == 0, "the vtable pointer first");

static HRESULT STDMETHODCALLTYPE Initialize(ITonwellExposure* This, DWORD dwFlags)
{
    (void)This;
    return dwFlags ? S_OK : S_FALSE;
}

static HRESULT STDMETHODCALLTYPE SetImage(ITonwellExposure* This, BYTE* pImage, DWORD dwWidth, DWORD dwHeight,
                                          DWORD dwStride)
{
    (void)This;
    (void)pImage;
    return dwWidth + dwHeight + dwStride ? S_OK : S_FALSE;
}

static HRESULT STDMETHODCALLTYPE GetResults(ITonwellExposure* This, BYTE* lpResults, DWORD cbSize)
{
    (void)This;
    (void)lpResults;
    (void)cbSize;
    return S_OK;
}

/* Calls through a C vtable built from the functions above: 0 when every call lands. */
int TonwellHeaderCheckC(void)
{
    ITonwellExposureVtbl vtbl = {0};
    ITonwellExposure object;
    vtbl.Initialize = Initialize;
    vtbl.SetImage = SetImage;
    vtbl.GetResults = GetResults;
    object.lpVtbl = &vtbl;
    if (object.lpVtbl->Initialize(&object, 15) != S_OK)
        return 1;
    if (object.lpVtbl->SetImage(&object, NULL, 1, 1, 3) != S_OK)
        return 2;
    if (object.lpVtbl->GetResults(&object, NULL, 0) != S_OK)
        return 3;
    if (!IsEqualGUID(&IID_ITonwellExposure, &IID_ITonwellExposure))
        return 4;
    return 0;
}
