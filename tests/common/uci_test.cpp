#include "gw_uci.h"
#include "uci_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const std::string data_dir = std::string(GW_SOURCE_DIR) + "/tests/data/uci/";

std::string read_text(const std::string &file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_text(const std::string &file, const std::string &text) {
  std::ofstream(file, std::ios::binary) << text;
}

// What a call prints: gw_printf writes straight to descriptor 1.
template <class Call>
std::string output_of(Call call) {
  std::fflush(stdout);
  char name[] = "/tmp/uci_out_XXXXXX";
  int capture = ::mkstemp(name);
  ::unlink(name);
  int saved = ::dup(STDOUT_FILENO);
  ::dup2(capture, STDOUT_FILENO);
  call();
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  std::string text(4096, '\0');
  ssize_t got = ::pread(capture, text.data(), text.size(), 0);
  ::close(capture);
  text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return text;
}

class UciTest : public testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/uci_test_XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string file(const std::string &name, const std::string &text) {
    std::string path = dir_ + "/" + name;
    write_text(path, text);
    return path;
  }

  std::string get(const std::string &path, std::size_t size = 64) {
    std::string dest(size, '\0');
    gw::gw_uci_get_string(path.c_str(), dest.data(), size);
    return dest.c_str();
  }

  std::string dir_;
};

TEST_F(UciTest, ReadsQuotingCommentsAndSectionsAsPeopleWriteThem) {
  std::string pkg = file("cfg", read_text(data_dir + "hand_edited"));
  EXPECT_EQ(get(pkg + ".@mqtt[0].server"), "broker.example.net");
  EXPECT_EQ(get(pkg + ".@mqtt[0].port"), "1883");
  EXPECT_EQ(get(pkg + ".@mqtt[0].mqtt_topic"), "gateway/data");
  EXPECT_EQ(get(pkg + ".@mqtt[0].password"), "it's \"quoted\"");
  EXPECT_EQ(get(pkg + ".@mqtt[0].escaped"), "a\"b\\c");
  EXPECT_EQ(get(pkg + ".main.enabled"), "1");
  EXPECT_EQ(get(pkg + ".@sensor[0].enabled"), "1");
  EXPECT_EQ(get(pkg + ".@sensor[-1].enabled"), "0");
  EXPECT_EQ(get(pkg + ".@sensor[-2].enabled"), "1");
  EXPECT_EQ(get(pkg + ".@sensor[1].note"), "two\nlines");

  // Absent option, section or index: silent, the cleared buffer stays empty.
  EXPECT_EQ(output_of([&] {
              EXPECT_EQ(get(pkg + ".@mqtt[0].mqtt_topic2"), "");
              EXPECT_EQ(get(pkg + ".@sensor[2].enabled"), "");
              EXPECT_EQ(get(pkg + ".@sensor[-3].enabled"), "");
              EXPECT_EQ(get(pkg + ".spare.enabled"), "");
            }),
            "");
}

TEST(UciSyntax, EscapesContinuationsAndCrlf) {
  gw::uci::Package p;
  ASSERT_TRUE(gw::uci::parse("config a\r\n\toption x one\\ two\r\n\toption y 'l'\\\n'r'\n"
                             "\toption z \"p\\\nq\"\n\toption w a#b\n", p));
  ASSERT_EQ(p.sections.size(), 1u);
  auto &s = p.sections[0];
  EXPECT_EQ(s.find("x")->values[0], "one two");
  EXPECT_EQ(s.find("y")->values[0], "lr");
  EXPECT_EQ(s.find("z")->values[0], "pq");
  EXPECT_EQ(s.find("w")->values[0], "a");

  // Repeats as hand edits leave them: a name continues its section, a
  // repeated option replaces in place, a list line extends a plain option.
  ASSERT_TRUE(gw::uci::parse("config t n\n option a 1\n option b 2\nconfig u\nconfig t n\n option a 3\n"
                             " list b 4\n", p));
  ASSERT_EQ(p.sections.size(), 2u);
  EXPECT_EQ(gw::uci::serialize(p),
            "\nconfig t 'n'\n\toption a '3'\n\tlist b '2'\n\tlist b '4'\n\nconfig u\n");

  for (const char *bad : {"option a b\n", "config a\n\toption k 'open\n", "config a\n\to k v;x\n",
                          "config a\n\toption k v w\n", "config a\n\tvalue k v\n", "config a b.c\n",
                          "config a\n\toption k \"v\\"}) {
    EXPECT_FALSE(gw::uci::parse(bad, p)) << bad;
    EXPECT_TRUE(p.sections.empty());
  }
  // A NUL byte means a damaged file, not a shorter value.
  EXPECT_FALSE(gw::uci::parse(std::string_view("config a\n\toption k v\0x\n", 24), p));
}

