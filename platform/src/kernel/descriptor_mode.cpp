#include "descriptor_mode.h"

#include "security/descriptor.h"

#include <fileapi.h>

#include <cstdint>

namespace tonwell::platform::kernel {

namespace {

unsigned BitsFromGranted(ACCESS_MASK granted)
{
    unsigned bits = 0;
    if (granted & FILE_READ_DATA) // read data / list the folder
        bits |= 4;
    if (granted & FILE_WRITE_DATA) // write data / add a file
        bits |= 2;
    if (granted & FILE_EXECUTE) // execute / traverse
        bits |= 1;
    return bits;
}

unsigned AdministratorBits(const security::Descriptor& sd)
{
    security::Caller admin;
    admin.superuser = true;
    security::Sid sid;
    for (const char* alias : {"SY", "BA"}) {
        if (security::SidFromString(alias, sid))
            admin.sids.push_back(sid);
    }
    ACCESS_MASK granted = 0;
    if (security::AccessCheck(sd, admin, MAXIMUM_ALLOWED, security::kFileMapping, granted) != ERROR_SUCCESS)
        return 0;
    return BitsFromGranted(granted);
}

} // namespace

bool PosixModeFromDescriptor(const SECURITY_ATTRIBUTES* attributes, ModeTarget target, mode_t& mode,
                             bool& explicitMode)
{
    explicitMode = false;
    if (!attributes || !attributes->lpSecurityDescriptor)
        return true;
    security::Descriptor sd;
    if (!security::Parse(attributes->lpSecurityDescriptor, SIZE_MAX, sd))
        return false;
    unsigned bits = security::PosixModeFor(sd, target == ModeTarget::Directory);
    if (sd.daclPresent && !sd.daclNull)
        bits |= AdministratorBits(sd) << 6;
    if (target == ModeTarget::NamedObject) {
        unsigned object = 0;
        for (unsigned shift : {6u, 3u, 0u}) {
            if ((bits >> shift) & 7u)
                object |= 6u << shift;
        }
        bits = object;
    } else if (target == ModeTarget::File && (!sd.daclPresent || sd.daclNull)) {
        bits = 0666;
    }
    mode = static_cast<mode_t>(bits & 0777);
    explicitMode = true;
    return true;
}

} // namespace tonwell::platform::kernel
