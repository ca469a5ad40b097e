// The .reg file parser of `tonwell reg import`: any file gives success or a message,
// and a failed import changes nothing.
#include "fuzz_target.h"
#include "private_root.h"
#include "reg/reg_file.h"

#include <cstdio>
#include <unistd.h>

TONWELL_FUZZ_TARGET(reg_file)
{
    tonwell::fuzz::EnsurePrivateRoot();
    static const std::string path = std::string(std::getenv("TONWELL_ROOT")) + "/input.reg";
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0)
        std::abort();
    std::string error;
    bool ok = tonwell::tools::reg::ImportFile(path, error);
    if (!ok && error.empty())
        std::abort(); // a failure must say why
    unlink(path.c_str());
    return 0;
}
