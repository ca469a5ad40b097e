// Self-registration of the module: the update-registry function of its one class,
// and the registration of the type library it carries.
//
// UpdateExposureRegistry(bRegister)
//   Runs the module's "REGISTRY" 101 script in register or unregister mode with the
//   replacement "Module" = the module's path, single quotes doubled. The path's read
//   failure (HRESULT_FROM_WIN32 of the last error, or 0x8007006F for a path that fills
//   260 characters) or the interpreter's result.
// EscapeQuotes(dest, src)
//   Copies src doubling every single quote; dest holds 2 * length + 1 characters.
//   E_INVALIDARG when either is null.
// LoadModuleTypeLib(module, index, out path, out library)
//   The type library of the module file (its "TYPELIB" resource, or index appended to
//   the path for resource N), else of the ".tlb" file beside it. On success the caller
//   owns the path (SysFreeString) and one reference on the library.
// RegisterModuleTypeLib / UnregisterModuleTypeLib(module, index)
//   Registers the library with the module's folder as help directory / removes that
//   registration through "UnRegisterTypeLib" of "oleaut32.dll", S_OK when that is
//   missing. CO_E_PATHTOOLONG for a path of 260 characters or more at registration.
// GetDirectoryLength(path)
//   Characters up to and including the last '\', '/' or ':'; 0 for none or null.
//
// Threading: none of these takes a lock; each runs on the caller's thread and works
// only on the registry and objects of its own.
#pragma once

#include <windows.h>

class CServerModule;

HRESULT WINAPI UpdateExposureRegistry(BOOL bRegister);
HRESULT EscapeQuotes(LPOLESTR pszDest, LPCOLESTR pszSrc);

HRESULT LoadModuleTypeLib(CServerModule* pModule, LPCOLESTR pszIndex, BSTR* pbstrPath, ITypeLib** ppTypeLib);
HRESULT RegisterModuleTypeLib(CServerModule* pModule, LPCOLESTR pszIndex);
HRESULT UnregisterModuleTypeLib(CServerModule* pModule, LPCOLESTR pszIndex);
int GetDirectoryLength(LPCOLESTR pszPath);
