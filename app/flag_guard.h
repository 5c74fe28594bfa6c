// Sets a flag for the length of a scope and clears it however the scope ends.
#pragma once

namespace app {

class FlagGuard {
  public:
    explicit FlagGuard(bool& flag) : flag_(flag) { flag_ = true; }
    FlagGuard(const FlagGuard&) = delete;
    FlagGuard& operator=(const FlagGuard&) = delete;
    ~FlagGuard() { flag_ = false; }

  private:
    bool& flag_;
};

}  // namespace app
