// <windows.h> as MSVC's build of this project would see it, for msvc_check.py: the Windows SDK defines
// the macros min and max unless NOMINMAX is defined, which mingw-w64's libstdc++ always does itself, so a
// cross build never shows what they break. TARNEL_BUILD_NOMINMAX tells whether the build defines NOMINMAX.
#pragma once
#include_next <windows.h>

#if !TARNEL_BUILD_NOMINMAX
#ifdef __cplusplus
// MSVC's standard headers shield themselves from the macros, libstdc++'s do not: all of them come first.
#include <bits/stdc++.h>
#endif
#undef min
#undef max
#define max(a, b) (((a) > (b)) ? (a) : (b))
#define min(a, b) (((a) < (b)) ? (a) : (b))
#endif
