#include "tools/tool_args.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string in_quotes(std::string_view text) {
    std::string quoted(1, '\'');
    quoted.append(text);
    quoted += '\'';
    return quoted;
}

}  // namespace

ScreenSize parse_dimensions(std::string_view text, std::string_view option) {
    const auto cross = text.find('x');
    std::int64_t width = 0, height = 0;
    if (cross == std::string_view::npos || !parse_decimal(text.substr(0, cross), &width) ||
        !parse_decimal(text.substr(cross + 1), &height))
        throw ArgumentError(std::string(option) + " wants WIDTHxHEIGHT, such as 1910x1070, not " + in_quotes(text));
    // Beyond this no size is valid anyway; the bound keeps the values in an int.
    constexpr std::int64_t beyond_any_size = 1'000'000;
    return {static_cast<int>(std::min(width, beyond_any_size)), static_cast<int>(std::min(height, beyond_any_size))};
}

FrameSize parse_frame_size(std::string_view text, std::string_view option) {
    const ScreenSize size = parse_dimensions(text, option);
    const int most = largest_frame_side;
    if (size.width < 2 || size.height < 2 || size.width > most || size.height > most)
        throw ArgumentError(std::string(option) + " " + in_quotes(text) +
                            " is out of range: each side must be from 2 to " + std::to_string(most));
    if (size.width % 2 != 0 || size.height % 2 != 0)
        throw ArgumentError(std::string(option) + " " + in_quotes(text) +
                            " has an odd side: width and height must be even");
    if (!frame_size_is_valid(size.width, size.height))
        throw ArgumentError(std::string(option) + " " + in_quotes(text) + " is not a valid frame size");
    return {static_cast<std::uint16_t>(size.width), static_cast<std::uint16_t>(size.height)};
}

std::vector<FrameSize> parse_frame_sizes(std::string_view text, std::string_view option) {
    std::vector<FrameSize> sizes;
    std::string_view rest = text;
    for (;;) {
        const auto comma = rest.find(',');
        const std::string_view item = rest.substr(0, comma);
        if (item.empty())
            throw ArgumentError(std::string(option) + " " + in_quotes(text) +
                                " has an empty entry: give sizes such as 320x240,640x480");
        const FrameSize size = parse_frame_size(item, option);
        for (const FrameSize& earlier : sizes)
            if (earlier.width == size.width && earlier.height == size.height)
                throw ArgumentError(std::string(option) + " names " + in_quotes(item) + " twice");
        if (sizes.size() == most_frame_sizes)
            throw ArgumentError(std::string(option) + " names more than " + std::to_string(most_frame_sizes) +
                                " sizes");
        sizes.push_back(size);
        if (comma == std::string_view::npos) return sizes;
        rest = rest.substr(comma + 1);
    }
}

FrameSize parse_screen_size(std::string_view text, std::string_view option) {
    const ScreenSize screen = parse_dimensions(text, option);
    FrameSize size{};
    if (!frame_size_for_screen(screen.width, screen.height, &size))
        throw ArgumentError(std::string(option) + " " + in_quotes(text) +
                            " gives no valid frame (a frame side is the screen side less 10, "
                            "rounded down to even, from 2 to " +
                            std::to_string(largest_frame_side) + ")");
    return size;
}

FrameList FrameList::parse(std::string_view text, std::string_view option) {
    if (text.empty()) throw ArgumentError(std::string(option) + " is empty: name at least one frame");
    FrameList list;
    std::string_view rest = text;
    while (true) {
        const auto comma = rest.find(',');
        const std::string_view item = rest.substr(0, comma);
        const auto dash = item.find('-');
        std::int64_t first = 0, last = 0;
        const bool well_formed = dash == std::string_view::npos ? parse_decimal(item, &first) && (last = first, true)
                                                                : parse_decimal(item.substr(0, dash), &first) &&
                                                                      parse_decimal(item.substr(dash + 1), &last);
        if (!well_formed)
            throw ArgumentError(std::string(option) + " wants frame numbers like 0-99 or 5,300,2386; " +
                                in_quotes(item.empty() ? std::string_view("(empty item)") : item) + " is not one");
        if (first > last) throw ArgumentError(std::string(option) + " range " + in_quotes(item) + " runs backwards");
        if (last > largest_frame_number)
            throw ArgumentError(std::string(option) + " " + in_quotes(item) + " goes past the largest frame number " +
                                std::to_string(largest_frame_number));
        list.ranges_.push_back({static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(last)});
        if (comma == std::string_view::npos) break;
        rest = rest.substr(comma + 1);
    }
    std::sort(list.ranges_.begin(), list.ranges_.end(),
              [](const FrameRange& a, const FrameRange& b) { return a.first < b.first; });
    std::vector<FrameRange> merged;
    for (const FrameRange& range : list.ranges_) {
        if (!merged.empty() && range.first <= merged.back().last + 1)
            merged.back().last = std::max(merged.back().last, range.last);
        else
            merged.push_back(range);
    }
    list.ranges_ = std::move(merged);
    return list;
}

bool FrameList::contains(std::uint32_t frame) const {
    auto after = std::upper_bound(ranges_.begin(), ranges_.end(), frame,
                                  [](std::uint32_t f, const FrameRange& r) { return f < r.first; });
    return after != ranges_.begin() && frame <= std::prev(after)->last;
}

std::uint64_t FrameList::frame_count() const {
    std::uint64_t count = 0;
    for (const FrameRange& range : ranges_) count += std::uint64_t{range.last} - range.first + 1;
    return count;
}

FramePattern FramePattern::parse(std::string_view text, std::string_view option) {
    FramePattern pattern;
    std::string literal;
    int conversions = 0;
    auto fail = [&](const std::string& why) {
        return ArgumentError(std::string(option) + " " + in_quotes(text) + " " + why);
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            literal += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '%') {
            literal += '%';
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        while (j < text.size() && std::string_view("0-+ ").find(text[j]) != std::string_view::npos) ++j;
        const std::size_t width_start = j;
        while (j < text.size() && text[j] >= '0' && text[j] <= '9') ++j;
        if (j - width_start > 2) throw fail("asks for a frame number wider than 99 characters");
        if (j >= text.size() || text[j] != 'd')
            throw fail("may hold only %d (with flags and a width, such as %05d) and %%");
        if (++conversions > 1) throw fail("holds more than one %d");
        pattern.prefix_ = literal;
        literal.clear();
        pattern.conversion_ = std::string(text.substr(i, j + 1 - i));
        i = j;
    }
    if (conversions == 0) throw fail("holds no %d for the frame number");
    pattern.suffix_ = literal;
    return pattern;
}

std::string FramePattern::name_for(std::uint32_t frame) const {
    // The conversion was checked to be one %d with at most two width digits.
    char number[128];
    std::snprintf(number, sizeof number, conversion_.c_str(), static_cast<int>(frame));
    return prefix_ + number + suffix_;
}
