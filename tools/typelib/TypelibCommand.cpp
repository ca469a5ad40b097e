// tonwell typelib show [MODULE|FILE]: a type library as IDL text.
//
// FILE is a type library file; MODULE a module file whose "TYPELIB" resource 1 holds one
// ("MODULE\N" picks resource N). Without either, the TonwellObj module beside the host.
// The text compiles back, with tonwell-midl, to the very same bytes.
#include <windows.h>

#include "binary.h"
#include "command.h"
#include "common/Component.h"
#include "typelib/IdlPrinter.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include "common/Text.h"

#include <string>
#include <vector>

namespace tonwell::tools {
namespace {

namespace tl = tonwell::typelib;

// The bytes of a type library file, or of a module's "TYPELIB" resource.
bool LoadBytes(const std::string& path, std::vector<uint8_t>& bytes, std::string& error)
{
    std::string file = path;
    WORD resource = 1;
    bool explicitResource = false;
    size_t slash = path.rfind('\\');
    if (slash != std::string::npos && slash + 1 < path.size() &&
        path.find_first_not_of("0123456789", slash + 1) == std::string::npos && path.size() - slash <= 6) {
        unsigned long id = std::stoul(path.substr(slash + 1));
        if (id > 0 && id <= 0xFFFF) {
            file = path.substr(0, slash);
            resource = WORD(id);
            explicitResource = true;
        }
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = "cannot open " + file;
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!explicitResource && tl::HasMagic(bytes.data(), bytes.size()))
        return true;

    HMODULE module = LoadLibraryExW(Utf8ToUtf16(file).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) {
        error = file + " is neither a type library nor a module";
        return false;
    }
    bool found = false;
    if (HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(resource), u"TYPELIB")) {
        HGLOBAL data = LoadResource(module, res);
        const auto* p = static_cast<const uint8_t*>(data ? LockResource(data) : nullptr);
        if (p) {
            bytes.assign(p, p + SizeofResource(module, res));
            found = true;
        }
    }
    FreeLibrary(module);
    if (!found)
        error = file + " has no TYPELIB resource " + std::to_string(resource);
    return found;
}

int Usage(FILE* out)
{
    std::fprintf(out, "usage: tonwell typelib show [MODULE|FILE]\n\n"
                      "Prints a type library as IDL text: a type library file, or the \"TYPELIB\"\n"
                      "resource 1 of a module (MODULE\\N for resource N). Without an argument, the\n"
                      "TonwellObj module beside the host.\n");
    return out == stdout ? 0 : 2;
}

int RunTypelib(const std::vector<std::string>& args)
{
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h"))
        return Usage(stdout);
    if (args.empty() || args[0] != "show" || args.size() > 2)
        return Usage(stderr);
    std::string path = args.size() == 2 ? args[1] : DefaultModulePath();
    std::vector<uint8_t> bytes;
    std::string error;
    if (!LoadBytes(path, bytes, error)) {
        std::fprintf(stderr, "tonwell typelib: %s\n", error.c_str());
        return 1;
    }
    tl::Library lib;
    HRESULT hr = tl::Read(bytes.data(), bytes.size(), lib, error);
    if (FAILED(hr)) {
        std::fprintf(stderr, "tonwell typelib: %s: 0x%08X: %s\n", path.c_str(), unsigned(hr), error.c_str());
        return 1;
    }
    std::string text = "// " + Utf16ToUtf8(lib.strings[lib.name]) + ", from " + path + "\n" + PrintIdl(lib);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

} // namespace

TONWELL_COMMAND(typelib, "print a type library as IDL", RunTypelib);

} // namespace tonwell::tools
