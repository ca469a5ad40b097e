// tonwell_respack: packs a module's resources into the blob the platform reads
// (docs/resources.md) and writes a C source that places the blob in the
// module's resource section. Also compiles a version description into a
// VS_VERSIONINFO block, so that the version resource is one more resource.
//
//   tonwell_respack --blob OUT --source OUT.c [--section NAME]
//                   [--resource TYPE NAME LANG FILE]... [--version NAME LANG SPEC]...
//
// TYPE and NAME: digits or "#digits" are a number (1..65535), anything else a
// name (UTF-8, compared without regard to case by the reader). LANG: a
// number, decimal or 0x-hexadecimal. A build tool: it runs on the build
// machine and writes both outputs whole or not at all.
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::u16string Utf16(const std::string& text, const std::string& what)
{
    if (text.empty())
        return {};
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), nullptr, 0);
    if (n <= 0)
        throw Failure(what + " is not valid UTF-8");
    std::u16string out(size_t(n), u'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), out.data(), n);
    return out;
}

unsigned long Number(const std::string& text, unsigned long max, const std::string& what)
{
    // Decimal, or hexadecimal after "0x"; never octal, so "08" is eight.
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    const char* allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
    errno = 0;
    unsigned long v = 0;
    if (!digits.empty() && digits.size() <= 16 && digits.find_first_not_of(allowed) == std::string::npos)
        v = std::strtoul(digits.c_str(), nullptr, hex ? 16 : 10);
    if (digits.empty() || digits.size() > 16 || digits.find_first_not_of(allowed) != std::string::npos || errno ||
        v > max)
        throw Failure(what + " '" + text + "' is not a number from 0 to " + std::to_string(max));
    return v;
}

struct Id {
    bool isNumber = false;
    uint16_t number = 0;
    std::u16string text;
};

Id ParseId(const std::string& spec, const std::string& what)
{
    std::string digits = !spec.empty() && spec[0] == '#' ? spec.substr(1) : spec;
    bool allDigits = !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos;
    Id id;
    if (allDigits) {
        unsigned long v = Number(digits, 0xFFFF, what);
        if (v == 0)
            throw Failure(what + " '" + spec + "': resource numbers start at 1");
        id.isNumber = true;
        id.number = uint16_t(v);
        return id;
    }
    if (spec.empty() || spec[0] == '#')
        throw Failure(what + " '" + spec + "' is neither a number nor a name");
    id.text = Utf16(spec, what + " '" + spec + "'");
    if (id.text.size() > 0xFFFF)
        throw Failure(what + " is too long");
    return id;
}

bool SameId(const Id& a, const Id& b)
{
    if (a.isNumber || b.isNumber)
        return a.isNumber == b.isNumber && a.number == b.number;
    return lstrcmpiW(a.text.c_str(), b.text.c_str()) == 0;
}

std::string Describe(const Id& id)
{
    if (id.isNumber)
        return std::to_string(id.number);
    char narrow[1024] = {};
    WideCharToMultiByte(CP_UTF8, 0, id.text.c_str(), -1, narrow, sizeof narrow - 1, nullptr, nullptr);
    return std::string("\"") + narrow + "\"";
}

std::vector<uint8_t> ReadInput(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw Failure("cannot read '" + path + "': " + std::strerror(errno));
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        throw Failure("cannot read '" + path + "'");
    return bytes;
}

// Little-endian output.
struct Writer {
    std::vector<uint8_t> bytes;
    void U16(uint32_t v)
    {
        bytes.push_back(uint8_t(v));
        bytes.push_back(uint8_t(v >> 8));
    }
    void U32(uint32_t v)
    {
        U16(v & 0xFFFF);
        U16(v >> 16);
    }
    void Text(const std::u16string& s)
    {
        for (char16_t c : s)
            U16(c);
    }
    void Align(size_t to)
    {
        while (bytes.size() % to)
            bytes.push_back(0);
    }
    void Put16At(size_t at, uint32_t v)
    {
        bytes[at] = uint8_t(v);
        bytes[at + 1] = uint8_t(v >> 8);
    }
};

// ---- The version resource ------------------------------------------------

