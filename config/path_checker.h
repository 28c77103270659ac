// PathChecker: an account's accessible paths with their permission flags,
// and the tree of path components that answers permission lookups.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "config/linked_list.h"

// Permission flags of an accessible path (0x08 is never used).
constexpr uint32_t PERM_FILE_READ = 0x40;
constexpr uint32_t PERM_FILE_WRITE = 0x20;
constexpr uint32_t PERM_FILE_DELETE = 0x10;
constexpr uint32_t PERM_FOLDER_LIST = 0x04;
constexpr uint32_t PERM_FOLDER_CREATE = 0x02;
constexpr uint32_t PERM_FOLDER_DELETE = 0x01;

// Capacity of the path and component texts, terminator included: a path
// or component holds at most 263 characters.
constexpr std::size_t PATH_TEXT_SIZE = 264;

// One accessible path, in the order the paths were added.
struct textnode_s {
    char path[PATH_TEXT_SIZE] = {};  // normalised absolute path
    uint32_t flags = 0;              // PERM_* bits
    uint32_t reserved = 0;           // stored and restored, never interpreted
    textnode_s* next = nullptr;
};

// One path component in the tree.
struct node_s {
    char name[PATH_TEXT_SIZE] = {};  // the component; empty for the root
    uint32_t flags = 0;              // the flags of `entry`; 0 without one
    textnode_s* entry = nullptr;     // the entry ending here, or null
    LinkedList<node_s> children;     // following components, in creation order
    node_s* next = nullptr;
};

// A (parent, node) pair: the top of the branch that a path removal cuts off.
struct nodechain_s {
    node_s* parent = nullptr;
    node_s* node = nullptr;
    nodechain_s* next = nullptr;
};

// The accessible paths of one account.
//
// Paths are absolute POSIX paths split at '/', compared case-sensitively.
// AddPath normalises what it stores (one leading '/', no doubled or
// trailing '/', "." and ".." resolved as text); "/" itself is an
// accessible path that covers everything (the root node's entry).
//
// The lookups (HasPath, GetPermissions, SetPermissions, RemovePath) walk
// the text in place without allocating. They skip empty components, so
// doubled and trailing '/' do not matter, but they do not resolve "." or
// "..": a path that is not absolute or contains such a component is
// treated as not listed (GetPermissions gives -1). Callers pass paths as
// the path mapping produces them, already normalised.
//
// No lock of its own: AccountStore's lock guards every account's paths.
class PathChecker {
public:
    LinkedList<textnode_s> entries;  // the accessible paths, in insertion order
    node_s root;                     // empty name, the entry of "/" if listed

    PathChecker() = default;
    ~PathChecker() { Clear(); }
    PathChecker(const PathChecker&) = delete;
    PathChecker& operator=(const PathChecker&) = delete;

    // Adds an accessible path with its flags and reserved value and returns
    // its entry. Returns null, changing nothing, when the path is already
    // listed, is empty, not absolute, contains a NUL, or is longer than 263
    // characters once normalised (never cut into a different path).
    // Throws std::bad_alloc when memory runs out, changing nothing.
    textnode_s* AddPath(std::string_view path, uint32_t flags, uint32_t reserved = 0);

    // 1 when the path is itself an accessible path, else 0.
    int HasPath(std::string_view path) const;

    // The flags of the deepest accessible path that is the path itself or
    // one of its ancestors, or -1 when there is none. -1 has every bit set:
    // test it before testing a bit.
    int32_t GetPermissions(std::string_view path) const;

    // Sets the flags of an accessible path. Returns 0 when the path's node
    // exists (a node that only leads to deeper entries is left unchanged),
    // 1 when it does not.
    int SetPermissions(std::string_view path, uint32_t flags);

    // Removes an accessible path and the branch of the tree that served
    // only it. Returns 0 when removed, 1 when the path is not listed.
    int RemovePath(std::string_view path);

    // Removes every entry and every node; `root` stays.
    void Clear();

    // Writes the normalised form of `path` into `out` (at most `size` - 1
    // characters and a terminator). Returns false, leaving `out` undefined,
    // when the path is empty, not absolute, contains a NUL, or does not fit.
    static bool NormalisePath(std::string_view path, char* out, std::size_t size);

private:
    const node_s* FindNode(std::string_view path) const;
    node_s* FindNode(std::string_view path);
};
