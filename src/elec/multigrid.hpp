// Multigrid preconditioner for the finite-difference Poisson-Boltzmann
// system, and the threaded grid loops that the solvers share.
#pragma once

#include <algorithm>
#include <array>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "elec/grid.hpp"

namespace kova {

// Threads for the grid work of the elec command: the thre setting when one
// is given, otherwise what OMP_NUM_THREADS says (all cores when unset).
inline int grid_threads(const GridStore& g) {
    if (g.threads > 0) return g.threads;
#ifdef _OPENMP
    return omp_get_max_threads();
#else
    return 1;
#endif
}

// The heaviest grid loops are compiled twice, the second time for the wider
// vector lanes of AVX2, and the processor picks one when the program starts.
// The operations are the same and each is rounded as before (AVX2 alone
// brings no fused multiply-add, and nothing is reordered), so both give the
// same bits.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define KOVA_WIDE_LANES __attribute__((target_clones("avx2", "default")))
#else
#define KOVA_WIDE_LANES
#endif

// Points per block of the threaded sums: 4096, or more on grids with more
// than kMaxBlocks such blocks. It depends on the number of points only.
constexpr int kMaxBlocks = 1024;
// Loops over fewer points run on one thread: there the start and the
// barrier of a parallel loop would cost more than they save, the more so
// on a machine whose cores are shared.
constexpr int kThreadedPoints = 131072;
inline int sum_block(int points) { return std::max(4096, (points + kMaxBlocks - 1) / kMaxBlocks); }

// Sum of f(l), l = lo..hi, in double: each block of sum_block points is
// summed in order with four partial sums, the blocks on the threads, and
// the block sums are then added in block order. The blocks and every
// addition are the same whatever the number of threads, and so is the sum,
// to the bit. f may also update the point it is called for.
template <class F>
double block_sum(int threads, int lo, int hi, F f) {
    if (hi < lo) return 0.0;
    const int n = hi - lo + 1, bs = sum_block(n), nb = (n + bs - 1) / bs;
    std::array<double, kMaxBlocks> part;
#pragma omp parallel for num_threads(threads) schedule(static) if (n >= kThreadedPoints)
    for (int b = 0; b < nb; ++b) {
        const int a = lo + b * bs, e = std::min(hi, a + bs - 1);
        double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
        int l = a;
        for (; l + 3 <= e; l += 4) {
            s0 += f(l);
            s1 += f(l + 1);
            s2 += f(l + 2);
            s3 += f(l + 3);
        }
        for (; l <= e; ++l) s0 += f(l);
        part[b] = (s0 + s1) + (s2 + s3);
    }
    double s = 0;
    for (int b = 0; b < nb; ++b) s += part[b];
    return s;
}

// f(l) for l = lo..hi, spread over the threads in fixed blocks.
template <class F>
void block_each(int threads, int lo, int hi, F f) {
    if (hi < lo) return;
    const int n = hi - lo + 1, bs = sum_block(n), nb = (n + bs - 1) / bs;
#pragma omp parallel for num_threads(threads) schedule(static) if (n >= kThreadedPoints)
    for (int b = 0; b < nb; ++b) {
        const int a = lo + b * bs, e = std::min(hi, a + bs - 1);
        for (int l = a; l <= e; ++l) f(l);
    }
}

// Sum of f(l), l = lo..hi, in double and in the order of l, as one loop
// adding the terms one after the other would make it: the terms are
// computed on the threads a block at a time into a buffer, and then added
// in order on one thread. The same bits as that loop for any number of
// threads; worth it where a term costs much more than an addition.
template <class F>
double ordered_sum(int threads, int lo, int hi, F f) {
    constexpr int kBlock = 32768;
    std::vector<double> buf(static_cast<size_t>(std::min(kBlock, std::max(hi - lo + 1, 0))));
    double s = 0;
    for (int a = lo; a <= hi; a += kBlock) {
        const int e = std::min(hi, a + kBlock - 1);
        double* b = buf.data();
#pragma omp parallel for num_threads(threads) schedule(static) if (hi - lo + 1 >= kThreadedPoints)
        for (int l = a; l <= e; ++l) b[l - a] = f(l);
        for (int l = 0; l <= e - a; ++l) s += b[l];
    }
    return s;
}

// Sets m[lo..hi] to v in the blocks of block_each.
template <class T>
void fill_points(int threads, T* m, int lo, int hi, T v) {
    block_each(threads, lo, hi, [=](int l) { m[l] = v; });
}

// One level of the multigrid hierarchy: a grid in the layout of the grid
// store (flat, 1-based, x fastest), its couplings and diagonal, and the
// vectors of the V-cycle.
struct MgLevel {
    int nx = 0, ny = 0, nz = 0, nxy = 0, n = 0;
    // Coarsening factor (1 or 2) of each axis toward the next level.
    int fx = 1, fy = 1, fz = 1;
    // Couplings and diagonal: on the finest level those of the system
    // solved, on the others the level's own.
    const float* ei = nullptr;
    const float* ej = nullptr;
    const float* ek = nullptr;
    const float* dg = nullptr;
    std::vector<float> own_ei, own_ej, own_ek, own_dg;
    std::vector<float> dinv;  // 1/diagonal
    // Right-hand side, solution and residual; on the finest level b and x
    // are the caller's vectors.
    const float* b = nullptr;
    float* x = nullptr;
    std::vector<float> own_b, own_x, r;
};

// The preconditioner: one symmetric V-cycle from zero for A z = r. Sizes
// and storage are fixed at construction, once per solve; setup builds the
// coarse operators for a diagonal of the fine system (diagm, or the
// Jacobian's diagonal in Newton's method) and may be called again for
// another diagonal on the same grid.
class Multigrid {
public:
    explicit Multigrid(const GridStore& g);
    void setup(const float* diag);
    // z = B r over the points of the grid.
    void apply(const float* r, float* z);
    int levels() const { return static_cast<int>(lv_.size()); }
    const MgLevel& level(int i) const { return lv_[i]; }

private:
    void vcycle(int level);
    void smooth(MgLevel& v, bool forward, bool from_zero);
    void residual(MgLevel& v);
    void restrict_to(const MgLevel& f, MgLevel& c, const float* src, float* dst);
    void prolong_add(const MgLevel& c, MgLevel& f);
    void coarsen(MgLevel& f, MgLevel& c);
    void factor_coarsest();
    void solve_coarsest();

    const GridStore& g_;
    int threads_ = 1;
    std::vector<MgLevel> lv_;
    // Dense Cholesky factor (lower, row-major, double) of the coarsest level.
    std::vector<double> chol_, rhs_;
};

}  // namespace kova
