#include "stop_flags.h"
