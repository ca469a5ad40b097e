// The registration script interpreter. The first byte chooses the mode (bit 0: register)
// and how many replacements follow (bits 1-2); each replacement is a length byte and that
// many name bytes, then a length byte and that many value bytes. The rest is the script.
// A registering run is followed by an unregistering one so the store stays small.
#include "fuzz_target.h"
#include "private_root.h"
#include "ScriptRegistrar.h"

#include <string>

namespace {

bool Take(const uint8_t*& data, size_t& size, std::u16string& out)
{
    if (size == 0)
        return false;
    size_t n = data[0];
    ++data;
    --size;
    if (n > size)
        n = size;
    out.assign(data, data + n); // bytes as Latin-1 characters
    data += n;
    size -= n;
    return true;
}

} // namespace

TONWELL_FUZZ_TARGET(script)
{
    tonwell::fuzz::EnsurePrivateRoot();
    if (size == 0)
        return 0;
    const bool bRegister = data[0] & 1;
    const int replacements = (data[0] >> 1) & 3;
    ++data;
    --size;
    CScriptRegistrar registrar;
    for (int i = 0; i < replacements; ++i) {
        std::u16string name, value;
        if (!Take(data, size, name) || !Take(data, size, value))
            break;
        registrar.AddReplacement(reinterpret_cast<LPCOLESTR>(name.c_str()), reinterpret_cast<LPCOLESTR>(value.c_str()));
    }
    const char* script = reinterpret_cast<const char*>(data);
    registrar.RunScriptBytes(script, static_cast<DWORD>(size), bRegister);
    if (bRegister)
        registrar.RunScriptBytes(script, static_cast<DWORD>(size), FALSE);
    return 0;
}
