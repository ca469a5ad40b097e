#include "reg_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <iterator>
#include <optional>
#include <sstream>
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

std::string ValueLine(const Value& v)
{
    std::string prefix = v.name.empty() ? "@=" : "\"" + Escape(Narrow(v.name)) + "\"=";
    if (v.type == REG_SZ && IsPlainString(v.data)) {
        std::u16string s = Units(v.data);
        s.pop_back();
        return prefix + "\"" + Escape(Narrow(s)) + "\"";
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        DWORD d;
        std::memcpy(&d, v.data.data(), 4);
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", d);
        return prefix + buf;
    }
    return HexLine(prefix, v.type, v.data);
}

LONG ExportTree(HKEY parent, const std::u16string& subKey, const std::string& display, std::string& out)
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
        out += "[" + display + "]\r\n";
        for (const Value& v : values)
            out += ValueLine(v) + "\r\n";
        out += "\r\n";
        for (const auto& child : children) {
            status = ExportTree(key, child, display + "\\" + Narrow(child), out);
            if (status != ERROR_SUCCESS)
                break;
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
        text = Narrow(units);
        return true;
    }
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text = bytes.substr(3);
    else
        text = bytes;
    return text.find('\0') == std::string::npos;
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
        AppendUnits(op.data, Widen(s));
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
            size_t close = line.rfind(']');
            if (close == std::string::npos || line.find_first_not_of(" \t", close + 1) != std::string::npos)
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
            } else {
                ops.push_back({Operation::SelectKey, path, {}, REG_NONE, {}});
                current = path;
            }
            continue;
        }
        // Hex data goes on over lines that end in a backslash.
        while (!line.empty() && line.back() == '\\' && line.find("=hex") != std::string::npos &&
               i + 1 < lines.size()) {
            line.pop_back();
            std::string next = lines[++i];
            size_t n = next.find_first_not_of(" \t");
            line += n == std::string::npos ? std::string() : next.substr(n);
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
        op.name = Widen(name);
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
            ++pos;
        if (pos >= line.size() || line[pos] != '=')
            return bad("'=' expected");
        ++pos;
        std::string data = line.substr(pos);
        size_t d = data.find_first_not_of(" \t");
        data = d == std::string::npos ? std::string() : data.substr(d);
        size_t e = data.find_last_not_of(" \t");
        data = e == std::string::npos ? std::string() : data.substr(0, e + 1);
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
        return Narrow(s.substr(0, s.find(u'\0')));
    }
    case REG_MULTI_SZ: {
        std::u16string s = Units(data);
        while (!s.empty() && s.back() == u'\0')
            s.pop_back();
        std::string out;
        size_t start = 0;
        for (;;) {
            size_t nul = s.find(u'\0', start);
            out += Narrow(s.substr(start, nul == std::u16string::npos ? std::u16string::npos : nul - start));
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
        AppendUnits(data, Widen(text));
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
                AppendUnits(data, Widen(part));
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
    LONG status = ExportTree(path.root, path.subKey, path.Display(), text);
    if (status != ERROR_SUCCESS) {
        error = ErrorText(status);
        return false;
    }
    std::u16string units = Widen(text);
    std::string bytes = "\xFF\xFE";
    bytes.append(reinterpret_cast<const char*>(units.data()), units.size() * 2);

    // Written beside the target and renamed over it, so a failure leaves no
    // partial file behind.
    std::string temp = file + ".tmp-XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) {
        error = "Cannot write " + file + ": " + std::strerror(errno) + ".";
        return false;
    }
    fchmod(fd, 0644);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    bool ok = done == bytes.size() && fsync(fd) == 0;
    int saved = errno;
    close(fd);
    if (!ok || rename(temp.c_str(), file.c_str()) != 0) {
        if (ok)
            saved = errno;
        unlink(temp.c_str());
        error = "Cannot write " + file + ": " + std::strerror(saved) + ".";
        return false;
    }
    return true;
}

bool ImportFile(const std::string& file, std::string& error)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = "Cannot open " + file + ": " + std::strerror(errno) + ".";
        return false;
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string text;
    if (!DecodeFile(bytes, text)) {
        error = "The file is not a registry script: it is neither UTF-16LE with a byte-order mark nor UTF-8 text.";
        return false;
    }
    std::vector<Operation> ops;
    if (!ParseScript(text, ops, error))
        return false;
    HKEY key = nullptr;
    LONG status = ERROR_SUCCESS;
    for (const Operation& op : ops) {
        switch (op.kind) {
        case Operation::SelectKey:
            if (key)
                RegCloseKey(key);
            key = nullptr;
            status = RegCreateKeyExW(op.key.root, op.key.subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_READ | KEY_SET_VALUE, nullptr, &key, nullptr);
            break;
        case Operation::DeleteKey:
            if (key)
                RegCloseKey(key);
            key = nullptr;
            status = DeleteTree(op.key.root, op.key.subKey);
            if (status == ERROR_FILE_NOT_FOUND)
                status = ERROR_SUCCESS;
            break;
        case Operation::SetValue:
            status = RegSetValueExW(key, op.name.c_str(), 0, op.type, op.data.data(),
                                    static_cast<DWORD>(op.data.size()));
            break;
        case Operation::DeleteValue:
            status = RegDeleteValueW(key, op.name.c_str());
            if (status == ERROR_FILE_NOT_FOUND)
                status = ERROR_SUCCESS;
            break;
        }
        if (status != ERROR_SUCCESS) {
            error = "Error accessing the registry at " + op.key.Display() + ": " + ErrorText(status);
            break;
        }
    }
    if (key)
        RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

} // namespace tonwell::tools::reg
