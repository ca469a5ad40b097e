// The IDL compiler's parser and checks: any text gives a result or a SyntaxError. The
// library search path is empty, so importlib never reads a file. A library the compiler
// makes, printed as `tonwell typelib show` prints it, compiles back to the same bytes.
#include "fuzz_target.h"
#include "binary.h"
#include "compiler.h"
#include "lexer.h"
#include "parser.h"
#include "typelib/IdlPrinter.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The shown text must compile: a SyntaxError here is a fault of the printer, not of the input.
bool CompilesBackTo(const std::string& shown, const std::vector<uint8_t>& bytes)
{
    try {
        tonwell::midl::CompileOptions options;
        options.sourceName = "shown.idl";
        tonwell::midl::CompileResult result = tonwell::midl::Compile(tonwell::midl::Parse(shown), options);
        return result.hasLibrary && tonwell::typelib::Write(result.library) == bytes;
    } catch (const tonwell::midl::SyntaxError&) {
        return false;
    }
}

} // namespace

TONWELL_FUZZ_TARGET(midl)
{
    const std::string source(reinterpret_cast<const char*>(data), size);
    try {
        tonwell::midl::IdlFile file = tonwell::midl::Parse(source);
        tonwell::midl::CompileOptions options;
        options.header = true;
        options.headerName = "fuzz.h";
        options.sourceName = "fuzz.idl";
        tonwell::midl::CompileResult result = tonwell::midl::Compile(file, options);
        if (result.hasLibrary) {
            // What the compiler makes, the reader takes.
            std::vector<uint8_t> bytes = tonwell::typelib::Write(result.library);
            tonwell::typelib::Library back;
            std::string message;
            if (FAILED(tonwell::typelib::Read(bytes.data(), bytes.size(), back, message)))
                std::abort();
            if (!CompilesBackTo(tonwell::tools::PrintIdl(back), bytes))
                std::abort();
        }
    } catch (const tonwell::midl::SyntaxError&) {
    }
    return 0;
}
