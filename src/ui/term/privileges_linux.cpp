// Giving up root after the device is open: the sudo user's ids and groups, or the real ids, and
// the check.
#include "ui/term/privileges.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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

// The sudo user's supplementary groups, while the right to set them is still there.
bool SetUserGroups(uid_t uid, gid_t gid) {
  errno = 0;
  passwd* user = getpwuid(uid);
  if (user != nullptr) return initgroups(user->pw_name, gid) == 0;
  return setgroups(1, &gid) == 0;
}

}  // namespace

PrivilegePlan PlanPrivileges(const ProcessIds& ids, const char* sudoUid, const char* sudoGid) {
  if (ids.ruid == 0) {
    if (sudoUid == nullptr) return {STEP_KEEP, 0, 0};
    unsigned long uid = 0, gid = 0;
    if (!ParseId(sudoUid, &uid) || !ParseId(sudoGid, &gid)) return {STEP_MALFORMED, 0, 0};
    if (uid == 0) return {STEP_KEEP, 0, 0};
    return {STEP_SUDO_USER, static_cast<uid_t>(uid), static_cast<gid_t>(gid)};
  }
  bool raised =
      ids.euid != ids.ruid || ids.suid != ids.ruid || ids.egid != ids.rgid || ids.sgid != ids.rgid;
  return {raised ? STEP_REAL_IDS : STEP_KEEP, ids.ruid, ids.rgid};
}

PrivilegeResult DropSudoRoot(std::string* why) {
  ProcessIds ids;
  if (getresuid(&ids.ruid, &ids.euid, &ids.suid) != 0 ||
      getresgid(&ids.rgid, &ids.egid, &ids.sgid) != 0)
    return Failed(why, "getresuid");
  PrivilegePlan plan = PlanPrivileges(ids, std::getenv("SUDO_UID"), std::getenv("SUDO_GID"));
  if (plan.step == STEP_KEEP) return PRIVILEGES_KEPT;
  if (plan.step == STEP_MALFORMED) {
    *why = "SUDO_UID / SUDO_GID 不是有效的編號";
    return PRIVILEGES_FAILED;
  }
  uid_t uid = plan.uid;
  gid_t gid = plan.gid;
  if (plan.step == STEP_SUDO_USER && !SetUserGroups(uid, gid)) return Failed(why, "initgroups");
  if (setresgid(gid, gid, gid) != 0) return Failed(why, "setresgid");
  if (setresuid(uid, uid, uid) != 0) return Failed(why, "setresuid");

  ProcessIds now;
  if (getresuid(&now.ruid, &now.euid, &now.suid) != 0 ||
      getresgid(&now.rgid, &now.egid, &now.sgid) != 0)
    return Failed(why, "getresuid");
  bool idsSet = now.ruid == uid && now.euid == uid && now.suid == uid && now.rgid == gid &&
                now.egid == gid && now.sgid == gid;
  // None may succeed now; if one does, the process has the rights it gave up back and must stop.
  bool rightsBack = (uid != 0 && setuid(0) == 0) || (ids.euid != uid && setuid(ids.euid) == 0) ||
                    (gid != 0 && setgid(0) == 0) || (ids.egid != gid && setgid(ids.egid) == 0);
  if (!idsSet || rightsBack) {
    *why = "仍可取回 root 的權限";
    return PRIVILEGES_FAILED;
  }
  return PRIVILEGES_DROPPED;
}
