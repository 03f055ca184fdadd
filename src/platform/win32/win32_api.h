// <windows.h> without what the updater does not use. It defines macros named
// like the os:: constants (GENERIC_READ, NOPARITY, ...): include it after
// platform/os.h, and do not name those constants below it.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
