// The machine-readable listing of MLSD and MLST: one line of facts per
// entry (type, size, modify, perm, UNIX.mode) followed by its name, and the
// perm letters that say which commands the account may carry out on the
// entry. Pure text functions; nothing here touches a socket or the file
// system. Any thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

// The facts a session shows (OPTS MLST selects them).
constexpr uint32_t FACT_TYPE = 0x01;
constexpr uint32_t FACT_SIZE = 0x02;
constexpr uint32_t FACT_MODIFY = 0x04;
constexpr uint32_t FACT_PERM = 0x08;
constexpr uint32_t FACT_UNIX_MODE = 0x10;
constexpr uint32_t FACT_ALL = 0x1F;

// What an entry is, as the type fact tells it.
enum class MachineEntryKind {
    File,          // type=file (a link shows what it leads to)
    Folder,        // type=dir
    ListedFolder,  // type=cdir: the folder being listed (".")
    ParentFolder,  // type=pdir: the folder above it ("..")
    Dangling,      // type=OS.unix=slink: a link whose target is gone
};

struct MachineEntry {
    std::string name;
    MachineEntryKind kind = MachineEntryKind::File;
    std::int64_t size = 0;
    std::time_t modified = 0;
    std::uint32_t mode = 0;  // st_mode
    std::string perm;        // see PermLetters
};

// The perm letters of an entry from the flags the account holds on it:
// `follow` with every link resolved (as RETR, STOR, CWD and the listings
// check), `parent` with only the parent folder resolved (as DELE, RMD and
// RNFR check); -1 for none. A folder's flags stand for its new entries too
// (c, m, p). Letters in the order r w a d f e l c m p, each only where its
// command applies: r RETR, w STOR, a APPE, d DELE or RMD, f RNFR, e CWD,
// l LIST and MLSD, c STOR into the folder, m MKD in it, p DELE or RMD of
// its entries.
std::string PermLetters(MachineEntryKind kind, int32_t follow, int32_t parent);

// "YYYYMMDDHHMMSS" of a time in UTC, as MDTM and the modify fact show it.
std::string MachineTime(std::time_t when);

// The facts of an entry as "fact=value;" pairs in the order type, size
// (files only), modify, perm, UNIX.mode, limited to `facts`.
std::string FormatFacts(const MachineEntry& entry, uint32_t facts);

// A name or path made safe for one line: CR is sent as CR NUL and LF as
// NUL, the Telnet convention that FTP clients undo, so no name can end a
// line early or add a line of its own.
std::string EscapeLineBreaks(std::string_view text);

// An MLSD line: the facts, a space, the name (escaped), CR LF.
std::string FormatMachineLine(const MachineEntry& entry, uint32_t facts);

// The facts named in an OPTS MLST argument ("type;size;" without regard
// to letter case; unknown names are ignored, an empty text selects none).
uint32_t ParseFactList(std::string_view text);

// The selected facts as OPTS MLST confirms them: "type;size;...;".
std::string FactListText(uint32_t facts);
