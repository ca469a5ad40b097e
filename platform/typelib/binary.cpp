#include "binary.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <tuple>

namespace tonwell::typelib {

namespace {

// Record sizes of format 1.0, in bytes.
constexpr size_t kHeaderSize = 84;
constexpr size_t kImportSize = 28;
constexpr size_t kRefSize = 28;
constexpr size_t kTypeSize = 44;
constexpr size_t kImplSize = 8;
constexpr size_t kFuncSize = 32;
constexpr size_t kParamSize = 16;

constexpr size_t kMaxStringLength = 65535;
constexpr size_t kMaxFileNameLength = 259;
constexpr size_t kMaxParams = 255;
constexpr uint8_t kMaxPointers = 3;
// oVft is a 16-bit byte offset: 4095 eight-byte slots.
constexpr unsigned kMaxSlots = 4095;

constexpr uint16_t kLibFlags = LIBFLAG_FRESTRICTED | LIBFLAG_FCONTROL | LIBFLAG_FHIDDEN;
constexpr uint16_t kInterfaceFlags = TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE |
                                     TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FRESTRICTED | TYPEFLAG_FDISPATCHABLE;
constexpr uint16_t kCoclassFlags = TYPEFLAG_FAPPOBJECT | TYPEFLAG_FCANCREATE | TYPEFLAG_FLICENSED |
                                   TYPEFLAG_FHIDDEN | TYPEFLAG_FCONTROL | TYPEFLAG_FRESTRICTED |
                                   TYPEFLAG_FAGGREGATABLE;
constexpr uint32_t kImplFlags =
    IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE | IMPLTYPEFLAG_FRESTRICTED | IMPLTYPEFLAG_FDEFAULTVTABLE;
constexpr uint16_t kFuncFlags = FUNCFLAG_FRESTRICTED | FUNCFLAG_FHIDDEN;
constexpr uint16_t kParamFlags = PARAMFLAG_FIN | PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;

bool IsBaseType(uint16_t vt)
{
    switch (vt) {
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4: case VT_I8: case VT_UI8:
    case VT_INT: case VT_UINT: case VT_R4: case VT_R8: case VT_DATE: case VT_BSTR:
    case VT_DISPATCH: case VT_ERROR: case VT_BOOL: case VT_VARIANT: case VT_UNKNOWN: case VT_HRESULT:
    case VT_VOID: case VT_LPSTR: case VT_LPWSTR: case VT_USERDEFINED:
        return true;
    default:
        return false;
    }
}

// Little-endian reads at absolute offsets; callers have checked the bounds.
struct Bytes {
    const uint8_t* p;
    uint16_t U16(size_t at) const { return uint16_t(p[at] | p[at + 1] << 8); }
    uint32_t U32(size_t at) const
    {
        return uint32_t(p[at]) | uint32_t(p[at + 1]) << 8 | uint32_t(p[at + 2]) << 16 | uint32_t(p[at + 3]) << 24;
    }
    GUID Guid(size_t at) const
    {
        GUID g;
        g.Data1 = U32(at);
        g.Data2 = U16(at + 4);
        g.Data3 = U16(at + 6);
        std::memcpy(g.Data4, p + at + 8, 8);
        return g;
    }
};

struct Writer {
    std::vector<uint8_t> out;
    void U8(uint8_t v) { out.push_back(v); }
    void U16(uint16_t v)
    {
        out.push_back(uint8_t(v));
        out.push_back(uint8_t(v >> 8));
    }
    void U32(uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            out.push_back(uint8_t(v >> (8 * i)));
    }
    void Guid(const GUID& g)
    {
        U32(g.Data1);
        U16(g.Data2);
        U16(g.Data3);
        out.insert(out.end(), g.Data4, g.Data4 + 8);
    }
    void Desc(const TypeDesc& d)
    {
        U16(d.vt);
        U8(d.pointers);
        U8(0);
        U32(d.ref);
    }
};

bool IsNullGuid(const GUID& g)
{
    static const GUID zero{};
    return std::memcmp(&g, &zero, sizeof g) == 0;
}


std::string Hex(size_t v)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%zX", v);
    return text;
}

// Thrown inside the reader only; Read turns it into its result.
struct Fault {
    HRESULT hr;
    std::string message;
};

[[noreturn]] void Fail(std::string message) { throw Fault{TYPE_E_INVALIDSTATE, std::move(message)}; }

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : m_b{data}, m_size(size) {}

