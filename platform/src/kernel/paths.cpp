#include "paths.h"

#include "machine_root.h"
#include "text/utf.h"

#include <fileapi.h>

#include <cerrno>
#include <climits>
#include <sys/stat.h>
#include <unistd.h>

namespace tonwell::platform::kernel {

namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

bool IsInvalidNameChar(char16_t c)
{
    return c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' ||
           c == u'*';
}

size_t CurrentFolderLength()
{
    char buffer[PATH_MAX];
    if (!getcwd(buffer, sizeof buffer))
        return 0;
    return text::Utf8ToUtf16(buffer).size();
}

bool MakeSharedFolder(const std::string& path, DWORD& error)
{
    if (mkdir(path.c_str(), 0700) == 0) {
        // Set after creation so the umask cannot narrow it.
        chmod(path.c_str(), 01777);
        return true;
    }
    if (errno == EEXIST) {
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return true;
        error = ERROR_PATH_NOT_FOUND;
        return false;
    }
    error = ErrorFromErrno(errno);
    if (error == ERROR_FILE_NOT_FOUND)
        error = ERROR_PATH_NOT_FOUND;
    return false;
}

} // namespace

bool ToPosixPath(std::u16string_view path, PathUse use, std::string& out, DWORD& error)
{
    bool limited = true;
    if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) && (path[2] == u'?' || path[2] == u'.') &&
        IsSeparator(path[3])) {
        if (path[2] == u'.') { // devices
            error = ERROR_PATH_NOT_FOUND;
            return false;
        }
        path.remove_prefix(4);
        limited = false;
        if (path.size() >= 4 && (path.substr(0, 3) == u"UNC" || path.substr(0, 3) == u"unc") && IsSeparator(path[3])) {
            error = ERROR_BAD_NETPATH;
            return false;
        }
    }
    if (path.empty()) {
        error = ERROR_PATH_NOT_FOUND;
        return false;
    }
    if (path.size() >= 2 && path[1] == u':' &&
        ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z'))) {
        // No drives here: a drive path names nothing, as an absent drive would.
        error = ERROR_PATH_NOT_FOUND;
        return false;
    }
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        error = ERROR_BAD_NETPATH;
        return false;
    }
    if (limited) {
        size_t length = path.size();
        if (!IsSeparator(path[0]))
            length += CurrentFolderLength() + 1;
        size_t limit = use == PathUse::NewDirectory ? MAX_PATH - 12 : MAX_PATH;
        if (length >= limit) {
            error = use == PathUse::NewDirectory ? ERROR_FILENAME_EXCED_RANGE : ERROR_PATH_NOT_FOUND;
            return false;
        }
    }
    std::u16string converted(path);
    for (char16_t& c : converted) {
        if (c == u'\\')
            c = u'/';
        else if (IsInvalidNameChar(c)) {
            error = ERROR_INVALID_NAME;
            return false;
        }
    }
    if (!text::Utf16ToUtf8(converted, out, text::Invalid::Refuse)) {
        error = ERROR_INVALID_NAME;
        return false;
    }
    return true;
}

DWORD ErrorFromErrno(int err)
{
    switch (err) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ELOOP:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
    case ETXTBSY:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return ERROR_DISK_FULL;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    default:
        return ERROR_GEN_FAILURE;
    }
}

DWORD NotFoundError(const std::string& posixPath)
{
    size_t end = posixPath.find_last_not_of('/');
    size_t slash = end == std::string::npos ? std::string::npos : posixPath.rfind('/', end);
    std::string folder;
    if (slash == std::string::npos)
        folder = ".";
    else
        folder = posixPath.substr(0, slash == 0 ? 1 : slash);
    struct stat st;
    if (stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return ERROR_FILE_NOT_FOUND;
    return ERROR_PATH_NOT_FOUND;
}

bool ObjectsFolder(std::string_view sub, std::string& out, DWORD& error)
{
    std::filesystem::path root = MachineRoot();
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
    std::string path = (root / "objects").string();
    if (!MakeSharedFolder(path, error))
        return false;
    size_t start = 0;
    while (start < sub.size()) {
        size_t end = sub.find('/', start);
        if (end == std::string_view::npos)
            end = sub.size();
        path += '/';
        path.append(sub.substr(start, end - start));
        if (!MakeSharedFolder(path, error))
            return false;
        start = end + 1;
    }
    out = std::move(path);
    return true;
}

} // namespace tonwell::platform::kernel
