// CIP_AccessControl: decides whether a connecting address is admitted,
// from lists of allowed and denied IPv4 ranges and of blocked addresses
// whose block grows with every offence. IPv6 clients are blocked by their
// whole /64 network; the allowed and denied ranges never match them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "net/socket_address.h"
#include "net/thread_annotations.h"

// List selectors (only the low byte of a selector counts).
constexpr int ACL_ALLOWED = 0;
constexpr int ACL_DENIED = 1;
constexpr int ACL_BLOCKED = 2;

// Seconds between two sweeps of expired blocks.
constexpr int ACL_SWEEP_INTERVAL_SECONDS = 121;

// A range of addresses, both ends in network byte order, `low` not after
// `high` in dotted-decimal order.
struct CIP_IPAddressRange {
    uint32_t low = 0;
    uint32_t high = 0;
};

// A blocked address (network byte order) with its offence count and the
// time (seconds since 1970) until which it is refused. An IPv6 entry
// blocks the /64 network `network6` (IPv6Network64) and holds addr 0.
struct CIP_BlockedIPAddr {
    uint32_t addr = 0;
    int32_t offences = 0;
    int32_t expires = 0;
    bool ipv6 = false;
    uint64_t network6 = 0;

    // Whether this entry is the one of `peer`.
    bool Holds(const SocketAddress& peer) const;
};

// A lock, created with its owner and destroyed with it.
class CAPABILITY("mutex") CIP_InitCriticalSection {
public:
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

private:
    std::mutex mutex_;
};

// Holds a CIP_InitCriticalSection from construction to destruction, so
// every way out of a scope releases it.
class SCOPED_CAPABILITY CIP_CriticalSection {
public:
    explicit CIP_CriticalSection(CIP_InitCriticalSection* section) ACQUIRE(section)
        : section_(section) {
        section_->lock();
    }
    ~CIP_CriticalSection() RELEASE() { section_->unlock(); }
    CIP_CriticalSection(const CIP_CriticalSection&) = delete;
    CIP_CriticalSection& operator=(const CIP_CriticalSection&) = delete;

private:
    CIP_InitCriticalSection* section_;
};

// Every operation may be called from any thread; those that touch a list
// hold `lock` for their whole run and take no other lock. Addresses are
// uint32_t in network byte order, as the socket layer delivers them.
//
// Ranges compare addresses in dotted-decimal order (the host-order value),
// so 10.0.0.0-10.0.0.255 holds exactly the addresses 10.0.0.x.
//
// Construction starts the expiry thread, which drops expired blocks every
// 121 seconds; destruction stops it at once. A subclass that overrides
// CurrentTime must call StopExpiryThread() in its own destructor.
class CIP_AccessControl {
public:
    CIP_AccessControl();
    virtual ~CIP_AccessControl();
    CIP_AccessControl(const CIP_AccessControl&) = delete;
    CIP_AccessControl& operator=(const CIP_AccessControl&) = delete;

    // 1 admitted, 0 refused: an unexpired block refuses, then an allowed
    // range admits, then a denied range refuses; anything else is admitted.
    virtual int IsAllowed(const uint32_t* address);
    virtual int IsAllowedText(const char* text);
    // Appends [a, a] (b null) or [smaller, larger] of a and b to the
    // allowed (ACL_ALLOWED) or denied (ACL_DENIED) list; other selectors
    // and a null `a` do nothing. Throws std::bad_alloc, list unchanged.
    virtual void AddRange(int selector, const uint32_t* a, const uint32_t* b);
    virtual void AddRangeText(int selector, const char* a, const char* b);
    // The range at a zero-based index of the allowed or denied list into
    // *low and *high: 1 found, 0 not (other selector, index out of range).
    virtual int GetRange(int selector, int index, uint32_t* low, uint32_t* high);
    // Number of elements of the selected list; 0 for another selector.
    virtual int Count(int selector);
    // Removes the element at a zero-based index of any list: 1 removed, 0 not.
    virtual int RemoveAt(int selector, int index);
    virtual void ClearList(int selector);
    // Counts one more offence of the address (an expired but unswept block
    // continues its count) and blocks it for offences squared seconds.
    virtual void RecordOffence(const uint32_t* address);
    virtual void RecordOffenceText(const char* text);
    // The blocked entry at a zero-based index: 1 found, 0 not. Null out
    // pointers are skipped.
    virtual int GetBlocked(int index, uint32_t* address, int32_t* offences, int32_t* expires);
    // Removes the block of an address: 1 removed, 0 not blocked.
    virtual int Unblock(const uint32_t* address);
    virtual int UnblockText(const char* text);
    // (IsAllowedText, RecordOffenceText and UnblockText take an IPv6 text
    // too, and then act as AdmitsPeer, RecordPeerOffence and UnblockPeer.)

    // Dotted text to address: 0 for null, all ones when unparsable (as for
    // "255.255.255.255"). Takes no lock.
    virtual uint32_t ParseAddress(const char* text);
    // Address to dotted text in a per-thread buffer, valid until the next
    // call on the same thread. Takes no lock.
    virtual const char* FormatAddress(const uint32_t* address);
    // Current time plus offences squared seconds, capped at the largest
    // time. The address and the previous expiry do not count.
    virtual int32_t ComputeExpiry(const uint32_t* address, int32_t offences, int32_t previousExpiry);

    // A peer of either family. IPv4 goes to IsAllowed, RecordOffence,
    // IsBlocked and Unblock above and below; an IPv6 peer is refused only
    // while its /64 is blocked, and its offences count against its /64.
    int AdmitsPeer(const SocketAddress& peer);
    void RecordPeerOffence(const SocketAddress& peer);
    bool IsPeerBlocked(const SocketAddress& peer, int32_t* expires);
    int UnblockPeer(const SocketAddress& peer);
    // The blocked entry at a zero-based index as the owner reads it: the
    // dotted address, or the /64 network of an IPv6 entry in RFC 5952 form
    // with "/64" after it ("2001:db8:0:1::/64"); empty when there is none.
    std::string BlockedText(int index);

    // Whether the address has a block that IsAllowed still honours; its
    // end (seconds since 1970, refused up to and including it) then goes
    // to *expires (may be null). Any thread; the lock is held briefly.
    bool IsBlocked(const uint32_t* address, int32_t* expires);

    // Seconds since 1970; tests override it to move time.
    virtual int32_t CurrentTime();

    // Drops every block that expired before now. The expiry thread runs it
    // every 121 seconds; tests call it directly.
    void SweepExpired();

    // Ends the expiry thread and waits for it; returns at once when it has
    // already ended or never started. Any thread but the expiry thread.
    void StopExpiryThread();

    // Whether the expiry thread is running.
    bool ExpiryThreadRunning();

protected:
    std::list<CIP_IPAddressRange> allowed GUARDED_BY(lock);
    std::list<CIP_IPAddressRange> denied GUARDED_BY(lock);
    std::list<CIP_BlockedIPAddr> blocked GUARDED_BY(lock);
    CIP_InitCriticalSection lock;

private:
    void ExpiryLoop();

    std::thread expiryThread;
    // Plain std::mutex for the condition variable; it guards stopRequested.
    std::mutex stopMutex_;
    std::condition_variable stopWake_;
    bool stopRequested = false;
};
