// The command line shared by the programs, and the parsers of the tools'
// values: what they accept and what they turn away.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "tests/tools/tool_test_support.h"
#include "tools/tool_args.h"

namespace {

struct SizeCase {
    const char* text;
    int width;
    int height;
};

TEST(FrameSizeArgument, AcceptsEvenSidesFromTwoToTheLargest) {
    for (const SizeCase& c : std::vector<SizeCase>{
             {"2x2", 2, 2}, {"1910x1070", 1910, 1070}, {"32766x32766", 32766, 32766}, {"0640x0480", 640, 480}}) {
        const FrameSize size = parse_frame_size(c.text, "--size");
        EXPECT_EQ(size.width, c.width) << c.text;
        EXPECT_EQ(size.height, c.height) << c.text;
    }
}

TEST(FrameSizeArgument, RejectsMalformedOddAndOutOfRangeSizes) {
    const std::vector<const char*> malformed = {"",          "640",      "640x",     "x480",     "640X480",
                                                "640x480x2", "-640x480", "+640x480", " 640x480", "640x480 ",
                                                "64 0x480",  "640,480",  "0x10x480"};
    const std::vector<const char*> odd = {"641x480", "640x481", "3x3"};
    const std::vector<const char*> out_of_range = {
        "0x480", "640x0", "32768x480", "640x32768", "99999999999999999999x480", "1000000000x2"};
    for (const char* text : malformed) {
        try {
            parse_frame_size(text, "--size");
            ADD_FAILURE() << "accepted " << text;
        } catch (const ArgumentError& error) {
            EXPECT_NE(std::string(error.what()).find("WIDTHxHEIGHT"), std::string::npos) << text;
        }
    }
    for (const char* text : odd) {
        try {
            parse_frame_size(text, "--size");
            ADD_FAILURE() << "accepted " << text;
        } catch (const ArgumentError& error) {
            EXPECT_NE(std::string(error.what()).find("even"), std::string::npos) << text;
        }
    }
    for (const char* text : out_of_range) {
        try {
            parse_frame_size(text, "--size");
            ADD_FAILURE() << "accepted " << text;
        } catch (const ArgumentError& error) {
            EXPECT_NE(std::string(error.what()).find("out of range"), std::string::npos) << text;
        }
    }
}

TEST(FrameSizesArgument, KeepsEverySizeInTheOrderGiven) {
    const std::vector<FrameSize> sizes = parse_frame_sizes("320x240,640x480,1910x1070,3830x2150", "--sizes");
    ASSERT_EQ(sizes.size(), 4u);
    const SizeCase expected[] = {{"", 320, 240}, {"", 640, 480}, {"", 1910, 1070}, {"", 3830, 2150}};
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        EXPECT_EQ(sizes[i].width, expected[i].width) << i;
        EXPECT_EQ(sizes[i].height, expected[i].height) << i;
    }
    const std::vector<FrameSize> one = parse_frame_sizes("64x48", "--sizes");
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].width, 64);
}

// Each refusal names the option and says what is wrong, as --size's do for
// one size.
TEST(FrameSizesArgument, RefusesEmptyBadRepeatedAndTooManySizes) {
    std::string many;
    for (std::size_t i = 0; i <= most_frame_sizes; ++i) {
        if (i) many += ',';
        many += std::to_string(2 * i + 2) + "x2";
    }
    const std::vector<std::pair<std::string, const char*>> cases = {
        {"", "empty entry"},
        {",", "empty entry"},
        {"640x480,", "empty entry"},
        {",640x480", "empty entry"},
        {"640x480,,320x240", "empty entry"},
        {"640x480;320x240", "WIDTHxHEIGHT"},
        {"640x480 320x240", "WIDTHxHEIGHT"},
        {"640x480,641x480", "odd side"},
        {"640x480,32768x2", "out of range"},
        {"640x480,320x240,640x480", "640x480' twice"},
        {many, "more than"},
    };
    for (const auto& [text, mentions] : cases) {
        try {
            parse_frame_sizes(text, "--sizes");
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const ArgumentError& error) {
            const std::string message = error.what();
            EXPECT_EQ(message.rfind("--sizes", 0), 0u) << message;
            EXPECT_NE(message.find(mentions), std::string::npos) << "'" << text << "': " << message;
            EXPECT_EQ(message.find('\n'), std::string::npos) << message;
        }
    }
}

