// Preconditioned conjugate gradients for the finite-difference
// Poisson-Boltzmann system assembled by the mapping and the boundary
// conditions, for the linearised and the full (1:1 electrolyte) equation.
//
// The system, over the nxyz free points of the grid (flat index l):
//   A phi + t N(phi) = b
//   A(l,l) = diagm(l), A(l,l+1) = -epsi(l), A(l,l+nx) = -epsj(l),
//   A(l,l+nxy) = -epsk(l) (and the symmetric entries); no matrix is stored,
//   the couplings are read from the permittivity maps, whose boundary-face
//   planes hold 0 so that no point couples across a row or plane end.
//   b = rhs: charges q/h spread onto the points plus the boundary terms.
//   Linearised equation: t = 0, the ionic term is already in diagm.
//   Full equation (nonl = -1): t = 2 cion h^2 and N(phi) = sinh(phi/RT) at
//   points open to the ions (iacs /= 6), RT = 0.83144647 temp; phi is in
//   internal energy units (amu A^2/ps^2) per elementary charge.
//
// All vectors are single precision and live in the grid store: rhs turns
// into the residual r, pvec is the search direction p, work receives A p and
// the preconditioned residual z, prec the preconditioner diagonal. Sums over
// the grid (norms and inner products) are accumulated in double; the step
// length and direction update are kept in double and applied in single.
#include <algorithm>
#include <cmath>

#include "command/output.hpp"
#include "elec/elec.hpp"

