#include "ProgressLine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace kilnware::cli {

namespace {
constexpr double kMegabyte = 1024.0 * 1024.0;  // as the layout's size counts them

std::string formatted(const char* format, double a, double b = 0) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, a, b);
    return buffer;
}
}  // namespace

std::string progressLine(const Progress& progress, std::size_t width, bool bar) {
    const double fraction = std::clamp(progress.fraction, 0.0, 1.0);
    std::string line = formatted("%3.0f%%", std::floor(fraction * 100)) + " " + progress.state;
    // What may go, the most needed first, each with its place in the line; the bar's text is
    // its narrowest.
    constexpr std::size_t kNarrowestBar = 10, kWidestBar = 30;
    struct Extra {
        std::string text;
        int place;
    };
    std::vector<Extra> extras;
    if (progress.secondsLeft > 0) {
        const double seconds = std::round(progress.secondsLeft);
        extras.push_back(
            {formatted("%.0f:%02.0f left", std::floor(seconds / 60), std::fmod(seconds, 60)), 3});
    }
    if (bar) {
        extras.push_back({std::string(kNarrowestBar + 1, '-'), 0});
    }
    if (progress.bytesTotal > 0) {
        const auto done = static_cast<double>(progress.bytesDone);
        const auto total = static_cast<double>(progress.bytesTotal);
        extras.push_back({total < 1e9
                              ? formatted("%.0f of %.0f MB", done / kMegabyte, total / kMegabyte)
                              : formatted("%.1f of %.1f GB", done / 1e9, total / 1e9),
                          1});
    }
    if (progress.speed > 0) {
        extras.push_back({formatted("%.1fx", progress.speed), 2});
    }
    // A line as wide as the terminal would wrap on some terminals: one column stays free.
    const std::size_t room = width > 1 ? width - 1 : 1;
    std::size_t length = line.size();
    std::vector<Extra> kept;
    for (const Extra& extra : extras) {
        if (length + 2 + extra.text.size() <= room) {
            length += 2 + extra.text.size();
            kept.push_back(extra);
        }
    }
    std::sort(kept.begin(), kept.end(),
              [](const Extra& a, const Extra& b) { return a.place < b.place; });
    std::string shown;
    for (const Extra& extra : kept) {
        if (extra.place == 0) {
            // "[###---] ": as wide as the room left allows.
            const std::size_t cells = std::min(kWidestBar, kNarrowestBar + room - length);
            const auto filled = static_cast<std::size_t>(fraction * static_cast<double>(cells));
            shown = "[" + std::string(filled, '#') + std::string(cells - filled, '-') + "] ";
        }
    }
    shown += line;
    for (const Extra& extra : kept) {
        if (extra.place != 0) {
            shown += "  " + extra.text;
        }
    }
    return shown.substr(0, room);
}

}  // namespace kilnware::cli
