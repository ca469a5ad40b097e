// The contents of a type library as its binary form carries them (docs/typelib-format.md):
// what the IDL compiler writes, the automation runtime reads and `tonwell typelib show`
// prints. Plain data, no behaviour of its own beyond string interning.
//
// Strings are held once, in `strings`, and referred to by index; kNone marks an absent
// optional string or reference. Type references (`refs`) name a type of this library by
// index or a type of an imported library by GUID (with its name, for display).
//
// Threading: none; a Library is a value. The runtime shares one read-only instance
// between threads.
#pragma once

#include <oaidl.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tonwell::typelib {

constexpr uint32_t kNone = 0xFFFFFFFFu;

// A parameter or result type: `pointers` levels of VT_PTR over a base type. A base of
// VT_USERDEFINED names a type through `ref` (an index into Library::refs).
struct TypeDesc {
    uint16_t vt = VT_EMPTY;
    uint8_t pointers = 0;
    uint32_t ref = kNone;

    bool operator==(const TypeDesc&) const = default;
};

struct Param {
    uint32_t name = kNone;
    uint16_t flags = PARAMFLAG_FIN; // PARAMFLAG_*
    TypeDesc type;
};

struct Func {
    int32_t memid = 0;
    uint32_t name = kNone;
    uint32_t doc = kNone;
    uint32_t helpContext = 0;
    uint16_t invkind = INVOKE_FUNC;
    uint16_t flags = 0; // FUNCFLAG_*
    uint16_t callconv = CC_STDCALL;
    TypeDesc result;
    std::vector<Param> params;
};

// An interface's base, or one interface of a coclass.
struct Impl {
    uint32_t ref = kNone;
    uint32_t flags = 0; // IMPLTYPEFLAG_*, coclasses only
};

struct Type {
    uint16_t kind = TKIND_INTERFACE; // TKIND_INTERFACE or TKIND_COCLASS
    uint16_t flags = 0;              // TYPEFLAG_*
    uint32_t name = kNone;
    GUID guid{};
    uint32_t doc = kNone;
    uint32_t helpContext = 0;
    uint16_t major = 0;
    uint16_t minor = 0;
    // Interfaces: vtable slots before the first own method (3 for a direct IUnknown
    // child, 7 below IDispatch); method i sits in slot inheritedSlots + i.
    uint16_t inheritedSlots = 0;
    std::vector<Impl> impls;
    std::vector<Func> funcs;
};

// An importlib: the file it was compiled against and the library found in it.
struct Import {
    uint32_t file = kNone;
    GUID libid{};
    uint16_t major = 0;
    uint16_t minor = 0;
    uint32_t lcid = 0;
};

struct Ref {
    uint32_t import = kNone; // kNone: a type of this library
    uint32_t type = 0;       // this library's type index (import == kNone), else 0
    uint32_t name = kNone;   // imported type's name (import != kNone), else kNone
    GUID guid{};             // imported type's GUID (import != kNone), else zero

    bool IsImported() const { return import != kNone; }
};

struct Library {
    uint32_t name = kNone;
    uint32_t doc = kNone;
    uint32_t helpContext = 0;
    uint32_t helpFile = kNone;
    GUID libid{};
    uint32_t lcid = 0;
    uint16_t syskind = SYS_WIN32;
    uint16_t major = 0;
    uint16_t minor = 0;
    uint16_t flags = 0; // LIBFLAG_FRESTRICTED | LIBFLAG_FCONTROL | LIBFLAG_FHIDDEN

    std::vector<std::u16string> strings;
    std::vector<Import> imports;
    std::vector<Ref> refs;
    std::vector<Type> types;

    // The index of `text` in `strings`, added at the end when new.
    uint32_t Intern(const std::u16string& text);
    // The string at `index`, or "" for kNone.
    const std::u16string& String(uint32_t index) const;
};

} // namespace tonwell::typelib
