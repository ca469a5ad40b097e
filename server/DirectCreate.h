// Creates a standalone CTonwellExposure without the module's class object and
// without touching the module's lock count: one interface pointer for IUnknown,
// IDispatch and ITonwellExposure, a plain (not atomic) reference count, deleted
// at zero. Code linked with the component uses it (its tests and the benchmark);
// hosts create components through the module (DllGetClassObject).
#pragma once

#include <windows.h>

#include "TonwellObj.h"

// On success *ppObject holds one reference. E_POINTER when ppObject is null,
// E_OUTOFMEMORY when the object cannot be allocated (*ppObject is then null).
// The object is used from one thread at a time, like any apartment object.
HRESULT CreateTonwellExposureDirect(ITonwellExposure** ppObject);
