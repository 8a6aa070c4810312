#include "app/startup.h"

#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <utility>

#include "engine/engine.h"
#include "scene/preparation.h"
#include "scene/scene_data.h"

namespace {

constexpr std::size_t page_bytes = 4096;

// Buffers that obtain_heap_buffer handed out and that a restart may give back.
void* heap_frame_buffer = nullptr;
void* heap_depth_buffer = nullptr;

void give_back_heap_buffers() {
    for (void** held : {&heap_frame_buffer, &heap_depth_buffer}) {
        give_back_heap_buffer(*held);
        *held = nullptr;
    }
}

// "1910 x 1070", for the start-up failure reasons.
std::string frame_text(FrameSize size) { return std::to_string(size.width) + " x " + std::to_string(size.height); }

}  // namespace

bool frame_size_is_valid(int width, int height) {
    auto side_ok = [](int side) { return side >= 2 && side <= largest_frame_side && side % 2 == 0; };
    return side_ok(width) && side_ok(height);
}

bool frame_size_for_screen(int screen_width, int screen_height, FrameSize* size) {
    // Checked before the subtraction: a screen under 12 pixels would give an
    // empty or negative frame that wraps around in 16 bits.
    if (screen_width < 12 || screen_height < 12) return false;
    const int width = (screen_width - 10) & ~1;
    const int height = (screen_height - 10) & ~1;
    if (!frame_size_is_valid(width, height)) return false;
    *size = {static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height)};
    return true;
}

void give_back_heap_buffer(void* buffer) {
    if (buffer != nullptr) ::operator delete (buffer, std::align_val_t{page_bytes});
}

void* obtain_heap_buffer(std::size_t bytes) {
    void* buffer = ::operator new (bytes, std::align_val_t{page_bytes}, std::nothrow);
    if (buffer) std::memset(buffer, 0, bytes);
    return buffer;
}

namespace {

// Where start_system finds the frame buffer: obtained from a source, or
// left to the window's presenter.
enum class FrameMemory { obtained, presenters };

bool start(FrameSize size, FrameMemory frames, BufferSource source, std::string* failure_reason) {
    auto fail = [&](std::string reason) {
        if (failure_reason) *failure_reason = std::move(reason);
        return false;
    };
    // The workers of a frame in progress draw into the buffers given back
    // below.
    finish_frame();
    if (!frame_size_is_valid(size.width, size.height))
        return fail("A " + frame_text(size) + " frame cannot be drawn: each side must be even and from 2 to " +
                    std::to_string(largest_frame_side) + " pixels.");
    give_back_heap_buffers();
    frame_buffer = nullptr;
    depth_buffer = nullptr;
    restore_initial_scene_data();

    frame_width = size.width;
    frame_height = size.height;
    screen_centre[0] = static_cast<std::int16_t>(frame_width / 2);
    screen_centre[1] = static_cast<std::int16_t>(frame_height / 2);

    // Even sides make the pixel count a multiple of 4, which the clears'
    // aligned four-lane stores rely on.
    const std::size_t bytes = std::size_t{frame_width} * frame_height * 4;
    void* frame = nullptr;
    if (frames == FrameMemory::obtained) {
        frame = source(bytes);
        if (source == obtain_heap_buffer) heap_frame_buffer = frame;
        if (!frame)
            return fail("The frame buffer and the depth buffer, " + std::to_string(bytes) + " bytes each for a " +
                        frame_text(size) + " frame, could not be had: the frame buffer was refused.");
    }
    BufferSource depth_source = frames == FrameMemory::obtained ? source : obtain_heap_buffer;
    void* depth = depth_source(bytes);
    if (depth_source == obtain_heap_buffer) heap_depth_buffer = depth;
    if (!depth)
        return fail(frames == FrameMemory::obtained
                        ? "The frame buffer and the depth buffer, " + std::to_string(bytes) + " bytes each for a " +
                              frame_text(size) + " frame, could not be had: the depth buffer was refused."
                        : "The depth buffer, " + std::to_string(bytes) + " bytes for a " + frame_text(size) +
                              " frame, could not be had.");
    frame_buffer = static_cast<std::uint32_t*>(frame);
    depth_buffer = static_cast<float*>(depth);

    scale = static_cast<float>(frame_height / 4);
    decode_texture();
    prepare_model(model_estimates());
    return true;
}

}  // namespace

bool start_system(FrameSize size, BufferSource source, std::string* failure_reason) {
    return start(size, FrameMemory::obtained, source, failure_reason);
}

bool start_system_for_window(FrameSize size, std::string* failure_reason) {
    return start(size, FrameMemory::presenters, obtain_heap_buffer, failure_reason);
}

void draw_into(std::uint32_t* pixels) {
    finish_frame();
    frame_buffer = pixels;
}
