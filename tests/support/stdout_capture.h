// Captures what the code under test writes to standard output (fd 1) while
// the object lives; text() returns it. For in-process tests of routines that
// print their own lines.
#pragma once

#include <cstdio>
#include <string>
#include <unistd.h>

namespace gwtest {

class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    file_ = std::tmpfile();
    saved_ = dup(STDOUT_FILENO);
    if (file_ != nullptr) dup2(fileno(file_), STDOUT_FILENO);
  }
  ~StdoutCapture() {
    restore();
    if (file_ != nullptr) std::fclose(file_);
  }
  StdoutCapture(const StdoutCapture &) = delete;
  StdoutCapture &operator=(const StdoutCapture &) = delete;

  // Stops capturing (idempotent) and returns everything written meanwhile.
  std::string text() {
    restore();
    std::string result;
    if (file_ == nullptr) return result;
    std::fseek(file_, 0, SEEK_SET);
    char block[4096];
    std::size_t got;
    while ((got = std::fread(block, 1, sizeof block, file_)) > 0) result.append(block, got);
    return result;
  }

  // Everything written so far, while capturing goes on.
  std::string peek() const {
    std::fflush(stdout);
    std::string result;
    if (file_ == nullptr) return result;
    char block[4096];
    ssize_t got;
    for (off_t at = 0; (got = pread(fileno(file_), block, sizeof block, at)) > 0; at += got) {
      result.append(block, static_cast<std::size_t>(got));
    }
    return result;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    saved_ = -1;
  }

  std::FILE *file_ = nullptr;
  int saved_ = -1;
};

}  // namespace gwtest
