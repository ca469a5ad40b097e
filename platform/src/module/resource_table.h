// The resources of one module: the blob the packer (platform/respack) puts in
// the module's ".tonwell_rsrc" section, checked whole and indexed. The format
// is in docs/resources.md; in short, little-endian:
//
//   header   u32 magic "TWRS", u16 version 1, u16 0, u32 blob size, u32 entry count
//   entries  count x { u32 type, u32 name, u16 language, u16 0, u32 data offset, u32 data size }
//   strings  u16 length in UTF-16 units, then the units (no terminator)
//   data     each block at an offset that is a multiple of 8
//
// A type or name word with bit 31 set is the offset of a string; otherwise
// it is a number from 1 to 65535. Parse checks every word against the blob's
// length before anything is used and rejects the whole blob when one part is
// wrong, so a table that parsed holds only entries that are in bounds. Bytes
// after the blob's stated size (section padding) are ignored.
//
// Lookups compare strings without regard to case through the platform's one
// case folding (lstrcmpiW). A parsed table is immutable: Find and Data are
// safe from any thread. Parse is pure, which makes it a fuzzing entry point.
#pragma once

#include <windef.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tonwell::platform::module {

inline constexpr char kResourceSectionName[] = ".tonwell_rsrc";

// A type or a name as asked for: a number, or text.
struct ResourceKey {
    bool isNumber = false;
    WORD number = 0;
    std::u16string text;

    static ResourceKey Number(WORD n) { return {true, n, {}}; }
    // "#101" is the number 101; any other text is a name (not empty).
    static ResourceKey FromText(std::u16string text);
};

struct ResourceEntry {
    ResourceKey type;
    ResourceKey name;
    WORD language = 0;
    uint32_t offset = 0;
    uint32_t size = 0;
};

class ResourceTable {
public:
    enum class Result { Found, TypeNotFound, NameNotFound, LanguageNotFound };

    // False (and the table left empty) when the blob is malformed. Throws std::bad_alloc only.
    bool Parse(std::vector<uint8_t> blob);

    // The entry of that type and name in the language asked for, chosen as
    // the resource functions document (libloaderapi.h): the language itself,
    // its primary language with the neutral sublanguage, then language
    // neutral; for a neutral request also US English and at last the first
    // entry in any language.
    Result Find(const ResourceKey& type, const ResourceKey& name, WORD language, const ResourceEntry** found) const;

    const std::vector<ResourceEntry>& Entries() const { return m_entries; }
    // The entry's bytes; valid as long as the table.
    const uint8_t* Data(const ResourceEntry& entry) const { return m_blob.data() + entry.offset; }

private:
    std::vector<uint8_t> m_blob;
    std::vector<ResourceEntry> m_entries;
};

// Blob layout constants shared with the packer's documentation.
inline constexpr uint32_t kResourceMagic = 0x53525754; // "TWRS" read as little-endian
inline constexpr uint16_t kResourceVersion = 1;
inline constexpr uint32_t kResourceHeaderSize = 16;
inline constexpr uint32_t kResourceEntrySize = 20;
inline constexpr uint32_t kResourceStringFlag = 0x80000000u;
inline constexpr uint32_t kResourceDataAlignment = 8;

} // namespace tonwell::platform::module
