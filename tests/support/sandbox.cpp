#include "sandbox.h"

#include "process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace gwtest {

namespace {

constexpr const char *fake_names[] = {"hciconfig", "hciattach"};

// Set once by enter_sandbox, read afterwards by the test's main thread.
bool sandbox_entered = false;
bool etc_overlay_mounted = false;
bool tmp_mounted = false;
bool var_run_mounted = false;
unsigned etc_generation = 0;

std::string errno_text(const std::string &what) {
  return what + ": " + std::strerror(errno);
}

bool make_dirs(const std::string &path, std::string *why) {
  std::error_code error;
  fs::create_directories(path, error);
  if (error) {
    if (why) *why = "mkdir " + path + ": " + error.message();
    return false;
  }
  return true;
}

bool empty_dir(const std::string &path, std::string *why) {
  std::error_code error;
  for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
    std::error_code remove_error;
    fs::remove_all(it->path(), remove_error);
    if (remove_error) {
      if (why) *why = "remove " + it->path().string() + ": " + remove_error.message();
      return false;
    }
  }
  if (error) {
    if (why) *why = "list " + path + ": " + error.message();
    return false;
  }
  return true;
}

// Copies every file below `from` into the same place below `to`, making
// folders as needed. A missing `from` copies nothing.
bool copy_tree(const std::string &from, const std::string &to, std::string *why) {
  std::error_code error;
  if (!fs::is_directory(from, error)) return true;
  for (fs::recursive_directory_iterator it(from, error), end; !error && it != end;
       it.increment(error)) {
    fs::path target = fs::path(to) / fs::relative(it->path(), from, error);
    if (error) break;
    if (it->is_directory(error)) {
      fs::create_directories(target, error);
    } else if (it->is_regular_file(error)) {
      fs::create_directories(target.parent_path(), error);
      if (!error)
        fs::copy_file(it->path(), target, fs::copy_options::overwrite_existing, error);
    }
    if (error) {
      if (why) *why = "copy " + it->path().string() + " to " + target.string() + ": " +
                      error.message();
      return false;
    }
  }
  if (error) {
    if (why) *why = "copy " + from + ": " + error.message();
    return false;
  }
  return true;
}

struct CommandResult {
  int status = -1;
  std::string output;  // stdout and stderr together when both are captured
};

// Runs a native program, collecting its output, killed after `timeout`.
CommandResult run_command(const std::vector<std::string> &argv,
                          std::chrono::milliseconds timeout, bool with_stderr) {
  CommandResult result;
  UniqueFd read_end, write_end;
  if (!make_pipe(read_end, write_end)) {
    result.output = errno_text("pipe");
    return result;
  }
  std::string error;
  pid_t pid = spawn_process(argv[0], argv, write_end.get(),
                            with_stderr ? write_end.get() : -1, &error);
  write_end.reset();
  if (pid < 0) {
    result.output = error;
    return result;
  }
  register_child(pid);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::optional<int> status;
  char buffer[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    // Short poll periods so a command that left a background process holding
    // the pipe still returns soon after it ended itself.
    struct pollfd entry = {read_end.get(), POLLIN, 0};
    int ready = ::poll(&entry, 1, static_cast<int>(std::min<long long>(left.count(), 20)));
    if (ready > 0) {
      ssize_t got = ::read(read_end.get(), buffer, sizeof buffer);
      if (got > 0) {
        result.output.append(buffer, static_cast<size_t>(got));
        continue;
      }
      if (got == 0) break;
      if (errno != EINTR && errno != EAGAIN) break;
    }
    if (!status) status = wait_child(pid, std::chrono::milliseconds(0));
    if (status && ready == 0) break;  // ended and drained
  }
  if (!status) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    status = wait_child(pid, std::max(left, std::chrono::milliseconds(0)));
  }
  if (!status) {
    end_child(pid, SIGKILL, std::chrono::seconds(5));
    result.output += "\n(killed after " + std::to_string(timeout.count()) + " ms)";
  }
  unregister_child(pid);
  if (status && WIFEXITED(*status)) result.status = WEXITSTATUS(*status);
  return result;
}

