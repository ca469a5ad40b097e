// Descriptor strings: "O:owner G:group D:flags(ace)... S:flags(ace)...", each
// ACE "(type;flags;rights;object;inherited object;account)".
#include "boundary.h"
#include "text/utf.h"
#include "security/descriptor.h"

#include <errhandlingapi.h>
#include <heapapi.h>

#include <cstring>
#include <string>

using namespace tonwell::platform;
using namespace tonwell::platform::security;
using tonwell::platform::GuardLastError;

namespace {

struct Named {
    const char* name;
    DWORD value;
};

constexpr Named kAceFlags[] = {
    {"OI", OBJECT_INHERIT_ACE}, {"CI", CONTAINER_INHERIT_ACE},       {"NP", NO_PROPAGATE_INHERIT_ACE},
    {"IO", INHERIT_ONLY_ACE},   {"ID", INHERITED_ACE},               {"SA", SUCCESSFUL_ACCESS_ACE_FLAG},
    {"FA", FAILED_ACCESS_ACE_FLAG},
};

// Whole masks written by their own names.
constexpr Named kAggregateRights[] = {
    {"FA", FILE_ALL_ACCESS}, {"FR", FILE_GENERIC_READ}, {"FW", FILE_GENERIC_WRITE}, {"FX", FILE_GENERIC_EXECUTE},
    {"KA", KEY_ALL_ACCESS},  {"KR", KEY_READ},          {"KW", KEY_WRITE},          {"KX", KEY_EXECUTE},
};

// Single rights, in the order they are written.
constexpr Named kRights[] = {
    {"GA", GENERIC_ALL}, {"GR", GENERIC_READ}, {"GW", GENERIC_WRITE}, {"GX", GENERIC_EXECUTE},
    {"RC", READ_CONTROL}, {"SD", DELETE},      {"WD", WRITE_DAC},     {"WO", WRITE_OWNER},
    {"RP", 0x10},        {"WP", 0x20},         {"CC", 0x1},           {"DC", 0x2},
    {"LC", 0x4},         {"SW", 0x8},          {"LO", 0x80},          {"DT", 0x40},
    {"CR", 0x100},       {"NR", 0x2},          {"NW", 0x1},           {"NX", 0x4},
};

struct ParseError {
    DWORD code;
};

class Parser {
public:
    explicit Parser(std::string text) : m_text(std::move(text)) {}

    Descriptor Run()
    {
        Descriptor sd;
        bool seen[4] = {};
        SkipSpace();
        while (m_pos < m_text.size()) {
            if (m_pos + 1 >= m_text.size() || m_text[m_pos + 1] != ':')
                throw ParseError{ERROR_INVALID_PARAMETER};
            char part = m_text[m_pos];
            m_pos += 2;
            int index = part == 'O' ? 0 : part == 'G' ? 1 : part == 'D' ? 2 : part == 'S' ? 3 : -1;
            if (index < 0 || seen[index])
                throw ParseError{ERROR_INVALID_PARAMETER};
            seen[index] = true;
            switch (part) {
            case 'O':
                sd.owner = ReadSid();
                break;
            case 'G':
                sd.group = ReadSid();
                break;
            case 'D':
                sd.daclPresent = true;
                ReadAcl(sd, false);
                break;
            case 'S':
                sd.saclPresent = true;
                ReadAcl(sd, true);
                break;
            }
            SkipSpace();
        }
        return sd;
    }

private:
    void SkipSpace()
    {
        while (m_pos < m_text.size() && (m_text[m_pos] == ' ' || m_text[m_pos] == '\t' || m_text[m_pos] == '\r' ||
                                         m_text[m_pos] == '\n'))
            ++m_pos;
    }

    bool AtComponent() const
    {
        return m_pos + 1 < m_text.size() && m_text[m_pos + 1] == ':' &&
               std::strchr("OGDS", m_text[m_pos]) != nullptr;
    }

    Sid ParseSidText(const std::string& text) const
    {
        Sid sid;
        if (!SidFromString(text, sid))
            throw ParseError{ERROR_INVALID_SID};
        return sid;
    }

