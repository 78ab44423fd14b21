// Giving up root after the device is open: the sudo user's ids and groups, and the check.
#include "ui/term/privileges.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// A decimal id that is not the "no id" value (-1); false for anything else.
bool ParseId(const char* text, unsigned long* id) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long value = std::strtoul(text, &end, 10);
  if (errno != 0 || *end != 0 || value >= static_cast<unsigned long>(static_cast<uid_t>(-1)))
    return false;
  *id = value;
  return true;
}

PrivilegeResult Failed(std::string* why, const char* step) {
  *why = std::string(step) + ": " + std::strerror(errno);
  return PRIVILEGES_FAILED;
}

}  // namespace

PrivilegeResult DropSudoRoot(std::string* why) {
  if (geteuid() != 0 && getuid() != 0) return PRIVILEGES_KEPT;
  const char* uidText = std::getenv("SUDO_UID");
  if (uidText == nullptr) return PRIVILEGES_KEPT;
  unsigned long uidValue = 0, gidValue = 0;
  if (!ParseId(uidText, &uidValue) || !ParseId(std::getenv("SUDO_GID"), &gidValue)) {
    *why = "SUDO_UID / SUDO_GID 不是有效的編號";
    return PRIVILEGES_FAILED;
  }
  uid_t uid = static_cast<uid_t>(uidValue);
  gid_t gid = static_cast<gid_t>(gidValue);
  if (uid == 0) return PRIVILEGES_KEPT;

  // Root's supplementary groups go first, while the right to set them is still there.
  errno = 0;
  passwd* user = getpwuid(uid);
  if (user != nullptr) {
    if (initgroups(user->pw_name, gid) != 0) return Failed(why, "initgroups");
  } else if (setgroups(1, &gid) != 0) {
    return Failed(why, "setgroups");
  }
  if (setresgid(gid, gid, gid) != 0) return Failed(why, "setresgid");
  if (setresuid(uid, uid, uid) != 0) return Failed(why, "setresuid");

  uid_t ruid, euid, suid;
  gid_t rgid, egid, sgid;
  if (getresuid(&ruid, &euid, &suid) != 0 || getresgid(&rgid, &egid, &sgid) != 0)
    return Failed(why, "getresuid");
  bool idsSet =
      ruid == uid && euid == uid && suid == uid && rgid == gid && egid == gid && sgid == gid;
  // Neither may succeed now; if one does, the process has root's rights back and must stop.
  bool rootBack = setuid(0) == 0 || (gid != 0 && setgid(0) == 0);
  if (!idsSet || rootBack) {
    *why = "仍可取回 root 的權限";
    return PRIVILEGES_FAILED;
  }
  return PRIVILEGES_DROPPED;
}
