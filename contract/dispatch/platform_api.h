/* The platform's names and types for raising and dispatching: its own
 * header on win32, the layer's on linux-i386. */
#ifndef CONTRACT_DISPATCH_PLATFORM_API_H
#define CONTRACT_DISPATCH_PLATFORM_API_H

#ifdef _WIN32
#include <windows.h>
// ntdll's, which the platform's headers leave out.
extern "C" __declspec(dllimport) void WINAPI RtlRaiseException(EXCEPTION_RECORD *record);
#else
#include "seh_platform.h"
#endif

#endif
