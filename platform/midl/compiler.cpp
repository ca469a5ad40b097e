#include "compiler.h"

#include <windows.h>

#include "binary.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <tuple>

namespace tonwell::midl {

namespace fs = std::filesystem;
namespace tl = tonwell::typelib;

namespace {

// --- types ----------------------------------------------------------------------------

struct Builtin {
    const char* spelling;
    uint16_t vt;
    const char* header;
};

const Builtin kBuiltins[] = {
    {"void", VT_VOID, "void"},
    {"HRESULT", VT_HRESULT, "HRESULT"},
    {"BYTE", VT_UI1, "BYTE"},
    {"unsigned char", VT_UI1, "BYTE"},
    {"UCHAR", VT_UI1, "UCHAR"},
    {"char", VT_I1, "CHAR"},
    {"signed char", VT_I1, "CHAR"},
    {"CHAR", VT_I1, "CHAR"},
    {"short", VT_I2, "SHORT"},
    {"signed short", VT_I2, "SHORT"},
    {"SHORT", VT_I2, "SHORT"},
    {"unsigned short", VT_UI2, "USHORT"},
    {"USHORT", VT_UI2, "USHORT"},
    {"WORD", VT_UI2, "WORD"},
    {"long", VT_I4, "LONG"},
    {"signed long", VT_I4, "LONG"},
    {"LONG", VT_I4, "LONG"},
    {"unsigned long", VT_UI4, "ULONG"},
    {"ULONG", VT_UI4, "ULONG"},
    {"DWORD", VT_UI4, "DWORD"},
    {"LCID", VT_UI4, "LCID"},
    {"int", VT_INT, "INT"},
    {"signed int", VT_INT, "INT"},
    {"INT", VT_INT, "INT"},
    {"unsigned int", VT_UINT, "UINT"},
    {"UINT", VT_UINT, "UINT"},
    {"hyper", VT_I8, "LONGLONG"},
    {"signed hyper", VT_I8, "LONGLONG"},
    {"__int64", VT_I8, "LONGLONG"},
    {"signed __int64", VT_I8, "LONGLONG"},
    {"LONGLONG", VT_I8, "LONGLONG"},
    {"unsigned hyper", VT_UI8, "ULONGLONG"},
    {"unsigned __int64", VT_UI8, "ULONGLONG"},
    {"ULONGLONG", VT_UI8, "ULONGLONG"},
    {"float", VT_R4, "FLOAT"},
    {"FLOAT", VT_R4, "FLOAT"},
    {"double", VT_R8, "DOUBLE"},
    {"DOUBLE", VT_R8, "DOUBLE"},
    {"BSTR", VT_BSTR, "BSTR"},
    {"VARIANT", VT_VARIANT, "VARIANT"},
    {"VARIANT_BOOL", VT_BOOL, "VARIANT_BOOL"},
    {"DATE", VT_DATE, "DATE"},
    {"SCODE", VT_ERROR, "SCODE"},
    {"LPSTR", VT_LPSTR, "LPSTR"},
    {"LPWSTR", VT_LPWSTR, "LPWSTR"},
    {"LPOLESTR", VT_LPWSTR, "LPOLESTR"},
};

const Builtin* FindBuiltin(const std::string& spelling)
{
    for (const Builtin& b : kBuiltins)
        if (spelling == b.spelling)
            return &b;
    return nullptr;
}

// The interfaces whose declarations the platform's headers carry, by the .idl that
// stands for each header. Their methods are needed for the C form of a derived vtable.
struct KnownMethod {
    const char* result;
    const char* name;
    std::vector<std::pair<const char*, const char*>> params; // type, name
};

struct KnownInterface {
    const char* name;
    const char* base;
    std::vector<KnownMethod> methods;
};

const std::vector<KnownInterface>& KnownInterfaces()
{
    static const std::vector<KnownInterface> known = {
        {"IUnknown",
         "",
         {{"HRESULT", "QueryInterface", {{"REFIID", "riid"}, {"void**", "ppvObject"}}},
          {"ULONG", "AddRef", {}},
          {"ULONG", "Release", {}}}},
        {"IDispatch",
         "IUnknown",
         {{"HRESULT", "GetTypeInfoCount", {{"UINT*", "pctinfo"}}},
          {"HRESULT", "GetTypeInfo", {{"UINT", "iTInfo"}, {"LCID", "lcid"}, {"ITypeInfo**", "ppTInfo"}}},
          {"HRESULT",
           "GetIDsOfNames",
           {{"REFIID", "riid"}, {"LPOLESTR*", "rgszNames"}, {"UINT", "cNames"}, {"LCID", "lcid"},
            {"DISPID*", "rgDispId"}}},
          {"HRESULT",
           "Invoke",
           {{"DISPID", "dispIdMember"}, {"REFIID", "riid"}, {"LCID", "lcid"}, {"WORD", "wFlags"},
            {"DISPPARAMS*", "pDispParams"}, {"VARIANT*", "pVarResult"}, {"EXCEPINFO*", "pExcepInfo"},
            {"UINT*", "puArgErr"}}}}},
    };
    return known;
}

// Which known interfaces each importable header declares.
std::vector<std::string> DeclaredBy(const std::string& idl)
{
    if (idl == "unknwn.idl")
        return {"IUnknown"};
    if (idl == "oaidl.idl")
        return {"IUnknown", "IDispatch"};
    return {};
}

// --- values ---------------------------------------------------------------------------

[[noreturn]] void Fail(Position at, const std::string& message) { throw SyntaxError(at, message); }

std::u16string Widen(const std::string& text, Position at)
{
    if (text.empty())
        return {};
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), nullptr, 0);
    if (n <= 0)
        Fail(at, "the text is not valid UTF-8");
    std::u16string out(size_t(n), u'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), out.data(), n);
    return out;
}

std::string Narrow(const std::u16string& text)
{
    if (text.empty())
        return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::u16string Ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

bool ParseUnsigned(const std::string& text, uint64_t limit, uint64_t& out)
{
    if (text.empty())
        return false;
    uint64_t value = 0;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    for (size_t i = hex ? 2 : 0; i < text.size(); ++i) {
        char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = unsigned(c - '0');
        else if (hex && c >= 'a' && c <= 'f')
            digit = unsigned(c - 'a' + 10);
        else if (hex && c >= 'A' && c <= 'F')
            digit = unsigned(c - 'A' + 10);
        else
            return false;
        value = value * (hex ? 16 : 10) + digit;
        if (value > limit)
            return false;
    }
    out = value;
    return true;
}

bool ParseGuid(const std::string& text, GUID& out)
{
    static const int groups[] = {8, 4, 4, 4, 12};
    size_t at = 0;
    std::string digits;
    for (int g = 0; g < 5; ++g) {
        for (int k = 0; k < groups[g]; ++k, ++at) {
            if (at >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[at])))
                return false;
            digits += text[at];
        }
        if (g < 4) {
            if (at >= text.size() || text[at] != '-')
                return false;
            ++at;
        }
    }
    if (at != text.size())
        return false;
    auto hex = [&](size_t from, size_t count) { return std::stoull(digits.substr(from, count), nullptr, 16); };
    out.Data1 = uint32_t(hex(0, 8));
    out.Data2 = uint16_t(hex(8, 4));
    out.Data3 = uint16_t(hex(12, 4));
    for (int i = 0; i < 8; ++i)
        out.Data4[i] = uint8_t(hex(16 + size_t(i) * 2, 2));
    return true;
}

