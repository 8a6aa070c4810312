#include "tools/texture_art.h"

#include <algorithm>
#include <cmath>

namespace {

// The palette's entries from darkest to brightest.
constexpr std::uint8_t tone_ramp[16] = {0, 14, 6, 8, 2, 10, 4, 11, 1, 9, 5, 12, 3, 15, 7, 13};

constexpr double pi = 3.14159265358979323846;

// Corners at texel centres: apex (64, 0), bottom left (0, 127), bottom right (127, 127).
constexpr double apex_x = 64.0, apex_y = 0.0, left_x = 0.0, right_x = 127.0, base_y = 127.0;
// The emblem's centre: the triangle's incentre, roughly.
constexpr double centre_x = 64.0, centre_y = 86.0;

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

// The raised rim along the frame, lit from the upper left.
double rim(double d_edge, double d_left, double d_right) {
    const double rise = (d_edge - 1.5) / 6.0;
    if (d_edge == d_left) return 0.95 - 0.25 * rise;
    if (d_edge == d_right) return 0.35 + 0.15 * rise;
    return 0.55 + 0.1 * rise;
}

// The emblem: a polished boss in the middle of rays and rings engraved in a
// stone ground that grows lighter towards the apex.
double emblem(double px, double py) {
    const double dx = px - centre_x, dy = py - centre_y;
    const double r = std::hypot(dx, dy);
    if (r < 13.0) {
        const double nx = dx / 13.0, ny = dy / 13.0;
        const double nz = std::sqrt(std::max(0.0, 1.0 - nx * nx - ny * ny));
        return 0.25 + 0.75 * std::max(0.0, -0.5 * nx - 0.5 * ny + 0.7 * nz);
    }
    if (r < 15.0) return 0.1;
    const double rays = std::cos(9.0 * std::atan2(dy, dx) + pi / 2.0);
    const double rings = std::cos(r * 2.0 * pi / 11.0);
    const double ground = 0.45 + 0.25 * (1.0 - py / base_y);
    const double grain = 0.04 * std::sin(px * 0.9 + py * 0.45) * std::cos(py * 0.7 - px * 0.3);
    const double ridge = std::fabs(rays) > 0.97 ? 0.18 : 0.0;
    return ground + 0.12 * rays + 0.1 * rings + grain + ridge;
}

// The picture's brightness, 0 to 1, at a point in texels.
double brightness_at(double px, double py) {
    const double d_left = inside_distance(px, py, left_x, base_y, apex_x, apex_y);
    const double d_right = inside_distance(px, py, apex_x, apex_y, right_x, base_y);
    const double d_edge = std::min({d_left, d_right, base_y - py});
    if (d_edge < 0.0) return 0.2;  // outside the frame: a plain ground no face shows
    if (d_edge < 1.5) return 0.0;  // the outer groove
    if (d_edge < 7.5) return rim(d_edge, d_left, d_right);
    if (d_edge < 9.0) return 0.15;  // the inner groove
    return emblem(px, py);
}

}  // namespace

void draw_texture_picture(std::uint8_t indices[art_size * art_size]) {
    // Each texel averages 4 x 4 samples: the faces magnify the texture up to
    // ten times, and unsmoothed edges would show as staircases.
    constexpr int samples = 4;
    for (int y = 0; y < art_size; ++y) {
        for (int x = 0; x < art_size; ++x) {
            double sum = 0.0;
            for (int sy = 0; sy < samples; ++sy)
                for (int sx = 0; sx < samples; ++sx)
                    sum += brightness_at(x + (sx + 0.5) / samples - 0.5, y + (sy + 0.5) / samples - 0.5);
            indices[y * art_size + x] = tone(sum / (samples * samples));
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
