/* TonwellObj: automatic exposure correction, as an in-process automation server.
 *
 * A host creates CLSID_TonwellExposure (or loads TonwellObj.so and calls its
 * DllGetClassObject), optionally calls Initialize(strength x 10) and hands 24-bit
 * RGB rows to SetImage, which corrects them in place:
 *   S_OK      the image was corrected
 *   S_FALSE   the exposure was judged normal and the strength too low to change it
 *   0x8007000D no image was given
 * Usable from C and C++. */
#ifndef TONWELLOBJ_H
#define TONWELLOBJ_H

#include <windef.h>
#include <winerror.h>
#include <unknwn.h>
#include <oaidl.h>

#define TONWELL_UNUSED_GUID __attribute__((unused))

/* {83AF37A6-1013-4638-9568-8A25EE237C79} */
static const CLSID CLSID_TonwellExposure TONWELL_UNUSED_GUID = {
    0x83af37a6, 0x1013, 0x4638, {0x95, 0x68, 0x8a, 0x25, 0xee, 0x23, 0x7c, 0x79}};
/* {9D2F309B-5941-468F-B357-EFDD74ED99BD} */
static const IID IID_ITonwellExposure TONWELL_UNUSED_GUID = {
    0x9d2f309b, 0x5941, 0x468f, {0xb3, 0x57, 0xef, 0xdd, 0x74, 0xed, 0x99, 0xbd}};
/* {4404C7F2-CB2B-4CEE-AE75-56406CA50F0D} */
static const GUID LIBID_TONWELLOBJLib TONWELL_UNUSED_GUID = {
    0x4404c7f2, 0xcb2b, 0x4cee, {0xae, 0x75, 0x56, 0x40, 0x6c, 0xa5, 0x0f, 0x0d}};

#define TONWELL_PROGID "TonwellObj.TonwellExposure.1"
#define TONWELL_VERSION_INDEPENDENT_PROGID "TonwellObj.TonwellExposure"

/* DISPIDs of the automation methods. */
#define DISPID_TONWELL_INITIALIZE 1
#define DISPID_TONWELL_SETIMAGE 2
#define DISPID_TONWELL_GETRESULTS 3

#ifdef __cplusplus

struct ITonwellExposure : public IDispatch {
    /* Strength for normally exposed images: dwFlags x 0.1 is the exponent of the
     * brightening curve; below 11 nothing is changed. 0 keeps the earlier value. */
    virtual HRESULT STDMETHODCALLTYPE Initialize(DWORD dwFlags) = 0;
    /* Corrects dwHeight rows of dwWidth RGB pixels, rows dwStride bytes apart. */
    virtual HRESULT STDMETHODCALLTYPE SetImage(BYTE* pImage, DWORD dwWidth, DWORD dwHeight, DWORD dwStride) = 0;
    /* Nothing to report: always S_OK. */
    virtual HRESULT STDMETHODCALLTYPE GetResults(BYTE* lpResults, DWORD cbSize) = 0;

protected:
    ~ITonwellExposure() = default;
};

#else

typedef struct ITonwellExposure ITonwellExposure;
typedef struct ITonwellExposureVtbl {
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(ITonwellExposure* This, REFIID riid, void** ppvObject);
    ULONG(STDMETHODCALLTYPE* AddRef)(ITonwellExposure* This);
    ULONG(STDMETHODCALLTYPE* Release)(ITonwellExposure* This);
    HRESULT(STDMETHODCALLTYPE* GetTypeInfoCount)(ITonwellExposure* This, UINT* pctinfo);
    HRESULT(STDMETHODCALLTYPE* GetTypeInfo)(ITonwellExposure* This, UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo);
    HRESULT(STDMETHODCALLTYPE* GetIDsOfNames)(ITonwellExposure* This, REFIID riid, LPOLESTR* rgszNames,
                                              UINT cNames, LCID lcid, DISPID* rgDispId);
    HRESULT(STDMETHODCALLTYPE* Invoke)(ITonwellExposure* This, DISPID dispIdMember, REFIID riid, LCID lcid,
                                       WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                       EXCEPINFO* pExcepInfo, UINT* puArgErr);
    HRESULT(STDMETHODCALLTYPE* Initialize)(ITonwellExposure* This, DWORD dwFlags);
    HRESULT(STDMETHODCALLTYPE* SetImage)(ITonwellExposure* This, BYTE* pImage, DWORD dwWidth, DWORD dwHeight,
                                         DWORD dwStride);
    HRESULT(STDMETHODCALLTYPE* GetResults)(ITonwellExposure* This, BYTE* lpResults, DWORD cbSize);
} ITonwellExposureVtbl;
struct ITonwellExposure {
    const ITonwellExposureVtbl* lpVtbl;
};

#endif

/* The module's exports. */
EXTERN_C_START
typedef HRESULT(STDAPICALLTYPE* LPFNGETCLASSOBJECT)(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
typedef HRESULT(STDAPICALLTYPE* LPFNCANUNLOADNOW)(void);
EXTERN_C_END

#endif
