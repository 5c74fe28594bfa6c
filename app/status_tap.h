// A View in front of the window that remembers the last text of status panel 0, so the
// unattended modes can repeat it to their caller. Everything else passes through.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/view.h"

namespace app {

class StatusTap final : public View {
  public:
    explicit StatusTap(View& window) : window_(window) {}

    const std::string& LastStatus() const { return last_; }
    void ClearLastStatus() { last_.clear(); }

    void SetStatus(const std::string& text) override {
        last_ = text;
        window_.SetStatus(text);
    }
    void SetStatus1(const std::string& text) override { window_.SetStatus1(text); }
    void SetCommandsEnabled(bool enabled) override { window_.SetCommandsEnabled(enabled); }
    void SetGaugeVisible(bool visible) override { window_.SetGaugeVisible(visible); }
    void SetGaugeMax(std::int64_t maximum) override { window_.SetGaugeMax(maximum); }
    void SetGaugeProgress(std::int64_t progress) override { window_.SetGaugeProgress(progress); }
    std::int64_t GaugeProgress() const override { return window_.GaugeProgress(); }
    std::string Edit1Text() const override { return window_.Edit1Text(); }
    std::string Edit2Text() const override { return window_.Edit2Text(); }
    void SetEdit2Text(const std::string& text) override { window_.SetEdit2Text(text); }
    int ScrollPosition() const override { return window_.ScrollPosition(); }
    void SetScrollPosition(int position) override { window_.SetScrollPosition(position); }
    void ShowMessage(const std::string& text) override { window_.ShowMessage(text); }
    void ShowError(const std::string& text) override { window_.ShowError(text); }
    std::optional<std::string> PickFile(const std::string& initialDir) override {
        return window_.PickFile(initialDir);
    }
    void ProcessMessages() override { window_.ProcessMessages(); }
    void RequestEnd() override { window_.RequestEnd(); }
    bool EndRequested() const override { return window_.EndRequested(); }
    void SetPhase(const std::string& phase) override { window_.SetPhase(phase); }

  private:
    View& window_;
    std::string last_;
};

}  // namespace app
