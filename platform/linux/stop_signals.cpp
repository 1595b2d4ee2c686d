#include "platform/linux/stop_signals.h"

#include <csignal>
#include <initializer_list>

namespace linuxplat {

void IgnoreStopSignals() {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) {
    std::signal(signal, SIG_IGN);
  }
}

}  // namespace linuxplat
