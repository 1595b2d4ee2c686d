// reflash-station.exe: one worker process per camera, a live line per port, each port's
// Result.log and the station log station.jsonl. The workers are reflash.exe on the cameras'
// port locations, found in the Configuration Manager's device tree (read again whenever a USB
// device arrives or leaves), or reflash-sim.exe on simulated ports (--sim).
//
// Line safety: each update holds its port's lock file for the worker's whole life (the worker
// inherits it), the log gets a start record before a worker starts and an end record when it
// ends, and a station started after one that died first ends the updates that one left: it
// waits for a worker that still runs and judges the account that worker left in its folder.
// The loop (station/station_loop.h) never waits on a worker, a pipe or the console.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/win32/port_host.h"
#include "platform/win32/worker_process.h"
#include "resources/embedded_image.h"
#include "station/sha256.h"
#include "station/station_program.h"
#include "reflash_version.h"

namespace {

namespace fs = std::filesystem;

std::string ProgramFolder() {
  char path[MAX_PATH];
  const DWORD size = GetModuleFileNameA(nullptr, path, MAX_PATH);
  const std::string exe(path, size);
  const auto slash = exe.find_last_of("\\/");
  return slash == std::string::npos ? "." : exe.substr(0, slash);
}

std::string HostName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  return GetComputerNameA(name, &size) ? name : "";
}

// The ANSI escapes of the live display need the console's virtual-terminal mode.
bool ConsoleOutput() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == INVALID_HANDLE_VALUE || out == nullptr || !GetConsoleMode(out, &mode)) {
    return false;
  }
  return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

station::ScreenSize ConsoleSize() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    return {};
  }
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  const int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
  if (columns <= 0 || rows <= 0) {
    return {};
  }
  return {columns, rows};
}

// The screen's output; false once the console or the reader is gone.
bool WriteAll(std::string_view text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  while (!text.empty()) {
    DWORD size = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1 << 20));
    if (WriteFile(out, text.data(), want, &size, nullptr) == FALSE || size == 0) {
      return false;
    }
    text.remove_prefix(size);
  }
  return true;
}

// The checks that make a station fault show at the start, not as failed cameras: the folder,
// the one station it may hold and the worker program. An error line, or nothing.
std::optional<std::string> CheckStart(const std::string& output, const std::string& worker,
                                      winplat::UniqueHandle& folderLock) {
  std::error_code ec;
  fs::create_directories(output, ec);
  if (!fs::is_directory(output, ec)) {
    return "cannot create " + output;
  }
  const std::string lockPath = output + "\\station.lock";
  bool busy = false;
  std::string error;
  folderLock = winplat::TryLockFile(lockPath, busy, error);
  if (!folderLock.valid()) {
    if (!busy) {
      return error;
    }
    return station::AnotherStation(winplat::LockHolder(lockPath), output);
  }
  winplat::WriteLockHolder(folderLock.get(), GetCurrentProcessId());
  const DWORD attributes = GetFileAttributesA(worker.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return "the worker program " + worker + " cannot be run";
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  station::StationStart start;
  if (const auto status = station::ReadStationStart(argc, argv, REFLASH_VERSION_TEXT,
                                                    ProgramFolder(), ".exe", start)) {
    return *status;
  }
  const station::StationOptions& options = start.options;
  const std::string& worker = start.worker;
  std::error_code ec;
  // The workers start in their ports' folders; relative paths would not find them.
  std::string output = fs::absolute(options.output, ec).string();
  if (ec) {
    output = options.output;
  }
  station::StationLog log;
  winplat::UniqueHandle folderLock;  // held until the process ends
  if (const auto error = CheckStart(output, worker, folderLock)) {
    std::fprintf(stderr, "reflash-station: %s\n", error->c_str());
    return station::ExitUsage;
  }
  winplat::InstallStationStopHandler();
  // Never deleted: a writer stuck on a paused console ends with the process.
  auto* writer = new station::ScreenWriter(WriteAll);
  station::StationScreen screen(*writer,
                                ConsoleOutput() ? ConsoleSize : station::StationScreen::Size());
  const auto config =
      station::StationConfig(options, HostName(), REFLASH_VERSION_TEXT,
                             station::Sha256Hex(EmbeddedFirmwareImage, EmbeddedFirmwareImageSize));
  const auto host = winplat::MakePortHost(output, start.simulated.has_value());
  return station::RunStationProgram(options, output + "\\station.jsonl", log, config, screen, *host,
                                    worker, std::move(start.simulated));
}
