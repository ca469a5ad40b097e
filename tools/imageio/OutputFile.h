// Outputs that appear whole or not at all. An output is written to a file
// without a name in its target's folder (O_TMPFILE) and linked into place
// when complete; where the file system has no unnamed files it is written
// under a hidden temporary name (".NAME.tonwell-XXXXXX") instead and renamed.
// A temporary file is locked (flock) while its writer lives, so that a later
// run can tell the leftovers of a killed run from the files of a live one.
#pragma once

#include "imageio/Image.h"

#include <cstdio>
#include <string>

namespace tonwell::imageio {

// What Commit does with a target that exists.
enum class Existing {
    Replace, // the output takes its place; a regular file's mode (and owner, where allowed) is kept
    Keep,    // the target stays as it is and Commit throws OutputExists
};

// Thrown by Commit when the target exists and Existing::Keep was asked for.
class OutputExists : public ImageError {
public:
    using ImageError::ImageError;
};

// One output in progress. Used by one thread at a time; several outputs may
// be written at once from different threads.
class OutputFile {
public:
    // Creates the file in the target's folder. Throws ImageError.
    explicit OutputFile(std::string target, Existing existing = Existing::Replace);
    // Removes the file unless Commit succeeded.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    FILE* Stream() const { return m_file; }

    // Flushes the data to disk and puts the file in place of the target in
    // one step. Throws ImageError (OutputExists, see Existing); on failure the
    // target is untouched and the file is removed.
    void Commit();

private:
    void Discard();
    void PutInPlace(int fd);

    std::string m_target;
    std::string m_dir;
    Existing m_existing;
    std::string m_tempPath; // empty for an unnamed file
    FILE* m_file = nullptr;
    bool m_committed = false;
};

// Copies the rest of one stream into another. Throws ImageError.
void CopyStream(FILE* from, FILE* to);

// Removes the hidden temporary files that killed runs left in dir: those of
// this user that no live process holds. Returns how many were removed.
size_t RemoveStaleTemporaryFiles(const std::string& dir);

// From now on SIGINT, SIGTERM and SIGHUP end the process cleanly: once the
// signal is taken no output gets a name any more, the temporary files in
// progress are removed, and the process then dies of the signal as usual.
// Call once from the main thread before any other thread starts (the signals
// are blocked in every thread and taken by one thread of their own).
void StopOnSignals();

} // namespace tonwell::imageio
