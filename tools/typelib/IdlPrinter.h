// A type library as IDL text: what `tonwell typelib show` prints.
//
// PrintIdl renders every library the reader accepts; for a library the IDL compiler made,
// the text compiles back to the very same bytes (the midl fuzz target checks it). Pure
// function of its argument; thread-safe.
#pragma once

#include "binary.h"

#include <string>

namespace tonwell::tools {

std::string PrintIdl(const typelib::Library& lib);

} // namespace tonwell::tools
