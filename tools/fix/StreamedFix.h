// The fix of an image too large to hold whole: read twice in bands of rows,
// once to measure and decide, once to correct and write. The engine's row API
// (CTonwellRows) takes the decision SetImage takes and applies the same table,
// so the output holds the bytes the component would have written for the
// whole image.
#pragma once

#include <windows.h>

#include "Tonwell.h"
#include "imageio/Image.h"

#include <cstdint>
#include <memory>
#include <string>

#include <sys/stat.h>

namespace tonwell::tools {

// The memory --memory-limit allows when it is not given: TONWELL_MEMORY_LIMIT
// when set (a SIZE as --memory-limit takes it), else a quarter of the
// machine's physical memory.
uint64_t DefaultMemoryLimit();

// A size in bytes: a whole number with an optional K, M or G suffix (powers
// of 1024, either case), at least 1. False for anything else or an overflow.
bool ParseMemorySize(const std::string& text, uint64_t* pBytes);

// The memory a whole-image fix of the image takes: its pixel buffers and what
// the decoder holds for the whole image.
uint64_t WholeImageBytes(const imageio::ImageInfo& info);

// Whether the image is fixed whole: it fits within budget and within the
// limits of a whole image in memory.
bool FixWhole(const imageio::ImageInfo& info, uint64_t budget);

// One input streamed. Used by one thread.
class StreamedFix {
public:
    // file: the input, open and positioned at the image, with reader opened
    // on it (the header read). Throws ImageError when even streaming cannot
    // stay within budget (a decoder that needs the whole image beyond it).
    StreamedFix(FILE* file, std::unique_ptr<imageio::RowReader> reader, double strength, uint64_t budget);

    const imageio::ImageInfo& Info() const { return m_info; }

    // First pass: every row through the histogram; then the decision. S_OK
    // when the image is to change, S_FALSE when not; a failure HRESULT from
    // the engine. Throws ImageError for a read failure.
    HRESULT Measure();

    // Second pass: reads the input again from the start, corrects each band and
    // writes it; reading and correcting run on a thread of their own, beside
    // the writing on the caller's. Throws ImageError, also when the input
    // changed since Measure.
    void Write(FILE* output, imageio::Format format, const imageio::WriteOptions& options);

private:
    FILE* m_file;
    std::unique_ptr<imageio::RowReader> m_reader;
    imageio::ImageInfo m_info;
    std::unique_ptr<CTonwellRows> m_engine;
    DWORD m_stride;
    DWORD m_bandRows;
    std::unique_ptr<BYTE[]> m_band;
    std::unique_ptr<BYTE[]> m_alpha;
    std::unique_ptr<BYTE[]> m_second; // the other band of the second pass, and its alpha
    std::unique_ptr<BYTE[]> m_secondAlpha;
    struct stat m_before {};
};

} // namespace tonwell::tools
