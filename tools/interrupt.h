// Ctrl-C and SIGTERM end a long command cleanly: the handler only notes the
// signal, and the command stops reading, writes out what it holds, closes
// its output so that it reads back whole, and exits with 128 plus the
// signal's number (130 for SIGINT, 143 for SIGTERM).
#pragma once

namespace ztool {

// Catch SIGINT and SIGTERM from now on. A blocked read is interrupted (no
// SA_RESTART), so that a capture read from an idle pipe stops too. A second
// signal of the same kind ends the process at once, for a user who does not
// want to wait for the output to be closed.
void catch_stop_signals();

// The signal that asked to stop, or 0.
int stop_signal();

// The exit status for a command stopped by `signal`.
int stopped_status(int signal);

// "SIGINT", "SIGTERM".
const char *signal_name(int signal);

} // namespace ztool