    Sid ReadSid()
    {
        size_t start = m_pos;
        if (m_text.compare(m_pos, 2, "S-") == 0) {
            m_pos += 2;
            while (m_pos < m_text.size() && (std::isxdigit(static_cast<unsigned char>(m_text[m_pos])) ||
                                             m_text[m_pos] == '-' || m_text[m_pos] == 'x' || m_text[m_pos] == 'X')) {
                // "S-1-5-18D:" - a hex digit D followed by ':' starts the next part.
                if (m_pos + 1 < m_text.size() && m_text[m_pos + 1] == ':' && std::strchr("OGDS", m_text[m_pos]))
                    break;
                ++m_pos;
            }
        } else {
            m_pos = std::min(m_text.size(), m_pos + 2);
        }
        return ParseSidText(m_text.substr(start, m_pos - start));
    }

    void ReadAcl(Descriptor& sd, bool sacl)
    {
        WORD& control = sd.control;
        while (m_pos < m_text.size() && m_text[m_pos] != '(' && !AtComponent()) {
            if (m_text.compare(m_pos, 17, "NO_ACCESS_CONTROL") == 0) {
                m_pos += 17;
                if (!sacl)
                    sd.daclNull = true;
            } else if (m_text.compare(m_pos, 2, "AI") == 0) {
                control |= sacl ? SE_SACL_AUTO_INHERITED : SE_DACL_AUTO_INHERITED;
                m_pos += 2;
            } else if (m_text.compare(m_pos, 2, "AR") == 0) {
                control |= sacl ? SE_SACL_AUTO_INHERIT_REQ : SE_DACL_AUTO_INHERIT_REQ;
                m_pos += 2;
            } else if (m_text[m_pos] == 'P') {
                control |= sacl ? SE_SACL_PROTECTED : SE_DACL_PROTECTED;
                m_pos += 1;
            } else {
                throw ParseError{ERROR_INVALID_PARAMETER};
            }
        }
        while (m_pos < m_text.size() && m_text[m_pos] == '(') {
            size_t close = m_text.find(')', m_pos);
            if (close == std::string::npos)
                throw ParseError{ERROR_INVALID_ACL};
            Ace ace = ParseAce(m_text.substr(m_pos + 1, close - m_pos - 1), sacl);
            (sacl ? sd.sacl : sd.dacl).push_back(std::move(ace));
            m_pos = close + 1;
            SkipSpace();
        }
        if (sd.daclNull && !sd.dacl.empty() && !sacl)
            throw ParseError{ERROR_INVALID_ACL};
        if (m_pos < m_text.size() && !AtComponent())
            throw ParseError{ERROR_INVALID_PARAMETER};
    }

    static DWORD ParseRights(const std::string& text)
    {
        if (text.empty())
            return 0;
        if (std::isdigit(static_cast<unsigned char>(text[0]))) {
            bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
            uint64_t v = 0;
            for (size_t i = hex ? 2 : 0; i < text.size(); ++i) {
                char c = text[i];
                int d = (c >= '0' && c <= '9') ? c - '0'
                        : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                      : -1;
                if (d < 0)
                    throw ParseError{ERROR_INVALID_ACL};
                v = v * (hex ? 16 : 10) + static_cast<uint64_t>(d);
                if (v > 0xFFFFFFFFull)
                    throw ParseError{ERROR_INVALID_ACL};
            }
            return static_cast<DWORD>(v);
        }
        if (text.size() % 2)
            throw ParseError{ERROR_INVALID_ACL};
        DWORD mask = 0;
        for (size_t i = 0; i < text.size(); i += 2) {
            std::string token = text.substr(i, 2);
            bool found = false;
            for (const Named& n : kAggregateRights) {
                if (token == n.name) {
                    mask |= n.value;
                    found = true;
                }
            }
            for (const Named& n : kRights) {
                if (!found && token == n.name) {
                    mask |= n.value;
                    found = true;
                }
            }
            if (!found)
                throw ParseError{ERROR_INVALID_ACL};
        }
        return mask;
    }

