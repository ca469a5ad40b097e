// Mutexes. The lock itself is a robust, recursive pthread mutex: robust so that
// a thread or process that ends holding it leaves it to the next waiter marked
// abandoned, recursive so that the owning thread can take it again.
//
// A named mutex lives in a one-page file under <machine root>/objects/mutex/
// <namespace>/, mapped by every process that has it open. Who has it open is
// kept by open-file-description locks on the file, which the system drops
// when a handle's descriptor closes, also when its process is killed:
//  - byte 0, the guard, is held exclusively while a handle is being created,
//    opened or closed, so those never interleave;
//  - byte 1 is held shared by every open handle. Whoever can take it
//    exclusively under the guard is alone: a creator then (re)initialises the
//    object, a closer removes the name.
// A file whose last opener died without closing is left behind but holds no
// locks, so the next creator finds itself alone and starts afresh: to every
// caller the name went away with its last handle.
#include "boundary.h"
#include "text/ansi.h"
#include "text/utf.h"
#include "descriptor_mode.h"
#include "fault.h"
#include "handles.h"
#include "ofd_lock.h"
#include "paths.h"

#include <winbase.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <new>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace tonwell::platform::kernel {

namespace {

constexpr uint32_t kMagic = 0x584D5754; // "TWMX"
constexpr uint32_t kLayoutVersion = 1;
constexpr off_t kGuardByte = 0;
constexpr off_t kOpenerByte = 1;
constexpr size_t kBlockSize = 4096;
constexpr size_t kNameBytes = 1024;

struct SharedMutexBlock {
    uint32_t magic;
    uint32_t version;
    uint64_t generation; // tells a re-created object from the one before it
    pthread_mutex_t mutex;
    uint32_t nameLength;
    char name[kNameBytes];
};
static_assert(sizeof(SharedMutexBlock) <= kBlockSize);

// The mapping of a mutex keeps the open file it was made from alive after its
// descriptor closes, locks and all: a handle gives up its locks explicitly.
void CloseObjectFile(int fd)
{
    SetOfdLock(fd, F_UNLCK, kOpenerByte, false);
    SetOfdLock(fd, F_UNLCK, kGuardByte, false);
    close(fd);
}

// One per mutex per process, shared by the process's handles to it. `held`
// counts this process's acquisitions not yet released: while it is not zero a
// thread here may own the pthread mutex, whose robust list then points into
// the memory, so the memory must stay.
struct MutexState {
    pthread_mutex_t* mutex = nullptr;
    void* memory = nullptr;
    bool mapped = false;
    std::atomic<int64_t> held{0};
    int handles = 0;
    std::tuple<dev_t, ino_t, uint64_t> key{};
};

std::mutex g_statesLock;
std::map<std::tuple<dev_t, ino_t, uint64_t>, MutexState*>& States()
{
    static auto* states = new std::map<std::tuple<dev_t, ino_t, uint64_t>, MutexState*>;
    return *states;
}

void ReleaseState(MutexState* state)
{
    std::lock_guard lock(g_statesLock);
    if (--state->handles > 0 || state->held.load() != 0)
        return; // still used, or owned by a thread here: keep it
    if (state->mapped) {
        States().erase(state->key);
        munmap(state->memory, kBlockSize);
    } else {
        pthread_mutex_destroy(state->mutex);
        ::operator delete(state->memory, std::align_val_t{alignof(pthread_mutex_t)});
    }
    delete state;
}

int InitPthreadMutex(pthread_mutex_t* mutex, bool shared)
{
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc != 0)
        return rc;
    rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    if (rc == 0)
        rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    if (rc == 0 && shared)
        rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    if (rc == 0)
        rc = pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc;
}

uint64_t NewGeneration()
{
    uint64_t value = 0;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) != sizeof value) {
        static std::atomic<uint64_t> counter{0};
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        value = (uint64_t(ts.tv_sec) << 32) ^ uint64_t(ts.tv_nsec) ^ (uint64_t(getpid()) << 16) ^ ++counter;
    }
    return value ? value : 1;
}

