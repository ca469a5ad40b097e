#include "security/descriptor.h"

#include <cstring>
#include <unistd.h>

namespace tonwell::platform::security {
namespace {

struct Alias {
    const char* name;
    const char* sid;
};

// Well-known accounts by their two-letter names. Domain-relative names (DA,
// DU, ...) have no meaning on a machine without a domain and are not known.
constexpr Alias kAliases[] = {
    {"WD", "S-1-1-0"},       {"CO", "S-1-3-0"},       {"CG", "S-1-3-1"},       {"OW", "S-1-3-4"},
    {"NU", "S-1-5-2"},       {"IU", "S-1-5-4"},       {"SU", "S-1-5-6"},       {"AN", "S-1-5-7"},
    {"ED", "S-1-5-9"},       {"PS", "S-1-5-10"},      {"AU", "S-1-5-11"},      {"RC", "S-1-5-12"},
    {"WR", "S-1-5-33"},      {"SY", "S-1-5-18"},      {"LS", "S-1-5-19"},      {"NS", "S-1-5-20"},
    {"BA", "S-1-5-32-544"},  {"BU", "S-1-5-32-545"},  {"BG", "S-1-5-32-546"},  {"PU", "S-1-5-32-547"},
    {"AO", "S-1-5-32-548"},  {"SO", "S-1-5-32-549"},  {"PO", "S-1-5-32-550"},  {"BO", "S-1-5-32-551"},
    {"RE", "S-1-5-32-552"},  {"RU", "S-1-5-32-554"},  {"RD", "S-1-5-32-555"},  {"NO", "S-1-5-32-556"},
    {"MU", "S-1-5-32-558"},  {"LU", "S-1-5-32-559"},  {"IS", "S-1-5-32-568"},  {"CY", "S-1-5-32-569"},
    {"ER", "S-1-5-32-573"},  {"LW", "S-1-16-4096"},   {"ME", "S-1-16-8192"},   {"MP", "S-1-16-8448"},
    {"HI", "S-1-16-12288"},  {"SI", "S-1-16-16384"},  {"AC", "S-1-15-2-1"},
};

DWORD ReadDword(const uint8_t* p)
{
    DWORD v;
    std::memcpy(&v, p, 4);
    return v;
}
WORD ReadWord(const uint8_t* p)
{
    WORD v;
    std::memcpy(&v, p, 2);
    return v;
}
void PutDword(std::vector<uint8_t>& out, size_t at, DWORD v) { std::memcpy(out.data() + at, &v, 4); }
void PutWord(std::vector<uint8_t>& out, size_t at, WORD v) { std::memcpy(out.data() + at, &v, 2); }

bool ParseSubAuthorities(const std::string& text, size_t pos, std::vector<uint64_t>& parts)
{
    // "1-5-32-544" after "S-": each part decimal, the authority possibly 0x-hex.
    while (pos <= text.size()) {
        size_t end = text.find('-', pos);
        if (end == std::string::npos)
            end = text.size();
        if (end == pos || end - pos > 18)
            return false;
        uint64_t v = 0;
        std::string part = text.substr(pos, end - pos);
        if (part.size() > 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
            for (size_t i = 2; i < part.size(); ++i) {
                char c = part[i];
                int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                                          : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                                                   : -1;
                if (d < 0)
                    return false;
                v = v * 16 + static_cast<uint64_t>(d);
            }
        } else {
            for (char c : part) {
                if (c < '0' || c > '9')
                    return false;
                v = v * 10 + static_cast<uint64_t>(c - '0');
            }
        }
        parts.push_back(v);
        pos = end + 1;
        if (end == text.size())
            break;
    }
    return true;
}

ACCESS_MASK MapMask(ACCESS_MASK m, const GENERIC_MAPPING& g)
{
    ACCESS_MASK out = m & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (m & GENERIC_READ)
        out |= g.GenericRead;
    if (m & GENERIC_WRITE)
        out |= g.GenericWrite;
    if (m & GENERIC_EXECUTE)
        out |= g.GenericExecute;
    if (m & GENERIC_ALL)
        out |= g.GenericAll;
    return out;
}

Sid WellKnown(const char* alias)
{
    Sid sid;
    SidFromString(alias, sid); // only ever called with names from the table
    return sid;
}

bool ParseAcl(const uint8_t* base, size_t maxLen, size_t offset, std::vector<Ace>& aces, size_t* end)
{
    if (offset > maxLen || maxLen - offset < sizeof(ACL))
        return false;
    const uint8_t* p = base + offset;
    BYTE revision = p[0];
    WORD size = ReadWord(p + 2);
    WORD count = ReadWord(p + 4);
    if ((revision != ACL_REVISION && revision != ACL_REVISION_DS) || size < sizeof(ACL) || size > maxLen - offset)
        return false;
    size_t at = sizeof(ACL);
    for (WORD i = 0; i < count; ++i) {
        if (size - at < 8)
            return false;
        Ace ace;
        ace.type = p[at];
        ace.flags = p[at + 1];
        WORD aceSize = ReadWord(p + at + 2);
        if (aceSize < 8 || aceSize > size - at)
            return false;
        if (ace.type != ACCESS_ALLOWED_ACE_TYPE && ace.type != ACCESS_DENIED_ACE_TYPE &&
            ace.type != SYSTEM_AUDIT_ACE_TYPE && ace.type != SYSTEM_MANDATORY_LABEL_ACE_TYPE)
            return false;
        ace.mask = ReadDword(p + at + 4);
        size_t sidLen = 0;
        if (!ValidSid(p + at + 8, aceSize - 8u, &sidLen))
            return false;
        ace.sid.assign(p + at + 8, p + at + 8 + sidLen);
        aces.push_back(std::move(ace));
        at += aceSize;
    }
    *end = offset + size;
    return true;
}

void AppendAcl(std::vector<uint8_t>& out, const std::vector<Ace>& aces)
{
    size_t start = out.size();
    out.resize(start + sizeof(ACL), 0);
    for (const Ace& ace : aces) {
        size_t at = out.size();
        out.resize(at + 8 + ace.sid.size(), 0);
        out[at] = ace.type;
        out[at + 1] = ace.flags;
        PutWord(out, at + 2, static_cast<WORD>(8 + ace.sid.size()));
        PutDword(out, at + 4, ace.mask);
        std::memcpy(out.data() + at + 8, ace.sid.data(), ace.sid.size());
    }
    out[start] = ACL_REVISION;
    PutWord(out, start + 2, static_cast<WORD>(out.size() - start));
    PutWord(out, start + 4, static_cast<WORD>(aces.size()));
}

bool IsOwnerRights(const Sid& sid) { return sid == WellKnown("OW"); }

} // namespace

const GENERIC_MAPPING kKeyMapping = {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};
const GENERIC_MAPPING kFileMapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};

