// An output written beside its target under a temporary name and renamed over
// it only when complete, so that a failure never leaves a partial file.
#pragma once

#include <cstdio>
#include <string>

namespace tonwell::imageio {

class OutputFile {
public:
    // Creates the temporary file in the target's folder. Throws ImageError.
    explicit OutputFile(std::string target);
    // Removes the temporary file unless Commit succeeded.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    FILE* Stream() const { return m_file; }
    const std::string& TempPath() const { return m_tempPath; }

    // Flushes the data to disk and renames the file over the target. Throws
    // ImageError; on failure the temporary file is removed.
    void Commit();

private:
    void Discard();

    std::string m_target;
    std::string m_tempPath;
    FILE* m_file = nullptr;
    int m_slot = -1;
    bool m_committed = false;
};

// Copies the rest of one stream into another. Throws ImageError.
void CopyStream(FILE* from, FILE* to);

// Removes the temporary files of outputs in progress when the process is
// interrupted (SIGINT, SIGTERM, SIGHUP), then dies of the signal as usual.
void RemoveTemporaryFilesOnSignals();

} // namespace tonwell::imageio
