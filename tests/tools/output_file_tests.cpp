// Output files: a regular file is replaced whole or not at all, a symbolic
// link leads to the file that is replaced, FIFOs and character devices are
// written directly, and what cannot take a picture is refused untouched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "scene/scene_data.h"
#include "tests/tools/tool_test_support.h"
#include "tools/output_file.h"
#include "tools/png_io.h"

namespace {

namespace fs = std::filesystem;
using tool_test::read_text;
using tool_test::run_tool;
using tool_test::ScratchDirectory;
using tool_test::ToolRun;

const std::string snapshot = SNAPSHOT_TOOL;

void write_text(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

auto writes(const std::string& text) {
    return [text](std::FILE* file) { std::fputs(text.c_str(), file); };
}

// Writes half of a file and then fails, as a full disk would.
void fails_half_way(std::FILE* file) {
    std::fputs("HALF", file);
    std::fflush(file);
    throw std::runtime_error("the writer gave up");
}

bool is_root() { return geteuid() == 0; }

struct Replacement {
    const char* what;
    std::function<void(const ScratchDirectory&)> prepare;
    const char* name;                // given to write_output
    const char* holds_bytes;         // the file the bytes must end up in
    std::vector<const char*> links;  // names that must still be symbolic links
};

const std::vector<Replacement>& replacements() {
    static const std::vector<Replacement> cases = {
        {"a new name", [](const ScratchDirectory&) {}, "new.png", "new.png", {}},
        {"a regular file",
         [](const ScratchDirectory& d) { write_text(d.file("old.png"), "OLD"); },
         "old.png",
         "old.png",
         {}},
        {"a link to a regular file",
         [](const ScratchDirectory& d) {
             write_text(d.file("real.png"), "OLD");
             fs::create_symlink("real.png", d.file("link.png"));
         },
         "link.png",
         "real.png",
         {"link.png"}},
        {"a relative link into another directory",
         [](const ScratchDirectory& d) {
             fs::create_directory(d.file("sub"));
             write_text(d.file("sub/real.png"), "OLD");
             fs::create_directory(d.file("links"));
             fs::create_symlink("../sub/real.png", d.file("links/link.png"));
         },
         "links/link.png",
         "sub/real.png",
         {"links/link.png"}},
        {"a chain of two links",
         [](const ScratchDirectory& d) {
             write_text(d.file("real.png"), "OLD");
             fs::create_symlink("real.png", d.file("first.png"));
             fs::create_symlink(d.file("first.png"), d.file("second.png"));
         },
         "second.png",
         "real.png",
         {"first.png", "second.png"}},
        {"a link to a name not yet taken",
         [](const ScratchDirectory& d) { fs::create_symlink("later.png", d.file("link.png")); },
         "link.png",
         "later.png",
         {"link.png"}},
    };
    return cases;
}

TEST(OutputFile, ReplacesTheFileANameLeadsToAndKeepsLinks) {
    for (const Replacement& c : replacements()) {
        ScratchDirectory scratch;
        c.prepare(scratch);
        const auto before = scratch.entries();
        write_output(scratch.file(c.name), writes("NEW"));
        EXPECT_EQ(read_text(scratch.file(c.holds_bytes)), "NEW") << c.what;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(scratch.file(c.holds_bytes)))) << c.what;
        for (const char* link : c.links) EXPECT_TRUE(fs::is_symlink(scratch.file(link))) << c.what << ": " << link;
        auto after = scratch.entries();
        after.erase(c.holds_bytes);
        auto expected = before;
        expected.erase(c.holds_bytes);
        EXPECT_EQ(after, expected) << c.what << ": a temporary file stayed, or a file went";
    }
}

