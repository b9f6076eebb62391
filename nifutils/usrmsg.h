// Writing the one-line failure messages of the library into gnl_usrmsg.
#pragma once

#include <cstdarg>

#include "zeriza_host.h"

namespace zeriza {

// Replace gnl_usrmsg with a formatted message, cut to the buffer's size.
void usrmsg(const char *format, ...) GNL_PRINTF(1, 2);

// Append to the message already in gnl_usrmsg, cut to the buffer's size.
void usrmsg_append(const char *format, ...) GNL_PRINTF(1, 2);

// Replace gnl_usrmsg with a formatted message followed by "errno=N [text]"
// for the call that has just failed, text being the C library's or
// "UNKNOWN". The format ends with whatever separates the two. errno is read
// before anything else runs, so the arguments must not be calls that set it.
void usrmsg_errno(const char *format, ...) GNL_PRINTF(1, 2);

// The text a message complains about, quoted the way every message quotes
// it: its first 20 characters and "..." between `open` and `close`, so that
// a long rule never crowds out the rest of the message. Pass `text` to a
// "%s"; it lasts until the end of the statement that called quoted().
struct Quoted {
    char text[sizeof "{...}" + 20];
};
Quoted quoted(const char *at, char open = '{', char close = '}');

} // namespace zeriza
