// The transfer half of CIP_WSClient: whole files, data sources, readers
// and writers over the data socket, with the progress and cancel hooks
// asked after every piece. The connection half is in ws_client.cpp.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include <poll.h>

#include "net/data_source.h"
#include "net/ws_client.h"

namespace {

// Transfer pieces: large enough to run at the machine's speed (half of
// this made 20 downloads at once a fifth slower), small enough that the
// progress hooks are asked often and memory stays flat.
constexpr std::size_t kCopyPiece = 256 * 1024;

// The read-ahead of the file sources; transfers bypass it.
constexpr int kFileSourceBuffer = 4096;

// The calling thread's transfer buffer, made at its first transfer and kept
// for its later ones: a session that moves many small files would
// otherwise map and unmap a fresh buffer for each (it is larger than the
// mmap threshold). It goes back to the system when the thread ends.
char* TransferBuffer() {
    thread_local std::unique_ptr<char[]> buffer;
    if (!buffer) buffer = std::make_unique_for_overwrite<char[]>(kCopyPiece);
    return buffer.get();
}

}  // namespace

std::size_t CIP_WSClient::SendWhole(const char* data, std::size_t count) {
    // A short send (a signal, the send time-out) must not drop the rest.
    std::size_t sent = 0;
    while (sent < count) {
        std::size_t piece = std::min(count - sent, kCopyPiece);
        int n = Send(data + sent, static_cast<int>(piece));
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    return sent;
}

bool CIP_WSClient::SendGoesOn(std::int64_t total) {
    return ContinueSend(total) != 0 && IsCancelled() == 0;
}

bool CIP_WSClient::ReceiveGoesOn(std::int64_t total) {
    return ContinueReceive(total) != 0 && IsCancelled() == 0;
}

int CIP_WSClient::WaitForRoom() {
    // In slices of a second, so that a cancellation is seen while waiting.
    constexpr int kSlice = 1000;
    for (int waited = 0; sendTimeout <= 0 || waited < sendTimeout; waited += kSlice) {
        if (IsCancelled() != 0) return WSR_STOPPED;
        int slice = sendTimeout > 0 ? std::min(kSlice, sendTimeout - waited) : kSlice;
        int ready = PollSocket(sock, POLLOUT, slice);
        if (ready == 1) return WSR_OK;
        if (ready < 0) return WSR_SEND_FAILED;
    }
    return WSR_SEND_FAILED;  // no room for sendTimeout: the peer has stalled
}

int CIP_WSClient::SendWaiting(const char* data, std::size_t count) {
    std::size_t sent = 0;
    while (sent < count) {
        // MSG_DONTWAIT rather than a non-blocking socket: the socket stays
        // as every other user of it expects, without two calls per file.
        const int n = SendBytes(sock, data + sent, static_cast<int>(count - sent), MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (const int code = WaitForRoom(); code != WSR_OK) return code;
        } else {
            return WSR_SEND_FAILED;
        }
    }
    return WSR_OK;
}

int CIP_WSClient::SendSource(CIP_DataSource& source) {
    if (sock < 0) return Result(WSR_NOT_CONNECTED);
    if (source.Open(OPEN_READ) == -1) return Result(WSR_SOURCE_OPEN_FAILED);
    return SendOpenSource(source);
}

int CIP_WSClient::SendOpenSource(CIP_DataSource& source) {
    if (sock < 0) {
        source.Close();
        return Result(WSR_NOT_CONNECTED);
    }
    // Copied through a buffer, not with sendfile: with 20 downloads at once
    // sendfile let some connections run far ahead while the slowest got a
    // sixth of its share, and on a single connection copying is as fast.
    // Each send is non-blocking with its own wait: a blocking send would
    // see a cancellation only after its time-out. Under TLS the stream
    // waits in the same way.
    const bool waitHere = !IsSecured();
    char* chunk = TransferBuffer();
    std::int64_t total = 0;
    int code = WSR_OK;
    for (;;) {
        ssize_t got = source.Read(chunk, kCopyPiece);
        if (got == 0) break;
        // A read error is not the end of the file: the peer would take a
        // cut file for a whole one.
        if (got < 0) {
            code = WSR_FAILED;
            break;
        }
        const std::size_t count = static_cast<std::size_t>(got);
        if (waitHere) {
            code = SendWaiting(chunk, count);
        } else if (SendWhole(chunk, count) < count) {
            code = WSR_SEND_FAILED;
        }
        if (code != WSR_OK) break;
        total += got;
        if (!SendGoesOn(total)) {
            code = WSR_STOPPED;
            break;
        }
    }
    source.Close();
    return Result(code);
}

int CIP_WSClient::SendReader(BlockReader& reader) {
    if (sock < 0) return Result(WSR_NOT_CONNECTED);
    char* chunk = TransferBuffer();
    std::int64_t total = 0;
    for (;;) {
        ssize_t got = reader.Read(chunk, kCopyPiece);
        if (got <= 0) return Result(WSR_OK);
        if (SendWhole(chunk, static_cast<std::size_t>(got)) < static_cast<std::size_t>(got)) {
            return Result(WSR_SEND_FAILED);
        }
        total += got;
        if (!SendGoesOn(total)) return Result(WSR_STOPPED);
    }
}

int CIP_WSClient::SendWrapped(const char* text, int length, int width) {
    // A width below 1 would never move on through the text.
    if (text == nullptr || width < 1) return 0;
    if (length < 0) length = static_cast<int>(std::strlen(text));
    int sent = 0;
    while (sent < length && IsCancelled() == 0) {
        std::size_t piece = static_cast<std::size_t>(std::min(width, length - sent));
        std::size_t out = SendWhole(text + sent, piece);
        sent += static_cast<int>(out);
        if (out < piece || SendWhole("\r\n", 2) < 2) break;
    }
    return sent;
}

int CIP_WSClient::SendFile(const char* path) {
    CIP_FileDataSource source(path, kFileSourceBuffer);
    return SendSource(source);
}

int CIP_WSClient::ReceiveToSource(CIP_DataSource& source, int mode, int wait, std::int64_t limit) {
    if (sock < 0) return Result(WSR_NOT_CONNECTED);
    if (mode != OPEN_CREATE && mode != OPEN_APPEND) return Result(WSR_BAD_MODE);
    if (source.Open(mode) == -1) return Result(WSR_SOURCE_OPEN_FAILED);
    char* chunk = TransferBuffer();
    std::int64_t total = 0;
    int code = WSR_OK;
    for (;;) {
        // The limit is checked before waiting: a peer that sent exactly the
        // limit and then waits is no time-out.
        std::int64_t want = static_cast<std::int64_t>(kCopyPiece);
        if (limit > 0) want = std::min(want, limit - total);
        if (want <= 0) break;
        if (wait > 0 && WaitReadable(wait, 0) != 0) {
            code = WSR_TIMEOUT;
            break;
        }
        int got = Receive(chunk, static_cast<int>(want), 0);
        if (got == 0) break;
        if (got < 0) {
            code = WSR_RECEIVE_FAILED;
            break;
        }
        if (source.Write(chunk, static_cast<std::size_t>(got)) != got) {
            code = WSR_SOURCE_WRITE_FAILED;
            break;
        }
        total += got;
        if (!ReceiveGoesOn(total)) {
            code = WSR_STOPPED;
            break;
        }
    }
    source.Close();
    return Result(code);
}

int CIP_WSClient::ReceiveToWriter(BlockWriter& writer, int wait, std::int64_t limit) {
    if (sock < 0) return Result(WSR_NOT_CONNECTED);
    const std::int64_t capacity = writer.Capacity();
    if (limit <= 0 || limit >= capacity) limit = capacity;
    char* chunk = TransferBuffer();
    std::int64_t total = 0;
    for (;;) {
        std::int64_t want = std::min(static_cast<std::int64_t>(kCopyPiece), limit - total);
        if (want <= 0) return Result(WSR_OK);
        if (wait > 0 && WaitReadable(wait, 0) != 0) return Result(WSR_TIMEOUT);
        int got = Receive(chunk, static_cast<int>(want), 0);
        if (got == 0) return Result(WSR_OK);
        if (got < 0) return Result(WSR_RECEIVE_FAILED);
        if (writer.Write(chunk, static_cast<std::size_t>(got)) != got) {
            return Result(WSR_SOURCE_WRITE_FAILED);
        }
        total += got;
        if (!ReceiveGoesOn(total)) return Result(WSR_STOPPED);
    }
}

int CIP_WSClient::ReceiveFile(const char* path, int mode, int wait) {
    CIP_FileDataSource source(path, kFileSourceBuffer);
    return ReceiveToSource(source, mode, wait, 0);
}
