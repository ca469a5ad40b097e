#include "reg_file.h"

#include "imageio/OutputFile.h"

#include <ktmw32.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace tonwell::tools::reg {
namespace {

struct TypeEntry {
    const char* name;
    DWORD type;
};

constexpr TypeEntry kTypes[] = {
    {"REG_NONE", REG_NONE},
    {"REG_SZ", REG_SZ},
    {"REG_EXPAND_SZ", REG_EXPAND_SZ},
    {"REG_BINARY", REG_BINARY},
    {"REG_DWORD", REG_DWORD},
    {"REG_DWORD_BIG_ENDIAN", REG_DWORD_BIG_ENDIAN},
    {"REG_LINK", REG_LINK},
    {"REG_MULTI_SZ", REG_MULTI_SZ},
    {"REG_RESOURCE_LIST", REG_RESOURCE_LIST},
    {"REG_FULL_RESOURCE_DESCRIPTOR", REG_FULL_RESOURCE_DESCRIPTOR},
    {"REG_RESOURCE_REQUIREMENTS_LIST", REG_RESOURCE_REQUIREMENTS_LIST},
    {"REG_QWORD", REG_QWORD},
};

std::u16string Units(const std::vector<BYTE>& data)
{
    std::u16string s(data.size() / 2, u'\0');
    if (!s.empty())
        std::memcpy(s.data(), data.data(), s.size() * 2);
    return s;
}

void AppendUnits(std::vector<BYTE>& data, const std::u16string& s)
{
    size_t at = data.size();
    data.resize(at + s.size() * 2);
    if (!s.empty())
        std::memcpy(data.data() + at, s.data(), s.size() * 2);
}

std::string Hex(const std::vector<BYTE>& data)
{
    std::string out;
    char buf[4];
    for (BYTE b : data) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        out += buf;
    }
    return out;
}

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t& value)
{
    if (text.empty())
        return false;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* start = text.c_str() + (hex ? 2 : 0);
    if (!*start || *start == '-' || *start == '+' || std::isspace(static_cast<unsigned char>(*start)))
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(start, &end, hex ? 16 : 10);
    if (errno || *end || v > max)
        return false;
    value = v;
    return true;
}

// ---- .reg text ------------------------------------------------------------

std::string Escape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out;
}

// "name"=hex(N):xx,xx,... wrapped as the registry editor wraps it.
std::string HexLine(const std::string& prefix, DWORD type, const std::vector<BYTE>& data)
{
    std::string line = prefix;
    if (type == REG_BINARY) {
        line += "hex:";
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", type);
        line += buf;
    }
    std::string out;
    for (size_t i = 0; i < data.size(); ++i) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%02x", data[i]);
        line += buf;
        if (i + 1 < data.size()) {
            line += ',';
            if (line.size() > 76) {
                out += line + "\\\r\n";
                line = "  ";
            }
        }
    }
    return out + line;
}

bool IsPlainString(const std::vector<BYTE>& data)
{
    std::u16string s = Units(data);
    if (data.size() % 2 || s.empty() || s.back() != u'\0')
        return false;
    return s.find(u'\0') == s.size() - 1;
}

// The text of a name or string as the quoted form carries it exactly: well-formed
// UTF-16 without line breaks. Nothing when the quoted form cannot.
std::optional<std::string> Quotable(const std::u16string& s)
{
    std::string narrow;
    if (s.find_first_of(u"\r\n") != std::u16string::npos || !NarrowExactly(s, narrow))
        return std::nullopt;
    return narrow;
}

// Where a key header "[name]" ends: at the first ']' followed by nothing but
// blanks, or blanks and a comment.
size_t HeaderEnd(const std::string& line)
{
    for (size_t close = line.find(']'); close != std::string::npos; close = line.find(']', close + 1)) {
        size_t next = line.find_first_not_of(" \t", close + 1);
        if (next == std::string::npos || line[next] == ';')
            return close;
    }
    return std::string::npos;
}

