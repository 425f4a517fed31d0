// The rest of the C++ runtime for a target without any C++ library (the uClibc build with a
// compiler made for another C library): with cmake/lean_runtime.cpp, everything the programs
// and shared objects need, so that no part of the other library's libstdc++ is linked.
//
// The programs are single threaded and built without exceptions and RTTI; a C++ feature that
// needs more (typeinfo, exception objects, iostreams) fails to link, which is the intent.
#include <new>

#include <stdio.h>
#include <stdlib.h>

// Argument of the nothrow forms of new.
namespace std {
extern const nothrow_t nothrow{};
}

// Function-local statics. Single threaded: a guard is a flag in its first byte, set once the
// initialisation is done.
extern "C" int __cxa_guard_acquire(long long *guard)
{
    return *reinterpret_cast<char *>(guard) == 0;
}

extern "C" void __cxa_guard_release(long long *guard)
{
    *reinterpret_cast<char *>(guard) = 1;
}

extern "C" void __cxa_guard_abort(long long *) {}

// A pure virtual function called through a half-built or half-destroyed object.
extern "C" void __cxa_pure_virtual()
{
    fputs("fatal: pure virtual function called\n", stderr);
    abort();
}

// Failed precondition checks of _GLIBCXX_ASSERTIONS (the size release turns them on).
namespace std {
void __glibcxx_assert_fail(const char *file, int line, const char *function,
                           const char *condition) noexcept
{
    fprintf(stderr, "fatal: %s:%d: %s: assertion '%s' failed\n", file, line, function, condition);
    abort();
}
} // namespace std
