#include "engine/command_table.h"

#include <cctype>
#include <cstring>

#include "config/records.h"
#include "net/text.h"

namespace {

constexpr CommandVerb kVerbs[] = {
    {"USER", CMD_USER}, {"PASS", CMD_PASS}, {"ACCT", CMD_ACCT}, {"CWD", CMD_CWD},
    {"CDUP", CMD_CDUP}, {"SMNT", CMD_SMNT}, {"QUIT", CMD_QUIT}, {"REIN", CMD_REIN},
    {"PORT", CMD_PORT}, {"PASV", CMD_PASV}, {"TYPE", CMD_TYPE}, {"STRU", CMD_STRU},
    {"MODE", CMD_MODE}, {"RETR", CMD_RETR}, {"STOR", CMD_STOR}, {"APPE", CMD_APPE},
    {"ALLO", CMD_ALLO}, {"REST", CMD_REST}, {"RNFR", CMD_RNFR}, {"RNTO", CMD_RNTO},
    {"ABOR", CMD_ABOR}, {"DELE", CMD_DELE}, {"RMD", CMD_RMD},   {"MKD", CMD_MKD},
    {"PWD", CMD_PWD},   {"XPWD", CMD_PWD},  {"LIST", CMD_LIST}, {"NLST", CMD_NLST},
    {"SITE", CMD_SITE}, {"SYST", CMD_SYST}, {"STAT", CMD_STAT}, {"HELP", CMD_HELP},
    {"AUTH", CMD_AUTH}, {"FEAT", CMD_FEAT}, {"NOOP", CMD_NOOP},
    {"EPSV", CMD_EPSV, FEATURE_MODERN_COMMANDS | SESSION_IPV6},
    {"EPRT", CMD_EPRT, FEATURE_MODERN_COMMANDS | SESSION_IPV6},
    {"SIZE", CMD_SIZE, FEATURE_MODERN_COMMANDS}, {"MDTM", CMD_MDTM, FEATURE_MODERN_COMMANDS},
    {"MLSD", CMD_MLSD, FEATURE_MODERN_COMMANDS}, {"MLST", CMD_MLST, FEATURE_MODERN_COMMANDS},
    {"OPTS", CMD_OPTS, FEATURE_MODERN_COMMANDS},
    {"PBSZ", CMD_PBSZ, FEATURE_TLS}, {"PROT", CMD_PROT, FEATURE_TLS},
    {"CCC", CMD_CCC, FEATURE_TLS},
};

// Commands that are carried out before a login: the login itself, and
// the few that reveal nothing (clients send OPTS UTF8 before logging in,
// and some set up FTPS's data protection before it).
constexpr CommandNumber kNoLogin[] = {CMD_NONE, CMD_USER, CMD_PASS, CMD_ACCT, CMD_QUIT,
                                      CMD_HELP, CMD_AUTH, CMD_FEAT, CMD_NOOP, CMD_OPTS,
                                      CMD_PBSZ, CMD_PROT, CMD_CCC};

constexpr std::size_t kRestOfLineMax = 256;

}  // namespace

const char* const kHelpLines[6] = {
    "214-The following commands are implemented\r\n",
    "     USER  PASS  ACCT  QUIT  PORT  RETR\r\n",
    "     STOR  DELE  RNFR  PWD   CWD   CDUP\r\n",
    "     MKD   RMD   NOOP  TYPE  MODE  STRU\r\n",
    "     LIST  HELP        FEAT        UTF8\r\n",
    "214  HELP command successful\r\n",
};

const FeatureLine kFeatureHelpLines[3] = {
    {FEATURE_MODERN_COMMANDS, "     REST  APPE  SIZE  MDTM  EPSV  EPRT\r\n"},
    {FEATURE_MODERN_COMMANDS, "     MLSD  MLST  OPTS\r\n"},
    {FEATURE_TLS, "     AUTH  PBSZ  PROT\r\n"},
};

const FeatureLine kFeatLines[10] = {
    {FEATURE_MODERN_COMMANDS, " REST STREAM\r\n"},
    {FEATURE_MODERN_COMMANDS, " SIZE\r\n"},
    {FEATURE_MODERN_COMMANDS, " MDTM\r\n"},
    {FEATURE_MODERN_COMMANDS, " EPSV\r\n"},
    {FEATURE_MODERN_COMMANDS, " EPRT\r\n"},
    {FEATURE_MODERN_COMMANDS, " MLST type*;size*;modify*;perm*;UNIX.mode*;\r\n"},
    {FEATURE_MODERN_COMMANDS, " UTF8\r\n"},
    {FEATURE_TLS, " AUTH TLS\r\n"},
    {FEATURE_TLS, " PBSZ\r\n"},
    {FEATURE_TLS, " PROT\r\n"},
};

bool CommandNeedsLogin(int number) {
    for (CommandNumber n : kNoLogin) {
        if (n == number) return false;
    }
    return true;
}

CommandNumber ParseCommand(const char* line, uint32_t features) {
    char verb[5] = {};
    for (int i = 0; i < 4 && line[i] != '\0'; ++i) {
        verb[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(line[i])));
    }
    if (verb[3] == ' ') verb[3] = '\0';
    for (const CommandVerb& v : kVerbs) {
        if (std::strcmp(verb, v.verb) != 0) continue;
        return v.feature == 0 || (features & v.feature) != 0 ? v.number : CMD_NONE;
    }
    return CMD_NONE;
}

void RestOfLine(const char* line, char* out, std::size_t outSize) {
    const char* p = line;
    while (*p == ' ') ++p;  // spaces before the verb do not belong to it
    while (*p != '\0' && *p != ' ') ++p;
    std::size_t n = std::strlen(p);
    if (n > kRestOfLineMax) n = kRestOfLineMax;
    CopyText(out, outSize, std::string_view(p, n));
}