TEST(ScreenSizeArgument, GivesTheWindowProgramsFrame) {
    for (const SizeCase& c :
         std::vector<SizeCase>{{"1920x1080", 1910, 1070}, {"1367x768", 1356, 758}, {"12x13", 2, 2}}) {
        const FrameSize size = parse_screen_size(c.text, "--screen");
        EXPECT_EQ(size.width, c.width) << c.text;
        EXPECT_EQ(size.height, c.height) << c.text;
    }
    for (const char* text : {"11x100", "100x11", "40000x100", "1920by1080"})
        EXPECT_THROW(parse_screen_size(text, "--screen"), ArgumentError) << text;
}

TEST(CountArgument, TakesOnlyWholeNumbersInRange) {
    EXPECT_EQ(parse_count("0", "--warmup", 0, 10), 0);
    EXPECT_EQ(parse_count("10", "--warmup", 0, 10), 10);
    for (const char* text : {"", "-1", "11", "+3", "3.0", "3 ", "0x3", "three", "99999999999999999999"})
        EXPECT_THROW(parse_count(text, "--warmup", 0, 10), ArgumentError) << text;
}

TEST(FrameListArgument, HoldsExactlyTheNamedFrames) {
    const FrameList list = FrameList::parse("5,300,2386,10-12", "--frames");
    std::vector<std::uint32_t> named;
    for (std::uint32_t frame = 0; frame <= 3000; ++frame)
        if (list.contains(frame)) named.push_back(frame);
    EXPECT_EQ(named, (std::vector<std::uint32_t>{5, 10, 11, 12, 300, 2386}));
    EXPECT_EQ(list.last_frame(), 2386u);

    const FrameList range = FrameList::parse("0-99", "--frames");
    EXPECT_TRUE(range.contains(0));
    EXPECT_TRUE(range.contains(99));
    EXPECT_FALSE(range.contains(100));
}

TEST(FrameListArgument, MergesOverlappingAndRepeatedFrames) {
    const FrameList list = FrameList::parse("7,0-9,5-20,21,7", "--frames");
    ASSERT_EQ(list.ranges().size(), 1u);
    EXPECT_EQ(list.ranges()[0].first, 0u);
    EXPECT_EQ(list.ranges()[0].last, 21u);
}

TEST(FrameListArgument, RejectsEmptyMalformedBackwardAndTooLargeLists) {
    for (const char* text :
         {"", ",", "5,", ",5", "1,,2", "3-1", "a", "1-2-3", "-5", "5-", "1 ,2", "100000001", "0-100000001"})
        EXPECT_THROW(FrameList::parse(text, "--frames"), ArgumentError) << "'" << text << "'";
}

TEST(FramePatternArgument, FormatsTheFrameNumberOnce) {
    EXPECT_EQ(FramePattern::parse("out/f%05d.png", "--out").name_for(7), "out/f00007.png");
    EXPECT_EQ(FramePattern::parse("f%d.png", "--out").name_for(2386), "f2386.png");
    EXPECT_EQ(FramePattern::parse("100%%/f%d%%.png", "--out").name_for(3), "100%/f3%.png");
    EXPECT_EQ(FramePattern::parse("f%-4d.png", "--out").name_for(12), "f12  .png");
}

TEST(FramePatternArgument, RejectsAnythingButOneIntegerConversion) {
    for (const char* text :
         {"f.png", "f%%d.png", "f%d%d.png", "f%s.png", "f%ld.png", "f%.png", "f%", "f%5.2d.png", "f%100d.png", "%n%d"})
        EXPECT_THROW(FramePattern::parse(text, "--out"), ArgumentError) << text;
}