TEST(OutputFile, AFailedWriteLeavesTheOldFileAndNoTemporary) {
    for (const Replacement& c : replacements()) {
        ScratchDirectory scratch;
        c.prepare(scratch);
        const auto before = scratch.entries();
        const bool existed = fs::exists(scratch.file(c.holds_bytes));
        try {
            write_output(scratch.file(c.name), fails_half_way);
            ADD_FAILURE() << c.what << ": no error";
        } catch (const OutputError& error) {
            EXPECT_NE(std::string(error.what()).find("the writer gave up"), std::string::npos) << error.what();
            EXPECT_NE(std::string(error.what()).find(c.name), std::string::npos) << error.what();
        }
        if (existed) {
            EXPECT_EQ(read_text(scratch.file(c.holds_bytes)), "OLD") << c.what;
        }
        EXPECT_EQ(scratch.entries(), before) << c.what;
    }
}

TEST(OutputFile, KeepsTheModeOfTheFileItReplaces) {
    ScratchDirectory scratch;
    write_text(scratch.file("private.png"), "OLD");
    fs::permissions(scratch.file("private.png"), fs::perms::owner_read | fs::perms::owner_write);
    write_output(scratch.file("private.png"), writes("NEW"));
    EXPECT_EQ(fs::status(scratch.file("private.png")).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

// A unix socket bound to `path`, closed (the name stays) when done.
class BoundSocket {
  public:
    explicit BoundSocket(const std::string& path) : descriptor_(socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        bound_ = descriptor_ >= 0 && bind(descriptor_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~BoundSocket() {
        if (descriptor_ >= 0) close(descriptor_);
    }
    bool bound() const { return bound_; }

  private:
    int descriptor_;
    bool bound_ = false;
};

struct Refusal {
    const char* what;
    const char* name;
    const char* mentions;
};

TEST(OutputFile, RefusesWhatCannotHoldAPictureAndLeavesItAlone) {
    ScratchDirectory scratch;
    fs::create_directory(scratch.file("folder"));
    write_text(scratch.file("folder/inside"), "KEEP");
    fs::create_symlink("folder", scratch.file("link-to-folder"));
    fs::create_symlink("loop-b", scratch.file("loop-a"));
    fs::create_symlink("loop-a", scratch.file("loop-b"));
    BoundSocket socket(scratch.file("socket"));
    ASSERT_TRUE(socket.bound()) << std::strerror(errno);
    const auto before = scratch.entries();

    const std::vector<Refusal> cases = {
        {"a directory", "folder", "directory"},
        {"a link to a directory", "link-to-folder", "directory"},
        {"a loop of links", "loop-a", std::strerror(ELOOP)},
        {"a socket", "socket", "socket"},
        {"a name in a missing directory", "missing/f.png", "no such directory"},
        {"a name below a regular file", "folder/inside/f.png", "not a directory"},
    };
    for (const Refusal& c : cases) {
        for (const char* step : {"check", "write"}) {
            try {
                if (std::string(step) == "check")
                    OutputCheck().check(scratch.file(c.name));
                else
                    write_output(scratch.file(c.name), writes("NEW"));
                ADD_FAILURE() << c.what << " (" << step << "): accepted";
            } catch (const OutputError& error) {
                EXPECT_NE(std::string(error.what()).find(c.mentions), std::string::npos)
                    << c.what << " (" << step << "): " << error.what();
            }
        }
    }
    EXPECT_EQ(scratch.entries(), before);
    EXPECT_EQ(read_text(scratch.file("folder/inside")), "KEEP");
    EXPECT_EQ(fs::symlink_status(scratch.file("socket")).type(), fs::file_type::socket);
}

TEST(OutputFile, ACheckLeavesNothingBehind) {
    ScratchDirectory scratch;
    OutputCheck check;
    for (const char* name : {"new.png", "again.png"}) EXPECT_NO_THROW(check.check(scratch.file(name)));
    EXPECT_TRUE(scratch.entries().empty());
}

// --- Through the tool --------------------------------------------------------

// What a reader of a FIFO receives while the tool writes into it. The reader
// blocks until a writer comes; should the tool never open the FIFO, the
// test's own empty write lets it go.
class FifoReader {
  public:
    explicit FifoReader(std::string path) : path_(std::move(path)) {
        thread_ = std::thread([this] {
            const int descriptor = open(path_.c_str(), O_RDONLY);
            if (descriptor < 0) return;
            char buffer[4096];
            for (ssize_t got; (got = read(descriptor, buffer, sizeof buffer)) > 0;) received_.append(buffer, got);
            close(descriptor);
        });
    }
    std::string finish() {
        const int release = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
        if (release >= 0) close(release);
        thread_.join();
        return received_;
    }

  private:
    std::string path_;
    std::string received_;
    std::thread thread_;
};

std::vector<std::uint32_t> texture_colours() {
    tool_test::start_headless(2, 2);
    std::vector<std::uint32_t> colours(texture, texture + texel_count);
    for (std::uint32_t& c : colours) c &= 0x00FFFFFFu;
    return colours;
}

TEST(SnapshotOutput, WritesIntoAFifoForItsReader) {
    ScratchDirectory scratch;
    ASSERT_EQ(mkfifo(scratch.file("pipe").c_str(), 0600), 0) << std::strerror(errno);
    FifoReader reader(scratch.file("pipe"));
    const ToolRun run = run_tool(snapshot, {"--texture-out", "pipe"}, scratch);
    const std::string received = reader.finish();
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(fs::symlink_status(scratch.file("pipe")).type(), fs::file_type::fifo);
    EXPECT_EQ(scratch.entries(), std::set<std::string>{"pipe"});

    write_text(scratch.file("received.png"), received);
    const RgbImage image = read_png_rgb(scratch.file("received.png"));
    EXPECT_EQ(image.pixels, texture_colours());
}

TEST(SnapshotOutput, WritesOnePictureToStandardOutput) {
    ScratchDirectory scratch;
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"--texture-out", "-"}, {"--size", "64x48", "--frames", "7", "--out", "-"}}) {
        const ToolRun run = run_tool(snapshot, arguments, scratch);
        ASSERT_EQ(run.exit_code, 0) << run.err;
        write_text(scratch.file("out.png"), run.out);
        const RgbImage image = read_png_rgb(scratch.file("out.png"));
        if (arguments[0] == "--texture-out") {
            EXPECT_EQ(image.pixels, texture_colours());
        } else {
            tool_test::render_frames(64, 48, 7, [&](std::uint32_t frame) {
                if (frame == 7) {
                    EXPECT_EQ(image.pixels, tool_test::frame_colours());
                }
            });
        }
        std::filesystem::remove(scratch.file("out.png"));
    }
    EXPECT_TRUE(scratch.entries().empty());
}

TEST(SnapshotOutput, AToolStoppedWhileWritingLeavesNoTemporaryFile) {
    ScratchDirectory scratch;
    // A frame large enough that writing it takes a while. The child runs the
    // tool through the shell, which becomes the tool (or its emulator).
    const std::string run = "exec " + tool_test::program_launcher + " \"$0\" \"$@\"";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDOUT_FILENO);
        dup2(quiet, STDERR_FILENO);
        if (chdir(scratch.path().c_str()) == 0)
            execl("/bin/sh", "sh", "-c", run.c_str(), snapshot.c_str(), "--size", "8000x6000", "--frames", "0", "--out",
                  "f%d.png", static_cast<char*>(nullptr));
        _exit(127);
    }
    bool writing = false;
    int status = 0;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!writing && std::chrono::steady_clock::now() < give_up && waitpid(child, &status, WNOHANG) == 0) {
        // The frame's own temporary file, not the probe of the directory
        // that comes before it.
        for (const auto& entry : scratch.entries()) writing |= entry.rfind("f0.png.tmp-", 0) == 0;
        if (!writing) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!writing) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "the temporary file was never seen";
    }
    kill(child, SIGTERM);
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
    EXPECT_TRUE(scratch.entries().empty());
}

