#include "typelib/IdlPrinter.h"

#include "common/Text.h"

#include <cstdio>
#include <vector>

namespace tonwell::tools {
namespace {

namespace tl = tonwell::typelib;

// Without the braces, as IDL writes it.
std::string Guid(const GUID& g) { return GuidText(g).substr(1, 36); }

std::string Quoted(const std::u16string& text)
{
    std::string out = "\"";
    for (char c : Utf16ToUtf8(text)) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
    return out + "\"";
}

std::string Number(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, value < 0x10000 ? "%u" : "0x%08X", unsigned(value));
    return text;
}

class Printer {
public:
    explicit Printer(const tl::Library& lib) : m_lib(lib) {}

    std::string Run()
    {
        std::vector<std::string> attrs = {"uuid(" + Guid(m_lib.libid) + ")", Version(m_lib.major, m_lib.minor)};
        if (m_lib.lcid)
            attrs.push_back("lcid(" + Number(m_lib.lcid) + ")");
        Help(attrs, m_lib.doc, m_lib.helpContext);
        if (m_lib.helpFile != tl::kNone)
            attrs.push_back("helpfile(" + Quoted(S(m_lib.helpFile)) + ")");
        Flag(attrs, m_lib.flags & LIBFLAG_FRESTRICTED, "restricted");
        Flag(attrs, m_lib.flags & LIBFLAG_FCONTROL, "control");
        Flag(attrs, m_lib.flags & LIBFLAG_FHIDDEN, "hidden");
        Attributes(attrs, "");
        m_out += "library " + Name(m_lib.name) + "\n{\n";
        for (const tl::Import& im : m_lib.imports)
            m_out += "    importlib(" + Quoted(S(im.file)) + ");\n";
        for (size_t i = 0; i < m_lib.types.size(); ++i) {
            const tl::Type& t = m_lib.types[i];
            if (i > 0 || !m_lib.imports.empty())
                m_out += "\n";
            if (t.kind == TKIND_INTERFACE)
                Interface(t);
            else
                Coclass(t);
        }
        m_out += "};\n";
        return m_out;
    }

private:
    const std::u16string& S(uint32_t index) const { return m_lib.strings[index]; }
    std::string Name(uint32_t index) const { return Utf16ToUtf8(S(index)); }

    static std::string Version(uint16_t major, uint16_t minor)
    {
        return "version(" + std::to_string(major) + "." + std::to_string(minor) + ")";
    }

    void Help(std::vector<std::string>& attrs, uint32_t doc, uint32_t context) const
    {
        if (doc != tl::kNone)
            attrs.push_back("helpstring(" + Quoted(S(doc)) + ")");
        if (context)
            attrs.push_back("helpcontext(" + Number(context) + ")");
    }

    static void Flag(std::vector<std::string>& attrs, unsigned set, const char* name)
    {
        if (set)
            attrs.push_back(name);
    }

    void Attributes(const std::vector<std::string>& attrs, const std::string& indent)
    {
        m_out += indent + "[\n";
        for (size_t i = 0; i < attrs.size(); ++i)
            m_out += indent + "    " + attrs[i] + (i + 1 < attrs.size() ? ",\n" : "\n");
        m_out += indent + "]\n";
    }

    std::string RefName(uint32_t ref) const
    {
        const tl::Ref& r = m_lib.refs[ref];
        return Name(r.IsImported() ? r.name : m_lib.types[r.type].name);
    }

    std::string Type(const tl::TypeDesc& d) const
    {
        int pointers = d.pointers;
        std::string base;
        switch (d.vt) {
        case VT_UI1: base = "unsigned char"; break;
        case VT_I1: base = "char"; break;
        case VT_I2: base = "short"; break;
        case VT_UI2: base = "unsigned short"; break;
        case VT_I4: base = "long"; break;
        case VT_UI4: base = "unsigned long"; break;
        case VT_INT: base = "int"; break;
        case VT_UINT: base = "unsigned int"; break;
        case VT_I8: base = "__int64"; break;
        case VT_UI8: base = "unsigned __int64"; break;
        case VT_R4: base = "float"; break;
        case VT_R8: base = "double"; break;
        case VT_BSTR: base = "BSTR"; break;
        case VT_VARIANT: base = "VARIANT"; break;
        case VT_BOOL: base = "VARIANT_BOOL"; break;
        case VT_DATE: base = "DATE"; break;
        case VT_ERROR: base = "SCODE"; break;
        case VT_LPSTR: base = "LPSTR"; break;
        case VT_LPWSTR: base = "LPWSTR"; break;
        case VT_HRESULT: base = "HRESULT"; break;
        case VT_VOID: base = "void"; break;
        case VT_UNKNOWN: base = "IUnknown"; ++pointers; break;
        case VT_DISPATCH: base = "IDispatch"; ++pointers; break;
        case VT_USERDEFINED: base = RefName(d.ref); break;
        default: base = "?"; break; // the reader admits no other type
        }
        return base + std::string(size_t(pointers), '*');
    }

