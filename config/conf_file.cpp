#include "config/conf_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstring>

namespace {

constexpr std::string_view kBlanks = " \t\r";
// Editors that save "UTF-8 with BOM" put it before the first key.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string_view Trim(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace

bool ConfFile::Load(const std::string& path, std::string& error) {
    lines_.clear();
    exists_ = false;
    unreadable_ = false;
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd == -1 && errno == EINTR);
    if (fd == -1 && errno == ENOENT) return true;
    std::string text;
    int failure = fd == -1 ? errno : 0;
    while (failure == 0) {
        char block[4096];
        const ssize_t n = ::read(fd, block, sizeof block);
        if (n == -1 && errno == EINTR) continue;
        if (n == -1) failure = errno;
        if (n <= 0) break;
        text.append(block, static_cast<std::size_t>(n));
    }
    if (fd != -1) ::close(fd);
    if (failure != 0) {
        unreadable_ = true;
        error = "cannot read " + path + ": " + std::strerror(failure);
        return false;
    }
    SetText(text);
    return true;
}

void ConfFile::SetText(std::string_view text) {
    lines_.clear();
    exists_ = true;
    unreadable_ = false;
    while (!text.empty()) {
        const std::size_t lf = text.find('\n');
        if (lf == std::string_view::npos) {
            lines_.push_back({std::string(text), ""});
            break;
        }
        const bool crlf = lf > 0 && text[lf - 1] == '\r';
        lines_.push_back({std::string(text.substr(0, crlf ? lf - 1 : lf)), crlf ? "\r\n" : "\n"});
        text.remove_prefix(lf + 1);
    }
}

std::string ConfFile::Text() const {
    std::string text;
    for (const Line& line : lines_) text.append(line.text).append(line.ending);
    return text;
}

std::string_view ConfFile::TextOf(std::size_t index) const {
    std::string_view text = lines_[index].text;
    if (index == 0 && text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
    return text;
}

bool ConfFile::Split(std::string_view text, std::string_view& key, std::string_view& value,
                     bool& malformed) {
    const std::string_view trimmed = Trim(text);
    if (trimmed.empty() || trimmed.front() == '#') return false;
    const std::size_t eq = text.find('=');
    key = eq == std::string_view::npos ? trimmed : Trim(text.substr(0, eq));
    value = eq == std::string_view::npos ? std::string_view() : Trim(text.substr(eq + 1));
    malformed = eq == std::string_view::npos || key.empty();
    if (malformed) {
        key = trimmed;
        value = {};
    }
    return true;
}

std::vector<ConfFile::Setting> ConfFile::Settings() const {
    std::vector<Setting> settings;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        Setting setting{i + 1, {}, {}, false};
        if (Split(TextOf(i), setting.key, setting.value, setting.malformed)) {
            settings.push_back(setting);
        }
    }
    return settings;
}

std::optional<std::string> ConfFile::Value(std::string_view key) const {
    std::optional<std::string> found;
    for (const Setting& setting : Settings()) {
        if (!setting.malformed && setting.key == key) found = std::string(setting.value);
    }
    return found;
}

void ConfFile::Set(std::string_view key, std::string_view value) {
    assert(!key.empty() && key == Trim(key) && key.front() != '#' &&
           key.find('=') == std::string_view::npos);
    assert(value.find_first_of("\r\n") == std::string_view::npos);
    exists_ = true;
    for (std::size_t i = lines_.size(); i-- > 0;) {
        std::string_view lineKey, oldValue;
        bool malformed = false;
        if (!Split(TextOf(i), lineKey, oldValue, malformed) || malformed || lineKey != key) {
            continue;
        }
        std::string& text = lines_[i].text;
        const std::size_t eq = text.find('=');
        if (value.empty() || oldValue.empty()) {
            text.erase(eq + 1);
            // "key =" becomes "key = value", spaced as the key is.
            if (!value.empty() && eq > 0 && (text[eq - 1] == ' ' || text[eq - 1] == '\t')) {
                text += ' ';
            }
        } else {
            text.erase(text.find_first_not_of(kBlanks, eq + 1));
        }
        text.append(value);
        return;
    }
    std::string ending = "\n";
    for (const Line& line : lines_) {
        if (!line.ending.empty()) {
            ending = line.ending;
            break;
        }
    }
    if (!lines_.empty() && lines_.back().ending.empty()) lines_.back().ending = ending;
    std::string text(key);
    text.append(value.empty() ? " =" : " = ").append(value);
    lines_.push_back({std::move(text), std::move(ending)});
}