class MutexObject final : public KernelObject {
public:
    static constexpr ObjectKind kKind = ObjectKind::Mutex;

    MutexObject(MutexState* state, int fd, std::string path)
        : m_state(state), m_fd(fd), m_path(std::move(path)), m_pid(getpid())
    {
    }

    ~MutexObject() override
    {
        if (m_fd >= 0) {
            // A handle inherited across fork shares its lock with the parent,
            // which still counts as an opener: only the opening process may
            // remove the name.
            if (m_pid == getpid() && SetOfdLock(m_fd, F_WRLCK, kGuardByte, true) == 0 &&
                SetOfdLock(m_fd, F_WRLCK, kOpenerByte, false) == 0 && StillLinked(m_fd, m_path.c_str()))
                unlink(m_path.c_str());
            CloseObjectFile(m_fd);
        }
        ReleaseState(m_state);
    }

    ObjectKind Kind() const override { return kKind; }
    MutexState* State() const { return m_state; }

private:
    MutexState* m_state;
    int m_fd;
    std::string m_path;
    pid_t m_pid;
};

struct MutexName {
    std::string canonical; // "<namespace>\\<name>", recorded in the object
    std::string folder;  // "Global" or "Local"
    std::string file;    // the object's file name
};

std::string EncodeFileName(const std::string& utf8)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : utf8) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
                     c == '-' || (c == '.' && !out.empty());
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    // File names stop at 255 bytes: a long name keeps a readable head and a
    // hash of the whole; the name stored in the object settles collisions.
    if (out.size() > 200) {
        size_t cut = 150;
        while (cut > 0 && (out[cut - 1] == '%' || (cut > 1 && out[cut - 2] == '%')))
            --cut;
        uint64_t hash = 1469598103934665603ull;
        for (unsigned char c : utf8)
            hash = (hash ^ c) * 1099511628211ull;
        char tail[18];
        snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(hash));
        out.resize(cut);
        out += tail;
    }
    return out;
}

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char16_t a = text[i], b = prefix[i];
        if (a >= u'a' && a <= u'z')
            a = static_cast<char16_t>(a - 32);
        if (b >= u'a' && b <= u'z')
            b = static_cast<char16_t>(b - 32);
        if (a != b)
            return false;
    }
    return true;
}

bool ParseName(std::u16string_view name, MutexName& out, DWORD& error)
{
    if (name.size() >= MAX_PATH) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    out.folder = "Local";
    if (StartsWithNoCase(name, u"Global\\")) {
        out.folder = "Global";
        name.remove_prefix(7);
    } else if (StartsWithNoCase(name, u"Local\\")) {
        name.remove_prefix(6);
    }
    if (name.empty()) {
        error = ERROR_INVALID_NAME;
        return false;
    }
    if (name.find(u'\\') != std::u16string_view::npos) {
        error = ERROR_PATH_NOT_FOUND; // no such object directory
        return false;
    }
    std::string utf8;
    if (!text::Utf16ToUtf8(name, utf8, text::Invalid::Refuse)) {
        error = ERROR_INVALID_NAME;
        return false;
    }
    out.file = EncodeFileName(utf8);
    out.canonical = out.folder + "\\" + utf8;
    if (out.canonical.size() > kNameBytes) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    return true;
}