    Ace ParseAce(const std::string& body, bool sacl) const
    {
        std::vector<std::string> fields;
        size_t start = 0;
        for (;;) {
            size_t semi = body.find(';', start);
            fields.push_back(body.substr(start, semi == std::string::npos ? std::string::npos : semi - start));
            if (semi == std::string::npos)
                break;
            start = semi + 1;
        }
        if (fields.size() != 6)
            throw ParseError{ERROR_INVALID_ACL};
        Ace ace;
        const std::string& type = fields[0];
        if (!sacl && type == "A")
            ace.type = ACCESS_ALLOWED_ACE_TYPE;
        else if (!sacl && type == "D")
            ace.type = ACCESS_DENIED_ACE_TYPE;
        else if (sacl && type == "AU")
            ace.type = SYSTEM_AUDIT_ACE_TYPE;
        else if (sacl && type == "ML")
            ace.type = SYSTEM_MANDATORY_LABEL_ACE_TYPE;
        else
            throw ParseError{ERROR_INVALID_ACL};
        const std::string& flags = fields[1];
        if (flags.size() % 2)
            throw ParseError{ERROR_INVALID_ACL};
        for (size_t i = 0; i < flags.size(); i += 2) {
            std::string token = flags.substr(i, 2);
            bool found = false;
            for (const Named& n : kAceFlags) {
                if (token == n.name) {
                    ace.flags |= static_cast<BYTE>(n.value);
                    found = true;
                }
            }
            if (!found)
                throw ParseError{ERROR_INVALID_ACL};
        }
        ace.mask = ParseRights(fields[2]);
        // Object-specific entries carry GUIDs; keys and files have no use for them.
        if (!fields[3].empty() || !fields[4].empty())
            throw ParseError{ERROR_INVALID_ACL};
        if (fields[5].empty())
            throw ParseError{ERROR_INVALID_SID};
        ace.sid = ParseSidText(fields[5]);
        return ace;
    }

    std::string m_text;
    size_t m_pos = 0;
};

std::string FormatSid(const Sid& sid)
{
    std::string alias = SidAlias(sid);
    return alias.empty() ? SidToString(sid) : alias;
}

std::string FormatRights(DWORD mask)
{
    for (const Named& n : kAggregateRights) {
        if (mask == n.value)
            return n.name;
    }
    std::string out;
    DWORD left = mask;
    for (const Named& n : kRights) {
        if (std::strcmp(n.name, "NR") == 0)
            break; // label rights share bits with the ones above
        if ((left & n.value) == n.value && n.value) {
            out += n.name;
            left &= ~n.value;
        }
    }
    if (left || out.empty()) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%x", mask);
        return buf;
    }
    return out;
}

std::string FormatAcl(const std::vector<Ace>& aces, bool sacl)
{
    std::string out;
    for (const Ace& ace : aces) {
        out += '(';
        out += ace.type == ACCESS_ALLOWED_ACE_TYPE  ? "A"
               : ace.type == ACCESS_DENIED_ACE_TYPE ? "D"
               : ace.type == SYSTEM_AUDIT_ACE_TYPE  ? "AU"
                                                    : "ML";
        out += ';';
        for (const Named& n : kAceFlags) {
            if (ace.flags & n.value)
                out += n.name;
        }
        out += ';';
        out += FormatRights(ace.mask);
        out += ";;;";
        out += FormatSid(ace.sid);
        out += ')';
    }
    (void)sacl;
    return out;
}

// The "P", "AR" and "AI" flags of the DACL's or the SACL's bits of the control word.
std::string AclFlags(WORD control, bool sacl)
{
    std::string out;
    if (control & (sacl ? SE_SACL_PROTECTED : SE_DACL_PROTECTED))
        out += "P";
    if (control & (sacl ? SE_SACL_AUTO_INHERIT_REQ : SE_DACL_AUTO_INHERIT_REQ))
        out += "AR";
    if (control & (sacl ? SE_SACL_AUTO_INHERITED : SE_DACL_AUTO_INHERITED))
        out += "AI";
    return out;
}

