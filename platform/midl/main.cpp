// tonwell-midl: the platform's interface definition compiler, run at build time.
//
//   tonwell-midl [--header OUT.h] [--tlb OUT.tlb] [-L DIR]... FILE.idl
//
// Makes the public C/C++ header and the binary type library from one IDL file. importlib
// files are looked for in each -L folder, then beside FILE.idl. Errors are reported as
// "FILE:LINE:COLUMN: error: MESSAGE" and nothing is written: outputs appear whole, by
// rename, or not at all.
#include "binary.h"
#include "compiler.h"
#include "parser.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace tonwell::midl;

namespace {

int Usage()
{
    std::fprintf(stderr, "usage: tonwell-midl [--header OUT.h] [--tlb OUT.tlb] [-L DIR]... FILE.idl\n");
    return 2;
}

// Writes `bytes` to a temporary file beside `path` and renames it into place.
bool WriteWhole(const std::string& path, const void* bytes, size_t size, std::string& error)
{
    std::string temp = path + ".tmp" + std::to_string(getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(static_cast<const char*>(bytes), std::streamsize(size));
        out.close();
        if (!out) {
            error = "cannot write " + temp + ": " + std::strerror(errno);
            std::remove(temp.c_str());
            return false;
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot replace " + path + ": " + std::strerror(errno);
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::string input, headerOut, tlbOut;
    std::vector<std::string> libraryPath;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc)
                return false;
            into = argv[++i];
            return true;
        };
        if (arg == "--header") {
            if (!value(headerOut))
                return Usage();
        } else if (arg == "--tlb") {
            if (!value(tlbOut))
                return Usage();
        } else if (arg == "-L") {
            std::string dir;
            if (!value(dir))
                return Usage();
            libraryPath.push_back(dir);
        } else if (arg.size() > 2 && arg.compare(0, 2, "-L") == 0) {
            libraryPath.push_back(arg.substr(2));
        } else if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        } else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "tonwell-midl: unknown option %s\n", arg.c_str());
            return Usage();
        } else if (input.empty()) {
            input = arg;
        } else {
            return Usage();
        }
    }
    if (input.empty() || (headerOut.empty() && tlbOut.empty()))
        return Usage();

    std::ifstream in(input, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s: error: cannot open: %s\n", input.c_str(), std::strerror(errno));
        return 1;
    }
    std::stringstream text;
    text << in.rdbuf();
    libraryPath.push_back(fs::path(input).parent_path().empty() ? "." : fs::path(input).parent_path().string());

    CompileResult result;
    try {
        IdlFile file = Parse(text.str());
        CompileOptions options;
        options.libraryPath = libraryPath;
        options.header = !headerOut.empty();
        options.headerName = headerOut;
        options.sourceName = input;
        result = Compile(file, options);
        if (!tlbOut.empty() && !result.hasLibrary)
            throw SyntaxError(Position{1, 1}, "a type library needs a library block");
    } catch (const SyntaxError& e) {
        std::fprintf(stderr, "%s:%d:%d: error: %s\n", input.c_str(), e.position.line, e.position.column, e.what());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: error: %s\n", input.c_str(), e.what());
        return 1;
    }

    std::string error;
    if (!tlbOut.empty()) {
        std::vector<uint8_t> bytes = tonwell::typelib::Write(result.library);
        if (!WriteWhole(tlbOut, bytes.data(), bytes.size(), error)) {
            std::fprintf(stderr, "tonwell-midl: %s\n", error.c_str());
            return 1;
        }
    }
    if (!headerOut.empty() && !WriteWhole(headerOut, result.header.data(), result.header.size(), error)) {
        std::fprintf(stderr, "tonwell-midl: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