// --- The shared command line ------------------------------------------------

struct ParsedValues {
    std::optional<std::string> size, out;
    bool timing = false;
};

struct LineCase {
    std::vector<std::string> arguments;
    CommandLine::Outcome outcome;
    ParsedValues values;  // read when the outcome is run
    const char* error;    // or the message's start, when the line is refused
};

// Parses `arguments` with a --size and an --out option and a --timing flag,
// as a program would.
std::variant<std::string, std::pair<CommandLine::Outcome, ParsedValues>> parse_line(
    const std::vector<std::string>& arguments) {
    CommandLine line("ombrastel-test", "A test program.");
    ParsedValues values;
    line.option("--size", "WxH", "frame size", &values.size);
    line.option("--out", "FILE", "output file", &values.out);
    line.flag("--timing", "print the times", &values.timing);
    std::vector<const char*> argv = {"ombrastel-test"};
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    try {
        const CommandLine::Outcome outcome = line.parse(static_cast<int>(argv.size()), argv.data());
        return std::pair{outcome, values};
    } catch (const ArgumentError& error) {
        return std::string(error.what());
    }
}

TEST(CommandLine, ReadsValuesInBothFormsAndRefusesMistakesWithOneNamedLine) {
    using O = CommandLine::Outcome;
    const std::vector<LineCase> cases = {
        {{}, O::run, {}, nullptr},
        {{"--size", "64x48"}, O::run, {"64x48", {}}, nullptr},
        {{"--size=64x48", "--out", "f.png"}, O::run, {"64x48", "f.png"}, nullptr},
        {{"--size=a=b"}, O::run, {"a=b", {}}, nullptr},
        // An empty value stays empty, whether written "--size=" or "--size ''".
        {{"--size=", "--out", "f.png"}, O::run, {"", "f.png"}, nullptr},
        {{"--size", "", "--out", "f.png"}, O::run, {"", "f.png"}, nullptr},
        // A value is the next argument unless that starts with "--"; such a
        // value goes after '='.
        {{"--size", "-1"}, O::run, {"-1", {}}, nullptr},
        {{"--out", "-"}, O::run, {{}, "-"}, nullptr},
        {{"--out", "-h"}, O::run, {{}, "-h"}, nullptr},
        {{"--out=--size"}, O::run, {{}, "--size"}, nullptr},
        {{"--out", "--size", "2x2"}, O::run, {}, "--out needs a value"},
        {{"--out", "--timing"}, O::run, {}, "--out needs a value"},
        {{"--out", "--bogus"}, O::run, {}, "--out needs a value"},
        {{"--size", "2x2", "--out", "--"}, O::run, {}, "--out needs a value"},
        // A flag given again says the same as once.
        {{"--timing"}, O::run, {{}, {}, true}, nullptr},
        {{"--timing", "--timing"}, O::run, {{}, {}, true}, nullptr},
        {{"--timing", "--size", "2x2", "--timing"}, O::run, {"2x2", {}, true}, nullptr},
        {{"--timing=yes"}, O::run, {}, "--timing takes no value"},
        {{"--help"}, O::show_help, {}, nullptr},
        {{"-h"}, O::show_help, {}, nullptr},
        {{"--help", "-h"}, O::show_help, {}, nullptr},
        {{"--version", "--version"}, O::show_version, {}, nullptr},
        {{"--size", "not looked at", "--help"}, O::show_help, {}, nullptr},
        {{"--version"}, O::show_version, {}, nullptr},
        {{"--size"}, O::run, {}, "--size needs a value"},
        {{"--size", "1x1", "--out"}, O::run, {}, "--out needs a value"},
        {{"--size", "2x2", "--size=2x2"}, O::run, {}, "--size is given twice"},
        {{"--help=yes"}, O::run, {}, "--help takes no value"},
        {{"--version=2"}, O::run, {}, "--version takes no value"},
        {{"--bogus"}, O::run, {}, "unknown option --bogus"},
        {{"--help", "--bogus"}, O::run, {}, "unknown option --bogus"},
        {{"-size", "64x48"}, O::run, {}, "unknown option -size"},
        {{"--SIZE", "64x48"}, O::run, {}, "unknown option --SIZE"},
        {{"--siz", "64x48"}, O::run, {}, "unknown option --siz"},
        {{"frames"}, O::run, {}, "unexpected argument 'frames'"},
        {{"--size", "2x2", "stray"}, O::run, {}, "unexpected argument 'stray'"},
        {{"-"}, O::run, {}, "unexpected argument '-'"},
    };
    for (const LineCase& c : cases) {
        std::string shown;
        for (const std::string& argument : c.arguments) shown += " '" + argument + "'";
        const auto result = parse_line(c.arguments);
        if (c.error) {
            ASSERT_TRUE(std::holds_alternative<std::string>(result)) << shown << ": accepted";
            EXPECT_EQ(std::get<std::string>(result).rfind(c.error, 0), 0u)
                << shown << ": " << std::get<std::string>(result);
            continue;
        }
        ASSERT_FALSE(std::holds_alternative<std::string>(result)) << shown << ": " << std::get<std::string>(result);
        const auto& [outcome, values] = std::get<1>(result);
        EXPECT_EQ(outcome, c.outcome) << shown;
        if (outcome != O::run) continue;
        EXPECT_EQ(values.size, c.values.size) << shown;
        EXPECT_EQ(values.out, c.values.out) << shown;
        EXPECT_EQ(values.timing, c.values.timing) << shown;
    }
}

