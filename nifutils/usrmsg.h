// Writing the one-line failure messages of the library into gnl_usrmsg.
#pragma once

#include <cstdarg>

#include "zeriza_host.h"

namespace zeriza {

// Replace gnl_usrmsg with a formatted message, cut to the buffer's size.
void usrmsg(const char *format, ...) GNL_PRINTF(1, 2);

// Append to the message already in gnl_usrmsg, cut to the buffer's size.
void usrmsg_append(const char *format, ...) GNL_PRINTF(1, 2);

// The C library's text for an errno value, or "UNKNOWN" when it has none.
const char *errno_text(int err);

} // namespace zeriza
