#include "app/render_progress.h"

#include <algorithm>
#include <cmath>
#include <ostream>

namespace {

constexpr int kBarWidth = 20;
constexpr auto kQuietStart = std::chrono::seconds(1);

}  // namespace

std::string progressLine(double share, std::chrono::seconds left) {
    share = std::clamp(share, 0.0, 1.0);
    const int filled = static_cast<int>(share * kBarWidth);
    const long long seconds = std::max<long long>(0, left.count());
    std::string line = "Запись: [" + std::string(static_cast<size_t>(filled), '#') +
                       std::string(static_cast<size_t>(kBarWidth - filled), ' ') + "] ";
    const std::string percent = std::to_string(static_cast<int>(share * 100));
    const std::string secondsPart = std::to_string(100 + seconds % 60).substr(1);
    line += std::string(3 - percent.size(), ' ') + percent + " %, осталось " +
            std::to_string(seconds / 60) + ":" + secondsPart;
    return line;
}

RenderProgress::RenderProgress(std::ostream& err, bool shown, uint64_t totalFrames,
                               Clock::time_point start)
    : err(err), shown(shown), totalFrames(totalFrames), start(start) {}

RenderProgress::~RenderProgress() {
    if (drawnWidth > 0) {
        err << '\r' << std::string(drawnWidth, ' ') << '\r' << std::flush;
    }
}

void RenderProgress::update(uint64_t framesDone, Clock::time_point now) {
    const auto elapsed = now - start;
    if (!shown || totalFrames == 0 || elapsed < kQuietStart) {
        return;
    }
    const double share = std::min(1.0, static_cast<double>(framesDone) / totalFrames);
    const double secondsLeft =
        share > 0.0 ? std::chrono::duration<double>(elapsed).count() * (1.0 - share) / share : 0.0;
    const std::string line =
        progressLine(share, std::chrono::seconds(std::llround(std::ceil(secondsLeft))));
    err << '\r' << line << std::flush;
    // Columns, not bytes: a UTF-8 continuation byte takes none.
    const auto columns = static_cast<size_t>(std::count_if(line.begin(), line.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
    drawnWidth = std::max(drawnWidth, columns);
}
