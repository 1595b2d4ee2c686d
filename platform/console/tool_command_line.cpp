#include "platform/console/tool_command_line.h"

#include <cstring>

namespace console {

bool ReadToolCommandLine(int argc, const char* const* argv, bool (*isPort)(const char*),
                         ToolCommandLine& line, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (std::strcmp(argument, "--station") == 0) {
      line.station = true;
    } else if (std::strcmp(argument, "--help") == 0) {
      line.help = true;
    } else if (std::strcmp(argument, "--version") == 0) {
      line.version = true;
    } else if (std::strcmp(argument, "--port") == 0) {
      if (i + 1 >= argc) {
        error = "--port needs a port";
        return false;
      }
      const std::string port = argv[++i];
      if (!isPort(port.c_str())) {
        error = "'" + port + "' is not a port for --port";
        return false;
      }
      line.port = port;
    } else {
      line.ignored.emplace_back(argument);
    }
  }
  return true;
}

std::optional<int> AnswerToolCommandLine(int argc, const char* const* argv,
                                         bool (*isPort)(const char*), const char* usage,
                                         const char* version, std::FILE* out, std::FILE* err,
                                         ToolCommandLine& line) {
  std::string error;
  if (!ReadToolCommandLine(argc, argv, isPort, line, error)) {
    std::fprintf(err, "reflash: %s; --help lists what it takes\n", error.c_str());
    return ToolUsageError;
  }
  if (line.help) {
    std::fputs(usage, out);
    return 0;
  }
  if (line.version) {
    std::fprintf(out, "reflash %s\n", version);
    return 0;
  }
  if (!line.ignored.empty()) {
    std::string quoted;
    for (const std::string& argument : line.ignored) {
      quoted.append(quoted.empty() ? "'" : " '").append(argument).append("'");
    }
    std::fprintf(err, "reflash: ignoring %s: it takes no command line; the update goes on\n",
                 quoted.c_str());
    std::fflush(err);
  }
  return std::nullopt;
}

}  // namespace console
