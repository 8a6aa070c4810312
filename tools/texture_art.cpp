#include "tools/texture_art.h"

#include <algorithm>
#include <cmath>

namespace {

// The palette's entries from darkest to brightest.
constexpr std::uint8_t tone_ramp[16] = {0, 14, 6, 8, 2, 10, 4, 11, 1, 9, 5, 12, 3, 15, 7, 13};

constexpr double pi = 3.14159265358979323846;

std::uint8_t tone(double brightness) {
    const int level = static_cast<int>(std::lround(std::clamp(brightness, 0.0, 1.0) * 15.0));
    return tone_ramp[level];
}

// Distance of (x, y) inside the edge from p to q; negative outside. The
// corners run clockwise on screen (rows downwards), so inside lies to the
// right of each edge.
double inside_distance(double x, double y, double px, double py, double qx, double qy) {
    const double ex = qx - px, ey = qy - py;
    return ((y - py) * ex - (x - px) * ey) / std::hypot(ex, ey);
}

}  // namespace

void draw_texture_picture(std::uint8_t indices[art_size * art_size]) {
    // Corners at texel centres: apex (64, 0), bottom left (0, 127), bottom right (127, 127).
    constexpr double apex_x = 64.0, apex_y = 0.0, left_x = 0.0, right_x = 127.0, base_y = 127.0;
    // The emblem's centre: the triangle's incentre, roughly.
    constexpr double centre_x = 64.0, centre_y = 86.0;

    for (int y = 0; y < art_size; ++y) {
        for (int x = 0; x < art_size; ++x) {
            const double px = x, py = y;
            const double d_left = inside_distance(px, py, left_x, base_y, apex_x, apex_y);
            const double d_right = inside_distance(px, py, apex_x, apex_y, right_x, base_y);
            const double d_base = base_y - py;
            const double d_edge = std::min({d_left, d_right, d_base});

            double brightness;
            if (d_edge < 0.0) {
                // Outside the frame: a plain dark ground that no face shows.
                brightness = 0.2;
            } else if (d_edge < 1.5) {
                brightness = 0.0;  // the frame's outer groove
            } else if (d_edge < 7.5) {
                // A raised rim, lit from the upper left.
                const double rise = (d_edge - 1.5) / 6.0;
                if (d_edge == d_left)
                    brightness = 0.95 - 0.25 * rise;
                else if (d_edge == d_right)
                    brightness = 0.35 + 0.15 * rise;
                else
                    brightness = 0.55 + 0.1 * rise;
            } else if (d_edge < 9.0) {
                brightness = 0.15;  // the inner groove
            } else {
                const double dx = px - centre_x, dy = py - centre_y;
                const double r = std::hypot(dx, dy);
                const double angle = std::atan2(dy, dx);
                if (r < 13.0) {
                    // A polished boss: a dome lit from the upper left.
                    const double nz = std::sqrt(std::max(0.0, 1.0 - (r / 13.0) * (r / 13.0)));
                    const double nx = dx / 13.0, ny = dy / 13.0;
                    brightness = 0.25 + 0.75 * std::max(0.0, (-0.5 * nx - 0.5 * ny + 0.7 * nz));
                } else if (r < 15.0) {
                    brightness = 0.1;
                } else {
                    // Rays and rings engraved in a stone ground that grows
                    // lighter towards the apex.
                    const double rays = std::cos(9.0 * angle + pi / 2.0);
                    const double rings = std::cos(r * 2.0 * pi / 11.0);
                    const double ground = 0.45 + 0.25 * (1.0 - py / base_y);
                    brightness = ground + 0.12 * rays + 0.1 * rings +
                                 0.04 * std::sin(px * 0.9 + py * 0.45) * std::cos(py * 0.7 - px * 0.3);
                    if (std::fabs(rays) > 0.97) brightness += 0.18;  // the rays' bright ridges
                }
            }
            indices[y * art_size + x] = tone(brightness);
        }
    }
}

void pack_texture_picture(const std::uint8_t indices[art_size * art_size],
                          std::uint8_t packed[art_size * art_size / 2]) {
    constexpr int texels = art_size * art_size;
    // Image texel t of the stored picture is texel texels - 1 - t of the
    // upright one.
    for (int byte = 0; byte < texels / 2; ++byte) {
        const std::uint8_t left = indices[texels - 1 - 2 * byte];
        const std::uint8_t right = indices[texels - 2 - 2 * byte];
        packed[byte] = static_cast<std::uint8_t>(left << 4 | right);
    }
}
