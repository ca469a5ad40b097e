// JPEG, PNG and PNM input of the host: ReadImage either gives an image whose rows are
// all addressable or throws ImageError.
#include "fuzz_target.h"
#include "imageio/Image.h"

#include <cstdio>
#include <cstdlib>

TONWELL_FUZZ_TARGET(imageio)
{
    FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!file) {
        if (size == 0)
            return 0; // fmemopen refuses an empty buffer; nothing to read
        std::abort();
    }
    try {
        tonwell::imageio::Image image = tonwell::imageio::ReadImage(file);
        // Touch the last byte of every row so that a short allocation shows.
        unsigned sum = 0;
        for (DWORD y = 0; y < image.height; ++y)
            sum += (image.width ? image.Row(y)[image.width * 3 - 1] : 0);
        if (image.alpha && image.width && image.height)
            sum += image.AlphaRow(image.height - 1)[image.width - 1];
        (void)sum;
    } catch (const tonwell::imageio::ImageError&) {
    }
    std::fclose(file);
    return 0;
}