    void Interface(const tl::Type& t)
    {
        std::vector<std::string> attrs = {"object", "uuid(" + Guid(t.guid) + ")"};
        if (t.major || t.minor)
            attrs.push_back(Version(t.major, t.minor));
        if (t.flags & TYPEFLAG_FDUAL)
            attrs.push_back("dual");
        else if (t.flags & TYPEFLAG_FOLEAUTOMATION)
            attrs.push_back("oleautomation");
        Help(attrs, t.doc, t.helpContext);
        Flag(attrs, t.flags & TYPEFLAG_FHIDDEN, "hidden");
        Flag(attrs, t.flags & TYPEFLAG_FRESTRICTED, "restricted");
        Flag(attrs, t.flags & TYPEFLAG_FNONEXTENSIBLE, "nonextensible");
        Attributes(attrs, "    ");
        m_out += "    interface " + Name(t.name);
        if (!t.impls.empty())
            m_out += " : " + RefName(t.impls[0].ref);
        m_out += "\n    {\n";
        for (const tl::Func& f : t.funcs) {
            std::string id = f.memid < 0 ? std::to_string(f.memid) : Number(uint32_t(f.memid));
            std::vector<std::string> fa = {"id(" + id + ")"};
            Help(fa, f.doc, f.helpContext);
            Flag(fa, f.flags & FUNCFLAG_FRESTRICTED, "restricted");
            Flag(fa, f.flags & FUNCFLAG_FHIDDEN, "hidden");
            std::string line = "        [";
            for (size_t i = 0; i < fa.size(); ++i)
                line += (i ? ", " : "") + fa[i];
            line += "]\n        " + Type(f.result) + (f.callconv == CC_CDECL ? " __cdecl " : " ") + Name(f.name) + "(";
            for (size_t i = 0; i < f.params.size(); ++i) {
                const tl::Param& p = f.params[i];
                std::string dir = (p.flags & PARAMFLAG_FIN) ? "in" : "";
                if (p.flags & PARAMFLAG_FOUT)
                    dir += dir.empty() ? "out" : ", out";
                if (p.flags & PARAMFLAG_FRETVAL)
                    dir += ", retval";
                line += (i ? ", " : "") + ("[" + dir + "] ") + Type(p.type) + " " + Name(p.name);
            }
            m_out += line + ");\n";
        }
        m_out += "    };\n";
    }

    void Coclass(const tl::Type& t)
    {
        std::vector<std::string> attrs = {"uuid(" + Guid(t.guid) + ")"};
        if (t.major || t.minor)
            attrs.push_back(Version(t.major, t.minor));
        Help(attrs, t.doc, t.helpContext);
        Flag(attrs, !(t.flags & TYPEFLAG_FCANCREATE), "noncreatable");
        Flag(attrs, t.flags & TYPEFLAG_FHIDDEN, "hidden");
        Flag(attrs, t.flags & TYPEFLAG_FRESTRICTED, "restricted");
        Flag(attrs, t.flags & TYPEFLAG_FCONTROL, "control");
        Flag(attrs, t.flags & TYPEFLAG_FAPPOBJECT, "appobject");
        Flag(attrs, t.flags & TYPEFLAG_FLICENSED, "licensed");
        Flag(attrs, t.flags & TYPEFLAG_FAGGREGATABLE, "aggregatable");
        Attributes(attrs, "    ");
        m_out += "    coclass " + Name(t.name) + "\n    {\n";
        for (const tl::Impl& im : t.impls) {
            std::vector<std::string> ia;
            Flag(ia, im.flags & IMPLTYPEFLAG_FDEFAULT, "default");
            Flag(ia, im.flags & IMPLTYPEFLAG_FSOURCE, "source");
            Flag(ia, im.flags & IMPLTYPEFLAG_FRESTRICTED, "restricted");
            Flag(ia, im.flags & IMPLTYPEFLAG_FDEFAULTVTABLE, "defaultvtable");
            std::string prefix;
            for (size_t i = 0; i < ia.size(); ++i)
                prefix += (i ? ", " : "[") + ia[i];
            if (!prefix.empty())
                prefix += "] ";
            m_out += "        " + prefix + "interface " + RefName(im.ref) + ";\n";
        }
        m_out += "    };\n";
    }

    const tl::Library& m_lib;
    std::string m_out;
};

} // namespace

std::string PrintIdl(const typelib::Library& lib)
{
    return Printer(lib).Run();
}

} // namespace tonwell::tools
