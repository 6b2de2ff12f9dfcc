#include "identity.h"
