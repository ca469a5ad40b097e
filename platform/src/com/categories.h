// Classes the platform serves itself, without a registered module: today the
// component category manager.
#pragma once

#include <windows.h>

// True when rclsid is one of the platform's own classes; *phr is then the result of
// handing out riid on its class object in *ppv.
bool GetPlatformClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv, HRESULT* phr);
