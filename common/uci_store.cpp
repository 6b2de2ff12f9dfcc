#include "uci_store.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gw::uci {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Length of a backslash line continuation at i ("\\\n" or "\\\r\n"), else 0.
std::size_t continuation_at(std::string_view s, std::size_t i) {
  if (i >= s.size() || s[i] != '\\') return 0;
  if (i + 1 < s.size() && s[i + 1] == '\n') return 2;
  if (i + 2 < s.size() && s[i + 1] == '\r' && s[i + 2] == '\n') return 3;
  return 0;
}

enum class Token { word, statement_end, file_end, error };

// Reads the next word of a statement into word. Quoted pieces and escaped
// characters join the bare text around them into the same word. Outside
// quotes a line end or ';' ends the statement, and '#' starts a comment even
// right after a word ("1#old" is "1").
Token next_token(std::string_view s, std::size_t &i, std::string &word) {
  for (;;) {
    while (i < s.size() && is_blank(s[i])) ++i;
    if (std::size_t skip = continuation_at(s, i)) {
      i += skip;
      continue;
    }
    if (i >= s.size()) return Token::file_end;
    if (s[i] == '\n' || s[i] == ';') {
      ++i;
      return Token::statement_end;
    }
    if (s[i] == '#') {
      while (i < s.size() && s[i] != '\n') ++i;
      continue;
    }
    break;
  }

  word.clear();
  while (i < s.size()) {
    char c = s[i];
    if (is_blank(c) || c == '\n' || c == ';' || c == '#') break;
    if (c == '\'') {
      std::size_t close = s.find('\'', i + 1);
      if (close == std::string_view::npos) return Token::error;
      word.append(s.substr(i + 1, close - i - 1));
      i = close + 1;
    } else if (c == '"') {
      ++i;
      for (;;) {
        if (i >= s.size()) return Token::error;
        char q = s[i];
        if (q == '"') {
          ++i;
          break;
        }
        if (q == '\\') {
          if (std::size_t skip = continuation_at(s, i)) {
            i += skip;
            continue;
          }
          if (i + 1 >= s.size()) return Token::error;
          word += s[i + 1];
          i += 2;
          continue;
        }
        word += q;
        ++i;
      }
    } else if (c == '\\') {
      if (std::size_t skip = continuation_at(s, i)) {
        i += skip;
        continue;
      }
      if (i + 1 >= s.size()) return Token::error;
      word += s[i + 1];
      i += 2;
    } else {
      word += c;
      ++i;
    }
  }
  return Token::word;
}

Section *find_named(Package &package, std::string_view name) {
  for (Section &section : package.sections) {
    if (!section.name.empty() && section.name == name) return &section;
  }
  return nullptr;
}

void add_value(Section &section, const std::string &key, const std::string &value, bool list) {
  Option *option = section.find(key);
  if (!list && value.empty()) {
    // "option key" or "option key ''": the device's tool unsets the option.
    if (option != nullptr) {
      section.options.erase(section.options.begin() + (option - section.options.data()));
    }
    return;
  }
  if (option == nullptr) {
    section.options.push_back(Option{key, list, {value}});
  } else if (!list) {
    option->is_list = false;
    option->values.assign(1, value);
  } else {
    // A list line after a plain option of that key extends it into a list.
    option->is_list = true;
    option->values.push_back(value);
  }
}

// The full keyword or its first letter, as the device's tool accepts them.
bool is_keyword(const std::string &word, std::string_view keyword) {
  return word == keyword || (word.size() == 1 && word[0] == keyword[0]);
}

bool apply_statement(const std::vector<std::string> &words, Package &package, Section *&current) {
  const std::string &keyword = words[0];
  if (is_keyword(keyword, "package")) return words.size() == 2;
  if (is_keyword(keyword, "config")) {
    if (words.size() < 2 || words.size() > 3 || !valid_type(words[1])) return false;
    std::string name = words.size() == 3 ? words[2] : std::string();
    if (!name.empty() && !valid_name(name)) return false;
    Section *existing = name.empty() ? nullptr : find_named(package, name);
    if (existing != nullptr) {
      existing->type = words[1];
      current = existing;
    } else {
      package.sections.push_back(Section{words[1], name, {}});
      current = &package.sections.back();
    }
    return true;
  }
  const bool list = is_keyword(keyword, "list");
  if (list || is_keyword(keyword, "option")) {
    if (words.size() < 2 || words.size() > 3 || current == nullptr || !valid_name(words[1])) return false;
    add_value(*current, words[1], words.size() == 3 ? words[2] : std::string(), list);
    return true;
  }
  return false;
}

