// reflash-sim's option parsing with an argument vector cut from the fuzz input at every 0 byte.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "platform/sim_program/sim_options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args{"reflash-sim"};
  std::string current;
  for (std::size_t i = 0; i < size && args.size() < 64; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  if (!current.empty()) {
    args.push_back(current);
  }
  std::vector<const char*> argv;
  for (const std::string& arg : args) {
    argv.push_back(arg.c_str());
  }
  argv.push_back(nullptr);

  console::SimOptions options;
  std::string error;
  if (!console::ParseSimOptions(static_cast<int>(args.size()), argv.data(), options, error)) {
    FUZZ_REQUIRE(!error.empty());
    return 0;
  }
  FUZZ_REQUIRE(error.empty());
  // Every value taken lies in the range its option allows.
  FUZZ_REQUIRE(!options.chip || (*options.chip >= 0 && *options.chip <= 18));
  FUZZ_REQUIRE(!options.revision || (*options.revision >= 0 && *options.revision <= 255));
  FUZZ_REQUIRE(options.corruptReadback >= -1 && options.corruptReadback <= 65535);
  FUZZ_REQUIRE(options.failRequest <= 0x7FFFFFFF && options.disconnectAfter <= 0x7FFFFFFF);
  FUZZ_REQUIRE(!options.usbId.empty() && options.usbId.size() <= 200);
  return 0;
}
