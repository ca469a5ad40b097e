// The platform's one UTF-8/UTF-16 codec and its one case folding. Every
// service of the platform converts and compares text through these; tools and
// modules reach the same code through the exported conversion functions
// (MultiByteToWideChar, WideCharToMultiByte, CharUpperW, lstrcmpiW).
//
// Pure functions on the caller's data: safe from any thread. The whole-string
// forms allocate and may throw std::bad_alloc; exported functions catch it at
// their boundary (platform/src/boundary.h).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tonwell::platform::text {

constexpr char32_t kReplacement = 0xFFFD;

// What a conversion does with text that is not well-formed.
enum class Invalid {
    Replace, // each ill-formed part becomes one U+FFFD, as the platform's conversions do by default
    Refuse,  // the conversion fails (ERROR_NO_UNICODE_TRANSLATION for the caller)
    Keep,    // generalised UTF-8 ("WTF-8"): a lone surrogate travels as its three-byte form, so every
             // UTF-16 string survives the round trip exactly; other ill-formed bytes become U+FFFD
};

// Decodes the sequence at s[0..n) (n > 0). A well-formed sequence sets cp and
// returns its length. An ill-formed one returns the length of its maximal
// valid prefix (at least 1), which stands for one U+FFFD, and sets ok false.
// With `surrogates` the three-byte forms of U+D800..U+DFFF are accepted.
size_t DecodeUtf8(const unsigned char* s, size_t n, char32_t& cp, bool& ok, bool surrogates = false);

// Decodes the code unit(s) at s[0..n) (n > 0). An unpaired surrogate gives
// U+FFFD and sets ok false.
size_t DecodeUtf16(const char16_t* s, size_t n, char32_t& cp, bool& ok);

// Writes cp (any value up to U+10FFFF, surrogates included); returns the units written.
size_t EncodeUtf8(char32_t cp, char* out);
size_t EncodeUtf16(char32_t cp, char16_t* out);
inline size_t Utf8Length(char32_t cp) { return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4; }
inline size_t Utf16Length(char32_t cp) { return cp < 0x10000 ? 1 : 2; }

// The same, chosen by the unit type: UTF-8 for char, UTF-16 for char16_t.
inline size_t Decode(const char* s, size_t n, char32_t& cp, bool& ok)
{
    return DecodeUtf8(reinterpret_cast<const unsigned char*>(s), n, cp, ok);
}
inline size_t Decode(const char16_t* s, size_t n, char32_t& cp, bool& ok) { return DecodeUtf16(s, n, cp, ok); }
inline size_t Encode(char32_t cp, char* out) { return EncodeUtf8(cp, out); }
inline size_t Encode(char32_t cp, char16_t* out) { return EncodeUtf16(cp, out); }

// Whole-string conversions. They return false only under Invalid::Refuse,
// when the input is not well-formed; `out` is then unspecified.
bool Utf8ToUtf16(std::string_view in, std::u16string& out, Invalid mode);
bool Utf16ToUtf8(std::u16string_view in, std::string& out, Invalid mode);

// Shorthands for Invalid::Replace.
std::u16string Utf8ToUtf16(std::string_view in);
std::string Utf16ToUtf8(std::u16string_view in);

// The length of s[0..n) with an incomplete UTF-8 sequence at its end dropped.
size_t Utf8CompletePrefix(const char* s, size_t n);

// Simple one-to-one case mappings of the common alphabets: ASCII, Latin-1,
// Latin Extended-A and -B, Greek, Cyrillic, Armenian, Latin Extended
// Additional and the full-width forms. Other characters map to themselves.
char32_t ToUpper(char32_t c);
char32_t ToLower(char32_t c);

// The folding by which names compare without regard to case: upper-casing,
// unit by unit, so that the folded string has the length of the original.
// Surrogates fold to themselves.
char16_t FoldUnit(char16_t c);
std::u16string Fold(std::u16string_view s);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
// The same for narrow text (file names, keywords): ASCII letters compare
// without regard to case, every other byte must match.
bool EqualNoCaseAscii(std::string_view a, std::string_view b);

// Changes whenever the folding above changes, so that stored folded names
// can be recomputed (see the registry's store).
constexpr int kFoldingVersion = 1;

} // namespace tonwell::platform::text
