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

void ProgressLines::Progress(const std::string& phase, std::int64_t done, std::int64_t total) {
    if (total <= 0) {
        // A phase without a size ("connecting").
        if (phase != phase_) std::fprintf(out_, "%s%s\n", prefix_.c_str(), phase.c_str());
        phase_ = phase;
        tenth_ = -1;
        std::fflush(out_);
        return;
    }
    const auto tenth = static_cast<int>(total > 0 ? done * 10 / total : 10);
    if (phase == phase_ && tenth == tenth_) return;
    phase_ = phase;
    tenth_ = tenth;
    std::fprintf(out_, "%s%s %3d%% (%lld of %lld bytes)\n", prefix_.c_str(), phase.c_str(),
                 tenth * 10, static_cast<long long>(done), static_cast<long long>(total));
    std::fflush(out_);
}

void ConsoleView::SetStatus(const std::string& text) {
    // The update and the read-back set their texts for every block: each is echoed once.
    if (std::find(echoed_.begin(), echoed_.end(), text) == echoed_.end()) {
        echoed_.push_back(text);
        if (log_ != nullptr) {
            EndBar();
            std::fprintf(log_, "status: %s\n", text.c_str());
        }
        if (sink_ != nullptr) sink_->Status(text);
    }
    status_ = text;
}

void ConsoleView::SetPhase(const std::string& phase) {
    if (phase == phase_) return;
    EndBar();
    phase_ = phase;
    toldPercent_ = -1;
    if (log_ != nullptr && !phase.empty()) std::fprintf(log_, "phase: %s\n", phase.c_str());
}

void ConsoleView::SetGaugeVisible(bool visible) {
    visible_ = visible;
    if (visible) {
        Draw();
        Tell();
    } else {
        EndBar();
        toldPercent_ = -1;
    }
}

void ConsoleView::SetGaugeMax(std::int64_t maximum) {
    if (maximum == 0) return;
    max_ = maximum;
    progress_ = std::min(progress_, max_);
}

void ConsoleView::SetGaugeProgress(std::int64_t progress) {
    progress_ = std::clamp<std::int64_t>(progress, 0, max_);
    if (visible_) {
        Draw();
        Tell();
    }
}

void ConsoleView::Tell() {
    if (sink_ == nullptr) return;
    const auto percent = static_cast<int>(progress_ * 100 / (max_ > 0 ? max_ : 1));
    // Forward only: the gauge drops to 0 as it is put away, which is no progress.
    if (percent <= toldPercent_) return;
    toldPercent_ = percent;
    sink_->Progress(phase_.empty() ? gaugePhase_ : phase_, progress_, max_);
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
