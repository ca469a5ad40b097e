// Tokens of the interface definition language, with their positions.
//
// Identifiers are ASCII; numbers are decimal, hexadecimal (0x...) or a version "1.0";
// strings are double-quoted UTF-8 with C escapes (\" \\ \n \t \r \0 is refused). Comments
// are // and /* */. Anything else is an error at its line and column (columns count
// characters, from 1). Preprocessor lines are refused: this language has none.
//
// Threading: one lexer per thread.
#pragma once

#include <stdexcept>
#include <string>

namespace tonwell::midl {

struct Position {
    int line = 1;
    int column = 1;
};

// An error with its position; what() is the message alone.
struct SyntaxError : std::runtime_error {
    SyntaxError(Position at, const std::string& message) : std::runtime_error(message), position(at) {}
    Position position;
};

enum class TokenKind { End, Identifier, Number, String, Punct };

struct Token {
    TokenKind kind = TokenKind::End;
    std::string text; // identifier, number as written, string contents (unescaped), punctuation
    Position position;

    bool Is(char punct) const { return kind == TokenKind::Punct && text.size() == 1 && text[0] == punct; }
    bool IsWord(const char* word) const { return kind == TokenKind::Identifier && text == word; }
};

class Lexer {
public:
    explicit Lexer(std::string source) : m_source(std::move(source)) {}

    Token Next();
    // The text of a GUID written without quotes, as in uuid(...): hex digits and hyphens.
    Token NextUuid();

private:
    void SkipSpaceAndComments();
    char Peek(size_t ahead = 0) const { return m_at + ahead < m_source.size() ? m_source[m_at + ahead] : '\0'; }
    void Advance(size_t count = 1);
    Token Here(TokenKind kind) const { return Token{kind, {}, m_position}; }

    std::string m_source;
    size_t m_at = 0;
    Position m_position;
};

} // namespace tonwell::midl