const std::string &ip_tool() {
  static const std::string path = [] {
    for (const char *candidate : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
      if (::access(candidate, X_OK) == 0) return std::string(candidate);
    return std::string("/sbin/ip");
  }();
  return path;
}

bool run_ip(std::vector<std::string> words, std::string *why) {
  words.insert(words.begin(), ip_tool());
  CommandResult result = run_command(words, std::chrono::seconds(10), true);
  if (result.status == 0) return true;
  if (why) {
    std::string line;
    for (const std::string &word : words) line += (line.empty() ? "" : " ") + word;
    *why = line + " failed (status " + std::to_string(result.status) + "): " + result.output;
  }
  return false;
}

std::string state_path(const std::string &relative) { return state_dir() + "/" + relative; }

// A fake's daemon counts as running while it exists, is not a zombie and
// still carries the fake's name (its PID was not reused).
bool daemon_alive(pid_t pid, const std::string &name) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t open = stat.find('(');
  size_t close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close + 2 >= stat.size())
    return false;
  if (stat.substr(open + 1, close - open - 1) != name.substr(0, 15)) return false;
  char state = stat[close + 2];
  return state != 'Z' && state != 'X';
}

std::vector<pid_t> read_daemon_pids(const std::string &dir, const std::string &name) {
  std::vector<pid_t> pids;
  std::string text = read_file(dir + "/daemons");
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    long pid = std::strtol(text.substr(start, end - start).c_str(), nullptr, 10);
    if (pid > 1 && daemon_alive(static_cast<pid_t>(pid), name))
      pids.push_back(static_cast<pid_t>(pid));
    start = end + 1;
  }
  return pids;
}

