// <windows.h> for code that also uses the OS seam. Several seam calls share their names with the
// character-set macros of <windows.h> (CreateEvent -> CreateEventA, ...), which would silently
// rename the seam's methods in any file that includes both. Include this header instead of
// <windows.h>; it removes those macros, so code names the A functions explicitly.
#pragma once

#include <windows.h>

#undef CreateEvent
#undef OpenEvent
#undef OutputDebugString
#undef WritePrivateProfileString
#undef GetModuleFileName
#undef GetSystemDirectory
#undef GetLogicalDriveStrings
#undef GetDriveType
#undef CreateFile
#undef GetTempFileName
#undef MoveFileEx
#undef DeleteFile
#undef GetFileAttributes
#undef CreateMutex