    Library Run()
    {
        if (m_size < kHeaderSize)
            throw Fault{TYPE_E_IOERROR, "the file ends inside the header (" + std::to_string(m_size) + " of " +
                                            std::to_string(kHeaderSize) + " bytes)"};
        uint16_t major = m_b.U16(4), minor = m_b.U16(6);
        if (major != kFormatMajor || minor != kFormatMinor)
            throw Fault{TYPE_E_UNSUPFORMAT, "format version " + std::to_string(major) + "." + std::to_string(minor) +
                                                " is not 1.0"};
        uint32_t declared = m_b.U32(8);
        if (declared > m_size)
            throw Fault{TYPE_E_IOERROR, "the file has " + std::to_string(m_size) + " bytes of the " +
                                            std::to_string(declared) + " its header declares"};
        if (declared < m_size)
            Fail("the file has " + std::to_string(m_size - declared) + " bytes after its declared end " +
                 Hex(declared));

        uint32_t nStrings = m_b.U32(12), nImports = m_b.U32(16), nRefs = m_b.U32(20), nTypes = m_b.U32(24),
                 nImpls = m_b.U32(28), nFuncs = m_b.U32(32), nParams = m_b.U32(36);
        // Each count times its record size, in 64 bits so that nothing wraps.
        uint64_t at = kHeaderSize;
        m_imports = at, at += uint64_t(nImports) * kImportSize;
        m_refs = at, at += uint64_t(nRefs) * kRefSize;
        m_types = at, at += uint64_t(nTypes) * kTypeSize;
        m_impls = at, at += uint64_t(nImpls) * kImplSize;
        m_funcs = at, at += uint64_t(nFuncs) * kFuncSize;
        m_params = at, at += uint64_t(nParams) * kParamSize;
        m_lengths = at, at += uint64_t(nStrings) * 4;
        if (at > m_size)
            Fail("the record counts of the header need " + std::to_string(at) + " bytes, the file has " +
                 std::to_string(m_size));
        m_text = at;

        Library lib;
        ReadStrings(lib, nStrings);
        m_used.assign(nStrings, false);
        ReadLibrary(lib);
        ReadImports(lib, nImports);
        ReadRefs(lib, nRefs, nTypes);
        ReadTypes(lib, nTypes, nImpls, nFuncs, nParams);
        CheckRefsUsed(lib);
        CheckBases(lib);
        for (uint32_t i = 0; i < nStrings; ++i)
            if (!m_used[i])
                Fail("string " + std::to_string(i) + " is not used");
        return lib;
    }

private:
    void ReadStrings(Library& lib, uint32_t count)
    {
        uint64_t at = m_text;
        lib.strings.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t length = m_b.U32(m_lengths + size_t(i) * 4);
            if (length > kMaxStringLength)
                Fail("string " + std::to_string(i) + " claims " + std::to_string(length) + " characters");
            if (at + uint64_t(length) * 2 > m_size)
                Fail("string " + std::to_string(i) + " at " + Hex(at) + " runs past the end of the file");
            std::u16string s(length, u'\0');
            for (uint32_t k = 0; k < length; ++k)
                s[k] = char16_t(m_b.U16(size_t(at) + size_t(k) * 2));
            CheckText(s, "string " + std::to_string(i) + " at " + Hex(at));
            lib.strings.push_back(std::move(s));
            at += uint64_t(length) * 2;
        }
        if (at != m_size)
            Fail("the string data ends at " + Hex(at) + ", " + std::to_string(m_size - at) +
                 " bytes before the end of the file");
    }

    static void CheckText(const std::u16string& s, const std::string& what)
    {
        for (size_t k = 0; k < s.size(); ++k) {
            char16_t c = s[k];
            if (c == 0)
                Fail(what + " contains a NUL character");
            if (c >= 0xD800 && c <= 0xDBFF) {
                if (k + 1 >= s.size() || s[k + 1] < 0xDC00 || s[k + 1] > 0xDFFF)
                    Fail(what + " contains an unpaired surrogate");
                ++k;
            } else if (c >= 0xDC00 && c <= 0xDFFF) {
                Fail(what + " contains an unpaired surrogate");
            }
        }
    }

    // A string reference: an index in range (or kNone when optional), marked used.
    uint32_t Str(const Library& lib, uint32_t index, bool optional, const std::string& what)
    {
        if (index == kNone) {
            if (!optional)
                Fail(what + " is missing");
            return index;
        }
        if (index >= lib.strings.size())
            Fail(what + " refers to string " + std::to_string(index) + " of " + std::to_string(lib.strings.size()));
        m_used[index] = true;
        return index;
    }

    uint32_t Name(const Library& lib, uint32_t index, const std::string& what)
    {
        Str(lib, index, false, what);
        if (!IsIdentifier(lib.strings[index]))
            Fail(what + " is not an identifier");
        return index;
    }

    void ReadLibrary(Library& lib)
    {
        lib.libid = m_b.Guid(40);
        lib.lcid = m_b.U32(56);
        lib.syskind = m_b.U16(60);
        lib.major = m_b.U16(62);
        lib.minor = m_b.U16(64);
        lib.flags = m_b.U16(66);
        lib.name = Name(lib, m_b.U32(68), "the library name");
        lib.doc = Str(lib, m_b.U32(72), true, "the library help string");
        lib.helpContext = m_b.U32(76);
        lib.helpFile = Str(lib, m_b.U32(80), true, "the library help file");
        if (IsNullGuid(lib.libid))
            Fail("the library has no identifier");
        if (lib.syskind > SYS_WIN64)
            Fail("the library's platform " + std::to_string(lib.syskind) + " is unknown");
        if (lib.flags & ~kLibFlags)
            Fail("the library flags " + Hex(lib.flags) + " are not all known");
    }

    void ReadImports(Library& lib, uint32_t count)
    {
        for (uint32_t i = 0; i < count; ++i) {
            size_t at = m_imports + size_t(i) * kImportSize;
            std::string what = "import " + std::to_string(i) + " at " + Hex(at);
            Import im;
            im.file = Str(lib, m_b.U32(at), false, what + ": its file name");
            im.libid = m_b.Guid(at + 4);
            im.major = m_b.U16(at + 20);
            im.minor = m_b.U16(at + 22);
            im.lcid = m_b.U32(at + 24);
            const std::u16string& file = lib.strings[im.file];
            if (file.empty() || file.size() > kMaxFileNameLength ||
                std::any_of(file.begin(), file.end(), [](char16_t c) { return c < 0x20; }))
                Fail(what + ": its file name is not a usable path");
            if (IsNullGuid(im.libid))
                Fail(what + " has no library identifier");
            if (im.libid == lib.libid)
                Fail(what + " imports the library itself");
            for (const Import& other : lib.imports)
                if (other.libid == im.libid)
                    Fail(what + " imports a library already imported");
            lib.imports.push_back(im);
        }
    }

    void ReadRefs(Library& lib, uint32_t count, uint32_t nTypes)
    {
        std::set<uint32_t> internal;
        std::set<std::tuple<uint32_t, std::string>> imported;
        for (uint32_t i = 0; i < count; ++i) {
            size_t at = m_refs + size_t(i) * kRefSize;
            std::string what = "type reference " + std::to_string(i) + " at " + Hex(at);
            Ref r;
            r.import = m_b.U32(at);
            r.type = m_b.U32(at + 4);
            r.name = m_b.U32(at + 8);
            r.guid = m_b.Guid(at + 12);
            if (r.import == kNone) {
                if (r.type >= nTypes)
                    Fail(what + " names type " + std::to_string(r.type) + " of " + std::to_string(nTypes));
                if (r.name != kNone || !IsNullGuid(r.guid))
                    Fail(what + " names a type of this library but carries an imported name or GUID");
                if (!internal.insert(r.type).second)
                    Fail(what + " repeats an earlier reference");
            } else {
                if (r.import >= lib.imports.size())
                    Fail(what + " names import " + std::to_string(r.import) + " of " +
                         std::to_string(lib.imports.size()));
                if (r.type != 0)
                    Fail(what + " names an imported type but carries a type index");
                Name(lib, r.name, what + ": the imported type's name");
                if (IsNullGuid(r.guid))
                    Fail(what + " names an imported type without a GUID");
                std::string key(reinterpret_cast<const char*>(&r.guid), sizeof r.guid);
                if (!imported.insert({r.import, key}).second)
                    Fail(what + " repeats an earlier reference");
            }
            lib.refs.push_back(r);
        }
        m_refUsed.assign(count, false);
    }

    uint32_t UseRef(const Library& lib, uint32_t ref, const std::string& what)
    {
        if (ref >= lib.refs.size())
            Fail(what + " uses type reference " + std::to_string(ref) + " of " + std::to_string(lib.refs.size()));
        m_refUsed[ref] = true;
        return ref;
    }

    TypeDesc Desc(const Library& lib, size_t at, const std::string& what, bool result)
    {
        TypeDesc d;
        d.vt = m_b.U16(at);
        d.pointers = m_b.p[at + 2];
        uint8_t zero = m_b.p[at + 3];
        d.ref = m_b.U32(at + 4);
        if (zero != 0)
            Fail(what + ": a reserved byte is not zero");
        if (!IsBaseType(d.vt))
            Fail(what + ": the variant type " + std::to_string(d.vt) + " is not one a type library describes");
        if (d.pointers > kMaxPointers)
            Fail(what + ": more than " + std::to_string(kMaxPointers) + " levels of pointer");
        if (d.vt == VT_USERDEFINED) {
            UseRef(lib, d.ref, what);
            if (d.pointers == 0)
                Fail(what + ": an interface is passed by value");
        } else if (d.ref != kNone) {
            Fail(what + ": a type reference on a type that is not user-defined");
        }
        if (d.vt == VT_VOID && d.pointers == 0 && !result)
            Fail(what + ": void is not a parameter type");
        if (d.vt == VT_HRESULT && (d.pointers != 0 || !result))
            Fail(what + ": HRESULT is only a result type");
        return d;
    }

    void ReadTypes(Library& lib, uint32_t nTypes, uint32_t nImpls, uint32_t nFuncs, uint32_t nParams)
    {
        uint64_t impl = 0, func = 0, param = 0;
        std::vector<GUID> guids;
        for (uint32_t i = 0; i < nTypes; ++i) {
            size_t at = m_types + size_t(i) * kTypeSize;
            std::string what = "type " + std::to_string(i) + " at " + Hex(at);
            Type t;
            t.kind = m_b.U16(at);
            t.flags = m_b.U16(at + 2);
            t.name = Name(lib, m_b.U32(at + 4), what + ": its name");
            t.guid = m_b.Guid(at + 8);
            t.doc = Str(lib, m_b.U32(at + 24), true, what + ": its help string");
            t.helpContext = m_b.U32(at + 28);
            t.major = m_b.U16(at + 32);
            t.minor = m_b.U16(at + 34);
            t.inheritedSlots = m_b.U16(at + 36);
            uint16_t nTypeImpls = m_b.U16(at + 38), nTypeFuncs = m_b.U16(at + 40);
            if (m_b.U16(at + 42) != 0)
                Fail(what + ": a reserved field is not zero");
            what += " (" + Utf8Name(lib.strings[t.name]) + ")";
            if (IsNullGuid(t.guid))
                Fail(what + " has no GUID");
            for (size_t k = 0; k < lib.types.size(); ++k) {
                if (lib.types[k].guid == t.guid)
                    Fail(what + " has the GUID of type " + std::to_string(k));
                if (SameName(lib.strings[lib.types[k].name], lib.strings[t.name]))
                    Fail(what + " has the name of type " + std::to_string(k));
            }
            if (impl + nTypeImpls > nImpls || func + nTypeFuncs > nFuncs)
                Fail(what + " claims more base, interface or method records than the file has");

            if (t.kind == TKIND_INTERFACE) {
                if (t.flags & ~kInterfaceFlags)
                    Fail(what + ": interface flags " + Hex(t.flags) + " are not all known");
                if (nTypeImpls > 1)
                    Fail(what + " has more than one base interface");
                if ((t.flags & TYPEFLAG_FDUAL) &&
                    (t.flags & (TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE)) !=
                        (TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE))
                    Fail(what + " is dual but not automation-compatible and dispatchable");
                if ((t.flags & TYPEFLAG_FDISPATCHABLE) && nTypeImpls == 0)
                    Fail(what + " is dispatchable without a base interface");
                if (nTypeImpls == 0 && t.inheritedSlots != 0)
                    Fail(what + " inherits slots without a base interface");
                if (unsigned(t.inheritedSlots) + nTypeFuncs > kMaxSlots)
                    Fail(what + " has more than " + std::to_string(kMaxSlots) + " vtable slots");
            } else if (t.kind == TKIND_COCLASS) {
                if (t.flags & ~kCoclassFlags)
                    Fail(what + ": class flags " + Hex(t.flags) + " are not all known");
                if (nTypeFuncs != 0 || t.inheritedSlots != 0)
                    Fail(what + " is a class with methods or vtable slots");
            } else {
                Fail(what + ": type kind " + std::to_string(t.kind) + " is not an interface or a class");
            }

            for (uint16_t k = 0; k < nTypeImpls; ++k, ++impl) {
                size_t ia = m_impls + size_t(impl) * kImplSize;
                std::string iw = what + ", interface " + std::to_string(k) + " at " + Hex(ia);
                Impl im;
                im.ref = UseRef(lib, m_b.U32(ia), iw);
                im.flags = m_b.U32(ia + 4);
                if (t.kind == TKIND_INTERFACE ? im.flags != 0 : (im.flags & ~kImplFlags) != 0)
                    Fail(iw + ": flags " + Hex(im.flags) + " are not allowed here");
                for (const Impl& other : t.impls)
                    if (other.ref == im.ref)
                        Fail(iw + " repeats an interface");
                t.impls.push_back(im);
            }
            for (uint16_t k = 0; k < nTypeFuncs; ++k, ++func)
                t.funcs.push_back(ReadFunc(lib, t, size_t(func), k, what, param, nParams));
            lib.types.push_back(std::move(t));
        }
        if (impl != nImpls || func != nFuncs || param != nParams)
            Fail("the types use " + std::to_string(impl) + " base/interface, " + std::to_string(func) +
                 " method and " + std::to_string(param) + " parameter records; the header declares " +
                 std::to_string(nImpls) + ", " + std::to_string(nFuncs) + " and " + std::to_string(nParams));
        // An interface or class reference must name an interface.
        for (const Type& t : lib.types)
            for (const Impl& im : t.impls) {
                const Ref& r = lib.refs[im.ref];
                if (!r.IsImported() && lib.types[r.type].kind != TKIND_INTERFACE)
                    Fail("type " + Utf8Name(lib.strings[t.name]) + " names the class " +
                         Utf8Name(lib.strings[lib.types[r.type].name]) + " where an interface belongs");
            }
        for (const Type& t : lib.types)
            for (const Func& f : t.funcs) {
                auto check = [&](const TypeDesc& d) {
                    if (d.vt == VT_USERDEFINED) {
                        const Ref& r = lib.refs[d.ref];
                        if (!r.IsImported() && lib.types[r.type].kind != TKIND_INTERFACE)
                            Fail("method " + Utf8Name(lib.strings[f.name]) + " of " +
                                 Utf8Name(lib.strings[t.name]) + " uses a class as a type");
                    }
                };
                check(f.result);
                for (const Param& p : f.params)
                    check(p.type);
            }
    }

    Func ReadFunc(const Library& lib, const Type& owner, size_t index, uint16_t ordinal, const std::string& typeWhat,
                  uint64_t& param, uint32_t nParams)
    {
        size_t at = m_funcs + index * kFuncSize;
        std::string what = typeWhat + ", method " + std::to_string(ordinal) + " at " + Hex(at);
        Func f;
        f.memid = int32_t(m_b.U32(at));
        f.name = Name(lib, m_b.U32(at + 4), what + ": its name");
        f.doc = Str(lib, m_b.U32(at + 8), true, what + ": its help string");
        f.helpContext = m_b.U32(at + 12);
        f.invkind = m_b.U16(at + 16);
        f.flags = m_b.U16(at + 18);
        f.callconv = m_b.U16(at + 20);
        uint16_t nFuncParams = m_b.U16(at + 22);
        what += " (" + Utf8Name(lib.strings[f.name]) + ")";
        f.result = Desc(lib, at + 24, what + ": its result", true);
        if (f.memid == MEMBERID_NIL)
            Fail(what + " has no member id");
        for (const Func& other : owner.funcs) {
            if (other.memid == f.memid)
                Fail(what + " repeats the member id of " + Utf8Name(lib.strings[other.name]));
            if (SameName(lib.strings[other.name], lib.strings[f.name]))
                Fail(what + " repeats an earlier method name");
        }
        if (f.invkind != INVOKE_FUNC)
            Fail(what + ": invoke kind " + std::to_string(f.invkind) + " is not a method");
        if (f.callconv != CC_STDCALL && f.callconv != CC_CDECL)
            Fail(what + ": calling convention " + std::to_string(f.callconv) + " is not supported");
        if (f.flags & ~kFuncFlags)
            Fail(what + ": flags " + Hex(f.flags) + " are not all known");
        if (nFuncParams > kMaxParams)
            Fail(what + " has more than " + std::to_string(kMaxParams) + " parameters");
        if (param + nFuncParams > nParams)
            Fail(what + " claims more parameter records than the file has");
        for (uint16_t k = 0; k < nFuncParams; ++k, ++param) {
            size_t pa = m_params + size_t(param) * kParamSize;
            std::string pw = what + ", parameter " + std::to_string(k) + " at " + Hex(pa);
            Param p;
            p.name = Name(lib, m_b.U32(pa), pw + ": its name");
            p.flags = m_b.U16(pa + 4);
            if (m_b.U16(pa + 6) != 0)
                Fail(pw + ": a reserved field is not zero");
            p.type = Desc(lib, pa + 8, pw, false);
            if ((p.flags & ~kParamFlags) || !(p.flags & (PARAMFLAG_FIN | PARAMFLAG_FOUT)))
                Fail(pw + ": flags " + Hex(p.flags) + " are not a direction");
            if ((p.flags & PARAMFLAG_FOUT) && p.type.pointers == 0)
                Fail(pw + " is an out parameter that is not a pointer");
            if ((p.flags & PARAMFLAG_FRETVAL) && (!(p.flags & PARAMFLAG_FOUT) || k + 1 != nFuncParams))
                Fail(pw + " is a retval that is not the last out parameter");
            for (const Param& other : f.params)
                if (SameName(lib.strings[other.name], lib.strings[p.name]))
                    Fail(pw + " repeats an earlier parameter name");
            f.params.push_back(p);
        }
        return f;
    }

    void CheckRefsUsed(const Library& lib)
    {
        for (size_t i = 0; i < lib.refs.size(); ++i)
            if (!m_refUsed[i])
                Fail("type reference " + std::to_string(i) + " is not used");
    }

    // Base interfaces of this library must not form a cycle, and each interface inherits
    // exactly the slots of its base. An imported base is checked when it is resolved.
    void CheckBases(const Library& lib)
    {
        std::vector<int> state(lib.types.size(), 0); // 0 unvisited, 1 on the path, 2 done
        for (size_t start = 0; start < lib.types.size(); ++start) {
            std::vector<size_t> path;
            size_t at = start;
            while (state[at] == 0) {
                state[at] = 1;
                path.push_back(at);
                const Type& t = lib.types[at];
                if (t.kind != TKIND_INTERFACE || t.impls.empty() || lib.refs[t.impls[0].ref].IsImported())
                    break;
                at = lib.refs[t.impls[0].ref].type;
                if (state[at] == 1)
                    Fail("the base interfaces of " + Utf8Name(lib.strings[lib.types[at].name]) + " form a cycle");
            }
            // Settle the path from its root down, so each base is checked before its children.
            for (auto it = path.rbegin(); it != path.rend(); ++it) {
                const Type& t = lib.types[*it];
                if (t.kind == TKIND_INTERFACE && !t.impls.empty() && !lib.refs[t.impls[0].ref].IsImported()) {
                    const Type& base = lib.types[lib.refs[t.impls[0].ref].type];
                    if (t.inheritedSlots != base.inheritedSlots + base.funcs.size())
                        Fail("interface " + Utf8Name(lib.strings[t.name]) + " inherits " +
                             std::to_string(t.inheritedSlots) + " slots, its base has " +
                             std::to_string(base.inheritedSlots + base.funcs.size()));
                    if ((base.flags & TYPEFLAG_FDISPATCHABLE) && !(t.flags & TYPEFLAG_FDISPATCHABLE))
                        Fail("interface " + Utf8Name(lib.strings[t.name]) +
                             " derives from a dispatchable interface without being dispatchable");
                }
                state[*it] = 2;
            }
        }
    }

    // Names are checked identifiers, hence ASCII.
    static std::string Utf8Name(const std::u16string& name) { return std::string(name.begin(), name.end()); }

    Bytes m_b;
    size_t m_size;
    size_t m_imports = 0, m_refs = 0, m_types = 0, m_impls = 0, m_funcs = 0, m_params = 0, m_lengths = 0,
           m_text = 0;
    std::vector<bool> m_used;
    std::vector<bool> m_refUsed;
};

} // namespace

