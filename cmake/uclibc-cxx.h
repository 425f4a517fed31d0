// Read before every C++ source of a uClibc build with a compiler made for another C library
// (cmake/mips-linux-uclibc.cmake): that compiler's C++ headers describe the other library.
// Here they are told what uClibc-ng, as configured in cmake/uclibc-ng.config, lacks, as the C++
// library's own configure step would have found it. Each line only stops a C++ header from
// naming a C function or type that is not there; none changes what our code calls.
#pragma once

// The C library's headers in use are uClibc's, not the compiler's own library's.
#include <features.h>
#ifndef __UCLIBC__
#error "uClibc's headers are not the first C library headers on the include path"
#endif

#include <bits/c++config.h>

// No C++ library is linked: std::string's members are compiled into the programs (as the size
// release does with _GLIBCXX_ASSERTIONS) instead of being expected from libstdc++.
#undef _GLIBCXX_EXTERN_TEMPLATE
#define _GLIBCXX_EXTERN_TEMPLATE -1

// Wide characters are off (UCLIBC_HAS_WCHAR): no mbstate_t, mblen, wcstombs, ... and no
// std::wstring.
#undef _GLIBCXX_USE_WCHAR_T
#undef _GLIBCXX_HAVE_WCHAR_H
#undef _GLIBCXX_HAVE_MBSTATE_T
#undef _GLIBCXX_USE_C99_WCHAR

// uClibc-ng has neither quick_exit nor at_quick_exit, and no tmpnam (a SUSv4 legacy call).
#undef _GLIBCXX_HAVE_AT_QUICK_EXIT
#undef _GLIBCXX_HAVE_QUICK_EXIT
#undef _GLIBCXX_USE_TMPNAM

// Locales are off (UCLIBC_HAS_LOCALE). The locale-dependent parts of the C++ library (streams,
// facets) need this type's name to compile; nothing of them can be linked, as there is no C++
// library to take them from.
typedef struct __uclibc_no_locale *__locale_t;
