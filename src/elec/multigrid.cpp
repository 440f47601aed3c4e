// Multigrid preconditioner for the conjugate-gradient solve of the
// finite-difference Poisson-Boltzmann system (solv 2).
//
// Design. The incomplete Cholesky preconditioner removes a fixed fraction
// of the error per grid line, so its iterations grow with the number of
// points along an axis. Here the preconditioner is one V-cycle over a
// hierarchy of coarser grids, which removes smooth and rough error alike;
// the iterations stay about the same as the grid is refined. The conjugate
// gradients, their convergence test and their summary are those of the
// other preconditioners; only z = B r changes.
//
// Levels. Each axis with 5 or more points is coarsened by 2: coarse point
// I lies on fine point 2I - 1, so an axis of n points keeps (n + 1)/2; an
// axis of 4 points or fewer is kept as it is. Coarsening stops when no axis
// can be coarsened (at most 4 x 4 x 4 points), and that level is solved
// exactly by a dense Cholesky factor in double.
//
// Coarse operators. They keep the seven-point form and the staggered
// layout of the fine system, so that one set of kernels serves all levels:
// - A coupling along a coarsened axis joins two fine faces in series, the
//   harmonic combination e1 e2/(e1 + e2); along a kept axis it is the one
//   fine face. Across each coarsened transverse axis the faces of the
//   three fine lines around the coarse line are averaged with weights
//   1/2, 1, 1/2 (weights of lines outside the grid left out and the others
//   scaled up), then multiplied by 2: the face area grows by 2 along each
//   coarsened transverse axis and the length by 2 along a coarsened axis,
//   so a uniform permittivity e gives 2e, the coupling of the rediscretised
//   equation on the coarse spacing. Faces that sit in a dielectric jump
//   keep the series and parallel rules of the flux through them, which a
//   plain average of the permittivities would not.
// - The diagonal is the sum of the coarse couplings plus the restricted
//   excess of the fine diagonal over its couplings: the ionic term (or,
//   for Newton's method, the ionic Jacobian term) and the couplings to the
//   fixed boundary potentials, summed with the restriction weights below.
//   Coarse matrices stay symmetric, weakly diagonally dominant with
//   positive couplings, and positive definite.
// - Interpolation is (tri)linear along the coarsened axes; restriction is
//   its transpose (weights 1/2, 1, 1/2 per coarsened axis).
// V-cycle. From z = 0 on the finest level: two red-black Gauss-Seidel
// sweeps (red points, i + j + k even, first), the residual restricted to
// the next level, the cycle there, the correction interpolated back, then
// two sweeps in the reverse colour order (black first). The sweep after the
// correction is the adjoint of the one before it and the coarsest level is
// solved exactly, so B is symmetric and positive definite, as the
// conjugate-gradient iteration needs.
//
// Precision and threads. All vectors are single precision like the grid
// store; the dense coarsest solve is in double. Storage is allocated when
// the hierarchy is made, once per solve. The sweeps update the points of
// one colour from those of the other, so the planes of a half-sweep are
// spread over the threads with no effect on the result; so are the
// residual, the restriction and the interpolation, each point written by
// one thread from values no thread changes meanwhile. Results are the same
// to the bit whatever the number of threads.
#include "elec/multigrid.hpp"

#include <cmath>

