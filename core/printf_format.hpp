#pragma once
// QM5_PRINTF_FORMAT(f, a) before a printf-like function lets the compiler
// check its format string (parameter f) against its arguments (from
// parameter a). With MinGW the C++ library formats through MinGW's own ISO
// printf (%zu, %llu), not through the system's msvcrt one that the plain
// "printf" archetype describes there, so the check must be gnu_printf.

#include <cstdio>

#if defined(__MINGW32__) && defined(__USE_MINGW_ANSI_STDIO) && __USE_MINGW_ANSI_STDIO
#define QM5_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#define QM5_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define QM5_PRINTF_FORMAT(f, a)
#endif
