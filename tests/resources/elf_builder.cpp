#include "elf_builder.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tonwell::test {

namespace {

struct Out {
    std::vector<uint8_t>& bytes;
    bool big;
    void Put(size_t at, uint64_t v, size_t n)
    {
        if (bytes.size() < at + n)
            bytes.resize(at + n);
        for (size_t i = 0; i < n; ++i)
            bytes[at + i] = uint8_t(v >> (8 * (big ? n - 1 - i : i)));
    }
};

size_t Align8(size_t n) { return (n + 7) & ~size_t(7); }

} // namespace

ElfImage BuildElf(const ElfSpec& spec)
{
    ElfImage image;
    std::vector<uint8_t>& b = image.bytes;
    Out out{b, spec.bigEndian};
    const size_t word = spec.is64 ? 8 : 4;
    const size_t ehsize = spec.is64 ? 64 : 52;
    const size_t shentsize = spec.is64 ? 64 : 40;
    const std::string names = std::string("\0.shstrtab\0", 11) + spec.sectionName + std::string(1, '\0');

    image.headerSize = ehsize;
    image.sectionTable = Align8(ehsize);
    image.sectionTableSize = 3 * shentsize;
    const size_t namesAt = image.sectionTable + image.sectionTableSize;
    image.sectionOffset = Align8(namesAt + names.size());

    b.assign(image.sectionOffset, 0);
    b[0] = 0x7F, b[1] = 'E', b[2] = 'L', b[3] = 'F';
    b[4] = spec.is64 ? 2 : 1;
    b[5] = spec.bigEndian ? 2 : 1;
    b[6] = 1;
    out.Put(16, spec.type, 2);
    out.Put(18, spec.machine, 2);
    out.Put(20, 1, 4);
    const size_t shoffAt = spec.is64 ? 40 : 32;
    out.Put(shoffAt, image.sectionTable, word);
    const size_t tail = spec.is64 ? 52 : 40; // e_ehsize, then the phdr and shdr fields
    out.Put(tail, ehsize, 2);
    out.Put(tail + 4, 0, 2);         // e_phnum
    out.Put(tail + 6, shentsize, 2); // e_shentsize
    out.Put(tail + 8, 3, 2);         // e_shnum
    out.Put(tail + 10, 1, 2);        // e_shstrndx

    auto section = [&](size_t index, uint32_t name, uint32_t type, uint64_t offset, uint64_t size) {
        size_t at = image.sectionTable + index * shentsize;
        out.Put(at, name, 4);
        out.Put(at + 4, type, 4);
        out.Put(at + (spec.is64 ? 24 : 16), offset, word);
        out.Put(at + (spec.is64 ? 32 : 20), size, word);
        return at + (spec.is64 ? 32 : 20);
    };
    section(1, 1, 3 /* SHT_STRTAB */, namesAt, names.size());
    image.sectionSizeField = section(2, 11, 1 /* SHT_PROGBITS */, image.sectionOffset, spec.section.size());
    std::copy(names.begin(), names.end(), b.begin() + ptrdiff_t(namesAt));
    b.insert(b.end(), spec.section.begin(), spec.section.end());
    return image;
}

void SetSectionSize(ElfImage& image, const ElfSpec& spec, uint64_t size)
{
    Out out{image.bytes, spec.bigEndian};
    out.Put(image.sectionSizeField, size, spec.is64 ? 8 : 4);
}

std::vector<uint8_t> ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    // A new file each time: cutting an existing one short makes ext4 flush it to disk on close,
    // which would turn thousands of small writes into thousands of disk writes.
    std::remove(path.c_str());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

} // namespace tonwell::test
