// Whole files put in place at once: written to a temporary file beside the
// target, flushed, then renamed over it (or linked, when the target must be
// new). Readers see the old file or the new one, never a part of either; a
// writer killed half-way leaves a temporary file that the next successful
// write to the same target clears away.
#pragma once

#include "platform/linux/windef.h"

#include <sys/stat.h>

#include <string>
#include <string_view>

// Replaces (or creates) the file at path, through a symbolic link to its
// target. The new file keeps the old one's mode and owner; a new one gets
// `mode`. `durable`: flushed to the disk before and after the rename. On
// success `written` is the new file's status.
DWORD ReplaceFileContents(const std::string& path, std::string_view bytes, mode_t mode, bool durable,
                          struct stat* written = nullptr);

// Creates the file at path; ERROR_FILE_EXISTS when there is one.
DWORD CreateFileContents(const std::string& path, std::string_view bytes, mode_t mode);

// An exclusive lock on the file at path (created when missing) that holds
// across replacements: every writer that replaces the file takes it first.
class FileLock {
public:
    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    // Waits for the lock, a few seconds at most: then ERROR_SHARING_VIOLATION,
    // told with the file and its holder. ERROR_BADDB for anything but a
    // regular file.
    DWORD Acquire(const std::string& path);

private:
    int fd_ = -1;
};
