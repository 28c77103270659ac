// ConfFile: the lines of tarnhold.conf, kept byte for byte so that saving
// writes back an owner's comments, blank lines, unknown keys and their
// order exactly as found. Knows the line syntax only; what a key's value
// means is conf_keys.h's business.
//
// Syntax: lines end in LF or CR LF (each line keeps its own ending; the
// last line may have none). A line whose first non-blank character is `#`
// is a comment; a line of spaces and tabs is blank; any other line is
// `key = value`, split at its first `=`, with the blanks around key and
// value dropped. Keys compare exactly. When a key appears on several
// lines, the last one counts.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class ConfFile {
public:
    // A `key = value` line, or a line that should be one (`malformed`:
    // neither blank, a comment, nor a key before an `=`; its `key` is then
    // the whole line without the blanks around it).
    struct Setting {
        std::size_t line;  // from 1
        std::string_view key;
        std::string_view value;
        bool malformed;
    };

    // No lines; the file does not exist.
    ConfFile() = default;

    // Replaces the lines by those of the file at `path`. A missing file
    // gives no lines. Returns false, with `error` saying why, when the
    // file exists but cannot be read: the lines are then empty and
    // Unreadable() is true, so that nobody replaces the owner's file by
    // what is not its content.
    bool Load(const std::string& path, std::string& error);

    // Replaces the lines by those of `text`, as a file holding it would.
    void SetText(std::string_view text);

    // The lines with their endings: the file's content.
    std::string Text() const;

    // Whether there is a file to write: one was read, or a key was set.
    bool Exists() const { return exists_; }
    bool Unreadable() const { return unreadable_; }

    // The `key = value` and malformed lines in file order. The views
    // point into this object and stay valid until it changes.
    std::vector<Setting> Settings() const;

    // The value of the last line carrying `key`; nullopt when none does.
    std::optional<std::string> Value(std::string_view key) const;

    // Sets `key`'s value: on the last line carrying it, whose key, `=`,
    // blanks and line ending stay as they are; without one, a new line
    // `key = value` at the end, ended as the file's first line is (LF in
    // a new file). An empty value is written as `key =`. `key` must be a
    // key as Settings() reads it and `value` must hold no line break.
    void Set(std::string_view key, std::string_view value);

private:
    struct Line {
        std::string text;    // without its ending
        std::string ending;  // "\n", "\r\n", or "" for a last line without one
    };

    // Splits a line into key and value; false for a blank or comment line.
    static bool Split(std::string_view text, std::string_view& key, std::string_view& value,
                      bool& malformed);
    std::string_view TextOf(std::size_t index) const;

    std::vector<Line> lines_;
    bool exists_ = false;
    bool unreadable_ = false;
};
