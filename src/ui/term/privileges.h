// Giving up root once the device is open, so that `sudo tolvarin` downloads and parses the
// server's files with the rights of the user who ran sudo.
#pragma once

#include <string>

enum PrivilegeResult : int {
  PRIVILEGES_KEPT = 0,     // nothing to give up: not root, or no sudo user other than root
  PRIVILEGES_DROPPED = 1,  // now the sudo user for good
  PRIVILEGES_FAILED = 2,   // malformed SUDO_UID / SUDO_GID, or a step or the check failed
};

// When the process runs as root and SUDO_UID names another user, becomes that user: the
// supplementary groups are that user's (from the user database; SUDO_GID alone when the user has
// no entry), the real, effective and saved group ids SUDO_GID, then the user ids SUDO_UID. It then
// checks that neither root's user id nor its group id can be had back. Files already open (the
// device) stay usable. On PRIVILEGES_FAILED *why says what went wrong and the caller must not go
// on: the process may be partly changed.
PrivilegeResult DropSudoRoot(std::string* why);