Sid MakeSid(uint64_t authority, std::initializer_list<DWORD> subAuthorities)
{
    Sid sid(8 + 4 * subAuthorities.size(), 0);
    sid[0] = SID_REVISION;
    sid[1] = static_cast<uint8_t>(subAuthorities.size());
    for (int i = 0; i < 6; ++i)
        sid[2 + i] = static_cast<uint8_t>(authority >> (8 * (5 - i)));
    size_t at = 8;
    for (DWORD s : subAuthorities) {
        std::memcpy(sid.data() + at, &s, 4);
        at += 4;
    }
    return sid;
}

bool ValidSid(const uint8_t* p, size_t maxLen, size_t* length)
{
    if (maxLen < 8 || p[0] != SID_REVISION || p[1] > SID_MAX_SUB_AUTHORITIES)
        return false;
    size_t n = 8 + 4u * p[1];
    if (n > maxLen)
        return false;
    if (length)
        *length = n;
    return true;
}

std::string SidToString(const Sid& sid)
{
    uint64_t authority = 0;
    for (int i = 0; i < 6; ++i)
        authority = (authority << 8) | sid[2 + i];
    std::string out = "S-1-";
    if (authority >= (1ull << 32)) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%012llX", static_cast<unsigned long long>(authority));
        out += buf;
    } else {
        out += std::to_string(authority);
    }
    for (int i = 0; i < sid[1]; ++i)
        out += "-" + std::to_string(ReadDword(sid.data() + 8 + 4 * i));
    return out;
}

