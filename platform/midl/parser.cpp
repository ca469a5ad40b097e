#include "parser.h"

#include <set>

namespace tonwell::midl {

namespace {

const std::set<std::string> kIntegerWords = {"char", "short", "long", "int", "hyper", "__int64"};
const std::set<std::string> kCallConvs = {"__stdcall", "_stdcall", "STDMETHODCALLTYPE", "__cdecl", "_cdecl"};

std::string Quote(const Token& t)
{
    switch (t.kind) {
    case TokenKind::End:
        return "the end of the file";
    case TokenKind::String:
        return "a string";
    case TokenKind::Number:
        return "'" + t.text + "'";
    default:
        return "'" + t.text + "'";
    }
}

class Parser {
public:
    explicit Parser(const std::string& source) : m_lexer(source) {}

    IdlFile Run()
    {
        while (true) {
            const Token& t = Peek();
            if (t.kind == TokenKind::End)
                break;
            if (t.Is(';')) {
                Take();
            } else if (t.IsWord("import")) {
                ParseImport();
            } else if (t.IsWord("cpp_quote")) {
                ParseCppQuote(m_file.items);
            } else if (t.IsWord("importlib")) {
                throw SyntaxError(t.position, "importlib belongs inside the library block");
            } else {
                Attributes attributes = Peek().Is('[') ? ParseAttributes() : Attributes{};
                const Token& what = Peek();
                if (what.IsWord("interface")) {
                    ParseInterface(std::move(attributes), false, m_file.items);
                } else if (what.IsWord("library")) {
                    ParseLibrary(std::move(attributes));
                } else if (what.IsWord("coclass")) {
                    throw SyntaxError(what.position, "a coclass belongs inside the library block");
                } else {
                    Unsupported(what, "interface, library, import or cpp_quote");
                }
            }
        }
        return std::move(m_file);
    }

private:
    const Token& Peek()
    {
        if (!m_peeked) {
            m_next = m_lexer.Next();
            m_peeked = true;
        }
        return m_next;
    }

    Token Take()
    {
        Peek();
        m_peeked = false;
        return m_next;
    }

    [[noreturn]] void Unsupported(const Token& t, const std::string& expected)
    {
        static const std::set<std::string> known = {"dispinterface", "typedef", "struct", "enum", "union",
                                                    "module", "const", "midl_pragma", "enum"};
        if (t.kind == TokenKind::Identifier && known.count(t.text))
            throw SyntaxError(t.position, "'" + t.text + "' is not supported by this compiler");
        throw SyntaxError(t.position, "expected " + expected + ", found " + Quote(t));
    }

    Token Expect(char punct)
    {
        const Token& t = Peek();
        if (!t.Is(punct))
            throw SyntaxError(t.position, std::string("expected '") + punct + "', found " + Quote(t));
        return Take();
    }

    Token ExpectWord(const char* word)
    {
        const Token& t = Peek();
        if (!t.IsWord(word))
            throw SyntaxError(t.position, std::string("expected '") + word + "', found " + Quote(t));
        return Take();
    }

    Token ExpectName(const char* what)
    {
        const Token& t = Peek();
        if (t.kind != TokenKind::Identifier)
            throw SyntaxError(t.position, std::string("expected ") + what + ", found " + Quote(t));
        return Take();
    }

    Token ExpectString(const char* what)
    {
        const Token& t = Peek();
        if (t.kind != TokenKind::String)
            throw SyntaxError(t.position, std::string("expected ") + what + " in double quotes, found " + Quote(t));
        return Take();
    }

    void OptionalSemicolon()
    {
        if (Peek().Is(';'))
            Take();
    }

    void ParseImport()
    {
        Take();
        do {
            Token file = ExpectString("a file name");
            m_file.items.push_back({Item::Kind::Import, 0, file.text, file.position});
        } while (Peek().Is(',') && (Take(), true));
        Expect(';');
    }

    void ParseCppQuote(std::vector<Item>& into)
    {
        Token word = Take();
        Expect('(');
        Token text = ExpectString("the text to quote");
        Expect(')');
        OptionalSemicolon();
        into.push_back({Item::Kind::CppQuote, 0, text.text, word.position});
    }