TEST_F(UciTest, LookupFailurePrintsTheWholePathAndKeepsTheDestination) {
  std::string pkg = file("cfg", "config mqtt\n\toption server 'x'\n");
  std::string broken = file("broken", "config mqtt\n\toption server 'x\n");
  for (std::string path : {dir_ + "/absent.@mqtt[0].server", pkg + ".@mqtt[0]", pkg + ".@mqtt[x].server",
                           pkg + ".@mqtt[0.server", pkg + ".@mqtt.server", broken + ".@mqtt[0].server",
                           std::string("no_such_package_here.@mqtt[0].server")}) {
    char dest[16] = "previous";
    EXPECT_EQ(output_of([&] { gw::gw_uci_get_string(path.c_str(), dest, sizeof dest); }),
              "ZENTIB_ERROR : Cannot Lookup for " + path + "\n\r");
    EXPECT_STREQ(dest, "previous");

    gw::FilterList list;
    std::memset(&list, 'x', sizeof list);
    EXPECT_EQ(output_of([&] { gw::gw_uci_get_list(path.c_str(), &list); }),
              "ZENTIB_ERROR : Cannot Lookup for " + path + "\n\r");
    EXPECT_EQ(list.count, 0);
    EXPECT_TRUE(std::all_of(&list.entries[0][0], &list.entries[9][34] + 1, [](char c) { return c == 0; }));
  }
}

TEST_F(UciTest, OverLongValueIsRejectedNotCut) {
  std::string pkg = file("cfg", "config mqtt\n\toption host '0123456789abcdef'\n\tlist l 'a'\n");
  EXPECT_EQ(get(pkg + ".@mqtt[0].host", 17), "0123456789abcdef");
  char dest[16] = "kept";
  std::string path = pkg + ".@mqtt[0].host";
  EXPECT_EQ(output_of([&] { gw::gw_uci_get_string(path.c_str(), dest, sizeof dest); }),
            "ZENTIB_ERROR : Value too long for " + path + "\n\r");
  EXPECT_STREQ(dest, "kept");
  // A list has no single text: untouched, silent.
  EXPECT_EQ(output_of([&] { gw::gw_uci_get_string((pkg + ".@mqtt[0].l").c_str(), dest, sizeof dest); }), "");
  EXPECT_STREQ(dest, "kept");
}

TEST_F(UciTest, ListReadKeepsTheFirstTenThatFit) {
  std::string text = "config filter\n";
  for (int i = 1; i <= 12; ++i) text += "\tlist macs 'AABBCCDDEE" + std::to_string(10 + i) + "'\n";
  text += "config filter\n\tlist uuids 'short'\n\tlist uuids '" + std::string(35, 'u') + "'\n\tlist uuids '" +
          std::string(34, 'v') + "'\n\toption one 'AABBCCDDEEFF'\n\toption none ''\n";
  std::string pkg = file("cfg", text);

  gw::FilterList list;
  gw::gw_uci_get_list((pkg + ".@filter[0].macs").c_str(), &list);
  ASSERT_EQ(list.count, 10);
  EXPECT_STREQ(list.entries[0], "AABBCCDDEE11");
  EXPECT_STREQ(list.entries[9], "AABBCCDDEE20");

  std::string uuids = pkg + ".@filter[1].uuids";
  EXPECT_EQ(output_of([&] { gw::gw_uci_get_list(uuids.c_str(), &list); }),
            "ZENTIB_ERROR : List item too long in " + uuids + "\n\r");
  ASSERT_EQ(list.count, 2);
  EXPECT_STREQ(list.entries[0], "short");
  EXPECT_EQ(std::string(list.entries[1]), std::string(34, 'v'));
  EXPECT_EQ(list.entries[2][0], '\0');

  gw::gw_uci_get_list((pkg + ".@filter[1].one").c_str(), &list);
  ASSERT_EQ(list.count, 1);
  EXPECT_STREQ(list.entries[0], "AABBCCDDEEFF");
  gw::gw_uci_get_list((pkg + ".@filter[1].none").c_str(), &list);
  EXPECT_EQ(list.count, 0);
}

