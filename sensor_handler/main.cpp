#include <csignal>
#include <cstdio>
#include <unistd.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "lifecycle/service.h"

int main(int argc, char **argv) {
  // A parent that ignores SIGCHLD passes that on through exec; the kernel
  // would then reap our commands itself and none could report its status
  // (the module attach and the dongle bring-up would always seem to fail).
  struct sigaction child_default{};
  child_default.sa_handler = SIG_DFL;
  sigemptyset(&child_default.sa_mask);
  sigaction(SIGCHLD, &child_default, nullptr);
  const int status = sensor_handler::process_entry(argc, argv);
  // A stop leaves a broker name lookup behind rather than wait for the
  // resolver (gw::start_connection), and it may still run now. exit() would
  // tear down under it what it touches next (the client library's and its
  // TLS library's global state, our own statics), and a crash there would
  // turn the stored status (4: the parent holds) into a death by signal
  // (the parent restarts). Everything the gateway owns is closed by now and
  // standard output is the only buffer: the process ends at once, with all
  // its threads.
  std::fflush(stdout);
#if defined(__SANITIZE_ADDRESS__)
  __lsan_do_leak_check();  // what exit() would have reported in this build
#endif
  _exit(status);
}