uint32_t Library::Intern(const std::u16string& text)
{
    for (size_t i = 0; i < strings.size(); ++i)
        if (strings[i] == text)
            return uint32_t(i);
    strings.push_back(text);
    return uint32_t(strings.size() - 1);
}

const std::u16string& Library::String(uint32_t index) const
{
    static const std::u16string empty;
    return index < strings.size() ? strings[index] : empty;
}

bool HasMagic(const uint8_t* data, size_t size)
{
    return data && size >= sizeof kMagic && std::memcmp(data, kMagic, sizeof kMagic) == 0;
}

bool IsIdentifier(const std::u16string& name)
{
    if (name.empty() || name.size() > 255)
        return false;
    auto letter = [](char16_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
    if (!letter(name[0]))
        return false;
    return std::all_of(name.begin(), name.end(), [&](char16_t c) { return letter(c) || (c >= '0' && c <= '9'); });
}

bool SameName(const std::u16string& a, const std::u16string& b)
{
    if (a.size() != b.size())
        return false;
    auto upper = [](char16_t c) { return c >= 'a' && c <= 'z' ? char16_t(c - 'a' + 'A') : c; };
    for (size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i]))
            return false;
    return true;
}

HRESULT Read(const uint8_t* data, size_t size, Library& out, std::string& message)
{
    message.clear();
    if (!HasMagic(data, size)) {
        message = "not a type library (no signature)";
        return TYPE_E_CANTLOADLIBRARY;
    }
    try {
        out = Reader(data, size).Run();
        return S_OK;
    } catch (const Fault& fault) {
        message = fault.message;
        return fault.hr;
    } catch (const std::bad_alloc&) {
        message = "out of memory";
        return E_OUTOFMEMORY;
    }
}

