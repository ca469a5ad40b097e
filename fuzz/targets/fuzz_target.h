// One fuzz target: a function of the input bytes that must return without crashing,
// hanging or reading outside its input, whatever the bytes are. Each target file
// defines its entry with TONWELL_FUZZ_TARGET(name); built for libFuzzer
// (TONWELL_FUZZ_ENTRY defined) it is also LLVMFuzzerTestOneInput, built for the test
// suite it registers itself so that the regression test replays its corpus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace tonwell::fuzz {

using Entry = int (*)(const uint8_t* data, size_t size);

// Targets by name; filled before main by the target files linked in.
inline std::map<std::string, Entry>& Targets()
{
    static std::map<std::string, Entry> targets;
    return targets;
}

struct Registration {
    Registration(const char* name, Entry entry) { Targets()[name] = entry; }
};

} // namespace tonwell::fuzz

#ifdef TONWELL_FUZZ_ENTRY
#define TONWELL_FUZZ_EXPORT(name)                                                                                      \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return Fuzz_##name(data, size); }
#else
#define TONWELL_FUZZ_EXPORT(name) static ::tonwell::fuzz::Registration g_fuzzRegistration_##name(#name, Fuzz_##name);
#endif

#define TONWELL_FUZZ_TARGET(name)                                                                                      \
    int Fuzz_##name(const uint8_t* data, size_t size);                                                                 \
    TONWELL_FUZZ_EXPORT(name)                                                                                          \
    int Fuzz_##name(const uint8_t* data, size_t size)
