// The gateway's own UCI store: reads a package file in OpenWrt's UCI syntax
// into memory, resolves dotted paths against it, and writes it back in the
// canonical form OpenWrt's own tool writes, replacing the file atomically.
//
// Reading accepts every form the device's own tool reads, whether written
// by that tool or typed by hand:
//   config <type> [name]          (no name or '': an anonymous section)
//   option <key> <value>          (no value or '': the option is unset)
//   list <key> <item>             (repeated lines build one list, in order)
//   package <name>                (accepted and ignored)
// The keywords may be shortened to their first letter (c, o, l, p), and a
// ';' outside quotes ends a statement as a line end does, so several may
// share a line. Each word is bare, 'single quoted' (no escapes at all) or
// "double quoted", and adjacent pieces join into one word, which is how the
// '\'' idiom puts a quote inside a single-quoted value. In bare words and
// double quotes a backslash takes the next character literally, and a
// backslash before a line end joins the next line. Quoted text may span
// lines. A '#' outside quotes starts a comment to the end of the line, also
// right after a value ("1#old" is "1"). A carriage return outside quotes
// counts as a blank, so a file saved with CRLF endings still reads as its
// author meant.
//
// Names: section names and option keys are letters, digits and '_'; section
// types also allow '-'. A repeated "option" replaces the earlier value in
// place; a "list" line after an "option" of the same key turns it into a
// list that starts with that value; an "option" after a "list" replaces the
// list. A second "config" with a name already used continues that section.
// Anything else (unknown keyword, missing or extra words, unterminated
// quote, option before the first config) makes the whole file unreadable,
// never half-read.
//
// Writing drops comments and the package line and keeps every section,
// option and list item in order (a plain option with an empty value is no
// option, and is not written). Changes that OpenWrt's tool saved without
// committing (its delta files under /tmp/.uci) are neither applied nor
// touched.
//
// Threading: no shared state; every object belongs to its caller. Functions
// may throw std::bad_alloc; the gw_uci_* routines catch it.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace gw::uci {

// A configuration file larger than this is refused rather than read into
// the device's small memory.
constexpr std::size_t max_file_size = 1024 * 1024;

struct Option {
  std::string key;
  bool is_list = false;
  std::vector<std::string> values;  // exactly one for a plain option
};

struct Section {
  std::string type;
  std::string name;  // empty: anonymous
  std::vector<Option> options;

  Option *find(std::string_view key);
};

struct Package {
  std::vector<Section> sections;
};

// "@type[index]" (index may be negative: -1 is the last of that type) or a
// section name.
struct SectionRef {
  bool by_type = false;
  std::string name;  // the type when by_type
  long index = 0;
};

// A dotted path split into the package's file and the section and option.
struct Path {
  std::string file;
  SectionRef section;
  std::string option;
};

enum class LoadStatus { ok, missing, unreadable, malformed };
enum class WriteStatus { ok, save_failed, commit_failed };

bool valid_name(std::string_view text);
bool valid_type(std::string_view text);

// Parses UCI text; false (and out left empty) on any syntax error.
bool parse(std::string_view text, Package &out);

// The canonical text: every section preceded by a blank line,
// "config <type> '<name>'" (no name for an anonymous section), then
// "\toption <key> '<value>'" and "\tlist <key> '<item>'" lines.
std::string serialize(const Package &package);

// The file of a package: an absolute path as given, a plain name under
// /etc/config. False for an empty or ill-formed name.
bool package_file(std::string_view package, std::string &file);

bool parse_section_ref(std::string_view text, SectionRef &out);

// Splits "package.section.option" from the right, so an absolute package
// path may itself contain dots. False when malformed.
bool parse_path(std::string_view text, Path &out);

// The section a reference names, or nullptr.
Section *find_section(Package &package, const SectionRef &ref);

// Reads and parses file, holding a shared flock on it while it reads (as
// OpenWrt's libuci does), so a commit that rewrites it is never read half.
LoadStatus load_file(const std::string &file, Package &out);

// What a change of a package made of it.
enum class Change { refused, none, made };
enum class UpdateStatus { written, unchanged, load_failed, refused, save_failed, commit_failed };

// Changes file under the lock OpenWrt's uci takes for a commit: an
// exclusive flock on the package file, held from the read to the rename,
// so that an administrator's `uci commit` either comes after this one and
// builds on it, or before and is read by it. A file that another commit
// replaced while this one waited for the lock is locked and read anew.
// change edits the package read; when it made a change, the package is
// written as write_file does. The replaced file, which a uci commit waiting
// for the lock reads the package from, is brought up to date as well.
UpdateStatus update_file(const std::string &file, const std::function<Change(Package &)> &change);

// Replaces file with text: a temporary file in the same directory is
// written and flushed to storage (save), then renamed over the target and
// the directory flushed (commit). A reader sees the old file or the new
// one, never a mixture. A symbolic link is followed, so the file it points
// to is replaced and the link stays. The new file keeps the old one's mode.
WriteStatus write_file(const std::string &file, std::string_view text);

}  // namespace gw::uci
