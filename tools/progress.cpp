#include "tools/progress.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

ProgressLine::ProgressLine(std::string program, Clock::duration quiet_start, std::FILE* out, Clock::time_point (*now)())
    : program_(std::move(program)), out_(out), now_(now), next_(now() + quiet_start) {
#ifdef _WIN32
    terminal_ = _isatty(_fileno(out)) != 0;
#else
    terminal_ = isatty(fileno(out)) != 0;
#endif
}

void ProgressLine::show(const std::string& text) {
    // On a terminal the line is rewritten in place; the blanks wipe the end
    // of a longer line shown before.
    if (terminal_)
        std::fprintf(out_, "\r%s: %s   ", program_.c_str(), text.c_str());
    else
        std::fprintf(out_, "%s: %s\n", program_.c_str(), text.c_str());
    std::fflush(out_);
    shown_ = true;
    next_ = now_() + interval;
}

void ProgressLine::finish(const std::string& text, bool always) {
    if (!shown_ && !always) return;
    show(text);
    if (terminal_) std::fputc('\n', out_);
}
