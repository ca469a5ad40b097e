#include "imageio/OutputFile.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <set>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tonwell::imageio {
namespace {

constexpr char kTempMarker[] = ".tonwell-";
constexpr size_t kTempRandom = 6;

// Every step that gives a file a name or takes one away runs under this lock,
// and the hidden temporary names in existence are listed here. Once a signal
// has been taken the lock is never released again: no output gets a name
// after the clean-up. Never destroyed, since the signal thread may still use
// it while the process exits.
struct Names {
    std::mutex lock;
    std::set<std::string> temporary;
};
Names& TheNames()
{
    static Names* names = new Names;
    return *names;
}

std::string Reason(int error) { return std::strerror(error); }

// The process's file creation mask, read without changing it: umask() can
// only be read by setting it, which would race with other threads.
mode_t CreationMask()
{
    mode_t mask = 022;
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status)) {
            unsigned octal;
            if (std::sscanf(line, "Umask: %o", &octal) == 1) {
                mask = mode_t(octal);
                break;
            }
        }
        std::fclose(status);
    }
    return mask;
}

bool UnnamedFilesPossible()
{
#ifdef TONWELL_OUTPUT_NAMED_TEMPORARIES
    return false; // the fallback, built for its tests
#else
    // An unnamed file is linked into place through its /proc/self/fd entry.
    static const bool possible = access("/proc/self/fd", X_OK) == 0;
    return possible;
#endif
}

// ".NAME.tonwell-" with NAME cut to leave room for the marker within a file name's 255 bytes.
std::string TempPrefix(const std::string& target)
{
    const size_t slash = target.find_last_of('/');
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.size() > 200)
        base.resize(200);
    return (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + "." + base + kTempMarker;
}

std::string RandomSuffix()
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[kTempRandom];
    if (getrandom(bytes, sizeof bytes, 0) != ssize_t(sizeof bytes)) {
        static std::atomic<unsigned> counter{0};
        const unsigned seed = unsigned(getpid()) * 2654435761u + counter.fetch_add(1) * 40503u;
        for (size_t i = 0; i < sizeof bytes; ++i)
            bytes[i] = static_cast<unsigned char>(seed >> (i * 5));
    }
    std::string suffix;
    for (unsigned char b : bytes)
        suffix += kAlphabet[b % (sizeof kAlphabet - 1)];
    return suffix;
}