TEST(CommandLine, HelpListsEveryOptionAndTheVersionIsTheProjects) {
    CommandLine line("ombrastel-test", "A test program.", "The footer.");
    std::optional<std::string> size;
    line.option("--size", "WxH", "frame size,\nover two lines", &size);
    const std::string help = line.help_text();
    for (const char* part : {"Usage: ombrastel-test", "A test program.", "--size WxH", "frame size,", "over two lines",
                             "-h,--help", "--version", "The footer."})
        EXPECT_NE(help.find(part), std::string::npos) << part << " in\n" << help;
    EXPECT_LT(help.find("A test program."), help.find("--size"));
    EXPECT_LT(help.find("--size"), help.find("The footer."));
    EXPECT_EQ(line.version_line(), std::string("ombrastel-test ") + OMBRASTEL_PROJECT_VERSION + "\n");
}

// What a message box shows: the same parts in the same order, each paragraph
// and each option's description on one line for the box to wrap, nothing
// indented into columns.
TEST(CommandLine, DialogHelpHoldsTheSameTextInParagraphs) {
    CommandLine line("ombrastel-test", "A test program\nover two lines.\n\nA second paragraph.",
                     "The footer,\nbroken.");
    std::optional<std::string> size;
    bool timing = false;
    line.option("--size", "WxH", "frame size,\nover two lines", &size);
    line.flag("--timing", "report\nthe times", &timing);
    EXPECT_EQ(line.dialog_help_text(),
              "Usage: ombrastel-test [OPTIONS]\n\n"
              "A test program over two lines.\n\nA second paragraph.\n\n"
              "Options:\n\n"
              "--help\nshow this text and exit\n\n"
              "--version\nshow the version and exit\n\n"
              "--size WxH\nframe size, over two lines\n\n"
              "--timing\nreport the times\n\n"
              "The footer, broken.\n");
}

TEST(CommandLine, OneLineTurnsControlCharactersIntoBlanks) {
    EXPECT_EQ(one_line("a\nb\rc\td\x7f"
                       "e"),
              "a b c d e");
    EXPECT_EQ(one_line("plain \xc3\xa9"), "plain \xc3\xa9");
}

}  // namespace