// Registers the process's view of the object open on `fd`, mapping it unless
// another handle here already did.
MutexState* AttachState(int fd, uint64_t generation, DWORD& error)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        error = ErrorFromErrno(errno);
        return nullptr;
    }
    auto key = std::make_tuple(st.st_dev, st.st_ino, generation);
    std::lock_guard lock(g_statesLock);
    auto& states = States();
    if (auto it = states.find(key); it != states.end()) {
        ++it->second->handles;
        return it->second;
    }
    void* memory = mmap(nullptr, kBlockSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) {
        error = ErrorFromErrno(errno);
        return nullptr;
    }
    auto* state = new (std::nothrow) MutexState;
    if (!state) {
        munmap(memory, kBlockSize);
        error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    state->memory = memory;
    state->mapped = true;
    state->mutex = &static_cast<SharedMutexBlock*>(memory)->mutex;
    state->handles = 1;
    state->key = key;
    try {
        states.emplace(key, state);
    } catch (const std::bad_alloc&) {
        munmap(memory, kBlockSize);
        delete state;
        error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    return state;
}

// Lays out a fresh object in the file; the caller holds the guard and is alone.
bool InitialiseObject(int fd, const MutexName& name, uint64_t& generation, DWORD& error)
{
    const std::string& utf8 = name.canonical;
    if (ftruncate(fd, 0) != 0 || ftruncate(fd, kBlockSize) != 0) {
        error = ErrorFromErrno(errno);
        return false;
    }
    void* memory = mmap(nullptr, kBlockSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) {
        error = ErrorFromErrno(errno);
        return false;
    }
    auto* block = static_cast<SharedMutexBlock*>(memory);
    int rc = InitPthreadMutex(&block->mutex, true);
    if (rc == 0) {
        generation = NewGeneration();
        block->version = kLayoutVersion;
        block->generation = generation;
        block->nameLength = static_cast<uint32_t>(utf8.size());
        std::memcpy(block->name, utf8.data(), utf8.size());
        __atomic_store_n(&block->magic, kMagic, __ATOMIC_RELEASE);
    }
    munmap(memory, kBlockSize);
    if (rc != 0) {
        error = ErrorFromErrno(rc);
        return false;
    }
    return true;
}

// Reads and checks the header of an object that others hold open.
bool ReadExistingObject(int fd, const MutexName& name, uint64_t& generation, DWORD& error)
{
    SharedMutexBlock block;
    const std::string& utf8 = name.canonical;
    if (pread(fd, &block, sizeof block, 0) != static_cast<ssize_t>(sizeof block) || block.magic != kMagic ||
        block.version != kLayoutVersion || block.nameLength != utf8.size() ||
        std::memcmp(block.name, utf8.data(), utf8.size()) != 0) {
        // Not a mutex of ours by that name: the platform's answer for a name
        // taken by another kind of object.
        error = ERROR_INVALID_HANDLE;
        return false;
    }
    generation = block.generation;
    return true;
}

DWORD Acquire(MutexState* state, DWORD milliseconds);


HANDLE OpenNamedMutex(const SECURITY_ATTRIBUTES* attributes, bool initialOwner, const MutexName& name, bool create,
                      bool& existed, DWORD& error)
{
    mode_t mode = 0600;
    bool explicitMode = false;
    if (create && !PosixModeFromDescriptor(attributes, ModeTarget::NamedObject, mode, explicitMode)) {
        error = ERROR_INVALID_SECURITY_DESCR;
        return nullptr;
    }
    std::string folder;
    if (!ObjectsFolder("mutex/" + name.folder, folder, error))
        return nullptr;
    std::string path = folder + "/" + name.file;

    for (int attempt = 0; attempt < 100; ++attempt) {
        // Created owner-only; a descriptor's wider permissions are set once
        // this process knows it is the creator.
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0), 0600);
        if (fd < 0) {
            error = (errno == ENOENT && !create) ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(errno);
            if (errno == ELOOP)
                error = ERROR_INVALID_HANDLE;
            return nullptr;
        }
        auto fail = [&](DWORD code) {
            CloseObjectFile(fd);
            error = code;
            return nullptr;
        };
        if (int rc = SetOfdLock(fd, F_WRLCK, kGuardByte, true); rc != 0)
            return fail(ErrorFromErrno(rc));
        if (!StillLinked(fd, path.c_str())) {
            CloseObjectFile(fd); // its last opener removed it meanwhile
            continue;
        }
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)
            return fail(ERROR_INVALID_HANDLE);
        bool sized = st.st_size >= static_cast<off_t>(kBlockSize);

        uint64_t generation = 0;
        bool alone = SetOfdLock(fd, F_WRLCK, kOpenerByte, false) == 0;
        if (alone && !create) {
            unlink(path.c_str()); // left by a process that died: nobody has it open
            return fail(ERROR_FILE_NOT_FOUND);
        }
        if (alone) {
            if (explicitMode && fchmod(fd, mode) != 0 && errno != EPERM)
                return fail(ErrorFromErrno(errno));
            if (!InitialiseObject(fd, name, generation, error))
                return fail(error);
        } else {
            if (SetOfdLock(fd, F_RDLCK, kOpenerByte, false) != 0)
                return fail(ERROR_GEN_FAILURE);
            if (!sized || !ReadExistingObject(fd, name, generation, error))
                return fail(ERROR_INVALID_HANDLE);
        }
        MutexState* state = nullptr;
        try {
            state = AttachState(fd, generation, error);
        } catch (...) {
            CloseObjectFile(fd); // never leave the guard held: every later open would wait on it
            throw;
        }
        if (!state)
            return fail(error);
        std::shared_ptr<MutexObject> object;
        try {
            object = std::make_shared<MutexObject>(state, fd, path);
        } catch (const std::bad_alloc&) {
            ReleaseState(state);
            return fail(ERROR_NOT_ENOUGH_MEMORY);
        }
        if (alone) {
            if (initialOwner)
                Acquire(state, 0);
            SetOfdLock(fd, F_RDLCK, kOpenerByte, false); // now one opener among others
        }
        SetOfdLock(fd, F_UNLCK, kGuardByte, false);
        existed = !alone;
        HANDLE handle = InsertHandle(object);
        if (!handle) {
            if (alone && initialOwner) {
                pthread_mutex_unlock(state->mutex);
                --state->held;
            }
            error = ERROR_NOT_ENOUGH_MEMORY;
        }
        return handle;
    }
    error = ERROR_GEN_FAILURE;
    return nullptr;
}

