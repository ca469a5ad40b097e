// The compiler proper: checks a parsed interface definition and makes from it the
// binary type library (library.h) and the public C/C++ header.
//
// Names: an interface name is one this file defines, or (for the type library) one the
// library's importlib files define, or (for the header) IUnknown and IDispatch when
// "unknwn.idl" or "oaidl.idl" is imported, whose declarations the platform's headers
// carry. Interfaces defined outside the library block enter the type library when the
// library refers to them, just before the first type that does.
//
// Defaults: a parameter without a direction is [in]; a method without [id] gets
// 0x60000000 + (inheritance depth << 16) + its index; the library is for SYS_WIN32.
//
// Errors: SyntaxError at the offending declaration or attribute. Threading: none.
#pragma once

#include "library.h"
#include "parser.h"

#include <string>
#include <vector>

namespace tonwell::midl {

struct CompileOptions {
    std::vector<std::string> libraryPath; // folders searched for importlib files
    bool header = false;
    std::string headerName; // the header's file name, for its include guard
    std::string sourceName; // the IDL file's name, for the header's banner
};

struct CompileResult {
    bool hasLibrary = false;
    typelib::Library library;
    std::string header;
};

CompileResult Compile(const IdlFile& file, const CompileOptions& options);

} // namespace tonwell::midl
