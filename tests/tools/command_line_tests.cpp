// The tools as a user runs them: bad arguments, the frames they write, the
// frame search, their version and their progress lines; and the frame
// search's progress on a clock of the test's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/startup.h"
#include "engine/engine.h"
#include "pipeline/frame.h"
#include "raster/span_kernels.h"
#include "scene/processor.h"
#include "tests/tools/tool_test_support.h"
#include "tools/frame_search.h"
#include "tools/png_io.h"
#include "tools/progress.h"

namespace {

using tool_test::run_tool;
using tool_test::ScratchDirectory;
using tool_test::ToolRun;

const std::string snapshot = SNAPSHOT_TOOL;
const std::string bench = BENCH_TOOL;

// The instruction sets of this build, and of the other architecture.
const std::string baseline = instruction_set_name(built_instruction_sets().front());
const std::string widest = instruction_set_name(built_instruction_sets().back());
#if OMBRASTEL_ARM64
const std::string foreign = "sse3";
const std::string isa_choices = "--isa wants auto or neon, not 'sse3'";
#else
const std::string foreign = "neon";
const std::string isa_choices = "--isa wants auto, sse3, avx2 or avx512, not 'neon'";
#endif

struct BadCall {
    std::vector<std::string> arguments;
    std::string mentions;  // words the one-line message must hold
};

// Bad arguments: exit 2, one line on standard error naming the tool and the
// problem, nothing on standard output, and not a file more in the directory.
void expect_refused(const std::string& tool, const std::string& name, const BadCall& call,
                    const ScratchDirectory& directory) {
    std::string shown;
    for (const std::string& argument : call.arguments) shown += " '" + argument + "'";
    const auto before = directory.entries();
    const ToolRun run = run_tool(tool, call.arguments, directory);
    EXPECT_EQ(run.exit_code, 2) << name << shown;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << name << shown << ": " << run.err;
    EXPECT_EQ(run.err.rfind(name + ": ", 0), 0u) << name << shown << ": " << run.err;
    EXPECT_NE(run.err.find(call.mentions), std::string::npos) << name << shown << ": " << run.err;
    EXPECT_EQ(run.out, "") << name << shown;
    EXPECT_EQ(directory.entries(), before) << name << shown;
}

// A 64 x 48 frame 5, the same cut short, and a text file, for the --find
// cases; and one directory for frame 0 of an --out pattern but none for frame 1.
void prepare_find_inputs(const ScratchDirectory& directory) {
    const ToolRun made = run_tool(snapshot, {"--size", "64x48", "--frames", "5", "--out", "frame%d.png"}, directory);
    ASSERT_EQ(made.exit_code, 0) << made.err;
    std::filesystem::copy_file(directory.file("frame5.png"), directory.file("cut.png"));
    std::filesystem::resize_file(directory.file("cut.png"), std::filesystem::file_size(directory.file("cut.png")) - 30);
    std::ofstream(directory.file("text.png")) << "not a picture\n";
    std::filesystem::create_directory(directory.file("out0"));
}

// Why the system refuses to create a file in /proc.
std::string reason_proc_refuses() {
    const int descriptor = open("/proc/ombrastel-test-file", O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (descriptor >= 0) {
        close(descriptor);
        unlink("/proc/ombrastel-test-file");
        return "(/proc took a new file)";
    }
    return std::strerror(errno);
}

TEST(SnapshotArguments, BadOnesAreRefusedWithOneLineAndNoFile) {
    ScratchDirectory directory;
    prepare_find_inputs(directory);
    const std::vector<BadCall> calls = {
        {{}, "nothing to do"},
        {{"--bogus"}, "--bogus"},
        {{"frames"}, "frames"},
        {{"-size", "64x48"}, "-size"},
        {{"--texture-out"}, "needs a value"},
        {{"--size", "64by48", "--texture-out", "t.png"}, "WIDTHxHEIGHT"},
        {{"--size", "64x", "--texture-out", "t.png"}, "WIDTHxHEIGHT"},
        {{"--size", "65x48", "--texture-out", "t.png"}, "even"},
        {{"--size", "64x47", "--texture-out", "t.png"}, "even"},
        {{"--size", "0x48", "--texture-out", "t.png"}, "out of range"},
        {{"--size", "32768x48", "--texture-out", "t.png"}, "out of range"},
        {{"--size", "99999999999999999999x48", "--texture-out", "t.png"}, "out of range"},
        {{"--screen", "11x400", "--texture-out", "t.png"}, "--screen"},
        {{"--size", "64x48", "--screen", "74x58", "--texture-out", "t.png"}, "not both"},
        {{"--size", "64x48", "--size", "64x48", "--texture-out", "t.png"}, "twice"},
        {{"--frames", "", "--out", "f%d.png"}, "empty"},
        {{"--frames=", "--out", "f%d.png"}, "empty"},
        {{"--frames", "9-3", "--out", "f%d.png"}, "backwards"},
        {{"--frames", "1,,2", "--out", "f%d.png"}, "--frames"},
        {{"--frames", "x", "--out", "f%d.png"}, "--frames"},
        {{"--frames", "3"}, "--out"},
        {{"--out", "f%d.png"}, "--frames"},
        {{"--frames", "3", "--out", "f.png"}, "%d"},
        {{"--frames", "3", "--out", "f%d-%d.png"}, "more than one"},
        {{"--frames", "3", "--out", "f%s.png"}, "%d"},
        {{"--frames", "3", "--out", "missing/f%d.png"}, "no such directory"},
        {{"--frames", "3", "--out", "/proc/f%d.png"}, "cannot write"},
        {{"--frames", "3", "--out", "/proc/f%d.png"}, reason_proc_refuses()},
        // Every name is checked before the first frame: out0/ exists, out1/ does not.
        {{"--size", "64x48", "--frames", "0,1", "--out", "out%d/f.png"}, "no such directory 'out1'"},
        {{"--size", "64x48", "--frames", "0-1", "--out", "-"}, "names 2 frames"},
        {{"--size", "64x48", "--texture-out", "-", "--frames", "1", "--out", "-"}, "both write to standard output"},
        {{"--size", "64x48", "--texture-out", "-", "--find", "frame5.png"}, "both write to standard output"},
        {{"--texture-out", "missing/t.png"}, "no such directory"},
        {{"--texture-out", "."}, "directory"},
        {{"--workers", "65", "--texture-out", "t.png"}, "--workers"},
        {{"--workers", "two", "--texture-out", "t.png"}, "--workers"},
        {{"--engine", "reference", "--workers", "3", "--texture-out", "t.png"},
         "--workers 3: the reference engine takes 1 or 2 workers"},
        {{"--engine", "slow", "--texture-out", "t.png"}, "--engine wants fast or reference"},
        {{"--isa", foreign, "--texture-out", "t.png"}, isa_choices},
        {{"--engine", "reference", "--isa", baseline, "--texture-out", "t.png"},
         "the reference engine has no choice of instruction set"},
        {{"--estimates", "exact", "--texture-out", "t.png"}, "--estimates wants x86 or ieee"},
        {{"--size", "64x48", "--frames", "1", "--out", "f%d.png", "--digest"}, "give --out or --digest"},
        {{"--size", "64x48", "--digest"}, "--digest needs --frames"},
        {{"--size", "64x48", "--frames", "1", "--digest", "--texture-out", "-"}, "both write to standard output"},
        {{"--engine", "reference", "--isa", widest, "--texture-out", "t.png"},
         "the reference engine has no choice of instruction set"},
        {{"--engine", "--texture-out", "t.png"}, "--engine needs a value"},
        {{"--max", "5", "--texture-out", "t.png"}, "--find"},
        {{"--size", "64x48", "--find", "missing.png"}, "missing.png"},
        {{"--size", "64x48", "--find", "text.png"}, "not a PNG"},
        {{"--size", "64x48", "--find", "cut.png"}, "truncated"},
        {{"--size", "64x48", "--find", "."}, "it is a directory"},
        {{"--size", "64x50", "--find", "frame5.png"}, "64x48"},
        {{"--find", "frame5.png"}, "1910x1070"},
        {{"--size", "64x48", "--find", "frame5.png", "--max", "-1"}, "--max"},
        {{"--size", "64x48", "--find", "frame5.png", "--frames", "1", "--out", "f%d.png"}, "not both"},
        {{"--help=yes"}, "no value"},
        {{"--version=1"}, "no value"},
        {{"--texture-out", "t.png", "stray"}, "unexpected argument 'stray'"},
    };
    for (const BadCall& call : calls) expect_refused(snapshot, "ombrastel-snapshot", call, directory);
}

TEST(BenchArguments, BadOnesAreRefusedWithOneLine) {
    ScratchDirectory directory;
    const std::vector<BadCall> calls = {
        {{"--bogus"}, "--bogus"},
        {{"--frames"}, "needs a value"},
        {{"--frames", "0"}, "--frames"},
        {{"--frames", "ten"}, "--frames"},
        {{"--warmup", "-1"}, "--warmup"},
        {{"--workers", "0"}, "--workers"},
        {{"--workers", "65"}, "--workers"},
        {{"--engine", "reference", "--workers", "3"}, "--workers 3: the reference engine takes 1 or 2 workers"},
        {{"--engine", "fastest"}, "--engine"},
        {{"--isa", "avx1024"}, "--isa"},
        {{"--estimates", "IEEE"}, "--estimates"},
        {{"--size", "63x48"}, "even"},
        {{"--size", "2x32768"}, "out of range"},
        {{"--size", "64*48"}, "WIDTHxHEIGHT"},
        {{"--size", "64x48", "--size", "64x48"}, "twice"},
        {{"--help=1"}, "no value"},
        {{"--engine", "--frames", "1"}, "--engine needs a value"},
        {{"--size", "--warmup", "0"}, "--size needs a value"},
        {{"--sizes", "64x48,"}, "--sizes '64x48,' has an empty entry"},
        {{"--sizes", "64x48,63x48"}, "--sizes '63x48' has an odd side"},
        {{"--sizes", "64x48,64x48"}, "--sizes names '64x48' twice"},
        {{"--sizes", "64x48,2x32768"}, "out of range"},
        {{"--sizes", "64x48", "--size", "64x48"}, "--size and --sizes cannot both be given"},
        {{"--sizes"}, "--sizes needs a value"},
    };
    for (const BadCall& call : calls) expect_refused(bench, "ombrastel-bench", call, directory);
}

// An instruction set the processor lacks is refused before anything is
// rendered, one of another architecture as no choice at all; one it has is
// taken.
TEST(ToolArguments, AnInstructionSetIsTakenOnlyWhereItGivesTheFourLaneBits) {
    ScratchDirectory directory;
    for (InstructionSet set :
         {InstructionSet::sse3, InstructionSet::avx2, InstructionSet::avx512, InstructionSet::neon}) {
        const std::string name = instruction_set_name(set);
        const auto built = built_instruction_sets();
        if (std::find(built.begin(), built.end(), set) == built.end()) {
            expect_refused(bench, "ombrastel-bench", {{"--isa", name}, "--isa wants auto"}, directory);
        } else if (instruction_set_usable(set)) {
            const ToolRun run =
                run_tool(bench, {"--size", "64x48", "--frames", "2", "--warmup", "0", "--isa", name}, directory);
            EXPECT_EQ(run.exit_code, 0) << run.err;
            EXPECT_NE(run.out.find("\"isa\":\"" + name + "\""), std::string::npos) << run.out;
        } else {
            expect_refused(bench, "ombrastel-bench", {{"--isa", name}, "--isa " + name + ": "}, directory);
            expect_refused(snapshot, "ombrastel-snapshot",
                           {{"--isa", name, "--texture-out", "t.png"}, "--isa " + name + ": "}, directory);
        }
    }
    // auto is the default, so it goes with either engine.
    const ToolRun reference =
        run_tool(bench, {"--size", "64x48", "--frames", "2", "--warmup", "0", "--isa", "auto", "--engine", "reference"},
                 directory);
    EXPECT_EQ(reference.exit_code, 0) << reference.err;
    EXPECT_NE(reference.out.find("\"engine\":\"reference\""), std::string::npos) << reference.out;
}

TEST(ToolHelp, DocumentsEveryOptionAndTheFrameNumbering) {
    ScratchDirectory directory;
    const ToolRun shown = run_tool(snapshot, {"--help"}, directory);
    EXPECT_EQ(shown.exit_code, 0);
    for (const char* option : {"--size", "--screen", "--frames", "--out", "--digest", "--texture-out", "--find",
                               "--max", "--engine", "--workers", "--isa", "--estimates", "--help", "--version"})
        EXPECT_NE(shown.out.find(option), std::string::npos) << option;
    EXPECT_NE(shown.out.find("Frame 0 is the first picture the window program shows"), std::string::npos);
    // In the user's terms: no name from inside the program.
    for (const char* internal : {"render_frame", "frame_counter", "_"})
        EXPECT_EQ(shown.out.find(internal), std::string::npos) << internal << " in\n" << shown.out;
    const ToolRun short_form = run_tool(snapshot, {"-h"}, directory);
    EXPECT_EQ(short_form.exit_code, 0);
    EXPECT_EQ(short_form.out, shown.out);

    const ToolRun bench_help = run_tool(bench, {"--help"}, directory);
    EXPECT_EQ(bench_help.exit_code, 0);
    for (const char* option :
         {"--size", "--frames", "--warmup", "--engine", "--workers", "--isa", "--estimates", "--help", "--version"})
        EXPECT_NE(bench_help.out.find(option), std::string::npos) << option;
    EXPECT_TRUE(directory.entries().empty());
}

TEST(ToolVersion, IsTheProjectsVersion) {
    ScratchDirectory directory;
    for (const auto& [tool, name] : {std::pair{snapshot, "ombrastel-snapshot"}, std::pair{bench, "ombrastel-bench"}}) {
        const ToolRun run = run_tool(tool, {"--version"}, directory);
        EXPECT_EQ(run.exit_code, 0) << name;
        EXPECT_EQ(run.out, std::string(name) + " " + OMBRASTEL_PROJECT_VERSION + "\n");
        EXPECT_EQ(run.err, "") << name;
    }
    EXPECT_TRUE(directory.entries().empty());
}

TEST(SnapshotFrames, AreTheFramesRenderedInOrderFromTheStart) {
    ScratchDirectory directory;
    const ToolRun run = run_tool(
        snapshot,
        {"--size", "96x72", "--frames", "0,3,511-513,600", "--out", "f%04d.png", "--texture-out", "texture.png"},
        directory);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(directory.entries(), (std::set<std::string>{"f0000.png", "f0003.png", "f0511.png", "f0512.png",
                                                          "f0513.png", "f0600.png", "texture.png"}));

    int compared = 0;
    tool_test::render_frames(96, 72, 600, [&](std::uint32_t frame) {
        char name[16];
        std::snprintf(name, sizeof name, "f%04u.png", static_cast<unsigned>(frame));
        if (!directory.entries().count(name)) return;
        const RgbImage image = read_png_rgb(directory.file(name));
        ASSERT_EQ(image.width, 96);
        ASSERT_EQ(image.height, 72);
        EXPECT_EQ(image.pixels, tool_test::frame_colours()) << name;
        ++compared;
    });
    EXPECT_EQ(compared, 6);

    const RgbImage texels = read_png_rgb(directory.file("texture.png"));
    ASSERT_EQ(texels.width, texture_size);
    ASSERT_EQ(texels.height, texture_size);
    for (int i = 0; i < texel_count; ++i) ASSERT_EQ(texels.pixels[i], texture[i] & 0x00FFFFFFu) << "texel " << i;
}

TEST(SnapshotFrames, AreTheSameWithEveryEngineAndWorkerCount) {
    ScratchDirectory directory;
    std::vector<std::vector<std::string>> choices = {{"--engine", "reference", "--workers", "1"},
                                                     {"--engine", "reference"},
                                                     {"--workers", "1"},
                                                     {"--workers", "3", "--isa", baseline},
                                                     {"--engine", "fast", "--workers", "7"}};
    if (instruction_set_usable(InstructionSet::avx2)) choices.push_back({"--isa", "avx2", "--workers", "2"});
    if (instruction_set_usable(InstructionSet::avx512)) choices.push_back({"--isa", "avx512", "--workers", "3"});
    // The same with the ieee arithmetic: pictures of their own, the same
    // with every engine too.
    const std::size_t first_ieee = choices.size();
    for (std::size_t c = 0; c < first_ieee; ++c) {
        choices.push_back(choices[c]);
        choices.back().insert(choices.back().end(), {"--estimates", "ieee"});
    }
    // The files of choice c: c<c>_<frame>.png.
    auto name = [](std::size_t c, const std::string& frame) {
        std::string file(1, 'c');
        file += std::to_string(c);
        file += '_';
        file += frame;
        return file;
    };
    for (std::size_t c = 0; c < choices.size(); ++c) {
        std::vector<std::string> arguments = {"--screen", "138x106", "--frames", "0-2,250", "--out", name(c, "%d.png")};
        arguments.insert(arguments.end(), choices[c].begin(), choices[c].end());
        const ToolRun run = run_tool(snapshot, arguments, directory);
        ASSERT_EQ(run.exit_code, 0) << run.err;
    }
    for (const char* frame : {"0", "1", "2", "250"}) {
        for (const std::size_t first_choice : {std::size_t{0}, first_ieee}) {
            const RgbImage first = read_png_rgb(directory.file(name(first_choice, std::string(frame) + ".png")));
            EXPECT_EQ(first.width, 128);
            EXPECT_EQ(first.height, 96);
            const std::size_t end = first_choice == 0 ? first_ieee : choices.size();
            for (std::size_t c = first_choice + 1; c < end; ++c)
                EXPECT_EQ(read_png_rgb(directory.file(name(c, std::string(frame) + ".png"))).pixels, first.pixels)
                    << "frame " << frame << " with choice " << c;
        }
    }
}

TEST(SnapshotFind, NamesTheFrameAPictureIs) {
    ScratchDirectory directory;
    const ToolRun made = run_tool(snapshot, {"--size", "128x96", "--frames", "0,37", "--out", "f%d.png"}, directory);
    ASSERT_EQ(made.exit_code, 0) << made.err;

    for (const auto& [image, expected] : {std::pair{"f37.png", "37\n"}, std::pair{"f0.png", "0\n"}}) {
        const ToolRun found = run_tool(snapshot, {"--size", "128x96", "--find", image, "--max", "60"}, directory);
        EXPECT_EQ(found.exit_code, 0) << image << ": " << found.err;
        EXPECT_EQ(found.out, expected) << image;
    }
    // The search stops at --max.
    const ToolRun too_early = run_tool(snapshot, {"--size", "128x96", "--find", "f37.png", "--max", "36"}, directory);
    EXPECT_EQ(too_early.exit_code, 1);
    EXPECT_EQ(too_early.out, "");
}

TEST(SnapshotFind, RejectsAPictureThatIsNoFrame) {
    ScratchDirectory directory;
    const ToolRun made = run_tool(snapshot, {"--size", "128x96", "--frames", "20", "--out", "f%d.png"}, directory);
    ASSERT_EQ(made.exit_code, 0) << made.err;

    // Frame 20 with one pixel of the model one step brighter in blue.
    RgbImage altered = read_png_rgb(directory.file("f20.png"));
    const auto lit = std::find_if(altered.pixels.begin(), altered.pixels.end(),
                                  [](std::uint32_t p) { return p != 0 && (p & 0xFF) < 0xFF; });
    ASSERT_NE(lit, altered.pixels.end());
    *lit += 1;
    write_png_rgb(directory.file("altered.png"), altered.width, altered.height, altered.pixels.data());

    std::vector<std::uint32_t> black(128 * 96, 0);
    write_png_rgb(directory.file("black.png"), 128, 96, black.data());

    for (const char* image : {"altered.png", "black.png"}) {
        const ToolRun search = run_tool(snapshot, {"--size", "128x96", "--find", image, "--max", "40"}, directory);
        EXPECT_EQ(search.exit_code, 1) << image;
        EXPECT_EQ(search.out, "") << image;
        EXPECT_NE(search.err.find("no frame in 0..40 matches"), std::string::npos) << image << ": " << search.err;
    }
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;  // the sanitizers reserve far more address space than any limit here
#else
constexpr bool sanitized = false;
#endif

TEST(SnapshotFind, RefusesAPictureOfTheWrongSizeBeforeDecodingIt) {
    ScratchDirectory directory;
    // Decoding it would take 7 GB before finding the cut.
    tool_test::write_cut_picture(directory.file("huge.png"), 32766, 32766);
    // Within 1 GB of address space the size must still be what is reported.
    const std::string limit = sanitized ? "" : "ulimit -v 1000000 && ";
    const ToolRun run = run_tool(snapshot, {"--size", "64x48", "--find", "huge.png"}, directory, limit);
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.err,
              "ombrastel-snapshot: --find: huge.png is 32766x32766 but the frame is 64x48 "
              "(give --size or --screen)\n");
}

// Progress lines on standard error (not a terminal here: one line each).
std::vector<std::string> progress_lines(const std::string& err, const std::string& program) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = err.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = err.substr(start, end - start);
        if (line.rfind(program + ": ", 0) == 0 && line.find(" frame ") != std::string::npos &&
            line.find("%)") != std::string::npos)
            lines.push_back(line);
    }
    return lines;
}