// Ends every live daemon of a fake: SIGTERM, then SIGKILL for one that
// outlives a second (a daemon started with SIGTERM blocked ignores it).
void end_daemons(const std::string &dir, const std::string &name) {
  std::vector<pid_t> pids = read_daemon_pids(dir, name);
  for (pid_t pid : pids) ::kill(pid, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (!read_daemon_pids(dir, name).empty() && std::chrono::steady_clock::now() < deadline)
    pause_for(std::chrono::milliseconds(10));
  for (pid_t pid : read_daemon_pids(dir, name)) ::kill(pid, SIGKILL);
}

bool reset_fake(const std::string &name, std::string *why) {
  std::string dir = state_path("fakes/" + name);
  end_daemons(dir, name);
  if (!make_dirs(dir, why) || !empty_dir(dir, why)) return false;
  if (!write_file(dir + "/log", "") ||
      !write_file(dir + "/owner", std::to_string(::getpid()) + "\n")) {
    if (why) *why = errno_text("write controls of " + name);
    return false;
  }
  return true;
}

void end_all_daemons() {
  if (!sandbox_entered) return;
  for (const char *name : fake_names) end_daemons(state_path(std::string("fakes/") + name), name);
}

bool reset_etc(std::string *why) {
  if (etc_overlay_mounted) {
    // Detached lazily: a program of the previous test may still hold a file.
    if (::umount2("/etc", MNT_DETACH) != 0) {
      if (why) *why = errno_text("umount /etc");
      return false;
    }
    etc_overlay_mounted = false;
    std::error_code ignored;
    fs::remove_all(state_path("etc/" + std::to_string(etc_generation)), ignored);
  }
  ++etc_generation;
  std::string layer = state_path("etc/" + std::to_string(etc_generation));
  if (!make_dirs(layer + "/upper", why) || !make_dirs(layer + "/work", why)) return false;
  std::string options =
      "lowerdir=/etc,upperdir=" + layer + "/upper,workdir=" + layer + "/work";
  if (::mount("overlay", "/etc", "overlay", 0, options.c_str()) != 0) {
    // Inside a user namespace overlayfs keeps its metadata in user.* xattrs.
    std::string user_options = options + ",userxattr";
    if (::mount("overlay", "/etc", "overlay", 0, user_options.c_str()) != 0) {
      if (why) *why = errno_text("mount overlay on /etc (" + options + ")");
      return false;
    }
  }
  etc_overlay_mounted = true;
  return copy_tree(std::string(GW_SOURCE_DIR) + "/files/etc", "/etc", why) &&
         copy_tree(std::string(GW_SOURCE_DIR) + "/tests/data/etc", "/etc", why);
}

// A fresh tmpfs on `path` (mounted over the previous one, if any).
bool remount_tmpfs(const char *path, const char *options, bool &mounted, std::string *why) {
  if (mounted) {
    if (::umount2(path, MNT_DETACH) != 0) {
      if (why) *why = errno_text(std::string("umount ") + path);
      return false;
    }
    mounted = false;
  }
  if (::mount("tmpfs", path, "tmpfs", MS_NOSUID | MS_NODEV, options) != 0) {
    if (why) *why = errno_text(std::string("mount tmpfs on ") + path);
    return false;
  }
  mounted = true;
  return true;
}

// /var/run is root's RAM on the board too (/var is /tmp there); on the host
// it is the machine's own /run, which the parent must never write.
bool reset_tmp(std::string *why) {
  return remount_tmpfs("/tmp", "mode=1777", tmp_mounted, why) &&
         remount_tmpfs("/var/run", "mode=0755", var_run_mounted, why);
}

bool reset_sys_class(std::string *why) {
  std::string dir = state_path("sys-class");
  if (!empty_dir(dir, why) || !make_dirs(dir + "/gpio", why)) return false;
  if (!write_file(dir + "/gpio/export", "") || !write_file(dir + "/gpio/unexport", "")) {
    if (why) *why = errno_text("create gpio export files");
    return false;
  }
  return true;
}

bool reset_all(std::string *why) {
  for (const char *name : fake_names)
    if (!reset_fake(name, why)) return false;
  if (!reset_etc(why) || !reset_tmp(why) || !reset_sys_class(why)) return false;
  return run_ip({"-4", "addr", "replace", std::string(eth0_address) + "/24", "dev", "eth0"}, why) &&
         run_ip({"link", "set", "eth0", "up"}, why);
}

bool write_id_map(const char *file, const std::string &text, std::string *why) {
  if (!write_file(file, text)) {
    if (why) *why = errno_text(std::string("write ") + file);
    return false;
  }
  return true;
}

SandboxEntry enter(std::string *why) {
  char resolved[PATH_MAX];
  if (!::realpath("/bin/sh", resolved)) {
    *why = errno_text("realpath /bin/sh");
    return SandboxEntry::failed;
  }
  const std::string shell_target = resolved;
  std::string busybox = ::access("/usr/bin/busybox", X_OK) == 0 ? "/usr/bin/busybox"
                                                                   : "/bin/busybox";
  if (::access(busybox.c_str(), X_OK) != 0) {
    *why = "no /usr/bin/busybox or /bin/busybox (install busybox-static)";
    return SandboxEntry::failed;
  }
  if (state_dir().rfind("/tmp/", 0) == 0) {
    *why = "the build tree (" + state_dir() + ") lies under /tmp, which the sandbox covers";
    return SandboxEntry::failed;
  }

  if (::geteuid() == 0) {
    if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
      *why = errno_text("unshare(CLONE_NEWNS | CLONE_NEWNET)");
      return SandboxEntry::failed;
    }
  } else {
    uid_t uid = ::getuid();
    gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET) != 0) {
      int code = errno;
      *why = errno_text("unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET) as a normal user");
      return (code == EPERM || code == EINVAL || code == ENOSPC || code == EUSERS)
                 ? SandboxEntry::unavailable
                 : SandboxEntry::failed;
    }
    if (!write_id_map("/proc/self/setgroups", "deny", why) ||
        !write_id_map("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1", why) ||
        !write_id_map("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1", why))
      return SandboxEntry::failed;
  }

  // Nothing mounted from here on may reach the host's namespace.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    *why = errno_text("make / private");
    return SandboxEntry::failed;
  }
  if (!make_dirs(state_dir(), why)) return SandboxEntry::failed;
  if (::mount("tmpfs", state_dir().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
    *why = errno_text("mount tmpfs on " + state_dir());
    return SandboxEntry::failed;
  }
  if (!make_dirs(state_path("etc"), why) || !make_dirs(state_path("sys-class"), why) ||
      !make_dirs(state_path("bin"), why))
    return SandboxEntry::failed;

  if (::mount(state_path("sys-class").c_str(), "/sys/class", nullptr, MS_BIND, nullptr) != 0) {
    *why = errno_text("bind " + state_path("sys-class") + " on /sys/class");
    return SandboxEntry::failed;
  }
  char busybox_resolved[PATH_MAX];
  if (::realpath(busybox.c_str(), busybox_resolved) && shell_target != busybox_resolved &&
      ::mount(busybox.c_str(), shell_target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    *why = errno_text("bind " + busybox + " on " + shell_target);
    return SandboxEntry::failed;
  }

  for (const char *name : fake_names) {
    std::error_code error;
    std::string target = state_path(std::string("bin/") + name);
    fs::copy_file(GW_FAKE_COMMAND_SCRIPT, target, fs::copy_options::overwrite_existing, error);
    if (!error) fs::permissions(target, fs::perms(0755), error);
    if (error) {
      *why = "install fake " + target + ": " + error.message();
      return SandboxEntry::failed;
    }
  }
  const char *old_path = std::getenv("PATH");
  std::string path = state_path("bin") + ":" + (old_path ? old_path : "/usr/sbin:/usr/bin:/sbin:/bin");
  ::setenv("PATH", path.c_str(), 1);

  if (!run_ip({"link", "set", "lo", "up"}, why) ||
      !run_ip({"link", "add", "eth0", "type", "veth", "peer", "name", "eth0peer"}, why) ||
      !run_ip({"link", "set", "eth0peer", "up"}, why))
    return SandboxEntry::failed;

  sandbox_entered = true;
  std::atexit(end_all_daemons);
  if (!reset_all(why)) return SandboxEntry::failed;
  return SandboxEntry::entered;
}

}  // namespace

