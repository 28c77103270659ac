// CIP_File: the owner of one open file descriptor.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Access of CIP_File::Open.
enum FileAccess : int {
    FILE_ACCESS_READ = 0,        // read only; shares the file with other readers
    FILE_ACCESS_READ_WRITE = 1,  // read and write; excludes every other opener
};

// Creation disposition of CIP_File::Open.
enum FileDisposition : int {
    FILE_OPEN_EXISTING = 0,  // the file must exist
    FILE_CREATE_ALWAYS = 1,  // created, or emptied when it exists
    FILE_OPEN_ALWAYS = 2,    // created, or opened as it is
};

// Seek methods of CIP_File::Seek and CIP_DataSource::Seek.
enum SeekMethod : int { SEEK_FROM_START = 0, SEEK_FROM_CURRENT = 1, SEEK_FROM_END = 2 };

// One file, opened under the sharing rule: readers share a file, a writer
// excludes readers and other writers, and the later opener fails at once.
// The rule holds across descriptors and processes (open-file-description
// locks). Only regular files open. Offsets and sizes are 64-bit.
// An object is used by one thread at a time.
class CIP_File {
public:
    CIP_File() = default;
    CIP_File(const CIP_File&) = delete;
    CIP_File& operator=(const CIP_File&) = delete;

    // Closes the file.
    virtual ~CIP_File();

    // Opens path (an open file is closed first). Leading and trailing
    // spaces of the path are removed. With FILE_CREATE_ALWAYS an existing
    // file is emptied only after the sharing lock is held, so a refused
    // open never changes the file. New files get mode 0644 less the umask.
    // append nonzero: every write goes to the end of the file.
    // Returns 0, or -1 (the object is then closed): no such file, a folder
    // or other non-regular file, the file is in use against the sharing
    // rule, an empty path, or any failure of the system.
    virtual int Open(const char* path, int access, int disposition, int append);

    // The open(2) flags Open uses for these arguments, or -1 for an
    // unknown access or disposition.
    static int OpenFlags(int access, int disposition, int append);

    // Open for a descriptor the caller opened with OpenFlags of the same
    // arguments: the object takes it and applies what Open applies after
    // its open (only a regular file, the sharing rule, the emptying).
    // Returns 0, or -1 with the descriptor closed.
    int Adopt(int fd, int access, int disposition, int append);

    // Closes the file: nonzero when closing succeeded, 0 when it failed,
    // -1 when no file was open. The object is closed afterwards.
    virtual int Close();

    // One read of at most count bytes: the bytes read, 0 at the end, -1 on
    // failure or when no file is open.
    virtual ssize_t Read(void* buffer, std::size_t count);

    // Writes all count bytes (a short write is continued): the bytes
    // written, fewer than count when the system stopped part-way (a full
    // disk), or -1 when nothing could be written or no file is open.
    virtual ssize_t Write(const void* data, std::size_t count);

    // Moves the file position (SeekMethod) and returns the new position,
    // or -1.
    virtual std::int64_t Seek(std::int64_t distance, int method);

    // The whole file size in bytes, or -1.
    virtual std::int64_t Size();

    int handle = -1;         // the descriptor; -1 when no file is open
    std::int64_t sizeAtOpen = -1;  // the size the open found (-1: no file open)
    std::int32_t append = 0; // nonzero: writes go to the end
};
