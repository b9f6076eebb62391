// A status line on standard error while a long command runs, when standard
// error is a terminal: redrawn at most four times a second, and wiped before
// anything else is printed, so that the summary starts on a clean line.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace ztool {

class Progress {
  public:
    Progress();
    ~Progress() { clear(); }
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    // Called for every unit of work; cheap when nothing is due. `what`
    // makes the line, and is called only when the line is redrawn.
    template <class Line> void tick(Line &&what)
    {
        if (on_ && ++calls_ % 64 == 0)
            refresh(what);
    }

    // Redraw the line if it is due: for work that comes in a few large
    // pieces, or none for a while.
    template <class Line> void refresh(Line &&what)
    {
        if (!on_)
            return;
        auto now = clock::now();
        if (now < next_)
            return;
        next_ = now + kInterval;
        draw(what());
    }

    // Wipe the line, if one is shown.
    void clear();

  private:
    using clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kInterval{250};
    void draw(const std::string &line);

    bool on_;
    bool shown_ = false;
    uint64_t calls_ = 0;
    clock::time_point next_;
};

} // namespace ztool