std::vector<uint8_t> Write(const Library& lib)
{
    size_t nImpls = 0, nFuncs = 0, nParams = 0;
    for (const Type& t : lib.types) {
        nImpls += t.impls.size();
        nFuncs += t.funcs.size();
        for (const Func& f : t.funcs)
            nParams += f.params.size();
    }
    size_t textUnits = 0;
    for (const std::u16string& s : lib.strings)
        textUnits += s.size();
    size_t total = kHeaderSize + lib.imports.size() * kImportSize + lib.refs.size() * kRefSize +
                   lib.types.size() * kTypeSize + nImpls * kImplSize + nFuncs * kFuncSize + nParams * kParamSize +
                   lib.strings.size() * 4 + textUnits * 2;

    // Field by field in file order: the runs of U16/U32 calls below are the record layouts themselves.
    Writer w;
    w.out.reserve(total);
    w.out.insert(w.out.end(), kMagic, kMagic + 4);
    w.U16(kFormatMajor);
    w.U16(kFormatMinor);
    w.U32(uint32_t(total));
    w.U32(uint32_t(lib.strings.size()));
    w.U32(uint32_t(lib.imports.size()));
    w.U32(uint32_t(lib.refs.size()));
    w.U32(uint32_t(lib.types.size()));
    w.U32(uint32_t(nImpls));
    w.U32(uint32_t(nFuncs));
    w.U32(uint32_t(nParams));
    w.Guid(lib.libid);
    w.U32(lib.lcid);
    w.U16(lib.syskind);
    w.U16(lib.major);
    w.U16(lib.minor);
    w.U16(lib.flags);
    w.U32(lib.name);
    w.U32(lib.doc);
    w.U32(lib.helpContext);
    w.U32(lib.helpFile);
    for (const Import& im : lib.imports) {
        w.U32(im.file);
        w.Guid(im.libid);
        w.U16(im.major);
        w.U16(im.minor);
        w.U32(im.lcid);
    }
    for (const Ref& r : lib.refs) {
        w.U32(r.import);
        w.U32(r.type);
        w.U32(r.name);
        w.Guid(r.guid);
    }
    for (const Type& t : lib.types) {
        w.U16(t.kind);
        w.U16(t.flags);
        w.U32(t.name);
        w.Guid(t.guid);
        w.U32(t.doc);
        w.U32(t.helpContext);
        w.U16(t.major);
        w.U16(t.minor);
        w.U16(t.inheritedSlots);
        w.U16(uint16_t(t.impls.size()));
        w.U16(uint16_t(t.funcs.size()));
        w.U16(0);
    }
    for (const Type& t : lib.types)
        for (const Impl& im : t.impls) {
            w.U32(im.ref);
            w.U32(im.flags);
        }
    for (const Type& t : lib.types)
        for (const Func& f : t.funcs) {
            w.U32(uint32_t(f.memid));
            w.U32(f.name);
            w.U32(f.doc);
            w.U32(f.helpContext);
            w.U16(f.invkind);
            w.U16(f.flags);
            w.U16(f.callconv);
            w.U16(uint16_t(f.params.size()));
            w.Desc(f.result);
        }
    for (const Type& t : lib.types)
        for (const Func& f : t.funcs)
            for (const Param& p : f.params) {
                w.U32(p.name);
                w.U16(p.flags);
                w.U16(0);
                w.Desc(p.type);
            }
    for (const std::u16string& s : lib.strings)
        w.U32(uint32_t(s.size()));
    for (const std::u16string& s : lib.strings)
        for (char16_t c : s)
            w.U16(c);
    return std::move(w.out);
}

} // namespace tonwell::typelib
