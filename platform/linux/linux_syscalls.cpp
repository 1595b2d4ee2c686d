#include "platform/linux/linux_syscalls.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>

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

const LinuxSyscalls realTable{RealOpen, RealClose, RealIoctl};
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
