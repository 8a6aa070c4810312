// Shared by the core tests: starting the system headless and reading its
// buffers.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/startup.h"
#include "scene/estimates.h"
#include "scene/scene_data.h"

inline void start_headless(int width, int height) {
    if (!start_system({static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height)}))
        throw std::runtime_error("start_system refused the frame size");
}

inline std::vector<std::uint32_t> frame_pixels() {
    return {frame_buffer, frame_buffer + std::size_t{frame_width} * frame_height};
}

inline std::vector<float> depth_values() {
    return {depth_buffer, depth_buffer + std::size_t{frame_width} * frame_height};
}

// Whole-frame tests draw every n-th of their sampled frames, n being
// OMBRASTEL_FRAME_STRIDE (1 when unset): a cross-build's tests run under an
// emulator many times slower than the processor, and set it; so does
// test.sh's sanitizer stage, which looks for faults that every frame of a
// kind meets alike.
inline int frame_stride() {
    const char* given = std::getenv("OMBRASTEL_FRAME_STRIDE");
    if (!given || !*given) return 1;
    const int stride = std::stoi(given);
    if (stride < 1) throw std::invalid_argument("OMBRASTEL_FRAME_STRIDE must be 1 or more");
    return stride;
}

inline float far_depth() { return std::bit_cast<float>(far_depth_bits); }

inline std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// Every arithmetic this processor has.
inline const std::vector<Estimates>& arithmetics() {
    static const std::vector<Estimates> all = x86_estimates_available
                                                  ? std::vector<Estimates>{Estimates::x86, Estimates::ieee}
                                                  : std::vector<Estimates>{Estimates::ieee};
    return all;
}
