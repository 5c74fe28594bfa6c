// The form logic's window, as a console program has it: the status is kept for the outcome (and
// shown on standard error with --verbose), the gauge is a progress bar on standard output when
// that is a terminal, the two fields hold the read-back's address and length, and the file
// dialog answers with the image named on the command line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/view.h"

namespace cli {

class ConsoleView final : public app::View {
  public:
    // `bar`: where the progress bar goes (null: no bar). `log`: where statuses are echoed (null:
    // nowhere).
    ConsoleView(std::FILE* bar, std::FILE* log) : bar_(bar), log_(log) {}

    void SetStatus(const std::string& text) override;
    void SetGaugeVisible(bool visible) override;
    void SetGaugeMax(std::int64_t maximum) override;
    void SetGaugeProgress(std::int64_t progress) override;
    std::int64_t GaugeProgress() const override { return progress_; }

    std::string Edit1Text() const override { return edit1_; }
    std::string Edit2Text() const override { return edit2_; }
    void SetEdit2Text(const std::string& text) override { edit2_ = text; }
    int ScrollPosition() const override { return scroll_; }
    void SetScrollPosition(int position) override { scroll_ = position; }

    void ShowMessage(const std::string& text) override { messages_.push_back(text); }
    void ShowError(const std::string& text) override { errors_.push_back(text); }
    std::optional<std::string> PickFile(const std::string&) override { return pick_; }
    void ProcessMessages() override {}
    void RequestEnd() override {}
    // "verifying": the bar is labelled with it on a line of its own (and, with --verbose, it is
    // echoed); empty ends the phase.
    void SetPhase(const std::string& phase) override;

    // --- Set up by the program ----------------------------------------------------------------
    void SetFields(std::string address, std::string length) {
        edit1_ = std::move(address);
        edit2_ = std::move(length);
    }
    void SetPickedFile(std::string path) { pick_ = std::move(path); }

    // --- What the job did ---------------------------------------------------------------------
    const std::string& Status() const { return status_; }
    const std::vector<std::string>& Errors() const { return errors_; }

    // The bar's text for `progress` of `maximum` in `width` cells: "[####----]  50%".
    static std::string BarText(std::int64_t progress, std::int64_t maximum, int width);

  private:
    void Draw();
    void EndBar();

    std::FILE* bar_;
    std::FILE* log_;
    std::string status_;
    std::string phase_;
    bool visible_ = false;
    bool drawn_ = false;    // a bar line is on the terminal and wants its line end
    int lastPercent_ = -1;  // redrawn only when the percentage changes
    std::int64_t max_ = 100;
    std::int64_t progress_ = 0;
    std::string edit1_;
    std::string edit2_;
    int scroll_ = 0;
    std::optional<std::string> pick_;
    std::vector<std::string> messages_;
    std::vector<std::string> errors_;
    std::vector<std::string> echoed_;
};

}  // namespace cli
