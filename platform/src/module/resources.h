// Resources of modules, and the seam between them and the module loader.
//
// Two kinds of module handle reach the resource functions:
// - a load base (LoadLibrary, GetModuleHandle; null is the program): its
//   resources are read from the file the dynamic linker loaded it from, the
//   first time they are asked for, and kept until FreeLibrary unloads it. So
//   data handed out stays valid as long as the module stays loaded. (The
//   file is read rather than the image in memory because section headers are
//   not loaded; if the file is replaced while the module is loaded, the new
//   file's resources are what is read.)
// - a data-file handle (LoadLibraryEx with LOAD_LIBRARY_AS_DATAFILE,
//   _EXCLUSIVE or LOAD_LIBRARY_AS_IMAGE_RESOURCE): the ELF header, section
//   table, section names and resource section are copied into private memory
//   at load time; nothing is mapped, run or resolved, and no later change to
//   the file (truncation included) can reach the reader. The handle is the
//   address of that copy with bit 0 set (bit 1 for an image-resource load),
//   so it is never mistaken for a load base, which is page aligned. Every
//   load makes a copy of its own, freed by FreeLibrary. (A module already
//   loaded is answered with its load base instead; modules.cpp sees to that.)
//
// All functions are safe from any thread.
#pragma once

#include <windef.h>

#include <cstdint>
#include <string>

namespace tonwell::platform::module {

// What the loader (modules.cpp) tells the resource functions.
bool IsLoadedModule(uintptr_t base);
// The absolute path of the loaded module at base, "" when there is none.
std::string LoadedModulePath(uintptr_t base);
uintptr_t ProgramBase();

// What the resource functions (resources.cpp) offer the loader.
constexpr uintptr_t kDataFileTagMask = 3;
inline bool IsDataFileHandle(HMODULE h) { return (reinterpret_cast<uintptr_t>(h) & kDataFileTagMask) != 0; }
// Reads the module file at posixPath as data. Null with `error` set on failure:
// the file's open error (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
// ERROR_ACCESS_DENIED for a folder, ...) or ERROR_BAD_EXE_FORMAT for a file
// that is not a sound ELF module.
HMODULE OpenDataFile(const std::string& posixPath, DWORD dwFlags, DWORD& error);
// False when h is not an open data-file handle.
bool CloseDataFile(HMODULE h);
// Drops what was read for a load base once that module is unloaded.
void ForgetModuleResources(uintptr_t base);

} // namespace tonwell::platform::module
