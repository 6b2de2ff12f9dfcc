#include <csignal>

#include "lifecycle/service.h"

int main(int argc, char **argv) {
  // A parent that ignores SIGCHLD passes that on through exec; the kernel
  // would then reap our commands itself and none could report its status
  // (the module attach and the dongle bring-up would always seem to fail).
  struct sigaction child_default{};
  child_default.sa_handler = SIG_DFL;
  sigemptyset(&child_default.sa_mask);
  sigaction(SIGCHLD, &child_default, nullptr);
  return sensor_handler::process_entry(argc, argv);
}
