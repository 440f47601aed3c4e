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
//
// The full equation is solved by the same conjugate-gradient iteration with
// a Newton line search for the step, as long as every step lowers the
// energy whose minimum the solution is. Where a step would not (far from
// the solution, with large potentials at points open to the ions), Newton's
// method with a line search on that energy takes over from the potential
// reached, and converges from there. A solve that ends with no usable
// potential (a residual that is not a finite number, or a full equation
// whose energy cannot be lowered further) sets phi to 0 and says so.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include "command/output.hpp"
#include "elec/elec.hpp"
#include "elec/multigrid.hpp"

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

// Largest |phi/RT| that the ionic term is evaluated at; beyond it sinh
// and cosh keep their values at the bound. e^80 is 5.5e34: sinh and cosh,
// multiplied by the ionic factor t and a squared direction and summed over
// the grid in double, stay far inside the single-precision range (3.4e38),
// where e^x itself overflows at 88.7. No solution comes near the bound: at a
// point open to the ions the sinh term balances the charge and the
// couplings there, so |phi/RT| is about asinh(b/t), below 40 for any
// ionic strength above 1e-9 mM. Beyond the bound the ionic energy grows
// linearly instead of exponentially; it stays convex, with the same
// minimum.
constexpr float kArgMax = 80.0f;

