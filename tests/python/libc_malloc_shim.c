/* Puts the C library's malloc in front of the jemalloc that Debian's redis-server links,
 * for redis-servers whose wall clock libfaketime fakes (tests/python/redis_servers.py).
 *
 * Why: jemalloc reads the clock while it initialises, which starts libfaketime's own
 * initialisation, which allocates (a dlsym error message) and so re-enters jemalloc's
 * initialisation under its lock: the server hangs before it serves anything. Served by the C
 * library's allocator instead, libfaketime initialises without touching jemalloc, and
 * jemalloc is never used. Its introspection calls (mallctl, nallocx, malloc_stats_print)
 * answer as an allocator without statistics would; the server handles that. Test-only.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <string.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
extern void __libc_free(void *);
extern void *__libc_memalign(size_t, size_t);

void *malloc(size_t n) { return __libc_malloc(n); }
void *calloc(size_t n, size_t m) { return __libc_calloc(n, m); }
void *realloc(void *p, size_t n) { return __libc_realloc(p, n); }
void free(void *p) { __libc_free(p); }
void *memalign(size_t a, size_t n) { return __libc_memalign(a, n); }
void *aligned_alloc(size_t a, size_t n) { return __libc_memalign(a, n); }
void *valloc(size_t n) { return __libc_memalign(4096, n); }
int posix_memalign(void **out, size_t a, size_t n) {
    void *p = __libc_memalign(a, n);
    if (p == NULL) return ENOMEM;
    *out = p;
    return 0;
}
size_t malloc_usable_size(void *p) {
    static size_t (*libc_usable)(void *);
    if (libc_usable == NULL) {
        void *libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
        libc_usable = (size_t (*)(void *))dlsym(libc, "malloc_usable_size");
    }
    return libc_usable(p);
}
size_t nallocx(size_t n, int flags) { (void)flags; return n; }
int mallctl(const char *name, void *old, size_t *oldlen, void *new_, size_t newlen) {
    (void)name; (void)old; (void)oldlen; (void)new_; (void)newlen;
    return ENOENT;
}
void malloc_stats_print(void (*w)(void *, const char *), void *arg, const char *opts) {
    (void)opts;
    if (w) w(arg, "libc malloc\n");
}
