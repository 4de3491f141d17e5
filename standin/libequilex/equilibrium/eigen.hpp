// Eigen, with the maybe-uninitialized warnings that GCC 12 raises inside Eigen's own product
// kernels turned off for Eigen's headers only (they are false: the kernels write before reading).
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <Eigen/Dense>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