// sinh and cosh of x (clamped to the bound) from one exponential; expm1
// keeps sinh accurate near 0, and beyond |x| = 20 the term e^-|x| is below
// single-precision rounding.
inline void sinh_cosh(float x, float& s, float& c) {
    const float fx = std::fabs(x);
    const float ax = fx > kArgMax ? kArgMax : fx;
    if (ax > 20.0f) {
        const float half = 0.5f * std::exp(ax);
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

// The full equation is the minimum of the energy
//   E(phi) = 1/2 phi A phi - b phi + t RT sum G(phi/RT),
// G' = sinh over the points open to the ions (G = cosh within the bound of
// the argument, continued linearly beyond it); its gradient is -r. E is
// convex, so along a direction p with p.r > 0 it falls from alpha = 0 up to
// the one root of its slope
//   f(alpha) = alpha pAp - pr + t sum (sinh(x + alpha p/RT) - sinh(x)) p,
// x = phi/RT, pr = p.r, and rises after it. Steps that keep E falling make
// the iteration converge from any start; the routines below test a step
// and find one.

// e^x for |x| <= 87 without branches, so that loops over the grid
// vectorise: x = n ln 2 + r with |r| <= ln 2 / 2, e^r by its Taylor series
// to r^7 (truncation below 1e-8 relative), 2^n put into the exponent bits.
inline float exp_flat(float x) {
    // n rounded to the nearest integer by adding and removing 1.5 2^23.
    const float n = (x * 1.44269504088896341f + 12582912.0f) - 12582912.0f;
    // ln 2 in two parts, the first exact in products with n.
    float r = x - n * 0.693359375f;
    r = r + n * 2.12194440e-4f;
    float q = 1.0f / 5040.0f;
    q = q * r + 1.0f / 720.0f;
    q = q * r + 1.0f / 120.0f;
    q = q * r + 1.0f / 24.0f;
    q = q * r + 1.0f / 6.0f;
    q = q * r + 0.5f;
    q = q * r + 1.0f;
    q = q * r + 1.0f;
    const std::int32_t bits = (static_cast<std::int32_t>(n) + 127) << 23;
    float scale;
    std::memcpy(&scale, &bits, sizeof scale);
    return q * scale;
}

// sinh and cosh of x within the bound, without branches: from e^|x| and
// its inverse, sinh by its series below |x| = 0.5, where the difference
// would lose digits.
inline void sinh_cosh_flat(float x, float& s, float& c) {
    const float ax = std::fabs(x);
    const float e = exp_flat(ax), inv = 1.0f / e;
    c = 0.5f * (e + inv);
    const float x2 = x * x;
    const float series = x * (1.0f + x2 * (1.0f / 6.0f) * (1.0f + x2 * (1.0f / 20.0f) * (1.0f + x2 * (1.0f / 42.0f))));
    const float big = std::copysign(0.5f * (e - inv), x);
    s = ax < 0.5f ? series : big;
}

// The same for any x, clamped to the bound first (NaN taken as 0: the
// residual that uses it carries the NaN on through A phi).
inline void sinh_cosh_bounded(float x, float& s, float& c) {
    const float xc = x > kArgMax ? kArgMax : x < -kArgMax ? -kArgMax : x == x ? x : 0.0f;
    sinh_cosh_flat(xc, s, c);
}

// Whether x, x + d and d allow the branch-free forms below.
inline bool flat_range(float x, float d) {
    // & rather than &&: no branches in the loops that use it.
    return (std::fabs(x) <= kArgMax) & (std::fabs(x + d) <= kArgMax) & (std::fabs(d) <= 1.0f);
}

// G(x + d) - G(x) - d sinh(x) at one point: what the ionic energy gains over
// its change at first order, >= 0. In flat_range from
// cosh(x) (cosh d - 1) + sinh(x) (sinh d - d), which loses nothing to
// cancellation as d goes to 0: cosh d - 1 = 2 sinh^2(d/2) and sinh d - d
// from their series.
inline float ion_excess_flat(float x, float d) {
    float s, c;
    sinh_cosh_flat(x, s, c);
    const float h = 0.5f * d, h2 = h * h, d2 = d * d;
    const float sh = h * (1.0f + h2 * (1.0f / 6.0f) * (1.0f + h2 * (1.0f / 20.0f) * (1.0f + h2 * (1.0f / 42.0f))));
    const float cubic =
        d * d2 * (1.0f / 6.0f) * (1.0f + d2 * (1.0f / 20.0f) * (1.0f + d2 * (1.0f / 42.0f) * (1.0f + d2 * (1.0f / 72.0f))));
    return c * (2.0f * sh * sh) + s * cubic;
}

// The same anywhere, in double from G itself.
double ion_excess_wide(float x, float d) {
    const double b = kArgMax;
    auto big_g = [b](double y) {
        const double a = std::fabs(y);
        return a <= b ? std::cosh(y) : std::cosh(b) + std::sinh(b) * (a - b);
    };
    const double xd = x, dd = d;
    return big_g(xd + dd) - big_g(xd) - dd * std::sinh(std::clamp(xd, -b, b));
}

// E(phi + alpha p) - E(phi) for the direction p: the points in flat_range
// in a branch-free pass, summed in single precision over blocks of 256
// points and the blocks in double; the others (large steps) one by one.
double energy_change(const GridStore& g, const float* __restrict p, double alpha, double pap, double pr,
                     IonTerm it) {
    const int n = solve_points(g);
    const float* __restrict phi = g.phi.data();
    const float* __restrict iacs = g.iacs.data();
    const float inv_rt = it.inv_rt;
    const float a = static_cast<float>(alpha);
    double ions = 0;
    int wide = 0;
    for (int lo = 1; lo <= n; lo += 256) {
        const int hi = std::min(lo + 255, n);
        float block = 0.0f;
        int out = 0;
        for (int l = lo; l <= hi; ++l) {
            const float x = phi[l] * inv_rt, d = a * p[l] * inv_rt;
            const bool flat = flat_range(x, d);
            const bool open = iacs[l] != 6.0f;
            const float e = ion_excess_flat(flat ? x : 0.0f, flat ? d : 0.0f);
            block += open & flat ? e : 0.0f;
            out += open & !flat;
        }
        ions += block;
        wide += out;
    }
    if (wide > 0)
        for (int l = 1; l <= n; ++l) {
            const float x = phi[l] * inv_rt, d = a * p[l] * inv_rt;
            if (iacs[l] != 6.0f && !flat_range(x, d)) ions += ion_excess_wide(x, d);
        }
    return alpha * (0.5 * alpha * pap - pr) + static_cast<double>(it.t) / inv_rt * ions;
}

// Whether a step along p lowers the energy: finite, positive and below the
// start.
bool lowers_energy(const GridStore& g, const float* p, double alpha, double pap, double pr, IonTerm it) {
    if (!(alpha > 0.0) || !std::isfinite(alpha)) return false;
    return energy_change(g, p, alpha, pap, pr, it) < 0.0;
}

// The slope f(alpha) of the energy along p and its derivative
//   f'(alpha) = pAp + t/RT sum G''(x + alpha p/RT) p^2,
// G'' = cosh within the bound, 0 beyond. With d = alpha p/RT and
// m = x + d/2, the difference of the sinh terms is taken as
// 2 cosh(m) sinh(d/2), which keeps its precision for small steps, and
// cosh(x + d) as cosh(m) cosh(d/2) + sinh(m) sinh(d/2).
struct Slope {
    double f, df;
};

Slope slope(const GridStore& g, const float* __restrict p, double alpha, double pap, double pr, IonTerm it) {
    const int n = solve_points(g);
    const float* __restrict phi = g.phi.data();
    const float* __restrict iacs = g.iacs.data();
    const float inv_rt = it.inv_rt;
    const float a = static_cast<float>(alpha);
    double sd = 0, c2 = 0;
    for (int l = 1; l <= n; ++l) {
        if (iacs[l] == 6.0f) continue;
        const float x = phi[l] * inv_rt, d = a * p[l] * inv_rt;
        float diff, curv;
        if (std::fabs(x) <= kArgMax && std::fabs(x + d) <= kArgMax) {
            float sm, cm, sh, ch;
            sinh_cosh(x + 0.5f * d, sm, cm);
            sinh_cosh(0.5f * d, sh, ch);
            diff = 2.0f * cm * sh;
            curv = cm * ch + sm * sh;
        } else {
            diff = sinh_of(x + d) - sinh_of(x);
            curv = 0.0f;
        }
        const double pl = p[l];
        sd += diff * pl;
        c2 += curv * pl * pl;
    }
    return {alpha * pap - pr + it.t * sd, pap + it.t * c2 * inv_rt};
}

// A step along p that lowers the energy, for a direction with pr > 0 and
// pAp > 0: the root of the slope, which lies between 0 (f = -pr) and the
// linear step pr/pAp (where the sinh terms make f >= 0), by Newton's method
// kept inside the bracket, with bisection wherever a Newton step would
// leave it or the bracket has not halved over two passes. Ends when f is within a
// thousandth of -f(0) or the bracket has closed; a last point past the
// root is kept only if the energy is below the start there, otherwise the
// lower end of the bracket is taken, below the root, where it is. 0 when
// no step lowers the energy in single precision.
double descent_step(const GridStore& g, const float* p, double pap, double pr, IonTerm it) {
    double lo = 0.0, hi = pr / pap;
    const Slope s0 = slope(g, p, 0.0, pap, pr, it);
    double alpha = std::min(pr / s0.df, hi);
    double width = hi - lo;  // the bracket two passes back
    Slope s{};
    for (int pass = 0; pass < 100; ++pass) {
        s = slope(g, p, alpha, pap, pr, it);
        if (!std::isfinite(s.f)) s.f = HUGE_VAL;
        if (s.f < 0.0) lo = alpha;
        else hi = alpha;
        if (std::fabs(s.f) <= 1.0e-3 * pr || hi - lo <= 1.0e-7 * hi) break;
        // Where the sinh terms dominate, Newton's steps shrink the bracket
        // by a fixed amount each (about RT in the potential): every other
        // pass the bracket must have halved, or the pass bisects.
        double next = alpha - s.f / s.df;
        const bool slow = pass % 2 == 1 && hi - lo > 0.5 * width;
        if (pass % 2 == 1) width = hi - lo;
        if (slow || !(next > lo && next < hi)) next = 0.5 * (lo + hi);
        alpha = next;
    }
    if (s.f <= 0.0 && alpha > 0.0) return alpha;
    if (lowers_energy(g, p, alpha, pap, pr, it)) return alpha;
    return lo;
}

// Newton's method for the full equation from the current phi (below);
// false when it cannot lower the energy any further. With a multigrid
// hierarchy its inner solves are preconditioned by it.
bool newton(Kova& k, Multigrid* mg);

}  // namespace

void potent(Kova& k) {
    GridStore& g = k.mess;
    g.iters = 0;
    g.newton = false;
    g.phibad = false;
    int flag = 0;
    std::unique_ptr<Multigrid> mg;
    switch (g.solv) {
        case 0: indiag(g); break;
        case 1: iniccg(g); break;
        case 2:
            mg = std::make_unique<Multigrid>(g);
            mg->setup(g.diagm.data());
            break;
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
            else if (g.solv == 1) pciccg(g);
            else mg->apply(g.rhs.data(), g.work.data());
        }
    } while (flag != 3);
    bool solved = true;
    if (g.newton && std::isfinite(g.rnorm)) solved = newton(k, mg.get());
    // A solve that ends without a usable potential leaves none: phi is set
    // to 0 over the whole store, as at the start of the run, so that no
    // later solve starts from it or focuses from it (eledrv forgets the
    // grid), and the norms describe that potential, whose residual is b.
    const bool finite = std::isfinite(g.rnorm) && std::isfinite(g.bnorm);
    if (solved && finite) return;
    std::fill(g.phi.begin(), g.phi.end(), 0.0f);
    if (!std::isfinite(g.bnorm)) g.bnorm = 0.0f;
    g.rnorm = g.bnorm;
    g.phibad = true;
    if (!finite)
        msg(k, "ERROR: potent(010) residual not finite; potential set to zero, grid not kept");
    else
        msg(k, "ERROR: potent(020) nonlinear equation not solved; potential set to zero, grid not kept");
    kvabort(k, error);
}

