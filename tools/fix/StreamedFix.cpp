#include "fix/StreamedFix.h"

#include "Tonwell.h"

#include <cerrno>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
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
    // Two bands are in memory while the second pass runs, besides what the
    // decoder and the encoder hold.
    uint64_t room = (budget - m_info.wholeImageBytes) / 3;
    if (room > kBandBytes)
        room = kBandBytes;
    uint64_t rows = room / rowBytes;
    if (rows < 1)
        rows = 1;
    if (rows > m_info.height)
        rows = m_info.height;
    m_bandRows = DWORD(rows);
    m_band = std::make_unique_for_overwrite<BYTE[]>(size_t(m_stride) * m_bandRows);
    m_second = std::make_unique_for_overwrite<BYTE[]>(size_t(m_stride) * m_bandRows);
    if (m_info.alpha) {
        m_alpha = std::make_unique_for_overwrite<BYTE[]>(size_t(m_info.width) * m_bandRows);
        m_secondAlpha = std::make_unique_for_overwrite<BYTE[]>(size_t(m_info.width) * m_bandRows);
    }
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

    // Decoding and encoding take about as long as each other, so they overlap:
    // a thread of this pass decodes and corrects the next band into one buffer
    // while this thread encodes the band before from the other. The engine's
    // rows object passes to that thread here and is used by it alone.
    struct Slot {
        BYTE* rgb;
        BYTE* alpha;
        DWORD rows;
        bool full;
    };
    Slot slots[2] = {{m_band.get(), m_alpha.get(), 0, false}, {m_second.get(), m_secondAlpha.get(), 0, false}};
    std::mutex lock;
    std::condition_variable changed;
    bool stop = false;
    std::exception_ptr failure;
    const DWORD height = m_info.height;
    const DWORD bandRows = m_bandRows;

    std::thread producer([&] {
        try {
            int k = 0;
            for (DWORD y = 0; y < height; y += bandRows, k ^= 1) {
                {
                    std::unique_lock<std::mutex> guard(lock);
                    changed.wait(guard, [&] { return !slots[k].full || stop; });
                    if (stop)
                        return;
                }
                const DWORD rows = height - y < bandRows ? height - y : bandRows;
                reader->Read(slots[k].rgb, m_stride, slots[k].alpha, rows);
                if (FAILED(m_engine->ApplyRows(slots[k].rgb, rows, m_stride)))
                    throw ImageError("the exposure engine failed on a band of rows");
                {
                    std::lock_guard<std::mutex> guard(lock);
                    slots[k].rows = rows;
                    slots[k].full = true;
                }
                changed.notify_all();
            }
            reader->Finish();
        } catch (...) {
            std::lock_guard<std::mutex> guard(lock);
            failure = std::current_exception();
            stop = true;
            changed.notify_all();
        }
    });
    const auto halt = [&] {
        {
            std::lock_guard<std::mutex> guard(lock);
            stop = true;
        }
        changed.notify_all();
        producer.join();
    };

    try {
        int k = 0;
        for (DWORD y = 0; y < height; y += bandRows, k ^= 1) {
            {
                std::unique_lock<std::mutex> guard(lock);
                changed.wait(guard, [&] { return slots[k].full || stop; });
                if (!slots[k].full)
                    break; // the reading side failed
            }
            writer->Write(slots[k].rgb, m_stride, slots[k].alpha, slots[k].rows);
            {
                std::lock_guard<std::mutex> guard(lock);
                slots[k].full = false;
            }
            changed.notify_all();
        }
    } catch (...) {
        halt();
        throw;
    }
    producer.join();
    if (failure)
        std::rethrow_exception(failure);
    writer->Finish();
    // What was measured must be what was corrected.
    struct stat after;
    if (fstat(fileno(m_file), &after) != 0 || !SameFile(m_before, after))
        throw ImageError("the input changed while it was being fixed");
}

} // namespace tonwell::tools