struct VersionBlock {
    std::u16string key;
    bool text = false;
    std::vector<uint8_t> value;   // as stored
    uint16_t valueLength = 0;     // bytes, or UTF-16 units (terminator included) for text
    std::vector<VersionBlock> children;
};

VersionBlock TextBlock(std::u16string key, const std::u16string& value)
{
    VersionBlock b;
    b.key = std::move(key);
    b.text = true;
    Writer w;
    w.Text(value);
    w.U16(0);
    b.value = std::move(w.bytes);
    b.valueLength = uint16_t(value.size() + 1);
    return b;
}

// A text block that holds only other blocks.
VersionBlock ListBlock(std::u16string key, std::vector<VersionBlock> children)
{
    VersionBlock b;
    b.key = std::move(key);
    b.text = true;
    b.children = std::move(children);
    return b;
}

// Blocks start on 32-bit boundaries counted from the root, which starts at 0.
void EmitBlock(const VersionBlock& b, Writer& w)
{
    w.Align(4);
    const size_t start = w.bytes.size();
    w.U16(0); // the length, known at the end
    w.U16(b.valueLength);
    w.U16(b.text ? 1 : 0);
    w.Text(b.key);
    w.U16(0);
    w.Align(4);
    w.bytes.insert(w.bytes.end(), b.value.begin(), b.value.end());
    for (const VersionBlock& child : b.children)
        EmitBlock(child, w);
    const size_t length = w.bytes.size() - start;
    if (length > 0xFFFF)
        throw Failure("the version resource is larger than 65535 bytes");
    w.Put16At(start, uint32_t(length));
}

uint32_t VersionHalf(const std::vector<unsigned long>& parts, size_t high) { return uint32_t(parts[high] << 16 | parts[high + 1]); }

std::vector<unsigned long> ParseVersion(const std::string& text, const std::string& what)
{
    std::vector<unsigned long> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, '.'))
        parts.push_back(Number(part, 0xFFFF, what));
    if (parts.size() != 4)
        throw Failure(what + " '" + text + "' is not four numbers joined by dots (1.0.0.1)");
    return parts;
}

