// Security descriptors inside the platform: the parsed form, the self-relative
// binary form handed to callers and stored with registry keys, the identity of
// the calling process, access checks and inheritance.
//
// Identity on POSIX: the superuser is the local system (SY) and a member of the
// administrators (BA); every other user is an authenticated user (AU). Everyone
// (WD) applies to all. Each POSIX user also has its own account SID,
// S-1-22-1-<uid>, and each group S-1-22-2-<gid>.
#pragma once

#include <sddl.h>

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tonwell::platform::security {

using Sid = std::vector<uint8_t>;

struct Ace {
    BYTE type = ACCESS_ALLOWED_ACE_TYPE;
    BYTE flags = 0;
    ACCESS_MASK mask = 0;
    Sid sid;
};

struct Descriptor {
    WORD control = 0; // SE_* bits besides PRESENT / SELF_RELATIVE
    std::optional<Sid> owner;
    std::optional<Sid> group;
    bool daclPresent = false;
    bool daclNull = false; // present but null: no access control at all
    std::vector<Ace> dacl;
    bool saclPresent = false;
    std::vector<Ace> sacl;
};

// SIDs.
Sid MakeSid(uint64_t authority, std::initializer_list<DWORD> subAuthorities);
bool ValidSid(const uint8_t* p, size_t maxLen, size_t* length);
std::string SidToString(const Sid& sid);
// "S-1-5-32-544" or a two-letter alias such as "BA". False when unknown.
bool SidFromString(const std::string& text, Sid& sid);
// The alias of a well-known SID ("SY"), or empty.
std::string SidAlias(const Sid& sid);
Sid UserSid(uid_t uid);
Sid GroupSid(gid_t gid);

// The binary self-relative form.
std::vector<uint8_t> Serialize(const Descriptor& sd);
// Reads a self-relative descriptor of at most maxLen bytes (SIZE_MAX: trust
// the sizes it states). False when it is malformed.
bool Parse(const void* data, size_t maxLen, Descriptor& sd);
// The number of bytes a valid self-relative descriptor spans, else 0.
size_t Length(const void* data);

// Who is asking: taken from the effective user and group on every call.
struct Caller {
    bool superuser = false;
    Sid user;
    Sid group;
    std::vector<Sid> sids; // every SID the caller counts as, user included
};
Caller CurrentCaller();
bool Matches(const Caller& caller, const Sid& sid);

extern const GENERIC_MAPPING kKeyMapping;
extern const GENERIC_MAPPING kFileMapping;

// What `desired` (generic bits mapped, MAXIMUM_ALLOWED honoured) comes to for
// the caller: ERROR_SUCCESS with the granted rights, or ERROR_ACCESS_DENIED.
DWORD AccessCheck(const Descriptor& sd, const Caller& caller, ACCESS_MASK desired, const GENERIC_MAPPING& mapping,
                  ACCESS_MASK& granted);

// The descriptor of a new child container: the explicit one (when given) with
// the parent's inheritable entries added unless it is protected; owner and
// group default to the creator's.
Descriptor ForNewChild(const Descriptor* parent, const Descriptor* explicitSd, const Caller& creator);

// The descriptor of the registry's roots: full access for the local system
// and administrators, read for authenticated users, all inherited.
Descriptor DefaultRootDescriptor();
// The root of a user's own hive: full access for that user as well.
Descriptor UserHiveDescriptor(uid_t uid, gid_t gid);

// POSIX permission bits (0777 range) that best carry a descriptor onto a file
// or folder: the owner's bits are what the creator is granted, the group's
// and others' what an ordinary authenticated user is granted. Null or absent
// DACL: 0666 for files, 0777 for folders. For the kernel object helpers.
unsigned PosixModeFor(const Descriptor& sd, bool directory);

} // namespace tonwell::platform::security
