#include "common/Inputs.h"

#include "imageio/Image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

namespace tonwell::tools {
namespace {

std::string Join(const std::string& folder, const std::string& name)
{
    return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string ListFolder(const std::string& folder, bool recursive, std::vector<std::string>* pInputs)
{
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return "cannot read the folder '" + folder + "': " + std::strerror(errno);
    std::vector<std::string> files;
    std::vector<std::string> folders;
    errno = 0;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.empty() || name[0] == '.')
            continue;
        const std::string path = Join(folder, name);
        struct stat st;
        if (recursive && lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            folders.push_back(path);
            continue;
        }
        imageio::Format format;
        if (imageio::FormatFromPath(name, &format) && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            files.push_back(path);
    }
    const int error = errno;
    closedir(dir);
    if (error != 0)
        return "cannot read the folder '" + folder + "': " + std::strerror(error);
    std::sort(files.begin(), files.end());
    std::sort(folders.begin(), folders.end());
    pInputs->insert(pInputs->end(), files.begin(), files.end());
    for (const std::string& sub : folders) {
        if (std::string error = ListFolder(sub, recursive, pInputs); !error.empty())
            return error;
    }
    return {};
}

} // namespace

std::string ExpandInputs(const std::vector<std::string>& operands, bool recursive, std::vector<std::string>* pInputs,
                         std::vector<std::string>* pEmptyFolders)
{
    for (const std::string& operand : operands) {
        struct stat st;
        if (operand != kStandardStream && stat(operand.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            const size_t before = pInputs->size();
            if (std::string error = ListFolder(operand, recursive, pInputs); !error.empty())
                return error;
            if (pInputs->size() == before && pEmptyFolders)
                pEmptyFolders->push_back(operand);
        } else {
            pInputs->push_back(operand);
        }
    }
    return {};
}

} // namespace tonwell::tools