    Attributes ParseAttributes()
    {
        Attributes attributes;
        Expect('[');
        do {
            Token name = ExpectName("an attribute");
            Attribute a;
            a.name = name.text;
            a.position = name.position;
            if (Peek().Is('(')) {
                Take();
                if (a.name == "uuid") {
                    Token v = m_lexer.NextUuid();
                    a.kind = Attribute::Value::Uuid;
                    a.value = v.text;
                    a.valuePosition = v.position;
                } else {
                    Token v = Take();
                    a.valuePosition = v.position;
                    if (v.Is('-')) {
                        Token n = Take();
                        if (n.kind != TokenKind::Number)
                            throw SyntaxError(n.position, "expected a number after '-'");
                        a.kind = Attribute::Value::Number;
                        a.value = "-" + n.text;
                    } else if (v.kind == TokenKind::Number) {
                        a.kind = Attribute::Value::Number;
                        a.value = v.text;
                    } else if (v.kind == TokenKind::String) {
                        a.kind = Attribute::Value::String;
                        a.value = v.text;
                    } else if (v.kind == TokenKind::Identifier) {
                        a.kind = Attribute::Value::Identifier;
                        a.value = v.text;
                    } else {
                        throw SyntaxError(v.position, "expected the value of '" + a.name + "', found " + Quote(v));
                    }
                }
                Expect(')');
            }
            attributes.push_back(std::move(a));
        } while (Peek().Is(',') && (Take(), true));
        Expect(']');
        return attributes;
    }

    TypeSpec ParseType()
    {
        TypeSpec type;
        Token first = Peek();
        type.position = first.position;
        if (first.kind != TokenKind::Identifier)
            throw SyntaxError(first.position, "expected a type, found " + Quote(first));
        if (first.text == "const" || first.text == "struct" || first.text == "enum" || first.text == "union")
            throw SyntaxError(first.position, "'" + first.text + "' is not supported by this compiler");
        Take();
        type.base = first.text;
        if (first.text == "unsigned" || first.text == "signed") {
            Token second = Peek();
            if (!(second.kind == TokenKind::Identifier && kIntegerWords.count(second.text)))
                throw SyntaxError(second.position,
                                  "expected char, short, long, int, hyper or __int64 after '" + first.text + "'");
            Take();
            type.base += " " + second.text;
        }
        while (Peek().Is('*')) {
            Take();
            ++type.pointers;
        }
        return type;
    }

    ParamDecl ParseParam()
    {
        ParamDecl p;
        if (Peek().Is('['))
            p.attributes = ParseAttributes();
        p.type = ParseType();
        Token name = ExpectName("a parameter name");
        p.name = name.text;
        p.position = name.position;
        return p;
    }

    MethodDecl ParseMethod()
    {
        MethodDecl m;
        if (Peek().Is('['))
            m.attributes = ParseAttributes();
        m.result = ParseType();
        if (Peek().kind == TokenKind::Identifier && kCallConvs.count(Peek().text))
            m.callconv = Take().text;
        Token name = ExpectName("a method name");
        m.name = name.text;
        m.position = name.position;
        Expect('(');
        if (Peek().IsWord("void")) {
            // "(void)" is no parameters; "(void* p, ...)" is a parameter.
            Token v = Take();
            if (Peek().Is(')')) {
                Take();
                Expect(';');
                return m;
            }
            TypeSpec type{v.text, 0, v.position};
            while (Peek().Is('*')) {
                Take();
                ++type.pointers;
            }
            ParamDecl p;
            p.type = type;
            Token pname = ExpectName("a parameter name");
            p.name = pname.text;
            p.position = pname.position;
            m.params.push_back(std::move(p));
            if (Peek().Is(','))
                Take();
            else {
                Expect(')');
                Expect(';');
                return m;
            }
        }
        if (!Peek().Is(')')) {
            while (true) {
                m.params.push_back(ParseParam());
                if (Peek().Is(',')) {
                    Take();
                    continue;
                }
                break;
            }
        }
        Expect(')');
        Expect(';');
        return m;
    }

