// Walking a version resource (VS_VERSIONINFO). Each block is: u16 total
// length, u16 value length (bytes for a binary value, UTF-16 units for text),
// u16 type (0 binary, 1 text), a NUL-terminated UTF-16 key, padding to a
// 32-bit boundary, the value, padding, then child blocks, each starting on a
// 32-bit boundary. Boundaries count from the start of the root block.
//
// Nothing in the block is trusted: every length is checked against its
// parent's (the root's against the bytes available), keys and text values
// must be terminated inside their block, and "\" answers only a complete
// fixed-file-info record with its signature. Only the blocks on the path are
// walked, and every sibling passed on the way is checked.
//
// Pure: safe from any thread and a fuzzing entry point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tonwell::platform::module {

enum class VersionQuery { Found, NotFound, Malformed };

struct VersionValue {
    const uint8_t* data = nullptr; // never null when found: an empty value is an empty string
    uint32_t length = 0;           // as stored: bytes, or UTF-16 units for text
    bool text = false;
};

// Root block at block[0..available). Path components are separated by '\';
// "\" (or "") is the root's fixed-file-info record. Keys compare without
// regard to case.
VersionQuery QueryVersionBlock(const uint8_t* block, size_t available, std::u16string_view path,
                               VersionValue& value);

// The root's own length when block[0..available) starts with a sound
// "VS_VERSION_INFO" block header, else 0.
size_t VersionBlockLength(const uint8_t* block, size_t available);

} // namespace tonwell::platform::module
