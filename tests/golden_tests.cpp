// The golden frames: every engine, instruction set and worker count draws,
// with the ieee arithmetic, frames whose SHA-256 digests equal those kept in
// tests/golden/frames.txt (made by scripts/make-golden-frames.sh on one
// machine). The ieee arithmetic gives the same bits on every processor, so
// these digests hold on every machine the program runs on. The file itself
// is pinned here by its own digest, so that remaking it is seen.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "pipeline/frame.h"
#include "scene/preparation.h"
#include "test_support.h"
#include "tools/frame_digest.h"

namespace {

// The SHA-256 of tests/golden/frames.txt. The digests are remade only when
// the pictures are meant to change (scripts/make-golden-frames.sh, which
// says why in the file's header and prints the file's new digest): this
// line then changes in the same commit, for everyone to see.
constexpr const char* golden_frames_sha256 = "5ade1bc3e0431712456bfe3ad8597ba728fb0cda45c36998b43b2ccfbeec5bc3";

// Frame number to digest, for each frame size ("320x240") in the file.
using GoldenFrames = std::map<std::string, std::map<int, std::string>>;

const GoldenFrames& golden_frames() {
    static const GoldenFrames frames = [] {
        GoldenFrames read;
        std::ifstream file(OMBRASTEL_GOLDEN_FRAMES);
        EXPECT_TRUE(file) << "cannot read " << OMBRASTEL_GOLDEN_FRAMES;
        std::string line;
        while (std::getline(file, line)) {
            if (line.empty() || line[0] == '#') continue;
            std::istringstream fields(line);
            std::string size, digest;
            int frame = -1;
            fields >> size >> frame >> digest;
            EXPECT_TRUE(frame >= 0 && digest.size() == 64) << "malformed line: " << line;
            read[size][frame] = digest;
        }
        return read;
    }();
    return frames;
}

// SHA-256 over the pixels in the order blue, green, red, fourth byte.
std::string digest_of_frame() { return frame_digest(frame_buffer, frame_width, frame_height); }

// The reference engine with one and two workers; the fast engine with every
// instruction set this processor can use with the ieee arithmetic and 1, 2,
// 3 and 7 workers; the WebAssembly build's stage, under node, takes 1, 2 and
// 3 to stay short (7 workers share out the strips by the same code as 3).
std::vector<EngineChoice> every_engine() {
    std::vector<EngineChoice> choices;
    for (int workers : {1, 2}) choices.push_back({EngineKind::reference, workers, std::nullopt, Estimates::ieee});
    const std::vector<int> worker_counts = OMBRASTEL_WASM ? std::vector<int>{1, 2, 3} : std::vector<int>{1, 2, 3, 7};
    for (InstructionSet set : built_instruction_sets()) {
        if (!instruction_set_usable(set, Estimates::ieee)) continue;
        for (int workers : worker_counts) choices.push_back({EngineKind::fast, workers, set, Estimates::ieee});
    }
    return choices;
}

// Frame sizes and the test that checks them.
const char* const checked_sizes[] = {"320x240", "960x540", "1910x1070", "1070x1910", "2x2",
                                     "6x10",    "18x6",    "30x2",      "642x478"};

class GoldenFrameSize : public ::testing::TestWithParam<const char*> {};

// Every engine draws every kept frame; but the 320x240 list holds a whole
// zoom period, for the window test: there every engine draws every 16th
// frame, and the default engine every frame (under an emulator every
// frame_stride-th of those).
TEST_P(GoldenFrameSize, EveryEngineDrawsTheKeptIeeeFrames) {
    const std::string size = GetParam();
    const auto found = golden_frames().find(size);
    ASSERT_NE(found, golden_frames().end()) << "no golden frames of " << size;
    const std::map<int, std::string>& frames = found->second;
    const int width = std::stoi(size.substr(0, size.find('x')));
    const int height = std::stoi(size.substr(size.find('x') + 1));
    const int last = frames.rbegin()->first;
    std::vector<std::pair<EngineChoice, int>> runs;  // the engine, every how many frames
    const bool whole_period = size == "320x240";
    for (const EngineChoice& choice : every_engine()) runs.push_back({choice, whole_period ? 16 * frame_stride() : 1});
    if (whole_period) runs.push_back({{EngineKind::fast, 0, std::nullopt, Estimates::ieee}, frame_stride()});
    for (const auto& [choice, every] : runs) {
        ASSERT_EQ(start_engine(choice), "");
        const RunningEngine running = running_engine();
        const std::string name = std::string(engine_name(running.kind)) + " engine, " +
                                 instruction_set_name(running.instruction_set) + ", " +
                                 std::to_string(running.workers) + " workers";
        ASSERT_EQ(running.estimates, Estimates::ieee) << name;
        start_headless(width, height);
        // Frame k is the (k+1)-th picture from the start: the frames between
        // are taken through the transform, which advances the zoom.
        for (int k = 0; k <= last; ++k) {
            const auto golden = k % every == 0 ? frames.find(k) : frames.end();
            if (golden == frames.end()) {
                transform_and_project();
            } else {
                render_frame();
                ASSERT_EQ(digest_of_frame(), golden->second) << name << ", frame " << k << " at " << size;
            }
            advance_frame_counter();
        }
        stop_engine();
    }
    prepare_model(default_estimates);
}

INSTANTIATE_TEST_SUITE_P(Sizes, GoldenFrameSize, ::testing::ValuesIn(checked_sizes),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

TEST(GoldenFrames, TheFileIsTheOnePinnedHere) {
    std::ifstream file(OMBRASTEL_GOLDEN_FRAMES, std::ios::binary);
    ASSERT_TRUE(file) << "cannot read " << OMBRASTEL_GOLDEN_FRAMES;
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(sha256_digest(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()), golden_frames_sha256)
        << OMBRASTEL_GOLDEN_FRAMES << " is not the file whose digest this test pins";
}

TEST(GoldenFrames, EverySizeKeptIsChecked) {
    const std::set<std::string> checked(std::begin(checked_sizes), std::end(checked_sizes));
    for (const auto& [size, frames] : golden_frames()) EXPECT_TRUE(checked.count(size)) << size;
    EXPECT_EQ(golden_frames().size(), checked.size());
}

}  // namespace
