// The navigation and file-management commands of a session: CWD, CDUP,
// PWD/XPWD, DELE, RNFR, RNTO, MKD and RMD. The handlers only take the
// argument, call the operation of engine/file_operations.h and answer;
// every path goes through the path access check there.
#include <string>

#include "engine/file_operations.h"
#include "engine/ftp_server.h"
#include "engine/ftp_thread.h"
#include "engine/machine_listing.h"
#include "engine/path_mapping.h"

namespace {

// The 257 reply for a folder as the client is shown it. A name may hold
// any byte but NUL, so a double quote is doubled (RFC 959) and the line
// breaks are escaped, keeping the reply one line that clients read back
// correctly. The shown path is at most a real path long, so the reply is
// at most twice that plus the fixed text.
std::string FolderReply(const std::string& shown) {
    std::string quoted;
    quoted.reserve(shown.size() + 8);
    for (char c : shown) {
        if (c == '"') quoted.push_back('"');
        quoted.push_back(c);
    }
    return "257 \"" + EscapeLineBreaks(quoted) + "\" is current directory\r\n";
}

}  // namespace

SessionPaths CIP_FTPThread::Paths() {
    return SessionPaths{ftpServer->store, account, homeFolder, currentFolder};
}

void CIP_FTPThread::TakePathArgument() { RestOfLine(line, argument, sizeof argument); }

int CIP_FTPThread::HandleChangeFolder() {
    TakePathArgument();
    if (ChangeFolder(Paths(), argument, currentFolder) == 0) {
        Reply("550 CWD failed, path does not exist or is not accessible\r\n");
        return 0;
    }
    Reply("250 CWD command successful\r\n");
    return 1;
}

int CIP_FTPThread::HandleChangeFolderUp() {
    if (ChangeFolderUp(Paths(), currentFolder) == 0) {
        Reply("550 Access is denied\r\n");
        return 0;
    }
    Reply("250 CWD command successful\r\n");
    return 1;
}

int CIP_FTPThread::HandlePrintFolder() {
    const std::string reply = FolderReply(ClientPathText(homeFolder, currentFolder));
    Send(reply.data(), static_cast<int>(reply.size()), 0);
    return 1;
}

int CIP_FTPThread::HandleDelete() {
    TakePathArgument();
    if (RemoveFile(Paths(), argument) == 0) {
        Reply("550 DELE failed\r\n");
        return 0;
    }
    Reply("250 DELE command successful\r\n");
    return 1;
}

int CIP_FTPThread::HandleRenameFrom() {
    // Kept as given, even empty: RNTO maps and checks it, and refuses an
    // empty source.
    TakePathArgument();
    renameFrom = argument;
    Reply("350 requested file action pending further information\r\n");
    return 1;
}

int CIP_FTPThread::HandleRenameTo() {
    TakePathArgument();
    // renameFrom stays: a second RNTO tries the same source again.
    if (RenameFile(Paths(), renameFrom, argument) == 0) {
        Reply("550 RNTO failed\r\n");
        return 0;
    }
    Reply("250 RNTO command successful\r\n");
    return 1;
}

int CIP_FTPThread::HandleMakeFolder() {
    TakePathArgument();
    if (MakeFolder(Paths(), argument) == 0) {
        Reply("550 MKD failed\r\n");
        return 0;
    }
    Reply("250 MKD command successful\r\n");
    return 1;
}

int CIP_FTPThread::HandleRemoveFolder() {
    TakePathArgument();
    if (RemoveFolder(Paths(), argument) == 0) {
        Reply("550 RMD failed\r\n");
        return 0;
    }
    Reply("250 RMD command successful\r\n");
    return 1;
}