// "name"= or @=, then the data: quoted when the quoted form carries it
// exactly, hex(N): otherwise. False (with the reason) for a name that a
// .reg file cannot carry.
bool ValueLine(const Value& v, std::string& line, std::string& refused)
{
    std::string prefix = "@=";
    if (!v.name.empty()) {
        std::optional<std::string> name = Quotable(v.name);
        if (!name) {
            refused = "the value name \"" + Utf16ToUtf8(v.name) + "\"";
            return false;
        }
        prefix = "\"" + Escape(*name) + "\"=";
    }
    if (v.type == REG_SZ && IsPlainString(v.data)) {
        std::u16string s = Units(v.data);
        s.pop_back();
        if (std::optional<std::string> text = Quotable(s)) {
            line = prefix + "\"" + Escape(*text) + "\"";
            return true;
        }
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        DWORD d;
        std::memcpy(&d, v.data.data(), 4);
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", d);
        line = prefix + buf;
        return true;
    }
    line = HexLine(prefix, v.type, v.data);
    return true;
}

LONG ExportTree(HKEY parent, const std::u16string& subKey, const std::string& display, std::string& out,
                std::string& refused)
{
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(parent, subKey.c_str(), 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS)
        return status;
    std::vector<Value> values;
    std::vector<std::u16string> children;
    status = ReadValues(key, values);
    if (status == ERROR_SUCCESS)
        status = ReadSubKeys(key, children);
    if (status == ERROR_SUCCESS) {
        std::string header = "[" + display + "]";
        if (HeaderEnd(header) != header.size() - 1) {
            refused = "the key name \"" + display + "\"";
            status = ERROR_INVALID_NAME;
        } else {
            out += header + "\r\n";
        }
        for (const Value& v : values) {
            std::string line;
            if (status != ERROR_SUCCESS || !ValueLine(v, line, refused)) {
                status = ERROR_INVALID_NAME;
                break;
            }
            out += line + "\r\n";
        }
        out += "\r\n";
        for (const auto& child : children) {
            if (status != ERROR_SUCCESS)
                break;
            std::optional<std::string> name = Quotable(child);
            if (!name) {
                refused = "the key name \"" + display + "\\" + Utf16ToUtf8(child) + "\"";
                status = ERROR_INVALID_NAME;
                break;
            }
            status = ExportTree(key, child, display + "\\" + *name, out, refused);
        }
    }
    RegCloseKey(key);
    return status;
}

// ---- import ---------------------------------------------------------------

struct Operation {
    enum Kind { SelectKey, DeleteKey, SetValue, DeleteValue } kind;
    KeyPath key;
    std::u16string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

bool DecodeFile(const std::string& bytes, std::string& text)
{
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        if (bytes.size() % 2)
            return false;
        std::u16string units((bytes.size() - 2) / 2, u'\0');
        std::memcpy(units.data(), bytes.data() + 2, units.size() * 2);
        return NarrowExactly(units, text) && text.find('\0') == std::string::npos;
    }
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text = bytes.substr(3);
    else
        text = bytes;
    std::u16string wide;
    return WidenExactly(text, wide) && text.find('\0') == std::string::npos;
}

// A quoted string at `pos` with \\ and \" escapes; `pos` ends after it.
bool ReadQuoted(const std::string& line, size_t& pos, std::string& out)
{
    if (pos >= line.size() || line[pos] != '"')
        return false;
    ++pos;
    out.clear();
    while (pos < line.size()) {
        char c = line[pos++];
        if (c == '"')
            return true;
        if (c == '\\' && pos < line.size())
            c = line[pos++];
        out += c;
    }
    return false;
}

