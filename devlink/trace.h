// Trace lines of the device link: printf-formatted into a stack buffer and handed to the
// platform's debug output, one call per line, with no allocation.
#pragma once

#if defined(__GNUC__)
#define KV_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KV_PRINTF_LIKE(fmt, args)
#endif

void Trace(const char* format, ...) KV_PRINTF_LIKE(1, 2);
