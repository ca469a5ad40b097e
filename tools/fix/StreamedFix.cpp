#include "fix/StreamedFix.h"

#include "Tonwell.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace tonwell::tools {

using imageio::ImageError;
using imageio::ImageInfo;

namespace {

// Bands are kept small enough to stay in the processor's caches between the
// decoder, the engine and the encoder.
constexpr uint64_t kBandBytes = uint64_t(4) << 20;

DWORD RgbStride(DWORD width)
{
    return DWORD((uint64_t(width) * 3 + 3) & ~uint64_t(3));
}

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

std::string Mebibytes(uint64_t bytes)
{
    return std::to_string((bytes + (uint64_t(1) << 20) - 1) >> 20) + " MiB";
}

} // namespace

bool ParseMemorySize(const std::string& text, uint64_t* pBytes)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    uint64_t value = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value > (UINT64_MAX - 9) / 10)
            return false;
        value = value * 10 + uint64_t(text[i] - '0');
    }
    unsigned shift = 0;
    if (i < text.size()) {
        switch (text[i]) {
        case 'k': case 'K': shift = 10; break;
        case 'm': case 'M': shift = 20; break;
        case 'g': case 'G': shift = 30; break;
        default: return false;
        }
        if (++i != text.size())
            return false;
    }
    if (value == 0 || value > (UINT64_MAX >> shift))
        return false;
    *pBytes = value << shift;
    return true;
}

uint64_t DefaultMemoryLimit()
{
    if (const char* given = std::getenv("TONWELL_MEMORY_LIMIT")) {
        uint64_t bytes;
        if (ParseMemorySize(given, &bytes))
            return bytes;
    }
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return uint64_t(1) << 30;
    return uint64_t(pages) * uint64_t(pageSize) / 4;
}

uint64_t WholeImageBytes(const ImageInfo& info)
{
    return uint64_t(RgbStride(info.width)) * info.height + (info.alpha ? uint64_t(info.width) * info.height : 0) +
           info.wholeImageBytes;
}

bool FixWhole(const ImageInfo& info, uint64_t budget)
{
    return info.width <= imageio::kMaxDimension && info.height <= imageio::kMaxDimension &&
           uint64_t(info.width) * info.height <= imageio::kMaxPixels && WholeImageBytes(info) <= budget;
}

StreamedFix::StreamedFix(FILE* file, std::unique_ptr<imageio::RowReader> reader, double strength, uint64_t budget)
    : m_file(file), m_reader(std::move(reader)), m_info(m_reader->Info()), m_stride(RgbStride(m_info.width))
{
    if (m_info.wholeImageBytes > budget)
        throw ImageError(std::string(m_info.sourceFormat == imageio::Format::Png ? "an interlaced PNG"
                                                                                  : "a progressive JPEG") +
                         " is decoded whole: it needs " + Mebibytes(m_info.wholeImageBytes) +
                         ", more than the memory limit allows (" + Mebibytes(budget) + "); raise --memory-limit");
    const uint64_t rowBytes = uint64_t(m_stride) + (m_info.alpha ? m_info.width : 0);
    uint64_t room = (budget - m_info.wholeImageBytes) / 2;
    if (room > kBandBytes)
        room = kBandBytes;
    uint64_t rows = room / rowBytes;
    if (rows < 1)
        rows = 1;
    if (rows > m_info.height)
        rows = m_info.height;
    m_bandRows = DWORD(rows);
    m_band = std::make_unique_for_overwrite<BYTE[]>(size_t(m_stride) * m_bandRows);
    if (m_info.alpha)
        m_alpha = std::make_unique_for_overwrite<BYTE[]>(size_t(m_info.width) * m_bandRows);
    m_engine = std::make_unique<CTonwellRows>(m_info.width, 3);
    // As the component's SetImage: a strength the engine refuses leaves 1.0.
    m_engine->SetStrength(strength);
    if (fstat(fileno(file), &m_before) != 0)
        throw ImageError(std::string("cannot read: ") + std::strerror(errno));
}

HRESULT StreamedFix::Measure()
{
    for (DWORD y = 0; y < m_info.height; y += m_bandRows) {
        const DWORD rows = m_info.height - y < m_bandRows ? m_info.height - y : m_bandRows;
        m_reader->Read(m_band.get(), m_stride, m_alpha.get(), rows);
        const HRESULT hr = m_engine->AddRows(m_band.get(), rows, m_stride);
        if (FAILED(hr))
            return hr;
    }
    m_reader->Finish();
    m_reader.reset();
    ExposureDecision decision;
    const HRESULT hr = m_engine->Decide(&decision);
    if (FAILED(hr))
        return hr;
    return decision.correction == CorrectionNone ? S_FALSE : S_OK;
}

void StreamedFix::Write(FILE* output, imageio::Format format, const imageio::WriteOptions& options)
{
    if (std::fseek(m_file, 0, SEEK_SET) != 0)
        throw ImageError("cannot read the input again: it is not a seekable file");
    std::unique_ptr<imageio::RowReader> reader = imageio::OpenReader(m_file);
    const ImageInfo& again = reader->Info();
    if (again.width != m_info.width || again.height != m_info.height || again.alpha != m_info.alpha ||
        again.sourceFormat != m_info.sourceFormat)
        throw ImageError("the input changed while it was being fixed");
    const std::unique_ptr<imageio::RowWriter> writer = imageio::OpenWriter(output, m_info, format, options);
    for (DWORD y = 0; y < m_info.height; y += m_bandRows) {
        const DWORD rows = m_info.height - y < m_bandRows ? m_info.height - y : m_bandRows;
        reader->Read(m_band.get(), m_stride, m_alpha.get(), rows);
        const HRESULT hr = m_engine->ApplyRows(m_band.get(), rows, m_stride);
        if (FAILED(hr))
            throw ImageError("the exposure engine failed on a band of rows");
        writer->Write(m_band.get(), m_stride, m_alpha.get(), rows);
    }
    reader->Finish();
    writer->Finish();
    // What was measured must be what was corrected.
    struct stat after;
    if (fstat(fileno(m_file), &after) != 0 || !SameFile(m_before, after))
        throw ImageError("the input changed while it was being fixed");
}

} // namespace tonwell::tools
