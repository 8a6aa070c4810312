#include "cli/command_line.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <utility>

namespace {

// The help reads top down: usage, what the program does, the options, then
// the notes of the footer.
class HelpLayout : public CLI::Formatter {
  public:
    std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override {
        std::string text = make_usage(app, std::move(name)) + "\n";
        if (!app->get_description().empty()) text += app->get_description() + "\n";
        text += make_groups(app, mode);
        if (!app->get_footer().empty()) text += "\n" + app->get_footer() + "\n";
        return text;
    }
};

std::string in_quotes(const std::string& text) { return "'" + text + "'"; }

// Text broken into lines for a terminal, as paragraphs for a box that breaks
// them itself: the lines of a paragraph joined by blanks, one empty line
// between paragraphs.
std::string unwrapped(const std::string& text) {
    std::string joined;
    bool in_paragraph = false, paragraph_ended = false;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end == start) {
            paragraph_ended = in_paragraph;
        } else {
            if (paragraph_ended)
                joined += "\n\n";
            else if (in_paragraph)
                joined += ' ';
            joined.append(text, start, end - start);
            in_paragraph = true;
            paragraph_ended = false;
        }
        start = end + 1;
    }
    return joined;
}

}  // namespace

struct CommandLine::Parser {
    std::string program;
    CLI::App app;
    CLI::Option* help = nullptr;
    CLI::Option* version = nullptr;
    bool help_given = false;
    bool version_given = false;
    struct Valued {
        CLI::Option* option;
        std::optional<std::string>* value;
    };
    std::vector<Valued> valued;
    struct Flag {
        CLI::Option* option;
        bool* given;
    };
    std::vector<Flag> flags;

    Parser(std::string name, std::string description)
        : program(std::move(name)), app(std::move(description), program) {}

    bool takes_value(const std::string& name) const {
        return std::any_of(valued.begin(), valued.end(), [&](const Valued& v) { return v.option->get_name() == name; });
    }

    // The option a CLI11 error message starts with: its name, with or
    // without the dashes, then ':' or ' '.
    const CLI::Option* named_in(const std::string& message) const {
        for (const CLI::Option* option : app.get_options()) {
            const std::string& name = option->get_name();
            for (const std::string& form : {name, name.substr(name.find_first_not_of('-'))})
                if (message.size() > form.size() && message.compare(0, form.size(), form) == 0 &&
                    (message[form.size()] == ':' || message[form.size()] == ' '))
                    return option;
        }
        return nullptr;
    }
};

CommandLine::CommandLine(std::string program, std::string description, std::string footer)
    : parser_(std::make_unique<Parser>(std::move(program), std::move(description))) {
    CLI::App& app = parser_->app;
    app.formatter(std::make_shared<HelpLayout>());
    app.get_formatter()->column_width(24);
    app.footer(std::move(footer));
    // Unknown options and stray arguments are collected, not thrown, so that
    // the message can tell one from the other.
    app.allow_extras(true);
    app.set_help_flag();
    parser_->help = app.add_flag("-h,--help", parser_->help_given, "show this text and exit");
    parser_->version = app.add_flag("--version", parser_->version_given, "show the version and exit");
    parser_->help->disable_flag_override();
    parser_->version->disable_flag_override();
}

CommandLine::~CommandLine() = default;

void CommandLine::option(const std::string& name, const std::string& value_name, const std::string& help,
                         std::optional<std::string>* value) {
    CLI::Option* option = parser_->app.add_option(name, help);
    option->type_name(value_name);
    // Every value is kept, so that an option given twice is reported as such.
    option->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    parser_->valued.push_back({option, value});
}

void CommandLine::flag(const std::string& name, const std::string& help, bool* given) {
    CLI::Option* option = parser_->app.add_flag(name, help);
    option->disable_flag_override();
    parser_->flags.push_back({option, given});
}

