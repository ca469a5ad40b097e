/* A late-bound automation client written in plain C: it knows the component by
 * its class identifier and its methods by name only. It registers the module
 * (DllRegisterServer) into a private machine root, creates the object with
 * CoCreateInstance, finds Initialize and SetImage with GetIDsOfNames and calls
 * them with Invoke, and checks that the pixels are those a call through the
 * C vtable gives. Only TonwellObj.h and the platform's C API are used.
 *
 * usage: tonwell_late_bound_client PATH/TonwellObj.so
 * Prints one line per check and exits 0 when every check passed. */
#define _XOPEN_SOURCE 700
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <windows.h>

#include "TonwellObj.h"

typedef HRESULT(STDAPICALLTYPE* PFNREGISTER)(void);

enum { kWidth = 13, kHeight = 9, kStride = kWidth * 3 + 3, kPadding = 0xEE };

/* The same check lines as tests/cclient/cclient.c: each client is a whole C program,
 * as a caller would write it, and that one is also compiled alone against the
 * installed headers. */
static int g_failures;

static void Check(int ok, const char* what)
{
    printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok)
        ++g_failures;
}

static void CheckHr(HRESULT hr, HRESULT expected, const char* what)
{
    char line[256];
    snprintf(line, sizeof line, "%s (0x%08X, expected 0x%08X)", what, (unsigned)hr, (unsigned)expected);
    Check(hr == expected, line);
}

static int RemoveEntry(const char* path, const struct stat* st, int flag, struct FTW* ftw)
{
    (void)st;
    (void)flag;
    (void)ftw;
    return remove(path);
}

/* A dark synthetic photo: every sample below 90; the row padding marked. */
static void MakeDarkImage(BYTE* image)
{
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kStride; ++x)
            image[y * kStride + x] = x < 3 * kWidth ? (BYTE)((x * 7 + y * 5) % 90) : (BYTE)kPadding;
}

static HRESULT IdOf(IDispatch* dispatch, const char16_t* name, DISPID* id)
{
    LPOLESTR names[1];
    names[0] = (LPOLESTR)name;
    return dispatch->lpVtbl->GetIDsOfNames(dispatch, &IID_NULL, names, 1, 0, id);
}

/* SetImage by DISPID: the buffer by reference as an unsigned byte, the
 * numbers as 32-bit unsigned, last argument first. cArgs below 4 leaves out
 * the first ones. */
static HRESULT InvokeSetImage(IDispatch* dispatch, DISPID id, BYTE* image, UINT cArgs, EXCEPINFO* excep)
{
    VARIANT args[4];
    DISPPARAMS params;
    VARIANT result;
    UINT argErr = 0;
    for (int i = 0; i < 4; ++i)
        VariantInit(&args[i]);
    args[3].vt = VT_UI1 | VT_BYREF;
    args[3].pbVal = image;
    args[2].vt = VT_UI4;
    args[2].ulVal = kWidth;
    args[1].vt = VT_UI4;
    args[1].ulVal = kHeight;
    args[0].vt = VT_UI4;
    args[0].ulVal = kStride;
    params.rgvarg = args;
    params.rgdispidNamedArgs = NULL;
    params.cArgs = cArgs;
    params.cNamedArgs = 0;
    VariantInit(&result);
    return dispatch->lpVtbl->Invoke(dispatch, id, &IID_NULL, 0, DISPATCH_METHOD, &params, &result, excep, &argErr);
}

static HRESULT InvokeInitialize(IDispatch* dispatch, DISPID id, DWORD flags)
{
    VARIANT arg;
    DISPPARAMS params;
    VariantInit(&arg);
    arg.vt = VT_UI4;
    arg.ulVal = flags;
    params.rgvarg = &arg;
    params.rgdispidNamedArgs = NULL;
    params.cArgs = 1;
    params.cNamedArgs = 0;
    return dispatch->lpVtbl->Invoke(dispatch, id, &IID_NULL, 0, DISPATCH_METHOD, &params, NULL, NULL, NULL);
}

