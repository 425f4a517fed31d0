// C++ runtime pieces for the size-first release build, so that no exception machinery is linked.
//
// Built only by cmake/release.cmake. With -fno-exceptions our own code never throws, but the
// parts of libstdc++ it calls do: the library's nothrow operator new catches bad_alloc, and
// std::string's out-of-line members report misuse through std::__throw_*(). Linked statically,
// either one drags in the unwinder, the exception runtime and the demangling terminate handler
// (about 110 KB per program on MIPS, three times the size of ferrod itself).
//
// Here the allocation functions (which the language lets a program replace) call malloc and
// free, and the __throw_* helpers print what went wrong and abort, which is what an uncaught
// exception would have ended in. The set is every function of libstdc++'s functexcept.o, so
// that archive member is never needed; should a future compiler add one we miss, the link
// fails with a duplicate definition instead of quietly growing.
#include <new>

#include <stdio.h>
#include <stdlib.h>

namespace {

[[noreturn]] void fail(const char *what, const char *detail)
{
    fprintf(stderr, "fatal: %s%s%s\n", what, detail ? ": " : "", detail ? detail : "");
    abort();
}

void *allocate(size_t n) noexcept
{
    return malloc(n ? n : 1);
}

} // namespace

// Referenced by the release link flags (--require-defined), so this object is always on the
// link line before libstdc++ is searched, whatever the program happens to call first.
extern "C" void ferro_lean_runtime() {}

void *operator new(size_t n)
{
    void *p = allocate(n);
    if (!p)
        fail("out of memory", nullptr);
    return p;
}

void *operator new[](size_t n)
{
    return operator new(n);
}

void *operator new(size_t n, const std::nothrow_t &) noexcept
{
    return allocate(n);
}

void *operator new[](size_t n, const std::nothrow_t &) noexcept
{
    return allocate(n);
}

void operator delete(void *p) noexcept
{
    free(p);
}

void operator delete[](void *p) noexcept
{
    free(p);
}

void operator delete(void *p, size_t) noexcept
{
    free(p);
}

void operator delete[](void *p, size_t) noexcept
{
    free(p);
}

void operator delete(void *p, const std::nothrow_t &) noexcept
{
    free(p);
}

void operator delete[](void *p, const std::nothrow_t &) noexcept
{
    free(p);
}

namespace std {

void __throw_bad_exception() { fail("bad_exception", nullptr); }
void __throw_bad_alloc() { fail("out of memory", nullptr); }
void __throw_bad_array_new_length() { fail("bad array new length", nullptr); }
void __throw_bad_cast() { fail("bad_cast", nullptr); }
void __throw_bad_typeid() { fail("bad_typeid", nullptr); }
void __throw_logic_error(const char *s) { fail("logic_error", s); }
void __throw_domain_error(const char *s) { fail("domain_error", s); }
void __throw_invalid_argument(const char *s) { fail("invalid_argument", s); }
void __throw_length_error(const char *s) { fail("length_error", s); }
void __throw_out_of_range(const char *s) { fail("out_of_range", s); }
void __throw_runtime_error(const char *s) { fail("runtime_error", s); }
void __throw_range_error(const char *s) { fail("range_error", s); }
void __throw_overflow_error(const char *s) { fail("overflow_error", s); }
void __throw_underflow_error(const char *s) { fail("underflow_error", s); }

void __throw_out_of_range_fmt(const char *fmt, ...)
{
    // The format uses only %zu and %s-like conversions the library itself fills in; printing
    // the bare format is enough to tell which check failed.
    fail("out_of_range", fmt);
}

} // namespace std