std::string GuidText(const GUID& g)
{
    char text[40];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", unsigned(g.Data1),
                  unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

const GUID kIIDIDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// --- attributes -----------------------------------------------------------------------

// The attributes of one declaration, each used at most once and only where it applies.
class AttributeSet {
public:
    AttributeSet(const Attributes& attributes, const char* what, std::set<std::string> allowed)
    {
        for (const Attribute& a : attributes) {
            if (!allowed.count(a.name))
                Fail(a.position, "attribute '" + a.name + "' does not apply to " + what);
            if (m_by.count(a.name))
                Fail(a.position, "attribute '" + a.name + "' is given twice");
            m_by[a.name] = &a;
        }
    }

    const Attribute* Find(const char* name) const
    {
        auto it = m_by.find(name);
        return it == m_by.end() ? nullptr : it->second;
    }

    bool Flag(const char* name) const
    {
        const Attribute* a = Find(name);
        if (a && a->kind != Attribute::Value::None)
            Fail(a->valuePosition, "attribute '" + std::string(name) + "' takes no value");
        return a != nullptr;
    }

    const Attribute& Need(const char* name, Position at, const char* what) const
    {
        const Attribute* a = Find(name);
        if (!a)
            Fail(at, std::string(what) + " needs the attribute '" + name + "'");
        return *a;
    }

    static void Require(const Attribute& a, Attribute::Value kind, const char* description)
    {
        if (a.kind != kind)
            Fail(a.kind == Attribute::Value::None ? a.position : a.valuePosition,
                 "attribute '" + a.name + "' takes " + description);
    }

    GUID Uuid(Position at, const char* what) const
    {
        const Attribute& a = Need("uuid", at, what);
        GUID g{};
        if (a.kind == Attribute::Value::None)
            Fail(a.position, "attribute 'uuid' takes a GUID such as 12345678-9ABC-DEF0-1234-56789ABCDEF0");
        if ((a.kind != Attribute::Value::Uuid && a.kind != Attribute::Value::String) || !ParseGuid(a.value, g))
            Fail(a.valuePosition, "'" + a.value + "' is not a GUID of the form 12345678-9ABC-DEF0-1234-56789ABCDEF0");
        if (g == GUID{})
            Fail(a.valuePosition, "the null GUID identifies nothing");
        return g;
    }

    // helpstring("..."): the text, absent when not given.
    std::optional<std::string> Text(const char* name) const
    {
        const Attribute* a = Find(name);
        if (!a)
            return std::nullopt;
        Require(*a, Attribute::Value::String, "a string");
        return a->value;
    }

    uint32_t Number(const char* name, uint32_t otherwise = 0) const
    {
        const Attribute* a = Find(name);
        if (!a)
            return otherwise;
        Require(*a, Attribute::Value::Number, "a number");
        uint64_t v = 0;
        if (a->value[0] == '-' || !ParseUnsigned(a->value, 0xFFFFFFFFu, v))
            Fail(a->valuePosition, "'" + a->value + "' is not a 32-bit unsigned number");
        return uint32_t(v);
    }

    std::pair<uint16_t, uint16_t> Version() const
    {
        const Attribute* a = Find("version");
        if (!a)
            return {0, 0};
        Require(*a, Attribute::Value::Number, "a version such as 1.0");
        std::string text = a->value;
        size_t dot = text.find('.');
        uint64_t major = 0, minor = 0;
        bool ok = ParseUnsigned(text.substr(0, dot), 0xFFFF, major) &&
                  (dot == std::string::npos || ParseUnsigned(text.substr(dot + 1), 0xFFFF, minor)) &&
                  text.find('x') == std::string::npos;
        if (!ok)
            Fail(a->valuePosition, "'" + text + "' is not a version such as 1.0 (each part at most 65535)");
        return {uint16_t(major), uint16_t(minor)};
    }

    std::optional<int32_t> Id() const
    {
        const Attribute* a = Find("id");
        if (!a)
            return std::nullopt;
        Require(*a, Attribute::Value::Number, "a member id");
        bool negative = a->value[0] == '-';
        uint64_t v = 0;
        if (!ParseUnsigned(negative ? a->value.substr(1) : a->value, negative ? 0x80000000u : 0xFFFFFFFFu, v))
            Fail(a->valuePosition, "'" + a->value + "' is not a 32-bit member id");
        int32_t id = negative ? int32_t(-int64_t(v)) : int32_t(uint32_t(v));
        if (id == MEMBERID_NIL)
            Fail(a->valuePosition, "-1 is no member's id (it means 'none')");
        return id;
    }

private:
    std::map<std::string, const Attribute*> m_by;
};

// --- the compiler ---------------------------------------------------------------------

struct LoadedLib {
    std::string path;
    tl::Library lib;
};

class Compiler {
public:
    Compiler(const IdlFile& file, const CompileOptions& options) : m_file(file), m_options(options) {}

    CompileResult Run()
    {
        CheckNames();
        for (size_t i = 0; i < m_file.interfaces.size(); ++i)
            if (m_file.interfaces[i].defined)
                CheckInterfaceAttributes(i);
        CompileResult result;
        if (m_file.library) {
            result.hasLibrary = true;
            result.library = BuildLibrary();
        }
        if (m_options.header)
            result.header = Header();
        return result;
    }

private:
    // --- names ---

    void CheckNames()
    {
        std::map<std::string, Position> seen;
        for (const InterfaceDecl& d : m_file.interfaces) {
            if (!d.defined)
                continue;
            auto [it, fresh] = seen.emplace(d.name, d.position);
            if (!fresh)
                Fail(d.position, "interface " + d.name + " is already defined at line " +
                                     std::to_string(it->second.line));
        }
        for (const InterfaceDecl& d : m_file.interfaces)
            if (!d.defined && !seen.count(d.name))
                Fail(d.position, "interface " + d.name + " is declared but never defined here");
        for (const CoclassDecl& c : m_file.coclasses) {
            auto [it, fresh] = seen.emplace(c.name, c.position);
            if (!fresh)
                Fail(c.position, "the name " + c.name + " is already used at line " + std::to_string(it->second.line));
        }
        if (m_file.library && seen.count(m_file.library->name))
            Fail(m_file.library->position, "the library's name " + m_file.library->name + " is already used");
    }

    // The definition of a local interface, or -1.
    int LocalInterface(const std::string& name) const
    {
        for (size_t i = 0; i < m_file.interfaces.size(); ++i)
            if (m_file.interfaces[i].defined && m_file.interfaces[i].name == name)
                return int(i);
        return -1;
    }

    int LocalCoclass(const std::string& name) const
    {
        for (size_t i = 0; i < m_file.coclasses.size(); ++i)
            if (m_file.coclasses[i].name == name)
                return int(i);
        return -1;
    }

    // --- interfaces ---

    struct InterfaceFacts {
        GUID iid{};
        uint16_t flags = 0; // without TYPEFLAG_FDISPATCHABLE, which depends on the base
        bool dual = false;
        bool automation = false;
    };

    void CheckInterfaceAttributes(size_t index)
    {
        const InterfaceDecl& d = m_file.interfaces[index];
        AttributeSet a(d.attributes, "an interface",
                       {"object", "odl", "uuid", "dual", "oleautomation", "helpstring", "helpcontext", "version",
                        "hidden", "restricted", "nonextensible", "pointer_default"});
        if (!a.Flag("object") && !a.Flag("odl"))
            Fail(d.position, "interface " + d.name + " needs the attribute 'object': only COM interfaces are supported");
        a.Uuid(d.position, ("interface " + d.name).c_str());
        a.Flag("dual");
        a.Flag("oleautomation");
        a.Flag("hidden");
        a.Flag("restricted");
        a.Flag("nonextensible");
        a.Text("helpstring");
        a.Number("helpcontext");
        a.Version();
        if (const Attribute* p = a.Find("pointer_default")) {
            AttributeSet::Require(*p, Attribute::Value::Identifier, "unique, ref or ptr");
            if (p->value != "unique" && p->value != "ref" && p->value != "ptr")
                Fail(p->valuePosition, "pointer_default takes unique, ref or ptr");
        }
        std::set<std::string> methods;
        for (const MethodDecl& m : d.methods) {
            if (!methods.insert(Lower(m.name)).second)
                Fail(m.position, "method " + m.name + " is already declared in " + d.name);
            AttributeSet ma(m.attributes, "a method", {"id", "helpstring", "helpcontext", "restricted", "hidden"});
            ma.Id();
            ma.Text("helpstring");
            ma.Number("helpcontext");
            ma.Flag("restricted");
            ma.Flag("hidden");
            if ((a.Find("dual") || a.Find("oleautomation")) && m.result.base != "HRESULT")
                Fail(m.result.position, "method " + m.name + " of an automation interface must return HRESULT");
            std::set<std::string> params;
            for (size_t k = 0; k < m.params.size(); ++k) {
                const ParamDecl& p = m.params[k];
                if (!params.insert(Lower(p.name)).second)
                    Fail(p.position, "parameter " + p.name + " is already declared in " + m.name);
                uint16_t flags = ParamFlags(p);
                if ((flags & PARAMFLAG_FOUT) && p.type.pointers == 0)
                    Fail(p.position, "[out] parameter " + p.name + " must be a pointer");
                if ((flags & PARAMFLAG_FRETVAL) && k + 1 != m.params.size())
                    Fail(p.position, "[retval] parameter " + p.name + " must be the last");
            }
        }
    }

    static std::string Lower(std::string s)
    {
        for (char& c : s)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        return s;
    }

    uint16_t ParamFlags(const ParamDecl& p) const
    {
        AttributeSet a(p.attributes, "a parameter", {"in", "out", "retval"});
        uint16_t flags = 0;
        if (a.Flag("in"))
            flags |= PARAMFLAG_FIN;
        if (a.Flag("out"))
            flags |= PARAMFLAG_FOUT;
        if (a.Flag("retval")) {
            if (!(flags & PARAMFLAG_FOUT))
                Fail(a.Find("retval")->position, "[retval] parameter " + p.name + " must also be [out]");
            flags |= PARAMFLAG_FRETVAL;
        }
        // No direction means [in].
        return flags ? flags : PARAMFLAG_FIN;
    }

    // --- imported libraries ---

    const LoadedLib& LoadFile(const std::string& file, Position at)
    {
        std::vector<std::string> candidates;
        if (file.find_first_of("/\\") != std::string::npos) {
            std::string path = file;
            std::replace(path.begin(), path.end(), '\\', '/');
            candidates.push_back(path);
        } else {
            for (const std::string& dir : m_options.libraryPath)
                candidates.push_back((fs::path(dir) / file).string());
        }
        for (const std::string& path : candidates) {
            std::error_code ec;
            if (!fs::is_regular_file(path, ec))
                continue;
            std::string canonical = fs::weakly_canonical(path, ec).string();
            for (const auto& loaded : m_loaded)
                if (loaded->path == canonical)
                    return *loaded;
            std::ifstream in(path, std::ios::binary);
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (!in.good() && !in.eof())
                Fail(at, "cannot read " + path);
            auto loaded = std::make_unique<LoadedLib>();
            loaded->path = canonical;
            std::string message;
            if (FAILED(tl::Read(bytes.data(), bytes.size(), loaded->lib, message)))
                Fail(at, path + " is not a usable type library: " + message);
            m_loaded.push_back(std::move(loaded));
            return *m_loaded.back();
        }
        std::string searched;
        for (const std::string& dir : m_options.libraryPath)
            searched += (searched.empty() ? "" : ", ") + dir;
        Fail(at, "cannot find " + file + (searched.empty() ? "" : " (searched " + searched + ")"));
    }

    struct ImportedType {
        const LoadedLib* lib = nullptr;
        size_t type = 0;
        size_t import = 0; // which importlib of this file
    };

    std::optional<ImportedType> FindImported(const std::string& name) const
    {
        for (size_t i = 0; i < m_imports.size(); ++i) {
            const tl::Library& lib = m_imports[i]->lib;
            for (size_t t = 0; t < lib.types.size(); ++t)
                if (lib.String(lib.types[t].name) == Ascii(name))
                    return ImportedType{m_imports[i], t, i};
        }
        return std::nullopt;
    }

    // Depth below the root interface of an imported interface, following its bases into
    // the libraries its own library imports.
    unsigned ImportedLevel(const LoadedLib& lib, size_t type, Position at, int depth = 0)
    {
        if (depth > 64)
            Fail(at, "the base interfaces in " + lib.path + " go on for more than 64 levels");
        const tl::Type& t = lib.lib.types[type];
        if (t.impls.empty())
            return 0;
        const tl::Ref& r = lib.lib.refs[t.impls[0].ref];
        if (!r.IsImported())
            return 1 + ImportedLevel(lib, r.type, at, depth + 1);
        const LoadedLib& next = LoadFile(Narrow(lib.lib.String(lib.lib.imports[r.import].file)), at);
        for (size_t k = 0; k < next.lib.types.size(); ++k)
            if (next.lib.types[k].guid == r.guid)
                return 1 + ImportedLevel(next, k, at, depth + 1);
        Fail(at, next.path + " has no type " + GuidText(r.guid) + " that " + lib.path + " refers to");
    }

    // What the type library needs to know of an interface, wherever it is defined.
    struct Shape {
        unsigned slots = 0; // vtable slots, inherited ones included
        unsigned level = 0; // depth below its root
        bool dispatchable = false;
    };

    Shape LocalShape(size_t index)
    {
        if (m_shapeState[index] == 2)
            return m_shapes[index];
        const InterfaceDecl& d = m_file.interfaces[index];
        if (m_shapeState[index] == 1)
            Fail(d.position, "interface " + d.name + " derives from itself");
        m_shapeState[index] = 1;
        Shape s;
        GUID iid = AttributeSet(d.attributes, "an interface", AllInterfaceAttributes()).Uuid(d.position, "");
        if (!d.base.empty()) {
            Shape base = BaseShape(d);
            s.slots = base.slots;
            s.level = base.level + 1;
            s.dispatchable = base.dispatchable;
        }
        s.slots += unsigned(d.methods.size());
        s.dispatchable = s.dispatchable || iid == kIIDIDispatch;
        if (s.slots > 4095)
            Fail(d.position, "interface " + d.name + " has more than 4095 vtable slots");
        m_shapes[index] = s;
        m_shapeState[index] = 2;
        return s;
    }

    Shape BaseShape(const InterfaceDecl& d)
    {
        int local = LocalInterface(d.base);
        if (local >= 0)
            return LocalShape(size_t(local));
        auto imported = FindImported(d.base);
        if (!imported)
            Fail(d.basePosition, "unknown base interface " + d.base +
                                     (m_imports.empty() ? " (importlib(\"stdole2.tlb\") in the library declares "
                                                          "IUnknown and IDispatch)"
                                                        : ""));
        const tl::Type& t = imported->lib->lib.types[imported->type];
        if (t.kind != TKIND_INTERFACE)
            Fail(d.basePosition, d.base + " is not an interface");
        Shape s;
        s.slots = t.inheritedSlots + unsigned(t.funcs.size());
        s.level = ImportedLevel(*imported->lib, imported->type, d.basePosition);
        s.dispatchable = (t.flags & TYPEFLAG_FDISPATCHABLE) != 0;
        return s;
    }

    static std::set<std::string> AllInterfaceAttributes()
    {
        return {"object", "odl", "uuid", "dual", "oleautomation", "helpstring", "helpcontext", "version",
                "hidden", "restricted", "nonextensible", "pointer_default"};
    }

    // --- the type library ---

    enum class Kind { Interface, Coclass };
    struct Placed {
        Kind kind;
        size_t index;
    };

    bool IsPlaced(Kind kind, size_t index) const
    {
        return std::any_of(m_order.begin(), m_order.end(),
                           [&](const Placed& p) { return p.kind == kind && p.index == index; });
    }

    // Interfaces defined outside the library that `names` refer to, placed first.
    void PlaceOutside(const std::string& name)
    {
        int local = LocalInterface(name);
        if (local < 0 || m_file.interfaces[size_t(local)].inLibrary || IsPlaced(Kind::Interface, size_t(local)))
            return;
        if (m_placing.count(size_t(local)))
            return; // a cycle through parameter types: placed by the outer call
        m_placing.insert(size_t(local));
        PlaceDependencies(m_file.interfaces[size_t(local)]);
        m_placing.erase(size_t(local));
        if (!IsPlaced(Kind::Interface, size_t(local)))
            m_order.push_back({Kind::Interface, size_t(local)});
    }

    void PlaceDependencies(const InterfaceDecl& d)
    {
        if (!d.base.empty())
            PlaceOutside(d.base);
        for (const MethodDecl& m : d.methods) {
            PlaceOutside(m.result.base);
            for (const ParamDecl& p : m.params)
                PlaceOutside(p.type.base);
        }
    }

    tl::Library BuildLibrary()
    {
        const LibraryDecl& decl = *m_file.library;
        AttributeSet a(decl.attributes, "a library",
                       {"uuid", "version", "helpstring", "helpcontext", "helpfile", "lcid", "restricted", "control",
                        "hidden"});
        tl::Library lib;
        lib.name = lib.Intern(Ascii(decl.name));
        if (auto doc = a.Text("helpstring"))
            lib.doc = lib.Intern(Widen(*doc, a.Find("helpstring")->valuePosition));
        if (auto file = a.Text("helpfile"))
            lib.helpFile = lib.Intern(Widen(*file, a.Find("helpfile")->valuePosition));
        lib.helpContext = a.Number("helpcontext");
        lib.libid = a.Uuid(decl.position, ("library " + decl.name).c_str());
        lib.lcid = a.Number("lcid");
        lib.syskind = SYS_WIN32;
        std::tie(lib.major, lib.minor) = a.Version();
        lib.flags = uint16_t((a.Flag("restricted") ? LIBFLAG_FRESTRICTED : 0) |
                             (a.Flag("control") ? LIBFLAG_FCONTROL : 0) | (a.Flag("hidden") ? LIBFLAG_FHIDDEN : 0));

        for (const ImportLib& im : decl.imports) {
            const LoadedLib& loaded = LoadFile(im.file, im.position);
            if (std::find(m_imports.begin(), m_imports.end(), &loaded) != m_imports.end())
                Fail(im.position, im.file + " is already imported");
            if (loaded.lib.libid == lib.libid)
                Fail(im.position, im.file + " is this library itself");
            m_imports.push_back(&loaded);
            tl::Import record;
            record.file = lib.Intern(Widen(im.file, im.position));
            record.libid = loaded.lib.libid;
            record.major = loaded.lib.major;
            record.minor = loaded.lib.minor;
            record.lcid = loaded.lib.lcid;
            lib.imports.push_back(record);
        }

        m_shapes.assign(m_file.interfaces.size(), {});
        m_shapeState.assign(m_file.interfaces.size(), 0);
        for (const Item& item : m_file.libraryItems) {
            if (item.kind == Item::Kind::Interface) {
                const InterfaceDecl& d = m_file.interfaces[item.index];
                if (!d.defined) {
                    // "interface X;" in the library brings in X, defined outside it.
                    PlaceOutside(d.name);
                    continue;
                }
                PlaceDependencies(d);
                m_order.push_back({Kind::Interface, item.index});
            } else {
                for (const CoclassMember& member : m_file.coclasses[item.index].members)
                    PlaceOutside(member.name);
                m_order.push_back({Kind::Coclass, item.index});
            }
        }

        for (const Placed& p : m_order) {
            const std::string& name =
                p.kind == Kind::Interface ? m_file.interfaces[p.index].name : m_file.coclasses[p.index].name;
            if (auto imported = FindImported(name))
                Fail(p.kind == Kind::Interface ? m_file.interfaces[p.index].position
                                               : m_file.coclasses[p.index].position,
                     name + " is also defined by the imported " + imported->lib->path);
        }
        for (const Placed& p : m_order)
            lib.types.push_back(p.kind == Kind::Interface ? BuildInterface(lib, p.index) : BuildCoclass(lib, p.index));

        std::map<std::string, std::string> guids; // GUID text -> owner
        guids[GuidText(lib.libid)] = "the library";
        for (size_t i = 0; i < lib.types.size(); ++i) {
            const Placed& p = m_order[i];
            Position at = p.kind == Kind::Interface ? m_file.interfaces[p.index].position
                                                    : m_file.coclasses[p.index].position;
            auto [it, fresh] = guids.emplace(GuidText(lib.types[i].guid), std::string(lib.String(lib.types[i].name).begin(),
                                                                                      lib.String(lib.types[i].name).end()));
            if (!fresh)
                Fail(at, "the GUID " + it->first + " is already that of " + it->second);
        }

        // What the runtime will read must be exactly what was meant.
        std::vector<uint8_t> bytes = tl::Write(lib);
        tl::Library check;
        std::string message;
        if (FAILED(tl::Read(bytes.data(), bytes.size(), check, message)))
            Fail(decl.position, "internal error: the type library written does not read back: " + message);
        return lib;
    }

    uint32_t InternalRef(tl::Library& lib, size_t typeIndex)
    {
        for (size_t i = 0; i < lib.refs.size(); ++i)
            if (!lib.refs[i].IsImported() && lib.refs[i].type == typeIndex)
                return uint32_t(i);
        tl::Ref r;
        r.type = uint32_t(typeIndex);
        lib.refs.push_back(r);
        return uint32_t(lib.refs.size() - 1);
    }

    uint32_t ImportedRef(tl::Library& lib, const ImportedType& t)
    {
        const tl::Type& type = t.lib->lib.types[t.type];
        for (size_t i = 0; i < lib.refs.size(); ++i)
            if (lib.refs[i].IsImported() && lib.refs[i].import == t.import && lib.refs[i].guid == type.guid)
                return uint32_t(i);
        tl::Ref r;
        r.import = uint32_t(t.import);
        r.guid = type.guid;
        r.name = lib.Intern(t.lib->lib.String(type.name));
        lib.refs.push_back(r);
        return uint32_t(lib.refs.size() - 1);
    }

    size_t TypeIndexOf(Kind kind, size_t index) const
    {
        for (size_t i = 0; i < m_order.size(); ++i)
            if (m_order[i].kind == kind && m_order[i].index == index)
                return i;
        return size_t(-1);
    }

    // A reference to an interface by name, for a base, a class member or a parameter.
    uint32_t InterfaceRef(tl::Library& lib, const std::string& name, Position at)
    {
        int local = LocalInterface(name);
        if (local >= 0)
            return InternalRef(lib, TypeIndexOf(Kind::Interface, size_t(local)));
        if (LocalCoclass(name) >= 0)
            Fail(at, name + " is a class; an interface belongs here");
        auto imported = FindImported(name);
        if (!imported)
            Fail(at, "unknown interface " + name);
        if (imported->lib->lib.types[imported->type].kind != TKIND_INTERFACE)
            Fail(at, name + " in " + imported->lib->path + " is not an interface");
        return ImportedRef(lib, *imported);
    }

    tl::TypeDesc Describe(tl::Library& lib, const TypeSpec& spec, bool result)
    {
        tl::TypeDesc d;
        if (spec.pointers > 3)
            Fail(spec.position, "more than three levels of pointer");
        if (const Builtin* b = FindBuiltin(spec.base)) {
            d.vt = b->vt;
            d.pointers = uint8_t(spec.pointers);
            if (d.vt == VT_VOID && d.pointers == 0 && !result)
                Fail(spec.position, "void is not a parameter type");
            if (d.vt == VT_HRESULT && (d.pointers != 0 || !result))
                Fail(spec.position, "HRESULT is only a result type");
            return d;
        }
        if (spec.pointers == 0)
            Fail(spec.position, LocalInterface(spec.base) >= 0 || FindImported(spec.base) || spec.base == "IUnknown" ||
                                        spec.base == "IDispatch"
                                    ? "interface " + spec.base + " is passed by value; use a pointer"
                                    : "unknown type " + spec.base);
        if (spec.base == "IUnknown" || spec.base == "IDispatch") {
            d.vt = spec.base == "IUnknown" ? VT_UNKNOWN : VT_DISPATCH;
            d.pointers = uint8_t(spec.pointers - 1);
            return d;
        }
        if (LocalInterface(spec.base) < 0 && LocalCoclass(spec.base) < 0 && !FindImported(spec.base))
            Fail(spec.position, "unknown type " + spec.base);
        d.vt = VT_USERDEFINED;
        d.pointers = uint8_t(spec.pointers);
        d.ref = InterfaceRef(lib, spec.base, spec.position);
        return d;
    }

    tl::Type BuildInterface(tl::Library& lib, size_t index)
    {
        const InterfaceDecl& d = m_file.interfaces[index];
        AttributeSet a(d.attributes, "an interface", AllInterfaceAttributes());
        tl::Type t;
        t.kind = TKIND_INTERFACE;
        t.name = lib.Intern(Ascii(d.name));
        t.guid = a.Uuid(d.position, "");
        if (auto doc = a.Text("helpstring"))
            t.doc = lib.Intern(Widen(*doc, a.Find("helpstring")->valuePosition));
        t.helpContext = a.Number("helpcontext");
        std::tie(t.major, t.minor) = a.Version();
        Shape shape = LocalShape(index);
        bool dual = a.Flag("dual");
        if (dual && !shape.dispatchable)
            Fail(a.Find("dual")->position, "dual interface " + d.name + " must derive from IDispatch");
        t.flags = uint16_t((dual ? TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION : 0) |
                           (a.Flag("oleautomation") ? TYPEFLAG_FOLEAUTOMATION : 0) |
                           (shape.dispatchable ? TYPEFLAG_FDISPATCHABLE : 0) | (a.Flag("hidden") ? TYPEFLAG_FHIDDEN : 0) |
                           (a.Flag("restricted") ? TYPEFLAG_FRESTRICTED : 0) |
                           (a.Flag("nonextensible") ? TYPEFLAG_FNONEXTENSIBLE : 0));
        if (!d.base.empty()) {
            t.impls.push_back({InterfaceRef(lib, d.base, d.basePosition), 0});
            t.inheritedSlots = uint16_t(shape.slots - d.methods.size());
        }
        std::set<int32_t> ids;
        for (size_t k = 0; k < d.methods.size(); ++k) {
            const MethodDecl& m = d.methods[k];
            AttributeSet ma(m.attributes, "a method", {"id", "helpstring", "helpcontext", "restricted", "hidden"});
            tl::Func f;
            f.memid = ma.Id().value_or(int32_t(0x60000000u + (shape.level << 16) + k));
            if (!ids.insert(f.memid).second)
                Fail(ma.Find("id") ? ma.Find("id")->valuePosition : m.position,
                     "method " + m.name + " repeats a member id of " + d.name);
            f.name = lib.Intern(Ascii(m.name));
            if (auto doc = ma.Text("helpstring"))
                f.doc = lib.Intern(Widen(*doc, ma.Find("helpstring")->valuePosition));
            f.helpContext = ma.Number("helpcontext");
            f.flags = uint16_t((ma.Flag("restricted") ? FUNCFLAG_FRESTRICTED : 0) |
                               (ma.Flag("hidden") ? FUNCFLAG_FHIDDEN : 0));
            f.callconv = (m.callconv == "__cdecl" || m.callconv == "_cdecl") ? CC_CDECL : CC_STDCALL;
            f.result = Describe(lib, m.result, true);
            for (const ParamDecl& p : m.params) {
                tl::Param param;
                param.name = lib.Intern(Ascii(p.name));
                param.flags = ParamFlags(p);
                param.type = Describe(lib, p.type, false);
                f.params.push_back(param);
            }
            t.funcs.push_back(std::move(f));
        }
        return t;
    }

    tl::Type BuildCoclass(tl::Library& lib, size_t index)
    {
        const CoclassDecl& c = m_file.coclasses[index];
        AttributeSet a(c.attributes, "a coclass",
                       {"uuid", "helpstring", "helpcontext", "version", "noncreatable", "hidden", "restricted",
                        "control", "appobject", "licensed", "aggregatable"});
        tl::Type t;
        t.kind = TKIND_COCLASS;
        t.name = lib.Intern(Ascii(c.name));
        t.guid = a.Uuid(c.position, ("coclass " + c.name).c_str());
        if (auto doc = a.Text("helpstring"))
            t.doc = lib.Intern(Widen(*doc, a.Find("helpstring")->valuePosition));
        t.helpContext = a.Number("helpcontext");
        std::tie(t.major, t.minor) = a.Version();
        t.flags = uint16_t((a.Flag("noncreatable") ? 0 : TYPEFLAG_FCANCREATE) | (a.Flag("hidden") ? TYPEFLAG_FHIDDEN : 0) |
                           (a.Flag("restricted") ? TYPEFLAG_FRESTRICTED : 0) |
                           (a.Flag("control") ? TYPEFLAG_FCONTROL : 0) |
                           (a.Flag("appobject") ? TYPEFLAG_FAPPOBJECT : 0) |
                           (a.Flag("licensed") ? TYPEFLAG_FLICENSED : 0) |
                           (a.Flag("aggregatable") ? TYPEFLAG_FAGGREGATABLE : 0));
        for (const CoclassMember& member : c.members) {
            AttributeSet ma(member.attributes, "a class's interface", {"default", "source", "restricted", "defaultvtable"});
            tl::Impl impl;
            impl.ref = InterfaceRef(lib, member.name, member.position);
            impl.flags = (ma.Flag("default") ? IMPLTYPEFLAG_FDEFAULT : 0) | (ma.Flag("source") ? IMPLTYPEFLAG_FSOURCE : 0) |
                         (ma.Flag("restricted") ? IMPLTYPEFLAG_FRESTRICTED : 0) |
                         (ma.Flag("defaultvtable") ? IMPLTYPEFLAG_FDEFAULTVTABLE : 0);
            for (const tl::Impl& other : t.impls)
                if (other.ref == impl.ref)
                    Fail(member.position, "coclass " + c.name + " lists " + member.name + " twice");
            t.impls.push_back(impl);
        }
        return t;
    }

    // --- the header ---

    std::string HeaderType(const TypeSpec& spec) const
    {
        const Builtin* b = FindBuiltin(spec.base);
        std::string base = b ? b->header : spec.base;
        if (!b && LocalInterface(spec.base) < 0 && !IsKnownForHeader(spec.base))
            Fail(spec.position, "type " + spec.base + " is not declared for the header");
        return base + std::string(size_t(spec.pointers), '*');
    }

    bool IsKnownForHeader(const std::string& name) const
    {
        for (const Item& item : m_file.items)
            if (item.kind == Item::Kind::Import)
                for (const std::string& declared : DeclaredBy(item.text))
                    if (declared == name)
                        return true;
        return false;
    }

    struct CMethod {
        std::string result, name;
        std::vector<std::pair<std::string, std::string>> params;
    };

    // Every method of the vtable, from the root interface down.
    std::vector<CMethod> VtableOf(const std::string& name, Position at, int depth = 0) const
    {
        if (depth > 64)
            Fail(at, "interface " + name + " derives from itself");
        int local = LocalInterface(name);
        if (local >= 0) {
            const InterfaceDecl& d = m_file.interfaces[size_t(local)];
            std::vector<CMethod> methods;
            if (!d.base.empty())
                methods = VtableOf(d.base, d.basePosition, depth + 1);
            for (const MethodDecl& m : d.methods) {
                CMethod c{HeaderType(m.result), m.name, {}};
                for (const ParamDecl& p : m.params)
                    c.params.push_back({HeaderType(p.type), p.name});
                methods.push_back(std::move(c));
            }
            return methods;
        }
        if (IsKnownForHeader(name))
            for (const KnownInterface& k : KnownInterfaces())
                if (name == k.name) {
                    std::vector<CMethod> methods;
                    if (*k.base)
                        methods = VtableOf(k.base, at, depth + 1);
                    for (const KnownMethod& m : k.methods) {
                        CMethod c{m.result, m.name, {}};
                        for (const auto& [type, pname] : m.params)
                            c.params.push_back({type, pname});
                        methods.push_back(std::move(c));
                    }
                    return methods;
                }
        Fail(at, "interface " + name + " is not declared for the header" +
                     (name == "IUnknown" || name == "IDispatch" ? std::string(" (import \"oaidl.idl\")") : ""));
    }

    static std::string GuidInitializer(const GUID& g)
    {
        char text[128];
        std::snprintf(text, sizeof text,
                      "0x%08x, 0x%04x, 0x%04x, {0x%02x, 0x%02x, 0x%02x, 0x%02x, 0x%02x, 0x%02x, 0x%02x, 0x%02x}",
                      unsigned(g.Data1), unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2],
                      g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
        return text;
    }

    static void GuidConstant(std::ostringstream& out, const char* type, const std::string& name, const GUID& g)
    {
        out << "/* {" << GuidText(g) << "} */\n";
        out << "static const " << type << " " << name << " __attribute__((unused)) = {\n    " << GuidInitializer(g)
            << "};\n";
    }

    static std::string Params(const std::vector<std::pair<std::string, std::string>>& params, const std::string& self)
    {
        std::string text = self;
        for (const auto& [type, name] : params)
            text += (text.empty() ? "" : ", ") + type + " " + name;
        return text;
    }

    std::string Header() const
    {
        std::string guard;
        for (char c : fs::path(m_options.headerName).filename().string())
            guard += std::isalnum(static_cast<unsigned char>(c)) ? char(std::toupper(static_cast<unsigned char>(c))) : '_';
        std::ostringstream out;
        out << "/* Generated by tonwell-midl from " << fs::path(m_options.sourceName).filename().string()
            << ": do not edit. */\n";
        out << "#ifndef " << guard << "\n#define " << guard << "\n\n";
        out << "#include <windef.h>\n#include <winerror.h>\n";
        for (const Item& item : m_file.items)
            if (item.kind == Item::Kind::Import) {
                if (DeclaredBy(item.text).empty())
                    Fail(item.position, "cannot import " + item.text +
                                            ": only the platform's unknwn.idl and oaidl.idl are known");
                out << "#include <" << fs::path(item.text).replace_extension(".h").string() << ">\n";
            }
        std::vector<const InterfaceDecl*> defined;
        for (const InterfaceDecl& d : m_file.interfaces)
            if (d.defined)
                defined.push_back(&d);
        if (!defined.empty()) {
            out << "\n#ifdef __cplusplus\n";
            for (const InterfaceDecl* d : defined)
                out << "struct " << d->name << ";\n";
            out << "#else\n";
            for (const InterfaceDecl* d : defined)
                out << "typedef struct " << d->name << " " << d->name << ";\n";
            out << "#endif\n";
        }
        bool quoting = false; // consecutive quoted lines form one block
        for (const Item& item : m_file.items) {
            if (item.kind != Item::Kind::CppQuote && item.kind != Item::Kind::Import)
                quoting = false;
            switch (item.kind) {
            case Item::Kind::Import:
                break;
            case Item::Kind::CppQuote:
                if (!quoting)
                    out << "\n";
                quoting = true;
                out << item.text << "\n";
                break;
            case Item::Kind::Interface: {
                const InterfaceDecl& d = m_file.interfaces[item.index];
                if (d.defined)
                    InterfaceBlock(out, d);
                break;
            }
            case Item::Kind::Library: {
                const LibraryDecl& lib = *m_file.library;
                AttributeSet a(lib.attributes, "a library",
                               {"uuid", "version", "helpstring", "helpcontext", "helpfile", "lcid", "restricted",
                                "control", "hidden"});
                Heading(out, "Library " + lib.name, a, "GUID", "LIBID_" + lib.name, lib.position);
                break;
            }
            case Item::Kind::Coclass: {
                const CoclassDecl& c = m_file.coclasses[item.index];
                AttributeSet a(c.attributes, "a coclass",
                               {"uuid", "helpstring", "helpcontext", "version", "noncreatable", "hidden", "restricted",
                                "control", "appobject", "licensed", "aggregatable"});
                Heading(out, c.name, a, "CLSID", "CLSID_" + c.name, c.position);
                break;
            }
            }
        }
        out << "\n#endif\n";
        return out.str();
    }

    static std::string CommentSafe(std::string text)
    {
        for (size_t at; (at = text.find("*/")) != std::string::npos;)
            text.replace(at, 2, "* /");
        for (char& c : text)
            if (c == '\n' || c == '\r' || c == '\t')
                c = ' ';
        return text;
    }

    // What opens each declaration's part of the header: a comment with its title and help
    // string, then its GUID constant.
    static void Heading(std::ostringstream& out, const std::string& title, const AttributeSet& a, const char* type,
                        const std::string& constant, Position position)
    {
        out << "\n/* " << title;
        if (auto doc = a.Text("helpstring"))
            out << ": " << CommentSafe(*doc);
        out << " */\n";
        GuidConstant(out, type, constant, a.Uuid(position, ""));
    }

    void InterfaceBlock(std::ostringstream& out, const InterfaceDecl& d) const
    {
        AttributeSet a(d.attributes, "an interface", AllInterfaceAttributes());
        Heading(out, d.name, a, "IID", "IID_" + d.name, d.position);
        std::vector<CMethod> vtable = VtableOf(d.name, d.position);

        out << "\n#ifdef __cplusplus\n\n";
        out << "struct " << d.name << (d.base.empty() ? "" : " : public " + d.base) << " {\n";
        size_t own = vtable.size() - d.methods.size();
        for (size_t i = own; i < vtable.size(); ++i) {
            const CMethod& m = vtable[i];
            out << "    virtual " << m.result << " STDMETHODCALLTYPE " << m.name << "(" << Params(m.params, "")
                << ") = 0;\n";
        }
        out << "\nprotected:\n    ~" << d.name << "() = default;\n};\n\n#else\n\n";
        out << "typedef struct " << d.name << "Vtbl {\n";
        for (const CMethod& m : vtable)
            out << "    " << m.result << "(STDMETHODCALLTYPE* " << m.name << ")("
                << Params(m.params, d.name + "* This") << ");\n";
        out << "} " << d.name << "Vtbl;\n";
        out << "struct " << d.name << " {\n    const " << d.name << "Vtbl* lpVtbl;\n};\n\n#endif\n";
    }

    const IdlFile& m_file;
    const CompileOptions& m_options;
    std::vector<std::unique_ptr<LoadedLib>> m_loaded;
    std::vector<const LoadedLib*> m_imports;
    std::vector<Shape> m_shapes;
    std::vector<int> m_shapeState;
    std::vector<Placed> m_order;
    std::set<size_t> m_placing;
};

} // namespace

CompileResult Compile(const IdlFile& file, const CompileOptions& options) { return Compiler(file, options).Run(); }

} // namespace tonwell::midl