std::string Format(const Descriptor& sd, SECURITY_INFORMATION info)
{
    std::string out;
    if ((info & OWNER_SECURITY_INFORMATION) && sd.owner)
        out += "O:" + FormatSid(*sd.owner);
    if ((info & GROUP_SECURITY_INFORMATION) && sd.group)
        out += "G:" + FormatSid(*sd.group);
    if ((info & DACL_SECURITY_INFORMATION) && sd.daclPresent) {
        out += "D:" + AclFlags(sd.control, false);
        out += sd.daclNull ? "NO_ACCESS_CONTROL" : FormatAcl(sd.dacl, false);
    }
    if ((info & SACL_SECURITY_INFORMATION) && sd.saclPresent) {
        out += "S:" + AclFlags(sd.control, true);
        out += FormatAcl(sd.sacl, true);
    }
    return out;
}

// Both forms of the string-to-descriptor conversion, on text already narrowed.
BOOL ConvertFromString(const char* chars, DWORD revision, PSECURITY_DESCRIPTOR* result, PULONG size)
{
    if (result)
        *result = nullptr;
    if (!chars || !result) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (revision != SDDL_REVISION_1) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    try {
        std::string text(chars);
        for (unsigned char c : text) {
            if (c >= 0x80)
                throw ParseError{ERROR_INVALID_PARAMETER};
        }
        Descriptor sd = Parser(text).Run();
        std::vector<uint8_t> bytes = Serialize(sd);
        void* block = LocalAlloc(LMEM_FIXED, bytes.size());
        if (!block)
            throw ParseError{ERROR_NOT_ENOUGH_MEMORY};
        std::memcpy(block, bytes.data(), bytes.size());
        *result = block;
        if (size)
            *size = static_cast<ULONG>(bytes.size());
        return TRUE;
    } catch (const ParseError& e) {
        SetLastError(e.code);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return FALSE;
}

template <typename Char>
BOOL ConvertToString(PSECURITY_DESCRIPTOR sdData, DWORD revision, SECURITY_INFORMATION info, Char** result,
                     PULONG length)
{
    if (result)
        *result = nullptr;
    Descriptor sd;
    if (!result || !sdData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (revision != SDDL_REVISION_1) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    if (!Parse(sdData, SIZE_MAX / 2, sd)) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    try {
        std::string text = Format(sd, info);
        std::basic_string<Char> out;
        if constexpr (sizeof(Char) == 1)
            out = text;
        else
            out = tonwell::platform::text::Utf8ToUtf16(text);
        auto* block = static_cast<Char*>(LocalAlloc(LMEM_FIXED, (out.size() + 1) * sizeof(Char)));
        if (!block) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        std::memcpy(block, out.c_str(), (out.size() + 1) * sizeof(Char));
        *result = block;
        if (length)
            *length = static_cast<ULONG>(out.size() + 1);
        return TRUE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

} // namespace

BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR StringSecurityDescriptor,
                                                                 DWORD StringSDRevision,
                                                                 PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                                 PULONG SecurityDescriptorSize)
{
    return GuardLastError(BOOL(FALSE), [&]() -> BOOL {
        std::string narrow;
        if (StringSecurityDescriptor)
            for (const WCHAR* c = StringSecurityDescriptor; *c; ++c)
                narrow += *c < 0x80 ? static_cast<char>(*c) : '\x80'; // any non-ASCII character is rejected
        return ConvertFromString(StringSecurityDescriptor ? narrow.c_str() : nullptr, StringSDRevision,
                                 SecurityDescriptor, SecurityDescriptorSize);
    });
}

BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR StringSecurityDescriptor,
                                                                 DWORD StringSDRevision,
                                                                 PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                                 PULONG SecurityDescriptorSize)
{
    return GuardLastError(BOOL(FALSE), [&]() -> BOOL {
        return ConvertFromString(StringSecurityDescriptor, StringSDRevision, SecurityDescriptor,
                                 SecurityDescriptorSize);
    });
}

BOOL WINAPI ConvertSecurityDescriptorToStringSecurityDescriptorW(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                                 DWORD RequestedStringSDRevision,
                                                                 SECURITY_INFORMATION SecurityInformation,
                                                                 LPWSTR* StringSecurityDescriptor,
                                                                 PULONG StringSecurityDescriptorLen)
{
    return ConvertToString(SecurityDescriptor, RequestedStringSDRevision, SecurityInformation,
                           StringSecurityDescriptor, StringSecurityDescriptorLen);
}

BOOL WINAPI ConvertSecurityDescriptorToStringSecurityDescriptorA(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                                 DWORD RequestedStringSDRevision,
                                                                 SECURITY_INFORMATION SecurityInformation,
                                                                 LPSTR* StringSecurityDescriptor,
                                                                 PULONG StringSecurityDescriptorLen)
{
    return ConvertToString(SecurityDescriptor, RequestedStringSDRevision, SecurityInformation,
                           StringSecurityDescriptor, StringSecurityDescriptorLen);
}

BOOL WINAPI ConvertStringSidToSidW(LPCWSTR StringSid, PSID* pSid)
{
    return GuardLastError(BOOL(FALSE), [&]() -> BOOL {
        if (!StringSid || !pSid) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        *pSid = nullptr;
        Sid sid;
        if (!SidFromString(tonwell::platform::text::Utf16ToUtf8(StringSid), sid)) {
            SetLastError(ERROR_INVALID_SID);
            return FALSE;
        }
        void* block = LocalAlloc(LMEM_FIXED, sid.size());
        if (!block) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        std::memcpy(block, sid.data(), sid.size());
        *pSid = block;
        return TRUE;
    });
}

BOOL WINAPI ConvertSidToStringSidW(PSID pSid, LPWSTR* StringSid)
{
    return GuardLastError(BOOL(FALSE), [&]() -> BOOL {
        size_t n = 0;
        if (!pSid || !StringSid || !ValidSid(static_cast<const uint8_t*>(pSid), 8 + 4 * SID_MAX_SUB_AUTHORITIES, &n)) {
            SetLastError(ERROR_INVALID_SID);
            return FALSE;
        }
        const auto* p = static_cast<const uint8_t*>(pSid);
        std::u16string out = tonwell::platform::text::Utf8ToUtf16(SidToString(Sid(p, p + n)));
        auto* block = static_cast<WCHAR*>(LocalAlloc(LMEM_FIXED, (out.size() + 1) * sizeof(WCHAR)));
        if (!block) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        std::memcpy(block, out.c_str(), (out.size() + 1) * sizeof(WCHAR));
        *StringSid = block;
        return TRUE;
    });
}

BOOL WINAPI IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor)
{
    return Length(pSecurityDescriptor) != 0;
}

