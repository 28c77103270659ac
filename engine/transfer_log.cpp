#include "engine/transfer_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

// Lines waiting for the writer beyond this are lost: a disk that cannot
// keep up must not grow the server's memory without bound.
constexpr std::size_t kMostQueued = 10000;
// How often the writer wakes by itself: it writes what has come and looks
// whether its file is still at the path. Sessions do not wake it for each
// line (a wake-up per transfer costs the small transfers dearly), only
// when the queue grows long.
constexpr auto kWriteInterval = std::chrono::milliseconds(250);
constexpr std::size_t kWakeAt = 1000;
// Lost lines are reported at most this often.
constexpr auto kReportInterval = std::chrono::seconds(60);

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// One word of the line: never empty, never split.
std::string Word(const std::string& text) {
    if (text.empty()) return "_";
    std::string out = text;
    for (char& c : out) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') c = '_';
    }
    return out;
}

}  // namespace

std::string XferlogLine(const TransferRecord& record) {
    std::tm local{};
    localtime_r(&record.end, &local);
    char time[32];
    std::snprintf(time, sizeof time, "%s %s %2d %02d:%02d:%02d %d", kDays[local.tm_wday % 7],
                  kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min,
                  local.tm_sec, local.tm_year + 1900);
    std::string line = time;
    line += ' ' + std::to_string(record.seconds) + ' ' + Word(record.address) + ' ' +
            std::to_string(record.bytes) + ' ' + Word(record.path) + " b _ " +
            (record.upload ? "i " : "o ") + (record.anonymous ? "a " : "r ") + Word(record.login) +
            " ftp 0 * " + (record.complete ? "c" : "i");
    return line;
}

int TransferLogFile::Open(const char* path) {
    int fd;
    do {
        fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    } while (fd == -1 && errno == EINTR);
    return fd;
}

ssize_t TransferLogFile::Write(int fd, const void* data, std::size_t count) {
    return ::write(fd, data, count);
}

int TransferLogFile::Close(int fd) { return ::close(fd); }

TransferLog::TransferLog(TransferLogFile* file) : file_(file != nullptr ? *file : defaultFile_) {}

TransferLog::~TransferLog() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (fd_ != -1) file_.Close(fd_);
}

void TransferLog::SetPath(const std::string& path, Report report) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        path_ = path;
        report_ = std::move(report);
        enabled_.store(!path.empty());
        if (!path.empty() && !thread_.joinable()) thread_ = std::thread([this] { Run(); });
    }
    wake_.notify_all();
}

bool TransferLog::Enabled() const { return enabled_.load(); }

void TransferLog::Append(std::string line) {
    bool wake;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ++queued_;
        if (path_.empty() || !thread_.joinable()) {
            ++handled_;
            return;
        }
        if (queue_.size() >= kMostQueued) {
            ++handled_;
            ++lost_;
            lostReason_ = "the disk does not keep up";
            return;
        }
        queue_.push_back(std::move(line));
        wake = queue_.size() == kWakeAt;
    }
    if (wake) wake_.notify_one();
}

void TransferLog::Flush() {
    std::unique_lock<std::mutex> guard(mutex_);
    const uint64_t target = queued_;
    flushWanted_ = true;
    wake_.notify_one();
    flushed_.wait(guard, [&] { return handled_ >= target || !thread_.joinable(); });
}

void TransferLog::Run() {
    std::vector<std::string> lines;
    std::unique_lock<std::mutex> guard(mutex_);
    for (;;) {
        wake_.wait_for(guard, kWriteInterval,
                       [this] { return stopping_ || flushWanted_ || queue_.size() >= kWakeAt; });
        flushWanted_ = false;
        lines.swap(queue_);
        const std::string path = path_;
        const bool last = stopping_;
        guard.unlock();

        if (path.empty()) {
            if (fd_ != -1) file_.Close(fd_);
            fd_ = -1;
            openPath_.clear();
        } else {
            KeepFileCurrent(path);
            if (!lines.empty()) WriteLines(lines, path);
            ReportLosses(path, last);
        }
        const uint64_t count = lines.size();
        lines.clear();

        guard.lock();
        handled_ += count;
        flushed_.notify_all();
        if (last && queue_.empty()) break;
    }
}

void TransferLog::KeepFileCurrent(const std::string& path) {
    if (fd_ != -1) {
        // Moved or deleted away, or another path set: start again at the path.
        struct stat status {};
        if (path == openPath_ && ::stat(path.c_str(), &status) == 0 && status.st_dev == device_ &&
            status.st_ino == inode_) {
            return;
        }
        file_.Close(fd_);
        fd_ = -1;
    }
    openPath_ = path;
    fd_ = file_.Open(path.c_str());
    openError_ = fd_ == -1 ? errno : 0;
    struct stat status {};
    if (fd_ != -1 && ::fstat(fd_, &status) == 0) {
        device_ = status.st_dev;
        inode_ = status.st_ino;
    }
}

void TransferLog::WriteLines(const std::vector<std::string>& lines, const std::string&) {
    std::string text;
    for (const std::string& line : lines) text.append(line).append("\n");
    std::size_t written = 0;
    int error = 0;
    if (fd_ == -1) {
        error = openError_ != 0 ? openError_ : EBADF;
    } else {
        while (written < text.size()) {
            const ssize_t n = file_.Write(fd_, text.data() + written, text.size() - written);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                error = n == 0 ? ENOSPC : errno;
                break;
            }
            written += static_cast<std::size_t>(n);
        }
    }
    if (written == text.size()) return;
    // A line that went out only in part is lost as well, and taken off
    // again, so that the file holds whole lines only.
    uint64_t lost = 0;
    std::size_t start = 0;
    std::size_t whole = 0;
    for (const std::string& line : lines) {
        if (start + line.size() + 1 <= written) whole = start + line.size() + 1;
        start += line.size() + 1;
        if (start > written) ++lost;
    }
    if (whole < written) {
        // O_APPEND left the offset at the end of what was written.
        const off_t end = ::lseek(fd_, 0, SEEK_CUR);
        const auto part = static_cast<off_t>(written - whole);
        if (end >= part) (void)!::ftruncate(fd_, end - part);
    }
    std::lock_guard<std::mutex> guard(mutex_);
    lost_ += lost;
    lostReason_ = std::strerror(error);
}

void TransferLog::ReportLosses(const std::string& path, bool force) {
    uint64_t lost;
    std::string reason;
    Report report;
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (lost_ == 0) return;
        if (reportedOnce_ && now - lastReport_ < kReportInterval && !force) return;
        lost = lost_;
        lost_ = 0;
        reason = lostReason_;
        report = report_;
    }
    reportedOnce_ = true;
    lastReport_ = now;
    if (report) {
        report("Transfer log " + path + ": " + std::to_string(lost) +
               (lost == 1 ? " line" : " lines") + " lost (" + reason + ")");
    }
}
