// Where the tools write a picture, and how. What a name leads to decides:
//
//   "-"                        standard output (refused when it is a terminal)
//   nothing yet, a regular file  a temporary file in the same directory, renamed
//                              over the name once complete: the name holds the
//                              old file or the whole new one, never a part
//   a symbolic link            followed: the file it leads to is written as
//                              above, and the link stays a link
//   a FIFO, a character device written directly, as a shell's '>' would
//   a directory, a socket, a block device   refused
#pragma once

#include <cstdio>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>

class OutputError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

inline constexpr char standard_output_name[] = "-";

// Checks ahead of work whose outputs must all be writable, changing nothing:
// a probe file that shows a directory takes new files is removed at once.
// A directory found to take new files is not probed again, so that many names
// in one directory cost one probe.
class OutputCheck {
  public:
    // Throws OutputError "cannot write 'NAME': REASON" unless `name` could be
    // written as described above.
    void check(const std::string& name);

  private:
    std::set<std::string> writable_directories_;
};

// Writes `name` as described above through `write`, which gets the open
// stream and throws (any std::exception, its message the reason) when it
// fails. Throws OutputError "cannot write 'NAME': REASON"; a file that was to
// be replaced is then as it was, and no temporary file is left.
void write_output(const std::string& name, const std::function<void(std::FILE*)>& write);

// For the tools' start: a write to a pipe whose reader has gone fails with a
// message instead of killing the tool, and a tool stopped by SIGINT, SIGTERM
// or SIGHUP while writing removes its temporary file before it ends.
void prepare_output_signals();