bool SidFromString(const std::string& text, Sid& sid)
{
    if (text.size() == 2) {
        for (const Alias& a : kAliases) {
            if (text == a.name)
                return SidFromString(a.sid, sid);
        }
        return false;
    }
    if (text.size() < 4 || (text[0] != 'S' && text[0] != 's') || text[1] != '-')
        return false;
    std::vector<uint64_t> parts;
    if (!ParseSubAuthorities(text, 2, parts) || parts.size() < 2 || parts[0] != 1 || parts[1] >= (1ull << 48) ||
        parts.size() - 2 > SID_MAX_SUB_AUTHORITIES)
        return false;
    sid.assign(8 + 4 * (parts.size() - 2), 0);
    sid[0] = SID_REVISION;
    sid[1] = static_cast<uint8_t>(parts.size() - 2);
    for (int i = 0; i < 6; ++i)
        sid[2 + i] = static_cast<uint8_t>(parts[1] >> (8 * (5 - i)));
    for (size_t i = 2; i < parts.size(); ++i) {
        if (parts[i] > 0xFFFFFFFFull)
            return false;
        DWORD s = static_cast<DWORD>(parts[i]);
        std::memcpy(sid.data() + 8 + 4 * (i - 2), &s, 4);
    }
    return true;
}

std::string SidAlias(const Sid& sid)
{
    std::string text = SidToString(sid);
    for (const Alias& a : kAliases) {
        if (text == a.sid)
            return a.name;
    }
    return {};
}

Sid UserSid(uid_t uid) { return MakeSid(22, {1, static_cast<DWORD>(uid)}); }
Sid GroupSid(gid_t gid) { return MakeSid(22, {2, static_cast<DWORD>(gid)}); }

std::vector<uint8_t> Serialize(const Descriptor& sd)
{
    std::vector<uint8_t> out(sizeof(SECURITY_DESCRIPTOR_RELATIVE), 0);
    WORD control = static_cast<WORD>((sd.control & ~(SE_DACL_PRESENT | SE_SACL_PRESENT)) | SE_SELF_RELATIVE);
    DWORD offSacl = 0, offDacl = 0, offOwner = 0, offGroup = 0;
    if (sd.saclPresent) {
        control |= SE_SACL_PRESENT;
        offSacl = static_cast<DWORD>(out.size());
        AppendAcl(out, sd.sacl);
    }
    if (sd.daclPresent) {
        control |= SE_DACL_PRESENT;
        if (!sd.daclNull) {
            offDacl = static_cast<DWORD>(out.size());
            AppendAcl(out, sd.dacl);
        }
    }
    if (sd.owner) {
        offOwner = static_cast<DWORD>(out.size());
        out.insert(out.end(), sd.owner->begin(), sd.owner->end());
    }
    if (sd.group) {
        offGroup = static_cast<DWORD>(out.size());
        out.insert(out.end(), sd.group->begin(), sd.group->end());
    }
    out[0] = SECURITY_DESCRIPTOR_REVISION;
    PutWord(out, 2, control);
    PutDword(out, 4, offOwner);
    PutDword(out, 8, offGroup);
    PutDword(out, 12, offSacl);
    PutDword(out, 16, offDacl);
    return out;
}

namespace {
bool ParseImpl(const void* data, size_t maxLen, Descriptor* sd, size_t* length)
{
    if (!data || maxLen < sizeof(SECURITY_DESCRIPTOR_RELATIVE))
        return false;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    WORD control = ReadWord(p + 2);
    if (p[0] != SECURITY_DESCRIPTOR_REVISION || !(control & SE_SELF_RELATIVE))
        return false;
    Descriptor out;
    size_t end = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
    out.control = static_cast<WORD>(control & ~(SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_SACL_PRESENT));
    auto sidAt = [&](DWORD offset, std::optional<Sid>& target) {
        if (!offset)
            return true;
        if (offset > maxLen)
            return false;
        size_t n = 0;
        if (!ValidSid(p + offset, maxLen - offset, &n))
            return false;
        target = Sid(p + offset, p + offset + n);
        end = std::max(end, offset + n);
        return true;
    };
    auto aclAt = [&](DWORD offset, std::vector<Ace>& target) {
        size_t aclEnd = 0;
        if (!ParseAcl(p, maxLen, offset, target, &aclEnd))
            return false;
        end = std::max(end, aclEnd);
        return true;
    };
    if (!sidAt(ReadDword(p + 4), out.owner) || !sidAt(ReadDword(p + 8), out.group))
        return false;
    if (control & SE_SACL_PRESENT) {
        out.saclPresent = true;
        if (DWORD offset = ReadDword(p + 12); offset && !aclAt(offset, out.sacl))
            return false;
    }
    if (control & SE_DACL_PRESENT) {
        out.daclPresent = true;
        DWORD offset = ReadDword(p + 16);
        if (!offset)
            out.daclNull = true;
        else if (!aclAt(offset, out.dacl))
            return false;
    }
    if (sd)
        *sd = std::move(out);
    if (length)
        *length = end;
    return true;
}
} // namespace

