#include "config/password_hash.h"

#include <sodium.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "config/records.h"

namespace {

// About 19 MiB and 2 passes: one hashing takes a few tens of milliseconds
// of an idle core.
constexpr unsigned long long kOpsLimit = 2;
constexpr std::size_t kMemLimit = 19 * 1024 * 1024;

bool SodiumReady() {
    // sodium_init is safe to call more than once, but once is enough.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

// Verifications at once: each takes its 19 MiB for as long as it runs, and
// more of them than there are cores only share the cores, each finishing
// later. Twenty logins at once thus need a few times 19 MiB, not twenty
// times. (Hashing a new password is left out: the window and the one
// upgrader thread do it, and the window must never wait for sessions.)
class HashingSlots {
public:
    HashingSlots() : free_(std::clamp<unsigned>(std::thread::hardware_concurrency(), 2, 8)) {}

    // Holds one slot for the lifetime of a Slot.
    class Slot {
    public:
        explicit Slot(HashingSlots& slots) : slots_(slots) {
            std::unique_lock<std::mutex> guard(slots_.mutex_);
            slots_.freed_.wait(guard, [this] { return slots_.free_ > 0; });
            --slots_.free_;
        }
        ~Slot() {
            {
                std::lock_guard<std::mutex> guard(slots_.mutex_);
                ++slots_.free_;
            }
            slots_.freed_.notify_one();
        }
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;

    private:
        HashingSlots& slots_;
    };

private:
    std::mutex mutex_;
    std::condition_variable freed_;
    unsigned free_;
};

HashingSlots& Slots() {
    static HashingSlots slots;
    return slots;
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string UpperCased(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = Upper(c);
    return out;
}

}  // namespace

bool IsPasswordHash(std::string_view stored) {
    // Every hash libsodium's check knows begins so ("$argon2id$",
    // "$argon2i$"): a plain password is told apart without the library.
    if (!stored.starts_with("$argon2")) return false;
    if (!SodiumReady() || stored.size() >= crypto_pwhash_STRBYTES) return false;
    const std::string text(stored);
    return crypto_pwhash_str_needs_rehash(text.c_str(), kOpsLimit, kMemLimit) != -1;
}

std::optional<std::string> HashPassword(std::string_view password) {
    if (!SodiumReady()) return std::nullopt;
    std::string upper = UpperCased(password);
    char hash[crypto_pwhash_STRBYTES];
    const int rc = crypto_pwhash_str(hash, upper.data(), upper.size(), kOpsLimit, kMemLimit);
    sodium_memzero(upper.data(), upper.size());
    if (rc != 0) return std::nullopt;
    static_assert(crypto_pwhash_STRBYTES <= ACCOUNT_TEXT_SIZE, "a hash fits the password field");
    return std::string(hash);
}

bool PlainPasswordMatches(std::string_view stored, std::string_view given) {
    // Both texts padded to the field's size and compared whole, so the time
    // taken says nothing about where they differ or how long the stored
    // one is.
    char a[ACCOUNT_TEXT_SIZE] = {};
    char b[ACCOUNT_TEXT_SIZE] = {};
    if (stored.empty() || stored.size() >= sizeof a || given.size() >= sizeof b) return false;
    for (std::size_t i = 0; i < stored.size(); ++i) a[i] = Upper(stored[i]);
    for (std::size_t i = 0; i < given.size(); ++i) b[i] = Upper(given[i]);
    // Without libsodium, which asks to be initialised before any use: a
    // server with plain passwords then never maps its code. The volatile
    // difference keeps the compiler from ending the loop early.
    volatile unsigned char difference = 0;
    for (std::size_t i = 0; i < sizeof a; ++i) {
        difference = difference | static_cast<unsigned char>(a[i] ^ b[i]);
    }
    explicit_bzero(a, sizeof a);
    explicit_bzero(b, sizeof b);
    return difference == 0;
}

bool PasswordMatches(std::string_view stored, std::string_view given) {
    if (!IsPasswordHash(stored)) return PlainPasswordMatches(stored, given);
    const std::string hash(stored);
    std::string upper = UpperCased(given);
    HashingSlots::Slot slot(Slots());
    const bool match = crypto_pwhash_str_verify(hash.c_str(), upper.data(), upper.size()) == 0;
    sodium_memzero(upper.data(), upper.size());
    return match;
}