// At most four lines a second, and the first and last lines beside.
std::size_t most_progress_lines(std::chrono::steady_clock::duration elapsed) {
    return static_cast<std::size_t>(4 * std::chrono::duration<double>(elapsed).count()) + 2;
}

TEST(Bench, ShowsProgressAFewTimesASecondHoweverFastTheFramesAre) {
    ScratchDirectory directory;
    const auto start = std::chrono::steady_clock::now();
    const ToolRun run = run_tool(bench, {"--size", "2x2", "--frames", "1", "--warmup", "5000"}, directory);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const auto lines = progress_lines(run.err, "ombrastel-bench");
    ASSERT_FALSE(lines.empty());
    EXPECT_LE(lines.size(), most_progress_lines(elapsed)) << run.err.substr(0, 2000);
    EXPECT_NE(lines.back().find("frame 1 of 1 (100%)"), std::string::npos) << lines.back();
}

// A clock that moves only when the test moves it.
std::chrono::steady_clock::time_point progress_clock_now;
std::chrono::steady_clock::time_point progress_clock() { return progress_clock_now; }

// What a ProgressLine wrote to a file (not a terminal: one line each time).
std::string progress_written(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char chunk[256];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
    return text;
}

TEST(ProgressLines, SilentAtFirstThenAtMostOneAnInterval) {
    using namespace std::chrono_literals;
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    progress_clock_now = {};
    ProgressLine progress("tool", 500ms, file, progress_clock);
    EXPECT_FALSE(progress.due());
    progress_clock_now += 499ms;
    EXPECT_FALSE(progress.due()) << "a run shorter than the quiet start says nothing";
    progress_clock_now += 1ms;
    ASSERT_TRUE(progress.due());
    progress.show("step 1");
    EXPECT_FALSE(progress.due());
    progress_clock_now += ProgressLine::interval - 1ms;
    EXPECT_FALSE(progress.due());
    progress_clock_now += 1ms;
    ASSERT_TRUE(progress.due());
    progress.show("step 2");
    progress.finish("done");
    EXPECT_EQ(progress_written(file), "tool: step 1\ntool: step 2\ntool: done\n");
    std::fclose(file);
}