bool Parse(const void* data, size_t maxLen, Descriptor& sd) { return ParseImpl(data, maxLen, &sd, nullptr); }

size_t Length(const void* data)
{
    size_t n = 0;
    return ParseImpl(data, SIZE_MAX / 2, nullptr, &n) ? n : 0;
}

Caller CurrentCaller()
{
    Caller c;
    uid_t uid = geteuid();
    c.superuser = uid == 0;
    c.user = UserSid(uid);
    c.group = GroupSid(getegid());
    c.sids = {c.user, c.group, WellKnown("WD"), WellKnown("AU")};
    if (c.superuser) {
        c.sids.push_back(WellKnown("SY"));
        c.sids.push_back(WellKnown("BA"));
    }
    return c;
}

bool Matches(const Caller& caller, const Sid& sid)
{
    for (const Sid& s : caller.sids) {
        if (s == sid)
            return true;
    }
    return false;
}

DWORD AccessCheck(const Descriptor& sd, const Caller& caller, ACCESS_MASK desired, const GENERIC_MAPPING& mapping,
                  ACCESS_MASK& granted)
{
    bool maximum = (desired & MAXIMUM_ALLOWED) != 0;
    desired = MapMask(desired & ~MAXIMUM_ALLOWED, mapping);
    ACCESS_MASK allowed = 0;
    if (!sd.daclPresent || sd.daclNull) {
        allowed = mapping.GenericAll;
    } else {
        ACCESS_MASK denied = 0;
        bool isOwner = sd.owner && Matches(caller, *sd.owner);
        bool ownerRightsAce = false;
        for (const Ace& ace : sd.dacl) {
            if (!(ace.flags & INHERIT_ONLY_ACE) && IsOwnerRights(ace.sid))
                ownerRightsAce = true;
        }
        // An owner may always read and change the descriptor, unless an
        // owner-rights entry says otherwise.
        if (isOwner && !ownerRightsAce)
            allowed |= READ_CONTROL | WRITE_DAC;
        for (const Ace& ace : sd.dacl) {
            if (ace.flags & INHERIT_ONLY_ACE)
                continue;
            bool applies = IsOwnerRights(ace.sid) ? isOwner : Matches(caller, ace.sid);
            if (!applies)
                continue;
            ACCESS_MASK mask = MapMask(ace.mask, mapping);
            if (ace.type == ACCESS_ALLOWED_ACE_TYPE)
                allowed |= mask & ~denied;
            else if (ace.type == ACCESS_DENIED_ACE_TYPE)
                denied |= mask & ~allowed;
        }
    }
    // Reading or changing the audit list is a privilege of the superuser.
    allowed &= ~ACCESS_SYSTEM_SECURITY;
    if (caller.superuser)
        allowed |= ACCESS_SYSTEM_SECURITY;
    if (desired & ~allowed)
        return ERROR_ACCESS_DENIED;
    if (maximum) {
        if (!allowed)
            return ERROR_ACCESS_DENIED;
        granted = allowed & ~ACCESS_SYSTEM_SECURITY;
        granted |= desired;
    } else {
        granted = desired;
    }
    return ERROR_SUCCESS;
}

