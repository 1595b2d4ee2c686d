#include "testrig/usbip/vhci_port.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace usbip {

namespace {

bool WriteControlFile(const std::string& path, const std::string& text, std::string& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  const ssize_t written = ::write(fd, text.data(), text.size());
  const int writeErrno = errno;
  ::close(fd);
  if (written != static_cast<ssize_t>(text.size())) {
    error = "write to " + path + " failed: " + std::strerror(writeErrno);
    return false;
  }
  return true;
}

}  // namespace

int AttachToPort(const PortAddress& address, std::string& error) {
  int ends[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    error = std::string("socketpair failed: ") + std::strerror(errno);
    return -1;
  }
  const std::string text = std::to_string(address.port) + " " + std::to_string(ends[1]) + " " +
                           std::to_string(address.devid) + " " + std::to_string(address.speed);
  const bool attached = WriteControlFile(address.vhci + "/attach", text, error);
  // The controller holds its own reference to its end once attached.
  ::close(ends[1]);
  if (!attached) {
    ::close(ends[0]);
    return -1;
  }
  return ends[0];
}

bool DetachFromPort(const PortAddress& address) {
  std::string error;
  return WriteControlFile(address.vhci + "/detach", std::to_string(address.port), error);
}

}  // namespace usbip
