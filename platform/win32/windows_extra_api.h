// The multimedia timer and security descriptor headers, which need <windows.h> before them.
#pragma once

#include "platform/win32/windows_api.h"

// clang-format off
#include <mmsystem.h>
#include <sddl.h>
// clang-format on
