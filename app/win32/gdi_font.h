// Owner of one GDI font: deleted exactly once, when replaced or when the owner goes.
#pragma once

#include <windows.h>

#include <utility>

namespace app::win32 {

class GdiFont {
  public:
    GdiFont() = default;
    explicit GdiFont(HFONT font) : font_(font) {}
    GdiFont(const GdiFont&) = delete;
    GdiFont& operator=(const GdiFont&) = delete;
    GdiFont(GdiFont&& other) noexcept : font_(std::exchange(other.font_, nullptr)) {}
    GdiFont& operator=(GdiFont&& other) noexcept {
        if (this != &other) reset(std::exchange(other.font_, nullptr));
        return *this;
    }
    ~GdiFont() { reset(); }

    HFONT get() const { return font_; }
    void reset(HFONT font = nullptr) {
        if (font_ == font) return;
        HFONT old = std::exchange(font_, font);
        if (old != nullptr) ::DeleteObject(old);
    }

  private:
    HFONT font_ = nullptr;
};

}  // namespace app::win32
