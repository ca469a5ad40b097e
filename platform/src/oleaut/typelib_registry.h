// Names of the keys type library registration uses below HKEY_CLASSES_ROOT:
//   TypeLib\{LIBID}\{major}.{minor}\{lcid}\{platform}   versions and locales in lower-case
//   Interface\{IID}                                      hexadecimal without leading zeros
// and the one reading of their text values.
// Threading: none; the names are pure functions, ReadRegText only reads the key it is given.
#pragma once

#include <oaidl.h>
#include <winreg.h>

#include <optional>
#include <string>

namespace tonwell::platform::oleaut {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
std::u16string GuidKey(REFGUID guid);
// "1.0"; version 10.0 is "a.0".
std::u16string VersionKey(WORD major, WORD minor);
// "409"; the neutral locale is "0".
std::u16string LcidKey(LCID lcid);
// "win16", "win32", "mac" or "win64".
std::u16string PlatformKey(SYSKIND syskind);

// Value `name` (nullptr: the default) of `key` as text, trailing NULs dropped; nullopt unless REG_SZ of even size.
std::optional<std::u16string> ReadRegText(HKEY key, const char16_t* name);

} // namespace tonwell::platform::oleaut