TEST(ProgressLines, AShortRunFinishesSilentlyUnlessAskedToSpeak) {
    for (const bool always : {false, true}) {
        std::FILE* file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        progress_clock_now = {};
        ProgressLine progress("tool", std::chrono::seconds(1), file, progress_clock);
        progress.finish("done", always);
        EXPECT_EQ(progress_written(file), always ? "tool: done\n" : "") << always;
        std::fclose(file);
    }
}

// A clock that moves 100 ms each time it is read, so that a run's progress
// lines come where the test says, however fast this machine renders.
std::chrono::steady_clock::time_point ticking_clock() {
    progress_clock_now += std::chrono::milliseconds(100);
    return progress_clock_now;
}

// The search's lines, on a clock that moves 100 ms a frame: none in the
// quiet start, then one each time a quarter second has passed (every third
// frame: the line's own reading of the clock counts too), and the last
// frame's line at the end, whether a frame was found or not.
TEST(SnapshotFind, ProgressLinesAreFewAndEndAtTheLastFrame) {
    using namespace std::chrono_literals;
    ASSERT_TRUE(start_system({64, 48}));
    ASSERT_EQ(start_engine({EngineKind::fast, 1}), "");
    const RgbImage black{64, 48, std::vector<std::uint32_t>(64 * 48, 0)};
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    progress_clock_now = {};
    {
        ProgressLine progress("ombrastel-snapshot", 500ms, file, ticking_clock);
        EXPECT_EQ(find_frame(black, 40, progress), std::nullopt);
    }
    std::string expected;
    for (int frame = 4; frame <= 40; frame += 3)
        expected += "ombrastel-snapshot: searching frame " + std::to_string(frame) + " of 0..40 (" +
                    std::to_string(100 * frame / 40) + "%)\n";
    expected += "ombrastel-snapshot: searching frame 40 of 0..40 (100%)\n";
    EXPECT_EQ(progress_written(file), expected);
    std::fclose(file);

    // A frame found ends the lines with it. Each frame is drawn in turn: a
    // frame's zoom follows from the frames before.
    ASSERT_TRUE(start_system({64, 48}));
    RgbImage frame_0, frame_5;
    for (int k = 0; k <= 5; ++k) {
        render_frame();
        if (k == 0) frame_0 = {64, 48, std::vector<std::uint32_t>(frame_buffer, frame_buffer + 64 * 48)};
        if (k == 5) frame_5 = {64, 48, std::vector<std::uint32_t>(frame_buffer, frame_buffer + 64 * 48)};
        advance_frame_counter();
    }
    ASSERT_NE(frame_0.pixels, frame_5.pixels);
    file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    progress_clock_now = {};
    ASSERT_TRUE(start_system({64, 48}));
    {
        ProgressLine progress("ombrastel-snapshot", 500ms, file, ticking_clock);
        EXPECT_EQ(find_frame(frame_5, 40, progress), 5u);
    }
    EXPECT_EQ(progress_written(file),
              "ombrastel-snapshot: searching frame 4 of 0..40 (10%)\n"
              "ombrastel-snapshot: searching frame 5 of 0..40 (12%): found\n");
    std::fclose(file);
    stop_engine();
}