namespace kova {

namespace {

// Smoothing sweeps before and after the coarse-grid correction.
constexpr int kSweeps = 2;

// Where fine point i of an axis with factor f (coarse axis of nc points)
// takes its interpolated value from: coarse points i1, i2 with weights
// w1, w2 (w2 = 0 when there is no second).
struct AxisPick {
    int i1, i2;
    float w1, w2;
};

AxisPick pick(int i, int f, int nc) {
    if (f == 1) return {i, i, 1.0f, 0.0f};
    if (i & 1) return {(i + 1) / 2, (i + 1) / 2, 1.0f, 0.0f};
    const int c = i / 2;
    return c + 1 <= nc ? AxisPick{c, c + 1, 0.5f, 0.5f} : AxisPick{c, c, 0.5f, 0.0f};
}

// The fine points that restriction gathers into coarse point c of an axis
// (factor f, nf fine points): up to three, with weights 1/2, 1, 1/2; a
// missing one has weight 0 and repeats the centre.
struct AxisGather {
    int i[3];
    float w[3];
};

AxisGather gather(int c, int f, int nf) {
    if (f == 1) return {{c, c, c}, {0.0f, 1.0f, 0.0f}};
    const int m = 2 * c - 1;
    AxisGather a{{m, m, m}, {0.0f, 1.0f, 0.0f}};
    if (m - 1 >= 1) a.i[0] = m - 1, a.w[0] = 0.5f;
    if (m + 1 <= nf) a.i[2] = m + 1, a.w[2] = 0.5f;
    return a;
}

}  // namespace

Multigrid::Multigrid(const GridStore& g) : g_(g), threads_(grid_threads(g)) {
    if (!fits_grid(g) || g.nxyz <= 0) return;
    int nx = g.nx, ny = g.ny, nz = g.nz;
    for (;;) {
        MgLevel v;
        v.nx = nx, v.ny = ny, v.nz = nz, v.nxy = nx * ny, v.n = nx * ny * nz;
        v.fx = nx >= 5 ? 2 : 1;
        v.fy = ny >= 5 ? 2 : 1;
        v.fz = nz >= 5 ? 2 : 1;
        const size_t sz = static_cast<size_t>(v.n) + 1;
        v.dinv.assign(sz, 0.0f);
        v.r.assign(sz, 0.0f);
        if (!lv_.empty()) {
            for (auto* m : {&v.own_ei, &v.own_ej, &v.own_ek, &v.own_dg, &v.own_b, &v.own_x}) m->assign(sz, 0.0f);
            v.ei = v.own_ei.data(), v.ej = v.own_ej.data(), v.ek = v.own_ek.data(), v.dg = v.own_dg.data();
            v.b = v.own_b.data(), v.x = v.own_x.data();
        } else {
            v.ei = g.epsi.data(), v.ej = g.epsj.data(), v.ek = g.epsk.data();
        }
        const bool last = v.fx == 1 && v.fy == 1 && v.fz == 1;
        lv_.push_back(std::move(v));
        if (last) break;
        const MgLevel& f = lv_.back();
        nx = f.fx == 2 ? (nx + 1) / 2 : nx;
        ny = f.fy == 2 ? (ny + 1) / 2 : ny;
        nz = f.fz == 2 ? (nz + 1) / 2 : nz;
    }
    const size_t nc = static_cast<size_t>(lv_.back().n);
    chol_.assign(nc * nc, 0.0);
    rhs_.assign(nc, 0.0);
}

void Multigrid::setup(const float* diag) {
    if (lv_.empty()) return;
    lv_[0].dg = diag;
    for (size_t i = 0; i < lv_.size(); ++i) {
        MgLevel& v = lv_[i];
        if (i > 0) coarsen(lv_[i - 1], v);
        float* di = v.dinv.data();
        const float* dg = v.dg;
        const int n = v.n;
        for (int l = 1; l <= n; ++l) di[l] = dg[l] > 0.0f ? 1.0f / dg[l] : 0.0f;
    }
    factor_coarsest();
}

// Coarse couplings and diagonal of level c from level f.
void Multigrid::coarsen(MgLevel& f, MgLevel& c) {
    const int nxf = f.nx, nyf = f.ny, nzf = f.nz, nxyf = f.nxy, nf = f.n;
    const float* ei = f.ei;
    const float* ej = f.ej;
    const float* ek = f.ek;
    // The excess of the fine diagonal over its couplings, into f's residual
    // vector (free until the cycles start), restricted into c's b.
    // Every point here and below is computed from the fine maps alone: the
    // points on the threads give the same values for any number of them.
    float* ex = f.r.data();
#pragma omp parallel for num_threads(threads_) schedule(static) if (nf >= kThreadedPoints)
    for (int l = 1; l <= nf; ++l) {
        float s = ei[l] + ej[l] + ek[l];
        if (l - 1 >= 1) s += ei[l - 1];
        if (l - nxf >= 1) s += ej[l - nxf];
        if (l - nxyf >= 1) s += ek[l - nxyf];
        ex[l] = std::max(f.dg[l] - s, 0.0f);
    }
    restrict_to(f, c, ex, c.own_b.data());

    const int fac[3] = {f.fx, f.fy, f.fz};
    const int nfa[3] = {nxf, nyf, nzf};
    const int nca[3] = {c.nx, c.ny, c.nz};
    const float* maps[3] = {ei, ej, ek};
    float* out[3] = {c.own_ei.data(), c.own_ej.data(), c.own_ek.data()};
    auto findex = [&](int i, int j, int k) { return i + nxf * (j - 1) + nxyf * (k - 1); };
#pragma omp parallel for num_threads(threads_) schedule(static) if (nf >= kThreadedPoints)
    for (int kc = 1; kc <= c.nz; ++kc)
        for (int jc = 1; jc <= c.ny; ++jc)
            for (int ic = 1; ic <= c.nx; ++ic) {
                const int cc[3] = {ic, jc, kc};
                const int lc = ic + c.nx * (jc - 1) + c.nxy * (kc - 1);
                for (int ax = 0; ax < 3; ++ax) {
                    if (cc[ax] >= nca[ax]) {  // the boundary face
                        out[ax][lc] = 0.0f;
                        continue;
                    }
                    // Fine position of the coarse point, the two transverse axes.
                    int base[3];
                    for (int q = 0; q < 3; ++q) base[q] = fac[q] == 2 ? 2 * cc[q] - 1 : cc[q];
                    const int t1 = (ax + 1) % 3, t2 = (ax + 2) % 3;
                    double acc = 0, wsum = 0;
                    for (int d1 = -1; d1 <= 1; ++d1) {
                        if (fac[t1] == 1 && d1 != 0) continue;
                        const int p1 = base[t1] + d1;
                        if (p1 < 1 || p1 > nfa[t1]) continue;
                        const double w1 = d1 == 0 ? 1.0 : 0.5;
                        for (int d2 = -1; d2 <= 1; ++d2) {
                            if (fac[t2] == 1 && d2 != 0) continue;
                            const int p2 = base[t2] + d2;
                            if (p2 < 1 || p2 > nfa[t2]) continue;
                            const double w = w1 * (d2 == 0 ? 1.0 : 0.5);
                            int pos[3];
                            pos[ax] = base[ax], pos[t1] = p1, pos[t2] = p2;
                            const int l = findex(pos[0], pos[1], pos[2]);
                            double s;
                            if (fac[ax] == 2) {
                                const int step = ax == 0 ? 1 : ax == 1 ? nxf : nxyf;
                                const double e1 = maps[ax][l], e2 = maps[ax][l + step];
                                s = e1 + e2 > 0.0 ? e1 * e2 / (e1 + e2) : 0.0;
                            } else {
                                s = maps[ax][l];
                            }
                            acc += w * s;
                            wsum += w;
                        }
                    }
                    // Full weight: 2 per coarsened transverse axis.
                    const double full = (fac[t1] == 2 ? 2.0 : 1.0) * (fac[t2] == 2 ? 2.0 : 1.0);
                    out[ax][lc] = wsum > 0.0 ? static_cast<float>(acc * (full / wsum)) : 0.0f;
                }
            }
    const float* cei = c.own_ei.data();
    const float* cej = c.own_ej.data();
    const float* cek = c.own_ek.data();
    float* dg = c.own_dg.data();
    const float* cex = c.own_b.data();
#pragma omp parallel for num_threads(threads_) schedule(static) if (c.n >= kThreadedPoints)
    for (int l = 1; l <= c.n; ++l) {
        float s = cei[l] + cej[l] + cek[l];
        if (l - 1 >= 1) s += cei[l - 1];
        if (l - c.nx >= 1) s += cej[l - c.nx];
        if (l - c.nxy >= 1) s += cek[l - c.nxy];
        dg[l] = s + cex[l];
    }
}

void Multigrid::factor_coarsest() {
    const MgLevel& v = lv_.back();
    const int n = v.n;
    auto a = [&](int r, int c) -> double& { return chol_[static_cast<size_t>(r) * n + c]; };
    std::fill(chol_.begin(), chol_.end(), 0.0);
    for (int l = 1; l <= n; ++l) {
        a(l - 1, l - 1) = v.dg[l];
        if (l + 1 <= n && v.ei[l] != 0.0f) a(l, l - 1) = -v.ei[l];
        if (l + v.nx <= n && v.ej[l] != 0.0f) a(l + v.nx - 1, l - 1) = -v.ej[l];
        if (l + v.nxy <= n && v.ek[l] != 0.0f) a(l + v.nxy - 1, l - 1) = -v.ek[l];
    }
    // Lower Cholesky factor in place; a pivot that is not positive (a
    // singular coarse system) leaves its unknown at 0.
    for (int c = 0; c < n; ++c) {
        double d = a(c, c);
        for (int q = 0; q < c; ++q) d -= a(c, q) * a(c, q);
        if (!(d > 0.0)) {
            for (int r = c; r < n; ++r) a(r, c) = 0.0;
            continue;
        }
        d = std::sqrt(d);
        a(c, c) = d;
        for (int r = c + 1; r < n; ++r) {
            double s = a(r, c);
            for (int q = 0; q < c; ++q) s -= a(r, q) * a(c, q);
            a(r, c) = s / d;
        }
    }
}

void Multigrid::solve_coarsest() {
    MgLevel& v = lv_.back();
    const int n = v.n;
    auto a = [&](int r, int c) { return chol_[static_cast<size_t>(r) * n + c]; };
    for (int r = 0; r < n; ++r) {
        double s = v.b[r + 1];
        for (int q = 0; q < r; ++q) s -= a(r, q) * rhs_[q];
        rhs_[r] = a(r, r) > 0.0 ? s / a(r, r) : 0.0;
    }
    for (int r = n - 1; r >= 0; --r) {
        double s = rhs_[r];
        for (int q = r + 1; q < n; ++q) s -= a(q, r) * rhs_[q];
        rhs_[r] = a(r, r) > 0.0 ? s / a(r, r) : 0.0;
    }
    for (int r = 0; r < n; ++r) v.x[r + 1] = static_cast<float>(rhs_[r]);
}

namespace {

// The Gauss-Seidel update of point l from its six neighbours; the guarded
// form tests that each neighbour index lies on the grid (first and last
// planes), the other needs no test (the faces of the staggered maps are 0
// where a neighbour index wraps to the next line or plane).
template <bool guard>
inline float gs_point(int l, int n, int nx, int nxy, const float* __restrict ei, const float* __restrict ej,
                      const float* __restrict ek, const float* __restrict b, const float* __restrict x) {
    if constexpr (!guard) {
        return b[l] + ei[l] * x[l + 1] + ei[l - 1] * x[l - 1] + ej[l] * x[l + nx] + ej[l - nx] * x[l - nx] +
               ek[l] * x[l + nxy] + ek[l - nxy] * x[l - nxy];
    } else {
        float s = b[l];
        if (l + 1 <= n) s += ei[l] * x[l + 1];
        if (l - 1 >= 1) s += ei[l - 1] * x[l - 1];
        if (l + nx <= n) s += ej[l] * x[l + nx];
        if (l - nx >= 1) s += ej[l - nx] * x[l - nx];
        if (l + nxy <= n) s += ek[l] * x[l + nxy];
        if (l - nxy >= 1) s += ek[l - nxy] * x[l - nxy];
        return s;
    }
}

// One half-sweep: the points of one colour ((i + j + k) & 1 == colour).
void half_sweep(const MgLevel& v, int colour, int threads) {
    const int nx = v.nx, ny = v.ny, nz = v.nz, nxy = v.nxy, n = v.n;
    const float* __restrict ei = v.ei;
    const float* __restrict ej = v.ej;
    const float* __restrict ek = v.ek;
    const float* __restrict b = v.b;
    const float* __restrict di = v.dinv.data();
    float* __restrict x = v.x;
#pragma omp parallel for num_threads(threads) schedule(static) if (n >= kThreadedPoints)
    for (int k = 1; k <= nz; ++k) {
        const bool guard = k == 1 || k == nz;
        for (int j = 1; j <= ny; ++j) {
            const int base = nx * (j - 1) + nxy * (k - 1);
            const int i0 = ((1 + j + k) & 1) == colour ? 1 : 2;
            if (guard)
                for (int i = i0; i <= nx; i += 2) {
                    const int l = base + i;
                    x[l] = gs_point<true>(l, n, nx, nxy, ei, ej, ek, b, x) * di[l];
                }
            else
                for (int i = i0; i <= nx; i += 2) {
                    const int l = base + i;
                    x[l] = gs_point<false>(l, n, nx, nxy, ei, ej, ek, b, x) * di[l];
                }
        }
    }
}

}  // namespace

void Multigrid::smooth(MgLevel& v, bool forward, bool from_zero) {
    const int th = threads_;
    if (from_zero) {
        // The first red half-sweep from x = 0: red points b/d, black ones 0.
        const int nx = v.nx, ny = v.ny, nz = v.nz, nxy = v.nxy;
        const float* __restrict b = v.b;
        const float* __restrict di = v.dinv.data();
        float* __restrict x = v.x;
#pragma omp parallel for num_threads(th) schedule(static) if (v.n >= kThreadedPoints)
        for (int k = 1; k <= nz; ++k)
            for (int j = 1; j <= ny; ++j) {
                const int base = nx * (j - 1) + nxy * (k - 1);
                const int red = (j + k) & 1;  // i & 1 == red: i + j + k even
                for (int i = 1; i <= nx; ++i) {
                    const int l = base + i;
                    x[l] = (i & 1) == red ? b[l] * di[l] : 0.0f;
                }
            }
        half_sweep(v, 1, th);
        for (int s = 1; s < kSweeps; ++s) {
            half_sweep(v, 0, th);
            half_sweep(v, 1, th);
        }
        return;
    }
    for (int s = 0; s < kSweeps; ++s) {
        half_sweep(v, forward ? 0 : 1, th);
        half_sweep(v, forward ? 1 : 0, th);
    }
}

// r = b - A x after the pre-smoothing, whose last half-sweep solved the
// equations of the black points: their residual is 0 (to rounding) and is
// set so; only the red points are computed.
void Multigrid::residual(MgLevel& v) {
    const int nx = v.nx, ny = v.ny, nz = v.nz, nxy = v.nxy, n = v.n;
    const float* __restrict ei = v.ei;
    const float* __restrict ej = v.ej;
    const float* __restrict ek = v.ek;
    const float* __restrict b = v.b;
    const float* __restrict dg = v.dg;
    const float* __restrict x = v.x;
    float* __restrict r = v.r.data();
#pragma omp parallel for num_threads(threads_) schedule(static) if (n >= kThreadedPoints)
    for (int k = 1; k <= nz; ++k) {
        const bool guard = k == 1 || k == nz;
        for (int j = 1; j <= ny; ++j) {
            const int base = nx * (j - 1) + nxy * (k - 1);
            const int red = ((1 + j + k) & 1) == 0 ? 1 : 2;  // first i with i + j + k even
            for (int i = 3 - red; i <= nx; i += 2) r[base + i] = 0.0f;
            if (guard)
                for (int i = red; i <= nx; i += 2) {
                    const int l = base + i;
                    r[l] = gs_point<true>(l, n, nx, nxy, ei, ej, ek, b, x) - dg[l] * x[l];
                }
            else
                for (int i = red; i <= nx; i += 2) {
                    const int l = base + i;
                    r[l] = gs_point<false>(l, n, nx, nxy, ei, ej, ek, b, x) - dg[l] * x[l];
                }
        }
    }
}

// dst (level c) = P^T src (level f).
void Multigrid::restrict_to(const MgLevel& f, MgLevel& c, const float* src, float* dst) {
    const int nxf = f.nx, nxyf = f.nxy;
#pragma omp parallel for num_threads(threads_) schedule(static) if (f.n >= kThreadedPoints)
    for (int kc = 1; kc <= c.nz; ++kc) {
        const AxisGather gk = gather(kc, f.fz, f.nz);
        for (int jc = 1; jc <= c.ny; ++jc) {
            const AxisGather gj = gather(jc, f.fy, f.ny);
            for (int ic = 1; ic <= c.nx; ++ic) {
                const AxisGather gi = gather(ic, f.fx, f.nx);
                float s = 0.0f;
                for (int a = 0; a < 3; ++a) {
                    const int ka = nxyf * (gk.i[a] - 1);
                    for (int q = 0; q < 3; ++q) {
                        const int jq = ka + nxf * (gj.i[q] - 1);
                        const float w = gk.w[a] * gj.w[q];
                        s += w * (gi.w[0] * src[jq + gi.i[0]] + gi.w[1] * src[jq + gi.i[1]] +
                                  gi.w[2] * src[jq + gi.i[2]]);
                    }
                }
                dst[ic + c.nx * (jc - 1) + c.nxy * (kc - 1)] = s;
            }
        }
    }
}

// x (level f) += P x (level c): per fine line, the coarse values
// interpolated across y and z into a buffer, then along x.
void Multigrid::prolong_add(const MgLevel& c, MgLevel& f) {
    const int nxc = c.nx, nxyc = c.nxy, nx = f.nx;
    const float* __restrict xc = c.x;
    float* __restrict x = f.x;
#pragma omp parallel num_threads(threads_) if (f.n >= kThreadedPoints)
    {
        std::vector<float> line(static_cast<size_t>(nxc) + 2, 0.0f);
        float* __restrict t = line.data();
#pragma omp for schedule(static)
        for (int k = 1; k <= f.nz; ++k) {
            const AxisPick pk = pick(k, f.fz, c.nz);
            for (int j = 1; j <= f.ny; ++j) {
                const AxisPick pj = pick(j, f.fy, c.ny);
                const float* r11 = xc + nxc * (pj.i1 - 1) + nxyc * (pk.i1 - 1);
                const float* r21 = xc + nxc * (pj.i2 - 1) + nxyc * (pk.i1 - 1);
                const float* r12 = xc + nxc * (pj.i1 - 1) + nxyc * (pk.i2 - 1);
                const float* r22 = xc + nxc * (pj.i2 - 1) + nxyc * (pk.i2 - 1);
                const float w11 = pj.w1 * pk.w1, w21 = pj.w2 * pk.w1, w12 = pj.w1 * pk.w2, w22 = pj.w2 * pk.w2;
                for (int ic = 1; ic <= nxc; ++ic) t[ic] = w11 * r11[ic] + w21 * r21[ic] + w12 * r12[ic] + w22 * r22[ic];
                t[nxc + 1] = 0.0f;  // beyond the last coarse point: the boundary
                float* __restrict row = x + nx * (j - 1) + f.nxy * (k - 1);
                if (f.fx == 1) {
                    for (int i = 1; i <= nx; ++i) row[i] += t[i];
                } else {
                    // Fine 2I - 1 on coarse I; fine 2I halfway to I + 1.
                    for (int ic = 1; 2 * ic - 1 <= nx; ++ic) row[2 * ic - 1] += t[ic];
                    for (int ic = 1; 2 * ic <= nx; ++ic) row[2 * ic] += 0.5f * (t[ic] + t[ic + 1]);
                }
            }
        }
    }
}

void Multigrid::vcycle(int level) {
    MgLevel& v = lv_[level];
    if (level + 1 == static_cast<int>(lv_.size())) {
        solve_coarsest();
        return;
    }
    MgLevel& c = lv_[level + 1];
    smooth(v, true, true);
    residual(v);
    restrict_to(v, c, v.r.data(), c.own_b.data());
    vcycle(level + 1);
    prolong_add(c, v);
    smooth(v, false, false);
}

void Multigrid::apply(const float* r, float* z) {
    if (lv_.empty()) return;
    lv_[0].b = r;
    lv_[0].x = z;
    vcycle(0);
}

}  // namespace kova