void append_quoted(std::string &out, std::string_view value) {
  out += '\'';
  for (char c : value) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  out += '\'';
}

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// Best effort: once the rename is done the new file is in place; flushing
// the directory only makes the rename survive a power cut sooner.
void sync_directory(const std::string &dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

// Opens a fresh temporary file beside base_path; the process id and a
// counter keep two writers (or a file left by a power cut) apart.
int create_temporary(const std::string &base_path, std::string &temp_path) {
  static std::atomic<unsigned> counter{0};
  std::size_t slash = base_path.rfind('/');
  std::string dir = base_path.substr(0, slash + 1);
  std::string base = base_path.substr(slash + 1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp_path = dir + "." + base + ".new" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    int fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

Option *Section::find(std::string_view key) {
  for (Option &option : options) {
    if (option.key == key) return &option;
  }
  return nullptr;
}

bool valid_name(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!is_name_char(c)) return false;
  }
  return true;
}

bool valid_type(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!is_name_char(c) && c != '-') return false;
  }
  return true;
}

bool parse(std::string_view text, Package &out) {
  out.sections.clear();
  // A NUL byte is no part of a text file: the file is damaged.
  if (text.find('\0') != std::string_view::npos) return false;

  Package package;
  Section *current = nullptr;
  std::vector<std::string> words;
  std::string word;
  std::size_t i = 0;
  bool done = false;
  while (!done) {
    words.clear();
    for (;;) {
      Token token = next_token(text, i, word);
      if (token == Token::error) return false;
      if (token == Token::word) {
        words.push_back(word);
        continue;
      }
      done = token == Token::file_end;
      break;
    }
    if (!words.empty() && !apply_statement(words, package, current)) return false;
  }
  out = std::move(package);
  return true;
}

std::string serialize(const Package &package) {
  std::string out;
  for (const Section &section : package.sections) {
    out += "\nconfig ";
    out += section.type;
    if (!section.name.empty()) {
      out += ' ';
      append_quoted(out, section.name);
    }
    out += '\n';
    for (const Option &option : section.options) {
      // An empty plain option would read back as no option at all.
      if (!option.is_list && option.values.front().empty()) continue;
      for (const std::string &value : option.values) {
        out += option.is_list ? "\tlist " : "\toption ";
        out += option.key;
        out += ' ';
        append_quoted(out, value);
        out += '\n';
      }
    }
  }
  return out;
}

bool package_file(std::string_view package, std::string &file) {
  if (!package.empty() && package[0] == '/') {
    file.assign(package);
    return true;
  }
  if (!valid_type(package)) return false;
  file = "/etc/config/";
  file.append(package);
  return true;
}

bool parse_section_ref(std::string_view text, SectionRef &out) {
  if (text.empty() || text[0] != '@') {
    if (!valid_name(text)) return false;
    out = SectionRef{false, std::string(text), 0};
    return true;
  }
  std::size_t open = text.find('[');
  if (open == std::string_view::npos || text.back() != ']') return false;
  std::string_view type = text.substr(1, open - 1);
  std::string_view digits = text.substr(open + 1, text.size() - open - 2);
  bool negative = !digits.empty() && digits[0] == '-';
  if (negative) digits.remove_prefix(1);
  if (!valid_type(type) || digits.empty()) return false;
  // Far beyond any real file; saturating keeps a huge index out of range
  // instead of overflowing.
  constexpr long index_limit = 1000000;
  long index = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    if (index < index_limit) index = index * 10 + (c - '0');
  }
  out = SectionRef{true, std::string(type), negative ? -index : index};
  return true;
}

bool parse_path(std::string_view text, Path &out) {
  std::size_t last = text.rfind('.');
  if (last == std::string_view::npos || last == 0) return false;
  std::size_t middle = text.rfind('.', last - 1);
  if (middle == std::string_view::npos) return false;
  std::string_view package = text.substr(0, middle);
  std::string_view section = text.substr(middle + 1, last - middle - 1);
  std::string_view option = text.substr(last + 1);
  Path path;
  if (!valid_name(option) || !parse_section_ref(section, path.section) || !package_file(package, path.file)) {
    return false;
  }
  path.option.assign(option);
  out = std::move(path);
  return true;
}

Section *find_section(Package &package, const SectionRef &ref) {
  if (!ref.by_type) return find_named(package, ref.name);
  long count = 0;
  for (const Section &section : package.sections) {
    if (section.type == ref.name) ++count;
  }
  long wanted = ref.index < 0 ? count + ref.index : ref.index;
  if (wanted < 0 || wanted >= count) return nullptr;
  for (Section &section : package.sections) {
    if (section.type != ref.name) continue;
    if (wanted-- == 0) return &section;
  }
  return nullptr;
}

