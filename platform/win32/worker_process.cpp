#include "platform/win32/worker_process.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>
#include <utility>

#include "station/worker_protocol.h"

namespace winplat {
namespace {

std::string SystemError(DWORD code) {
  char text[256] = {};
  const DWORD size = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, code, 0, text, sizeof text, nullptr);
  std::string message(text, size);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message.empty() ? "error " + std::to_string(code) : message;
}

SECURITY_ATTRIBUTES NotInherited() {
  return {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
}

// Reads the worker's pipe until the process has ended and the pipe holds nothing more. It waits
// on the process, not on the pipe's end: a process the worker left behind may keep the pipe
// open for ever, and a worker that closed its output may run on until the watchdog ends it.
void ReadWorker(std::uint64_t id, HANDLE pipe, HANDLE process, ReportSink sink) {
  station::WorkerLineSplitter splitter;
  bool overlongTold = false;
  bool pipeOpen = true;
  bool ended = false;
  char buffer[4096];
  for (;;) {
    DWORD available = 0;
    if (pipeOpen && PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) == FALSE) {
      pipeOpen = false;  // every writer closed it
    }
    if (pipeOpen && available > 0) {
      DWORD size = 0;
      const DWORD want = std::min<DWORD>(available, sizeof buffer);
      if (ReadFile(pipe, buffer, want, &size, nullptr) == FALSE || size == 0) {
        pipeOpen = false;
        continue;
      }
      WorkerReport report;
      report.id = id;
      splitter.Feed(buffer, size, report.lines);
      report.overlong = splitter.Overlong() && !overlongTold;
      overlongTold = overlongTold || report.overlong;
      if (!report.lines.empty() || report.overlong) {
        sink(std::move(report));
      }
      continue;
    }
    if (ended) {
      break;  // what the process wrote before it ended has been read
    }
    // Once the process has ended, all it wrote is in the pipe: one more look takes it.
    ended = WaitForSingleObject(process, pipeOpen ? 20 : INFINITE) != WAIT_TIMEOUT;
  }
  CloseHandle(pipe);
  WorkerReport report;
  report.id = id;
  report.ended = true;
  if (GetExitCodeProcess(process, &report.exitCode) == FALSE) {
    report.exitCode = static_cast<DWORD>(-1);
  }
  sink(std::move(report));
}

std::string CommandLine(const std::vector<std::string>& argv) {
  std::string line;
  for (const std::string& arg : argv) {
    if (!line.empty()) {
      line.push_back(' ');
    }
    line.append(QuoteArgument(arg));
  }
  return line;
}

}  // namespace

HANDLE TryLockFile(const std::string& path, bool& busy, std::string& error) {
  busy = false;
  SECURITY_ATTRIBUTES attributes = NotInherited();
  // Readers may look in for the holder's process id; nobody else may write or lock it.
  HANDLE lock = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                            &attributes, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (lock == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    busy = code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
    error = busy ? "" : "cannot lock " + path + ": " + SystemError(code);
    return nullptr;
  }
  return lock;
}

std::optional<DWORD> LockHolder(const std::string& path) {
  std::ifstream file(path);
  unsigned long pid = 0;
  if (file >> pid && pid > 0) {
    return static_cast<DWORD>(pid);
  }
  return std::nullopt;
}

