// Helpers for the host tests: images made in memory, files, and running the
// `tonwell` binary with its output captured.
#pragma once

#include <gtest/gtest.h>

#include "imageio/Image.h"
#include "imageio/OutputFile.h"
#include "run_tool.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace tonwell::test {

namespace fs = std::filesystem;
using imageio::Format;
using imageio::Image;

// An image whose RGB value at (x, y) comes from fill.
inline Image MakeImage(DWORD width, DWORD height, const std::function<void(DWORD, DWORD, BYTE*)>& fill,
                       bool grayscale = false)
{
    Image image;
    imageio::AllocatePixels(image, width, height, false);
    image.grayscale = grayscale;
    image.sourceFormat = Format::Ppm;
    for (DWORD y = 0; y < height; ++y)
        for (DWORD x = 0; x < width; ++x)
            fill(x, y, image.Row(y) + 3 * x);
    return image;
}

inline Image MakeGray(DWORD width, DWORD height, BYTE value, bool grayscale = false)
{
    return MakeImage(
        width, height, [value](DWORD, DWORD, BYTE* p) { p[0] = p[1] = p[2] = value; }, grayscale);
}

// A photo-like pattern: smooth gradients with some texture.
inline Image MakePattern(DWORD width, DWORD height, bool grayscale = false)
{
    return MakeImage(
        width, height,
        [&](DWORD x, DWORD y, BYTE* p) {
            const DWORD v = (x * 255 / (width ? width : 1) + y * 3 + ((x * 7 + y * 13) % 17)) % 256;
            p[0] = BYTE(v);
            p[1] = grayscale ? BYTE(v) : BYTE((v + 40 + y) % 256);
            p[2] = grayscale ? BYTE(v) : BYTE((255 - v + x) % 256);
        },
        grayscale);
}

inline void WriteImageFile(const fs::path& path, const Image& image, Format format, int quality = 90)
{
    imageio::OutputFile out(path.string());
    imageio::WriteImage(out.Stream(), image, format, imageio::WriteOptions{quality});
    out.Commit();
}

inline std::string ReadBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void WriteBytes(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// A file written and then held under a lock (flock), as a live writer holds
// its temporary file, until destroyed.
class LockedFile {
public:
    LockedFile(const fs::path& path, const std::string& bytes)
    {
        WriteBytes(path, bytes);
        m_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        m_locked = m_fd >= 0 && flock(m_fd, LOCK_EX) == 0;
    }
    ~LockedFile()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;
    bool Locked() const { return m_locked; }

private:
    int m_fd = -1;
    bool m_locked = false;
};

// The files in a folder, by name (hidden ones included), sorted.
inline std::vector<std::string> ListFolder(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

inline fs::path SourceDir()
{
    const char* dir = std::getenv("TONWELL_SOURCE_DIR");
    return dir ? fs::path(dir) : fs::path(TONWELL_TEST_SOURCE_DIR);
}

struct RunResult {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs `tonwell ARGS...` in dir, optionally after a shell prefix such as "ulimit -f 4;".
inline RunResult RunTonwell(const fs::path& dir, const std::vector<std::string>& args, const std::string& prefix = "")
{
    const char* build = std::getenv("TONWELL_BUILD_DIR");
    const fs::path binary = fs::path(build ? build : TONWELL_TEST_BUILD_DIR) / "bin" / "tonwell";
    const fs::path outFile = dir / ".run-stdout";
    const fs::path errFile = dir / ".run-stderr";
    std::string command = "cd " + ShellQuote(dir.string()) + " && " + prefix + " " + ShellQuote(binary.string());
    for (const auto& arg : args)
        command += " " + ShellQuote(arg);
    command += " >" + ShellQuote(outFile.string()) + " 2>" + ShellQuote(errFile.string()) + " </dev/null";
    const int raw = std::system(command.c_str());
    RunResult result;
    if (raw != -1)
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    result.out = ReadBytes(outFile);
    result.err = ReadBytes(errFile);
    fs::remove(outFile);
    fs::remove(errFile);
    return result;
}

inline size_t CountLines(const std::string& text)
{
    return size_t(std::count(text.begin(), text.end(), '\n'));
}

} // namespace tonwell::test
