// The FTP command set: command numbers, the verb table, and how a
// handler takes its argument out of a command line.
#pragma once

#include <cstddef>
#include <cstdint>

// Command numbers of a session's command line; 0 is "not recognised".
enum CommandNumber : signed char {
    CMD_NONE = 0,
    CMD_USER = 1,
    CMD_PASS = 2,
    CMD_ACCT = 3,
    CMD_CWD = 4,
    CMD_CDUP = 5,
    CMD_SMNT = 6,
    CMD_QUIT = 7,
    CMD_REIN = 8,
    CMD_PORT = 9,
    CMD_PASV = 10,
    CMD_TYPE = 11,
    CMD_STRU = 12,
    CMD_MODE = 13,
    CMD_RETR = 14,
    CMD_STOR = 15,
    CMD_STOU = 16,
    CMD_APPE = 17,
    CMD_ALLO = 18,
    CMD_REST = 19,
    CMD_RNFR = 20,
    CMD_RNTO = 21,
    CMD_ABOR = 22,
    CMD_DELE = 23,
    CMD_RMD = 24,
    CMD_MKD = 25,
    CMD_PWD = 26,
    CMD_LIST = 27,
    CMD_NLST = 28,
    CMD_SITE = 29,
    CMD_SYST = 30,
    CMD_STAT = 31,
    CMD_HELP = 32,
    CMD_AUTH = 33,
    CMD_FEAT = 34,
    CMD_NOOP = 35,
    // The modern commands, recognised only while FEATURE_MODERN_COMMANDS
    // is on (config/records.h); otherwise their lines are not recognised.
    CMD_EPSV = 36,
    CMD_EPRT = 37,
    CMD_SIZE = 38,
    CMD_MDTM = 39,
    CMD_MLSD = 40,
    CMD_MLST = 41,
    CMD_OPTS = 42,
    // The FTPS commands, recognised only while FEATURE_TLS is on.
    CMD_PBSZ = 43,
    CMD_PROT = 44,
    CMD_CCC = 45,
};

constexpr int kCommandCount = 46;

// A session's own feature bit, never stored in the options: the control
// connection is IPv6. EPSV and EPRT are recognised and carried out there
// whatever FEATURE_MODERN_COMMANDS says, and PORT and PASV answer 522.
constexpr uint32_t SESSION_IPV6 = 0x80000000u;

// One verb the parser recognises. Several verbs may share a number
// (PWD and XPWD); STOU has a number but no verb, so it is never parsed.
// A verb with a feature bit is recognised only while that bit is on.
struct CommandVerb {
    const char* verb;
    CommandNumber number;
    uint32_t feature = 0;
};

// A reply line that belongs to an optional feature: shown while any bit
// of `feature` is on.
struct FeatureLine {
    uint32_t feature;
    const char* text;
};

// Per command number: whether the command needs a completed login.
bool CommandNeedsLogin(int number);

// Classifies a command line (its line end already removed) by its first
// four characters, without regard to letter case; a fourth character
// that is a space ends a three-letter verb. Verbs of a feature count only
// while `features` holds its bit. Returns CMD_NONE for anything else.
// Safe for lines of any length, including empty ones. Any thread.
CommandNumber ParseCommand(const char* line, uint32_t features = 0);

// Copies the rest of a line (everything after word 0, separating spaces
// included) into out, cut to 256 characters and to out's capacity.
// An empty text when the line has only a verb.
void RestOfLine(const char* line, char* out, std::size_t outSize);

// The six lines HELP sends, each one reply send, in order.
extern const char* const kHelpLines[6];

// Lines HELP sends before its last line while their feature is on.
extern const FeatureLine kFeatureHelpLines[3];

// The lines of FEAT between "211-Extensions supported:" and "211 End",
// each shown while its feature is on.
extern const FeatureLine kFeatLines[10];
