/* A host written in plain C, as a foreign program would be: it loads the server
 * module with dlopen, finds its two exports with dlsym and drives the component
 * only through the C vtables of TonwellObj.h.
 *
 * usage: tonwell_cclient PATH/TonwellObj.so
 * Prints one line per check and exits 0 when every check passed. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "TonwellObj.h"

/* Its own check lines, as tests/dispatch/late_bound_client.c has: the install test
 * compiles this file alone against the installed headers. */
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

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s PATH/TonwellObj.so\n", argv[0]);
        return 2;
    }
    void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        fprintf(stderr, "cannot load %s: %s\n", argv[1], dlerror());
        return 1;
    }
    LPFNGETCLASSOBJECT getClassObject;
    LPFNCANUNLOADNOW canUnloadNow;
    /* POSIX allows the object-to-function pointer conversion through memcpy. */
    void* sym = dlsym(module, "DllGetClassObject");
    memcpy(&getClassObject, &sym, sizeof sym);
    Check(sym != NULL, "DllGetClassObject is exported");
    sym = dlsym(module, "DllCanUnloadNow");
    memcpy(&canUnloadNow, &sym, sizeof sym);
    Check(sym != NULL, "DllCanUnloadNow is exported");
    Check(dlsym(module, "DllMain") == NULL, "DllMain is not exported");
    if (!getClassObject || !canUnloadNow)
        return 1;

    CheckHr(canUnloadNow(), S_OK, "DllCanUnloadNow right after loading");

    IClassFactory* factory = NULL;
    CheckHr(getClassObject(&CLSID_TonwellExposure, &IID_IClassFactory, (void**)&factory), S_OK,
            "DllGetClassObject(CLSID_TonwellExposure, IID_IClassFactory)");
    if (!factory)
        return 1;
    CheckHr(canUnloadNow(), S_OK, "DllCanUnloadNow while only the class object is held");

    ITonwellExposure* exposure = NULL;
    CheckHr(factory->lpVtbl->CreateInstance(factory, NULL, &IID_ITonwellExposure, (void**)&exposure), S_OK,
            "CreateInstance(ITonwellExposure)");
    if (!exposure)
        return 1;
    CheckHr(canUnloadNow(), S_FALSE, "DllCanUnloadNow while an object lives");

    IDispatch* dispatch = NULL;
    CheckHr(exposure->lpVtbl->QueryInterface(exposure, &IID_IDispatch, (void**)&dispatch), S_OK,
            "QueryInterface(IDispatch)");
    Check((void*)dispatch == (void*)exposure, "IDispatch is the same interface pointer");
    if (dispatch)
        Check(dispatch->lpVtbl->Release(dispatch) == 1, "Release of the IDispatch reference leaves 1");

    CheckHr(exposure->lpVtbl->Initialize(exposure, 15), S_OK, "Initialize(15)");

    enum { kWidth = 7, kHeight = 5, kStride = 24 };
    BYTE image[kHeight * kStride];
    memset(image, 128, sizeof image);
    CheckHr(exposure->lpVtbl->SetImage(exposure, image, kWidth, kHeight, kStride), S_OK,
            "SetImage on a grey-128 image");
    int pixelsOk = 1, paddingOk = 1;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kStride; ++x) {
            BYTE b = image[y * kStride + x];
            if (x < 3 * kWidth)
                pixelsOk &= b == 165;
            else
                paddingOk &= b == 128;
        }
    Check(pixelsOk, "every pixel byte became 165");
    Check(paddingOk, "row padding left untouched");
    CheckHr(exposure->lpVtbl->SetImage(exposure, NULL, 1, 1, 3), (HRESULT)0x8007000D, "SetImage without an image");

    Check(exposure->lpVtbl->Release(exposure) == 0, "Release of the object returns 0");
    CheckHr(canUnloadNow(), S_OK, "DllCanUnloadNow after the object is released");

    CheckHr(factory->lpVtbl->LockServer(factory, TRUE), S_OK, "LockServer(TRUE)");
    CheckHr(canUnloadNow(), S_FALSE, "DllCanUnloadNow while locked");
    CheckHr(factory->lpVtbl->LockServer(factory, FALSE), S_OK, "LockServer(FALSE)");
    factory->lpVtbl->Release(factory);
    CheckHr(canUnloadNow(), S_OK, "DllCanUnloadNow at the end");

    dlclose(module);
    printf("%d check(s) failed\n", g_failures);
    return g_failures == 0 ? 0 : 1;
}
