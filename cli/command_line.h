// The command line of Ombrastel's programs: "--name value" or "--name=value"
// options, each given at most once, flags (a flag given twice is the same as
// once), and --help (also -h) and --version. A program
// declares its options, parses, and then gives each value its meaning with
// its own checks. Every mistake comes back as an ArgumentError holding one
// line that names the option or argument and says what is wrong; the program
// prints it after its own name and exits with bad_arguments_exit.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cli/version.h"

// Exit code of a program that was given arguments it cannot use.
inline constexpr int bad_arguments_exit = 2;

class ArgumentError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A message made fit for one line of standard error: line breaks and other
// control characters in it (from a file name, say) become blanks.
std::string one_line(std::string message);

// Digits only: no sign, no blanks, no "0x". False for anything else.
bool parse_decimal(std::string_view text, std::int64_t* value);

// A decimal count from `least` to `most`; `option` names it in the message.
std::int64_t parse_count(std::string_view text, std::string_view option, std::int64_t least, std::int64_t most);

class CommandLine {
  public:
    // `program` names the program in the help and version text. The
    // description comes after the usage line of the help, the footer last.
    CommandLine(std::string program, std::string description, std::string footer = {});
    ~CommandLine();
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    // An option taking one value, such as option("--size", "WxH", "frame size").
    // After parse(), `*value` holds the text given, or stays empty when the
    // option was not given. Meaning and range are the caller's to check, so
    // that each message says what that option wants.
    void option(const std::string& name, const std::string& value_name, const std::string& help,
                std::optional<std::string>* value);

    // An option taking no value, such as flag("--timing", "print the times").
    // After parse(), `*given` says whether it was given.
    void flag(const std::string& name, const std::string& help, bool* given);

    enum class Outcome {
        run,           // go on with the options read
        show_help,     // --help was given: print help_text() and exit 0
        show_version,  // --version was given: print version_line() and exit 0
    };
    // Reads argv[1..argc-1]. Throws ArgumentError for an unknown option, a
    // stray argument, an option given twice, a missing value (also when the
    // next argument starts with "--": such a value is given after '='), or a
    // value given to a flag. Otherwise --help and --version win over
    // the other options, whose values are then not looked at.
    Outcome parse(int argc, const char* const* argv);

    std::string help_text() const;
    // The same help for a message box, which wraps lines itself: every
    // paragraph on one line, and each option's name and value on a line of
    // their own above what it does.
    std::string dialog_help_text() const;
    std::string version_line() const;  // "ombrastel-snapshot 1.0.0\n"

  private:
    struct Parser;
    std::unique_ptr<Parser> parser_;
};
