// libFuzzer entry: the path text functions and an account's accessible
// paths, checked against plain reference versions on arbitrary texts.
// Nothing touches the file system, so this runs far faster than the
// whole-session fuzzer and reaches the corners of the path door that a
// command stream rarely does.
//
// Input: lines. Line 1 is the home folder, line 2 the current folder
// (both put into normal form first, as a session keeps them); each further
// line starting with '+' adds an accessible path ('+', one flag byte, the
// path), with '-' removes one, and any other line is a client's path
// text. Every mapped path is looked up in the accessible paths and the
// answer compared with a linear search over the entries.
//
// Built as path_fuzz with -DTARNHOLD_FUZZ=ON and clang; the same file
// also builds into path_fuzz_replay, which runs the saved inputs in every
// build.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "config/path_checker.h"
#include "engine/path_mapping.h"

namespace {

[[noreturn]] void Fail(const char* what, std::string_view a, std::string_view b = {}) {
    std::fprintf(stderr, "path_fuzz: %s: \"%.*s\" \"%.*s\"\n", what, static_cast<int>(a.size()),
                 a.data(), static_cast<int>(b.size()), b.data());
    std::abort();
}

// A real path in normal form: one leading '/', no empty, "." or ".."
// component, no trailing '/' (but "/" itself).
bool IsNormalRealPath(std::string_view path) {
    if (path.empty() || path.front() != '/') return false;
    if (path == "/") return true;
    if (path.back() == '/') return false;
    std::size_t at = 1;
    while (at <= path.size()) {
        std::size_t end = path.find('/', at);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view component = path.substr(at, end - at);
        if (component.empty() || component == "." || component == "..") return false;
        at = end + 1;
    }
    return true;
}

bool CoversReference(std::string_view folder, std::string_view path) {
    if (folder == "/" || folder == path) return true;
    return path.size() > folder.size() && path.substr(0, folder.size()) == folder &&
           path[folder.size()] == '/';
}

// Resolves "." and ".." as text, one component at a time.
std::string ResolveReference(std::string_view path) {
    std::vector<std::string_view> kept;
    std::size_t at = 0;
    while (at <= path.size()) {
        std::size_t end = path.find('/', at);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view component = path.substr(at, end - at);
        if (component == "..") {
            if (!kept.empty()) kept.pop_back();
        } else if (!component.empty() && component != ".") {
            kept.push_back(component);
        }
        at = end + 1;
    }
    std::string out;
    for (std::string_view component : kept) {
        out += '/';
        out += component;
    }
    return out.empty() ? "/" : out;
}

struct Entry {
    std::string path;
    uint32_t flags;
};

// The flags of the deepest entry covering the path, or -1.
int32_t PermissionsReference(const std::vector<Entry>& entries, std::string_view path) {
    const Entry* best = nullptr;
    for (const Entry& entry : entries) {
        if (CoversReference(entry.path, path) &&
            (best == nullptr || entry.path.size() > best->path.size())) {
            best = &entry;
        }
    }
    return best == nullptr ? -1 : static_cast<int32_t>(best->flags);
}

void CheckTextFunctions(std::string_view home, std::string_view current, std::string_view text) {
    const std::string normal = NormalisePath(text);
    if (!normal.empty() &&
        (normal.front() == '/' || normal.back() == '/' || normal.find('\\') != std::string::npos ||
         normal.find("//") != std::string::npos)) {
        Fail("NormalisePath left a separator out of place", text, normal);
    }

    std::string resolved(text);
    ResolveDotDot(resolved);
    if (!IsNormalRealPath(resolved)) Fail("ResolveDotDot", text, resolved);
    if (resolved != ResolveReference(text)) Fail("ResolveDotDot differs", text, resolved);

    std::string mapped;
    const bool holdsNul = text.find('\0') != std::string_view::npos;
    if (MapPath(home, current, text, mapped)) {
        if (holdsNul) Fail("MapPath took a NUL", text);
        if (!IsNormalRealPath(mapped) || mapped.size() >= kRealPathSize) {
            Fail("MapPath", text, mapped);
        }
        if (!CoversReference("/", mapped) || !IsAtOrBelow("/", mapped)) Fail("root", mapped);
        const std::string parent = ParentFolder(mapped);
        if (!IsAtOrBelow(parent, mapped) || !IsNormalRealPath(parent)) {
            Fail("ParentFolder", mapped, parent);
        }
    } else if (!holdsNul && home.size() + current.size() + text.size() + 2 < kRealPathSize) {
        Fail("MapPath refused a short text", text);
    }

    std::string joined;
    if (JoinPath(home, current, text, joined)) {
        if (text.find("..") != std::string_view::npos || holdsNul) Fail("JoinPath took", text);
        if (!IsNormalRealPath(joined)) Fail("JoinPath", text, joined);
        // Never above the folder it was joined to.
        std::size_t first = text.find_first_not_of(' ');
        const bool fromHome =
            first != std::string_view::npos && (text[first] == '/' || text[first] == '\\');
        if (!IsAtOrBelow(fromHome ? home : current, joined)) Fail("JoinPath escaped", text, joined);
    }

    if (IsAtOrBelow(home, current) != CoversReference(home, current)) {
        Fail("IsAtOrBelow differs", home, current);
    }
    // What PWD shows for a folder below home maps back to that folder
    // (a backslash in a real name is a separator in a client's text).
    if (IsAtOrBelow(home, current) && current.find('\\') == std::string_view::npos) {
        std::string back;
        const std::string shown = ClientPathText(home, current);
        if (!MapPath(home, "/", shown, back) || back != current)
            Fail("PWD round trip", shown, back);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> lines;
    std::size_t at = 0;
    while (at <= input.size() && lines.size() < 64) {
        std::size_t end = input.find('\n', at);
        if (end == std::string_view::npos) end = input.size();
        lines.push_back(input.substr(at, end - at));
        at = end + 1;
    }
    while (lines.size() < 2) lines.push_back("/");

    // Session folders are kept in normal form and hold no NUL.
    std::string home(lines[0].substr(0, lines[0].find('\0')));
    std::string current(lines[1].substr(0, lines[1].find('\0')));
    ResolveDotDot(home);
    ResolveDotDot(current);
    if (home.size() >= kRealPathSize || current.size() >= kRealPathSize) return 0;

    PathChecker checker;
    std::vector<Entry> entries;
    for (std::size_t i = 2; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        if (line.size() >= 2 && line.front() == '+') {
            const uint32_t flags = static_cast<uint8_t>(line[1]) & 0x77u;
            const std::string_view path = line.substr(2);
            char normal[PATH_TEXT_SIZE];
            const bool fits = PathChecker::NormalisePath(path, normal, sizeof normal);
            if (fits && std::string(normal) != ResolveReference(path)) {
                Fail("PathChecker::NormalisePath differs", path, normal);
            }
            bool listed = false;
            for (const Entry& entry : entries) listed = listed || (fits && entry.path == normal);
            textnode_s* added = checker.AddPath(path, flags);
            if ((added != nullptr) != (fits && !listed)) Fail("AddPath", path);
            if (added != nullptr) entries.push_back({normal, flags});
        } else if (!line.empty() && line.front() == '-') {
            const std::string normal = ResolveReference(line.substr(1));
            bool listed = false;
            for (auto it = entries.begin(); it != entries.end(); ++it) {
                if (it->path == normal) {
                    entries.erase(it);
                    listed = true;
                    break;
                }
            }
            if (checker.RemovePath(normal) != (listed ? 0 : 1)) Fail("RemovePath", normal);
        } else {
            CheckTextFunctions(home, current, line);
            std::string mapped;
            if (MapPath(home, current, line, mapped) &&
                checker.GetPermissions(mapped) != PermissionsReference(entries, mapped)) {
                Fail("GetPermissions differs", mapped);
            }
        }
    }
    for (const Entry& entry : entries) {
        if (checker.HasPath(entry.path) != 1) Fail("HasPath lost", entry.path);
    }
    return 0;
}
