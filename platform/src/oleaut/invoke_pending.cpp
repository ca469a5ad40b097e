// TEMPORARY: stands in for InvokeFuncDesc until the invoke work is merged, which
// brings the real definition; delete this file then.
#include "oleaut/invoke.h"

HRESULT InvokeFuncDesc(void*, const FUNCDESC*, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) { return E_NOTIMPL; }
