/* Preloaded ahead of the ASan runtime when a fuzz harness runs under the
 * sanitizer build (tools/sanitize --exec).
 *
 * atheris hands its coverage counters and comparison hooks to the libFuzzer
 * linked into its own extension module by calling the usual
 * __sanitizer_cov_* entry points.  The preloaded ASan runtime defines
 * no-op versions of the same names, and being first in the lookup order
 * they would win: the fuzzer would see no coverage at all and search
 * blindly.  These definitions come first instead and pass each call on to
 * the libFuzzer in the module named by $PYSOURCE_LIBFUZZER, once it is
 * loaded; before that (and without the variable) they do nothing. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

static void* FuzzerSymbol(const char* name) {
  static void* handle;
  if (handle == NULL) {
    const char* path = getenv("PYSOURCE_LIBFUZZER");
    if (path == NULL) return NULL;
    handle = dlopen(path, RTLD_NOLOAD | RTLD_LAZY);
    if (handle == NULL) return NULL;
  }
  return dlsym(handle, name);
}

#define FORWARD(name, params, args)                            \
  void name params {                                           \
    static void(*real) params;                                 \
    if (real == NULL) real = (void(*) params)FuzzerSymbol(#name); \
    if (real != NULL) real args;                               \
  }

FORWARD(__sanitizer_cov_8bit_counters_init, (uint8_t* a, uint8_t* b), (a, b))
FORWARD(__sanitizer_cov_pcs_init, (const uintptr_t* a, const uintptr_t* b), (a, b))
FORWARD(__sanitizer_cov_trace_cmp1, (uint8_t a, uint8_t b), (a, b))
FORWARD(__sanitizer_cov_trace_cmp2, (uint16_t a, uint16_t b), (a, b))
FORWARD(__sanitizer_cov_trace_cmp4, (uint32_t a, uint32_t b), (a, b))
FORWARD(__sanitizer_cov_trace_cmp8, (uint64_t a, uint64_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp1, (uint8_t a, uint8_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp2, (uint16_t a, uint16_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp4, (uint32_t a, uint32_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp8, (uint64_t a, uint64_t b), (a, b))
FORWARD(__sanitizer_cov_trace_switch, (uint64_t a, uint64_t* b), (a, b))
FORWARD(__sanitizer_cov_trace_div4, (uint32_t a), (a))
FORWARD(__sanitizer_cov_trace_div8, (uint64_t a), (a))
FORWARD(__sanitizer_cov_trace_gep, (uintptr_t a), (a))
FORWARD(__sanitizer_cov_trace_pc_indir, (uintptr_t a), (a))
FORWARD(__sanitizer_cov_trace_pc_guard, (uint32_t* a), (a))
FORWARD(__sanitizer_cov_trace_pc_guard_init, (uint32_t* a, uint32_t* b), (a, b))
