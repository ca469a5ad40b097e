// One named section of an ELF file, read without loading the file: the ELF
// header, the section table and the section names are parsed here for either
// class (ELF32, ELF64) and either byte order, so a module built for another
// machine reads as well as one of ours. Nothing in the file is trusted: every
// offset, size and count is checked against the file's length before it is
// used, so a truncated or hostile file gives NotModule, never a read out of
// bounds.
//
// Pure and stateless: safe from any thread; a fuzzer can drive it through
// MemorySource with no file at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tonwell::platform::module {

// Random access to bytes. Read fills `out` with exactly `size` bytes found at
// `offset`, or fails (beyond the end, or an I/O error).
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual uint64_t Size() const = 0;
    virtual bool Read(uint64_t offset, size_t size, void* out) const = 0;
};

class MemorySource final : public ByteSource {
public:
    MemorySource(const void* data, size_t size) : m_data(static_cast<const uint8_t*>(data)), m_size(size) {}
    uint64_t Size() const override { return m_size; }
    bool Read(uint64_t offset, size_t size, void* out) const override;

private:
    const uint8_t* m_data;
    size_t m_size;
};

enum class SectionStatus {
    Found,     // `bytes` holds the section's contents
    NoSection, // a sound module without that section (or without a section table)
    NotModule, // not an ELF module (ET_DYN or ET_EXEC), or its structure is broken or truncated
    ReadError, // the source failed to deliver bytes it claims to have
};

// Limits a real module never comes near; larger claims are treated as broken.
constexpr uint64_t kMaxSectionTableBytes = 16u << 20;
constexpr uint64_t kMaxSectionBytes = 256u << 20;

// Finds the first section named `name`. Throws std::bad_alloc only.
SectionStatus ReadElfSection(const ByteSource& source, std::string_view name, std::vector<uint8_t>& bytes);

} // namespace tonwell::platform::module
