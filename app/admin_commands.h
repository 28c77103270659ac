// Headless administration: subcommands of the tarnhold executable that
// list and edit the settings of a folder through the settings loader and
// its crash-safe writer, for owners without a display.
//
//   tarnhold [--config-dir DIR] account list | add NAME [SETTINGS]
//            | set NAME SETTINGS | password NAME | delete NAME
//   tarnhold [--config-dir DIR] path list NAME | add NAME PATH [PERMISSIONS]
//            | set NAME PATH PERMISSIONS | delete NAME PATH
//   tarnhold [--config-dir DIR] option list | set KEY VALUE
//
// Edits take the settings folder's lock (SettingsLock) and are refused
// while a server holds it; lists work at any time. An edit either saves
// the whole new file or changes nothing.
#pragma once

#include <cstdio>

// Whether the command line names a subcommand (account, path or option),
// after an optional --config-dir DIR.
bool IsAdminCommand(int argc, char** argv);

// Runs the subcommand of the command line. Lists go to `out`, one record
// a line; errors and warnings go to `err`; `password` reads `in`. Returns
// the exit code: 0 done, 1 refused or failed (nothing changed), 2 a
// command line that cannot be understood.
int RunAdminCommand(int argc, char** argv, std::FILE* in, std::FILE* out, std::FILE* err);

// The subcommands' part of the usage text.
void PrintAdminUsage(std::FILE* to);
