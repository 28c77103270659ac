// Where the program's own files are: its executable, its data folder (the
// help manual) and the default settings folder, and its version.
#pragma once

#include <string>

// The version of this build, as in `tarnhold --version`.
const char* ProgramVersion();

// The full path of the running executable, or empty when /proc does not
// tell. A file replaced since the start (an upgrade) still gives its path.
std::string ExecutablePath();

// The folder of the running executable, or empty when /proc does not tell.
std::string ExecutableFolder();

// The data folder for an executable in `executableFolder`: the installed
// layout's data folder (`relativeDataFolder` from the executable's folder,
// such as "../share/tarnhold") when that folder exists, otherwise the
// executable's own folder, as in the build tree. Empty in, empty out.
std::string DataFolderOf(const std::string& executableFolder,
                         const std::string& relativeDataFolder);

// The running program's data folder (DataFolderOf with this build's
// installed layout), or empty when the executable's folder is unknown.
std::string DataFolder();

// The program's module `name` (such as "tarnhold-desktop.so") for an
// executable in `executableFolder`: in the installed layout's module folder
// (`relativeModuleFolder` from the executable's folder, such as
// "../lib/tarnhold") when the file is there, otherwise beside the
// executable, as in the build tree. Empty in, empty out.
std::string ModuleOf(const std::string& executableFolder, const std::string& relativeModuleFolder,
                     const char* name);

// The running program's module `name` (ModuleOf with this build's
// installed layout), or empty when the executable's folder is unknown.
std::string ProgramModule(const char* name);

// The running program's TLS module (ProgramModule of kTlsModuleName).
std::string TlsModule();

// The user's configuration folder: $XDG_CONFIG_HOME when it is absolute,
// else $HOME/.config; no trailing '/'. Empty when neither is absolute.
std::string ConfigHome();

// ${XDG_CONFIG_HOME:-$HOME/.config}/tarnhold, created with mode 0700 when
// it is missing (the folders above it as needed, mode 0755). On failure
// returns empty and puts the reason in `error`.
std::string DefaultSettingsFolder(std::string& error);
