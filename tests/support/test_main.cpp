// Every test executable enters the sandbox before its first test, while it
// is still single-threaded (unshare of the mount namespace requires that).
#include "sandbox.h"

#include <cstdio>
#include <gtest/gtest.h>

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  std::string why;
  switch (gwtest::enter_sandbox(&why)) {
    case gwtest::SandboxEntry::entered:
      break;
    case gwtest::SandboxEntry::unavailable:
      std::fprintf(stderr, "test sandbox unavailable, skipping: %s\n", why.c_str());
      return 77;
    case gwtest::SandboxEntry::failed:
      std::fprintf(stderr, "cannot enter the test sandbox: %s\n", why.c_str());
      return 1;
  }
  return RUN_ALL_TESTS();
}