bool IsTempName(const char* name)
{
    const size_t length = std::strlen(name);
    const size_t marker = sizeof kTempMarker - 1;
    if (name[0] != '.' || length < 1 + marker + kTempRandom)
        return false;
    if (std::strncmp(name + length - kTempRandom - marker, kTempMarker, marker) != 0)
        return false;
    for (size_t i = length - kTempRandom; i < length; ++i) {
        const char c = name[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

// A replaced file's mode and, where the process may, its owner pass to the output.
void KeepModeOf(const std::string& target, int fd)
{
    struct stat old;
    if (lstat(target.c_str(), &old) != 0 || !S_ISREG(old.st_mode))
        return;
    mode_t mode = old.st_mode & 07777;
    struct stat mine;
    if (fstat(fd, &mine) == 0 && (mine.st_uid != old.st_uid || mine.st_gid != old.st_gid) &&
        fchown(fd, old.st_uid, old.st_gid) != 0)
        mode &= ~mode_t(S_ISUID | S_ISGID); // not the old owner's: no set-id bits for a file of ours
    fchmod(fd, mode);
}

// Moves a named temporary file to the target without replacing what is there.
int RenameNoReplace(const std::string& from, const std::string& to)
{
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // A file system without the flag: a hard link fails as well when the target exists.
    if (link(from.c_str(), to.c_str()) != 0)
        return errno;
    unlink(from.c_str());
    return 0;
}

} // namespace

OutputFile::OutputFile(std::string target, Existing existing) : m_target(std::move(target)), m_existing(existing)
{
    const size_t slash = m_target.find_last_of('/');
    m_dir = slash == std::string::npos ? "." : slash == 0 ? "/" : m_target.substr(0, slash);

    int fd = -1;
    if (UnnamedFilesPossible()) {
        fd = open(m_dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0)
            flock(fd, LOCK_EX | LOCK_NB); // before it can have a name
    }
    if (fd < 0) {
        // No unnamed files here: a hidden name, listed for the clean-up on a signal.
        Names& names = TheNames();
        std::lock_guard guard(names.lock);
        std::string pattern = TempPrefix(m_target) + std::string(kTempRandom, 'X');
        fd = mkostemp(pattern.data(), O_CLOEXEC);
        if (fd < 0)
            throw ImageError("cannot create a file in '" + m_dir + "': " + Reason(errno));
        flock(fd, LOCK_EX | LOCK_NB);
        m_tempPath = pattern;
        try {
            names.temporary.insert(m_tempPath);
        } catch (...) {
            unlink(m_tempPath.c_str());
            close(fd);
            throw;
        }
        // mkstemp creates the file private to its owner; give it the mode any new file would have.
        fchmod(fd, 0666 & ~CreationMask());
    }
    m_file = fdopen(fd, "wb");
    if (!m_file) {
        const int error = errno;
        close(fd);
        Discard();
        throw ImageError("cannot write a file in '" + m_dir + "': " + Reason(error));
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
    if (!m_tempPath.empty()) {
        Names& names = TheNames();
        std::lock_guard guard(names.lock);
        unlink(m_tempPath.c_str());
        names.temporary.erase(m_tempPath);
        m_tempPath.clear();
    }
}

void OutputFile::PutInPlace(int fd)
{
    Names& names = TheNames();
    std::lock_guard guard(names.lock);
    int error = 0;
    if (!m_tempPath.empty()) {
        if (m_existing == Existing::Keep)
            error = RenameNoReplace(m_tempPath, m_target);
        else if (std::rename(m_tempPath.c_str(), m_target.c_str()) != 0)
            error = errno;
        if (error == 0) {
            names.temporary.erase(m_tempPath);
            m_tempPath.clear();
        }
    } else {
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        if (m_existing == Existing::Keep) {
            // A link fails when the target exists: the check and the write are one step.
            if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, m_target.c_str(), AT_SYMLINK_FOLLOW) != 0)
                error = errno;
        } else {
            // A link cannot replace, so the file gets a hidden name and is renamed
            // over the target; under the lock, so a signal never finds that name.
            const std::string prefix = TempPrefix(m_target);
            std::string name;
            error = EEXIST;
            for (int attempt = 0; attempt < 16 && error == EEXIST; ++attempt) {
                name = prefix + RandomSuffix();
                error = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
            }
            if (error == 0 && std::rename(name.c_str(), m_target.c_str()) != 0) {
                error = errno;
                unlink(name.c_str());
            }
        }
    }
    if (error == EEXIST && m_existing == Existing::Keep)
        throw OutputExists("'" + m_target + "' exists");
    if (error != 0)
        throw ImageError("cannot replace '" + m_target + "': " + Reason(error));
}

void OutputFile::Commit()
{
    try {
        if (std::fflush(m_file) != 0 || std::ferror(m_file))
            throw ImageError("write error: " + Reason(errno));
        const int fd = fileno(m_file);
        if (m_existing == Existing::Replace)
            KeepModeOf(m_target, fd);
        if (fsync(fd) != 0 && errno != EINVAL && errno != EROFS)
            throw ImageError("cannot flush to disk: " + Reason(errno));
        PutInPlace(fd);
    } catch (...) {
        Discard();
        throw;
    }
    m_committed = true;
    // The data is on disk and in place: a late error in closing changes nothing.
    std::fclose(m_file);
    m_file = nullptr;
}

void CopyStream(FILE* from, FILE* to)
{
    char buffer[1 << 16];
    for (;;) {
        const size_t got = std::fread(buffer, 1, sizeof buffer, from);
        if (got && std::fwrite(buffer, 1, got, to) != got)
            throw ImageError("write error: " + Reason(errno));
        if (got < sizeof buffer) {
            if (std::ferror(from))
                throw ImageError("read error: " + Reason(errno));
            return;
        }
    }
}

size_t RemoveStaleTemporaryFiles(const std::string& dir)
{
    DIR* folder = opendir(dir.empty() ? "." : dir.c_str());
    if (!folder)
        return 0;
    const int dfd = dirfd(folder);
    size_t removed = 0;
    while (const dirent* entry = readdir(folder)) {
        if (!IsTempName(entry->d_name))
            continue;
        const int fd = openat(dfd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat held, named;
        // A live writer holds its lock; a file of another user is not ours to judge.
        if (fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && held.st_uid == geteuid() &&
            flock(fd, LOCK_EX | LOCK_NB) == 0 && fstatat(dfd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            named.st_dev == held.st_dev && named.st_ino == held.st_ino && unlinkat(dfd, entry->d_name, 0) == 0)
            ++removed;
        close(fd);
    }
    closedir(folder);
    return removed;
}

void StopOnSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&signals, signal);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread([signals] {
        int signal = 0;
        while (sigwait(&signals, &signal) != 0) {
        }
        // Taken for good: from here on no output is named or renamed.
        Names& names = TheNames();
        names.lock.lock();
        for (const std::string& path : names.temporary)
            unlink(path.c_str());
        // Die of the signal, as without this clean-up.
        std::signal(signal, SIG_DFL);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, signal);
        pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        raise(signal);
        _exit(128 + signal);
    }).detach();
}

} // namespace tonwell::imageio