// The description: one directive a line (docs/resources.md):
//   file_version A.B.C.D | product_version A.B.C.D | file_flags_mask N | file_flags N | file_os N |
//   file_type N | file_subtype N | translation LANG CODEPAGE | string KEY [VALUE] | # comment
std::vector<uint8_t> CompileVersion(const std::string& specPath)
{
    std::ifstream in(specPath);
    if (!in)
        throw Failure("cannot read '" + specPath + "': " + std::strerror(errno));
    std::vector<unsigned long> fileVersion, productVersion;
    uint32_t fixed[5] = {0x3F, 0, 0x00040004, 2, 0}; // flags mask, flags, OS, type, subtype
    const char* const fixedNames[5] = {"file_flags_mask", "file_flags", "file_os", "file_type", "file_subtype"};
    unsigned long language = 0x0409, codePage = 1200;
    std::vector<VersionBlock> strings;

    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::string where = specPath + ":" + std::to_string(number);
        size_t space = line.find(' ');
        std::string directive = line.substr(0, space);
        std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
        if (directive.empty() || directive[0] == '#')
            continue;
        if (directive == "file_version") {
            fileVersion = ParseVersion(rest, where + ": file_version");
        } else if (directive == "product_version") {
            productVersion = ParseVersion(rest, where + ": product_version");
        } else if (directive == "translation") {
            size_t sep = rest.find(' ');
            if (sep == std::string::npos)
                throw Failure(where + ": translation needs a language and a code page");
            language = Number(rest.substr(0, sep), 0xFFFF, where + ": language");
            codePage = Number(rest.substr(sep + 1), 0xFFFF, where + ": code page");
        } else if (directive == "string") {
            size_t sep = rest.find(' ');
            std::string key = rest.substr(0, sep);
            std::string value = sep == std::string::npos ? std::string() : rest.substr(sep + 1);
            if (key.empty())
                throw Failure(where + ": string needs a key");
            std::u16string wideKey = Utf16(key, where + ": key");
            for (const VersionBlock& s : strings)
                if (lstrcmpiW(s.key.c_str(), wideKey.c_str()) == 0)
                    throw Failure(where + ": the string " + key + " is given twice");
            std::u16string wideValue = Utf16(value, where + ": value");
            if (wideValue.size() >= 0x7FFF)
                throw Failure(where + ": the value of " + key + " is too long");
            strings.push_back(TextBlock(wideKey, wideValue));
        } else {
            bool known = false;
            for (int i = 0; i < 5 && !known; ++i)
                if (directive == fixedNames[i]) {
                    fixed[i] = uint32_t(Number(rest, 0xFFFFFFFFul, where + ": " + directive));
                    known = true;
                }
            if (!known)
                throw Failure(where + ": unknown directive '" + directive + "'");
        }
    }
    if (fileVersion.empty())
        throw Failure(specPath + ": file_version is missing");
    if (productVersion.empty())
        productVersion = fileVersion;

    Writer info; // VS_FIXEDFILEINFO
    info.U32(0xFEEF04BD);
    info.U32(0x00010000);
    info.U32(VersionHalf(fileVersion, 0));
    info.U32(VersionHalf(fileVersion, 2));
    info.U32(VersionHalf(productVersion, 0));
    info.U32(VersionHalf(productVersion, 2));
    for (uint32_t v : fixed)
        info.U32(v);
    info.U32(0); // date
    info.U32(0);

    char tableKey[9];
    std::snprintf(tableKey, sizeof tableKey, "%04lX%04lX", language, codePage);
    VersionBlock stringInfo =
        ListBlock(u"StringFileInfo", {ListBlock(Utf16(tableKey, "the string table key"), std::move(strings))});

    VersionBlock translation;
    translation.key = u"Translation";
    Writer pair;
    pair.U16(uint32_t(language));
    pair.U16(uint32_t(codePage));
    translation.value = pair.bytes;
    translation.valueLength = 4;
    VersionBlock varInfo = ListBlock(u"VarFileInfo", {std::move(translation)});

    VersionBlock root;
    root.key = u"VS_VERSION_INFO";
    root.value = info.bytes;
    root.valueLength = uint16_t(info.bytes.size());
    root.children.push_back(std::move(stringInfo));
    root.children.push_back(std::move(varInfo));
    Writer out;
    EmitBlock(root, out);
    return out.bytes;
}

// ---- The blob -----------------------------------------------------------

struct Resource {
    Id type;
    Id name;
    uint16_t language = 0;
    std::vector<uint8_t> data;
};

constexpr uint32_t kStringFlag = 0x80000000u;