SandboxEntry enter_sandbox(std::string *why) {
  static std::optional<SandboxEntry> outcome;
  static std::string reason;
  if (!outcome) outcome = enter(&reason);
  if (why) *why = reason;
  return *outcome;
}

bool reset_sandbox() {
  std::string why;
  if (!sandbox_entered) {
    ADD_FAILURE() << "reset_sandbox: the sandbox was not entered";
    return false;
  }
  if (!reset_all(&why)) {
    ADD_FAILURE() << "reset_sandbox: " << why;
    return false;
  }
  return true;
}

const std::string &state_dir() {
  static const std::string dir = GW_SANDBOX_STATE_DIR;
  return dir;
}

std::string make_state_subdir(const std::string &prefix) {
  std::string pattern = state_path(prefix + "-XXXXXX");
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!::mkdtemp(buffer.data())) return std::string();
  return std::string(buffer.data());
}

bool write_file(const std::string &path, const std::string &text) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid()) return false;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t wrote = ::write(fd.get(), text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<size_t>(wrote);
  }
  return true;
}

std::string read_file(const std::string &path) {
  std::string text;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return text;
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  return text;
}

bool file_exists(const std::string &path) { return ::access(path.c_str(), F_OK) == 0; }

std::string gpio_path(int n, const char *file) {
  std::string path = "/sys/class/gpio/gpio" + std::to_string(n);
  if (file && *file) path += std::string("/") + file;
  return path;
}

