#include "engine/path_mapping.h"

#include <cstring>

namespace {

bool IsClientSeparator(char c) { return c == '/' || c == '\\'; }

bool HasNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

bool IsAbsoluteClientText(std::string_view text) {
    std::size_t first = text.find_first_not_of(' ');
    return first != std::string_view::npos && IsClientSeparator(text[first]);
}

// Appends each non-empty component of a client text to `out` as '/' and
// the component. Leading spaces go first, since the argument of a path
// command starts with the space that follows the verb.
void AppendClientComponents(std::string& out, std::string_view text) {
    std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return;
    text.remove_prefix(first);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = start;
        while (end < text.size() && !IsClientSeparator(text[end])) ++end;
        if (end > start) {
            out.push_back('/');
            out.append(text.substr(start, end - start));
        }
        start = end + 1;
    }
}

// base + the client text, in normal form, when it fits.
bool MapUnder(std::string_view base, std::string_view text, std::string& out) {
    if (HasNul(base) || HasNul(text)) return false;
    out.assign(base);
    out.push_back('/');
    AppendClientComponents(out, text);
    ResolveDotDot(out);
    return out.size() < kRealPathSize;
}

}  // namespace

std::string NormalisePath(std::string_view text) {
    std::string out;
    AppendClientComponents(out, text);
    if (!out.empty()) out.erase(0, 1);
    return out;
}

void ResolveDotDot(std::string& path) {
    if (path.empty() || path.front() != '/') path.insert(path.begin(), '/');
    // Compacts in place: the part written, path[0, kept), never overtakes
    // the part read, since every component read was preceded by a '/'.
    const std::size_t size = path.size();
    std::size_t kept = 0;
    std::size_t read = 0;
    while (read < size) {
        while (read < size && path[read] == '/') ++read;
        const std::size_t start = read;
        while (read < size && path[read] != '/') ++read;
        const std::size_t length = read - start;
        if (length == 0 || (length == 1 && path[start] == '.')) continue;
        if (length == 2 && path[start] == '.' && path[start + 1] == '.') {
            while (kept > 0 && path[kept - 1] != '/') --kept;
            if (kept > 0) --kept;
            continue;
        }
        path[kept++] = '/';
        std::memmove(&path[kept], &path[start], length);
        kept += length;
    }
    if (kept == 0) path[kept++] = '/';
    path.resize(kept);
}

bool MapPath(std::string_view home, std::string_view current, std::string_view text,
             std::string& out) {
    return MapUnder(IsAbsoluteClientText(text) ? home : current, text, out);
}

bool IsAtOrBelow(std::string_view folder, std::string_view path) {
    if (folder == "/") return true;
    return path.starts_with(folder) &&
           (path.size() == folder.size() || path[folder.size()] == '/');
}

std::string ClientPathText(std::string_view home, std::string_view current) {
    std::string homePath(home);
    ResolveDotDot(homePath);
    std::string shown(current);
    ResolveDotDot(shown);
    if (shown == homePath) return "/";
    // Under a home of "/" every folder is shown whole, which is the same text.
    if (homePath != "/" && IsAtOrBelow(homePath, shown)) shown.erase(0, homePath.size());
    return shown;
}

std::string ParentFolder(std::string_view path) {
    std::string parent(path);
    ResolveDotDot(parent);
    std::size_t cut = parent.rfind('/');
    parent.resize(cut == 0 ? 1 : cut);
    return parent;
}

std::string EntryPath(std::string_view folder, std::string_view name) {
    std::string path(folder);
    if (path.empty() || path.back() != '/') path.push_back('/');
    path.append(name);
    return path;
}

bool JoinPath(std::string_view home, std::string_view folder, std::string_view relative,
              std::string& out) {
    if (relative.find("..") != std::string_view::npos) return false;
    return MapUnder(IsAbsoluteClientText(relative) ? home : folder, relative, out);
}
