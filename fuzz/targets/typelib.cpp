// The type library reader: any bytes give a library or an error with a message, and a
// library it accepts writes back to bytes it accepts again, unchanged.
#include "fuzz_target.h"
#include "binary.h"

#include <cstdlib>

TONWELL_FUZZ_TARGET(typelib)
{
    tonwell::typelib::Library library;
    std::string message;
    HRESULT hr = tonwell::typelib::Read(data, size, library, message);
    if (FAILED(hr)) {
        if (message.empty())
            std::abort();
        return 0;
    }
    std::vector<uint8_t> bytes = tonwell::typelib::Write(library);
    tonwell::typelib::Library again;
    if (FAILED(tonwell::typelib::Read(bytes.data(), bytes.size(), again, message)))
        std::abort();
    if (tonwell::typelib::Write(again) != bytes)
        std::abort();
    return 0;
}
