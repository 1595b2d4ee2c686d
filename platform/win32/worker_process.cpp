#include "platform/win32/worker_process.h"

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <fstream>
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
// The thread owns its own handles of the pipe and the process.
void ReadWorker(std::uint64_t id, HANDLE pipeHandle, HANDLE processHandle, ReportSink sink) {
  const UniqueHandle pipe(pipeHandle);
  const UniqueHandle process(processHandle);
  bool pipeOpen = true;
  bool ended = false;
  char buffer[4096];
  for (;;) {
    DWORD available = 0;
    if (pipeOpen && PeekNamedPipe(pipe.get(), nullptr, 0, nullptr, &available, nullptr) == FALSE) {
      pipeOpen = false;  // every writer closed it
    }
    if (pipeOpen && available > 0) {
      DWORD size = 0;
      const DWORD want = std::min<DWORD>(available, sizeof buffer);
      if (ReadFile(pipe.get(), buffer, want, &size, nullptr) == FALSE || size == 0) {
        pipeOpen = false;
        continue;
      }
      WorkerReport report;
      report.id = id;
      report.bytes.assign(buffer, size);
      sink(std::move(report));
      continue;
    }
    if (ended) {
      break;  // what the process wrote before it ended has been read
    }
    // Once the process has ended, all it wrote is in the pipe: one more look takes it.
    ended = WaitForSingleObject(process.get(), pipeOpen ? 20 : INFINITE) != WAIT_TIMEOUT;
  }
  WorkerReport report;
  report.id = id;
  report.ended = true;
  if (GetExitCodeProcess(process.get(), &report.exitCode) == FALSE) {
    report.exitCode = static_cast<DWORD>(-1);
  }
  FILETIME created{}, exited{}, kernel{}, user{};
  if (GetProcessTimes(process.get(), &created, &exited, &kernel, &user) != FALSE) {
    // 100 ns units since 1601-01-01; 11644473600 s from then to 1970-01-01.
    const auto ticks = (static_cast<std::int64_t>(exited.dwHighDateTime) << 32) |
                       static_cast<std::int64_t>(exited.dwLowDateTime);
    report.exitTime = station::WallTime(std::chrono::duration_cast<station::WallTime::duration>(
        std::chrono::nanoseconds((ticks - 116444736000000000LL) * 100)));
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

UniqueHandle TryLockFile(const std::string& path, bool& busy, std::string& error) {
  busy = false;
  SECURITY_ATTRIBUTES attributes = NotInherited();
  // Readers may look in for the holder's process id; nobody else may write or lock it.
  HANDLE lock = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                            &attributes, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (lock == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    busy = code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
    error = busy ? "" : "cannot lock " + path + ": " + SystemError(code);
    return {};
  }
  return UniqueHandle(lock);
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
  // For the reader thread, which outlives the worker's record when the station drops it.
  HANDLE readerProcess = nullptr;
  DuplicateHandle(GetCurrentProcess(), process.hProcess, GetCurrentProcess(), &readerProcess, 0,
                  FALSE, DUPLICATE_SAME_ACCESS);
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
  worker.process.reset(process.hProcess);
  worker.job.reset(job);
  std::thread(ReadWorker, id, readEnd, readerProcess, std::move(sink)).detach();
  return true;
}

void EndWorker(WorkerProcess& worker) {
  if (!worker.job.valid() || TerminateJobObject(worker.job.get(), ERROR_TIMEOUT) == FALSE) {
    TerminateProcess(worker.process.get(), ERROR_TIMEOUT);
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

station::ProcessEnd ProcessEndOf(DWORD exitCode) {
  station::ProcessEnd end;
  if ((exitCode & 0xC0000000u) == 0xC0000000u) {
    // An error status of the system's (an access violation, a stack overflow): not an exit.
    char text[64];
    std::snprintf(text, sizeof text, "ended by exception 0x%08lX",
                  static_cast<unsigned long>(exitCode));
    end.how = text;
  } else {
    end.exited = true;
    end.status = static_cast<int>(exitCode);
  }
  return end;
}

std::optional<std::string> ReadRegularFile(const std::string& path, std::size_t maxBytes) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return std::nullopt;
  }
  UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  std::string text(maxBytes + 1, '\0');
  DWORD size = 0;
  if (!file.valid() ||
      ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &size, nullptr) == FALSE) {
    return std::nullopt;
  }
  text.resize(size);
  return text;
}

bool ReplaceFile(const std::string& path, const std::string& text, std::string& error) {
  const std::string temporary = path + ".new";
  UniqueHandle file(CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  const bool ok = file.valid() &&
                  WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                            nullptr) != FALSE &&
                  written == text.size() && FlushFileBuffers(file.get()) != FALSE;
  file.reset();
  if (!ok || MoveFileExA(temporary.c_str(), path.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == FALSE) {
    error = "cannot write " + path + ": " + SystemError(GetLastError());
    DeleteFileA(temporary.c_str());
    return false;
  }
  return true;
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
