// Files that root writes into someone else's folder.
#pragma once

// When the process runs as root, gives the open file `fd` the owner and
// group of `folder`, so that a file written there by root (say by
// `sudo tarnhold --config-dir /var/lib/tarnhold account ...`) stays
// readable by the folder's owner, such as the service's user. Does
// nothing for other users, or when the owners already match. Returns 0,
// or -1 with errno set.
int GiveToFolderOwner(int fd, const char* folder);
