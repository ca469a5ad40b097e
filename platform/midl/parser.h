// The syntax tree of an interface definition file, and the parser that builds it.
//
// The language is the subset of the platform's interface definition language that
// automation components need:
//
//   file       := { import | cpp_quote | interface | library | ";" }
//   import     := "import" STRING { "," STRING } ";"
//   cpp_quote  := "cpp_quote" "(" STRING ")" [";"]
//   interface  := [attrs] "interface" NAME [":" NAME] ("{" { method } "}" [";"] | ";")
//   method     := [attrs] type [callconv] NAME "(" [ "void" | param { "," param } ] ")" ";"
//   param      := [attrs] type NAME
//   type       := ("unsigned" | "signed") INTTYPE | INTTYPE | NAME, then { "*" }
//   library    := attrs "library" NAME "{" { "importlib" "(" STRING ")" ";" | cpp_quote
//                 | interface | attrs "coclass" NAME "{" { [attrs] "interface" NAME ";" } "}" [";"]
//                 | ";" } "}" [";"]
//   attrs      := "[" NAME [ "(" value ")" ] { "," NAME [ "(" value ")" ] } "]"
//
// Which attributes apply where, and what names mean, is the compiler's business
// (compiler.h); the parser checks the shape only. Errors: SyntaxError at the offending
// token. Threading: none.
#pragma once

#include "lexer.h"

#include <optional>
#include <string>
#include <vector>

namespace tonwell::midl {

struct Attribute {
    enum class Value { None, Number, String, Uuid, Identifier };
    std::string name;
    Position position;
    Value kind = Value::None;
    std::string value; // as written (a negative number keeps its '-')
    Position valuePosition;
};
using Attributes = std::vector<Attribute>;

struct TypeSpec {
    std::string base; // one word, or "unsigned long" and the like
    int pointers = 0;
    Position position;
};

struct ParamDecl {
    Attributes attributes;
    TypeSpec type;
    std::string name;
    Position position;
};

struct MethodDecl {
    Attributes attributes;
    TypeSpec result;
    std::string callconv; // as written, or ""
    std::string name;
    Position position;
    std::vector<ParamDecl> params;
};

struct InterfaceDecl {
    Attributes attributes;
    std::string name;
    Position position;
    std::string base; // "" without one
    Position basePosition;
    bool defined = false; // false: a forward declaration "interface X;"
    bool inLibrary = false;
    std::vector<MethodDecl> methods;
};

struct CoclassMember {
    Attributes attributes;
    std::string name;
    Position position;
};

struct CoclassDecl {
    Attributes attributes;
    std::string name;
    Position position;
    std::vector<CoclassMember> members;
};

struct ImportLib {
    std::string file;
    Position position;
};

struct LibraryDecl {
    Attributes attributes;
    std::string name;
    Position position;
    std::vector<ImportLib> imports;
};

// One declaration in source order, for the header.
struct Item {
    enum class Kind { Import, CppQuote, Interface, Library, Coclass };
    Kind kind;
    size_t index = 0;  // into interfaces or coclasses
    std::string text;  // import file or quoted text
    Position position;
};

struct IdlFile {
    std::vector<Item> items;
    std::vector<InterfaceDecl> interfaces;
    std::vector<CoclassDecl> coclasses;
    std::optional<LibraryDecl> library;
    // The library's members in source order: interfaces and coclasses (Item kinds).
    std::vector<Item> libraryItems;
};

IdlFile Parse(const std::string& source);

} // namespace tonwell::midl
