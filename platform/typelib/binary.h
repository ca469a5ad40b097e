// The binary form of a type library (docs/typelib-format.md): little-endian, version 1.0.
//
// Read trusts nothing: every count, size, index and string is checked, the sections must
// tile the file exactly (no gap, no trailing byte), every string and type reference must
// be used, names must be identifiers, base interfaces must not form a cycle. Any input,
// however damaged, gives either a library or an error: never a crash, never a read
// outside the buffer.
//
// Results of Read:
//   S_OK                 `out` holds the library
//   TYPE_E_CANTLOADLIBRARY the bytes do not start with the signature (not a type library)
//   TYPE_E_UNSUPFORMAT   a format version other than 1.0
//   TYPE_E_IOERROR       fewer bytes than the header, or than the size it declares
//   TYPE_E_INVALIDSTATE  anything else inconsistent
// On failure `out` is left as it was and `message` says what is wrong, with the byte
// offset where that helps.
//
// Write gives the bytes of a library that Read accepts; it does not check the library
// itself (the compiler reads its output back before writing it out).
//
// Threading: none; both are pure functions of their arguments.
#pragma once

#include "library.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tonwell::typelib {

// The first four bytes of every type library file.
constexpr uint8_t kMagic[4] = {'T', 'W', 'T', 'L'};
constexpr uint16_t kFormatMajor = 1;
constexpr uint16_t kFormatMinor = 0;

// Whether `data` starts with kMagic.
bool HasMagic(const uint8_t* data, size_t size);

HRESULT Read(const uint8_t* data, size_t size, Library& out, std::string& message);

std::vector<uint8_t> Write(const Library& library);

// Whether `name` is an identifier: an ASCII letter or '_', then letters, digits and
// '_', at most 255 characters. Every name in a type library is one.
bool IsIdentifier(const std::u16string& name);

// ASCII-only equality without regard to case: names in a type library are identifiers,
// so this is the whole of their case folding.
bool SameName(const std::u16string& a, const std::u16string& b);

} // namespace tonwell::typelib
