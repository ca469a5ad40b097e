#include "module/elf_section.h"

#include <elf.h>

#include <cstring>

namespace tonwell::platform::module {

bool MemorySource::Read(uint64_t offset, size_t size, void* out) const
{
    if (offset > m_size || size > m_size - offset)
        return false;
    if (size)
        std::memcpy(out, m_data + offset, size);
    return true;
}

namespace {

// Fields of one header, decoded in the file's byte order.
class Fields {
public:
    Fields(const uint8_t* data, bool bigEndian) : m_data(data), m_big(bigEndian) {}

    uint64_t U16(size_t at) const { return Get(at, 2); }
    uint64_t U32(size_t at) const { return Get(at, 4); }
    uint64_t U64(size_t at) const { return Get(at, 8); }
    // A word of the file's class: 4 bytes in ELF32, 8 in ELF64.
    uint64_t Word(size_t at, bool is64) const { return Get(at, is64 ? 8 : 4); }

private:
    uint64_t Get(size_t at, size_t n) const
    {
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) {
            uint64_t byte = m_data[at + i];
            v |= m_big ? byte << (8 * (n - 1 - i)) : byte << (8 * i);
        }
        return v;
    }

    const uint8_t* m_data;
    bool m_big;
};

struct Section {
    uint64_t name = 0;
    uint64_t type = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
    uint64_t link = 0;
};

// The layout of the two classes: header and section header sizes, and where
// the fields we use sit.
struct Layout {
    bool is64;
    size_t headerSize, shoff, shentsize, shnum, shstrndx;
    size_t sectionSize, shName, shType, shOffset, shSize, shLink;
};

constexpr Layout kElf32{false, 52, 32, 46, 48, 50, 40, 0, 4, 16, 20, 24};
constexpr Layout kElf64{true, 64, 40, 58, 60, 62, 64, 0, 4, 24, 32, 40};

Section DecodeSection(const uint8_t* at, const Layout& layout, bool big)
{
    Fields f(at, big);
    Section s;
    s.name = f.U32(layout.shName);
    s.type = f.U32(layout.shType);
    s.offset = f.Word(layout.shOffset, layout.is64);
    s.size = f.Word(layout.shSize, layout.is64);
    s.link = f.U32(layout.shLink);
    return s;
}

// True when [offset, offset + size) lies inside the source.
bool Inside(const ByteSource& source, uint64_t offset, uint64_t size)
{
    return offset <= source.Size() && size <= source.Size() - offset;
}

} // namespace

SectionStatus ReadElfSection(const ByteSource& source, std::string_view name, std::vector<uint8_t>& bytes)
{
    bytes.clear();
    uint8_t header[64] = {};
    if (source.Size() < EI_NIDENT || !source.Read(0, EI_NIDENT, header))
        return SectionStatus::NotModule;
    if (std::memcmp(header, ELFMAG, SELFMAG) != 0 || header[EI_VERSION] != EV_CURRENT)
        return SectionStatus::NotModule;
    if (header[EI_CLASS] != ELFCLASS32 && header[EI_CLASS] != ELFCLASS64)
        return SectionStatus::NotModule;
    if (header[EI_DATA] != ELFDATA2LSB && header[EI_DATA] != ELFDATA2MSB)
        return SectionStatus::NotModule;
    const Layout& layout = header[EI_CLASS] == ELFCLASS64 ? kElf64 : kElf32;
    const bool big = header[EI_DATA] == ELFDATA2MSB;
    if (!Inside(source, 0, layout.headerSize))
        return SectionStatus::NotModule;
    if (!source.Read(0, layout.headerSize, header))
        return SectionStatus::ReadError;

    Fields ehdr(header, big);
    const uint64_t type = ehdr.U16(16);
    if (type != ET_DYN && type != ET_EXEC)
        return SectionStatus::NotModule;
    const uint64_t shoff = ehdr.Word(layout.shoff, layout.is64);
    const uint64_t shentsize = ehdr.U16(layout.shentsize);
    uint64_t shnum = ehdr.U16(layout.shnum);
    uint64_t shstrndx = ehdr.U16(layout.shstrndx);
    if (shoff == 0)
        return SectionStatus::NoSection; // stripped of its section table: nothing to find
    if (shentsize < layout.sectionSize || !Inside(source, shoff, shentsize))
        return SectionStatus::NotModule;

    // Section 0 carries the real count and string-table index when they do not fit the header.
    uint8_t entry[64];
    if (!source.Read(shoff, layout.sectionSize, entry))
        return SectionStatus::ReadError;
    const Section first = DecodeSection(entry, layout, big);
    if (shnum == 0)
        shnum = first.size;
    if (shstrndx == SHN_XINDEX)
        shstrndx = first.link;
    if (shnum == 0 || shstrndx == SHN_UNDEF)
        return SectionStatus::NoSection;
    if (shnum > (source.Size() - shoff) / shentsize || shnum * shentsize > kMaxSectionTableBytes ||
        shstrndx >= shnum)
        return SectionStatus::NotModule;

    std::vector<uint8_t> table(shnum * shentsize);
    if (!source.Read(shoff, table.size(), table.data()))
        return SectionStatus::ReadError;
    auto sectionAt = [&](uint64_t index) { return DecodeSection(table.data() + index * shentsize, layout, big); };

    const Section strings = sectionAt(shstrndx);
    if (strings.type == SHT_NOBITS || strings.size > kMaxSectionTableBytes ||
        !Inside(source, strings.offset, strings.size))
        return SectionStatus::NotModule;
    std::vector<uint8_t> names(strings.size);
    if (!source.Read(strings.offset, names.size(), names.data()))
        return SectionStatus::ReadError;

    for (uint64_t i = 1; i < shnum; ++i) {
        const Section s = sectionAt(i);
        // The name must be whole, and terminated, inside the string table.
        if (s.name >= names.size() || names.size() - s.name <= name.size())
            continue;
        const char* text = reinterpret_cast<const char*>(names.data() + s.name);
        if (std::memcmp(text, name.data(), name.size()) != 0 || text[name.size()] != '\0')
            continue;
        if (s.type == SHT_NOBITS)
            return SectionStatus::Found; // present but empty: the caller judges its (lack of) contents
        if (s.size > kMaxSectionBytes || !Inside(source, s.offset, s.size))
            return SectionStatus::NotModule;
        bytes.resize(s.size);
        if (!source.Read(s.offset, bytes.size(), bytes.data())) {
            bytes.clear();
            return SectionStatus::ReadError;
        }
        return SectionStatus::Found;
    }
    return SectionStatus::NoSection;
}

} // namespace tonwell::platform::module
