// UTF-8 and UTF-16 coding shared by the text and module services.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tonwell::platform::text {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes the sequence at s[0..n) (n > 0). A well-formed sequence sets cp and
// returns its length. An ill-formed one returns the length of its maximal
// valid prefix (at least 1), which is replaced by one U+FFFD, and sets ok false.
size_t DecodeUtf8(const unsigned char* s, size_t n, char32_t& cp, bool& ok);

// Decodes the code unit(s) at s[0..n) (n > 0). An unpaired surrogate sets ok false.
size_t DecodeUtf16(const char16_t* s, size_t n, char32_t& cp, bool& ok);

// Appends cp; returns the number of units it takes.
size_t EncodeUtf8(char32_t cp, char* out);
size_t EncodeUtf16(char32_t cp, char16_t* out);
inline size_t Utf8Length(char32_t cp) { return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4; }
inline size_t Utf16Length(char32_t cp) { return cp < 0x10000 ? 1 : 2; }

// Whole-string conversions; ill-formed input becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view s);
std::string Utf16ToUtf8(std::u16string_view s);

// Simple one-to-one case mappings of the common alphabets.
char32_t ToUpper(char32_t c);
char32_t ToLower(char32_t c);

} // namespace tonwell::platform::text