namespace kova {

namespace {

// Points of the current grid; 0 when the dimensions describe no grid the
// maps can hold (nothing is then solved for).
int solve_points(const GridStore& g) { return fits_grid(g) ? g.nxyz : 0; }

// Sum of f(l) for l = lo..hi in double, with four partial sums so that the
// additions do not wait on one another.
template <class F>
double grid_sum(int lo, int hi, F&& f) {
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    int l = lo;
    for (; l + 3 <= hi; l += 4) {
        s0 += f(l);
        s1 += f(l + 1);
        s2 += f(l + 2);
        s3 += f(l + 3);
    }
    for (; l <= hi; ++l) s0 += f(l);
    return (s0 + s1) + (s2 + s3);
}

// sinh and cosh of x from one exponential; expm1 keeps sinh accurate near 0,
// and beyond |x| = 20 the term e^-|x| is below single-precision rounding.
inline void sinh_cosh(float x, float& s, float& c) {
    const float ax = std::fabs(x);
    if (ax > 20.0f) {
        const float half = 0.5f * std::exp(ax);  // inf past the float range
        s = std::copysign(half, x);
        c = half;
        return;
    }
    const float em1 = std::expm1(ax);  // e^|x| - 1
    const float e = em1 + 1.0f;
    s = std::copysign(0.5f * (em1 + em1 / e), x);  // (e - 1/e)/2
    c = 0.5f * (e + 1.0f / e);
}

inline float sinh_of(float x) {
    float s, c;
    sinh_cosh(x, s, c);
    return s;
}

// Constants of the nonlinear term: t = 2 cion h^2 and 1/RT.
struct IonTerm {
    float t;
    float inv_rt;
};

IonTerm ion_term(const Kova& k) {
    const float rt = gasconst * k.env.temp;
    return {2.0f * k.env.cion * k.mess.h * k.mess.h, 1.0f / rt};
}

// Newton line search for the step length of the full equation, starting
// from the linear alpha. With phi the current potential and p the search
// direction, the step along p solves
//   alpha pAp - rz + t sum (sinh((phi + alpha p)/RT) - sinh(phi/RT)) p = 0
// over the points open to the ions; each pass corrects alpha by
//   corr = -(alpha pAp - rz + Sh) / (pAp + Ch),
//   Ch = t sum cosh((phi + alpha p)/RT) p^2 / RT.
double line_search(Kova& k, double alpha, double pap, double rz, IonTerm it) {
    GridStore& g = k.mess;
    const int n = solve_points(g);
    const float* __restrict phi = g.phi.data();
    const float* __restrict p = g.pvec.data();
    const float* __restrict iacs = g.iacs.data();
    const float inv_rt = it.inv_rt;
    // sum sinh(phi/RT) p does not depend on alpha: once per line search.
    double s0 = 0;
    if (it.t != 0.0f)
        s0 = grid_sum(1, n, [=](int l) {
            return iacs[l] != 6.0f ? static_cast<double>(sinh_of(phi[l] * inv_rt)) * p[l] : 0.0;
        });
    int count = 0;
    double corr;
    do {
        ++count;
        double sh = 0, ch = 0;
        if (it.t != 0.0f) {
            const float a = static_cast<float>(alpha);
            double s1 = 0, c1 = 0;
            for (int l = 1; l <= n; ++l) {
                if (iacs[l] == 6.0f) continue;
                float s, c;
                sinh_cosh((phi[l] + a * p[l]) * inv_rt, s, c);
                const double pl = p[l];
                s1 += s * pl;
                c1 += c * pl * pl;
            }
            sh = it.t * (s1 - s0);
            ch = it.t * c1 * inv_rt;
        }
        corr = -(alpha * pap - rz + sh) / (pap + ch);
        alpha += corr;
        if (count == g.nlmaxi) {
            fwrite(k, k.files.msgunit, "(' pcg: NOTE alpha its exceeded: old, corr, new   ',f9.4,2x,f9.4,2x,f9.4)",
                   alpha - corr, corr, alpha);
            alpha -= corr / 2.0;
        }
    } while (std::fabs(corr) > g.nltole && count <= g.nlmaxi);
    return alpha;
}

}  // namespace

void potent(Kova& k) {
    GridStore& g = k.mess;
    g.iters = 0;
    int flag = 0;
    switch (g.solv) {
        case 0: indiag(g); break;
        case 1: iniccg(g); break;
        default:
            fwrite(k, k.files.msgunit, "(1x,'FATAL: potent(000) unknown preconditioning method',i1)", g.solv);
            kvabort(k, fatal);
            return;
    }
    PcgState st;
    do {
        pcg(k, flag, st);
        if (flag == 1) gqact(g);
        if (flag == 2) {
            if (g.solv == 0) pcdiag(g);
            else pciccg(g);
        }
    } while (flag != 3);
}

void pcg(Kova& k, int& flag, PcgState& st) {
    GridStore& g = k.mess;
    const int n = solve_points(g);
    float* __restrict r = g.rhs.data();
    float* __restrict p = g.pvec.data();
    float* __restrict w = g.work.data();
    float* __restrict phi = g.phi.data();
    const bool full = g.nonl == -1;

    if (flag == 0) {
        g.bnorm = static_cast<float>(grid_sum(1, n, [=](int l) { return std::fabs(r[l]); }));
        // The full equation starts from 0. So does a system without sources:
        // 0 is its solution, which no relative criterion could reach from
        // another start.
        if (full || g.bnorm == 0.0f) std::fill(phi + 1, phi + n + 1, 0.0f);
        std::copy(phi + 1, phi + n + 1, p + 1);
        st = PcgState{};
        g.iters = 0;
        flag = 1;  // the first product is A phi
        return;
    }

    if (flag == 1) {
        bool rnorm_done = false;
        if (st.init) {
            // r = b - A phi0 (alpha is 1); phi is left as it is.
            for (int l = 1; l <= n; ++l) r[l] -= w[l];
        } else {
            const double pap = grid_sum(1, n, [=](int l) { return static_cast<double>(p[l]) * w[l]; });
            // pAp vanishes only with p, i.e. with a residual that is already 0.
            st.alpha = pap != 0.0 ? st.rz / pap : 0.0;
            if (full) {
                const IonTerm it = ion_term(k);
                if (pap != 0.0) st.alpha = line_search(k, st.alpha, pap, st.rz, it);
                const float a = static_cast<float>(st.alpha);
                const float* __restrict iacs = g.iacs.data();
                for (int l = 1; l <= n; ++l) {
                    const float old = phi[l];
                    const float now = old + a * p[l];
                    phi[l] = now;
                    float rl = r[l] - a * w[l];
                    if (it.t != 0.0f && iacs[l] != 6.0f)
                        rl -= it.t * (sinh_of(now * it.inv_rt) - sinh_of(old * it.inv_rt));
                    r[l] = rl;
                }
            } else {
                // The update and the residual norm in one pass; the norm sums
                // in the order of grid_sum, as a separate pass would.
                const float a = static_cast<float>(st.alpha);
                g.rnorm = static_cast<float>(grid_sum(1, n, [=](int l) {
                    phi[l] += a * p[l];
                    r[l] -= a * w[l];
                    return std::fabs(r[l]);
                }));
                rnorm_done = true;
            }
        }
        if (!rnorm_done) g.rnorm = static_cast<float>(grid_sum(1, n, [=](int l) { return std::fabs(r[l]); }));
        ++g.iters;
        if (g.rnorm <= g.conv * g.bnorm) {
            flag = 3;
        } else if (g.iters < g.maxits) {
            // A residual beyond 1000 times the constant vector (or one that
            // overflowed) means the nonlinear iteration runs away.
            if (full && !(g.rnorm <= 1000.0f * g.bnorm)) {
                msg(k, "pcg: ERROR: nonlinear unable to converge");
                flag = 3;
            } else {
                flag = 2;
            }
        } else {
            msg(k, "pcg: warning maxits exceeded!");
            flag = 3;
        }
        return;
    }

    if (flag == 2) {
        const double rz = grid_sum(1, n, [=](int l) { return static_cast<double>(r[l]) * w[l]; });
        if (st.init) {
            st.beta = 0.0;
            st.init = false;
            std::copy(w + 1, w + n + 1, p + 1);  // p = z
        } else {
            st.beta = st.rz != 0.0 ? rz / st.rz : 0.0;
            const float b = static_cast<float>(st.beta);
            for (int l = 1; l <= n; ++l) p[l] = b * p[l] + w[l];
        }
        st.rz = rz;
        flag = 1;
    }
}

namespace {

// The bulk of the product, l = lo..hi, where all six neighbours exist.
// Restrict-qualified parameters let the compiler vectorise it.
void product_bulk(int lo, int hi, int nx, int nxy, const float* __restrict d, const float* __restrict ei,
                  const float* __restrict ej, const float* __restrict ek, const float* __restrict p,
                  float* __restrict w) {
    for (int l = lo; l <= hi; ++l)
        w[l] = d[l] * p[l] - ei[l] * p[l + 1] - ej[l] * p[l + nx] - ek[l] * p[l + nxy] - ei[l - 1] * p[l - 1] -
               ej[l - nx] * p[l - nx] - ek[l - nxy] * p[l - nxy];
}

}  // namespace

void gqact(GridStore& g) {
    const int n = solve_points(g);
    const int nx = g.nx, nxy = g.nxy;
    const float* p = g.pvec.data();
    const float* d = g.diagm.data();
    const float* ei = g.epsi.data();
    const float* ej = g.epsj.data();
    const float* ek = g.epsk.data();
    float* w = g.work.data();
    // work(l) = diagm(l) p(l) - epsi(l) p(l+1) - epsj(l) p(l+nx) - epsk(l) p(l+nxy)
    //         - epsi(l-1) p(l-1) - epsj(l-nx) p(l-nx) - epsk(l-nxy) p(l-nxy),
    // each term present when its index lies in 1..nxyz. The first and last
    // planes, where terms vanish, are done point by point; the bulk between
    // them without tests.
    auto point = [=](int l) {
        float v = d[l] * p[l];
        if (l + 1 <= n) v -= ei[l] * p[l + 1];
        if (l + nx <= n) v -= ej[l] * p[l + nx];
        if (l + nxy <= n) v -= ek[l] * p[l + nxy];
        if (l - 1 >= 1) v -= ei[l - 1] * p[l - 1];
        if (l - nx >= 1) v -= ej[l - nx] * p[l - nx];
        if (l - nxy >= 1) v -= ek[l - nxy] * p[l - nxy];
        w[l] = v;
    };
    const int lo = std::min(nxy + 1, n + 1);  // from here all lower neighbours exist
    const int hi = std::max(n - nxy, lo - 1);  // up to here all upper neighbours exist
    for (int l = 1; l < lo; ++l) point(l);
    product_bulk(lo, hi, nx, nxy, d, ei, ej, ek, p, w);
    for (int l = std::max(hi + 1, lo); l <= n; ++l) point(l);
}

void indiag(GridStore& g) {
    const int n = solve_points(g);
    for (int l = 1; l <= n; ++l) g.prec[l] = 1.0f / g.diagm[l];
}

void pcdiag(GridStore& g) {
    const int n = solve_points(g);
    const float* __restrict c = g.prec.data();
    const float* __restrict r = g.rhs.data();
    float* __restrict z = g.work.data();
    for (int l = 1; l <= n; ++l) z[l] = c[l] * r[l];
}

void iniccg(GridStore& g) {
    const int n = solve_points(g);
    const int nx = g.nx, nxy = g.nxy;
    const float* __restrict dm = g.diagm.data();
    const float* __restrict ei = g.epsi.data();
    const float* __restrict ej = g.epsj.data();
    const float* __restrict ek = g.epsk.data();
    float* __restrict d = g.prec.data();
    // Incomplete Cholesky without fill-in:
    //   d(l) = diagm(l) - epsi(l-1)^2/d(l-1) - epsj(l-nx)^2/d(l-nx) - epsk(l-nxy)^2/d(l-nxy)
    for (int l = 1; l <= n; ++l) {
        float v = dm[l];
        if (l - 1 >= 1) v -= ei[l - 1] * ei[l - 1] / d[l - 1];
        if (l - nx >= 1) v -= ej[l - nx] * ej[l - nx] / d[l - nx];
        if (l - nxy >= 1) v -= ek[l - nxy] * ek[l - nxy] / d[l - nxy];
        d[l] = v;
    }
    float* __restrict c = g.precinv.data();
    for (int l = 1; l <= n; ++l) c[l] = 1.0f / d[l];
}

namespace {

// Forward sweep over l = lo..hi of (D - E) y = r; the terms of the
// neighbours l - nx and l - nxy are taken when wj, wk say so. The
// recurrence runs through y(l-1) only: with c = 1/d(l) (kept in precinv),
//   y(l) = (r(l) + epsj(l-nx) y(l-nx) + epsk(l-nxy) y(l-nxy)) c + (epsi(l-1) c) y(l-1),
// everything but the last product and sum is computed off that chain.
template <bool wj, bool wk>
void forward(int lo, int hi, int nx, int nxy, const float* __restrict r, const float* __restrict dinv,
             const float* __restrict ei, const float* __restrict ej, const float* __restrict ek, float* __restrict y) {
    float prev = lo > 1 ? y[lo - 1] : 0.0f;
    for (int l = lo; l <= hi; ++l) {
        const float c = dinv[l];
        float s = r[l];
        if constexpr (wj) s += ej[l - nx] * y[l - nx];
        if constexpr (wk) s += ek[l - nxy] * y[l - nxy];
        const float e = l > 1 ? ei[l - 1] : 0.0f;
        prev = s * c + (e * c) * prev;
        y[l] = prev;
    }
}

// Backward sweep over l = hi down to lo of D^-1 (D - E^T) z = y, in place:
//   z(l) = y(l) + (epsj(l) z(l+nx) + epsk(l) z(l+nxy)) c + (epsi(l) c) z(l+1).
template <bool wj, bool wk>
void backward(int lo, int hi, int nx, int nxy, const float* __restrict dinv, const float* __restrict ei,
              const float* __restrict ej, const float* __restrict ek, float* __restrict z) {
    float next = z[hi + 1];
    for (int l = hi; l >= lo; --l) {
        const float c = dinv[l];
        float y = z[l];
        if constexpr (wj) {
            float s = ej[l] * z[l + nx];
            if constexpr (wk) s += ek[l] * z[l + nxy];
            y += s * c;
        }
        next = y + (ei[l] * c) * next;
        z[l] = next;
    }
}

// The same sweeps over four consecutive grid lines at once (lines R0 to
// R0 + 3 forward, R0 down to R0 - 3 backward), each line a few points
// behind the one before it, so that the four recurrences run side by side and hide
// each other's latency. A point needs the point before it on its line and
// points of earlier lines at its own column, all finished by then: the
// operands and their order are those of the sweeps above, and so is the
// result, to the bit. The recurrence does not cross a line end because the
// coupling epsi on the face i = nx is 0 (the caller checks it): each line
// starts its chain at 0, which the plain sweep multiplies by that 0.
// Lines are kept kSkew points apart, so that a point's neighbour on the
// line before was finished kSkew steps earlier and only the line's own
// recurrence lies on the critical path.
constexpr int kSkew = 2;

void forward4(int row0, int nx, int nxy, const float* __restrict r, const float* __restrict dinv,
              const float* __restrict ei, const float* __restrict ej, const float* __restrict ek,
              float* __restrict y) {
    const int base = 1 + row0 * nx;
    float p0 = 0.0f, p1 = 0.0f, p2 = 0.0f, p3 = 0.0f;
    auto step = [&](int l, float& prev) {
        const float c = dinv[l];
        float s = r[l];
        s += ej[l - nx] * y[l - nx];
        s += ek[l - nxy] * y[l - nxy];
        prev = s * c + (ei[l - 1] * c) * prev;
        y[l] = prev;
    };
    // Line q handles column t - q kSkew at step t.
    auto partial = [&](int t) {
        if (t >= 0 && t < nx) step(base + t, p0);
        if (t - kSkew >= 0 && t - kSkew < nx) step(base + nx + t - kSkew, p1);
        if (t - 2 * kSkew >= 0 && t - 2 * kSkew < nx) step(base + 2 * nx + t - 2 * kSkew, p2);
        if (t - 3 * kSkew >= 0 && t - 3 * kSkew < nx) step(base + 3 * nx + t - 3 * kSkew, p3);
    };
    const int lag = 3 * kSkew;
    for (int t = 0; t < std::min(lag, nx + lag); ++t) partial(t);
    for (int t = lag; t < nx; ++t) {
        step(base + t, p0);
        step(base + nx + t - kSkew, p1);
        step(base + 2 * nx + t - 2 * kSkew, p2);
        step(base + 3 * nx + t - 3 * kSkew, p3);
    }
    for (int t = std::max(nx, lag); t < nx + lag; ++t) partial(t);
}

void backward4(int row0, int nx, int nxy, const float* __restrict dinv, const float* __restrict ei,
               const float* __restrict ej, const float* __restrict ek, float* __restrict z) {
    // Line row0 - q, column i = nx - 1 - (t - q kSkew) at step t.
    const int base = 1 + row0 * nx + nx - 1;  // last point of line row0
    float n0 = 0.0f, n1 = 0.0f, n2 = 0.0f, n3 = 0.0f;
    auto step = [&](int l, float& next) {
        const float c = dinv[l];
        float y = z[l];
        float s = ej[l] * z[l + nx];
        s += ek[l] * z[l + nxy];
        y += s * c;
        next = y + (ei[l] * c) * next;
        z[l] = next;
    };
    auto partial = [&](int t) {
        if (t >= 0 && t < nx) step(base - t, n0);
        if (t - kSkew >= 0 && t - kSkew < nx) step(base - nx - (t - kSkew), n1);
        if (t - 2 * kSkew >= 0 && t - 2 * kSkew < nx) step(base - 2 * nx - (t - 2 * kSkew), n2);
        if (t - 3 * kSkew >= 0 && t - 3 * kSkew < nx) step(base - 3 * nx - (t - 3 * kSkew), n3);
    };
    const int lag = 3 * kSkew;
    for (int t = 0; t < std::min(lag, nx + lag); ++t) partial(t);
    for (int t = lag; t < nx; ++t) {
        step(base - t, n0);
        step(base - nx - (t - kSkew), n1);
        step(base - 2 * nx - (t - 2 * kSkew), n2);
        step(base - 3 * nx - (t - 3 * kSkew), n3);
    }
    for (int t = std::max(nx, lag); t < nx + lag; ++t) partial(t);
}

// Whether no coupling crosses a line end: epsi is 0 on the face i = nx, as
// the maps are built.
bool lines_uncoupled(const GridStore& g) {
    const float* ei = g.epsi.data();
    for (int l = g.nx; l <= g.nxyz; l += g.nx)
        if (ei[l] != 0.0f) return false;
    return true;
}

}  // namespace

void pciccg(GridStore& g) {
    const int n = solve_points(g);
    if (n == 0) return;
    const int nx = g.nx, nxy = g.nxy;
    const float* r = g.rhs.data();
    const float* d = g.precinv.data();  // 1/d, computed once by iniccg
    const float* ei = g.epsi.data();
    const float* ej = g.epsj.data();
    const float* ek = g.epsk.data();
    float* y = g.work.data();  // y and then z in work
    // M = (D - E) D^-1 (D - E^T), E the strictly lower couplings.
    // Forward: y(l) = (r(l) + epsi(l-1) y(l-1) + epsj(l-nx) y(l-nx) + epsk(l-nxy) y(l-nxy)) / d(l),
    // terms present when their index is at least 1.
    const int a = std::min(nx, n), b = std::min(nxy, n);
    forward<false, false>(1, a, nx, nxy, r, d, ei, ej, ek, y);
    forward<true, false>(a + 1, b, nx, nxy, r, d, ei, ej, ek, y);
    // Beyond the first plane, four lines at a time where the lines are
    // uncoupled; the lines left over (and every line otherwise) one by one.
    const int rows = n / nx, row1 = b / nx;  // lines in all; first line of the second plane
    int row = row1;
    const bool skew = n > b && lines_uncoupled(g);
    if (skew)
        for (; row + 4 <= rows; row += 4) forward4(row, nx, nxy, r, d, ei, ej, ek, y);
    forward<true, true>(std::max(b, row * nx) + 1, n, nx, nxy, r, d, ei, ej, ek, y);
    // y(l) = d(l) y(l) for l < nxyz; backward from z(nxyz) = y(nxyz):
    // z(l) = (y(l) + epsi(l) z(l+1) + epsj(l) z(l+nx) + epsk(l) z(l+nxy)) / d(l),
    // terms present when their index is at most nxyz. The scaling and the
    // division cancel in the y term.
    const int ua = std::max(n - nx, 0), ub = std::max(n - nxy, 0);  // above ua no z(l+nx), above ub no z(l+nxy)
    backward<false, false>(ua + 1, n - 1, nx, nxy, d, ei, ej, ek, y);
    backward<true, false>(ub + 1, std::min(ua, n - 1), nx, nxy, d, ei, ej, ek, y);
    // Below the last plane: lines ub/nx - 1 down to 0, four at a time from
    // the top, the lines left at the bottom one by one.
    int top = ub / nx - 1;  // the highest line below the last plane
    if (skew)
        for (; top - 3 >= 0; top -= 4) backward4(top, nx, nxy, d, ei, ej, ek, y);
    backward<true, true>(1, std::min((top + 1) * nx, std::min(ub, n - 1)), nx, nxy, d, ei, ej, ek, y);
}

}  // namespace kova
