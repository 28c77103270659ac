// Passwords as the accounts keep them: in plain text (the default),
// or as an argon2id string (libsodium's crypto_pwhash_str) when
// tarnhold.conf's password_storage says hashed. Passwords compare without
// regard to the case of ASCII letters, so what is hashed and verified is
// the password with its letters upper-cased.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Whether a stored password is a hash: only a text that libsodium accepts
// as one (crypto_pwhash_str_needs_rehash does not answer -1), so a plain
// password that merely begins with "$argon2id$" stays a plain password.
// Cheap (parses, never hashes). Any thread.
bool IsPasswordHash(std::string_view stored);

// The argon2id string of `password` upper-cased (about 19 MiB and 2
// passes; some tens of milliseconds). Null when libsodium cannot start or
// memory runs out. Any thread; holds no lock.
std::optional<std::string> HashPassword(std::string_view password);

// Whether `given` is the password `stored` keeps: a hash is verified
// (slow by design: call it without holding any lock; at most as many
// verifications run at once as the machine has cores, 2 to 8, and a further
// one waits for one of them to end); a plain password is
// compared in constant time over the whole field, ignoring the case of
// ASCII letters. An empty stored password never matches. Any thread.
bool PasswordMatches(std::string_view stored, std::string_view given);

// The plain comparison of PasswordMatches alone: constant time for texts
// that fit an account's password field (260 bytes). Any thread.
bool PlainPasswordMatches(std::string_view stored, std::string_view given);
