#include "configuration.h"
