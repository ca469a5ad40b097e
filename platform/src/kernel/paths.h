// Paths of the platform's form onto POSIX paths, errno onto status codes, and
// the machine root's folder of named objects.
#pragma once

#include <windef.h>

#include <string>
#include <string_view>

namespace tonwell::platform::kernel {

enum class PathUse {
    Open,         // fewer than MAX_PATH characters, else ERROR_PATH_NOT_FOUND
    NewDirectory, // fewer than MAX_PATH - 12, else ERROR_FILENAME_EXCED_RANGE
};

// False with `error` set when the path cannot name anything here.
bool ToPosixPath(std::u16string_view path, PathUse use, std::string& out, DWORD& error);

DWORD ErrorFromErrno(int err);
// What a missing path answers: ERROR_FILE_NOT_FOUND when its folder exists,
// ERROR_PATH_NOT_FOUND when the folder does not.
DWORD NotFoundError(const std::string& posixPath);

// <machine root>/objects/<sub>, created on demand. The folders are shared by
// every user of the root, so they are sticky and open to all, like /tmp.
bool ObjectsFolder(std::string_view sub, std::string& out, DWORD& error);

} // namespace tonwell::platform::kernel
