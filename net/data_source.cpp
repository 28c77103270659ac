#include "net/data_source.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cstring>

#include "net/text.h"

namespace {

constexpr std::size_t kFindWindow = 4095;

unsigned char Upper(unsigned char c) { return static_cast<unsigned char>(std::toupper(c)); }

// The offset of needle in the count bytes of window, or -1. Compares
// every byte, so a NUL in the data does not hide what follows it.
std::int64_t SearchWindow(const unsigned char* window, std::size_t count,
                          const std::string& needle, bool caseSensitive) {
    if (needle.size() > count) return -1;
    for (std::size_t i = 0; i + needle.size() <= count; ++i) {
        std::size_t k = 0;
        while (k < needle.size()) {
            unsigned char c = window[i + k];
            if (!caseSensitive) c = Upper(c);
            if (c != static_cast<unsigned char>(needle[k])) break;
            ++k;
        }
        if (k == needle.size()) return static_cast<std::int64_t>(i);
    }
    return -1;
}

}  // namespace

CIP_DataSource::~CIP_DataSource() = default;

std::int64_t CIP_DataSource::Find(const char* text, std::int64_t start, int caseSensitive,
                                  std::int64_t maxSpan) {
    if (text == nullptr || text[0] == '\0') return -1;
    std::string needle(text);
    if (maxSpan > 0 && static_cast<std::int64_t>(needle.size()) > maxSpan) return -1;
    if (needle.size() >= 4096) return -1;
    if (caseSensitive == 0) {
        for (char& c : needle) c = static_cast<char>(Upper(static_cast<unsigned char>(c)));
    }
    const auto length = static_cast<std::int64_t>(needle.size());
    if (Seek(start, SEEK_FROM_START) == -1) return -1;
    std::int64_t pos = start;
    unsigned char window[kFindWindow];
    while (true) {
        ssize_t count = Read(window, kFindWindow);
        if (count < length) return -1;
        std::int64_t k = SearchWindow(window, static_cast<std::size_t>(count), needle,
                                      caseSensitive != 0);
        if (k != -1) return pos + k;
        if (count <= length) return -1;
        // The next window overlaps the last length bytes of this one, so a
        // text across the boundary is found.
        pos = pos + count - length;
        if (Seek(pos, SEEK_FROM_START) == -1) return -1;
        if (maxSpan > 0 && pos - start > maxSpan) return -1;
    }
}

CIP_FileDataSource::CIP_FileDataSource(const char* name, int bufferSize)
    : bufferSize_(std::max(bufferSize, 2)), name_(name != nullptr ? name : "") {
    buffer_ = std::make_unique<char[]>(static_cast<std::size_t>(bufferSize_));
    buffer_[0] = '\0';
}

CIP_FileDataSource::~CIP_FileDataSource() = default;

std::unique_ptr<CIP_DataSource> CIP_FileDataSource::Clone() const {
    return std::make_unique<CIP_FileDataSource>(name_.c_str(), bufferSize_);
}

int CIP_FileDataSource::Open(int mode) {
    if (name_.empty()) return -1;
    buffered_ = 0;
    buffer_[0] = '\0';
    if (startOffset_ > 0 && (mode == OPEN_READ || mode == OPEN_CREATE)) return OpenAtOffset(mode);
    switch (mode) {
        case OPEN_READ: return file_.Open(name_.c_str(), FILE_ACCESS_READ, FILE_OPEN_EXISTING, 0);
        case OPEN_CREATE:
            return file_.Open(name_.c_str(), FILE_ACCESS_READ_WRITE, FILE_CREATE_ALWAYS, 0);
        case OPEN_APPEND:
            return file_.Open(name_.c_str(), FILE_ACCESS_READ_WRITE, FILE_OPEN_ALWAYS, 1);
        default: file_.Close(); return -1;
    }
}

int CIP_FileDataSource::OpenAtOffset(int mode) {
    const bool writing = mode == OPEN_CREATE;
    // Opened without emptying or creating: the kept bytes must survive,
    // and a refused open (a file in use, one too short) must change
    // nothing. A file as long as a positive offset exists already.
    if (file_.Open(name_.c_str(), writing ? FILE_ACCESS_READ_WRITE : FILE_ACCESS_READ,
                   FILE_OPEN_EXISTING, 0) != 0) {
        return -1;
    }
    return MoveToStart(writing);
}

