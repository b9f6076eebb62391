#include "progress.h"

#include <unistd.h>

#include <cstdio>

#include "report.h"

namespace ztool {

Progress::Progress() : on_(isatty(STDERR_FILENO) == 1), next_(clock::now() + kInterval) {}

void Progress::draw(const std::string &line)
{
    // \r to the start of the line, the text, then erase what an earlier,
    // longer line left to the right of it.
    std::fprintf(stderr, "\r%s\033[K", one_line(line).c_str());
    shown_ = true;
}

void Progress::clear()
{
    if (shown_)
        std::fprintf(stderr, "\r\033[K");
    shown_ = false;
}

} // namespace ztool