// And the tool says when no frame matched.
TEST(SnapshotFind, SaysWhenNoFrameMatches) {
    ScratchDirectory directory;
    std::vector<std::uint32_t> black(320 * 240, 0);
    write_png_rgb(directory.file("black.png"), 320, 240, black.data());
    const ToolRun run = run_tool(snapshot, {"--size", "320x240", "--find", "black.png", "--max", "20"}, directory);
    EXPECT_EQ(run.exit_code, 1) << run.err;
    EXPECT_NE(run.err.find("no frame in 0..20 matches black.png"), std::string::npos) << run.err;
}

TEST(SnapshotFrames, AShortRunIsSilent) {
    ScratchDirectory directory;
    const ToolRun run = run_tool(snapshot, {"--size", "64x48", "--frames", "0-3", "--out", "f%d.png"}, directory);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "");
}

TEST(Bench, EndsWithOneJsonLineOfItsFigures) {
    ScratchDirectory directory;
    const ToolRun run = run_tool(
        bench, {"--size", "64x48", "--frames", "5", "--warmup", "2", "--engine", "reference", "--workers", "1"},
        directory);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    ASSERT_FALSE(run.out.empty());
    ASSERT_EQ(run.out.back(), '\n');
    const std::string body = run.out.substr(0, run.out.size() - 1);
    const std::string last = body.substr(body.rfind('\n') + 1);
    EXPECT_EQ(last.front(), '{');
    EXPECT_EQ(last.back(), '}');
    const std::string isa = "\"isa\":\"" + baseline + "\"";
    for (const char* field :
         {"\"width\":64", "\"height\":48", "\"engine\":\"reference\"", "\"workers\":1", isa.c_str(),
          "\"peak_resident_kib\":", "\"frames\":5", "\"warmup_frames\":2",
          "\"fps\":", "\"ms_per_frame_median\":", "\"ms_per_frame_p95\":", "\"ms_per_frame_max\":",
          "\"clearing_ms_per_frame\":", "\"transform_and_projection_ms_per_frame\":",
          "\"depth_pre_pass_ms_per_frame\":", "\"shading_pass_ms_per_frame\":", "\"pixels_shaded_per_second\":"})
        EXPECT_NE(last.find(field), std::string::npos) << field;
    EXPECT_NE(run.err.find("frame 5 of 5"), std::string::npos) << run.err;
    EXPECT_TRUE(directory.entries().empty());

    // The fast engine by default, with the workers it started and the time
    // they took.
    const ToolRun fast =
        run_tool(bench, {"--size", "64x48", "--frames", "5", "--warmup", "2", "--workers", "3"}, directory);
    ASSERT_EQ(fast.exit_code, 0) << fast.err;
    for (const char* field : {"\"engine\":\"fast\"", "\"workers\":3", "\"workers_ms_per_frame\":",
                              "\"frame_budget_us\":{\"waking\":", "\"handover\":", "\"strips\":3.00"})
        EXPECT_NE(fast.out.find(field), std::string::npos) << field;
    EXPECT_NE(fast.out.find("frame budget"), std::string::npos) << fast.out;
    // The reference engine has no pool, and so no budget of one.
    EXPECT_EQ(run.out.find("frame_budget_us"), std::string::npos) << run.out;
}

