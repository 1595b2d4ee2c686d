// reflash-station.exe: one worker process per camera, a live line per port, each port's
// Result.log and the station log station.jsonl. The workers are reflash.exe on the cameras'
// port locations, found in the Configuration Manager's device tree (read once a second), or
// reflash-sim.exe on simulated ports (--sim).

#include <windows.h>
#include <cfgmgr32.h>

#include <io.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/device_tree.h"
#include "app/run_state.h"
#include "platform/win32/win32_device_tree.h"
#include "resources/embedded_image.h"
#include "station/display.h"
#include "station/sha256.h"
#include "station/simulated_ports.h"
#include "station/station.h"
#include "station/station_options.h"
#include "reflash_version.h"

namespace {

namespace fs = std::filesystem;

// What the reader threads and the console handler tell the main thread.
struct Message {
  enum class Kind { line, ended, stop } kind;
  std::string port;
  std::string line;
  station::WorkerEnd end;
};

std::mutex queueMutex;
std::condition_variable queueChanged;
std::deque<Message> queue;

void Post(Message message) {
  {
    std::lock_guard lock(queueMutex);
    queue.push_back(std::move(message));
  }
  queueChanged.notify_one();
}

BOOL WINAPI OnConsoleEvent(DWORD) {
  Post({Message::Kind::stop, {}, {}, {}});
  return TRUE;  // the station ends by itself once the running updates have their verdicts
}

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

// One argument as CommandLineToArgvW reads it back.
std::string Quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
    return arg;
  }
  std::string quoted = "\"";
  int backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(2 * backslashes, '\\');
  quoted.push_back('"');
  return quoted;
}

// Reads the worker's pipe line by line until it ends, then waits for the process.
void ReadWorker(std::string port, HANDLE pipe, HANDLE process, std::string folder) {
  std::string pending;
  char buffer[4096];
  DWORD size = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &size, nullptr) && size > 0) {
    pending.append(buffer, size);
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, end);
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      pending.erase(0, end + 1);
      Post({Message::Kind::line, port, std::move(line), {}});
    }
  }
  CloseHandle(pipe);
  WaitForSingleObject(process, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  station::WorkerEnd end;
  end.exited = true;
  end.status = static_cast<int>(code);
  std::ifstream file(folder + "\\Result.log", std::ios::binary);
  if (file) {
    end.resultLog = std::string(std::istreambuf_iterator<char>(file), {});
  }
  Post({Message::Kind::ended, port, {}, std::move(end)});
}

// Starts `argv` in `folder` with its standard output on a pipe read by a thread of its own.
bool StartWorker(const std::string& port, const std::vector<std::string>& argv,
                 const std::string& folder, std::string& error) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  fs::remove(fs::path(folder) / "Result.log", ec);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
    error = "cannot make a pipe";
    return false;
  }
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE errFile = CreateFileA((folder + "\\reflash.err").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                               &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::string commandLine;
  for (const std::string& arg : argv) {
    if (!commandLine.empty()) {
      commandLine.push_back(' ');
    }
    commandLine.append(Quote(arg));
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = errFile == INVALID_HANDLE_VALUE ? writeEnd : errFile;
  PROCESS_INFORMATION process{};
  // Its own process group: the console's Ctrl-C reaches only the station.
  const BOOL started = CreateProcessA(argv[0].c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                      CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW, nullptr,
                                      folder.c_str(), &startup, &process);
  CloseHandle(writeEnd);
  if (errFile != INVALID_HANDLE_VALUE) {
    CloseHandle(errFile);
  }
  if (!started) {
    error = "the worker could not be started (error " + std::to_string(GetLastError()) + ")";
    CloseHandle(readEnd);
    return false;
  }
  CloseHandle(process.hThread);
  std::thread(ReadWorker, port, readEnd, process.hProcess, folder).detach();
  return true;
}

std::string Upper(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return text;
}

bool IsCameraNode(const DeviceTreeOps* tree, DevNode node) {
  char ids[1024] = {};
  std::uint32_t length = sizeof ids - 1;
  if (tree->getRegistryProperty(node, CmDrpHardwareId, ids, &length) != 0) {
    return false;
  }
  const std::string first = Upper(ids);
  for (const char* usbId : {UsbIdPrimary, UsbIdSecondary}) {
    if (first.rfind(Upper(std::string("USB\\") + usbId), 0) == 0) {
      return true;
    }
  }
  return false;
}

// The port location of a camera's node: its own, or its nearest parent's (a composite device's
// functions sit below the device on the port).
std::string PortLocationOf(const DeviceTreeOps* tree, DevNode node) {
  for (int level = 0; level < 3; ++level) {
    char location[256] = {};
    std::uint32_t length = sizeof location - 1;
    if (tree->getRegistryProperty(node, CM_DRP_LOCATION_INFORMATION, location, &length) == 0 &&
        std::strncmp(location, "Port_#", 6) == 0) {
      return location;
    }
    if (tree->getParent(&node, node) != 0) {
      break;
    }
  }
  return {};
}

// The port locations of the cameras of the model in the device tree now.
std::vector<std::string> CameraPorts() {
  const DeviceTreeOps* tree = Win32DeviceTreeOps();
  DevNode root = 0;
  if (tree->locateRoot(&root) != 0) {
    return {};
  }
  std::vector<std::string> ports;
  std::vector<DevNode> pending = {root};
  for (int visited = 0; !pending.empty() && visited < 100000; ++visited) {
    const DevNode node = pending.back();
    pending.pop_back();
    if (IsCameraNode(tree, node)) {
      const std::string port = PortLocationOf(tree, node);
      if (!port.empty() && std::find(ports.begin(), ports.end(), port) == ports.end()) {
        ports.push_back(port);
      }
    }
    DevNode child = 0;
    for (bool more = tree->getChild(&child, node) == 0; more;
         more = tree->getSibling(&child, child) == 0) {
      pending.push_back(child);
    }
  }
  std::sort(ports.begin(), ports.end());
  return ports;
}

class Screen {
 public:
  explicit Screen(bool terminal) : terminal_(terminal) {}
  void Show(station::Station& station) {
    const auto events = station.TakeEvents();
    if (terminal_) {
      const std::string text = live_.Redraw(station);
      std::fwrite(text.data(), 1, text.size(), stdout);
    } else {
      for (const std::string& event : events) {
        std::printf("%s %s\n", station::UtcTimestamp(std::chrono::system_clock::now()).c_str(),
                    event.c_str());
      }
    }
    std::fflush(stdout);
  }

 private:
  bool terminal_;
  station::LiveScreen live_;
};

// The ANSI escapes of the live display need the console's virtual-terminal mode.
bool TerminalOutput() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) {
    return false;
  }
  return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

}  // namespace

