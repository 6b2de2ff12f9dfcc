// A UCI file as a person may type it. Any text the reader accepts, written
// back in the canonical form, must read back to the same sections, options
// and list items in the same order, and writing that again must give the
// same text. A text it refuses must leave the package empty.
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_target.h"
#include "uci_store.h"

namespace {

bool same(const gw::uci::Package &a, const gw::uci::Package &b) {
  if (a.sections.size() != b.sections.size()) return false;
  for (std::size_t i = 0; i < a.sections.size(); ++i) {
    const gw::uci::Section &x = a.sections[i];
    const gw::uci::Section &y = b.sections[i];
    if (x.type != y.type || x.name != y.name || x.options.size() != y.options.size()) return false;
    for (std::size_t j = 0; j < x.options.size(); ++j) {
      const gw::uci::Option &o = x.options[j];
      const gw::uci::Option &p = y.options[j];
      if (o.key != p.key || o.is_list != p.is_list || o.values != p.values) return false;
    }
  }
  return true;
}

// What every accepted file must hold: names of the allowed alphabets, one
// value per plain option and none of them empty (an empty one is no option).
void check_shape(const gw::uci::Package &package) {
  for (const gw::uci::Section &section : package.sections) {
    if (!gw::uci::valid_type(section.type)) std::abort();
    if (!section.name.empty() && !gw::uci::valid_name(section.name)) std::abort();
    for (const gw::uci::Option &option : section.options) {
      if (!gw::uci::valid_name(option.key) || option.values.empty()) std::abort();
      if (!option.is_list && (option.values.size() != 1 || option.values[0].empty())) std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *input, std::size_t size) {
  auto *bytes = static_cast<char *>(std::malloc(size == 0 ? 1 : size));
  if (bytes == nullptr) return 0;
  std::memcpy(bytes, input, size);
  const std::string_view text(bytes, size);

  gw::uci::Package first;
  first.sections.push_back(gw::uci::Section{"stale", "", {}});
  if (!gw::uci::parse(text, first)) {
    if (!first.sections.empty()) std::abort();
    std::free(bytes);
    return 0;
  }
  check_shape(first);
  const std::string canonical = gw::uci::serialize(first);
  gw::uci::Package second;
  if (!gw::uci::parse(canonical, second) || !same(first, second)) std::abort();
  if (gw::uci::serialize(second) != canonical) std::abort();
  std::free(bytes);
  return 0;
}
