#include "uci_store.h"
