#include "gw_uci.h"

namespace gw {
void gw_uci_get_string(const char *, char *, std::size_t) {}
int gw_uci_set_value(const char *, const char *, const char *, const char *) { return 1; }
void gw_uci_get_list(const char *, FilterList *list) { *list = FilterList{}; }
}  // namespace gw
