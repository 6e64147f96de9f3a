// <windows.h> for the Windows test programs, with the same trimming the
// program's own platform file gets. These programs drive the real platform
// directly: they test the installer from outside, as a user would run it.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

static_assert(sizeof(wchar_t) == 2, "Windows text is UTF-16");
