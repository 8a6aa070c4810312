// A progress line on standard error for long runs, shown at most a few times
// a second however fast the work goes: on a terminal one line rewritten in
// place, elsewhere (a log, a pipe) one line each time.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

class ProgressLine {
  public:
    using Clock = std::chrono::steady_clock;
    // Time between two lines.
    static constexpr Clock::duration interval = std::chrono::milliseconds(250);

    // Nothing is shown before `quiet_start` has passed, so a short run stays
    // silent; the first line may come at once with a zero quiet start. The
    // lines go to `out`, timed by `now` (tests give their own).
    ProgressLine(std::string program, Clock::duration quiet_start, std::FILE* out = stderr,
                 Clock::time_point (*now)() = Clock::now);

    // True when a line may be shown now. Cheap enough to ask every frame.
    bool due() const { return now_() >= next_; }
    // Shows "PROGRAM: TEXT".
    void show(const std::string& text);
    // Shows the final state and ends the line; only when a line was shown
    // before, unless `always`.
    void finish(const std::string& text, bool always = false);

  private:
    std::string program_;
    std::FILE* out_;
    Clock::time_point (*now_)();
    Clock::time_point next_;
    bool shown_ = false;
    bool terminal_;
};
