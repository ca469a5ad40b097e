// tonwell reg: the registry tool, with the syntax and output of the platform's
// own `reg` command: query, add, delete, export, import.
#include "command.h"
#include "reg_common.h"
#include "reg_file.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace tonwell::tools::reg {
namespace {

constexpr const char* kSuccess = "The operation completed successfully.\n";

// Exit statuses: 1 when the operation failed, 2 when the command line is wrong.
constexpr int kFailed = 1;
constexpr int kUsage = 2;

int Fail(const std::string& message)
{
    std::fprintf(stderr, "ERROR: %s\n", message.c_str());
    return kFailed;
}

int BadArgument(const std::string& message)
{
    std::fprintf(stderr, "ERROR: %s\n", message.c_str());
    return kUsage;
}

int InvalidSyntax(const char* operation)
{
    std::fprintf(stderr, "ERROR: Invalid syntax.\nType \"tonwell reg %s /?\" for usage.\n", operation);
    return kUsage;
}

int Succeeded()
{
    std::printf("%s", kSuccess);
    return 0;
}

// The end of an operation whose result is a registry status.
int Finish(LONG status)
{
    if (status != ERROR_SUCCESS)
        return Fail(ErrorText(status));
    return Succeeded();
}

// The user answered no: nothing was changed, which is no failure.
int Cancelled()
{
    std::printf("The operation was cancelled by the user.\n");
    return 0;
}

struct Options {
    std::vector<std::string> positional;
    bool haveV = false, ve = false, va = false, s = false, f = false, y = false;
    std::string v, t, d, separator;
    bool haveT = false, haveD = false, haveSeparator = false;
    bool help = false;
};

bool IsSwitch(const std::string& arg, const char* name)
{
    if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-'))
        return false;
    return strcasecmp(arg.c_str() + 1, name) == 0;
}

// `query` uses /s as "recursive"; `add` uses /s as the separator of REG_MULTI_SZ.
bool ParseOptions(const std::vector<std::string>& args, bool separatorS, Options& o)
{
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto next = [&](std::string& out) {
            if (i + 1 >= args.size())
                return false;
            out = args[++i];
            return true;
        };
        if (IsSwitch(a, "?") || IsSwitch(a, "help")) {
            o.help = true;
        } else if (IsSwitch(a, "v")) {
            if (o.haveV || !next(o.v))
                return false;
            o.haveV = true;
        } else if (IsSwitch(a, "ve")) {
            o.ve = true;
        } else if (IsSwitch(a, "va")) {
            o.va = true;
        } else if (IsSwitch(a, "s")) {
            if (separatorS) {
                if (!next(o.separator))
                    return false;
                o.haveSeparator = true;
            } else {
                o.s = true;
            }
        } else if (IsSwitch(a, "f")) {
            o.f = true;
        } else if (IsSwitch(a, "y")) {
            o.y = true;
        } else if (IsSwitch(a, "t")) {
            if (!next(o.t))
                return false;
            o.haveT = true;
        } else if (IsSwitch(a, "d")) {
            if (!next(o.d))
                return false;
            o.haveD = true;
        } else {
            // Anything else, absolute POSIX paths included, is an operand.
            o.positional.push_back(a);
        }
    }
    return (o.haveV ? 1 : 0) + (o.ve ? 1 : 0) + (o.va ? 1 : 0) <= 1;
}

void PrintValue(const Value& v)
{
    std::string name = v.name.empty() ? "(Default)" : Utf16ToUtf8(v.name);
    std::printf("    %s    %s    %s\n", name.c_str(), TypeName(v.type).c_str(), DisplayData(v.type, v.data).c_str());
}

