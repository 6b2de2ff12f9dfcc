// Replays fuzz inputs without libFuzzer: every file named on the command
// line, and every file inside a folder named there, goes once through the
// target's LLVMFuzzerTestOneInput, in a heap block of exactly its size as
// libFuzzer hands it. A fault aborts; a path that cannot be read, or
// nothing to replay at all, fails, so a mistyped corpus never passes empty.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "fuzz_target.h"

namespace {

bool replay_file(const std::string &path) {
  std::FILE *file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::string bytes;
  char chunk[4096];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, got);
  const bool read_ok = std::ferror(file) == 0;
  std::fclose(file);
  if (!read_ok) return false;
  // malloc(0) may return nullptr; one byte is asked for then, and none used.
  auto *input = static_cast<std::uint8_t *>(std::malloc(bytes.empty() ? 1 : bytes.size()));
  if (input == nullptr) return false;
  std::copy(bytes.begin(), bytes.end(), input);
  LLVMFuzzerTestOneInput(input, bytes.size());
  std::free(input);
  return true;
}

// The files of a folder, in name order so that a failure names the same
// input every time.
bool folder_files(const std::string &folder, std::vector<std::string> &files) {
  DIR *dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  while (const dirent *entry = readdir(dir)) {
    if (entry->d_name[0] != '.') files.push_back(folder + "/" + entry->d_name);
  }
  closedir(dir);
  std::sort(files.begin(), files.end());
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  std::size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat info{};
    if (stat(argv[i], &info) != 0) {
      std::fprintf(stderr, "replay: cannot read %s\n", argv[i]);
      return 1;
    }
    std::vector<std::string> files;
    if (S_ISDIR(info.st_mode)) {
      if (!folder_files(argv[i], files)) {
        std::fprintf(stderr, "replay: cannot list %s\n", argv[i]);
        return 1;
      }
    } else {
      files.emplace_back(argv[i]);
    }
    for (const std::string &path : files) {
      if (!replay_file(path)) {
        std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return 1;
      }
      ++replayed;
    }
  }
  std::printf("replay: %zu inputs\n", replayed);
  return replayed > 0 ? 0 : 1;
}
