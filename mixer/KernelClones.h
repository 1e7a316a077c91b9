// The loops that run on the driver's thread for every sample are cloned for
// AVX-512 and AVX2 machines and picked at load time. The thread sanitizer's
// runtime is not up when load-time resolvers run, so its builds keep the
// plain version.
#pragma once

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
#define CANTABILE_KERNEL __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define CANTABILE_KERNEL
#endif
