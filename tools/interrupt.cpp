#include "interrupt.h"

#include <csignal>

namespace ztool {
namespace {

volatile std::sig_atomic_t caught = 0;

extern "C" void note_signal(int signal)
{
    caught = signal;
}

} // namespace

void catch_stop_signals()
{
    struct sigaction sa {};
    sa.sa_handler = note_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

int stop_signal()
{
    return caught;
}

int stopped_status(int signal)
{
    return 128 + signal;
}

const char *signal_name(int signal)
{
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    default:
        return "a signal";
    }
}

} // namespace ztool