static void DriveByName(void)
{
    IDispatch* dispatch = NULL;
    CheckHr(CoCreateInstance(&CLSID_TonwellExposure, NULL, CLSCTX_INPROC_SERVER, &IID_IDispatch, (void**)&dispatch),
            S_OK, "CoCreateInstance(CLSID_TonwellExposure, IID_IDispatch)");
    if (!dispatch)
        return;
    DISPID idInitialize = DISPID_UNKNOWN, idSetImage = DISPID_UNKNOWN, idUnknown = 0;
    CheckHr(IdOf(dispatch, u"Initialize", &idInitialize), S_OK, "GetIDsOfNames(\"Initialize\")");
    CheckHr(IdOf(dispatch, u"SetImage", &idSetImage), S_OK, "GetIDsOfNames(\"SetImage\")");
    Check(idInitialize == DISPID_TONWELL_INITIALIZE && idSetImage == DISPID_TONWELL_SETIMAGE,
          "the DISPIDs found by name are the ones the header names");
    CheckHr(IdOf(dispatch, u"Sharpen", &idUnknown), DISP_E_UNKNOWNNAME, "GetIDsOfNames(\"Sharpen\")");
    Check(idUnknown == DISPID_UNKNOWN, "an unknown name gets DISPID_UNKNOWN");

    /* The vtable path on another object of the class, for reference. */
    BYTE original[kHeight * kStride], direct[kHeight * kStride], byName[kHeight * kStride];
    MakeDarkImage(original);
    memcpy(direct, original, sizeof original);
    memcpy(byName, original, sizeof original);
    ITonwellExposure* exposure = NULL;
    HRESULT hrDirect = E_FAIL;
    CheckHr(CoCreateInstance(&CLSID_TonwellExposure, NULL, CLSCTX_INPROC_SERVER, &IID_ITonwellExposure,
                             (void**)&exposure),
            S_OK, "CoCreateInstance(CLSID_TonwellExposure, IID_ITonwellExposure)");
    if (exposure) {
        CheckHr(exposure->lpVtbl->Initialize(exposure, 12), S_OK, "Initialize(12) through the vtable");
        hrDirect = exposure->lpVtbl->SetImage(exposure, direct, kWidth, kHeight, kStride);
        CheckHr(hrDirect, S_OK, "SetImage through the vtable corrects the dark image");
        exposure->lpVtbl->Release(exposure);
    }

    CheckHr(InvokeInitialize(dispatch, idInitialize, 12), S_OK, "Invoke(Initialize, 12)");
    CheckHr(InvokeSetImage(dispatch, idSetImage, byName, 4, NULL), hrDirect, "Invoke(SetImage) on the dark image");
    Check(memcmp(byName, direct, sizeof byName) == 0, "the pixels are those of the vtable path");
    Check(memcmp(byName, original, sizeof byName) != 0, "the dark image was brightened");
    int padding = 1;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 3 * kWidth; x < kStride; ++x)
            padding &= byName[y * kStride + x] == kPadding;
    Check(padding, "the row padding is left untouched");

    /* A wrong argument count is refused before the method runs. */
    memcpy(byName, original, sizeof original);
    CheckHr(InvokeSetImage(dispatch, idSetImage, byName, 3, NULL), DISP_E_BADPARAMCOUNT,
            "Invoke(SetImage) with three arguments");
    CheckHr(InvokeSetImage(dispatch, idSetImage, byName, 0, NULL), DISP_E_BADPARAMCOUNT,
            "Invoke(SetImage) without arguments");
    Check(memcmp(byName, original, sizeof byName) == 0, "a refused call leaves the image as it was");

    /* The method's own failure comes back as an exception carrying its code. */
    EXCEPINFO excep;
    memset(&excep, 0, sizeof excep);
    CheckHr(InvokeSetImage(dispatch, idSetImage, NULL, 4, &excep), DISP_E_EXCEPTION, "Invoke(SetImage) without an image");
    CheckHr(excep.scode, (HRESULT)0x8007000D, "the exception carries SetImage's result");
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
    dispatch->lpVtbl->Release(dispatch);

    /* A success other than S_OK passes through: a normal image on a new object. */
    dispatch = NULL;
    CoCreateInstance(&CLSID_TonwellExposure, NULL, CLSCTX_INPROC_SERVER, &IID_IDispatch, (void**)&dispatch);
    if (dispatch) {
        BYTE grey[kHeight * kStride];
        memset(grey, 128, sizeof grey);
        CheckHr(InvokeSetImage(dispatch, idSetImage, grey, 4, NULL), S_FALSE, "Invoke(SetImage) on a grey-128 image");
        int unchanged = 1;
        for (size_t i = 0; i < sizeof grey; ++i)
            unchanged &= grey[i] == 128;
        Check(unchanged, "the normal image is left unchanged");
        dispatch->lpVtbl->Release(dispatch);
    }
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s PATH/TonwellObj.so\n", argv[0]);
        return 2;
    }
    /* Registration writes to the machine root: a private one, removed at the end. */
    const char* tmp = getenv("TMPDIR");
    char root[4096];
    snprintf(root, sizeof root, "%s/tonwell-late-bound-XXXXXX", tmp && *tmp ? tmp : "/tmp");
    if (!mkdtemp(root)) {
        perror("mkdtemp");
        return 1;
    }
    setenv("TONWELL_ROOT", root, 1);

    WCHAR path[4096];
    const int cch = MultiByteToWideChar(CP_UTF8, 0, argv[1], -1, path, 4096);
    HMODULE module = cch > 0 ? LoadLibraryW(path) : NULL;
    Check(module != NULL, "the module loads");
    PFNREGISTER registerServer = NULL, unregisterServer = NULL;
    if (module) {
        /* Through void (*)(void), the one cast between function types C compilers accept quietly. */
        registerServer = (PFNREGISTER)(void (*)(void))GetProcAddress(module, "DllRegisterServer");
        unregisterServer = (PFNREGISTER)(void (*)(void))GetProcAddress(module, "DllUnregisterServer");
    }
    Check(registerServer && unregisterServer, "DllRegisterServer and DllUnregisterServer are exported");
    if (registerServer && unregisterServer) {
        CheckHr(registerServer(), S_OK, "DllRegisterServer");
        CheckHr(CoInitializeEx(NULL, COINIT_APARTMENTTHREADED), S_OK, "CoInitializeEx(apartment)");
        DriveByName();
        CoUninitialize();
        CheckHr(unregisterServer(), S_OK, "DllUnregisterServer");
    }
    if (module)
        FreeLibrary(module);

    nftw(root, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    printf("%d check(s) failed\n", g_failures);
    return g_failures == 0 ? 0 : 1;
}
