// MLSD and MLST, rows of FEATURE_MODERN_COMMANDS: the machine listing of a
// folder over the data connection (with LIST's state changes and events),
// and the facts of one entry on the control connection. The perm fact of
// every entry comes from one snapshot of the account's grants, checked as
// the commands it stands for would check it.
#include <sys/stat.h>

#include <string>

#include "engine/ftp_server.h"
#include "engine/ftp_thread.h"
#include "engine/listing.h"
#include "engine/machine_listing.h"
#include "engine/path_access.h"
#include "engine/path_mapping.h"

namespace {

bool IsFolder(const std::string& real) {
    struct stat status {};
    return stat(real.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

MachineEntry Facts(const ListingEntry& entry, MachineEntryKind kind) {
    MachineEntry described;
    described.name = entry.name;
    described.kind = kind;
    described.size = entry.size;
    described.modified = entry.modified;
    described.mode = entry.mode;
    return described;
}

// The facts of an entry whose written path is `written`.
MachineEntry Describe(const ListingEntry& entry, MachineEntryKind kind,
                      const GrantSnapshot& grants, const std::string& written) {
    MachineEntry described = Facts(entry, kind);
    described.perm = PermLetters(kind, grants.Flags(written, ResolveMode::Follow),
                                 grants.Flags(written, ResolveMode::Parent));
    return described;
}

// The same for an entry of a listed folder that Follow resolves to
// `resolvedFolder`: a name that is no link resolves to the same place in
// both modes, found without resolving the folder again.
MachineEntry DescribeInFolder(const ListingEntry& entry, MachineEntryKind kind,
                              const GrantSnapshot& grants, const std::string& written,
                              const std::string& resolvedFolder) {
    if (entry.mayBeLink) return Describe(entry, kind, grants, written);
    MachineEntry described = Facts(entry, kind);
    const int32_t flags = grants.EntryFlags(written, resolvedFolder);
    described.perm = PermLetters(kind, flags, flags);
    return described;
}

}  // namespace

int CIP_FTPThread::SendMachineListing(CIP_WSClient& connection, const std::string& written,
                                      const std::string& real) {
    GrantSnapshot grants;
    if (!grants.Take(Paths())) return 0;
    const std::string parent = ParentFolder(written);
    // `real` is where Follow resolved the folder to for this command.
    return SendFolderLines(connection, real, [&](const ListingEntry& entry) {
        MachineEntryKind kind = MachineEntryKind::File;
        std::string path;
        if (entry.name == ".") {
            kind = MachineEntryKind::ListedFolder;
            path = written;
        } else if (entry.name == "..") {
            kind = MachineEntryKind::ParentFolder;
            path = parent;
        } else {
            // The enumeration describes a link by its target, and by itself
            // only when the target is gone.
            if (S_ISLNK(entry.mode)) {
                kind = MachineEntryKind::Dangling;
            } else if (entry.folder) {
                kind = MachineEntryKind::Folder;
            }
            path = EntryPath(written, entry.name);
            return FormatMachineLine(DescribeInFolder(entry, kind, grants, path, real),
                                     machineFacts);
        }
        return FormatMachineLine(Describe(entry, kind, grants, path), machineFacts);
    });
}

int CIP_FTPThread::HandleMlsd() {
    // Unlike LIST and NLST, MLSD lists the folder its argument names.
    RestOfLine(line, argument, sizeof argument);
    AccessedPath folder;
    if (!AccessClientPath(Paths(), argument, PERM_FOLDER_LIST, ResolveMode::Follow, folder) ||
        !IsFolder(folder.real)) {
        // Refused before any data connection; the PASV is used up.
        if (TakePassivePending()) dataConnection.Disconnect();
        Reply("550 MLSD failed\r\n");
        return 0;
    }
    Reply("150 Opening ASCII mode data connection\r\n");
    ChangeClientState(CLIENT_LIST, ClientPathText(homeFolder, folder.written));
    int result = 0;
    if (TakePassivePending()) {
        if (AcceptPassive()) result = SendMachineListing(dataConnection, folder.written, folder.real);
        dataConnection.Disconnect();
    } else {
        DataClient connection(*this);
        if (OpenActive(connection)) {
            result = SendMachineListing(connection, folder.written, folder.real);
            connection.Disconnect();
        }
    }
    Reply(result == 1 ? "226 Transfer Complete\r\n" : "550 MLSD failed\r\n");
    ChangeClientState(CLIENT_IDLE);
    return result == 1 ? 1 : 0;
}

int CIP_FTPThread::HandleMlst() {
    RestOfLine(line, argument, sizeof argument);
    const SessionPaths paths = Paths();
    // A folder is shown to whom may list it, a file to whom may read it.
    AccessedPath entry;
    struct stat status {};
    bool shown = AccessClientPath(paths, argument, PERM_FOLDER_LIST, ResolveMode::Follow, entry) &&
                 stat(entry.real.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
    if (!shown) {
        shown = AccessClientPath(paths, argument, PERM_FILE_READ, ResolveMode::Follow, entry) &&
                stat(entry.real.c_str(), &status) == 0 && !S_ISDIR(status.st_mode);
    }
    GrantSnapshot grants;
    if (!shown || !grants.Take(paths)) {
        Reply("550 MLST failed\r\n");
        return 0;
    }
    // The client's path, as PWD shows it, never the real one.
    const std::string shownPath = ClientPathText(homeFolder, entry.written);
    const MachineEntryKind kind =
        S_ISDIR(status.st_mode) ? MachineEntryKind::Folder : MachineEntryKind::File;
    const MachineEntry described =
        Describe(MakeListingEntry(shownPath, status), kind, grants, entry.written);
    const std::string reply = "250-Listing " + EscapeLineBreaks(shownPath) + "\r\n " +
                              FormatMachineLine(described, machineFacts) + "250 End\r\n";
    Send(reply.data(), static_cast<int>(reply.size()), 0);
    return 1;
}
