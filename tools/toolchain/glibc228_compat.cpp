// Linked into the x86-64 release module, which g++ builds here against a
// newer glibc than its wheel promises: the statically linked libstdc++ and
// the inline code of its headers reach a few glibc symbols under versions
// newer than 2.28. The link (tools/build-module.sh) wraps those references
// (--wrap=SYMBOL) and sends them here, to the versions every glibc since
// 2.2.5 has, or to a stand-in where none is older.
#include <pthread.h>
#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#define BIND_OLD(name) __asm__(".symver old_" #name ", " #name "@GLIBC_2.2.5")

extern "C" {

// glibc 2.32's flag that lets libstdc++ skip atomic reference counts when
// the process has one thread. Always clear: the counts stay atomic.
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;

// Moved from libpthread into libc in 2.34 under a new version; the old
// version stays in both. libpthread.so.0 is linked in so that on an older
// glibc it is loaded where these live.
int old_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int old_pthread_join(pthread_t, void**);
int old_pthread_detach(pthread_t);
int old_pthread_once(pthread_once_t*, void (*)());
int old_pthread_key_create(pthread_key_t*, void (*)(void*));
int old___pthread_key_create(pthread_key_t*, void (*)(void*));
int old_pthread_key_delete(pthread_key_t);
void* old_pthread_getspecific(pthread_key_t);
int old_pthread_setspecific(pthread_key_t, const void*);
BIND_OLD(pthread_create);
BIND_OLD(pthread_join);
BIND_OLD(pthread_detach);
BIND_OLD(pthread_once);
BIND_OLD(pthread_key_create);
BIND_OLD(__pthread_key_create);
BIND_OLD(pthread_key_delete);
BIND_OLD(pthread_getspecific);
BIND_OLD(pthread_setspecific);

#define HIDDEN __attribute__((visibility("hidden")))
HIDDEN int __wrap_pthread_create(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*), void* p) {
  return old_pthread_create(t, a, f, p);
}
HIDDEN int __wrap_pthread_join(pthread_t t, void** r) { return old_pthread_join(t, r); }
HIDDEN int __wrap_pthread_detach(pthread_t t) { return old_pthread_detach(t); }
HIDDEN int __wrap_pthread_once(pthread_once_t* o, void (*f)()) { return old_pthread_once(o, f); }
HIDDEN int __wrap_pthread_key_create(pthread_key_t* k, void (*d)(void*)) {
  return old_pthread_key_create(k, d);
}
HIDDEN int __wrap___pthread_key_create(pthread_key_t* k, void (*d)(void*)) {
  return old___pthread_key_create(k, d);
}
HIDDEN int __wrap_pthread_key_delete(pthread_key_t k) { return old_pthread_key_delete(k); }
HIDDEN void* __wrap_pthread_getspecific(pthread_key_t k) { return old_pthread_getspecific(k); }
HIDDEN int __wrap_pthread_setspecific(pthread_key_t k, const void* v) {
  return old_pthread_setspecific(k, v);
}

// glibc 2.36. Only std::random_device can reach it, and the module makes
// none; should one ever be made, the kernel's generator serves it.
HIDDEN uint32_t __wrap_arc4random() {
  uint32_t value;
  while (getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) {
    if (errno != EINTR) abort();
  }
  return value;
}

}  // extern "C"