    void ParseInterface(Attributes attributes, bool inLibrary, std::vector<Item>& into)
    {
        Take(); // interface
        InterfaceDecl d;
        d.attributes = std::move(attributes);
        d.inLibrary = inLibrary;
        Token name = ExpectName("an interface name");
        d.name = name.text;
        d.position = name.position;
        if (Peek().Is(';')) {
            Take();
            if (!d.attributes.empty())
                throw SyntaxError(d.attributes.front().position,
                                  "a forward declaration of an interface takes no attributes");
        } else {
            if (Peek().Is(':')) {
                Take();
                Token base = ExpectName("a base interface");
                d.base = base.text;
                d.basePosition = base.position;
            }
            Expect('{');
            d.defined = true;
            while (!Peek().Is('}')) {
                if (Peek().kind == TokenKind::End)
                    throw SyntaxError(Peek().position, "the interface " + d.name + " is not closed");
                d.methods.push_back(ParseMethod());
            }
            Take();
            OptionalSemicolon();
        }
        m_file.interfaces.push_back(std::move(d));
        Item item{Item::Kind::Interface, m_file.interfaces.size() - 1, {}, name.position};
        into.push_back(item);
        if (inLibrary)
            m_file.libraryItems.push_back(item);
    }

    void ParseCoclass(Attributes attributes)
    {
        Take(); // coclass
        CoclassDecl c;
        c.attributes = std::move(attributes);
        Token name = ExpectName("a class name");
        c.name = name.text;
        c.position = name.position;
        Expect('{');
        while (!Peek().Is('}')) {
            CoclassMember member;
            if (Peek().Is('['))
                member.attributes = ParseAttributes();
            const Token& kind = Peek();
            if (!kind.IsWord("interface"))
                Unsupported(kind, "'interface'");
            Take();
            Token iface = ExpectName("an interface name");
            member.name = iface.text;
            member.position = iface.position;
            Expect(';');
            c.members.push_back(std::move(member));
        }
        Take();
        OptionalSemicolon();
        m_file.coclasses.push_back(std::move(c));
        Item item{Item::Kind::Coclass, m_file.coclasses.size() - 1, {}, name.position};
        m_file.items.push_back(item);
        m_file.libraryItems.push_back(item);
    }

    void ParseLibrary(Attributes attributes)
    {
        Token word = Take();
        if (m_file.library)
            throw SyntaxError(word.position, "a file holds one library; the first is at line " +
                                                 std::to_string(m_file.library->position.line));
        LibraryDecl lib;
        lib.attributes = std::move(attributes);
        Token name = ExpectName("a library name");
        lib.name = name.text;
        lib.position = name.position;
        m_file.library = lib;
        m_file.items.push_back({Item::Kind::Library, 0, {}, name.position});
        Expect('{');
        while (!Peek().Is('}')) {
            const Token& t = Peek();
            if (t.kind == TokenKind::End)
                throw SyntaxError(t.position, "the library " + lib.name + " is not closed");
            if (t.Is(';')) {
                Take();
            } else if (t.IsWord("importlib")) {
                Take();
                Expect('(');
                Token file = ExpectString("a type library file name");
                Expect(')');
                Expect(';');
                m_file.library->imports.push_back({file.text, file.position});
            } else if (t.IsWord("cpp_quote")) {
                ParseCppQuote(m_file.items);
            } else {
                Attributes a = Peek().Is('[') ? ParseAttributes() : Attributes{};
                const Token& what = Peek();
                if (what.IsWord("interface"))
                    ParseInterface(std::move(a), true, m_file.items);
                else if (what.IsWord("coclass"))
                    ParseCoclass(std::move(a));
                else
                    Unsupported(what, "interface, coclass, importlib or cpp_quote");
            }
        }
        Take();
        OptionalSemicolon();
    }

    Lexer m_lexer;
    Token m_next;
    bool m_peeked = false;
    IdlFile m_file;
};

} // namespace

IdlFile Parse(const std::string& source) { return Parser(source).Run(); }

} // namespace tonwell::midl
