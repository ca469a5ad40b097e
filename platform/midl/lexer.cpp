#include "lexer.h"

#include <cctype>
#include <cstdio>

namespace tonwell::midl {

namespace {

bool IsIdentStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsIdentChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

std::string Describe(char c)
{
    if (static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F)
        return std::string("'") + c + "'";
    char text[16];
    std::snprintf(text, sizeof text, "byte 0x%02X", static_cast<unsigned char>(c));
    return text;
}

} // namespace

void Lexer::Advance(size_t count)
{
    for (size_t i = 0; i < count && m_at < m_source.size(); ++i) {
        char c = m_source[m_at++];
        if (c == '\n') {
            ++m_position.line;
            m_position.column = 1;
        } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            ++m_position.column; // a UTF-8 continuation byte is part of the character before
        }
    }
}

void Lexer::SkipSpaceAndComments()
{
    while (m_at < m_source.size()) {
        char c = Peek();
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
            Advance();
        } else if (c == '/' && Peek(1) == '/') {
            while (m_at < m_source.size() && Peek() != '\n')
                Advance();
        } else if (c == '/' && Peek(1) == '*') {
            Position start = m_position;
            Advance(2);
            while (!(Peek() == '*' && Peek(1) == '/')) {
                if (m_at >= m_source.size())
                    throw SyntaxError(start, "the comment is not closed");
                Advance();
            }
            Advance(2);
        } else {
            return;
        }
    }
}

Token Lexer::Next()
{
    SkipSpaceAndComments();
    if (m_at >= m_source.size())
        return Here(TokenKind::End);
    char c = Peek();
    Token token = Here(TokenKind::Punct);
    if (c == '#')
        throw SyntaxError(m_position, "preprocessor directives are not part of this language");
    if (IsIdentStart(c)) {
        token.kind = TokenKind::Identifier;
        while (IsIdentChar(Peek())) {
            token.text += Peek();
            Advance();
        }
        return token;
    }
    if (IsDigit(c)) {
        token.kind = TokenKind::Number;
        if (c == '0' && (Peek(1) == 'x' || Peek(1) == 'X')) {
            token.text = "0x";
            Advance(2);
            if (!IsHex(Peek()))
                throw SyntaxError(m_position, "a hexadecimal number needs digits after 0x");
            while (IsHex(Peek())) {
                token.text += Peek();
                Advance();
            }
        } else {
            while (IsDigit(Peek())) {
                token.text += Peek();
                Advance();
            }
            if (Peek() == '.' && IsDigit(Peek(1))) {
                token.text += '.';
                Advance();
                while (IsDigit(Peek())) {
                    token.text += Peek();
                    Advance();
                }
            }
        }
        if (IsIdentChar(Peek()))
            throw SyntaxError(m_position, "unexpected " + Describe(Peek()) + " after the number " + token.text);
        return token;
    }
    if (c == '"') {
        token.kind = TokenKind::String;
        Advance();
        while (true) {
            char d = Peek();
            if (m_at >= m_source.size() || d == '\n')
                throw SyntaxError(token.position, "the string is not closed on its line");
            if (d == '"') {
                Advance();
                break;
            }
            if (static_cast<unsigned char>(d) < 0x20 && d != '\t')
                throw SyntaxError(m_position, "control character " + Describe(d) + " in a string");
            if (d == '\\') {
                Position escape = m_position;
                Advance();
                char e = Peek();
                switch (e) {
                case '"': token.text += '"'; break;
                case '\\': token.text += '\\'; break;
                case 'n': token.text += '\n'; break;
                case 't': token.text += '\t'; break;
                case 'r': token.text += '\r'; break;
                default:
                    throw SyntaxError(escape, "unknown escape \\" + std::string(1, e) + " (known: \\\" \\\\ \\n \\t \\r)");
                }
                Advance();
                continue;
            }
            token.text += d;
            Advance();
        }
        return token;
    }
    if (std::string("[](){};,:*=-").find(c) != std::string::npos) {
        token.text = std::string(1, c);
        Advance();
        return token;
    }
    throw SyntaxError(m_position, "unexpected " + Describe(c));
}

Token Lexer::NextUuid()
{
    SkipSpaceAndComments();
    Token token = Here(TokenKind::String);
    if (Peek() == '"')
        return Next();
    while (IsHex(Peek()) || Peek() == '-') {
        token.text += Peek();
        Advance();
    }
    if (token.text.empty())
        throw SyntaxError(m_position, "expected a GUID such as 12345678-9ABC-DEF0-1234-56789ABCDEF0");
    return token;
}

} // namespace tonwell::midl
