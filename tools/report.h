// How the tool speaks: failures that end a command with their exit status,
// messages kept to one line, and standard output written with every write
// checked.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace ztool {

// Bad input or a failed operation: the tool prints the message and exits 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A command line that asks for something impossible: exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Text that may come from the user or from a file, made safe for one line:
// control characters become \n, \t, \r or \xNN; everything else, UTF-8
// included, stays as it is.
std::string one_line(std::string_view text);

// The C library's text for an errno value.
std::string errno_text(int err);

// Write to standard output; a failed write throws Failure with the reason,
// so that output lost to a full disk or a closed pipe is never silent.
void out(std::string_view text);
void outf(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Flush standard output and check that everything written reached it.
void finish_stdout();

} // namespace ztool
