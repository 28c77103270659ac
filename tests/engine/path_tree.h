// Test helpers for the path checks: a temporary folder tree that removes
// itself, and an account store with one account whose accessible paths a
// test sets.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <string_view>

#include "config/account_store.h"
#include "engine/path_access.h"

namespace path_test {

namespace fs = std::filesystem;

constexpr uint32_t kAllFlags = PERM_FILE_READ | PERM_FILE_WRITE | PERM_FILE_DELETE |
                               PERM_FOLDER_LIST | PERM_FOLDER_CREATE | PERM_FOLDER_DELETE;

// A fresh folder under the test's temporary folder, resolved, so the paths
// a test expects are the ones realpath() gives.
class TempTree {
public:
    TempTree() {
        std::string pattern = fs::path(testing::TempDir()) / "tarnhold-paths-XXXXXX";
        char* made = mkdtemp(pattern.data());
        if (made == nullptr) ADD_FAILURE() << "mkdtemp failed";
        root_ = fs::canonical(pattern).string();
    }
    ~TempTree() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);  // does not follow links
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    // The absolute path of a name relative to the tree ("" is the root).
    std::string Path(std::string_view relative) const {
        return relative.empty() ? root_ : root_ + "/" + std::string(relative);
    }
    void Folder(std::string_view relative) const { fs::create_directories(Path(relative)); }
    void File(std::string_view relative, std::string_view content = "data") const {
        std::ofstream(Path(relative), std::ios::binary) << content;
    }
    // A symbolic link at `relative` with the target text as given.
    void Link(std::string_view relative, const std::string& target) const {
        fs::create_symlink(target, Path(relative));
    }

    // Every entry below the root with its kind and its content or link
    // target, so a test can show that a refused operation changed nothing.
    std::set<std::string> Snapshot() const {
        std::set<std::string> entries;
        for (const auto& entry : fs::recursive_directory_iterator(root_)) {
            std::string line = fs::relative(entry.path(), root_).string();
            const fs::file_status status = entry.symlink_status();
            if (fs::is_symlink(status)) {
                line += " -> " + fs::read_symlink(entry.path()).string();
            } else if (fs::is_directory(status)) {
                line += "/";
            } else {
                std::ifstream in(entry.path(), std::ios::binary);
                line += " = " + std::string(std::istreambuf_iterator<char>(in), {});
            }
            entries.insert(line);
        }
        return entries;
    }

private:
    std::string root_;
};

// An account store with one named account.
class TestAccount {
public:
    TestAccount() {
        AccountStore::Lock lock(store_);
        account_ = store_.AddAccount();
    }
    void Allow(const std::string& path, uint32_t flags) {
        AccountStore::Lock lock(store_);
        ASSERT_NE(account_->paths.AddPath(path, flags), nullptr) << path;
    }
    SessionPaths Session(std::string_view home, std::string_view current) {
        return SessionPaths{store_, account_, home, current};
    }

private:
    AccountStore store_;
    account_s* account_ = nullptr;
};

}  // namespace path_test