// Device nodes of this machine's kinds, made in the scratch directory: the
// null and full character devices, and a block device number that nothing
// answers to, so that no real disk is ever at stake.
TEST(SnapshotOutput, WritesThroughCharacterDevicesAndRefusesBlockDevices) {
    if (!is_root()) GTEST_SKIP() << "making device nodes with mknod needs root";
    ScratchDirectory scratch;
    ASSERT_EQ(mknod(scratch.file("null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0) << std::strerror(errno);
    ASSERT_EQ(mknod(scratch.file("full").c_str(), S_IFCHR | 0666, makedev(1, 7)), 0) << std::strerror(errno);
    ASSERT_EQ(mknod(scratch.file("disk").c_str(), S_IFBLK | 0600, makedev(7, 250)), 0) << std::strerror(errno);
    const auto before = scratch.entries();

    const ToolRun into_null = run_tool(snapshot, {"--texture-out", "null"}, scratch);
    EXPECT_EQ(into_null.exit_code, 0) << into_null.err;
    EXPECT_EQ(into_null.err, "");

    const ToolRun into_full = run_tool(snapshot, {"--texture-out", "full"}, scratch);
    EXPECT_EQ(into_full.exit_code, 2);
    EXPECT_EQ(into_full.err, "ombrastel-snapshot: cannot write 'full': " + std::string(std::strerror(ENOSPC)) + "\n");

    const ToolRun into_disk = run_tool(snapshot, {"--texture-out", "disk"}, scratch);
    EXPECT_EQ(into_disk.exit_code, 2);
    EXPECT_NE(into_disk.err.find("block device"), std::string::npos) << into_disk.err;

    EXPECT_EQ(scratch.entries(), before);
    for (const char* node : {"null", "full"})
        EXPECT_EQ(fs::symlink_status(scratch.file(node)).type(), fs::file_type::character) << node;
    EXPECT_EQ(fs::symlink_status(scratch.file("disk")).type(), fs::file_type::block);
}

// A tmpfs mounted on a directory of its own, unmounted when done.
class Tmpfs {
  public:
    Tmpfs(const std::string& path, const char* options, unsigned long flags = 0) : path_(path) {
        fs::create_directory(path);
        mounted_ = mount("tmpfs", path.c_str(), "tmpfs", flags, options) == 0;
        if (!mounted_) error_ = std::strerror(errno);
    }
    ~Tmpfs() {
        if (mounted_) umount2(path_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }

  private:
    std::string path_;
    bool mounted_ = false;
    std::string error_;
};

// Noise: a picture no compression makes small.
std::vector<std::uint32_t> noise(int pixels) {
    std::mt19937 random(7);
    std::vector<std::uint32_t> values(pixels);
    for (std::uint32_t& v : values) v = random();
    return values;
}

TEST(OutputFile, AFullDiskSaysSoAndKeepsTheOldFile) {
    if (!is_root()) GTEST_SKIP() << "mounting a small file system needs root";
    ScratchDirectory scratch;
    Tmpfs small(scratch.file("small"), "size=64k");
    ASSERT_TRUE(small.mounted()) << "cannot mount a tmpfs: " << small.error();
    const std::vector<std::uint32_t> little = noise(16 * 16), large = noise(256 * 256);
    write_png_rgb(scratch.file("small/picture.png"), 16, 16, little.data());
    const std::string old_bytes = read_text(scratch.file("small/picture.png"));
    try {
        write_png_rgb(scratch.file("small/picture.png"), 256, 256, large.data());
        ADD_FAILURE() << "a 192 KiB picture fitted into 64 KiB";
    } catch (const OutputError& error) {
        EXPECT_NE(std::string(error.what()).find(std::strerror(ENOSPC)), std::string::npos) << error.what();
    }
    EXPECT_EQ(read_text(scratch.file("small/picture.png")), old_bytes);
    EXPECT_EQ(scratch.entries(), (std::set<std::string>{"small", "small/picture.png"}));
}

TEST(OutputFile, ARefusedWriteGivesTheSystemsReason) {
    if (!is_root()) GTEST_SKIP() << "mounting a read-only file system needs root";
    ScratchDirectory scratch;
    Tmpfs read_only(scratch.file("read-only"), "size=64k", MS_RDONLY);
    ASSERT_TRUE(read_only.mounted()) << "cannot mount a tmpfs: " << read_only.error();
    const ToolRun run = run_tool(snapshot, {"--texture-out", "read-only/t.png"}, scratch);
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_NE(run.err.find(std::strerror(EROFS)), std::string::npos) << run.err;
    EXPECT_TRUE(fs::is_empty(scratch.file("read-only")));
}

}  // namespace
