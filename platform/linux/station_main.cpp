// reflash-station for Linux: one `reflash` worker process per camera on the USB ports (or one
// `reflash-sim` per simulated port), a live line per port, each port's Result.log and the
// station log station.jsonl.
//
// Line safety: each update holds its port's lock file for the worker's whole life (the worker
// inherits it), the log gets a start record before a worker starts and an end record when it
// ends, and a station started after one that died first ends the updates that one left: it
// waits for a worker that still runs and judges the account that worker left in its folder.
// The loop (station/station_loop.h) never blocks on a worker, a pipe or the terminal.

#include <limits.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/port_host.h"
#include "platform/linux/worker_process.h"
#include "resources/embedded_image.h"
#include "station/sha256.h"
#include "station/station_program.h"

#include "reflash_version.h"

namespace {

std::string ProgramFolder() {
  char path[PATH_MAX];
  const ssize_t size = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (size <= 0) {
    return ".";
  }
  const std::string exe(path, static_cast<std::size_t>(size));
  return exe.substr(0, exe.rfind('/'));
}

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  return ::gethostname(name, sizeof name - 1) == 0 ? name : "";
}

station::ScreenSize TerminalSize() {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) {
    return {};
  }
  return {size.ws_col, size.ws_row};
}

// The screen's output; false once the terminal or the reader is gone.
bool WriteAll(std::string_view text) {
  while (!text.empty()) {
    const ssize_t size = ::write(STDOUT_FILENO, text.data(), text.size());
    if (size < 0 && errno == EINTR) {
      continue;
    }
    if (size <= 0) {
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(size));
  }
  return true;
}

// The checks that make a station fault show at the start, not as failed cameras: the folder,
// the one station it may hold and the worker program. An error line, or nothing.
std::optional<std::string> CheckStart(const station::StationOptions& options,
                                      const std::string& worker, linuxplat::UniqueFd& folderLock) {
  if (::mkdir(options.output.c_str(), 0775) != 0 && errno != EEXIST) {
    return "cannot create " + options.output + ": " + std::strerror(errno);
  }
  const std::string lockPath = options.output + "/station.lock";
  bool busy = false;
  std::string error;
  folderLock = linuxplat::TryLockFile(lockPath, busy, error);
  if (!folderLock.valid()) {
    if (!busy) {
      return error;
    }
    return station::AnotherStation(linuxplat::LockHolder(lockPath), options.output);
  }
  linuxplat::WriteLockHolder(folderLock.get(), ::getpid());
  struct stat info {};
  if (::stat(worker.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
      ::access(worker.c_str(), X_OK) != 0) {
    return "the worker program " + worker + " cannot be run";
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  station::StationStart start;
  if (const auto status =
          station::ReadStationStart(argc, argv, REFLASH_VERSION_TEXT, ProgramFolder(), "", start)) {
    return *status;
  }
  const station::StationOptions& options = start.options;
  const std::string& worker = start.worker;
  station::StationLog log;
  linuxplat::UniqueFd folderLock;
  if (const auto error = CheckStart(options, worker, folderLock)) {
    std::fprintf(stderr, "reflash-station: %s\n", error->c_str());
    return station::ExitUsage;
  }
  if (!linuxplat::InstallStationSignals()) {
    std::perror("reflash-station: pipe");
    return station::ExitUsage;
  }
  // Never deleted: a writer stuck on a paused terminal ends with the process.
  static auto* writer = new station::ScreenWriter(WriteAll);
  station::StationScreen screen(
      *writer, isatty(STDOUT_FILENO) != 0 ? TerminalSize : station::StationScreen::Size());
  const auto config =
      station::StationConfig(options, HostName(), REFLASH_VERSION_TEXT,
                             station::Sha256Hex(EmbeddedFirmwareImage, EmbeddedFirmwareImageSize));
  const auto host = linuxplat::MakePortHost(options.output, start.simulated.has_value());
  return station::RunStationProgram(options, options.output + "/station.jsonl", log, config, screen,
                                    *host, worker, std::move(start.simulated));
}
