// Giving up root once the device is open, so that `sudo tolvarin` downloads and parses the
// server's files with the rights of the user who ran sudo; and any other raised rights (a
// set-user-ID or set-group-ID install) before anything is downloaded.
#pragma once

#include <sys/types.h>

#include <string>

enum PrivilegeResult : int {
  PRIVILEGES_KEPT = 0,     // nothing to give up: the real ids already, or root with no sudo user
  PRIVILEGES_DROPPED = 1,  // now the sudo user, or the real ids, for good
  PRIVILEGES_FAILED = 2,   // malformed SUDO_UID / SUDO_GID, or a step or the check failed
};

// The process's user and group ids: real, effective, saved.
struct ProcessIds {
  uid_t ruid, euid, suid;
  gid_t rgid, egid, sgid;
};

enum PrivilegeStep : int {
  STEP_KEEP = 0,       // nothing to change
  STEP_SUDO_USER = 1,  // become uid / gid with that user's groups
  STEP_REAL_IDS = 2,   // every id the real one (uid / gid), the groups as they are
  STEP_MALFORMED = 3,  // run by root with SUDO_UID but unusable SUDO_UID / SUDO_GID
};

struct PrivilegePlan {
  PrivilegeStep step;
  uid_t uid;
  gid_t gid;
};

// What to do with ids and the values of SUDO_UID and SUDO_GID (nullptr when unset). They are
// trusted only where sudo can have set them, a real user id of 0: then a SUDO_UID other than 0
// gives STEP_SUDO_USER. Any other process (a set-user-ID install, a caller who set them) gets
// STEP_REAL_IDS when an effective or saved id differs from the real one, else STEP_KEEP.
PrivilegePlan PlanPrivileges(const ProcessIds& ids, const char* sudoUid, const char* sudoGid);

// Carries out PlanPrivileges for this process and its environment. For the sudo user the
// supplementary groups are that user's (from the user database; SUDO_GID alone when the user has
// no entry), then the group ids, then the user ids. It then checks that neither root's ids nor
// the earlier effective ones can be had back. Files already open (the device) stay usable. On
// PRIVILEGES_FAILED *why says what went wrong and the caller must not go on: the process may be
// partly changed.
PrivilegeResult DropSudoRoot(std::string* why);
