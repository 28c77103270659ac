// The settings file: the server options, the anonymous account and the
// named accounts with their accessible paths, kept as lines of text in
// tarnhold.bot, with the previous copy in tarnhold.bak.
#pragma once

#include <string>
#include <string_view>

#include "config/settings_disk.h"

class AccountStore;

// Where the settings file and its backup live. Both are in one folder.
struct SettingsFiles {
    std::string settingsPath;  // tarnhold.bot
    std::string backupPath;    // tarnhold.bak
};

// The settings file and backup in folder.
SettingsFiles SettingsFilesIn(const std::string& folder);

// Whether a whole line equal to `text` would start a section of the file
// (the markers compare without regard to case). Such a value cannot be
// stored: it would read back as a marker.
bool IsSettingsMarker(std::string_view text);

// Replaces the store's options, anonymous account and named accounts with
// the defaults and then with what the settings file holds. A missing or
// unreadable file leaves the defaults, silently. Values that cannot be read
// stay at their defaults; a text longer than its field is cut at the
// field's capacity; a number line without digits gives 0. Stray NUL bytes
// in the file are skipped. Takes the store's lock for the whole load.
// Called by the window thread at start-up.
void LoadSettings(AccountStore& store, const SettingsFiles& files);

// Whether LoadSettings will see what the settings file holds: true when
// it can be opened for reading or does not exist (the defaults apply);
// false, with the reason in `error`, when it exists but cannot be read, so
// that a caller never saves defaults over settings it could not read.
bool SettingsFileReadable(const SettingsFiles& files, std::string& error);

// Writes the store's records to the settings file with WriteFileSafely,
// an existing settings file becoming the backup. Returns true when every
// step succeeded; on failure (errno says why) the previous settings stay
// readable as the settings file or the backup. Takes the store's lock
// only to copy the records, never while touching the disk. Any thread.
bool SaveSettings(AccountStore& store, const SettingsFiles& files);
bool SaveSettings(AccountStore& store, const SettingsFiles& files, SettingsDisk& disk);