namespace {

// Closes a descriptor (and so drops its flock) on every way out.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// O_NONBLOCK: a FIFO put where a file belongs must not hang the caller.
// A regular file within the size bound, or -1.
int open_regular(const std::string &file, int flags) {
  int fd = ::open(file.c_str(), flags | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<std::size_t>(info.st_size) > max_file_size) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

bool lock(int fd, int operation) {
  while (::flock(fd, operation) != 0) {
    // A file system without locks: as libuci, go on unlocked.
    if (errno == ENOSYS || errno == EOPNOTSUPP) return true;
    if (errno != EINTR) return false;
  }
  return true;
}

bool read_all(int fd, std::string &text) {
  text.clear();
  char chunk[4096];
  for (off_t at = 0;;) {
    ssize_t got = ::pread(fd, chunk, sizeof chunk, at);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return true;
    // The file may grow while it is read; the bound holds regardless.
    if (text.size() + static_cast<std::size_t>(got) > max_file_size) return false;
    text.append(chunk, static_cast<std::size_t>(got));
    at += got;
  }
}

// Whether path still names the file open as fd (and locked there).
bool still_names(const std::string &path, int fd) {
  struct stat named, open;
  return ::stat(path.c_str(), &named) == 0 && ::fstat(fd, &open) == 0 &&
         named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

}  // namespace

LoadStatus load_file(const std::string &file, Package &out) {
  Descriptor fd(open_regular(file, O_RDONLY));
  if (fd.get() < 0) {
    return errno == ENOENT || errno == ENOTDIR ? LoadStatus::missing : LoadStatus::unreadable;
  }
  std::string text;
  if (!lock(fd.get(), LOCK_SH) || !read_all(fd.get(), text)) return LoadStatus::unreadable;
  return parse(text, out) ? LoadStatus::ok : LoadStatus::malformed;
}

namespace {

// Writes text to a temporary file beside target and flushes it, then
// renames it over target; unless still_current (when given) finds that
// target is no longer the file the text was made from: then nothing is
// replaced and *current is false.
WriteStatus replace_file(const std::string &target, std::string_view text,
                         const std::function<bool()> &still_current, bool *current) {
  *current = true;
  struct stat info;
  if (::stat(target.c_str(), &info) != 0) return WriteStatus::save_failed;

  std::string temp;
  int fd = create_temporary(target, temp);
  if (fd < 0) return WriteStatus::save_failed;
  if (info.st_uid != ::geteuid() || info.st_gid != ::getegid()) {
    (void)::fchown(fd, info.st_uid, info.st_gid);  // only root can; keep going if not
  }
  bool saved = ::fchmod(fd, info.st_mode & 07777) == 0 && write_all(fd, text) && ::fsync(fd) == 0;
  saved = (::close(fd) == 0) && saved;
  if (!saved) {
    ::unlink(temp.c_str());
    return WriteStatus::save_failed;
  }
  if (still_current && !still_current()) {
    ::unlink(temp.c_str());
    *current = false;
    return WriteStatus::save_failed;
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    ::unlink(temp.c_str());
    return WriteStatus::commit_failed;
  }
  sync_directory(target.substr(0, target.rfind('/') + 1));
  return WriteStatus::ok;
}

bool resolve(const std::string &file, std::string &target) {
  char *resolved = ::realpath(file.c_str(), nullptr);
  if (resolved == nullptr) return false;
  target = resolved;
  std::free(resolved);
  return true;
}

}  // namespace

WriteStatus write_file(const std::string &file, std::string_view text) {
  std::string target;
  if (!resolve(file, target)) return WriteStatus::save_failed;
  bool current;
  return replace_file(target, text, nullptr, &current);
}

UpdateStatus update_file(const std::string &file, const std::function<Change(Package &)> &change) {
  std::string target;
  if (!resolve(file, target)) return UpdateStatus::load_failed;
  // Each turn is one commit of another writer: a few are plenty.
  for (int attempt = 0; attempt < 8; ++attempt) {
    // Read-write: the replaced file is brought up to date for lock waiters.
    Descriptor fd(open_regular(target, O_RDWR));
    if (fd.get() < 0 || !lock(fd.get(), LOCK_EX)) return UpdateStatus::load_failed;
    // A commit that held the lock may have replaced the file meanwhile.
    if (!still_names(target, fd.get())) continue;
    std::string text;
    Package package;
    if (!read_all(fd.get(), text) || !parse(text, package)) return UpdateStatus::load_failed;
    switch (change(package)) {
      case Change::refused:
        return UpdateStatus::refused;
      case Change::none:
        return UpdateStatus::unchanged;
      case Change::made:
        break;
    }
    const std::string written = serialize(package);
    bool current;
    // OpenWrt's uci renames after it has dropped the lock: a commit of its
    // that lands between our read and our rename is read anew, not undone.
    const WriteStatus status =
        replace_file(target, written, [&] { return still_names(target, fd.get()); }, &current);
    if (!current) continue;
    if (status == WriteStatus::save_failed) return UpdateStatus::save_failed;
    if (status == WriteStatus::commit_failed) return UpdateStatus::commit_failed;
    // A uci commit that waits for our lock reads the package from the file
    // it opened, the one just replaced: without this it would write back
    // the old text with its own change and undo ours. Best effort; nothing
    // names that file any more (unless it has another link: left alone).
    struct stat replaced;
    if (::fstat(fd.get(), &replaced) == 0 && replaced.st_nlink == 0 &&
        ::ftruncate(fd.get(), 0) == 0) {
      std::string_view rest = written;
      for (off_t at = 0; !rest.empty();) {
        ssize_t put = ::pwrite(fd.get(), rest.data(), rest.size(), at);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) break;
        rest.remove_prefix(static_cast<std::size_t>(put));
        at += put;
      }
    }
    return UpdateStatus::written;
  }
  return UpdateStatus::commit_failed;
}

}  // namespace gw::uci
