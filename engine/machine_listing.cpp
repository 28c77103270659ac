#include "engine/machine_listing.h"

#include <strings.h>
#include <sys/stat.h>

#include <cstdio>

#include "config/path_checker.h"

namespace {

struct FactName {
    uint32_t fact;
    const char* name;
};

constexpr FactName kFactNames[] = {
    {FACT_TYPE, "type"},   {FACT_SIZE, "size"},           {FACT_MODIFY, "modify"},
    {FACT_PERM, "perm"},   {FACT_UNIX_MODE, "UNIX.mode"},
};

bool Has(int32_t flags, uint32_t bit) {
    return flags != -1 && (static_cast<uint32_t>(flags) & bit) != 0;
}

const char* TypeName(MachineEntryKind kind) {
    switch (kind) {
        case MachineEntryKind::File: return "file";
        case MachineEntryKind::Folder: return "dir";
        case MachineEntryKind::ListedFolder: return "cdir";
        case MachineEntryKind::ParentFolder: return "pdir";
        case MachineEntryKind::Dangling: return "OS.unix=slink";
    }
    return "file";
}

}  // namespace

std::string PermLetters(MachineEntryKind kind, int32_t follow, int32_t parent) {
    std::string letters;
    auto add = [&letters](bool granted, char letter) {
        if (granted) letters.push_back(letter);
    };
    switch (kind) {
        case MachineEntryKind::File:
        case MachineEntryKind::Dangling:
            // A dangling link leads nowhere: only the name itself can be
            // acted on, deleted or renamed.
            add(Has(follow, PERM_FILE_READ), 'r');
            add(Has(follow, PERM_FILE_WRITE), 'w');
            add(Has(follow, PERM_FILE_WRITE), 'a');
            add(Has(parent, PERM_FILE_DELETE), 'd');
            add(Has(parent, PERM_FILE_DELETE), 'f');
            break;
        case MachineEntryKind::Folder:
        case MachineEntryKind::ListedFolder:
        case MachineEntryKind::ParentFolder:
            add(Has(parent, PERM_FOLDER_DELETE), 'd');
            add(Has(parent, PERM_FILE_DELETE), 'f');
            add(Has(follow, PERM_FOLDER_LIST), 'e');
            add(Has(follow, PERM_FOLDER_LIST), 'l');
            add(Has(follow, PERM_FILE_WRITE), 'c');
            add(Has(follow, PERM_FOLDER_CREATE), 'm');
            add(Has(follow, PERM_FILE_DELETE) || Has(follow, PERM_FOLDER_DELETE), 'p');
            break;
    }
    return letters;
}

std::string MachineTime(std::time_t when) {
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

std::string FormatFacts(const MachineEntry& entry, uint32_t facts) {
    std::string text;
    if (facts & FACT_TYPE) text.append("type=").append(TypeName(entry.kind)).append(";");
    if ((facts & FACT_SIZE) && entry.kind == MachineEntryKind::File) {
        text.append("size=").append(std::to_string(entry.size)).append(";");
    }
    if (facts & FACT_MODIFY) text.append("modify=").append(MachineTime(entry.modified)).append(";");
    if (facts & FACT_PERM) text.append("perm=").append(entry.perm).append(";");
    if (facts & FACT_UNIX_MODE) {
        char mode[16];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(entry.mode & 07777));
        text.append("UNIX.mode=").append(mode).append(";");
    }
    return text;
}

std::string EscapeLineBreaks(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\r') {
            out.append("\r\0", 2);
        } else if (c == '\n') {
            out.push_back('\0');
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string FormatMachineLine(const MachineEntry& entry, uint32_t facts) {
    std::string line = FormatFacts(entry, facts);
    line.push_back(' ');
    line += EscapeLineBreaks(entry.name);
    line.append("\r\n");
    return line;
}

uint32_t ParseFactList(std::string_view text) {
    uint32_t facts = 0;
    while (!text.empty()) {
        const std::size_t end = text.find(';');
        const std::string name(text.substr(0, end));
        for (const FactName& known : kFactNames) {
            if (strcasecmp(name.c_str(), known.name) == 0) facts |= known.fact;
        }
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return facts;
}

std::string FactListText(uint32_t facts) {
    std::string text;
    for (const FactName& known : kFactNames) {
        if (facts & known.fact) text.append(known.name).append(";");
    }
    return text;
}
