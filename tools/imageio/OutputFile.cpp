#include "imageio/OutputFile.h"

#include "imageio/Image.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tonwell::imageio {
namespace {

// Temporary files in progress, readable from a signal handler: a slot's path
// is written before the slot is marked ready and the mark is taken off
// before the slot is given back.
constexpr int kSlots = 512;
struct Slot {
    std::atomic<int> state{0}; // 0 free, 1 taken, 2 ready
    char path[PATH_MAX];
};
Slot g_slots[kSlots];

int RegisterTemp(const std::string& path)
{
    if (path.size() >= PATH_MAX)
        return -1;
    for (int i = 0; i < kSlots; ++i) {
        int expected = 0;
        if (g_slots[i].state.compare_exchange_strong(expected, 1)) {
            std::memcpy(g_slots[i].path, path.c_str(), path.size() + 1);
            g_slots[i].state.store(2);
            return i;
        }
    }
    return -1; // more outputs at once than slots: that one is merely not cleaned up on a signal
}

void UnregisterTemp(int slot)
{
    if (slot >= 0) {
        g_slots[slot].state.store(1);
        g_slots[slot].state.store(0);
    }
}

void OnSignal(int signal)
{
    for (Slot& slot : g_slots) {
        if (slot.state.load() == 2)
            unlink(slot.path);
    }
    std::signal(signal, SIG_DFL);
    raise(signal);
}

// The process's file creation mask, read without changing it: umask() can
// only be read by setting it, which would race with other threads.
mode_t CreationMask()
{
    static const mode_t mask = [] {
        mode_t value = 022;
        if (FILE* status = std::fopen("/proc/self/status", "r")) {
            char line[256];
            while (std::fgets(line, sizeof line, status)) {
                unsigned octal;
                if (std::sscanf(line, "Umask: %o", &octal) == 1) {
                    value = mode_t(octal);
                    break;
                }
            }
            std::fclose(status);
        }
        return value;
    }();
    return mask;
}

std::string Reason() { return std::strerror(errno); }

} // namespace

OutputFile::OutputFile(std::string target) : m_target(std::move(target))
{
    const size_t slash = m_target.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : m_target.substr(0, slash);
    std::string base = slash == std::string::npos ? m_target : m_target.substr(slash + 1);
    if (base.size() > 200)
        base.resize(200); // room for the prefix and suffix within a file name's 255 bytes
    std::string pattern = (slash == std::string::npos ? std::string() : m_target.substr(0, slash + 1)) + "." + base +
                          ".tonwell-XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0)
        throw ImageError("cannot create a file in '" + dir + "': " + Reason());
    m_tempPath = pattern;
    m_slot = RegisterTemp(m_tempPath);
    // mkstemp creates the file private to its owner; give it the mode any new file would have.
    fchmod(fd, 0666 & ~CreationMask());
    m_file = fdopen(fd, "wb");
    if (!m_file) {
        const std::string reason = Reason();
        close(fd);
        Discard();
        throw ImageError("cannot write '" + m_tempPath + "': " + reason);
    }
}

OutputFile::~OutputFile()
{
    if (!m_committed)
        Discard();
}

void OutputFile::Discard()
{
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    if (!m_tempPath.empty())
        unlink(m_tempPath.c_str());
    UnregisterTemp(m_slot);
    m_slot = -1;
}

void OutputFile::Commit()
{
    std::string failure;
    if (std::fflush(m_file) != 0 || std::ferror(m_file))
        failure = "write error: " + Reason();
    else if (fsync(fileno(m_file)) != 0 && errno != EINVAL && errno != EROFS)
        failure = "cannot flush to disk: " + Reason();
    const int closed = std::fclose(m_file);
    m_file = nullptr;
    if (failure.empty() && closed != 0)
        failure = "write error: " + Reason();
    if (failure.empty() && std::rename(m_tempPath.c_str(), m_target.c_str()) != 0)
        failure = "cannot replace '" + m_target + "': " + Reason();
    if (!failure.empty()) {
        Discard();
        throw ImageError(failure);
    }
    m_committed = true;
    UnregisterTemp(m_slot);
    m_slot = -1;
}

void CopyStream(FILE* from, FILE* to)
{
    char buffer[1 << 16];
    for (;;) {
        const size_t got = std::fread(buffer, 1, sizeof buffer, from);
        if (got && std::fwrite(buffer, 1, got, to) != got)
            throw ImageError("write error: " + Reason());
        if (got < sizeof buffer) {
            if (std::ferror(from))
                throw ImageError("read error: " + Reason());
            return;
        }
    }
}

void RemoveTemporaryFilesOnSignals()
{
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action = {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
    }
}

} // namespace tonwell::imageio