DWORD WINAPI GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR pSecurityDescriptor)
{
    return static_cast<DWORD>(Length(pSecurityDescriptor));
}

BOOL WINAPI IsValidSid(PSID pSid)
{
    return pSid && ValidSid(static_cast<const uint8_t*>(pSid), 8 + 4 * SID_MAX_SUB_AUTHORITIES, nullptr);
}

DWORD WINAPI GetLengthSid(PSID pSid)
{
    size_t n = 0;
    if (!pSid || !ValidSid(static_cast<const uint8_t*>(pSid), 8 + 4 * SID_MAX_SUB_AUTHORITIES, &n))
        return 0;
    return static_cast<DWORD>(n);
}

BOOL WINAPI EqualSid(PSID pSid1, PSID pSid2)
{
    DWORD a = GetLengthSid(pSid1), b = GetLengthSid(pSid2);
    return a && a == b && std::memcmp(pSid1, pSid2, a) == 0;
}

void WINAPI MapGenericMask(PDWORD AccessMask, const GENERIC_MAPPING* GenericMapping)
{
    if (!AccessMask || !GenericMapping)
        return;
    DWORD m = *AccessMask;
    DWORD out = m & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (m & GENERIC_READ)
        out |= GenericMapping->GenericRead;
    if (m & GENERIC_WRITE)
        out |= GenericMapping->GenericWrite;
    if (m & GENERIC_EXECUTE)
        out |= GenericMapping->GenericExecute;
    if (m & GENERIC_ALL)
        out |= GenericMapping->GenericAll;
    *AccessMask = out;
}
