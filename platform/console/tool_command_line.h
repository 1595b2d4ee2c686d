#pragma once
// The command line of `reflash` on both platforms: what a station gives it, --help and --version,
// and everything else ignored.

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace console {

struct ToolCommandLine {
  std::string port;      // take only the camera on this port (empty: any)
  bool station = false;  // standard output carries the station's worker lines
  bool help = false;
  bool version = false;
  std::vector<std::string> ignored;  // arguments the tool does not know
};

// Reads argv[1..]. Started on a line the tool takes no command line, so an argument it does not
// know is set aside, never a reason to leave no verdict. Only `--port` without a port name that
// `isPort` accepts is refused: a station's worker that cannot tell its camera must not take
// another. False then, with a one-line `error`.
bool ReadToolCommandLine(int argc, const char* const* argv, bool (*isPort)(const char*),
                         ToolCommandLine& line, std::string& error);

// Reads the command line as both platforms' `reflash` do: a refused --port, --help and --version
// are answered here (on `out` and `err`) and give the exit status to end with; ignored arguments
// get one line on `err`; otherwise nothing, with `line` filled, and the update goes on.
std::optional<int> AnswerToolCommandLine(int argc, const char* const* argv,
                                         bool (*isPort)(const char*), const char* usage,
                                         const char* version, std::FILE* out, std::FILE* err,
                                         ToolCommandLine& line);

inline constexpr int ToolUsageError = 64;  // EX_USAGE

}  // namespace console
