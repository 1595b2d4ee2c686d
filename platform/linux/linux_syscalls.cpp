#include "platform/linux/linux_syscalls.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <vector>

namespace linuxplat {

namespace {

int RealOpen(const char* path, int flags) {
  return ::open(path, flags | O_CLOEXEC);
}

int RealClose(int fd) {
  return ::close(fd);
}

int RealIoctl(int fd, unsigned long request, void* argument) {
  return ::ioctl(fd, request, argument);
}

int RealFstat(int fd, struct stat* info) {
  return ::fstat(fd, info);
}

int RealStat(const char* path, struct stat* info) {
  return ::stat(path, info);
}

uid_t RealGeteuid() {
  return ::geteuid();
}

int RealGetgroups(int size, gid_t* list) {
  return ::getgroups(size, list);
}

gid_t RealGetegid() {
  return ::getegid();
}

int CopyName(const char* found, char* name, std::size_t size) {
  if (found == nullptr || size == 0 || std::strlen(found) >= size) {
    return -1;
  }
  std::strcpy(name, found);
  return 0;
}

int RealUserName(uid_t uid, char* name, std::size_t size) {
  std::vector<char> scratch(16384);
  passwd entry{};
  passwd* result = nullptr;
  if (getpwuid_r(uid, &entry, scratch.data(), scratch.size(), &result) != 0 || result == nullptr) {
    return -1;
  }
  return CopyName(result->pw_name, name, size);
}

int RealGroupName(gid_t gid, char* name, std::size_t size) {
  std::vector<char> scratch(16384);
  group entry{};
  group* result = nullptr;
  if (getgrgid_r(gid, &entry, scratch.data(), scratch.size(), &result) != 0 || result == nullptr) {
    return -1;
  }
  return CopyName(result->gr_name, name, size);
}

const LinuxSyscalls realTable{RealOpen,    RealClose,     RealIoctl,   RealFstat,    RealStat,
                              RealGeteuid, RealGetgroups, RealGetegid, RealUserName, RealGroupName};
std::atomic<const LinuxSyscalls*> installed{&realTable};

}  // namespace

const LinuxSyscalls* RealSyscalls() {
  return &realTable;
}

void InstallSyscalls(const LinuxSyscalls* table) {
  installed.store(table != nullptr ? table : &realTable, std::memory_order_release);
}

const LinuxSyscalls& Syscalls() {
  return *installed.load(std::memory_order_acquire);
}

}  // namespace linuxplat
