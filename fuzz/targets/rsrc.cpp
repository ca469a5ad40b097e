// The module resource reader: the ELF section search, the resource table and the
// version block walk, each a pure function of the bytes. The first byte chooses which
// reader gets the rest, so one corpus feeds all three.
#include "fuzz_target.h"
#include "module/elf_section.h"
#include "module/resource_table.h"
#include "module/version_block.h"

#include <cstdlib>

using namespace tonwell::platform::module;

namespace {

void CheckTable(const std::vector<uint8_t>& blob)
{
    ResourceTable table;
    if (!table.Parse(blob))
        return;
    for (const ResourceEntry& entry : table.Entries()) {
        // A parsed table holds only entries inside the blob.
        if (uint64_t(entry.offset) + entry.size > blob.size())
            std::abort();
        const ResourceEntry* found = nullptr;
        if (table.Find(entry.type, entry.name, entry.language, &found) != ResourceTable::Result::Found || !found)
            std::abort();
        volatile uint8_t sink = entry.size ? table.Data(entry)[entry.size - 1] : 0;
        (void)sink;
    }
}

void CheckVersion(const uint8_t* data, size_t size)
{
    static const char16_t* const paths[] = {u"\\", u"", u"\\VarFileInfo\\Translation",
                                            u"\\StringFileInfo\\040904B0\\FileVersion",
                                            u"\\StringFileInfo\\040904b0\\OLESelfRegister", u"\\\\x\\"};
    const size_t length = VersionBlockLength(data, size);
    if (length > size)
        std::abort();
    for (const char16_t* path : paths) {
        VersionValue value;
        if (QueryVersionBlock(data, size, path, value) == VersionQuery::Found) {
            const size_t bytes = value.text ? size_t(value.length) * 2 : value.length;
            if (!value.data || value.data < data || value.data + bytes > data + size)
                std::abort();
        }
    }
}

} // namespace

TONWELL_FUZZ_TARGET(rsrc)
{
    if (size == 0)
        return 0;
    const uint8_t mode = data[0] % 3;
    ++data;
    --size;
    if (mode == 0) {
        MemorySource source(data, size);
        std::vector<uint8_t> section;
        if (ReadElfSection(source, kResourceSectionName, section) == SectionStatus::Found)
            CheckTable(section);
    } else if (mode == 1) {
        CheckTable(std::vector<uint8_t>(data, data + size));
    } else {
        CheckVersion(data, size);
    }
    return 0;
}