std::vector<uint8_t> Pack(const std::vector<Resource>& resources)
{
    for (size_t i = 0; i < resources.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (SameId(resources[i].type, resources[j].type) && SameId(resources[i].name, resources[j].name) &&
                resources[i].language == resources[j].language)
                throw Failure("resource " + Describe(resources[i].type) + " " + Describe(resources[i].name) +
                              " in language " + std::to_string(resources[i].language) + " is given twice");

    Writer w;
    w.U32(0x53525754); // "TWRS"
    w.U16(1);
    w.U16(0);
    w.U32(0); // size, known at the end
    w.U32(uint32_t(resources.size()));
    const size_t entries = w.bytes.size();
    w.bytes.resize(entries + 20 * resources.size());

    // Strings once each, then the data, each block on an 8-byte boundary.
    std::map<std::u16string, uint32_t> stringAt;
    auto ref = [&](const Id& id) -> uint32_t {
        if (id.isNumber)
            return id.number;
        auto [it, fresh] = stringAt.emplace(id.text, uint32_t(w.bytes.size()));
        if (fresh) {
            w.U16(uint32_t(id.text.size()));
            w.Text(id.text);
        }
        return it->second | kStringFlag;
    };
    std::vector<uint32_t> refs;
    for (const Resource& r : resources) {
        refs.push_back(ref(r.type));
        refs.push_back(ref(r.name));
    }
    std::vector<uint32_t> offsets;
    for (const Resource& r : resources) {
        w.Align(8);
        offsets.push_back(uint32_t(w.bytes.size()));
        w.bytes.insert(w.bytes.end(), r.data.begin(), r.data.end());
        if (w.bytes.size() >= kStringFlag)
            throw Failure("the resources come to more than 2 GiB");
    }
    w.Align(8);

    Writer entry;
    for (size_t i = 0; i < resources.size(); ++i) {
        entry.U32(refs[2 * i]);
        entry.U32(refs[2 * i + 1]);
        entry.U16(resources[i].language);
        entry.U16(0);
        entry.U32(offsets[i]);
        entry.U32(uint32_t(resources[i].data.size()));
    }
    std::copy(entry.bytes.begin(), entry.bytes.end(), w.bytes.begin() + ptrdiff_t(entries));
    const auto size = uint32_t(w.bytes.size());
    for (int i = 0; i < 4; ++i)
        w.bytes[8 + size_t(i)] = uint8_t(size >> (8 * i));
    return w.bytes;
}

std::string CSource(const std::vector<uint8_t>& blob, const std::string& section)
{
    std::string out = "/* Module resources packed by tonwell_respack (docs/resources.md). Generated: do not edit. */\n"
                      "__attribute__((section(\"" +
                      section + "\"), used, aligned(16)))\nstatic const unsigned char tonwell_resources[" +
                      std::to_string(blob.size()) + "] = {";
    char byte[8];
    for (size_t i = 0; i < blob.size(); ++i) {
        out += i % 16 == 0 ? "\n    " : " ";
        std::snprintf(byte, sizeof byte, "0x%02x,", blob[i]);
        out += byte;
    }
    out += "\n};\n";
    return out;
}

// Both outputs go to files beside their targets first and are renamed over
// them only once both are written, so a failure leaves no partial output.
void WriteOutputs(const std::vector<std::pair<std::string, std::string>>& outputs)
{
    std::vector<std::string> temps;
    auto discard = [&] {
        for (const std::string& t : temps)
            std::remove(t.c_str());
    };
    for (const auto& [path, content] : outputs) {
        temps.push_back(path + ".tmp." + std::to_string(getpid()));
        std::ofstream out(temps.back(), std::ios::binary | std::ios::trunc);
        out.write(content.data(), std::streamsize(content.size()));
        out.close();
        if (!out) {
            discard();
            throw Failure("cannot write '" + path + "'");
        }
    }
    for (size_t i = 0; i < outputs.size(); ++i)
        if (std::rename(temps[i].c_str(), outputs[i].first.c_str()) != 0) {
            int err = errno;
            discard();
            throw Failure("cannot write '" + outputs[i].first + "': " + std::strerror(err));
        }
}

int Usage()
{
    std::fprintf(stderr, "usage: tonwell_respack --blob OUT --source OUT.c [--section NAME]\n"
                         "                      [--resource TYPE NAME LANG FILE]... [--version NAME LANG SPEC]...\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::string blobPath, sourcePath, section = ".tonwell_rsrc";
    std::vector<Resource> resources;
    try {
        for (int i = 1; i < argc; ++i) {
            std::string arg = argv[i];
            auto need = [&](int n) {
                if (i + n >= argc)
                    throw Failure(arg + " needs " + std::to_string(n) + " argument(s)");
            };
            if (arg == "--blob" || arg == "--source" || arg == "--section") {
                need(1);
                (arg == "--blob" ? blobPath : arg == "--source" ? sourcePath : section) = argv[++i];
            } else if (arg == "--resource" || arg == "--version") {
                const bool version = arg == "--version";
                need(version ? 3 : 4);
                Resource r;
                if (version)
                    r.type.isNumber = true, r.type.number = 16; // RT_VERSION
                else
                    r.type = ParseId(argv[++i], "type");
                r.name = ParseId(argv[++i], "name");
                r.language = uint16_t(Number(argv[++i], 0xFFFF, "language"));
                std::string file = argv[++i];
                r.data = version ? CompileVersion(file) : ReadInput(file);
                resources.push_back(std::move(r));
            } else {
                return Usage();
            }
        }
        if (blobPath.empty() || sourcePath.empty() || section.empty() ||
            section.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._") !=
                std::string::npos)
            return Usage();
        std::vector<uint8_t> blob = Pack(resources);
        WriteOutputs({{blobPath, std::string(blob.begin(), blob.end())}, {sourcePath, CSource(blob, section)}});
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tonwell_respack: %s\n", e.what());
        return 1;
    }
    return 0;
}
