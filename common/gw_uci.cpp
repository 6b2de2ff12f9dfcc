#include "gw_uci.h"

#include <cstring>
#include <exception>

#include "gw_output.h"
#include "uci_store.h"

namespace gw {
namespace {

enum class Lookup { failed, absent, found };

// Loads the path's package afresh and copies out the option it names.
// Throws only std::bad_alloc.
Lookup look_up(const char *path, uci::Option &found) {
  uci::Path parsed;
  if (path == nullptr || !uci::parse_path(path, parsed)) return Lookup::failed;
  uci::Package package;
  if (uci::load_file(parsed.file, package) != uci::LoadStatus::ok) return Lookup::failed;
  uci::Section *section = uci::find_section(package, parsed.section);
  if (section == nullptr) return Lookup::absent;
  uci::Option *option = section->find(parsed.option);
  if (option == nullptr) return Lookup::absent;
  found = std::move(*option);
  return Lookup::found;
}

const char *printable(const char *text) { return text != nullptr ? text : ""; }

// Whether package's section already holds option as the plain value.
bool holds_value(uci::Package &package, const char *section, const char *option,
                 const char *value) {
  uci::SectionRef ref;
  if (section == nullptr || option == nullptr || value == nullptr ||
      !uci::parse_section_ref(section, ref)) {
    return false;
  }
  uci::Section *target = uci::find_section(package, ref);
  uci::Option *existing = target != nullptr ? target->find(option) : nullptr;
  return existing != nullptr && !existing->is_list && existing->values.front() == value;
}

}  // namespace

int gw_uci_get_string(const char *path, char *dest, std::size_t dest_size) {
  if (dest == nullptr) return 0;
  try {
    uci::Option option;
    Lookup result = look_up(path, option);
    if (result == Lookup::failed) {
      gw_printf("ZENTIB_ERROR : Cannot Lookup for %s\n\r", printable(path));
      return 0;
    }
    // A list has no single text; the caller sees the setting as absent.
    if (result == Lookup::absent || option.is_list) return 0;
    const std::string &value = option.values.front();
    if (value.size() >= dest_size) {
      gw_printf("ZENTIB_ERROR : Value too long for %s\n\r", path);
      return 1;
    }
    std::memcpy(dest, value.data(), value.size());
    dest[value.size()] = '\0';
  } catch (const std::exception &) {
    gw_printf("ZENTIB_ERROR : UCI Allocation Failed\n\r");
  }
  return 0;
}

int gw_uci_set_value(const char *package, const char *section, const char *option,
                     const char *value) {
  try {
    std::string file;
    if (package == nullptr || !uci::package_file(package, file)) {
      gw_printf("ZENTIB_ERROR : Cannot Load Configuration\n\r");
      return 1;
    }
    // Compared first under the shared lock alone: a value already stored
    // (mqtt_status at most builds and link changes) opens nothing for
    // writing, so a full or read-only overlay costs nothing then.
    uci::Package stored;
    if (uci::load_file(file, stored) == uci::LoadStatus::ok &&
        holds_value(stored, section, option, value)) {
      return 0;
    }
    const auto set = [&](uci::Package &loaded) {
      uci::SectionRef ref;
      uci::Section *target = nullptr;
      if (section != nullptr && option != nullptr && value != nullptr && uci::valid_name(option) &&
          uci::parse_section_ref(section, ref)) {
        target = uci::find_section(loaded, ref);
      }
      if (target == nullptr) return uci::Change::refused;
      uci::Option *existing = target->find(option);
      if (existing == nullptr) {
        target->options.push_back(uci::Option{option, false, {value}});
      } else if (!existing->is_list && existing->values.front() == value) {
        return uci::Change::none;  // already stored: spare the flash a rewrite
      } else {
        existing->is_list = false;
        existing->values.assign(1, value);
      }
      return uci::Change::made;
    };
    switch (uci::update_file(file, set)) {
      case uci::UpdateStatus::written:
      case uci::UpdateStatus::unchanged:
        return 0;
      case uci::UpdateStatus::load_failed:
        gw_printf("ZENTIB_ERROR : Cannot Load Configuration\n\r");
        return 1;
      case uci::UpdateStatus::refused:
        gw_printf("ZENTIB_ERROR : Cannot Set Value\n\r");
        return 1;
      case uci::UpdateStatus::save_failed:
        gw_printf("ZENTIB_ERROR : Cannot Save value\n\r");
        return 1;
      case uci::UpdateStatus::commit_failed:
        break;
    }
    gw_printf("ZENTIB_ERROR : Cannot Commit in config file\n\r");
    return 1;
  } catch (const std::exception &) {
    gw_printf("ZENTIB_ERROR : Cannot Allocate\n\r");
    return 1;
  }
}

void gw_uci_get_list(const char *path, FilterList *list) {
  if (list == nullptr) return;
  std::memset(list, 0, sizeof *list);
  try {
    uci::Option option;
    Lookup result = look_up(path, option);
    if (result == Lookup::failed) {
      gw_printf("ZENTIB_ERROR : Cannot Lookup for %s\n\r", printable(path));
      return;
    }
    if (result == Lookup::absent) return;
    for (const std::string &item : option.values) {
      if (list->count == filter_entry_count) break;
      if (!option.is_list && item.empty()) break;
      if (item.size() >= filter_entry_size) {
        gw_printf("ZENTIB_ERROR : List item too long in %s\n\r", path);
        continue;
      }
      std::memcpy(list->entries[list->count], item.data(), item.size());
      ++list->count;  // the slot was zeroed, so the NUL is already there
    }
  } catch (const std::exception &) {
    std::memset(list, 0, sizeof *list);
    gw_printf("ZENTIB_ERROR : UCI Allocation Failed\n\r");
  }
}

}  // namespace gw
