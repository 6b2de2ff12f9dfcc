// A thread's context switches from its /proc status file, shared by the
// benches that count what the report hand-off costs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Voluntary and non-voluntary context switches, of one thread or summed.
struct Switches {
  std::uint64_t voluntary = 0;
  std::uint64_t involuntary = 0;
  std::uint64_t total() const { return voluntary + involuntary; }
};

inline Switches switches_in(const std::string &status_path) {
  Switches found;
  FILE *file = std::fopen(status_path.c_str(), "re");
  if (file == nullptr) return found;
  char line[256];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    unsigned long long value = 0;
    if (std::sscanf(line, "voluntary_ctxt_switches: %llu", &value) == 1) found.voluntary += value;
    if (std::sscanf(line, "nonvoluntary_ctxt_switches: %llu", &value) == 1) found.involuntary += value;
  }
  std::fclose(file);
  return found;
}