LONG QueryKey(HKEY parent, const std::u16string& subKey, const std::string& display, const Options& o,
              bool& found)
{
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(parent, subKey.c_str(), 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS)
        return status;
    std::vector<Value> values;
    status = ReadValues(key, values);
    std::vector<std::u16string> children;
    if (status == ERROR_SUCCESS)
        status = ReadSubKeys(key, children);
    if (status != ERROR_SUCCESS) {
        RegCloseKey(key);
        return status;
    }
    if (o.haveV || o.ve) {
        Value wanted;
        wanted.name = o.ve ? std::u16string() : Utf8ToUtf16(o.v);
        DWORD size = 0;
        const Value* match = nullptr;
        if (RegQueryValueExW(key, wanted.name.c_str(), nullptr, &wanted.type, nullptr, &size) == ERROR_SUCCESS) {
            wanted.data.resize(size);
            if (RegQueryValueExW(key, wanted.name.c_str(), nullptr, &wanted.type, wanted.data.data(), &size) ==
                ERROR_SUCCESS) {
                wanted.data.resize(size);
                match = &wanted;
            }
        }
        if (match || (o.ve && !o.s)) {
            std::printf("\n%s\n", display.c_str());
            if (match)
                PrintValue(*match);
            else
                std::printf("    (Default)    REG_SZ    (value not set)\n");
            found = found || match;
        }
    } else {
        std::printf("\n%s\n", display.c_str());
        for (const Value& v : values)
            PrintValue(v);
        found = true;
        if (!o.s) {
            if (!values.empty() && !children.empty())
                std::printf("\n");
            for (const auto& child : children)
                std::printf("%s\\%s\n", display.c_str(), Utf16ToUtf8(child).c_str());
        }
    }
    if (o.s) {
        for (const auto& child : children) {
            status = QueryKey(key, child, display + "\\" + Utf16ToUtf8(child), o, found);
            if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
                break;
            status = ERROR_SUCCESS;
        }
    }
    RegCloseKey(key);
    return status;
}

int Query(const std::vector<std::string>& args)
{
    Options o;
    if (!ParseOptions(args, false, o) || o.va || o.f || o.haveT || o.haveD || o.positional.size() != 1)
        return InvalidSyntax("query");
    KeyPath path;
    if (!ParseKeyPath(o.positional[0], path))
        return BadArgument("Invalid key name.");
    bool found = false;
    LONG status = QueryKey(path.root, path.subKey, path.Display(), o, found);
    if (status != ERROR_SUCCESS)
        return Fail(ErrorText(status));
    if ((o.haveV || o.ve) && !found && !(o.ve && !o.s))
        return Fail(ErrorText(ERROR_FILE_NOT_FOUND));
    std::printf("\n");
    return 0;
}