bool ParseHexBytes(const std::string& text, std::vector<BYTE>& data)
{
    data.clear();
    std::string token;
    std::istringstream in(text);
    while (std::getline(in, token, ',')) {
        size_t a = token.find_first_not_of(" \t");
        size_t b = token.find_last_not_of(" \t");
        if (a == std::string::npos)
            return token.empty() && in.eof() && data.empty() ? true : false;
        token = token.substr(a, b - a + 1);
        if (token.size() > 2 || !std::isxdigit(static_cast<unsigned char>(token[0])) ||
            (token.size() == 2 && !std::isxdigit(static_cast<unsigned char>(token[1]))))
            return false;
        data.push_back(static_cast<BYTE>(std::strtoul(token.c_str(), nullptr, 16)));
    }
    return true;
}

bool ParseValueData(const std::string& text, bool unicodeFile, Operation& op, std::string& why)
{
    if (text == "-") {
        op.kind = Operation::DeleteValue;
        return true;
    }
    op.kind = Operation::SetValue;
    if (!text.empty() && text[0] == '"') {
        size_t pos = 0;
        std::string s;
        if (!ReadQuoted(text, pos, s) || pos != text.size()) {
            why = "malformed string";
            return false;
        }
        op.type = REG_SZ;
        op.data.clear();
        AppendUnits(op.data, Utf8ToUtf16(s));
        AppendUnits(op.data, std::u16string(1, u'\0'));
        return true;
    }
    if (text.compare(0, 6, "dword:") == 0) {
        std::string digits = text.substr(6);
        uint64_t v = 0;
        if (digits.empty() || digits.size() > 8 || !ParseUnsigned("0x" + digits, 0xFFFFFFFFull, v)) {
            why = "malformed dword";
            return false;
        }
        op.type = REG_DWORD;
        DWORD d = static_cast<DWORD>(v);
        op.data.assign(reinterpret_cast<BYTE*>(&d), reinterpret_cast<BYTE*>(&d) + 4);
        return true;
    }
    if (text.compare(0, 3, "hex") == 0) {
        size_t colon = text.find(':');
        if (colon == std::string::npos) {
            why = "malformed hex data";
            return false;
        }
        std::string kind = text.substr(3, colon - 3);
        if (kind.empty()) {
            op.type = REG_BINARY;
        } else {
            uint64_t t = 0;
            if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')' ||
                !ParseUnsigned("0x" + kind.substr(1, kind.size() - 2), 0xFFFFFFFFull, t)) {
                why = "malformed hex type";
                return false;
            }
            op.type = static_cast<DWORD>(t);
        }
        if (!ParseHexBytes(text.substr(colon + 1), op.data)) {
            why = "malformed hex data";
            return false;
        }
        (void)unicodeFile;
        return true;
    }
    why = "unknown value format";
    return false;
}

