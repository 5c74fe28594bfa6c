// The main window Form1: a plain Win32 window with the common controls, implementing the form
// logic's View and owning that logic (TForm1). Every handler runs through app::RunHandler, so no
// C++ exception crosses a Win32 callback.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "app/unit1.h"
#include "app/view.h"
#include "app/win32/gauge.h"
#include "app/win32/gdi_font.h"
#include "app/win32/layout.h"

namespace app::win32 {

class MainWindow final : public View {
  public:
    explicit MainWindow(HINSTANCE instance);
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // Creates the window and its controls, hidden. Throws std::runtime_error when the system
    // refuses a window or a control.
    void Create();
    // The creation handler, before the window is shown; an error escaping it is shown in the
    // error box and creation goes on.
    void RunFormCreate(const char* commandLine);
    void Show();
    // Handles events until the window is closed or the end is requested.
    void RunMessageLoop();

    HWND Hwnd() const { return hwnd_; }
    HWND Control(ControlId id) const;
    int Dpi() const { return dpi_; }
    bool EndRequested() const override { return endRequested_; }
    TForm1& Form() { return form_; }

    // View
    void SetStatus(const std::string& text) override;
    void SetGaugeVisible(bool visible) override;
    void SetGaugeMax(std::int64_t maximum) override;
    void SetGaugeProgress(std::int64_t progress) override;
    std::int64_t GaugeProgress() const override;
    std::string Edit1Text() const override;
    std::string Edit2Text() const override;
    void SetEdit2Text(const std::string& text) override;
    int ScrollPosition() const override;
    void SetScrollPosition(int position) override;
    void ShowMessage(const std::string& text) override;
    void ShowError(const std::string& text) override;
    std::optional<std::string> PickFile(const std::string& initialDir) override;
    void ProcessMessages() override;
    void RequestEnd() override;
    void SetStatus1(const std::string& text) override;
    void SetCommandsEnabled(bool enabled) override;

  private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    void OnCommand(int id, int code, HWND control);
    void OnHScroll(int code, HWND control);
    void OnDpiChanged(int dpi, const RECT* suggested);

    void CreateControls();
    // One control of the layout; null when the system refuses it.
    HWND CreateControl(const ControlSpec& item);
    // The scroll bar's range 0..5, at 0.
    static void InitScrollBar(HWND scrollBar);
    // Font, control places and status panels for `dpi`; the window's own size too.
    void ApplyDpi(int dpi);
    void ResizeToClient();
    void Dispatch(MSG& msg);
    std::string TextOf(ControlId id) const;

    HINSTANCE instance_;
    HWND hwnd_ = nullptr;
    std::array<HWND, kControls.size()> controls_{};
    HWND lastFocus_ = nullptr;
    HWND commandFocus_ = nullptr;  // the command button that had the focus when they were greyed
    GdiFont font_;
    GaugeState gauge_;
    int dpi_ = kBaseDpi;
    bool endRequested_ = false;
    TForm1 form_;
};

}  // namespace app::win32
