#include "devlink/trace.h"

#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

void Trace(const char* format, ...) {
    // The longest line (the CSW dump) is under 100 characters.
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    platform::Sys().OutputDebugString(line);
}
