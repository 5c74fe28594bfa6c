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

// Told where a job is, for output other than the bar: the phase ("writing", "reading",
// "verifying", "backing up") with its bytes done and total, once per percent, and each status
// text once.
class ProgressSink {
  public:
    virtual ~ProgressSink() = default;
    virtual void Progress(const std::string& phase, std::int64_t done, std::int64_t total) = 0;
    virtual void Status(const std::string& text) = 0;
};

// kelvane-cli's progress when standard output is no terminal: a line on standard error at each
// tenth of a phase and at each change of phase, so that the log of a scripted run shows where a
// job stopped. `prefix` begins every line.
class ProgressLines final : public ProgressSink {
  public:
    ProgressLines(std::FILE* out, std::string prefix) : out_(out), prefix_(std::move(prefix)) {}
    void Progress(const std::string& phase, std::int64_t done, std::int64_t total) override;
    void Status(const std::string&) override {}

  private:
    std::FILE* out_;
    std::string prefix_;
    std::string phase_;
    int tenth_ = -1;
};

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
    // The phase that a shown gauge stands for while no other was set ("writing" for an update).
    void SetGaugePhase(std::string phase) { gaugePhase_ = std::move(phase); }
    void SetSink(ProgressSink* sink) { sink_ = sink; }
    ProgressSink* Sink() const { return sink_; }

    // --- What the job did ---------------------------------------------------------------------
    const std::string& Status() const { return status_; }
    const std::vector<std::string>& Errors() const { return errors_; }

    // The bar's text for `progress` of `maximum` in `width` cells: "[####----]  50%".
    static std::string BarText(std::int64_t progress, std::int64_t maximum, int width);

  private:
    void Draw();
    void EndBar();
    void Tell();

    std::FILE* bar_;
    std::FILE* log_;
    std::string status_;
    std::string phase_;
    std::string gaugePhase_;
    ProgressSink* sink_ = nullptr;
    int toldPercent_ = -1;  // the sink hears each percent once
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
