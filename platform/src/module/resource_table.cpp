#include "module/resource_table.h"

#include <winnls.h>

#include <utility>

namespace tonwell::platform::module {

namespace {

uint32_t U16(const std::vector<uint8_t>& b, size_t at) { return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8; }

uint32_t U32(const std::vector<uint8_t>& b, size_t at) { return U16(b, at) | U16(b, at + 2) << 16; }

// A type or name word of an entry: a number 1..65535, or a string in bounds.
bool DecodeKey(const std::vector<uint8_t>& blob, uint32_t size, uint32_t word, ResourceKey& key)
{
    if (!(word & kResourceStringFlag)) {
        if (word == 0 || word > 0xFFFF)
            return false;
        key = ResourceKey::Number(WORD(word));
        return true;
    }
    uint64_t at = word & ~kResourceStringFlag;
    if (at + 2 > size)
        return false;
    uint32_t length = U16(blob, size_t(at));
    if (length == 0 || at + 2 + 2 * uint64_t(length) > size)
        return false;
    key.isNumber = false;
    key.number = 0;
    key.text.resize(length);
    for (uint32_t i = 0; i < length; ++i) {
        char16_t unit = char16_t(U16(blob, size_t(at + 2 + 2 * i)));
        if (unit == 0)
            return false; // names are compared as terminated strings
        key.text[i] = unit;
    }
    return true;
}

bool Matches(const ResourceKey& asked, const ResourceKey& have)
{
    if (asked.isNumber || have.isNumber)
        return asked.isNumber == have.isNumber && asked.number == have.number;
    return lstrcmpiW(asked.text.c_str(), have.text.c_str()) == 0;
}

constexpr WORD kPrimaryMask = 0x3FF;
constexpr WORD kUsEnglish = MAKELANGID(0x09, SUBLANG_DEFAULT);

} // namespace

ResourceKey ResourceKey::FromText(std::u16string text)
{
    if (text.size() >= 2 && text.size() <= 6 && text[0] == u'#') {
        uint32_t value = 0;
        bool digits = true;
        for (size_t i = 1; i < text.size() && digits; ++i) {
            digits = text[i] >= u'0' && text[i] <= u'9';
            value = value * 10 + uint32_t(text[i] - u'0');
        }
        if (digits && value <= 0xFFFF)
            return Number(WORD(value));
    }
    ResourceKey key;
    key.text = std::move(text);
    return key;
}

bool ResourceTable::Parse(std::vector<uint8_t> blob)
{
    m_blob.clear();
    m_entries.clear();
    if (blob.size() < kResourceHeaderSize)
        return false;
    if (U32(blob, 0) != kResourceMagic || U16(blob, 4) != kResourceVersion || U16(blob, 6) != 0)
        return false;
    const uint32_t size = U32(blob, 8);
    const uint32_t count = U32(blob, 12);
    if (size < kResourceHeaderSize || size > blob.size())
        return false;
    if (count > (size - kResourceHeaderSize) / kResourceEntrySize)
        return false;

    std::vector<ResourceEntry> entries(count);
    for (uint32_t i = 0; i < count; ++i) {
        const size_t at = kResourceHeaderSize + size_t(i) * kResourceEntrySize;
        ResourceEntry& e = entries[i];
        if (!DecodeKey(blob, size, U32(blob, at), e.type) || !DecodeKey(blob, size, U32(blob, at + 4), e.name))
            return false;
        e.language = WORD(U16(blob, at + 8));
        if (U16(blob, at + 10) != 0)
            return false;
        e.offset = U32(blob, at + 12);
        e.size = U32(blob, at + 16);
        if (e.offset % kResourceDataAlignment != 0 || e.offset > size || e.size > size - e.offset)
            return false;
    }
    blob.resize(size);
    m_blob = std::move(blob);
    m_entries = std::move(entries);
    return true;
}

ResourceTable::Result ResourceTable::Find(const ResourceKey& type, const ResourceKey& name, WORD language,
                                          const ResourceEntry** found) const
{
    *found = nullptr;
    bool typeSeen = false;
    std::vector<const ResourceEntry*> named;
    for (const ResourceEntry& e : m_entries) {
        if (!Matches(type, e.type))
            continue;
        typeSeen = true;
        if (Matches(name, e.name))
            named.push_back(&e);
    }
    if (!typeSeen)
        return Result::TypeNotFound;
    if (named.empty())
        return Result::NameNotFound;

    const bool neutral = (language & kPrimaryMask) == LANG_NEUTRAL;
    const WORD preferred[] = {language, WORD(language & kPrimaryMask), MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
                              kUsEnglish};
    const size_t tries = neutral ? 4 : 3;
    for (size_t i = 0; i < tries; ++i)
        for (const ResourceEntry* e : named)
            if (e->language == preferred[i]) {
                *found = e;
                return Result::Found;
            }
    if (!neutral)
        return Result::LanguageNotFound;
    *found = named.front();
    return Result::Found;
}

} // namespace tonwell::platform::module