bool ParseScript(const std::string& text, std::vector<Operation>& ops, std::string& error)
{
    std::vector<std::string> lines;
    {
        std::string line;
        std::istringstream in(text);
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines.push_back(line);
        }
    }
    size_t i = 0;
    while (i < lines.size() && lines[i].find_first_not_of(" \t") == std::string::npos)
        ++i;
    bool unicode = true;
    if (i < lines.size() && lines[i] == "Windows Registry Editor Version 5.00") {
        unicode = true;
    } else if (i < lines.size() && lines[i] == "REGEDIT4") {
        unicode = false;
    } else {
        error = "The file is not a registry script: it must begin with \"Windows Registry Editor Version 5.00\".";
        return false;
    }
    ++i;
    std::optional<KeyPath> current;
    bool deleted = false; // below a [-KEY] header: its values are skipped
    for (; i < lines.size(); ++i) {
        size_t lineNo = i + 1;
        std::string line = lines[i];
        size_t a = line.find_first_not_of(" \t");
        if (a == std::string::npos || line[a] == ';')
            continue;
        line = line.substr(a);
        auto bad = [&](const std::string& why) {
            error = "Line " + std::to_string(lineNo) + " of the file is not valid (" + why + ").";
            return false;
        };
        if (line[0] == '[') {
            size_t close = HeaderEnd(line);
            if (close == std::string::npos)
                return bad("unterminated key name");
            bool remove = line.size() > 1 && line[1] == '-';
            std::string name = line.substr(remove ? 2 : 1, close - (remove ? 2 : 1));
            KeyPath path;
            if (!ParseKeyPath(name, path))
                return bad("unknown root key");
            if (remove) {
                if (path.subKey.empty())
                    return bad("a root key cannot be deleted");
                ops.push_back({Operation::DeleteKey, path, {}, REG_NONE, {}});
                current.reset();
                deleted = true;
            } else {
                ops.push_back({Operation::SelectKey, path, {}, REG_NONE, {}});
                current = path;
                deleted = false;
            }
            continue;
        }
        if (deleted) {
            // As the registry editor does: skipped with what continues it.
            while (!line.empty() && line.back() == '\\' && i + 1 < lines.size())
                line = lines[++i];
            continue;
        }
        if (!current)
            return bad("a value outside of any key");
        Operation op{Operation::SetValue, *current, {}, REG_NONE, {}};
        size_t pos = 0;
        std::string name;
        if (line[0] == '@') {
            pos = 1;
        } else if (!ReadQuoted(line, pos, name)) {
            return bad("malformed value name");
        }
        op.name = Utf8ToUtf16(name);
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
            ++pos;
        if (pos >= line.size() || line[pos] != '=')
            return bad("'=' expected");
        ++pos;
        std::string data = line.substr(pos);
        size_t d = data.find_first_not_of(" \t");
        data = d == std::string::npos ? std::string() : data.substr(d);
        auto trimEnd = [](std::string& t) {
            size_t e = t.find_last_not_of(" \t");
            t = e == std::string::npos ? std::string() : t.substr(0, e + 1);
        };
        trimEnd(data);
        // Hex data goes on over lines that end in a backslash.
        if (data.compare(0, 3, "hex") == 0) {
            while (!data.empty() && data.back() == '\\' && i + 1 < lines.size()) {
                data.pop_back();
                std::string next = lines[++i];
                size_t n = next.find_first_not_of(" \t");
                data += n == std::string::npos ? std::string() : next.substr(n);
                trimEnd(data);
            }
        }
        std::string why;
        if (!ParseValueData(data, unicode, op, why))
            return bad(why);
        ops.push_back(std::move(op));
    }
    return true;
}

} // namespace

std::string TypeName(DWORD type)
{
    for (const TypeEntry& t : kTypes) {
        if (t.type == type)
            return t.name;
    }
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%x", type);
    return buf;
}

bool ParseTypeName(const std::string& name, DWORD& type)
{
    std::string upper = name;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper == "REG_DWORD_LITTLE_ENDIAN")
        upper = "REG_DWORD";
    if (upper == "REG_QWORD_LITTLE_ENDIAN")
        upper = "REG_QWORD";
    for (const TypeEntry& t : kTypes) {
        if (upper == t.name && t.type != REG_LINK && t.type != REG_RESOURCE_LIST &&
            t.type != REG_FULL_RESOURCE_DESCRIPTOR && t.type != REG_RESOURCE_REQUIREMENTS_LIST) {
            type = t.type;
            return true;
        }
    }
    return false;
}

