// FindResource, LoadResource and the data-file form of LoadLibraryEx; see
// module/resources.h for how handles and lifetimes work.
#include "module/resources.h"

#include "boundary.h"
#include "kernel/paths.h"
#include "module/elf_section.h"
#include "module/resource_table.h"
#include "text/utf.h"

#include <errhandlingapi.h>
#include <libloaderapi.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>

namespace tonwell::platform::module {

namespace {

// What a module's resources came to: ERROR_SUCCESS with a table, or the reason there is none
// (ERROR_RESOURCE_DATA_NOT_FOUND: no resource section; ERROR_INVALID_DATA: a malformed one).
struct ModuleResources {
    DWORD status = ERROR_RESOURCE_DATA_NOT_FOUND;
    ResourceTable table;
    std::string path;
};

class FileSource final : public ByteSource {
public:
    FileSource(int fd, uint64_t size) : m_fd(fd), m_size(size) {}
    uint64_t Size() const override { return m_size; }
    bool Read(uint64_t offset, size_t size, void* out) const override
    {
        if (offset > m_size || size > m_size - offset)
            return false;
        auto* p = static_cast<char*>(out);
        while (size > 0) {
            ssize_t n = pread(m_fd, p, size, off_t(offset));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) { // an error, or the file shrank under us
                m_errno = n < 0 ? errno : 0;
                return false;
            }
            p += n;
            size -= size_t(n);
            offset += uint64_t(n);
        }
        return true;
    }
    int LastErrno() const { return m_errno; }

private:
    int m_fd;
    uint64_t m_size;
    mutable int m_errno = 0;
};

// Reads the resources of the module file at path into out. The result is the
// file's own failure (it cannot be opened, or is not a module); a module
// without sound resources succeeds with out.status saying why.
DWORD ReadModuleFile(const std::string& path, ModuleResources& out)
{
    out.path = path;
    // Non-blocking, so that a FIFO planted under a module's name cannot hang the open.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        int err = errno;
        return err == ENOENT ? kernel::NotFoundError(path) : kernel::ErrorFromErrno(err);
    }
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return kernel::ErrorFromErrno(errno);
    if (S_ISDIR(st.st_mode))
        return ERROR_ACCESS_DENIED;
    if (!S_ISREG(st.st_mode))
        return ERROR_BAD_EXE_FORMAT;

    FileSource source(fd, uint64_t(st.st_size));
    std::vector<uint8_t> bytes;
    switch (ReadElfSection(source, kResourceSectionName, bytes)) {
    case SectionStatus::NotModule:
        return ERROR_BAD_EXE_FORMAT;
    case SectionStatus::ReadError:
        return source.LastErrno() ? kernel::ErrorFromErrno(source.LastErrno()) : ERROR_BAD_EXE_FORMAT;
    case SectionStatus::NoSection:
        out.status = ERROR_RESOURCE_DATA_NOT_FOUND;
        return ERROR_SUCCESS;
    case SectionStatus::Found:
        out.status = out.table.Parse(std::move(bytes)) ? ERROR_SUCCESS : ERROR_INVALID_DATA;
        return ERROR_SUCCESS;
    }
    return ERROR_BAD_EXE_FORMAT;
}

struct State {
    std::mutex lock;
    std::map<uintptr_t, std::shared_ptr<ModuleResources>> dataFiles; // by untagged handle
    std::map<uintptr_t, std::shared_ptr<ModuleResources>> loaded;    // by load base
};

State& TheState()
{
    // Never destroyed: modules may look up resources from their own destructors at exit.
    static State* state = new State;
    return *state;
}

std::shared_ptr<const ModuleResources> ResourcesOfLoaded(uintptr_t base, DWORD& error)
{
    if (!IsLoadedModule(base)) {
        error = ERROR_MOD_NOT_FOUND;
        return nullptr;
    }
    std::string path = LoadedModulePath(base);
    if (path.empty()) { // the vDSO and the like have no file
        error = ERROR_RESOURCE_DATA_NOT_FOUND;
        return nullptr;
    }
    State& s = TheState();
    {
        std::lock_guard guard(s.lock);
        auto it = s.loaded.find(base);
        // Another path at the same base: that module went away without FreeLibrary.
        if (it != s.loaded.end() && it->second->path == path)
            return it->second;
    }
    // The file is read without the lock; two first readers race harmlessly and the first one kept wins.
    auto fresh = std::make_shared<ModuleResources>();
    error = ReadModuleFile(path, *fresh);
    if (error != ERROR_SUCCESS)
        return nullptr;
    std::lock_guard guard(s.lock);
    auto& slot = s.loaded[base];
    if (!slot || slot->path != path)
        slot = std::move(fresh);
    return slot;
}

std::shared_ptr<const ModuleResources> ResourcesOf(HMODULE hModule, DWORD& error)
{
    auto value = reinterpret_cast<uintptr_t>(hModule);
    if (value & kDataFileTagMask) {
        State& s = TheState();
        std::lock_guard guard(s.lock);
        auto it = s.dataFiles.find(value & ~kDataFileTagMask);
        if (it == s.dataFiles.end()) {
            error = ERROR_MOD_NOT_FOUND;
            return nullptr;
        }
        return it->second;
    }
    return ResourcesOfLoaded(value ? value : ProgramBase(), error);
}

// The entry hResInfo names, when it is one of that module's.
const ResourceEntry* EntryOf(const ModuleResources& resources, HRSRC hResInfo)
{
    const auto& entries = resources.table.Entries();
    auto at = reinterpret_cast<uintptr_t>(hResInfo);
    auto first = reinterpret_cast<uintptr_t>(entries.data());
    if (entries.empty() || at < first)
        return nullptr;
    uintptr_t offset = at - first;
    if (offset % sizeof(ResourceEntry) != 0 || offset / sizeof(ResourceEntry) >= entries.size())
        return nullptr;
    return &entries[offset / sizeof(ResourceEntry)];
}

