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
        if (*held) ::operator delete (*held, std::align_val_t{page_bytes});
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

void* obtain_heap_buffer(std::size_t bytes) {
    void* buffer = ::operator new (bytes, std::align_val_t{page_bytes}, std::nothrow);
    if (buffer) std::memset(buffer, 0, bytes);
    return buffer;
}

bool start_system(FrameSize size, BufferSource source, std::string* failure_reason) {
    return start_system(size, source, source, failure_reason);
}

bool start_system(FrameSize size, BufferSource frame_source, BufferSource depth_source, std::string* failure_reason) {
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
    void* frame = frame_source(bytes);
    void* depth = frame ? depth_source(bytes) : nullptr;
    if (frame_source == obtain_heap_buffer) heap_frame_buffer = frame;
    if (depth_source == obtain_heap_buffer) heap_depth_buffer = depth;
    if (!frame || !depth)
        return fail("The frame buffer and the depth buffer, " + std::to_string(bytes) + " bytes each for a " +
                    frame_text(size) + " frame, could not be had: the " + (frame ? "depth" : "frame") +
                    " buffer was refused.");
    frame_buffer = static_cast<std::uint32_t*>(frame);
    depth_buffer = static_cast<float*>(depth);

    scale = static_cast<float>(frame_height / 4);
    decode_texture();
    prepare_model(model_estimates());
    return true;
}
