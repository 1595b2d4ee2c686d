#pragma once
// The few system calls the media-capture table makes, as a replaceable table.

namespace linuxplat {

// Each entry keeps its call's convention: -1 with errno set on failure.
struct LinuxSyscalls {
  int (*open)(const char* path, int flags);
  int (*close)(int fd);
  int (*ioctl)(int fd, unsigned long request, void* argument);
};

// The real calls.
const LinuxSyscalls* RealSyscalls();

// Installs a table (null restores the real calls); a test's fake stands in for the kernel here.
void InstallSyscalls(const LinuxSyscalls* table);
const LinuxSyscalls& Syscalls();

}  // namespace linuxplat