std::string DisplayData(DWORD type, const std::vector<BYTE>& data)
{
    char buf[32];
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        std::u16string s = Units(data);
        return Utf16ToUtf8(s.substr(0, s.find(u'\0')));
    }
    case REG_MULTI_SZ: {
        std::u16string s = Units(data);
        while (!s.empty() && s.back() == u'\0')
            s.pop_back();
        std::string out;
        size_t start = 0;
        for (;;) {
            size_t nul = s.find(u'\0', start);
            out += Utf16ToUtf8(s.substr(start, nul == std::u16string::npos ? std::u16string::npos : nul - start));
            if (nul == std::u16string::npos)
                break;
            out += "\\0";
            start = nul + 1;
        }
        return out;
    }
    case REG_DWORD:
        if (data.size() == 4) {
            DWORD d;
            std::memcpy(&d, data.data(), 4);
            std::snprintf(buf, sizeof buf, "0x%x", d);
            return buf;
        }
        break;
    case REG_DWORD_BIG_ENDIAN:
        if (data.size() == 4) {
            DWORD d = (DWORD(data[0]) << 24) | (DWORD(data[1]) << 16) | (DWORD(data[2]) << 8) | data[3];
            std::snprintf(buf, sizeof buf, "0x%x", d);
            return buf;
        }
        break;
    case REG_QWORD:
        if (data.size() == 8) {
            uint64_t q;
            std::memcpy(&q, data.data(), 8);
            std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(q));
            return buf;
        }
        break;
    default:
        break;
    }
    return Hex(data);
}

