// Small ELF files made in memory: a header, a section table placed before
// the data (so that cutting the file short cuts the data first), the section
// names and one named section. Any class, byte order and machine, so the
// reader is tested on modules of machines this one is not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tonwell::test {

struct ElfSpec {
    bool is64 = true;
    bool bigEndian = false;
    uint16_t machine = 62; // EM_X86_64
    uint16_t type = 3;     // ET_DYN
    std::string sectionName = ".tonwell_rsrc";
    std::vector<uint8_t> section;
};

struct ElfImage {
    std::vector<uint8_t> bytes;
    size_t headerSize = 0;        // the ELF header
    size_t sectionTable = 0;      // offset of the section table
    size_t sectionTableSize = 0;
    size_t sectionOffset = 0;     // offset of the named section's contents
    size_t sectionSizeField = 0;  // offset of its sh_size field
};

ElfImage BuildElf(const ElfSpec& spec);

// Rewrites the named section's sh_size in the image's byte order.
void SetSectionSize(ElfImage& image, const ElfSpec& spec, uint64_t size);

std::vector<uint8_t> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);

} // namespace tonwell::test