void WriteLockHolder(HANDLE lock, DWORD pid) {
  const std::string text = std::to_string(pid) + "\r\n";
  DWORD written = 0;
  if (SetFilePointer(lock, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
      SetEndOfFile(lock) != FALSE) {
    WriteFile(lock, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
}

bool PreparePortFolder(const std::string& folder, std::string& error) {
  if (CreateDirectoryA(folder.c_str(), nullptr) == FALSE &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    error = "cannot create " + folder + ": " + SystemError(GetLastError());
    return false;
  }
  // What an earlier camera left here must not stand for this one.
  for (const char* name : {"\\Result.log", "\\worker.log"}) {
    const std::string path = folder + name;
    if (DeleteFileA(path.c_str()) == FALSE && GetLastError() != ERROR_FILE_NOT_FOUND) {
      error = "cannot remove " + path + ": " + SystemError(GetLastError());
      return false;
    }
    // A file another process holds open for deletion stays until it is closed.
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
      error = "cannot remove " + path + ": it is still open elsewhere";
      return false;
    }
  }
  return true;
}

bool StartWorker(const std::vector<std::string>& argv, const std::string& folder, HANDLE portLock,
                 std::uint64_t id, ReportSink sink, WorkerProcess& worker, std::string& error) {
  SECURITY_ATTRIBUTES attributes = NotInherited();
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (CreatePipe(&readEnd, &writeEnd, &attributes, 0) == FALSE) {
    error = "cannot make a pipe: " + SystemError(GetLastError());
    return false;
  }
  HANDLE errFile = CreateFileA((folder + "\\reflash.err").c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_DELETE, &attributes, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  // Inheritable only for this one start; every start is made on the station's one thread, so no
  // other worker can inherit them.
  for (HANDLE handle : {writeEnd, errFile, portLock}) {
    if (handle != INVALID_HANDLE_VALUE) {
      SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = errFile == INVALID_HANDLE_VALUE ? writeEnd : errFile;
  std::string commandLine = CommandLine(argv);
  PROCESS_INFORMATION process{};
  // No console: the station's console close and Ctrl-C never reach a worker. Out of any job
  // the station runs in, where that job allows it, so that the station's end cannot end it.
  const DWORD flags = CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW;
  BOOL started = CreateProcessA(argv[0].c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                flags | CREATE_BREAKAWAY_FROM_JOB, nullptr, folder.c_str(),
                                &startup, &process);
  if (started == FALSE && GetLastError() == ERROR_ACCESS_DENIED) {
    started = CreateProcessA(argv[0].c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags,
                             nullptr, folder.c_str(), &startup, &process);
  }
  const DWORD startError = GetLastError();
  SetHandleInformation(portLock, HANDLE_FLAG_INHERIT, 0);
  CloseHandle(writeEnd);
  if (errFile != INVALID_HANDLE_VALUE) {
    CloseHandle(errFile);
  }
  if (started == FALSE) {
    error = "the worker could not be started: " + SystemError(startError);
    CloseHandle(readEnd);
    return false;
  }
  // A job of its own, without a limit: only the watchdog ends it, and its last handle closing
  // with the station ends nothing.
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (job != nullptr && AssignProcessToJobObject(job, process.hProcess) == FALSE) {
    CloseHandle(job);
    job = nullptr;  // the watchdog then ends the process alone
  }
  WriteLockHolder(portLock, process.dwProcessId);
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
  worker.id = id;
  worker.pid = process.dwProcessId;
  worker.process = process.hProcess;
  worker.job = job;
  worker.portLock = portLock;
  worker.folder = folder;
  std::thread(ReadWorker, id, readEnd, process.hProcess, std::move(sink)).detach();
  return true;
}

void EndWorker(WorkerProcess& worker) {
  worker.hung = true;
  if (worker.job == nullptr || TerminateJobObject(worker.job, ERROR_TIMEOUT) == FALSE) {
    TerminateProcess(worker.process, ERROR_TIMEOUT);
  }
}

bool EndOrphan(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
  if (process == nullptr) {
    return false;
  }
  const bool ended = TerminateProcess(process, ERROR_TIMEOUT) != FALSE;
  CloseHandle(process);
  return ended;
}

station::WorkerEnd FinishWorker(WorkerProcess& worker, DWORD exitCode) {
  station::WorkerEnd end;
  end.hung = worker.hung;
  if (worker.hung) {
    end.reason = "no verdict within the watchdog's bound; its job was ended";
  } else if ((exitCode & 0xC0000000u) == 0xC0000000u) {
    // An error status of the system's (an access violation, a stack overflow): not an exit.
    char text[64];
    std::snprintf(text, sizeof text, "ended by exception 0x%08lX",
                  static_cast<unsigned long>(exitCode));
    end.reason = text;
  } else {
    end.exited = true;
    end.status = static_cast<int>(exitCode);
  }
  end.resultLog = ReadResultLog(worker.folder);
  for (HANDLE* handle : {&worker.process, &worker.job, &worker.portLock}) {
    if (*handle != nullptr) {
      CloseHandle(*handle);
      *handle = nullptr;
    }
  }
  return end;
}

std::optional<std::string> ReadResultLog(const std::string& folder) {
  std::ifstream file(folder + "\\Result.log", std::ios::binary);
  if (!file) {
    return std::nullopt;
  }
  return std::string(std::istreambuf_iterator<char>(file), {});
}

std::string QuoteArgument(const std::string& arg) {
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

}  // namespace winplat
