// Wheels promise manylinux_2_28: glibc 2.28 and GCC 8's C++ runtime. Built
// against newer headers, libstdc++'s inline code asks for two symbols those
// lack; the module keeps its own copies (local to it, as every symbol but
// its init function is).
#include <new>  // defines __GLIBCXX__ where the runtime is libstdc++

#if defined(__linux__) && defined(__GLIBCXX__) && defined(__GLIBC__) && __has_include(<sys/single_threaded.h>)
#include <sys/single_threaded.h>

// glibc 2.32's flag, read by shared_ptr's reference counting: 0 keeps it
// atomic always, which is right whatever the process runs.
extern "C" {
char __libc_single_threaded = 0;
}

// GCC 11's runtime throws this for an array size past the allocator's
// limit; std::bad_alloc is its base, which every caller already handles.
namespace std {
void __throw_bad_array_new_length() { throw std::bad_alloc(); }
}  // namespace std
#endif
