#include "cli/console_view.h"

#include <algorithm>

namespace cli {
namespace {

constexpr int kBarCells = 40;

}  // namespace

std::string ConsoleView::BarText(std::int64_t progress, std::int64_t maximum, int width) {
    if (maximum <= 0) maximum = 1;
    progress = std::clamp<std::int64_t>(progress, 0, maximum);
    const auto filled = static_cast<int>(progress * width / maximum);
    const auto percent = static_cast<int>(progress * 100 / maximum);
    std::string text = "[";
    text.append(static_cast<std::size_t>(filled), '#');
    text.append(static_cast<std::size_t>(width - filled), '-');
    char tail[16];
    std::snprintf(tail, sizeof tail, "] %3d%%", percent);
    return text + tail;
}

void ConsoleView::SetStatus(const std::string& text) {
    // The update and the read-back set their texts for every block: each is echoed once.
    if (log_ != nullptr && std::find(echoed_.begin(), echoed_.end(), text) == echoed_.end()) {
        echoed_.push_back(text);
        EndBar();
        std::fprintf(log_, "status: %s\n", text.c_str());
    }
    status_ = text;
}

void ConsoleView::SetPhase(const std::string& phase) {
    if (phase == phase_) return;
    EndBar();
    phase_ = phase;
    if (log_ != nullptr && !phase.empty()) std::fprintf(log_, "phase: %s\n", phase.c_str());
}

void ConsoleView::SetGaugeVisible(bool visible) {
    visible_ = visible;
    if (visible) {
        Draw();
    } else {
        EndBar();
    }
}

void ConsoleView::SetGaugeMax(std::int64_t maximum) {
    if (maximum == 0) return;
    max_ = maximum;
    progress_ = std::min(progress_, max_);
}

void ConsoleView::SetGaugeProgress(std::int64_t progress) {
    progress_ = std::clamp<std::int64_t>(progress, 0, max_);
    if (visible_) Draw();
}

void ConsoleView::Draw() {
    if (bar_ == nullptr) return;
    const auto percent = static_cast<int>(progress_ * 100 / (max_ > 0 ? max_ : 1));
    if (drawn_ && percent == lastPercent_) return;
    lastPercent_ = percent;
    std::fprintf(bar_, "\r%s%s%s", phase_.c_str(), phase_.empty() ? "" : " ",
                 BarText(progress_, max_, kBarCells).c_str());
    std::fflush(bar_);
    drawn_ = true;
}

void ConsoleView::EndBar() {
    if (bar_ == nullptr || !drawn_) return;
    std::fputc('\n', bar_);
    std::fflush(bar_);
    drawn_ = false;
    lastPercent_ = -1;
}

}  // namespace cli