// A sweep measures each size in turn, from the system's start, and ends with
// one line a size and one JSON object holding every size's.
TEST(Bench, ASizeSweepGivesEachSizesFramesPerSecondAndTimePerFrame) {
    ScratchDirectory directory;
    const ToolRun run = run_tool(bench, {"--sizes", "64x48,32x16,128x96", "--frames", "4", "--warmup", "1"}, directory);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const std::string body = run.out.substr(0, run.out.size() - 1);
    const std::string last = body.substr(body.rfind('\n') + 1);
    ASSERT_EQ(last.rfind("{\"sizes\":[{\"width\":64,\"height\":48,", 0), 0u) << last;
    const std::size_t second = last.find("{\"width\":32,\"height\":16,");
    const std::size_t third = last.find("{\"width\":128,\"height\":96,");
    EXPECT_NE(second, std::string::npos) << last;
    EXPECT_NE(third, std::string::npos) << last;
    EXPECT_LT(second, third) << last;
    EXPECT_EQ(last.substr(last.size() - 3), "}]}") << last;
    for (const char* line : {"64x48 ", "32x16 ", "128x96 "}) EXPECT_NE(body.find(line), std::string::npos) << line;
    EXPECT_NE(body.find("frames/s"), std::string::npos) << body;
    EXPECT_NE(body.find("µs/frame"), std::string::npos) << body;
    EXPECT_TRUE(directory.entries().empty());
}

}  // namespace
