#include "config/folder_owner.h"

#include <sys/stat.h>
#include <unistd.h>

int GiveToFolderOwner(int fd, const char* folder) {
    if (geteuid() != 0) return 0;
    struct stat owner {};
    struct stat file {};
    if (stat(folder, &owner) != 0 || fstat(fd, &file) != 0) return -1;
    if (file.st_uid == owner.st_uid && file.st_gid == owner.st_gid) return 0;
    return fchown(fd, owner.st_uid, owner.st_gid);
}
