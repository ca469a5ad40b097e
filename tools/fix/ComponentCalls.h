// How fix calls the exposure component: early-bound, through the vtable of
// ITonwellExposure, or late-bound, by name through its IDispatch as a
// scripting client does (fix --dispatch). Both reach the same methods, so a
// photo gets the same bytes either way.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace tonwell::tools {

// One component and the way it is called. Used by the thread that created it.
class ComponentCalls {
public:
    virtual ~ComponentCalls() = default;
    // ITonwellExposure::Initialize and SetImage: their results as the methods
    // return them (S_FALSE stays S_FALSE). Late-bound, a method's failure
    // comes back as its own code; a failure of the call itself (an argument
    // the component's type information cannot take) as the dispatch error.
    virtual HRESULT Initialize(DWORD dwFlags) = 0;
    virtual HRESULT SetImage(BYTE* pImage, DWORD dwWidth, DWORD dwHeight, DWORD dwStride) = 0;
};

// Creates a component as CreateExposureComponent does and, with byName, looks
// up the DISPIDs of "Initialize" and "SetImage" through its IDispatch. On
// failure *ppCalls is empty and *pError says what failed (with the code); the
// result is that code.
HRESULT CreateComponentCalls(bool byName, std::unique_ptr<ComponentCalls>* ppCalls, std::string* pError);

} // namespace tonwell::tools
