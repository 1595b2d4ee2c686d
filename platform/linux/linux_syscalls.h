#pragma once
// The few system calls the media-capture table makes, as a replaceable table.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace linuxplat {

// Each entry keeps its call's convention: -1 with errno set on failure.
struct LinuxSyscalls {
  int (*open)(const char* path, int flags);
  int (*close)(int fd);
  int (*ioctl)(int fd, unsigned long request, void* argument);
  int (*fstat)(int fd, struct stat* info);
  int (*stat)(const char* path, struct stat* info);
  // Who the process is: its effective user and every group it holds (effective group included).
  uid_t (*geteuid)();
  int (*getgroups)(int size, gid_t* list);
  gid_t (*getegid)();
  // The account and group names, as the password and group databases give them; 0 when found.
  int (*userName)(uid_t uid, char* name, std::size_t size);
  int (*groupName)(gid_t gid, char* name, std::size_t size);
};

// The real calls.
const LinuxSyscalls* RealSyscalls();

// Installs a table (null restores the real calls); a test's fake stands in for the kernel here.
void InstallSyscalls(const LinuxSyscalls* table);
const LinuxSyscalls& Syscalls();

}  // namespace linuxplat
