// The settings file: the server options, the anonymous account and the
// named accounts with their accessible paths, kept as lines of text in
// tarnhold.bot, with the previous copy in tarnhold.bak; and beside it
// tarnhold.conf, the settings beyond the design (conf_keys.h).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/conf_keys.h"
#include "config/settings_disk.h"

class AccountStore;
struct PasswordUpgrade;

// Where the settings files live. All are in one folder.
struct SettingsFiles {
    std::string settingsPath;  // tarnhold.bot
    std::string backupPath;    // tarnhold.bak
    std::string confPath;      // tarnhold.conf; empty: none is read or written
};

// The settings files in folder.
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
// in the file are skipped. Then replaces the store's `conf` and
// `confValues` by tarnhold.conf's lines and values (ParseConf); a missing
// file gives no lines and the defaults, and so does one that cannot be
// read, which SaveConf then never replaces. Returns the lines of
// tarnhold.conf whose values were refused, for the caller to log in style
// "TarnHold error" (ConfError::LogText). Takes the store's lock for the
// whole load. Called by the window thread at start-up.
std::vector<ConfError> LoadSettings(AccountStore& store, const SettingsFiles& files);

// Whether LoadSettings will see what the settings files hold: true when
// each can be opened for reading or does not exist (the defaults apply);
// false, with the reason in `error`, when one exists but cannot be read,
// so that a caller never saves defaults over settings it could not read.
bool SettingsFileReadable(const SettingsFiles& files, std::string& error);

// Writes the store's records to the settings file with WriteFileSafely,
// an existing settings file becoming the backup. Returns true when every
// step succeeded; on failure (errno says why) the previous settings stay
// readable as the settings file or the backup. Takes the store's lock
// only to copy the records, never while touching the disk. Any thread.
bool SaveSettings(AccountStore& store, const SettingsFiles& files);
bool SaveSettings(AccountStore& store, const SettingsFiles& files, SettingsDisk& disk);

// Writes the store's `conf` lines to tarnhold.conf with WriteFileSafely
// (no backup): byte for byte what was read, with the keys set since.
// Nothing is written, successfully, while the file is missing and no key
// has been set. Returns false (errno says why) when a step failed, or,
// with EIO, when the file existed but could not be read at load time, so
// that what is not its content never replaces it. Takes the store's lock
// only to copy the lines. Any thread.
bool SaveConf(AccountStore& store, const SettingsFiles& files);
bool SaveConf(AccountStore& store, const SettingsFiles& files, SettingsDisk& disk);

// Brings the settings files in step with the plain passwords the store
// has replaced by their hashes (`upgradedPasswords`): in tarnhold.bot and
// in tarnhold.bak, each password line of a named account with that login
// that still holds that plain text is replaced by the hash, and nothing
// else changes; each file is written with WriteFileSafely, and only when
// it changed. Returns true when nothing was to do or every write
// succeeded; on failure (errno says why) the upgrades stay listed for the
// next save. Takes the store's lock only to take the list. Any thread;
// SaveSettings calls it first, so no save leaves a plain copy behind (and
// saves all the same when it fails, returning false).
bool StorePasswordUpgrades(AccountStore& store, const SettingsFiles& files);
bool StorePasswordUpgrades(AccountStore& store, const SettingsFiles& files, SettingsDisk& disk);

// The text of a settings file with the upgrades applied as
// StorePasswordUpgrades applies them: every other byte stays as it was.
std::string ReplacePlainPasswords(std::string_view text,
                                  const std::vector<PasswordUpgrade>& upgrades);

// What the Exit command stores: SaveSettings, then SaveConf (tried even
// when the first failed). Returns true when both succeeded.
bool SaveAllSettings(AccountStore& store, const SettingsFiles& files);