void pcg(Kova& k, int& flag, PcgState& st) {
    GridStore& g = k.mess;
    const int n = solve_points(g);
    float* __restrict r = g.rhs.data();
    float* __restrict p = g.pvec.data();
    float* __restrict w = g.work.data();
    float* __restrict phi = g.phi.data();
    const bool full = g.nonl == -1;
    // Sums and loops over the points: with the multigrid preconditioner
    // spread over the threads in fixed blocks (block_sum), the same to the
    // bit for any number of threads; with the others in one pass.
    const bool par = g.solv == 2;
    const int th = par ? grid_threads(g) : 1;
    auto sum = [&](auto f) { return par ? block_sum(th, 1, n, f) : grid_sum(1, n, f); };
    auto each = [&](auto f) {
        if (par) block_each(th, 1, n, f);
        else
            for (int l = 1; l <= n; ++l) f(l);
    };

    if (flag == 0) {
        g.bnorm = static_cast<float>(sum([=](int l) { return std::fabs(r[l]); }));
        // The full equation starts from 0. So does a system without sources:
        // 0 is its solution, which no relative criterion could reach from
        // another start.
        if (full || g.bnorm == 0.0f) std::fill(phi + 1, phi + n + 1, 0.0f);
        std::copy(phi + 1, phi + n + 1, p + 1);
        if (full) {
            // b, for Newton's method should it take over.
            if (g.nlrhs.size() < g.rhs.size()) g.nlrhs.assign(g.rhs.size(), 0.0f);
            std::copy(r + 1, r + n + 1, g.nlrhs.data() + 1);
        }
        st = PcgState{};
        g.iters = 0;
        flag = 1;  // the first product is A phi
        return;
    }

    if (flag == 1) {
        bool rnorm_done = false;
        if (st.init) {
            // r = b - A phi0 (alpha is 1); phi is left as it is.
            each([=](int l) { r[l] -= w[l]; });
        } else {
            const double pap = sum([=](int l) { return static_cast<double>(p[l]) * w[l]; });
            // pAp vanishes only with p, i.e. with a residual that is already 0.
            st.alpha = pap != 0.0 ? st.rz / pap : 0.0;
            if (full) {
                const IonTerm it = ion_term(k);
                if (pap != 0.0) st.alpha = line_search(k, st.alpha, pap, st.rz, it);
                if (it.t != 0.0f) {
                    // The step must lower the energy along a direction that
                    // descends (p.r > 0). Where the Newton line search has
                    // not found such a step, the potential may lie far from
                    // the solution, where the sinh terms make the energy
                    // too steep for conjugate directions preconditioned by
                    // A alone: Newton's method takes over from here, with
                    // phi and the residual as they are.
                    const double pr = sum([=](int l) { return static_cast<double>(p[l]) * r[l]; });
                    if (!(pap > 0.0) || !(pr > 0.0) || !lowers_energy(g, p, st.alpha, pap, pr, it)) {
                        g.newton = true;
                        flag = 3;
                        return;
                    }
                }
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
                g.rnorm = static_cast<float>(sum([=](int l) {
                    phi[l] += a * p[l];
                    r[l] -= a * w[l];
                    return std::fabs(r[l]);
                }));
                rnorm_done = true;
            }
        }
        if (!rnorm_done) g.rnorm = static_cast<float>(sum([=](int l) { return std::fabs(r[l]); }));
        ++g.iters;
        if (!std::isfinite(g.rnorm)) {
            // Nothing to iterate on: potent reports it.
            flag = 3;
        } else if (g.rnorm <= g.conv * g.bnorm) {
            flag = 3;
        } else if (g.iters < g.maxits) {
            // A residual beyond 1000 times the constant vector: the
            // potential lies far from the solution; Newton's method goes on
            // from it (the steps so far have all lowered the energy).
            if (full && !(g.rnorm <= 1000.0f * g.bnorm)) {
                g.newton = true;
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
        const double rz = sum([=](int l) { return static_cast<double>(r[l]) * w[l]; });
        if (st.init) {
            st.beta = 0.0;
            st.init = false;
            std::copy(w + 1, w + n + 1, p + 1);  // p = z
        } else {
            st.beta = st.rz != 0.0 ? rz / st.rz : 0.0;
            const float b = static_cast<float>(st.beta);
            each([=](int l) { p[l] = b * p[l] + w[l]; });
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

namespace {

// w = (A with the diagonal d) p over the points of the grid.
void product(const GridStore& g, const float* d, const float* p, float* w) {
    const int n = solve_points(g);
    const int nx = g.nx, nxy = g.nxy;
    const float* ei = g.epsi.data();
    const float* ej = g.epsj.data();
    const float* ek = g.epsk.data();
    // w(l) = d(l) p(l) - epsi(l) p(l+1) - epsj(l) p(l+nx) - epsk(l) p(l+nxy)
    //      - epsi(l-1) p(l-1) - epsj(l-nx) p(l-nx) - epsk(l-nxy) p(l-nxy),
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
    // The bulk in fixed blocks over the threads: each point is written by
    // one thread from values no thread changes, so the result does not
    // depend on the number of threads.
    if (hi >= lo) {
        const int bs = sum_block(hi - lo + 1), nb = (hi - lo + bs) / bs;
#pragma omp parallel for num_threads(grid_threads(g)) schedule(static) if (hi - lo + 1 >= kThreadedPoints)
        for (int c = 0; c < nb; ++c)
            product_bulk(lo + c * bs, std::min(hi, lo + c * bs + bs - 1), nx, nxy, d, ei, ej, ek, p, w);
    }
    for (int l = std::max(hi + 1, lo); l <= n; ++l) point(l);
}

}  // namespace

void gqact(GridStore& g) { product(g, g.diagm.data(), g.pvec.data(), g.work.data()); }

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

namespace {

// y = M^-1 r for the incomplete Cholesky factor whose inverse diagonal is
// dinv; y holds y and then z.
void ic_apply(const GridStore& g, const float* r, const float* d, float* y) {
    const int n = solve_points(g);
    if (n == 0) return;
    const int nx = g.nx, nxy = g.nxy;
    const float* ei = g.epsi.data();
    const float* ej = g.epsj.data();
    const float* ek = g.epsk.data();
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

}  // namespace

// 1/d computed once by iniccg; y and then z in work.
void pciccg(GridStore& g) { ic_apply(g, g.rhs.data(), g.precinv.data(), g.work.data()); }

namespace {

// R = b - A phi - t sinh(phi/RT) from w = A phi, and the terms of its
// rounding floor (Jacobian row times |phi|, plus |b|) into fl.
void residual_terms(int n, const float* __restrict b, const float* __restrict w, const float* __restrict phi,
                    const float* __restrict dm, const float* __restrict iacs, float t, float inv_rt,
                    float* __restrict big_r, float* __restrict fl) {
    for (int l = 1; l <= n; ++l) {
        float s, c;
        sinh_cosh_bounded(phi[l] * inv_rt, s, c);
        const float open = iacs[l] != 6.0f ? 1.0f : 0.0f;
        big_r[l] = b[l] - w[l] - open * t * s;
        fl[l] = (2.0f * dm[l] + open * t * c * inv_rt) * std::fabs(phi[l]) + std::fabs(b[l]);
    }
}

// Newton's method for the full equation, from the potential phi that the
// conjugate-gradient iteration leaves. Each step solves the linearised
// equation about phi,
//   J d = R,  J = A + diag(t cosh(phi/RT)/RT at the points open to the ions),
// R = b - A phi - t sinh(phi/RT) the residual, by conjugate gradients
// preconditioned with the incomplete Cholesky factor of J (with solv 2, a
// multigrid V-cycle on J), which takes the steep ionic terms into the
// preconditioner; the tolerance tightens as R
// falls (Eisenstat and Walker: |J d - R| at most 0.9 (|R_k|/|R_k-1|)^2
// |R_k|, never below what the criterion conv needs). It then moves along d
// (a descent direction, J being positive definite): the whole step when the
// energy falls by at least 1e-4 of its first-order change, otherwise a step
// from descent_step. R is computed afresh from b after every step: updated
// step by step, it would keep the rounding errors of the large residuals of
// the first steps; so the iteration also stops, with a note, once R no
// longer falls and lies within what rounding phi to single precision
// leaves (criteria below about 1e-6 can ask for more than that where the
// potentials are large). Each Newton step counts one iteration; each inner
// solve takes at most maxits passes.
// Maps: nlrhs holds b, rhs R, nlstep d, nlres the inner residual, pvec and
// work the inner direction and product, prec the diagonal of J, precinv the
// inverse diagonal of its factor.
bool newton(Kova& k, Multigrid* mg) {
    GridStore& g = k.mess;
    const int n = solve_points(g);
    const int nx = g.nx, nxy = g.nxy;
    const IonTerm it = ion_term(k);
    for (auto* v : {&g.nlstep, &g.nlres})
        if (v->size() < g.rhs.size()) v->assign(g.rhs.size(), 0.0f);
    float* __restrict phi = g.phi.data();
    float* __restrict big_r = g.rhs.data();
    const float* __restrict b = g.nlrhs.data();
    float* __restrict d = g.nlstep.data();
    float* __restrict ri = g.nlres.data();
    float* __restrict p = g.pvec.data();
    float* __restrict w = g.work.data();
    float* __restrict jd = g.prec.data();
    float* __restrict dinv = g.precinv.data();
    const float* __restrict dm = g.diagm.data();
    const float* __restrict iacs = g.iacs.data();
    const float* __restrict ei = g.epsi.data();
    const float* __restrict ej = g.epsj.data();
    const float* __restrict ek = g.epsk.data();
    const float t = it.t, inv_rt = it.inv_rt;
    const double goal = static_cast<double>(g.conv) * g.bnorm;
    // R = b - A phi - t sinh(phi/RT) into rhs (A phi through work); |R|,
    // and into rounding what rounding phi and b to single precision alone
    // leaves of it: half an ulp of each value times its row of the Jacobian
    // (at most twice its diagonal in A).
    double rounding = 0;
    // (The terms of the floor go through nlres, free between inner solves,
    // so that the pass computing them has no sums and vectorises.)
    auto residual = [=, &g, &rounding]() {
        product(g, dm, phi, w);
        residual_terms(n, b, w, phi, dm, iacs, t, inv_rt, big_r, ri);
        rounding = grid_sum(1, n, [=](int l) { return static_cast<double>(ri[l]); }) * 0x1p-24;
        return grid_sum(1, n, [=](int l) { return static_cast<double>(std::fabs(big_r[l])); });
    };
    double rn = residual(), eta = 0.1;
    g.rnorm = static_cast<float>(rn);
    for (;;) {
        if (rn <= goal) return true;
        if (g.iters >= g.maxits) {
            msg(k, "pcg: warning maxits exceeded!");
            return true;
        }
        // J and its incomplete Cholesky factor, kept as 1/d:
        //   d(l) = J(l,l) - epsi(l-1)^2/d(l-1) - epsj(l-nx)^2/d(l-nx) - epsk(l-nxy)^2/d(l-nxy).
        for (int l = 1; l <= n; ++l) {
            float s, c;
            sinh_cosh_bounded(phi[l] * inv_rt, s, c);
            jd[l] = dm[l] + (iacs[l] != 6.0f ? t * c * inv_rt : 0.0f);
        }
        // With multigrid: its coarse operators for J instead.
        if (mg)
            mg->setup(jd);
        else
            for (int l = 1; l <= n; ++l) {
                float v = jd[l];
                if (l - 1 >= 1) v -= ei[l - 1] * ei[l - 1] * dinv[l - 1];
                if (l - nx >= 1) v -= ej[l - nx] * ej[l - nx] * dinv[l - nx];
                if (l - nxy >= 1) v -= ek[l - nxy] * ek[l - nxy] * dinv[l - nxy];
                dinv[l] = 1.0f / v;
            }
        // J d = R from d = 0.
        const double target = std::max(eta * rn, 0.5 * goal);
        std::fill(d + 1, d + n + 1, 0.0f);
        std::copy(big_r + 1, big_r + n + 1, ri + 1);
        if (mg) mg->apply(ri, w);
        else ic_apply(g, ri, dinv, w);
        std::copy(w + 1, w + n + 1, p + 1);
        double rz = grid_sum(1, n, [=](int l) { return static_cast<double>(ri[l]) * w[l]; });
        for (int pass = 0; pass < g.maxits; ++pass) {
            product(g, jd, p, w);
            const double pjp = grid_sum(1, n, [=](int l) { return static_cast<double>(p[l]) * w[l]; });
            if (!(pjp > 0.0)) break;
            const float a = static_cast<float>(rz / pjp);
            const double rin = grid_sum(1, n, [=](int l) {
                d[l] += a * p[l];
                ri[l] -= a * w[l];
                return std::fabs(ri[l]);
            });
            if (!(rin > target)) break;
            if (mg) mg->apply(ri, w);
            else ic_apply(g, ri, dinv, w);
            const double rz1 = grid_sum(1, n, [=](int l) { return static_cast<double>(ri[l]) * w[l]; });
            const float beta = static_cast<float>(rz1 / rz);
            rz = rz1;
            for (int l = 1; l <= n; ++l) p[l] = beta * p[l] + w[l];
        }
        // The step along d: w = A d.
        product(g, dm, d, w);
        const double pap = grid_sum(1, n, [=](int l) { return static_cast<double>(d[l]) * w[l]; });
        const double pr = grid_sum(1, n, [=](int l) { return static_cast<double>(d[l]) * big_r[l]; });
        if (!(pr > 0.0) || !(pap > 0.0) || !std::isfinite(pr) || !std::isfinite(pap)) break;
        double alpha = 1.0;
        if (!(energy_change(g, d, 1.0, pap, pr, it) <= -1.0e-4 * pr)) alpha = descent_step(g, d, pap, pr, it);
        if (!(alpha > 0.0)) break;
        const float a = static_cast<float>(alpha);
        for (int l = 1; l <= n; ++l) phi[l] += a * d[l];
        const double rn1 = residual();
        ++g.iters;
        g.rnorm = static_cast<float>(rn1);
        if (!std::isfinite(rn1)) return true;  // potent reports it
        if (rn1 > goal && rn1 <= rounding && rn1 > 0.5 * rn) {
            // No longer falling, within what single precision can resolve:
            // the criterion asks for more than a potential in single
            // precision can give.
            msg(k, "pcg: NOTE residual at single-precision rounding; conv not reached");
            return true;
        }
        // Eisenstat and Walker's forcing term, kept from falling faster than
        // it did before and at most 0.5.
        const double ratio = rn1 / rn;
        double next = 0.9 * ratio * ratio;
        if (0.9 * eta * eta > 0.1) next = std::max(next, 0.9 * eta * eta);
        eta = std::min(next, 0.5);
        rn = rn1;
    }
    msg(k, "pcg: ERROR: nonlinear unable to converge");
    return false;
}

}  // namespace

}  // namespace kova
