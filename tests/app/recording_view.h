// A View that records what the form logic does to its window, in order, and answers the file
// dialog from a script. The gauge keeps its progress within range and ignores a maximum of 0, as
// the real one does.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/view.h"

namespace apptest {

class RecordingView : public app::View {
  public:
    void SetStatus(const std::string& text) override {
        statuses.push_back(text);
        log.push_back("status:" + text);
    }

    void SetGaugeVisible(bool visible) override {
        gaugeVisible = visible;
        log.push_back(visible ? "gauge:show" : "gauge:hide");
    }
    void SetGaugeMax(std::int64_t maximum) override {
        log.push_back("gauge:max " + std::to_string(maximum));
        if (maximum == 0) return;
        gaugeMax = maximum;
        gaugeProgress = std::min(gaugeProgress, gaugeMax);
    }
    void SetGaugeProgress(std::int64_t progress) override {
        gaugeProgress = std::clamp<std::int64_t>(progress, 0, gaugeMax);
        log.push_back("gauge:progress " + std::to_string(gaugeProgress));
        progressHistory.push_back(gaugeProgress);
    }
    std::int64_t GaugeProgress() const override { return gaugeProgress; }

    std::string Edit1Text() const override { return edit1; }
    std::string Edit2Text() const override { return edit2; }
    void SetEdit2Text(const std::string& text) override {
        edit2 = text;
        log.push_back("edit2:" + text);
    }
    int ScrollPosition() const override { return scroll; }
    void SetScrollPosition(int position) override {
        scroll = position;
        log.push_back("scroll:" + std::to_string(position));
    }

    void ShowMessage(const std::string& text) override {
        messages.push_back(text);
        log.push_back("message:" + text);
        if (onShowMessage) onShowMessage();
    }
    void ShowError(const std::string& text) override {
        errors.push_back(text);
        log.push_back("error:" + text);
    }

    std::optional<std::string> PickFile(const std::string& initialDir) override {
        pickDirs.push_back(initialDir);
        log.push_back("pick:" + initialDir);
        if (pickAnswers.empty()) return std::nullopt;
        std::optional<std::string> answer = pickAnswers.front();
        pickAnswers.pop_front();
        return answer;
    }

    void ProcessMessages() override {
        ++processMessagesCalls;
        if (onProcessMessages) onProcessMessages();
    }
    void RequestEnd() override {
        ++endRequests;
        log.push_back("end");
    }
    void SetStatus1(const std::string& text) override {
        panel1.push_back(text);
        log.push_back("panel1:" + text);
    }
    void SetCommandsEnabled(bool enabled) override { commandsEnabled = enabled; }
    bool EndRequested() const override { return endRequested; }

    // Entries of `log` that start with `prefix`.
    std::vector<std::string> LogOf(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& entry : log)
            if (entry.rfind(prefix, 0) == 0) out.push_back(entry);
        return out;
    }
    std::string LastStatus() const { return statuses.empty() ? std::string() : statuses.back(); }

    // Window state, as at start.
    std::string edit1 = "0";
    std::string edit2 = "2097152";
    int scroll = 0;
    bool gaugeVisible = false;
    bool commandsEnabled = true;
    std::int64_t gaugeMax = 100;
    std::int64_t gaugeProgress = 0;

    // What happened.
    std::vector<std::string> log;
    std::vector<std::string> statuses;
    std::vector<std::int64_t> progressHistory;
    std::vector<std::string> messages;
    std::vector<std::string> errors;
    std::vector<std::string> pickDirs;
    int processMessagesCalls = 0;
    int endRequests = 0;
    std::vector<std::string> panel1;  // texts of status panel 1, in order

    // Script.
    std::deque<std::optional<std::string>> pickAnswers;
    std::function<void()> onProcessMessages;
    std::function<void()> onShowMessage;  // runs while the modal box would be up
    bool endRequested = false;            // what EndRequested answers (the user closed it)
};

}  // namespace apptest