HANDLE CreateAnonymousMutex(bool initialOwner, DWORD& error)
{
    void* memory = ::operator new(sizeof(pthread_mutex_t), std::align_val_t{alignof(pthread_mutex_t)}, std::nothrow);
    auto* state = new (std::nothrow) MutexState;
    if (!memory || !state) {
        ::operator delete(memory, std::align_val_t{alignof(pthread_mutex_t)});
        delete state;
        error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    state->memory = memory;
    state->mutex = static_cast<pthread_mutex_t*>(memory);
    state->handles = 1;
    if (int rc = InitPthreadMutex(state->mutex, false); rc != 0) {
        ::operator delete(memory, std::align_val_t{alignof(pthread_mutex_t)});
        delete state;
        error = ErrorFromErrno(rc);
        return nullptr;
    }
    std::shared_ptr<MutexObject> object;
    try {
        object = std::make_shared<MutexObject>(state, -1, std::string());
    } catch (const std::bad_alloc&) {
        ReleaseState(state);
        error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    if (initialOwner)
        Acquire(state, 0);
    HANDLE handle = InsertHandle(object);
    if (!handle)
        error = ERROR_NOT_ENOUGH_MEMORY;
    return handle;
}

DWORD Acquire(MutexState* state, DWORD milliseconds)
{
    int rc;
    if (milliseconds == INFINITE) {
        rc = pthread_mutex_lock(state->mutex);
    } else if (milliseconds == 0) {
        rc = pthread_mutex_trylock(state->mutex);
    } else {
        timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += milliseconds / 1000;
        deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_nsec -= 1000000000L;
            ++deadline.tv_sec;
        }
#if defined(__SANITIZE_THREAD__)
        // ThreadSanitizer does not intercept pthread_mutex_clocklock: tell it of the lock, or it
        // takes the matching unlock for a fault and misses what the lock orders.
        __tsan_mutex_pre_lock(state->mutex, __tsan_mutex_try_lock);
        rc = pthread_mutex_clocklock(state->mutex, CLOCK_MONOTONIC, &deadline);
        __tsan_mutex_post_lock(state->mutex,
                               __tsan_mutex_try_lock | (rc == 0 || rc == EOWNERDEAD ? 0 : __tsan_mutex_try_lock_failed),
                               0);
#else
        rc = pthread_mutex_clocklock(state->mutex, CLOCK_MONOTONIC, &deadline);
#endif
    }
    switch (rc) {
    case 0:
        ++state->held;
        return WAIT_OBJECT_0;
    case EOWNERDEAD:
        // The owner ended holding it; the caller now owns it, and the
        // mutex stays usable for everyone after it.
        // It has one owner at a time: whatever this process counted for the
        // dead owner is void, and the count is the new owner's one acquisition.
        pthread_mutex_consistent(state->mutex);
        state->held.store(1);
        return WAIT_ABANDONED;
    case EBUSY:
    case ETIMEDOUT:
        return WAIT_TIMEOUT;
    case EAGAIN: // recursion count exhausted
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return WAIT_FAILED;
    default:
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
}

HANDLE CreateMutexImpl(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, const char16_t* name, bool create)
{
    DWORD error = ERROR_SUCCESS;
    bool existed = false;
    HANDLE handle = nullptr;
    if (create && InjectFault(TONWELL_FAULT_MUTEX)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (!name || !*name) {
        if (!create) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        mode_t mode;
        bool explicitMode;
        if (!PosixModeFromDescriptor(attributes, ModeTarget::NamedObject, mode, explicitMode))
            error = ERROR_INVALID_SECURITY_DESCR;
        else
            handle = CreateAnonymousMutex(initialOwner != FALSE, error);
    } else {
        MutexName parsed;
        if (ParseName(name, parsed, error))
            handle = OpenNamedMutex(attributes, initialOwner != FALSE, parsed, create, existed, error);
    }
    if (!handle) {
        SetLastError(error);
        return nullptr;
    }
    SetLastError(existed && create ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

} // namespace
} // namespace tonwell::platform::kernel

using namespace tonwell::platform::kernel;
using tonwell::platform::GuardLastError;
using tonwell::platform::text::CallWide;

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName)
{
    return GuardLastError(HANDLE(nullptr),
                          [&] { return CreateMutexImpl(lpMutexAttributes, bInitialOwner, lpName, true); });
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName)
{
    return CallWide(HANDLE(nullptr), lpName,
                    [&](LPCWSTR name) { return CreateMutexW(lpMutexAttributes, bInitialOwner, name); });
}

HANDLE WINAPI OpenMutexW(DWORD, BOOL, LPCWSTR lpName)
{
    return GuardLastError(HANDLE(nullptr), [&] { return CreateMutexImpl(nullptr, FALSE, lpName, false); });
}

HANDLE WINAPI OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName)
{
    return CallWide(HANDLE(nullptr), lpName,
                    [&](LPCWSTR name) { return OpenMutexW(dwDesiredAccess, bInheritHandle, name); });
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex)
{
    std::shared_ptr<MutexObject> object = LookupHandleAs<MutexObject>(hMutex);
    if (!object)
        return FALSE;
    MutexState* state = object->State();
    if (pthread_mutex_unlock(state->mutex) != 0) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    --state->held;
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    std::shared_ptr<KernelObject> object = LookupHandle(hHandle);
    if (!object)
        return WAIT_FAILED;
    if (object->Kind() != ObjectKind::Mutex)
        return WAIT_OBJECT_0; // synchronous file handles are always signalled
    return Acquire(static_cast<MutexObject*>(object.get())->State(), dwMilliseconds);
}
