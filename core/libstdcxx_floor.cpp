// The allocators of GCC 11 and later call std::__throw_bad_array_new_length
// for a request too large to express, which only libstdc++ 3.4.29 (GCC 11)
// exports. Defined here, it is linked into each module, bound locally and not
// exported (--exclude-libs), so the modules run with the libstdc++ of older
// systems: the oldest system a wheel supports is then decided by glibc.
#include <new>

namespace std {

void __throw_bad_array_new_length() { throw bad_array_new_length(); }

}  // namespace std
