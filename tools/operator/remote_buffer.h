// Memory inside the program under test, for the common-control messages whose replies come back
// through a pointer (the system copies those only within one process).
#pragma once

#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace op {

class RemoteBuffer {
  public:
    RemoteBuffer(HANDLE process, std::size_t size);
    RemoteBuffer(const RemoteBuffer&) = delete;
    RemoteBuffer& operator=(const RemoteBuffer&) = delete;
    ~RemoteBuffer();

    bool valid() const { return address_ != nullptr; }
    LPARAM address() const { return reinterpret_cast<LPARAM>(address_); }
    std::size_t size() const { return size_; }
    bool Clear();
    bool Read(void* to, std::size_t bytes) const;

  private:
    HANDLE process_;
    void* address_;
    std::size_t size_;
};

// Panel `part` of a status bar in the program `process`; nothing when the program does not
// answer within `timeoutMs`.
std::optional<std::string> StatusPanelText(HANDLE process, HWND status, int part,
                                           UINT timeoutMs = 2000);

// The widths of the status bar's panels.
std::optional<std::vector<int>> StatusPanelWidths(HANDLE process, HWND status,
                                                  UINT timeoutMs = 2000);

}  // namespace op