TEST_F(UciTest, SetWritesCanonicalTextAndReplacesTheFileAtomically) {
  std::string pkg = file("cfg", read_text(data_dir + "hand_edited"));
  ::chmod(pkg.c_str(), 0640);
  ::symlink(pkg.c_str(), (dir_ + "/link").c_str());
  struct stat before, after;
  ASSERT_EQ(::stat(pkg.c_str(), &before), 0);

  std::string link = dir_ + "/link";
  EXPECT_EQ(output_of([&] { EXPECT_EQ(gw::gw_uci_set_value(link.c_str(), "@mqtt[0]", "mqtt_status", "1"), 0); }),
            "");
  EXPECT_EQ(read_text(pkg), read_text(data_dir + "canonical"));
  ASSERT_EQ(::stat(pkg.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_TRUE(fs::is_symlink(dir_ + "/link"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);  // no temporary left

  // Setting a list option turns it into a plain one in place; a value with
  // every special character comes back as it went in.
  const char *awkward = "it's \"a\" \\ #x\n'\\''";
  ASSERT_EQ(gw::gw_uci_set_value(pkg.c_str(), "@mqtt[-1]", "macs", "AABBCCDDEEFF"), 0);
  ASSERT_EQ(gw::gw_uci_set_value(pkg.c_str(), "main", "enabled", awkward), 0);
  EXPECT_EQ(get(pkg + ".@mqtt[0].macs"), "AABBCCDDEEFF");
  EXPECT_EQ(get(pkg + ".main.enabled"), awkward);
  std::string text = read_text(pkg);
  EXPECT_NE(text.find("\toption macs 'AABBCCDDEEFF'\n\toption mqtt_status '1'\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\toption note 'two\nlines'\n"), std::string::npos) << text;
}

TEST_F(UciTest, SetOfTheStoredValueLeavesTheFileAlone) {
  std::string pkg = file("cfg", "# hand-made\nconfig mqtt\n\toption mqtt_status \"0\"\n");
  struct timespec old_times[2] = {{1000000, 0}, {1000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, pkg.c_str(), old_times, 0), 0);
  struct stat before, after;
  ::stat(pkg.c_str(), &before);
  EXPECT_EQ(gw::gw_uci_set_value(pkg.c_str(), "@mqtt[0]", "mqtt_status", "0"), 0);
  ::stat(pkg.c_str(), &after);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtime, before.st_mtime);
  EXPECT_EQ(read_text(pkg), "# hand-made\nconfig mqtt\n\toption mqtt_status \"0\"\n");

  // Found under the shared lock alone: on a read-only (or full) overlay
  // only a set that would change the file fails.
  ASSERT_EQ(::mount(dir_.c_str(), dir_.c_str(), nullptr, MS_BIND, nullptr), 0);
  ASSERT_EQ(::mount(nullptr, dir_.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0);
  EXPECT_EQ(output_of([&] { EXPECT_EQ(gw::gw_uci_set_value(pkg.c_str(), "@mqtt[0]", "mqtt_status", "0"), 0); }), "");
  EXPECT_EQ(output_of([&] { EXPECT_EQ(gw::gw_uci_set_value(pkg.c_str(), "@mqtt[0]", "mqtt_status", "1"), 1); }),
            "ZENTIB_ERROR : Cannot Load Configuration\n\r");
  ::umount(dir_.c_str());
}

// An administrator's `uci commit` while the gateway stores mqtt_status:
// whichever holds the package file's lock first, neither change is lost.
TEST_F(UciTest, SetAndAConcurrentCommitKeepBothChanges) {
  std::string pkg = file("cfg", "config mqtt\n\toption server '3'\n");
  auto status_set = [&](const char *value) {
    return std::thread([&pkg, value] {
      EXPECT_EQ(gw::gw_uci_set_value(pkg.c_str(), "@mqtt[0]", "mqtt_status", value), 0);
    });
  };
  // The commit holds the lock and replaces the file: the set waits, then
  // builds on the new file.
  int held = ::open(pkg.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  std::thread setter = status_set("1");
  ::usleep(200000);
  EXPECT_EQ(read_text(pkg).find("mqtt_status"), std::string::npos);
  write_text(dir_ + "/.cfg.uci", "config mqtt\n\toption server '3'\n\toption mqtt_topic 'new'\n");
  ASSERT_EQ(::rename((dir_ + "/.cfg.uci").c_str(), pkg.c_str()), 0);
  ::close(held);
  setter.join();
  EXPECT_EQ(read_text(pkg), "\nconfig mqtt\n\toption server '3'\n\toption mqtt_topic 'new'\n"
                            "\toption mqtt_status '1'\n");
  // A commit that opened the file first and waits for the lock reads the
  // package from the file it opened: it finds the set there too.
  int waiting = ::open(pkg.c_str(), O_RDONLY | O_CLOEXEC);
  status_set("0").join();
  std::string seen(256, '\0');
  seen.resize(static_cast<std::size_t>(std::max<ssize_t>(0, ::pread(waiting, seen.data(), seen.size(), 0))));
  ::close(waiting);
  EXPECT_EQ(seen, read_text(pkg));
  EXPECT_NE(seen.find("mqtt_status '0'"), std::string::npos) << seen;
}

TEST_F(UciTest, SetFailuresPrintOneLineAndChangeNothing) {
  std::string original = "config mqtt 'broker'\n\toption server x\n";
  std::string pkg = file("cfg", original);
  auto set = [](const std::string &p, const char *section, const char *option) {
    return output_of([&] { EXPECT_EQ(gw::gw_uci_set_value(p.c_str(), section, option, "v"), 1); });
  };
  EXPECT_EQ(set(dir_ + "/absent", "@mqtt[0]", "server"), "ZENTIB_ERROR : Cannot Load Configuration\n\r");
  EXPECT_EQ(set(file("bad", "option a b\n"), "@mqtt[0]", "server"),
            "ZENTIB_ERROR : Cannot Load Configuration\n\r");
  EXPECT_EQ(set(pkg, "@mqtt[1]", "server"), "ZENTIB_ERROR : Cannot Set Value\n\r");
  EXPECT_EQ(set(pkg, "other", "server"), "ZENTIB_ERROR : Cannot Set Value\n\r");
  EXPECT_EQ(set(pkg, "@mqtt[0", "server"), "ZENTIB_ERROR : Cannot Set Value\n\r");
  EXPECT_EQ(set(pkg, "broker", "bad.key"), "ZENTIB_ERROR : Cannot Set Value\n\r");
  EXPECT_EQ(read_text(pkg), original);
}

TEST(UciStore, CanonicalTextReadsBackIdentically) {
  gw::uci::Package p;
  p.sections.push_back(
      {"wifi-device", "radio0", {{"k", false, {"a 'b' \"c\" \\d #e\tf\n"}}, {"l", true, {"", "x"}}}});
  p.sections.push_back({"anon", "", {{"empty", false, {""}}}});
  std::string text = gw::uci::serialize(p);
  gw::uci::Package back;
  ASSERT_TRUE(gw::uci::parse(text, back));
  EXPECT_EQ(gw::uci::serialize(back), text);
  ASSERT_EQ(back.sections.size(), 2u);
  EXPECT_EQ(back.sections[0].options[0].values[0], p.sections[0].options[0].values[0]);
  EXPECT_EQ(back.sections[0].options[1].values, p.sections[0].options[1].values);
  EXPECT_TRUE(back.sections[1].name.empty());
}

// A plain package name means /etc/config; only the test sandbox's
// throw-away /etc may be written.
TEST(UciEtcConfig, PlainPackageNameIsTheFileUnderEtcConfig) {
  struct statfs etc;
  constexpr long overlay_magic = 0x794c7630;
  if (::statfs("/etc", &etc) != 0 || static_cast<long>(etc.f_type) != overlay_magic) {
    GTEST_SKIP() << "/etc is not the sandbox's overlay";
  }
  fs::create_directories("/etc/config");
  write_text("/etc/config/uci_test_pkg", "config mqtt\n\toption server 'a'\n");
  EXPECT_EQ(gw::gw_uci_set_value("uci_test_pkg", "@mqtt[0]", "server", "b"), 0);
  char dest[8] = "";
  gw::gw_uci_get_string("uci_test_pkg.@mqtt[0].server", dest, sizeof dest);
  EXPECT_STREQ(dest, "b");
  fs::remove("/etc/config/uci_test_pkg");
}

}  // namespace
