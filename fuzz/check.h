#pragma once

// An invariant a harness asserts: a violation aborts, so libFuzzer keeps the
// input as a crash with its reproducer.

#include <cstdio>
#include <cstdlib>

#define QX_FUZZ_CHECK(condition)                                                             \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (false)
