// The platform's ITypeLib and ITypeInfo2 objects over a library read from its binary form.
//
// CreateTypeLib(library, folder, out)
//   A new type library object holding `library` (immutable from now on), with one
//   reference for the caller. `folder` is where the library was loaded from, searched
//   first for the files its importlib entries name.
//   Results: S_OK, E_POINTER (null out), E_OUTOFMEMORY.
//
// Objects: the type library and the type information of each of its types share one
// reference count, so a type information keeps its library alive and the library frees
// them all together. Imported libraries are loaded on first use (a type reference that
// GetRefTypeInfo resolves, or a base interface searched by name or member id): first by
// identifier and version from the registry, then by the file name the import recorded;
// what is found must carry the recorded identifier.
//
// Threading: every method may be called from any thread at once. The library itself
// never changes; the lazily resolved imports are published under a lock.
#pragma once

#include <oleauto.h>

#include "library.h"

#include <memory>
#include <string>

namespace tonwell::platform::oleaut {

HRESULT CreateTypeLib(std::shared_ptr<const typelib::Library> library, std::u16string folder, ITypeLib** out);

} // namespace tonwell::platform::oleaut