bool make_gpio_line(int n) {
  if (!make_dirs(gpio_path(n), nullptr)) return false;
  for (const char *file : {"direction", "active_low", "value"})
    if (!write_file(gpio_path(n, file), "")) return false;
  return true;
}

bool make_gpio_fifo(int n, const char *file) {
  if (!make_dirs(gpio_path(n), nullptr)) return false;
  std::string path = gpio_path(n, file);
  ::unlink(path.c_str());
  return ::mkfifo(path.c_str(), 0644) == 0;
}

std::string read_gpio_file(int n, const char *file) { return read_file(gpio_path(n, file)); }

std::string read_gpio_export() { return read_file("/sys/class/gpio/export"); }

// --- /var/tmp -----------------------------------------------------------------

VarTmpOnTmp::VarTmpOnTmp() {
  // The checkout's top folder under /var/tmp, if it lies there, reached
  // through a descriptor opened before the bind covers it.
  const std::size_t end = state_dir().rfind("/var/tmp/", 0) == 0 ? state_dir().find('/', 9) : 0;
  const std::string kept = state_dir().substr(0, end);
  UniqueFd original(kept.empty() ? -1 : ::open(kept.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  mounted_ = (kept.empty() || original.valid()) &&
             ::mount("/tmp", "/var/tmp", nullptr, MS_BIND, nullptr) == 0;
  const std::string covered = "/proc/self/fd/" + std::to_string(original.get());
  ok_ = mounted_ && (kept.empty() || (make_dirs(kept, nullptr) &&
                                      ::mount(covered.c_str(), kept.c_str(), nullptr,
                                              MS_BIND | MS_REC, nullptr) == 0));
  if (!ok_) ADD_FAILURE() << errno_text("/tmp on /var/tmp, " + kept + " kept");
}

VarTmpOnTmp::~VarTmpOnTmp() {
  if (mounted_) ::umount2("/var/tmp", MNT_DETACH);
}

// --- GpioFifo ----------------------------------------------------------------

struct GpioFifo::State {
  UniqueFd fifo;
  UniqueFd wake_read, wake_write;  // the destructor's stop call to the reader
  std::thread reader;
  mutable std::mutex lock;  // guards writes
  mutable std::condition_variable changed;
  std::vector<Write> writes;

  void read_loop() {
    char buffer[256];
    for (;;) {
      struct pollfd entries[2] = {{fifo.get(), POLLIN, 0}, {wake_read.get(), POLLIN, 0}};
      int ready = ::poll(entries, 2, -1);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0 || entries[1].revents) return;
      ssize_t got = ::read(fifo.get(), buffer, sizeof buffer);
      if (got <= 0) continue;  // EAGAIN: another wake-up raced us
      auto now = std::chrono::steady_clock::now();
      std::lock_guard<std::mutex> hold(lock);
      writes.push_back({now, std::string(buffer, static_cast<size_t>(got))});
      changed.notify_all();
    }
  }
};

GpioFifo::GpioFifo(int n, const char *file) : state_(new State) {
  if (!make_gpio_fifo(n, file)) return;
  state_->fifo.reset(::open(gpio_path(n, file).c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK));
  if (!state_->fifo.valid() || !make_pipe(state_->wake_read, state_->wake_write)) {
    state_->fifo.reset();
    return;
  }
  state_->reader = std::thread([this] { state_->read_loop(); });
}

GpioFifo::~GpioFifo() {
  if (state_->reader.joinable()) {
    char byte = 0;
    if (::write(state_->wake_write.get(), &byte, 1) != 1) {
      // The pipe cannot be full with one byte; nothing else to do.
    }
    state_->reader.join();
  }
  delete state_;
}

bool GpioFifo::ok() const { return state_->reader.joinable(); }

std::vector<GpioFifo::Write> GpioFifo::writes() const {
  std::lock_guard<std::mutex> hold(state_->lock);
  return state_->writes;
}

bool GpioFifo::wait_for_writes(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> hold(state_->lock);
  return state_->changed.wait_for(hold, timeout,
                                  [&] { return state_->writes.size() >= count; });
}

// --- network -------------------------------------------------------------------

bool remove_eth0_address() {
  std::string why;
  bool done = run_ip({"-4", "addr", "flush", "dev", "eth0"}, &why);
  if (!done) ADD_FAILURE() << why;
  return done;
}

bool restore_eth0_address() {
  std::string why;
  bool done =
      run_ip({"-4", "addr", "replace", std::string(eth0_address) + "/24", "dev", "eth0"}, &why) &&
      run_ip({"link", "set", "eth0", "up"}, &why);
  if (!done) ADD_FAILURE() << why;
  return done;
}

ShellResult run_shell(const std::string &command, std::chrono::milliseconds timeout) {
  CommandResult result = run_command({"/bin/sh", "-c", command}, timeout, false);
  return {result.status, result.output};
}

// --- FakeCommand -------------------------------------------------------------

FakeCommand::FakeCommand(const std::string &name)
    : name_(name), dir_(state_path("fakes/" + name)) {}

std::vector<FakeCommand::Call> FakeCommand::call_records() const {
  // The script stamps calls with /proc/uptime (CLOCK_BOOTTIME); shift them
  // onto the monotonic clock the other recorders use.
  struct timespec boot {}, mono {};
  ::clock_gettime(CLOCK_BOOTTIME, &boot);
  ::clock_gettime(CLOCK_MONOTONIC, &mono);
  auto offset = std::chrono::seconds(boot.tv_sec - mono.tv_sec) +
                std::chrono::nanoseconds(boot.tv_nsec - mono.tv_nsec);

  std::vector<Call> calls;
  std::string text = read_file(dir_ + "/log");
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) break;  // a line still being written
    std::string line = text.substr(start, end - start);
    size_t space = line.find(' ');
    Call call;
    call.time = parse_monotonic(line.substr(0, space)) - offset;
    call.arguments = space == std::string::npos ? std::string() : line.substr(space + 1);
    calls.push_back(std::move(call));
    start = end + 1;
  }
  return calls;
}

