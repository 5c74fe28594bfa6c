// What the form logic needs of its window. The Win32 window implements it; tests use a
// recording view. Texts are single-byte strings, as the window shows them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace app {

class View {
  public:
    virtual ~View() = default;

    // Panel 0 of the status bar; each text replaces the one before.
    virtual void SetStatus(const std::string& text) = 0;

    // The progress gauge. It keeps its progress within 0..maximum and ignores a maximum of 0.
    virtual void SetGaugeVisible(bool visible) = 0;
    virtual void SetGaugeMax(std::int64_t maximum) = 0;
    virtual void SetGaugeProgress(std::int64_t progress) = 0;
    virtual std::int64_t GaugeProgress() const = 0;

    // The two edits (Edit1: address, Edit2: length) and the scroll bar (positions 0..5).
    virtual std::string Edit1Text() const = 0;
    virtual std::string Edit2Text() const = 0;
    virtual void SetEdit2Text(const std::string& text) = 0;
    virtual int ScrollPosition() const = 0;
    // Moves the scroll bar without raising its change event; the form logic raises it.
    virtual void SetScrollPosition(int position) = 0;

    // A modal message box with an OK button (the version message).
    virtual void ShowMessage(const std::string& text) = 0;
    // The error box: error icon, one OK button, the program's title as caption.
    virtual void ShowError(const std::string& text) = 0;

    // The file-open dialog, starting in `initialDir`, no filter; nullopt when cancelled.
    virtual std::optional<std::string> PickFile(const std::string& initialDir) = 0;

    // Handles all pending window events and returns.
    virtual void ProcessMessages() = 0;
    // Asks the event loop to end as soon as it runs.
    virtual void RequestEnd() = 0;

    // Status panel 1: notes about the program's situation (missing rights, waiting for another
    // Kelvane), never a command's outcome. A view without that panel ignores them.
    virtual void SetStatus1(const std::string& text) { (void)text; }
    // The command buttons: greyed while a command runs, when a click on them would be ignored.
    // A view without them ignores this.
    virtual void SetCommandsEnabled(bool enabled) { (void)enabled; }
    // Whether the end was requested (by RequestEnd or by the user closing the window).
    virtual bool EndRequested() const { return false; }
    // A phase of the job that has no status text of its own ("verifying"; empty when it ends).
    // Only the command-line program has such phases; a view without a place for them ignores it.
    virtual void SetPhase(const std::string& phase) { (void)phase; }
};

// The gauge around one job: shown from 0 up to `maximum`, then put away at 0.
inline void ShowGauge(View& view, std::int64_t maximum) {
    view.SetGaugeProgress(0);
    view.SetGaugeMax(maximum);
    view.SetGaugeVisible(true);
}

inline void HideGauge(View& view) {
    view.SetGaugeProgress(0);
    view.SetGaugeVisible(false);
}

}  // namespace app