ResourceKey KeyOf(LPCWSTR id)
{
    if (IS_INTRESOURCE(id))
        return ResourceKey::Number(WORD(reinterpret_cast<uintptr_t>(id)));
    return ResourceKey::FromText(id);
}

HRSRC Find(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD wLanguage)
{
    // MAKEINTRESOURCE(0) is the null pointer: no resource has that number.
    if (!lpType || !lpName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DWORD error = ERROR_SUCCESS;
    auto resources = ResourcesOf(hModule, error);
    if (!resources) {
        SetLastError(error);
        return nullptr;
    }
    if (resources->status != ERROR_SUCCESS) {
        SetLastError(resources->status);
        return nullptr;
    }
    const ResourceEntry* entry = nullptr;
    switch (resources->table.Find(KeyOf(lpType), KeyOf(lpName), wLanguage, &entry)) {
    case ResourceTable::Result::Found:
        return reinterpret_cast<HRSRC>(const_cast<ResourceEntry*>(entry));
    case ResourceTable::Result::TypeNotFound:
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        break;
    case ResourceTable::Result::NameNotFound:
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        break;
    case ResourceTable::Result::LanguageNotFound:
        SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
        break;
    }
    return nullptr;
}

// Runs body on the module's entry for hResInfo, or fails with the last error set.
template <typename T, typename F>
T WithEntry(HMODULE hModule, HRSRC hResInfo, T onFailure, F&& body)
{
    if (!hResInfo) {
        SetLastError(ERROR_INVALID_HANDLE);
        return onFailure;
    }
    DWORD error = ERROR_SUCCESS;
    auto resources = ResourcesOf(hModule, error);
    if (!resources) {
        SetLastError(error);
        return onFailure;
    }
    const ResourceEntry* entry = resources->status == ERROR_SUCCESS ? EntryOf(*resources, hResInfo) : nullptr;
    if (!entry) { // not one of this module's
        SetLastError(ERROR_INVALID_HANDLE);
        return onFailure;
    }
    return body(*resources, *entry);
}

} // namespace

HMODULE OpenDataFile(const std::string& posixPath, DWORD dwFlags, DWORD& error)
{
    auto resources = std::make_shared<ModuleResources>();
    error = ReadModuleFile(posixPath, *resources);
    if (error != ERROR_SUCCESS)
        return nullptr;
    auto address = reinterpret_cast<uintptr_t>(resources.get());
    uintptr_t tag = (dwFlags & LOAD_LIBRARY_AS_IMAGE_RESOURCE) ? 2 : 1;
    State& s = TheState();
    std::lock_guard guard(s.lock);
    s.dataFiles.emplace(address, std::move(resources));
    return reinterpret_cast<HMODULE>(address | tag);
}

bool CloseDataFile(HMODULE h)
{
    std::shared_ptr<ModuleResources> closing; // released after the lock
    State& s = TheState();
    std::lock_guard guard(s.lock);
    auto it = s.dataFiles.find(reinterpret_cast<uintptr_t>(h) & ~kDataFileTagMask);
    if (it == s.dataFiles.end())
        return false;
    closing = std::move(it->second);
    s.dataFiles.erase(it);
    return true;
}

void ForgetModuleResources(uintptr_t base)
{
    std::shared_ptr<ModuleResources> forgotten;
    State& s = TheState();
    std::lock_guard guard(s.lock);
    auto it = s.loaded.find(base);
    if (it != s.loaded.end()) {
        forgotten = std::move(it->second);
        s.loaded.erase(it);
    }
}

} // namespace tonwell::platform::module

using namespace tonwell::platform::module;
using tonwell::platform::GuardLastError;

HRSRC WINAPI FindResourceExW(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD wLanguage)
{
    return GuardLastError(HRSRC(nullptr), [&] { return Find(hModule, lpType, lpName, wLanguage); });
}

HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType)
{
    return GuardLastError(HRSRC(nullptr),
                          [&] { return Find(hModule, lpType, lpName, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)); });
}

HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType)
{
    return GuardLastError(HRSRC(nullptr), [&] {
        // Text in the process code page (UTF-8) goes through the platform's codec; numbers pass as they are.
        auto widen = [](LPCSTR id, std::u16string& storage) -> LPCWSTR {
            if (IS_INTRESOURCE(id))
                return reinterpret_cast<LPCWSTR>(id);
            storage = tonwell::platform::text::Utf8ToUtf16(id);
            return storage.c_str();
        };
        std::u16string name, type;
        return Find(hModule, widen(lpType, type), widen(lpName, name), MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
    });
}

HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo)
{
    return GuardLastError(HGLOBAL(nullptr), [&] {
        return WithEntry(hModule, hResInfo, HGLOBAL(nullptr),
                         [](const ModuleResources& resources, const ResourceEntry& entry) {
                             return HGLOBAL(const_cast<uint8_t*>(resources.table.Data(entry)));
                         });
    });
}

LPVOID WINAPI LockResource(HGLOBAL hResData) { return hResData; }

DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo)
{
    return GuardLastError(DWORD(0), [&] {
        return WithEntry(hModule, hResInfo, DWORD(0),
                         [](const ModuleResources&, const ResourceEntry& entry) { return DWORD(entry.size); });
    });
}

// Resource data lives as long as its module; there is nothing to free.
BOOL WINAPI FreeResource(HGLOBAL hResData) { return FALSE; }