std::vector<std::string> FakeCommand::calls() const {
  std::vector<std::string> arguments;
  for (Call &call : call_records()) arguments.push_back(std::move(call.arguments));
  return arguments;
}

bool FakeCommand::wait_for_calls(size_t count, std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (call_records().size() >= count) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    pause_for(std::chrono::milliseconds(10));
  }
}

void FakeCommand::set_exit_status(int status) {
  if (!write_file(dir_ + "/exit_status", std::to_string(status) + "\n"))
    ADD_FAILURE() << "cannot write " << dir_ << "/exit_status";
}

void FakeCommand::set_output(const std::string &text) {
  if (!write_file(dir_ + "/output", text)) ADD_FAILURE() << "cannot write " << dir_ << "/output";
}

void FakeCommand::set_daemon(bool daemon) {
  if (daemon) {
    if (!write_file(dir_ + "/daemon", "")) ADD_FAILURE() << "cannot write " << dir_ << "/daemon";
  } else {
    ::unlink((dir_ + "/daemon").c_str());
  }
}

std::vector<pid_t> FakeCommand::daemon_pids() const { return read_daemon_pids(dir_, name_); }

bool FakeCommand::wait_for_no_daemons(std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (daemon_pids().empty()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    pause_for(std::chrono::milliseconds(10));
  }
}

void FakeCommand::clear() {
  std::string why;
  if (!reset_fake(name_, &why)) ADD_FAILURE() << why;
}

}  // namespace gwtest
