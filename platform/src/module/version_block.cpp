#include "module/version_block.h"

#include <winnls.h>
#include <winver.h>

#include <string>

namespace tonwell::platform::module {

namespace {

constexpr size_t kHeaderSize = 6;
constexpr size_t kFixedInfoSize = 52; // VS_FIXEDFILEINFO, thirteen DWORDs
static_assert(sizeof(VS_FIXEDFILEINFO) == kFixedInfoSize);

size_t Align4(size_t at) { return (at + 3) & ~size_t(3); }

uint16_t U16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

struct Node {
    size_t start = 0;
    size_t end = 0;    // start + total length
    size_t keyEnd = 0; // the key's terminating NUL
    size_t value = 0;
    size_t valueBytes = 0;
    uint16_t valueLength = 0;
    bool text = false;
    size_t children = 0;
};

// The block at `start`, which must lie inside [start, limit).
bool ParseNode(const uint8_t* base, size_t limit, size_t start, Node& node)
{
    if (start > limit || limit - start < kHeaderSize + 2)
        return false;
    const size_t length = U16(base + start);
    if (length < kHeaderSize + 2 || length > limit - start)
        return false;
    node.start = start;
    node.end = start + length;
    node.valueLength = U16(base + start + 2);
    const uint16_t type = U16(base + start + 4);
    if (type > 1)
        return false;
    node.text = type == 1;

    size_t at = start + kHeaderSize;
    while (at + 2 <= node.end && U16(base + at) != 0)
        at += 2;
    if (at + 2 > node.end)
        return false; // the key runs past its block
    node.keyEnd = at;
    node.value = Align4(at + 2);
    node.valueBytes = node.text ? 2 * size_t(node.valueLength) : node.valueLength;
    if (node.valueBytes && (node.value > node.end || node.valueBytes > node.end - node.value))
        return false;
    node.children = node.valueBytes ? Align4(node.value + node.valueBytes) : node.value;
    return true;
}

bool KeyIs(const uint8_t* base, const Node& node, std::u16string_view key)
{
    const size_t units = (node.keyEnd - node.start - kHeaderSize) / 2;
    std::u16string have(units, u'\0');
    for (size_t i = 0; i < units; ++i)
        have[i] = char16_t(U16(base + node.start + kHeaderSize + 2 * i));
    std::u16string want(key);
    return lstrcmpiW(have.c_str(), want.c_str()) == 0;
}

// Finds the child of `parent` with that key; every child passed must be sound.
VersionQuery FindChild(const uint8_t* base, const Node& parent, std::u16string_view key, Node& child)
{
    size_t at = parent.children;
    while (at < parent.end) {
        if (!ParseNode(base, parent.end, at, child))
            return VersionQuery::Malformed;
        if (KeyIs(base, child, key))
            return VersionQuery::Found;
        at = Align4(child.end);
    }
    return VersionQuery::NotFound;
}

bool RootIsSound(const uint8_t* block, size_t available, Node& root)
{
    return ParseNode(block, available, 0, root) && KeyIs(block, root, u"VS_VERSION_INFO");
}

} // namespace

size_t VersionBlockLength(const uint8_t* block, size_t available)
{
    Node root;
    return block && RootIsSound(block, available, root) ? root.end : 0;
}

VersionQuery QueryVersionBlock(const uint8_t* block, size_t available, std::u16string_view path,
                               VersionValue& value)
{
    value = {};
    Node node;
    if (!block || !RootIsSound(block, available, node))
        return VersionQuery::Malformed;
    bool atRoot = true;
    while (!path.empty()) {
        size_t sep = path.find(u'\\');
        std::u16string_view component = path.substr(0, sep);
        path = sep == std::u16string_view::npos ? std::u16string_view() : path.substr(sep + 1);
        if (component.empty())
            continue;
        if (component.find(u'\0') != std::u16string_view::npos)
            return VersionQuery::NotFound;
        Node child;
        VersionQuery found = FindChild(block, node, component, child);
        if (found != VersionQuery::Found)
            return found;
        node = child;
        atRoot = false;
    }

    if (atRoot) {
        // The fixed-file-info record: whole, binary and signed, or nothing a caller may read as one.
        if (node.valueLength == 0)
            return VersionQuery::NotFound;
        if (node.text || node.valueBytes < kFixedInfoSize)
            return VersionQuery::Malformed;
        const uint8_t* p = block + node.value;
        uint32_t signature = uint32_t(U16(p)) | uint32_t(U16(p + 2)) << 16;
        if (signature != VS_FFI_SIGNATURE)
            return VersionQuery::Malformed;
    }
    value.text = node.text;
    value.length = node.valueLength;
    if (node.valueLength == 0) {
        value.data = block + node.keyEnd; // the key's terminator: an empty string in bounds
        return VersionQuery::Found;
    }
    if (node.text) {
        // Callers read text up to its terminator, so there must be one inside the block.
        size_t at = node.value;
        while (at + 2 <= node.end && U16(block + at) != 0)
            at += 2;
        if (at + 2 > node.end)
            return VersionQuery::Malformed;
    }
    value.data = block + node.value;
    return VersionQuery::Found;
}

} // namespace tonwell::platform::module
