#include "tools/progress.h"

#include <cstdio>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

ProgressLine::ProgressLine(std::string program, Clock::duration quiet_start)
    : program_(std::move(program)), next_(Clock::now() + quiet_start) {
#ifdef _WIN32
    terminal_ = _isatty(_fileno(stderr)) != 0;
#else
    terminal_ = isatty(STDERR_FILENO) != 0;
#endif
}

void ProgressLine::show(const std::string& text) {
    // On a terminal the line is rewritten in place; the blanks wipe the end
    // of a longer line shown before.
    if (terminal_)
        std::fprintf(stderr, "\r%s: %s   ", program_.c_str(), text.c_str());
    else
        std::fprintf(stderr, "%s: %s\n", program_.c_str(), text.c_str());
    std::fflush(stderr);
    shown_ = true;
    next_ = Clock::now() + interval;
}

void ProgressLine::finish(const std::string& text, bool always) {
    if (!shown_ && !always) return;
    show(text);
    if (terminal_) std::fputc('\n', stderr);
}