Descriptor ForNewChild(const Descriptor* parent, const Descriptor* explicitSd, const Caller& creator)
{
    Descriptor out;
    Sid coSid = WellKnown("CO");
    Sid cgSid = WellKnown("CG");
    if (explicitSd) {
        out.control = explicitSd->control & (SE_DACL_PROTECTED | SE_SACL_PROTECTED | SE_DACL_AUTO_INHERIT_REQ |
                                             SE_SACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED |
                                             SE_SACL_AUTO_INHERITED);
        out.owner = explicitSd->owner;
        out.group = explicitSd->group;
        out.saclPresent = explicitSd->saclPresent;
        out.sacl = explicitSd->sacl;
    }
    if (!out.owner)
        out.owner = creator.superuser ? WellKnown("BA") : creator.user;
    if (!out.group)
        out.group = creator.superuser ? WellKnown("SY") : creator.group;

    std::vector<Ace> inherited;
    if (parent && parent->daclPresent && !parent->daclNull) {
        for (const Ace& ace : parent->dacl) {
            BYTE inherit = ace.flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
            bool noPropagate = (ace.flags & NO_PROPAGATE_INHERIT_ACE) != 0;
            if (!inherit)
                continue;
            if (!(ace.flags & CONTAINER_INHERIT_ACE)) {
                // Meant for objects below: passed on, but not in force here.
                if (!noPropagate)
                    inherited.push_back({ace.type, static_cast<BYTE>(inherit | INHERIT_ONLY_ACE | INHERITED_ACE),
                                         ace.mask, ace.sid});
                continue;
            }
            bool creatorSid = ace.sid == coSid || ace.sid == cgSid;
            if (creatorSid) {
                inherited.push_back({ace.type, INHERITED_ACE, ace.mask, ace.sid == coSid ? *out.owner : *out.group});
                if (!noPropagate)
                    inherited.push_back(
                        {ace.type, static_cast<BYTE>(inherit | INHERIT_ONLY_ACE | INHERITED_ACE), ace.mask, ace.sid});
            } else {
                inherited.push_back(
                    {ace.type, static_cast<BYTE>((noPropagate ? 0 : inherit) | INHERITED_ACE), ace.mask, ace.sid});
            }
        }
    }

    if (explicitSd && explicitSd->daclPresent) {
        out.daclPresent = true;
        out.daclNull = explicitSd->daclNull;
        if (!out.daclNull) {
            for (const Ace& ace : explicitSd->dacl) {
                if (!(ace.flags & INHERITED_ACE))
                    out.dacl.push_back(ace);
            }
            if (!(explicitSd->control & SE_DACL_PROTECTED))
                out.dacl.insert(out.dacl.end(), inherited.begin(), inherited.end());
        }
    } else if (!inherited.empty()) {
        out.daclPresent = true;
        out.dacl = std::move(inherited);
    } else {
        // Nothing to inherit: the creator's default, full access for the
        // creator, the local system and administrators.
        out.daclPresent = true;
        out.dacl.push_back({ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, creator.user});
        out.dacl.push_back({ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, WellKnown("SY")});
        out.dacl.push_back({ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, WellKnown("BA")});
    }
    return out;
}

Descriptor DefaultRootDescriptor()
{
    Descriptor sd;
    sd.owner = WellKnown("SY");
    sd.group = WellKnown("SY");
    sd.daclPresent = true;
    const BYTE inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    sd.dacl.push_back({ACCESS_ALLOWED_ACE_TYPE, inherit, GENERIC_ALL, WellKnown("SY")});
    sd.dacl.push_back({ACCESS_ALLOWED_ACE_TYPE, inherit, GENERIC_ALL, WellKnown("BA")});
    sd.dacl.push_back({ACCESS_ALLOWED_ACE_TYPE, inherit, GENERIC_READ, WellKnown("AU")});
    return sd;
}

Descriptor UserHiveDescriptor(uid_t uid, gid_t gid)
{
    Descriptor sd = DefaultRootDescriptor();
    sd.owner = UserSid(uid);
    sd.group = GroupSid(gid);
    sd.dacl.pop_back();
    sd.dacl.push_back({ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, GENERIC_ALL, UserSid(uid)});
    return sd;
}

unsigned PosixModeFor(const Descriptor& sd, bool directory)
{
    if (!sd.daclPresent || sd.daclNull)
        return directory ? 0777u : 0666u;
    auto bits = [](const Descriptor& d, const Caller& who) {
        ACCESS_MASK granted = 0;
        if (AccessCheck(d, who, MAXIMUM_ALLOWED, kFileMapping, granted) != ERROR_SUCCESS)
            return 0u;
        unsigned b = 0;
        if (granted & 0x0001u) // read data / list folder
            b |= 4;
        if (granted & 0x0002u) // write data / add file
            b |= 2;
        if (granted & 0x0020u) // execute / traverse
            b |= 1;
        return b;
    };
    Caller creator = CurrentCaller();
    // The file will be owned by its creator, whatever owner the descriptor names.
    Descriptor owned = sd;
    owned.owner = creator.user;
    Caller ordinary;
    ordinary.sids = {WellKnown("WD"), WellKnown("AU")};
    unsigned others = bits(sd, ordinary);
    unsigned owner = bits(owned, creator);
    if (creator.superuser)
        owner |= others; // root passes file modes anyway; keep the owner bits meaningful
    return (owner << 6) | (others << 3) | others;
}

} // namespace tonwell::platform::security
