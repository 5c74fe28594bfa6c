// An owned C stream, closed once when its owner lets go of it.
#pragma once

#include <cstdio>
#include <memory>

namespace app {

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f != nullptr) std::fclose(f);
    }
};

using CFile = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace app
