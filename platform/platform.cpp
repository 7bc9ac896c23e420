// Intentionally small: the platform interface has no out-of-line code of its own.
#include "platform/platform.h"
