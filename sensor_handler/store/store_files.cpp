#include "store_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "gw_output.h"

namespace sensor_handler {

namespace {

constexpr mode_t private_mode = 0600;

struct Companion {
  const char *suffix;
  bool created;  // made empty when missing; SQLite makes the journal itself
};
constexpr Companion companions[] = {{"", true}, {"-wal", true}, {"-shm", true}, {"-journal", false}};

// Opening never blocks (a planted FIFO) and never follows a link.
constexpr int check_flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

enum class Found { missing, ours, foreign, unknown };

Found inspect(const char *name) {
  const int fd = open(name, check_flags);
  if (fd < 0) {
    if (errno == ENOENT) return Found::missing;
    // A link (ELOOP; EMLINK on some systems) or a socket (ENXIO); other
    // failures are SQLite's to report.
    return errno == ELOOP || errno == EMLINK || errno == ENXIO ? Found::foreign : Found::unknown;
  }
  struct stat info{};
  Found found = Found::foreign;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
      info.st_nlink == 1) {
    found = Found::ours;
    if ((info.st_mode & 0777) != private_mode) fchmod(fd, private_mode);
  }
  close(fd);
  return found;
}

bool set_aside(const char *name, int sensor_number) {
  char aside[512];
  const int length = std::snprintf(aside, sizeof aside, "%s.not-ours", name);
  const bool renamed = length > 0 && static_cast<std::size_t>(length) < sizeof aside &&
                       rename(name, aside) == 0;
  if (renamed) {
    gw::gw_printf("ZENTIB_ERROR : SENSOR%d : %s was not made by the gateway, set aside as %s\n\r",
                  sensor_number, name, aside);
  } else {
    gw::gw_printf("ZENTIB_ERROR : SENSOR%d : %s was not made by the gateway and cannot be set "
                  "aside\n\r", sensor_number, name);
  }
  return renamed;
}

// Made empty and private; false when something took the name first.
bool create_private(const char *name) {
  const int fd = open(name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, private_mode);
  if (fd < 0) return errno != EEXIST;  // other failures are SQLite's to report
  close(fd);
  return true;
}

// One path made the gateway's own. Another user may plant a file again
// between a look and a create: each round looks again, a few at most.
bool own_path(const char *name, bool created, int sensor_number) {
  for (int round = 0; round < 3; ++round) {
    switch (inspect(name)) {
      case Found::ours:
      case Found::unknown:
        return true;
      case Found::foreign:
        if (!set_aside(name, sensor_number)) return false;
        [[fallthrough]];
      case Found::missing:
        if (!created || create_private(name)) return true;
        break;
    }
  }
  gw::gw_printf("ZENTIB_ERROR : SENSOR%d : %s keeps being replaced\n\r", sensor_number, name);
  return false;
}

}  // namespace

bool own_store_files(const char *path, int sensor_number) {
  for (const Companion &companion : companions) {
    char name[448];
    const int length = std::snprintf(name, sizeof name, "%s%s", path, companion.suffix);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof name) return false;
    if (!own_path(name, companion.created, sensor_number)) return false;
  }
  return true;
}

}  // namespace sensor_handler