CommandLine::Outcome CommandLine::parse(int argc, const char* const* argv) {
    // An option whose value would be another option's name was given no
    // value: "--engine --frames 1" lacks the engine, not an argument less.
    // A value that does start with "--" is given after '=' (--out=--file).
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (!parser_->takes_value(std::string(argument))) continue;
        if (i + 1 < argc && std::string_view(argv[i + 1]).substr(0, 2) == "--")
            throw ArgumentError(std::string(argument) + " needs a value (a value starting with -- goes after '=': " +
                                std::string(argument) + "=VALUE)");
        ++i;
    }
    // CLI11 reads "--name=" as "--name" and then takes the next argument as
    // the value; here the value given is empty, as written.
    std::vector<std::string> arguments;
    for (int i = argc - 1; i >= 1; --i) {
        std::string argument = argv[i];
        if (argument.size() > 3 && argument.back() == '=' && argument.compare(0, 2, "--") == 0 &&
            argument.find('=') == argument.size() - 1 &&
            parser_->takes_value(argument.substr(0, argument.size() - 1))) {
            arguments.emplace_back();
            argument.pop_back();
        }
        arguments.push_back(std::move(argument));
    }
    // CLI11 takes the arguments last first.
    try {
        parser_->app.parse(arguments);
    } catch (const CLI::ArgumentMismatch& error) {
        // An option taking a value fails only when there is none left; a
        // flag fails only when it is given one.
        const CLI::Option* option = parser_->named_in(error.what());
        if (option && option->get_expected_max() == 0) throw ArgumentError(option->get_name() + " takes no value");
        if (option) throw ArgumentError(option->get_name() + " needs a value");
        throw ArgumentError(error.what());
    } catch (const CLI::ParseError& error) {
        throw ArgumentError(error.what());
    }

    const std::vector<std::string> extras = parser_->app.remaining();
    if (!extras.empty()) {
        const std::string& first = extras.front();
        if (first.size() > 1 && first[0] == '-') throw ArgumentError("unknown option " + first + " (see --help)");
        throw ArgumentError("unexpected argument " + in_quotes(first) + " (options start with --)");
    }
    for (const Parser::Valued& v : parser_->valued) {
        const std::vector<std::string>& given = v.option->results();
        if (given.size() > 1) throw ArgumentError(v.option->get_name() + " is given twice");
        if (given.size() == 1)
            *v.value = given.front();
        else
            v.value->reset();
    }
    // A flag said twice says the same as once.
    for (const Parser::Flag& f : parser_->flags) *f.given = f.option->count() > 0;
    if (parser_->help_given) return Outcome::show_help;
    if (parser_->version_given) return Outcome::show_version;
    return Outcome::run;
}

std::string CommandLine::help_text() const { return parser_->app.help(); }

std::string CommandLine::dialog_help_text() const {
    const CLI::App& app = parser_->app;
    std::string text = "Usage: " + parser_->program + " [OPTIONS]\n\n";
    if (!app.get_description().empty()) text += unwrapped(app.get_description()) + "\n\n";
    text += "Options:\n\n";
    for (const CLI::Option* option : app.get_options()) {
        text += option->get_name();
        if (!option->get_type_name().empty()) text += " " + option->get_type_name();
        text += "\n" + unwrapped(option->get_description()) + "\n\n";
    }
    if (!app.get_footer().empty()) text += unwrapped(app.get_footer()) + "\n";
    return text;
}

std::string CommandLine::version_line() const { return parser_->program + " " + ombrastel_version + "\n"; }

std::string one_line(std::string message) {
    for (char& c : message)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return message;
}

bool parse_decimal(std::string_view text, std::int64_t* value) {
    // A value too large for any use saturates, so that it is reported as out
    // of range rather than malformed.
    constexpr std::int64_t saturated = 100'000'000'000'000'000;
    if (text.empty()) return false;
    std::int64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        result = std::min(result * 10 + (c - '0'), saturated);
    }
    *value = result;
    return true;
}

std::int64_t parse_count(std::string_view text, std::string_view option, std::int64_t least, std::int64_t most) {
    std::int64_t value = 0;
    if (!parse_decimal(text, &value) || value < least || value > most)
        throw ArgumentError(std::string(option) + " wants a whole number from " + std::to_string(least) + " to " +
                            std::to_string(most) + ", not '" + std::string(text) + "'");
    return value;
}
