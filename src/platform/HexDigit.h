#pragma once
// Kept only until the root side includes platform/posix/Text.h itself.
#include "platform/posix/Text.h"

namespace vigilorn {
using posix::hexDigit;
} // namespace vigilorn
