// The transfer log (tarnhold.conf's transfer_log): one line per RETR, STOR
// and APPE whose data connection opened, in the xferlog(5) format that
// vsftpd, ProFTPD and pure-ftpd write and log analysers read.
//
// Sessions hand their lines to Append, which only queues them: one writer
// thread appends them to the file (O_APPEND), so no session ever waits for
// the disk. The writer writes what has come four times a second (sooner
// when many lines wait), looks at the path as often, and starts
// a new file there when the one it writes has been moved or deleted away
// (logrotate without a signal). Lines that cannot be written (a full disk,
// a file-size limit, a file that cannot be opened, a queue that overflows)
// are counted and reported at most once a minute, the first time at once.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One transfer as a line of the log records it.
struct TransferRecord {
    std::time_t end = 0;     // when it ended (local time in the line)
    int64_t seconds = 0;     // whole seconds taken
    std::string address;     // the client's address
    int64_t bytes = 0;       // bytes moved by this transfer
    std::string path;        // the file as the client names it (as PWD shows it)
    bool upload = false;     // STOR or APPE: "i"; RETR: "o"
    bool anonymous = false;  // "a" for the anonymous account, "r" otherwise
    std::string login;       // login, or the anonymous e-mail text
    bool complete = false;   // "c", or "i" for a failed or cut transfer
};

// The line of `record` without its line end: "Fri Dec 11 07:25:11 2026 3
// 127.0.0.1 1024 /pub/a_b.txt b _ o r alice ftp 0 * c". Spaces in the path
// and the login are written as "_", as wu-ftpd and vsftpd write them, so
// that every field stays one word; the day and month names are English
// whatever the locale. Any thread.
std::string XferlogLine(const TransferRecord& record);

// The file-system calls of the writer, behind a seam so that a test can
// make a write fail. Each returns what the system call returns.
class TransferLogFile {
public:
    virtual ~TransferLogFile() = default;
    virtual int Open(const char* path);  // O_WRONLY | O_APPEND | O_CREAT, mode 0600
    virtual ssize_t Write(int fd, const void* data, std::size_t count);
    virtual int Close(int fd);
};

class TransferLog {
public:
    // Receives the report of lost lines, one line for the owner's log in
    // style "TarnHold error"; called on the writer's thread.
    using Report = std::function<void(const std::string& line)>;

    // No file until SetPath gives one: Append drops its lines until then.
    // `file` (null: the real calls) must outlive this object.
    explicit TransferLog(TransferLogFile* file = nullptr);
    // Writes what is queued, then ends the writer.
    ~TransferLog();
    TransferLog(const TransferLog&) = delete;
    TransferLog& operator=(const TransferLog&) = delete;

    // The file from now on (an absolute path; empty: no log, the queue is
    // dropped) and where losses are reported. The writer starts with the
    // first path. Owner's thread (Start).
    void SetPath(const std::string& path, Report report);
    // Whether a file is set: sessions build their lines only then. Any
    // thread.
    bool Enabled() const;
    // Queues one line (without its line end); never waits for the disk.
    // A line that finds the queue full is counted as lost. Any thread.
    void Append(std::string line);
    // Waits until every line queued before the call has been written or
    // counted as lost. Tests and benchmarks.
    void Flush();

private:
    void Run();
    // The writer's steps, on its thread only.
    void KeepFileCurrent(const std::string& path);
    void WriteLines(const std::vector<std::string>& lines, const std::string& path);
    void ReportLosses(const std::string& path, bool force);

    TransferLogFile defaultFile_;
    TransferLogFile& file_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable flushed_;
    std::vector<std::string> queue_;
    std::string path_;
    Report report_;
    bool stopping_ = false;
    bool flushWanted_ = false;
    std::atomic<bool> enabled_{false};
    uint64_t queued_ = 0;   // lines handed to Append since the start
    uint64_t handled_ = 0;  // of those, written or counted as lost
    uint64_t lost_ = 0;     // lost since the last report
    std::string lostReason_;
    std::thread thread_;

    // The writer's own state.
    int fd_ = -1;
    int openError_ = 0;
    std::string openPath_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    bool reportedOnce_ = false;
    std::chrono::steady_clock::time_point lastReport_;
};