int main(int argc, char** argv) {
  station::StationOptions options;
  std::optional<station::SimulatedPorts> simulated;
  if (const auto status =
          station::StationCommandLine(argc, argv, REFLASH_VERSION_TEXT, options, simulated)) {
    return *status;
  }
  std::error_code ec;
  fs::create_directories(options.output, ec);
  const std::string output = fs::absolute(options.output, ec).string();
  station::StationLog log;
  if (!log.Open(output + "\\station.jsonl")) {
    std::fprintf(stderr, "reflash-station: cannot open %s\\station.jsonl\n", output.c_str());
    return station::ExitUsage;
  }
  std::string worker = options.worker.empty()
                           ? ProgramFolder() + (simulated ? "\\reflash-sim.exe" : "\\reflash.exe")
                           : options.worker;
  worker = fs::absolute(worker, ec).string();
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);

  station::Station::Config config;
  config.mode = options.mode;
  config.hostName = HostName();
  config.toolVersion = REFLASH_VERSION_TEXT;
  config.imageSha256 = station::Sha256Hex(EmbeddedFirmwareImage, EmbeddedFirmwareImageSize);
  station::Station station(config, &log);
  Screen screen(TerminalOutput());
  const auto started = std::chrono::steady_clock::now();
  const auto elapsedMs = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 started)
        .count();
  };
  const auto scan = [&] {
    const auto present = simulated ? simulated->PresentAt(elapsedMs()) : CameraPorts();
    for (const std::string& port : station.Present(present)) {
      if (!station.Begin(port)) {
        continue;
      }
      std::vector<std::string> args = {worker, "--port", port, "--station"};
      if (simulated) {
        args.insert(args.begin() + 1, {"--camera-port", port});
        if (options.instant) {
          args.push_back("--instant");
        }
        const auto extra = simulated->OptionsAt(port, elapsedMs());
        args.insert(args.end(), extra.begin(), extra.end());
      }
      std::string reason;
      if (!StartWorker(port, args, output + "\\" + port, reason)) {
        station::WorkerEnd end;
        end.notStarted = true;
        end.reason = reason;
        station.WorkerEnded(port, end);
      }
    }
  };
  scan();
  screen.Show(station);
  while (!station.Done()) {
    std::deque<Message> messages;
    {
      std::unique_lock lock(queueMutex);
      // The device tree is read again once a second; the simulated ports change on schedule.
      const auto next = simulated ? simulated->NextChangeAfter(elapsedMs())
                                  : std::optional<std::int64_t>(elapsedMs() + 1000);
      if (next) {
        queueChanged.wait_until(lock, started + std::chrono::milliseconds(*next),
                                [] { return !queue.empty(); });
      } else {
        queueChanged.wait(lock, [] { return !queue.empty(); });
      }
      messages.swap(queue);
    }
    for (Message& message : messages) {
      switch (message.kind) {
        case Message::Kind::line:
          station.WorkerLine(message.port, message.line);
          break;
        case Message::Kind::ended:
          if (!station.WorkerEnded(message.port, message.end)) {
            std::fprintf(stderr, "reflash-station: cannot write %s\\station.jsonl\n",
                         output.c_str());
          }
          break;
        case Message::Kind::stop:
          station.Stop();
          break;
      }
    }
    scan();
    screen.Show(station);
  }
  return station.ExitStatus();
}
