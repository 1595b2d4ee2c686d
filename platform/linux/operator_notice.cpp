#include "platform/linux/operator_notice.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "platform/linux/linux_syscalls.h"

namespace linuxplat {

namespace {

// Causes of our own, apart from the errno values of failed requests.
constexpr int CauseOpenDenied = -1;
constexpr int CauseWrongNode = -2;
constexpr int CauseNoDeviceNumber = -3;
constexpr int CauseStatFailed = -4;

std::mutex toldMutex;
std::set<int> told;

// True the first time a cause is seen in this process.
bool FirstTime(int cause) {
  std::lock_guard lock(toldMutex);
  return told.insert(cause).second;
}

void Say(const std::string& line) {
  std::fprintf(stderr, "reflash: %s\n", line.c_str());
  std::fflush(stderr);
}

// Errors that mean the same to the operator are one cause: the camera gone is ENODEV or ESHUTDOWN
// depending on where the request was when it left.
int CauseOf(int error) {
  switch (error) {
    case ENXIO:
    case ESHUTDOWN:
    case ETIMEDOUT:
      return ENODEV;
    case EACCES:
      return EILSEQ;  // both are the driver's reading of the camera's "wrong state"
    default:
      return error;
  }
}

std::string ErrorName(int error) {
  const char* name = strerrorname_np(error);
  return name != nullptr ? name : "errno " + std::to_string(error);
}

std::string UserName(uid_t uid) {
  char name[256];
  return Syscalls().userName(uid, name, sizeof name) == 0 ? name : std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  char name[256];
  return Syscalls().groupName(gid, name, sizeof name) == 0 ? name : std::to_string(gid);
}

bool HoldsGroup(gid_t gid) {
  if (Syscalls().getegid() == gid) {
    return true;
  }
  const int count = Syscalls().getgroups(0, nullptr);
  if (count <= 0) {
    return false;
  }
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  const int got = Syscalls().getgroups(count, groups.data());
  for (int i = 0; i < got; ++i) {
    if (groups[static_cast<std::size_t>(i)] == gid) {
      return true;
    }
  }
  return false;
}

// Whether the mode bits let this process read and write the node; the owner's class decides
// first, then the group's, as the kernel checks them.
bool ModeAllows(const struct stat& info) {
  const uid_t user = Syscalls().geteuid();
  if (user == 0) {
    return true;
  }
  if (info.st_uid == user) {
    return (info.st_mode & 0600) == 0600;
  }
  if (HoldsGroup(info.st_gid)) {
    return (info.st_mode & 0060) == 0060;
  }
  return (info.st_mode & 0006) == 0006;
}

std::string ModeAndOwner(const struct stat& info) {
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
  return std::string("mode ") + mode + ", owner " + UserName(info.st_uid) + ":" +
         GroupName(info.st_gid);
}

std::string DeviceNumber(std::uint64_t number) {
  return std::to_string(major(number)) + ":" + std::to_string(minor(number));
}

std::string Control(std::uint32_t unitId, std::uint32_t selector) {
  return "control " + std::to_string(selector) + " of unit " + std::to_string(unitId);
}

}  // namespace

void NoticeOpenDenied(const std::string& node) {
  if (!FirstTime(CauseOpenDenied)) {
    return;
  }
  struct stat info {};
  if (Syscalls().stat(node.c_str(), &info) != 0) {
    Say("cannot open " + node + ": permission denied; check its mode and owner (ls -l " + node +
        ")");
    return;
  }
  const std::string seen = ModeAndOwner(info);
  if (ModeAllows(info)) {
    Say("cannot open " + node + ": refused by a security policy (" + seen +
        " would allow this user); allow this program video devices in the policy (AppArmor, "
        "SELinux)");
  } else if ((info.st_mode & 0060) == 0060 && info.st_gid != 0) {
    Say("cannot open " + node + ": permission denied (" + seen +
        "); add this user to the group \"" + GroupName(info.st_gid) + "\" and log in again");
  } else {
    Say("cannot open " + node + ": permission denied (" + seen +
        "); no group may open it: install the udev rule /lib/udev/rules.d/60-reflash.rules "
        "(package reflash) and re-plug the camera");
  }
}

void NoticeWrongNode(const std::string& node, std::uint64_t listed, std::uint64_t opened) {
  if (!FirstTime(CauseWrongNode)) {
    return;
  }
  Say("cannot open " + node + ": it is device " + DeviceNumber(opened) + ", not the camera's " +
      DeviceNumber(listed) + " (replaced while it was opened); the next attempt looks again");
}

void NoticeNoDeviceNumber(const std::string& node) {
  if (!FirstTime(CauseNoDeviceNumber)) {
    return;
  }
  Say("cannot open " + node +
      ": sysfs gives no device number for it (its \"dev\" entry cannot be "
      "read), so nothing shows it is the camera; re-plug the camera and run again");
}

void NoticeNodeStatFailed(const std::string& node, int error) {
  if (!FirstTime(CauseStatFailed)) {
    return;
  }
  Say("cannot open " + node + ": the opened node cannot be examined (fstat: " + ErrorName(error) +
      "); re-plug the camera and run again");
}

void NoticeRequestFailed(const std::string& node, int error, std::uint32_t unitId,
                         std::uint32_t selector, std::uint32_t length) {
  if (error == EINTR || !FirstTime(CauseOf(error))) {
    return;
  }
  const std::string name = ErrorName(error);
  const std::string control = Control(unitId, selector);
  const std::string repair = "a camera of another model or firmware: send it to repair";
  switch (error) {
    case ENOENT:
      Say(node + ": the driver does not reach " + control + " (" + name +
          ": the unit is not in its control chain); " + repair);
      break;
    case ENOBUFS:
      Say(node + ": " + control + " does not take a " + std::to_string(length) + "-byte record (" +
          name + "); " + repair);
      break;
    case EPIPE:
      Say(node + ": the camera stalled a request on " + control + " (" + name +
          "); re-plug it on a port of the computer and run again; a second failure sends it "
          "to repair");
      break;
    case EBUSY:
      Say(node + ": the camera was not ready for " + control + " (" + name +
          "); run again; a camera that stays busy goes to repair");
      break;
    case EILSEQ:  // the driver's reading of the camera's "wrong state" cause: older kernels
    case EACCES:  // say EILSEQ, mainline EACCES; the node itself was opened already
      Say(node + ": the camera refused a request on " + control + " in its present state (" + name +
          "); re-plug it and run again; a second failure sends it to repair");
      break;
    case ERANGE:
      Say(node + ": the camera found a value out of range on " + control + " (" + name + "); " +
          repair);
      break;
    case EPERM:
      Say(node + ": a security policy refused the request on " + control + " (" + name +
          "); allow this program video devices in the policy (AppArmor, SELinux)");
      break;
    case ENODEV:
    case ENXIO:
    case ESHUTDOWN:
    case ETIMEDOUT:
      Say(node + ": the camera stopped answering (" + name +
          "); check the cable, and use a port of the computer, not an unpowered hub");
      break;
    default:
      Say(node + ": a request on " + control + " failed (" + name + ": " + std::strerror(error) +
          "); re-plug the camera and run again; a second failure sends it to repair");
      break;
  }
}

void ResetNotices() {
  std::lock_guard lock(toldMutex);
  told.clear();
}

}  // namespace linuxplat
