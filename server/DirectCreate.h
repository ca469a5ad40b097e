// Creates a standalone CTonwellExposure without going through the module's class
// object: one interface pointer for IUnknown, IDispatch and ITonwellExposure,
// a plain reference count, deleted at zero. Hosts use it until module activation.
#pragma once

#include <windows.h>

#include "TonwellObj.h"

// On success *ppObject holds one reference. E_POINTER when ppObject is null,
// E_OUTOFMEMORY when the object cannot be allocated.
HRESULT CreateTonwellExposureDirect(ITonwellExposure** ppObject);
