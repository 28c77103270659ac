// AutostartEntry: the start-at-logon entry of the desktop, the XDG
// autostart file TARNHOLD.desktop in ${XDG_CONFIG_HOME:-~/.config}/autostart,
// which starts the program when the owner logs on.
//
// Plain file-system work, no Qt. Any thread; the environment is read at
// each call.
#pragma once

#include <string>

class AutostartEntry {
public:
    enum class Result {
        Done,
        // The autostart folder could not be found, created or opened.
        FolderFailed,
        // The entry could not be written, or deleted (also when missing).
        EntryFailed,
    };

    // An entry that starts the executable at `executablePath` (absolute).
    explicit AutostartEntry(std::string executablePath);

    // Writes the entry crash-safely: a temporary file in the same folder,
    // synced, renamed onto the entry, then the folder synced. The folder
    // and those above it are created as needed (mode 0700, as the XDG
    // folders are). A failed write leaves any earlier entry as it was.
    Result Write() const;

    // Deletes the entry; a missing entry is a failure.
    Result Remove() const;

    // ${XDG_CONFIG_HOME}/autostart when that names an absolute folder,
    // else $HOME/.config/autostart; empty when neither is set.
    static std::string Folder();

    // The entry's text: a desktop entry of type Application named
    // "Tarnwell Server" whose Exec line runs `executablePath`.
    static std::string Text(const std::string& executablePath);

    // `argument` as one argument of an Exec line: quoted and escaped as
    // desktops expect of Exec lines when it holds a reserved character,
    // with `%` doubled.
    static std::string ExecArgument(const std::string& argument);

private:
    std::string executablePath_;
};