bool ParseData(DWORD type, const std::string& text, const std::string& separator, std::vector<BYTE>& data,
               std::string& error)
{
    data.clear();
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        AppendUnits(data, Utf8ToUtf16(text));
        AppendUnits(data, std::u16string(1, u'\0'));
        return true;
    case REG_MULTI_SZ: {
        size_t start = 0;
        if (!text.empty()) {
            for (;;) {
                size_t sep = text.find(separator, start);
                std::string part = text.substr(start, sep == std::string::npos ? std::string::npos : sep - start);
                if (part.empty() && sep != std::string::npos) {
                    error = "Invalid value \"" + text + "\" for REG_MULTI_SZ: empty strings are not allowed.";
                    return false;
                }
                AppendUnits(data, Utf8ToUtf16(part));
                AppendUnits(data, std::u16string(1, u'\0'));
                if (sep == std::string::npos)
                    break;
                start = sep + separator.size();
            }
        }
        AppendUnits(data, std::u16string(1, u'\0'));
        return true;
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN: {
        uint64_t v = 0;
        if (!text.empty() && !ParseUnsigned(text, 0xFFFFFFFFull, v)) {
            error = "Invalid value \"" + text + "\" for " + TypeName(type) + ".";
            return false;
        }
        DWORD d = static_cast<DWORD>(v);
        if (type == REG_DWORD_BIG_ENDIAN)
            data = {BYTE(d >> 24), BYTE(d >> 16), BYTE(d >> 8), BYTE(d)};
        else
            data.assign(reinterpret_cast<BYTE*>(&d), reinterpret_cast<BYTE*>(&d) + 4);
        return true;
    }
    case REG_QWORD: {
        uint64_t v = 0;
        if (!text.empty() && !ParseUnsigned(text, UINT64_MAX, v)) {
            error = "Invalid value \"" + text + "\" for REG_QWORD.";
            return false;
        }
        data.assign(reinterpret_cast<BYTE*>(&v), reinterpret_cast<BYTE*>(&v) + 8);
        return true;
    }
    default: {
        if (text.size() % 2) {
            error = "Invalid value \"" + text + "\" for " + TypeName(type) + ": an even number of hex digits.";
            return false;
        }
        for (size_t i = 0; i < text.size(); i += 2) {
            if (!std::isxdigit(static_cast<unsigned char>(text[i])) ||
                !std::isxdigit(static_cast<unsigned char>(text[i + 1]))) {
                error = "Invalid value \"" + text + "\" for " + TypeName(type) + ".";
                return false;
            }
            data.push_back(static_cast<BYTE>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
        }
        return true;
    }
    }
}

bool ExportKey(const KeyPath& path, const std::string& file, std::string& error)
{
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
    std::string refused;
    LONG status = ExportTree(path.root, path.subKey, path.Display(), text, refused);
    if (!refused.empty()) {
        error = "Cannot export " + refused + ": a .reg file cannot carry it (line breaks, a lone surrogate, or "
                "\"]\" before a \";\" in a key name).";
        return false;
    }
    if (status != ERROR_SUCCESS) {
        error = ErrorText(status);
        return false;
    }
    std::u16string units = Utf8ToUtf16(text);
    try {
        // Written beside the target and renamed over it, so a failure leaves
        // no partial file behind; made with the caller's umask, as any file.
        imageio::StopOnSignals();
        imageio::OutputFile out(file);
        static const unsigned char kMark[2] = {0xFF, 0xFE};
        if (std::fwrite(kMark, 1, 2, out.Stream()) != 2 ||
            std::fwrite(units.data(), 2, units.size(), out.Stream()) != units.size())
            throw std::runtime_error(std::string("write error: ") + std::strerror(errno));
        out.Commit();
    } catch (const std::exception& e) {
        error = "Cannot write " + file + ": " + e.what() + ".";
        return false;
    }
    return true;
}

namespace {

// The whole file, or false with the reason.
bool ReadWholeFile(const std::string& file, std::string& bytes, std::string& error)
{
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "Cannot open " + file + ": " + std::strerror(errno) + ".";
        return false;
    }
    struct stat st{};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        error = "Cannot import " + file + ": it is a folder, not a registry script.";
        return false;
    }
    char buffer[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = "Cannot read " + file + ": " + std::strerror(errno) + ".";
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

LONG Apply(const Operation& op, HANDLE transaction, HKEY& key)
{
    switch (op.kind) {
    case Operation::SelectKey:
        if (key)
            RegCloseKey(key);
        key = nullptr;
        return RegCreateKeyTransactedW(op.key.root, op.key.subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_READ | KEY_SET_VALUE, nullptr, &key, nullptr, transaction, nullptr);
    case Operation::DeleteKey: {
        if (key)
            RegCloseKey(key);
        key = nullptr;
        LONG status = DeleteTree(op.key.root, op.key.subKey, transaction);
        return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
    }
    case Operation::SetValue:
        return RegSetValueExW(key, op.name.c_str(), 0, op.type, op.data.data(), static_cast<DWORD>(op.data.size()));
    case Operation::DeleteValue: {
        LONG status = RegDeleteValueW(key, op.name.c_str());
        return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
    }
    }
    return ERROR_INVALID_PARAMETER;
}

} // namespace

bool ImportFile(const std::string& file, std::string& error)
{
    std::string bytes;
    if (!ReadWholeFile(file, bytes, error))
        return false;
    std::string text;
    if (!DecodeFile(bytes, text)) {
        error = "The file is not a registry script: it is neither UTF-16LE with a byte-order mark nor UTF-8 text.";
        return false;
    }
    std::vector<Operation> ops;
    if (!ParseScript(text, ops, error))
        return false;
    // One transaction for the whole file: all of it takes effect or none.
    HANDLE transaction = CreateTransaction(nullptr, nullptr, 0, 0, 0, 0, nullptr);
    if (transaction == INVALID_HANDLE_VALUE) {
        error = ErrorText(static_cast<LONG>(GetLastError()));
        return false;
    }
    HKEY key = nullptr;
    LONG status = ERROR_SUCCESS;
    for (const Operation& op : ops) {
        status = Apply(op, transaction, key);
        if (status != ERROR_SUCCESS) {
            error = "Error accessing the registry at " + op.key.Display() + ": " + ErrorText(status) +
                    " Nothing of the file was imported.";
            break;
        }
    }
    if (key)
        RegCloseKey(key);
    if (status == ERROR_SUCCESS && !CommitTransaction(transaction)) {
        status = static_cast<LONG>(GetLastError());
        error = "Cannot import " + file + ": " + ErrorText(status) + " Nothing of the file was imported.";
    }
    CloseHandle(transaction); // rolls back what was not committed
    return status == ERROR_SUCCESS;
}

} // namespace tonwell::tools::reg
