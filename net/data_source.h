// CIP_DataSource: the stream through which file contents are read and
// written; CIP_FileDataSource: its one implementation, a file with a
// read-ahead buffer for reading text line by line.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "net/file.h"

// Open modes.
constexpr int OPEN_READ = 0;    // an existing file, for reading; shared with other readers
constexpr int OPEN_CREATE = 1;  // created, or emptied when it exists; read and write
constexpr int OPEN_APPEND = 2;  // created, or opened as it is; every write goes to the end

// Failures are -1 and the end of the data is 0; nothing throws.
// An object is used by one thread at a time.
class CIP_DataSource {
public:
    virtual ~CIP_DataSource();

    // A new, unopened source on the same data.
    virtual std::unique_ptr<CIP_DataSource> Clone() const = 0;
    virtual int Open(int mode) = 0;
    virtual int Close() = 0;
    virtual int ReadLine(char* buffer, int size) = 0;
    virtual int WriteLine(const char* text) = 0;
    virtual ssize_t Read(void* buffer, std::size_t count) = 0;
    virtual ssize_t Write(const void* data, std::size_t count) = 0;
    virtual std::int64_t Seek(std::int64_t offset, int origin) = 0;

    // The offset of the first occurrence of text at or after start, or -1.
    // caseSensitive 0 compares without regard to letter case. maxSpan above
    // 0 gives up once the search has moved more than maxSpan bytes past
    // start (a text longer than maxSpan is never found). Texts of 4096
    // characters or more are refused. Bytes of every value are searched,
    // NUL included. Moves the position of the source.
    virtual std::int64_t Find(const char* text, std::int64_t start, int caseSensitive,
                              std::int64_t maxSpan);
};

class CIP_FileDataSource : public CIP_DataSource {
public:
    // A closed source on the file name (a null name leaves it empty, so
    // Open fails) with a read-ahead of bufferSize bytes (at least 2).
    CIP_FileDataSource(const char* name, int bufferSize);
    ~CIP_FileDataSource() override;
    CIP_FileDataSource(const CIP_FileDataSource&) = delete;
    CIP_FileDataSource& operator=(const CIP_FileDataSource&) = delete;

    // Same name and buffer size, not opened; the caller owns it.
    std::unique_ptr<CIP_DataSource> Clone() const override;

    // Opens the file in one of the open modes: 0, or -1 for an empty name,
    // an unknown mode, or a failed open (see CIP_File::Open, which also
    // applies the sharing rule). With a start offset (StartAt), OPEN_READ
    // reads from there and OPEN_CREATE keeps the bytes before it instead
    // of emptying the file, cuts the rest and writes from there; both fail
    // for a file shorter than the offset (OPEN_CREATE then changes
    // nothing). OPEN_APPEND ignores the offset.
    int Open(int mode) override;

    // Open(OPEN_READ) for a descriptor the caller opened with
    // CIP_File::OpenFlags(FILE_ACCESS_READ, FILE_OPEN_EXISTING, 0); the
    // source takes it (closed again when the open fails).
    int AdoptForReading(int fd);

    // The offset the next Open starts at (0, the default: the beginning).
    // Negative offsets count as 0.
    void StartAt(std::int64_t offset) { startOffset_ = offset > 0 ? offset : 0; }

    // Closes the file and drops the read-ahead; returns 0.
    int Close() override;

    // Stores in buffer the next line with its CR LF (returns its length),
    // or a piece of a line without line end when the line does not fit in
    // size - 3 characters or in the read-ahead, or the last line has no CR
    // LF. Only CR LF ends a line. Returns 0 at the end of the data, and
    // also at a NUL byte at the front of the unread data; -1 for a null
    // buffer or a size below 2.
    int ReadLine(char* buffer, int size) override;

    // Writes text and, unless it already ends with CR or LF, CR LF.
    // Returns the length of text (the added CR LF not counted), or -1 for
    // a null text or a failed or incomplete write.
    int WriteLine(const char* text) override;

    // One read straight into buffer, from the position up to which lines
    // were handed out. Returns the count, 0 at the end, -1 on failure.
    ssize_t Read(void* buffer, std::size_t count) override;

    // Writes at the position up to which lines were handed out (or at the
    // end in OPEN_APPEND). Returns as CIP_File::Write.
    ssize_t Write(const void* data, std::size_t count) override;

    // Moves to offset (SeekMethod); from the current position it counts
    // from the position up to which lines were handed out. Drops the
    // read-ahead. Returns the new position, or -1.
    std::int64_t Seek(std::int64_t offset, int origin) override;

    // Beyond the stream interface, for the socket transfers:

    // The whole file size (64-bit), or -1 when not open.
    std::int64_t Size();
    // The size the last Open found, without asking the system again; -1
    // when not open.
    std::int64_t SizeAtOpen() const { return file_.sizeAtOpen; }

    const std::string& Name() const { return name_; }

private:
    // Open with a start offset (see Open).
    int OpenAtOffset(int mode);
    // The open file checked against the start offset and moved to it (cut
    // there first when writing); closed when that fails. Returns 0 or -1.
    int MoveToStart(bool writing);
    // Puts the file position back to where the caller's reading stands and
    // empties the read-ahead. Returns false when the seek failed.
    bool DropReadAhead();
    void Consume(int count);

    CIP_File file_;
    std::unique_ptr<char[]> buffer_;
    int bufferSize_;
    int buffered_ = 0;  // 0 <= buffered_ < bufferSize_; buffer_[buffered_] is a NUL
    std::int64_t startOffset_ = 0;
    // The file path, not cut: a path too long for the system fails to open
    // instead of opening some other file.
    std::string name_;
};
