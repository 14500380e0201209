// The x86 vector intrinsics for the encoder's kernels. OKUVA_JPEG_X86 is defined where
// they exist; the kernels are compiled per function with target attributes and chosen
// at run time (dct.h), so this header adds no instruction-set requirement of its own.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
// GCC 12 reports its own _mm512_undefined_* helpers as uninitialized once they are
// inlined at -O2; the warning is about the compiler's header, not our code.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#define OKUVA_JPEG_X86 1
// The instruction sets of the eight-block path (CpuHasAvx512 checks them all): every
// processor with AVX-512 has the rest too. lzcnt and bmi give size categories and
// coefficient positions without a branch on zero.
#define OKUVA_JPEG_WIDE "avx512f,avx512bw,avx512vl,avx512dq,avx2,fma,lzcnt,bmi"
#endif