int CIP_FileDataSource::MoveToStart(bool writing) {
    bool ok = file_.Size() >= startOffset_;
    if (ok && writing) {
        int rc;
        do {
            rc = ::ftruncate(file_.handle, static_cast<off_t>(startOffset_));
        } while (rc == -1 && errno == EINTR);
        ok = rc == 0;
    }
    ok = ok && file_.Seek(startOffset_, SEEK_FROM_START) == startOffset_;
    if (!ok) {
        file_.Close();
        return -1;
    }
    return 0;
}

int CIP_FileDataSource::AdoptForReading(int fd) {
    buffered_ = 0;
    buffer_[0] = '\0';
    if (file_.Adopt(fd, FILE_ACCESS_READ, FILE_OPEN_EXISTING, 0) != 0) return -1;
    return startOffset_ > 0 ? MoveToStart(false) : 0;
}

int CIP_FileDataSource::Close() {
    file_.Close();
    buffered_ = 0;
    buffer_[0] = '\0';
    return 0;
}

void CIP_FileDataSource::Consume(int count) {
    std::memmove(buffer_.get(), buffer_.get() + count,
                 static_cast<std::size_t>(buffered_ - count + 1));  // with the NUL
    buffered_ -= count;
}

int CIP_FileDataSource::ReadLine(char* out, int size) {
    if (out == nullptr) return -1;
    if (size < 2) {
        if (size == 1) out[0] = '\0';
        return -1;
    }
    char* held = buffer_.get();
    // Searches as text: a NUL byte in the read-ahead ends the search.
    const char* pair = buffered_ > 0 ? std::strstr(held, "\r\n") : nullptr;
    if (pair == nullptr) {
        ssize_t n = file_.Read(held + buffered_,
                               static_cast<std::size_t>(bufferSize_ - buffered_ - 1));
        if (n > 0) {
            buffered_ += static_cast<int>(n);
            held[buffered_] = '\0';
        }
        if (buffered_ > 0) pair = std::strstr(held, "\r\n");
    }
    if (pair != nullptr && pair - held < size - 3) {
        int length = static_cast<int>(pair - held);
        std::memcpy(out, held, static_cast<std::size_t>(length) + 2);
        out[length + 2] = '\0';
        Consume(length + 2);
        return length + 2;
    }
    if (buffered_ == 0) {
        out[0] = '\0';
        return 0;
    }
    int piece = static_cast<int>(
        strnlen(held, static_cast<std::size_t>(std::min(size - 1, buffered_))));
    std::memcpy(out, held, static_cast<std::size_t>(piece));
    out[piece] = '\0';
    Consume(piece);
    return piece;
}

int CIP_FileDataSource::WriteLine(const char* text) {
    if (text == nullptr) return -1;
    auto length = static_cast<ssize_t>(std::strlen(text));
    if (length > 0 && Write(text, static_cast<std::size_t>(length)) != length) return -1;
    if (EndsWithLineBreak(text) == 0 && Write("\r\n", 2) != 2) return -1;
    return static_cast<int>(length);
}

bool CIP_FileDataSource::DropReadAhead() {
    if (buffered_ > 0) {
        if (file_.Seek(-static_cast<std::int64_t>(buffered_), SEEK_FROM_CURRENT) == -1) {
            return false;
        }
        buffered_ = 0;
        buffer_[0] = '\0';
    }
    return true;
}

ssize_t CIP_FileDataSource::Read(void* out, std::size_t count) {
    if (out == nullptr) return -1;
    // Bytes already read ahead belong to the caller's next read: go back to
    // them instead of skipping them.
    if (!DropReadAhead()) return -1;
    return file_.Read(out, count);
}

ssize_t CIP_FileDataSource::Write(const void* data, std::size_t count) {
    if (data == nullptr) return -1;
    if (!DropReadAhead()) return -1;
    return file_.Write(data, count);
}

std::int64_t CIP_FileDataSource::Seek(std::int64_t offset, int origin) {
    if (origin == SEEK_FROM_CURRENT) offset -= buffered_;
    std::int64_t position = file_.Seek(offset, origin);
    if (position != -1) {
        buffered_ = 0;
        buffer_[0] = '\0';
    }
    return position;
}

std::int64_t CIP_FileDataSource::Size() { return file_.Size(); }
