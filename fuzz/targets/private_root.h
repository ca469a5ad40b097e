// A private machine root for targets that write the registry: one temporary folder per
// process, made before the first platform call. Under the test suite the support
// library has already made one, and that one is kept.
#pragma once

#include <cstdlib>
#include <string>

namespace tonwell::fuzz {

inline void EnsurePrivateRoot()
{
    static const bool made = [] {
#ifndef TONWELL_FUZZ_ENTRY
        if (std::getenv("TONWELL_ROOT"))
            return true;
#endif
        std::string pattern = "/tmp/tonwell-fuzz-XXXXXX";
        if (!mkdtemp(pattern.data()))
            std::abort();
        setenv("TONWELL_ROOT", pattern.c_str(), 1);
        return true;
    }();
    (void)made;
}

} // namespace tonwell::fuzz