int Add(const std::vector<std::string>& args)
{
    Options o;
    if (!ParseOptions(args, true, o) || o.va || o.positional.size() != 1)
        return InvalidSyntax("add");
    KeyPath path;
    if (!ParseKeyPath(o.positional[0], path))
        return BadArgument("Invalid key name.");
    DWORD type = REG_SZ;
    if (o.haveT && !ParseTypeName(o.t, type))
        return BadArgument("Invalid type \"" + o.t + "\" for /t.");
    std::vector<BYTE> data;
    bool hasValue = o.haveV || o.ve || o.haveT || o.haveD;
    if (hasValue) {
        std::string separator = o.haveSeparator ? o.separator : "\\0";
        if (o.haveSeparator && (type != REG_MULTI_SZ || separator.empty()))
            return InvalidSyntax("add");
        std::string error;
        if (!ParseData(type, o.haveD ? o.d : std::string(), separator, data, error))
            return BadArgument(error);
    }
    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(path.root, path.subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  hasValue ? KEY_READ | KEY_SET_VALUE : KEY_READ, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS)
        return Fail(ErrorText(status));
    if (hasValue) {
        std::u16string name = o.haveV ? Utf8ToUtf16(o.v) : std::u16string();
        if (!o.f && RegQueryValueExW(key, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
            std::string shown = o.haveV ? o.v : "(Default)";
            bool overwrite = isatty(STDIN_FILENO) && AskYesNo("Value " + shown + " exists, overwrite");
            if (!overwrite) {
                RegCloseKey(key);
                if (!isatty(STDIN_FILENO))
                    return Fail("Value " + shown + " exists; use /f to overwrite it.");
                return Cancelled();
            }
        }
        status = RegSetValueExW(key, name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
    }
    RegCloseKey(key);
    return Finish(status);
}

int Delete(const std::vector<std::string>& args)
{
    Options o;
    if (!ParseOptions(args, false, o) || o.s || o.haveT || o.haveD || o.positional.size() != 1)
        return InvalidSyntax("delete");
    KeyPath path;
    if (!ParseKeyPath(o.positional[0], path))
        return BadArgument("Invalid key name.");
    bool valuesOnly = o.haveV || o.ve || o.va;
    if (!valuesOnly && path.subKey.empty())
        return BadArgument("Invalid key name.");
    if (!o.f) {
        std::string question = o.haveV  ? "Delete the registry value " + o.v
                               : o.ve   ? "Delete the registry value (Default)"
                               : o.va   ? "Delete all values under the registry key " + path.Display()
                                        : "Permanently delete the registry key " + path.Display();
        if (!isatty(STDIN_FILENO))
            return Fail("Confirmation needed and no terminal to ask; use /f to delete without asking.");
        if (!AskYesNo(question))
            return Cancelled();
    }
    LONG status;
    if (!valuesOnly) {
        status = DeleteTree(path.root, path.subKey);
    } else {
        HKEY key = nullptr;
        status = RegOpenKeyExW(path.root, path.subKey.c_str(), 0, KEY_READ | KEY_SET_VALUE, &key);
        if (status == ERROR_SUCCESS) {
            if (o.va) {
                std::vector<Value> values;
                status = ReadValues(key, values);
                for (const Value& v : values) {
                    if (status == ERROR_SUCCESS)
                        status = RegDeleteValueW(key, v.name.c_str());
                }
            } else {
                status = RegDeleteValueW(key, o.haveV ? Utf8ToUtf16(o.v).c_str() : u"");
            }
            RegCloseKey(key);
        }
    }
    return Finish(status);
}

int Export(const std::vector<std::string>& args)
{
    Options o;
    if (!ParseOptions(args, false, o) || o.haveV || o.ve || o.va || o.s || o.haveT || o.haveD ||
        o.positional.size() != 2)
        return InvalidSyntax("export");
    KeyPath path;
    if (!ParseKeyPath(o.positional[0], path))
        return BadArgument("Invalid key name.");
    const std::string& file = o.positional[1];
    if (!o.y && access(file.c_str(), F_OK) == 0) {
        if (!isatty(STDIN_FILENO))
            return Fail("File " + file + " already exists; use /y to overwrite it.");
        if (!AskYesNo("File " + file + " already exists. Overwrite"))
            return Cancelled();
    }
    std::string error;
    if (!ExportKey(path, file, error))
        return Fail(error);
    return Succeeded();
}

int Import(const std::vector<std::string>& args)
{
    Options o;
    if (!ParseOptions(args, false, o) || o.haveV || o.ve || o.va || o.s || o.haveT || o.haveD ||
        o.positional.size() != 1)
        return InvalidSyntax("import");
    std::string error;
    if (!ImportFile(o.positional[0], error))
        return Fail(error);
    return Succeeded();
}

void Usage(FILE* out = stdout)
{
    std::fprintf(out, "tonwell reg OPERATION [ARGS]\n\n"
                "  query  KEY [/v NAME | /ve] [/s]\n"
                "  add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
                "  delete KEY [/v NAME | /ve | /va] [/f]\n"
                "  export KEY FILE [/y]\n"
                "  import FILE\n\n"
                "KEY: ROOT\\SUBKEY, ROOT one of HKLM, HKCU, HKCR, HKU, HKCC (or their full names).\n"
                "TYPE: REG_SZ (default), REG_MULTI_SZ, REG_EXPAND_SZ, REG_DWORD, REG_QWORD, REG_BINARY, REG_NONE.\n"
                "REG_DWORD and REG_QWORD data are decimal or 0x-prefixed hexadecimal; REG_MULTI_SZ strings\n"
                "are separated by \\0 unless /s names another separator.\n");
}

int RunReg(const std::vector<std::string>& args)
{
    if (args.empty() || IsSwitch(args[0], "?") || args[0] == "--help" || args[0] == "-h") {
        Usage(args.empty() ? stderr : stdout);
        return args.empty() ? kUsage : 0;
    }
    for (const std::string& arg : args) {
        // Nothing is stored that the command line did not say exactly.
        std::u16string wide;
        if (!WidenExactly(arg, wide))
            return BadArgument("An argument is not well-formed UTF-8 text.");
    }
    std::string op = args[0];
    for (char& c : op)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (size_t i = 1; i < args.size(); ++i) {
        if (IsSwitch(args[i], "?")) {
            Usage();
            return 0;
        }
    }
    if (op == "query")
        return Query(args);
    if (op == "add")
        return Add(args);
    if (op == "delete")
        return Delete(args);
    if (op == "export")
        return Export(args);
    if (op == "import")
        return Import(args);
    std::fprintf(stderr, "ERROR: Invalid syntax.\n");
    Usage(stderr);
    return kUsage;
}

} // namespace
} // namespace tonwell::tools::reg

TONWELL_COMMAND(reg, "query and change the registry", tonwell::tools::reg::RunReg);
