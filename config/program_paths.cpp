#include "config/program_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "net/tls.h"

#ifndef TARNHOLD_VERSION
#error "the build defines TARNHOLD_VERSION"
#endif
#ifndef TARNHOLD_RELATIVE_DATA_FOLDER
#error "the build defines TARNHOLD_RELATIVE_DATA_FOLDER"
#endif
#ifndef TARNHOLD_RELATIVE_MODULE_FOLDER
#error "the build defines TARNHOLD_RELATIVE_MODULE_FOLDER"
#endif

namespace {

bool IsFolder(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// mkdir -p: the last folder private (0700), those above it 0755.
bool MakeFolders(const std::string& path, std::string& error) {
    for (std::size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        const std::string level = path.substr(0, at);
        const mode_t mode = at == path.size() ? 0700 : 0755;
        if (mkdir(level.c_str(), mode) != 0 && errno != EEXIST) {
            error = "cannot create the settings folder '" + level + "': " + std::strerror(errno);
            return false;
        }
    }
    if (!IsFolder(path)) {
        error = "the settings folder '" + path + "' is not a folder";
        return false;
    }
    return true;
}

// Joins `relative` onto the absolute `folder`, resolving "." and ".." as
// text: the executable's folder comes from /proc and holds no links.
std::string JoinFolder(const std::string& folder, const std::string& relative) {
    std::string out = folder;
    std::size_t at = 0;
    while (at <= relative.size()) {
        std::size_t end = relative.find('/', at);
        if (end == std::string::npos) end = relative.size();
        const std::string part = relative.substr(at, end - at);
        if (part == "..") {
            std::size_t slash = out.rfind('/');
            out.resize(slash == 0 || slash == std::string::npos ? 1 : slash);
        } else if (!part.empty() && part != ".") {
            if (out.back() != '/') out += '/';
            out += part;
        }
        at = end + 1;
    }
    return out;
}

}  // namespace

const char* ProgramVersion() { return TARNHOLD_VERSION; }

std::string ExecutablePath() {
    std::string path(4096, '\0');
    ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= path.size()) return {};
    path.resize(static_cast<std::size_t>(n));
    // The kernel marks a file unlinked since the start; its successor has
    // the path without the mark.
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.ends_with(kDeleted)) path.resize(path.size() - kDeleted.size());
    return path;
}

std::string ExecutableFolder() {
    const std::string path = ExecutablePath();
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string DataFolderOf(const std::string& executableFolder,
                         const std::string& relativeDataFolder) {
    if (executableFolder.empty()) return {};
    const std::string installed = JoinFolder(executableFolder, relativeDataFolder);
    return IsFolder(installed) ? installed : executableFolder;
}

std::string DataFolder() { return DataFolderOf(ExecutableFolder(), TARNHOLD_RELATIVE_DATA_FOLDER); }

std::string ModuleOf(const std::string& executableFolder, const std::string& relativeModuleFolder,
                     const char* name) {
    if (executableFolder.empty()) return {};
    const std::string installed = JoinFolder(executableFolder, relativeModuleFolder) + "/" + name;
    struct stat info {};
    if (stat(installed.c_str(), &info) == 0 && S_ISREG(info.st_mode)) return installed;
    return JoinFolder(executableFolder, name);
}

std::string ProgramModule(const char* name) {
    return ModuleOf(ExecutableFolder(), TARNHOLD_RELATIVE_MODULE_FOLDER, name);
}

std::string TlsModule() { return ProgramModule(kTlsModuleName); }

std::string ConfigHome() {
    std::string base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        base = std::string(home) + "/.config";
    } else {
        return {};
    }
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base;
}

std::string DefaultSettingsFolder(std::string& error) {
    const std::string base = ConfigHome();
    if (base.empty()) {
        error = "neither XDG_CONFIG_HOME nor HOME names an absolute folder; use --config-dir";
        return {};
    }
    std::string folder = base + "/tarnhold";
    if (!MakeFolders(folder, error)) return {};
    return folder;
}
