// em: minimisation of the force-field energy over the atom coordinates by
// steepest descent with an adaptive step, a Newton-Raphson step on a
// finite-difference Hessian (small systems), or a quasi-Newton (BFGS)
// method whose inverse-Hessian approximation keeps only the 3 x 3 blocks of
// interacting atoms, with a bracketing and Brent line search.
#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "command/output.hpp"
#include "command/readers.hpp"
#include "fortio/format.hpp"
#include "mech/mech.hpp"

namespace kova {

namespace {

constexpr int stdout_unit = fortio::UnitTable::stdout_unit;
constexpr int maxnr = 200;     // atoms the Newton-Raphson Hessian holds
constexpr int maxbfgs = 200;   // atoms of the BFGS approximation
constexpr int maxinter = 100;  // interaction partners of one atom under BFGS
constexpr double nrdisp = 0.02;  // displacement of the finite-difference Hessian (A)

void list_line(Kova& k, std::initializer_list<fortio::OutItem> items) {
    k.units.write(stdout_unit, fortio::list_write(items));
}

// A value read for a keyword, refused (with the message) when not finite
// or outside its range; the keyword is then ignored if the run goes on.
bool admit(Kova& k, double v, double lo, bool lo_excluded, std::string_view code, std::string_view what) {
    if (std::isfinite(v) && (lo_excluded ? v > lo : v >= lo)) return true;
    msg(k, "SERIOUS: Emdrv(" + std::string(code) + ") ", what, ": " + value_text(float(v)));
    kvabort(k, serious);
    return false;
}
bool admit(Kova& k, int v, int lo, std::string_view code, std::string_view what) {
    if (v >= lo) return true;
    msg(k, "SERIOUS: Emdrv(" + std::string(code) + ") ", what, ": " + std::to_string(v));
    kvabort(k, serious);
    return false;
}

struct Minimiser {
    Kova& k;
    ForceField& ff;
    EvalState& ev;
    EmStore& em;
    int n;  // atoms
    // Coordinates at the last good evaluation.
    std::vector<double> keep;
    bool pbmark = false;  // the previous convergence test passed with PB on

    Minimiser(Kova& kk) : k(kk), ff(kk.ff), ev(kk.ff.ev), em(kk.ff.em), n(kk.mol.natom), keep(3 * size_t(n)) {}

    void save() {
        for (int i = 1; i <= n; ++i) keep[3 * (i - 1)] = ff.xd[i], keep[3 * (i - 1) + 1] = ff.yd[i], keep[3 * (i - 1) + 2] = ff.zd[i];
    }
    void restore() {
        for (int i = 1; i <= n; ++i) ff.xd[i] = keep[3 * (i - 1)], ff.yd[i] = keep[3 * (i - 1) + 1], ff.zd[i] = keep[3 * (i - 1) + 2];
    }
    double& crd(int i, int axis) { return axis == 0 ? ff.xd[i] : axis == 1 ? ff.yd[i] : ff.zd[i]; }

    // One evaluation with forces; false (coordinates of the last good
    // evaluation back in place) when the energy is not a number.
    bool evaluate() {
        ev.nofrc = false;
        if (!forces(k)) {
            restore();
            return false;
        }
        save();
        return true;
    }

    double rms_force(bool live_only) const {
        double s = 0;
        int cnt = 0;
        for (int i = 1; i <= n; ++i) {
            if (live_only && k.mol.live[i] != 1) continue;
            ++cnt;
            for (int a = 0; a < 3; ++a) s += ff.frc[size_t(3 * (i - 1) + a)] * ff.frc[size_t(3 * (i - 1) + a)];
        }
        return cnt > 0 ? std::sqrt(s / (3.0 * cnt)) : 0.0;
    }

    // The convergence test of steepest descent and Newton-Raphson, also
    // the last stage of BFGS's: with the Poisson-Boltzmann terms on, a first
    // pass only asks for new grids at the next evaluation.
    bool passed() {
        if ((ev.ldbf || ev.lqe) && !pbmark) {
            list_line(k, {std::string_view("conv check pb calc:")});
            ev.lfirst = true;
            pbmark = true;
            return false;
        }
        return true;
    }

    void steep(int local) {
        em.emprv = em.emcur;
        em.emcur = ff.e[etot];
        if (local == 1) em.emstp = 0.005;
        else em.emstp *= em.emprv < em.emcur ? 0.3 : 1.2;
        double s = 0;
        for (int i = 1; i <= n; ++i)
            if (k.mol.live[i] == 1)
                for (int a = 0; a < 3; ++a) s += ff.f(i, a) * ff.f(i, a);
        const double norm = std::sqrt(s);
        em.emfac = norm > 0 ? em.emstp / norm : 0.0;
        for (int i = 1; i <= n; ++i)
            if (k.mol.live[i] == 1)
                for (int a = 0; a < 3; ++a) crd(i, a) += em.emfac * ff.f(i, a);
    }

    // Newton-Raphson: Hessian from central differences of the analytic
    // gradient (6N evaluations), eigenpairs by cyclic Jacobi, and the step
    // over the eigenpairs of magnitude above 10 kcal/mol/A^2.
    bool newton() {
        const int m3 = 3 * n;
        std::vector<double> h(size_t(m3) * m3), gp(m3);
        const bool dbf = ev.ldbf, qe = ev.lqe;
        ev.ldbf = ev.lqe = false;
        ev.nofrc = false;
        for (int l = 1; l <= n; ++l)
            for (int a = 0; a < 3; ++a) {
                double& c = crd(l, a);
                const double c0 = c;
                const int col = 3 * (l - 1) + a;
                c = c0 + nrdisp;
                bool ok = forces(k);
                if (ok) std::copy(ff.frc.begin(), ff.frc.begin() + m3, gp.begin());
                c = c0 - nrdisp;
                ok = ok && forces(k);
                c = c0;
                if (!ok) {
                    ev.ldbf = dbf, ev.lqe = qe;
                    restore();
                    return false;
                }
                // Gradient is minus the force; the two points lie 2 d apart.
                for (int r = 0; r < m3; ++r) h[size_t(r) * m3 + col] = (ff.frc[size_t(r)] - gp[size_t(r)]) / (2.0 * nrdisp);
            }
        // Symmetric by construction up to the differencing error.
        for (int r = 0; r < m3; ++r)
            for (int c = r + 1; c < m3; ++c) {
                const double v = 0.5 * (h[size_t(r) * m3 + c] + h[size_t(c) * m3 + r]);
                h[size_t(r) * m3 + c] = h[size_t(c) * m3 + r] = v;
            }
        ev.ldbf = dbf, ev.lqe = qe;
        if (!evaluate()) return false;
        std::vector<double> vec(size_t(m3) * m3), val(m3);
        diag(h, vec, val, m3);
        em.emprv = em.emcur;
        em.emcur = ff.e[etot];
        std::vector<double> step(m3, 0.0);
        for (int e = 0; e < m3; ++e) {
            if (std::fabs(val[size_t(e)]) <= 10.0) continue;
            double vg = 0;  // v . g with g = -frc
            for (int r = 0; r < m3; ++r) vg -= vec[size_t(r) * m3 + e] * ff.frc[size_t(r)];
            const double f = -vg / val[size_t(e)];
            for (int r = 0; r < m3; ++r) step[size_t(r)] += f * vec[size_t(r) * m3 + e];
        }
        for (int i = 1; i <= n; ++i)
            for (int a = 0; a < 3; ++a) crd(i, a) += step[size_t(3 * (i - 1) + a)];
        return true;
    }

    // Cyclic Jacobi rotations of the symmetric matrix a (destroyed):
    // eigenvectors in the columns of v, eigenvalues in d.
    static void diag(std::vector<double>& a, std::vector<double>& v, std::vector<double>& d, int m) {
        auto A = [&](int r, int c) -> double& { return a[size_t(r) * m + c]; };
        auto V = [&](int r, int c) -> double& { return v[size_t(r) * m + c]; };
        std::fill(v.begin(), v.end(), 0.0);
        std::vector<double> b(m), z(m, 0.0);
        for (int i = 0; i < m; ++i) V(i, i) = 1.0, b[size_t(i)] = d[size_t(i)] = A(i, i);
        for (int sweep = 1; sweep <= 50; ++sweep) {
            double sm = 0;
            for (int p = 0; p < m - 1; ++p)
                for (int q = p + 1; q < m; ++q) sm += std::fabs(A(p, q));
            if (sm == 0.0) return;
            const double tresh = sweep < 4 ? 0.2 * sm / (double(m) * m) : 0.0;
            for (int p = 0; p < m - 1; ++p)
                for (int q = p + 1; q < m; ++q) {
                    const double g = 100.0 * std::fabs(A(p, q));
                    if (sweep > 4 && std::fabs(d[size_t(p)]) + g == std::fabs(d[size_t(p)]) &&
                        std::fabs(d[size_t(q)]) + g == std::fabs(d[size_t(q)])) {
                        A(p, q) = 0.0;
                        continue;
                    }
                    if (std::fabs(A(p, q)) <= tresh) continue;
                    double hh = d[size_t(q)] - d[size_t(p)], t;
                    if (std::fabs(hh) + g == std::fabs(hh)) {
                        t = A(p, q) / hh;
                    } else {
                        const double theta = 0.5 * hh / A(p, q);
                        t = 1.0 / (std::fabs(theta) + std::sqrt(1.0 + theta * theta));
                        if (theta < 0) t = -t;
                    }
                    const double c = 1.0 / std::sqrt(1 + t * t), s = t * c, tau = s / (1.0 + c);
                    hh = t * A(p, q);
                    z[size_t(p)] -= hh, z[size_t(q)] += hh, d[size_t(p)] -= hh, d[size_t(q)] += hh;
                    A(p, q) = 0.0;
                    auto rot = [&](double& x, double& y) {
                        const double gg = x, hv = y;
                        x = gg - s * (hv + gg * tau);
                        y = hv + s * (gg - hv * tau);
                    };
                    for (int j = 0; j < p; ++j) rot(A(j, p), A(j, q));
                    for (int j = p + 1; j < q; ++j) rot(A(p, j), A(j, q));
                    for (int j = q + 1; j < m; ++j) rot(A(p, j), A(q, j));
                    for (int j = 0; j < m; ++j) rot(V(j, p), V(j, q));
                }
            for (int p = 0; p < m; ++p) b[size_t(p)] += z[size_t(p)], d[size_t(p)] = b[size_t(p)], z[size_t(p)] = 0.0;
        }
    }

    // --- BFGS ---------------------------------------------------------
    // Interaction lists (the atom itself first) and their 3 x 3 blocks of
    // the inverse-Hessian approximation, row-major, at blk[9 (first[i] + p)].
    std::vector<int> first, part;
    std::vector<double> blk, dir, hdg, gold, dx, dg, u;

    bool bfgs_lists() {
        std::vector<std::vector<int>> nb(size_t(n) + 1);
        for (int i = 1; i <= n; ++i) nb[size_t(i)].push_back(i);
        auto link = [&](int i, int j) {
            if (i < 1 || j < 1 || i > n || j > n || i == j) return;
            auto& a = nb[size_t(i)];
            if (std::find(a.begin(), a.end(), j) == a.end()) a.push_back(j);
            auto& b = nb[size_t(j)];
            if (std::find(b.begin(), b.end(), i) == b.end()) b.push_back(i);
        };
        const Topology& t = ff.top;
        for (int b = 1; b <= t.nbnd; ++b) link(t.ibnd[b], t.jbnd[b]);
        for (int a = 1; a <= t.nang; ++a) {
            link(t.iang[a], t.jang[a]), link(t.iang[a], t.kang[a]), link(t.jang[a], t.kang[a]);
        }
        for (int p = 1; p <= t.npair; ++p) link(t.ipr[p], t.jpr[p]);
        first.assign(size_t(n) + 2, 0);
        part.clear();
        for (int i = 1; i <= n; ++i) {
            if (int(nb[size_t(i)].size()) > maxinter) {
                list_line(k, {std::string_view("max allowable interactions exceeded:"), std::int64_t{i}});
                endrun(k, exit_abort);
            }
            first[size_t(i)] = int(part.size());
            part.insert(part.end(), nb[size_t(i)].begin(), nb[size_t(i)].end());
        }
        first[size_t(n) + 1] = int(part.size());
        blk.assign(9 * part.size(), 0.0);
        for (int i = 1; i <= n; ++i) {
            double* b = &blk[9 * size_t(first[size_t(i)])];  // the atom's own block
            b[0] = b[4] = b[8] = 1.0;
        }
        const size_t m3 = 3 * size_t(n);
        dir.assign(m3, 0), hdg.assign(m3, 0), gold.assign(m3, 0), dx.assign(m3, 0), dg.assign(m3, 0), u.assign(m3, 0);
        return true;
    }

    // out = H v over the blocks.
    void hmul(const std::vector<double>& v, std::vector<double>& o) const {
        for (int i = 1; i <= n; ++i) {
            double s[3] = {0, 0, 0};
            for (int p = first[size_t(i)]; p < first[size_t(i) + 1]; ++p) {
                const double* b = &blk[9 * size_t(p)];
                const double* w = &v[3 * size_t(part[size_t(p)] - 1)];
                for (int r = 0; r < 3; ++r) s[r] += b[3 * r] * w[0] + b[3 * r + 1] * w[1] + b[3 * r + 2] * w[2];
            }
            for (int r = 0; r < 3; ++r) o[3 * size_t(i - 1) + r] = s[r];
        }
    }

    // Energy at x + t d, coordinates restored.
    double f1dim(double t) {
        const bool keepf = ev.nofrc;
        ev.nofrc = true;
        for (int i = 1; i <= n; ++i)
            for (int a = 0; a < 3; ++a) crd(i, a) = keep[3 * size_t(i - 1) + a] + t * dir[3 * size_t(i - 1) + a];
        const bool ok = forces(k);
        restore();
        ev.nofrc = keepf;
        return ok ? double(ff.e[etot]) : 1.0e30;
    }

    void mnbrak(double& ax, double& bx, double& cx, double& fa, double& fb, double& fc) {
        constexpr double gold = 1.618034, glimit = 100.0, tiny = 1.0e-20;
        fa = f1dim(ax);
        fb = f1dim(bx);
        if (fb > fa) std::swap(ax, bx), std::swap(fa, fb);
        cx = bx + gold * (bx - ax);
        fc = f1dim(cx);
        for (int guard = 0; fb >= fc && guard < 200; ++guard) {
            const double r = (bx - ax) * (fb - fc), q = (bx - cx) * (fb - fa);
            const double den = 2.0 * std::copysign(std::max(std::fabs(q - r), tiny), q - r);
            double uu = bx - ((bx - cx) * q - (bx - ax) * r) / den, fu;
            const double ulim = bx + glimit * (cx - bx);
            if ((bx - uu) * (uu - cx) > 0.0) {
                fu = f1dim(uu);
                if (fu < fc) {
                    ax = bx, bx = uu, fa = fb, fb = fu;
                    return;
                } else if (fu > fb) {
                    cx = uu, fc = fu;
                    return;
                }
                uu = cx + gold * (cx - bx);
                fu = f1dim(uu);
            } else if ((cx - uu) * (uu - ulim) > 0.0) {
                fu = f1dim(uu);
                if (fu < fc) {
                    bx = cx, cx = uu, uu = cx + gold * (cx - bx);
                    fb = fc, fc = fu, fu = f1dim(uu);
                }
            } else if ((uu - ulim) * (ulim - cx) >= 0.0) {
                uu = ulim;
                fu = f1dim(uu);
            } else {
                uu = cx + gold * (cx - bx);
                fu = f1dim(uu);
            }
            ax = bx, bx = cx, cx = uu, fa = fb, fb = fc, fc = fu;
        }
    }

    double brent(double ax, double bx, double cx, double tol, double& xmin) {
        constexpr double cgold = 0.381966, zeps = 1.0e-10;
        double a = std::min(ax, cx), b = std::max(ax, cx);
        double v = bx, w = bx, x = bx, e = 0.0, d = 0.0;
        double fx = f1dim(x), fv = fx, fw = fx;
        for (int iter = 1; iter <= 100; ++iter) {
            const double xm = 0.5 * (a + b), tol1 = tol * std::fabs(x) + zeps, tol2 = 2.0 * tol1;
            if (std::fabs(x - xm) <= tol2 - 0.5 * (b - a)) {
                xmin = x;
                return fx;
            }
            if (std::fabs(e) > tol1) {
                double r = (x - w) * (fx - fv), q = (x - v) * (fx - fw), p = (x - v) * q - (x - w) * r;
                q = 2.0 * (q - r);
                if (q > 0.0) p = -p;
                q = std::fabs(q);
                const double etemp = e;
                e = d;
                if (std::fabs(p) >= std::fabs(0.5 * q * etemp) || p <= q * (a - x) || p >= q * (b - x)) {
                    e = x >= xm ? a - x : b - x;
                    d = cgold * e;
                } else {
                    d = p / q;
                    const double uu = x + d;
                    if (uu - a < tol2 || b - uu < tol2) d = std::copysign(tol1, xm - x);
                }
            } else {
                e = x >= xm ? a - x : b - x;
                d = cgold * e;
            }
            const double uu = std::fabs(d) >= tol1 ? x + d : x + std::copysign(tol1, d);
            const double fu = f1dim(uu);
            if (fu <= fx) {
                if (uu >= x) a = x;
                else b = x;
                v = w, w = x, x = uu, fv = fw, fw = fx, fx = fu;
            } else {
                if (uu < x) a = uu;
                else b = uu;
                if (fu <= fw || w == x) {
                    v = w, w = uu, fv = fw, fw = fu;
                } else if (fu <= fv || v == x || v == w) {
                    v = uu, fv = fu;
                }
            }
        }
        list_line(k, {std::string_view("brent exceed maximum iterations.")});
        xmin = x;
        return fx;
    }

    // The inverse-Hessian approximation back to the identity.
    void bfgs_reset() {
        std::fill(blk.begin(), blk.end(), 0.0);
        for (int i = 1; i <= n; ++i) {
            double* b = &blk[9 * size_t(first[size_t(i)])];
            b[0] = b[4] = b[8] = 1.0;
        }
        fresh = true;
    }
    bool fresh = true;  // the approximation is the identity

    // Moves along dir to the line minimum; emcur becomes its energy.
    // Returns the step length found (0: no lower point).
    double linmin() {
        double ax = 0.0, bx = 1.0, cx = 2.0, fa, fb, fc, t = 0.0;
        mnbrak(ax, bx, cx, fa, fb, fc);
        const double fmin = brent(ax, bx, cx, 1.0e-4, t);
        // Never a point above the start: the energy only goes down.
        if (fmin < em.emcur) em.emcur = fmin;
        else t = 0.0;
        for (size_t r = 0; r < dir.size(); ++r) dir[r] *= t;
        for (int i = 1; i <= n; ++i)
            for (int a = 0; a < 3; ++a) crd(i, a) += dir[3 * size_t(i - 1) + a];
        return t;
    }

    // One BFGS iteration. Returns 0 to go on, 1 converged, 2 stop without
    // convergence (update breakdown or an energy that is not a number).
    int bfgs_step(bool first_step) {
        const size_t m3 = 3 * size_t(n);
        if (first_step) {
            if (!evaluate()) return 2;
            em.emcur = ff.e[etot];
            hmul(ff.frc, dir);
        }
        for (size_t r = 0; r < m3; ++r) gold[r] = -ff.frc[r];
        em.emprv = em.emcur;
        // The approximation keeps only the blocks of interacting atoms, so
        // it may lose positive definiteness: a direction that does not go
        // downhill, or one along which nothing is lower, starts again from
        // steepest descent (the identity) before the search gives up.
        double slope = 0;
        for (size_t r = 0; r < m3; ++r) slope += dir[r] * ff.frc[r];
        if (slope <= 0 && !fresh) {
            bfgs_reset();
            hmul(ff.frc, dir);
        }
        if (linmin() == 0.0 && !fresh) {
            bfgs_reset();
            hmul(ff.frc, dir);
            em.rmsf = rms_force(false);
            return 0;
        }
        if (!evaluate()) return 2;
        em.emcur = ff.e[etot];
        em.rmsf = rms_force(false);  // reported at every step
        if (2.0 * std::fabs(em.emcur - em.emprv) <= em.etol * (std::fabs(em.emcur) + std::fabs(em.emprv) + 1.0e-10)) {
            if (em.rmsf < em.ftol) {
                if (passed()) return 1;
            } else {
                pbmark = false;
            }
        } else {
            pbmark = false;
        }
        for (size_t r = 0; r < m3; ++r) dx[r] = dir[r], dg[r] = -ff.frc[r] - gold[r];
        hmul(dg, hdg);
        double fac = 0, fae = 0;
        for (size_t r = 0; r < m3; ++r) fac += dx[r] * dg[r], fae += dg[r] * hdg[r];
        if (fac == 0.0 || fae == 0.0) {
            out(k, "(//,1x,a,/,1x,a)", "Failure in BFGS. fac or fae=0.", " Minimization probably essentially converged.");
            return 2;
        }
        for (size_t r = 0; r < m3; ++r) u[r] = dx[r] / fac - hdg[r] / fae;
        for (int i = 1; i <= n; ++i)
            for (int p = first[size_t(i)]; p < first[size_t(i) + 1]; ++p) {
                double* b = &blk[9 * size_t(p)];
                const size_t oi = 3 * size_t(i - 1), oj = 3 * size_t(part[size_t(p)] - 1);
                for (int r = 0; r < 3; ++r)
                    for (int c = 0; c < 3; ++c)
                        b[3 * r + c] += dx[oi + r] * dx[oj + c] / fac - hdg[oi + r] * hdg[oj + c] / fae +
                                        fae * u[oi + r] * u[oj + c];
            }
        fresh = false;
        hmul(ff.frc, dir);
        return 0;
    }

    void emout() {
        MdStore& md = ff.md;
        if (em.lfinal) {
            const char* m = em.lsd ? "Summary for Steepest Descent " : em.lnr ? "Summary for Modified Newton-Raphson "
                            : em.lbfgs ? "Summary for BFGS " : "Summary for ";
            out(k, "(//,20x,a,'Energy Minimization',//)", m);
        }
        if (md.ltrj && md.ntrj > 0 && ev.istep % md.ntrj == 0) wtrj(k);
        if (!em.lfinal && (em.nprt <= 0 || ev.istep % em.nprt != 0)) return;
        const auto& e = ff.e;
        out(k, "(a)", "");
        out(k, "(1x,'Step        = ',i10,3x,'Pot. Energy = ',f10.3,3x,'E Diff      = ',f10.3)", ev.istep, em.emcur,
            em.emcur - em.emprv);
        if (em.lbfgs)
            out(k, "(1x,54x,'RMS Frc     = ',f10.7)", em.rmsf);
        else
            out(k, "(1x,'S           = ',f10.5,3x,'Stp siz     = ',f10.6,3x,'RMS Frc     = ',f10.7)", em.emfac, em.emstp,
                em.rmsf);
        out(k, "(1x,'Bond        = ',f10.3,3x,'Angle       = ',f10.3,3x,'Dihedral    = ',f10.3)", e[ebnd], e[eang], e[edih]);
        out(k, "(1x,'Improper    = ',f10.3,3x,'Vdw         = ',f10.3,3x,'Coulomb     = ',f10.3)", e[eimp], e[evdw], e[eelec]);
        out(k, "(1x,'Chrg-solv   = ',f10.3,3x,'Dhdrl Rstrt = ',f10.3,3x,'Impr Rstrt  = ',f10.3)", e[epbsol], e[edcon],
            e[eicon]);
        if (k.mol.nmol == 2) {
            out(k, "(1x,'1:1 VDW     = ',f10.3,3x,'1:2 VDW     = ',f10.3,3x,'2:2 VDW     = ',f10.3)", e[evdw11], e[evdw12],
                e[evdw22]);
            out(k, "(1x,'1:1 Coulomb = ',f10.3,3x,'1:2 Coulomb = ',f10.3,3x,'2:2 Coulomb = ',f10.3)", e[eel11], e[eel12],
                e[eel22]);
        }
    }

    void copy_back() {
        MoleculeStore& m = k.mol;
        for (int i = 1; i <= n; ++i) m.x[i] = float(ff.xd[i]), m.y[i] = float(ff.yd[i]), m.z[i] = float(ff.zd[i]);
    }

    void run() {
        MoleculeStore& m = k.mol;
        for (int i = 1; i <= n; ++i) ff.xd[i] = m.x[i], ff.yd[i] = m.y[i], ff.zd[i] = m.z[i];
        save();
        if (em.lstart) ev.istep = 0;
        em.emcur = em.emprv = 0.0;
        em.emfac = 0.0, em.emstp = 0.005, em.rmsf = 0.0;
        em.lfinal = false;
        if (em.lbfgs) {
            if (n > maxbfgs) {
                msg(k, "SERIOUS: EMIN(130) natoms too great for bfgs.");
                kvabort(k, serious);
                return;
            }
            bfgs_lists();
        }
        if (em.lnr && n > maxnr) {
            msg(k, "SERIOUS: EMIN(120) natoms too great for nr; the Hessian holds ", std::to_string(maxnr), " atoms");
            kvabort(k, serious);
            return;
        }
        bool conv = false;
        int local = 1;
        for (; local <= em.nste; ++local) {
            const bool first_step = local == 1;
            ++ev.istep;
            bool stop = false;
            if (em.lcg) {
                list_line(k, {std::string_view("In the works")});
                msg(k, "ERROR: EMIN(140) conjugate-gradient minimisation (cg) is not available");
                endrun(k, exit_abort);
            } else if (em.lsd) {
                if (!evaluate()) break;
                steep(local);
            } else if (em.lnr) {
                if (!newton()) break;
            } else if (em.lbfgs) {
                const int r = bfgs_step(first_step);
                if (r == 1) {
                    conv = true;
                } else if (r == 2) {
                    stop = true;
                }
            }
            if (!em.lbfgs) {
                em.rmsf = rms_force(em.lsd);
                if (std::fabs(em.emcur - em.emprv) < em.etol && em.rmsf < em.ftol) {
                    conv = passed();
                } else {
                    pbmark = false;
                }
            }
            emout();
            if (conv || stop) break;
        }
        em.lfinal = true;
        emout();
        const int steps = std::min(local, em.nste);
        if (conv)
            out(k, "(//,25x,'Energy and forces converged after ',i4,' steps',//)", steps);
        else
            out(k, "(//,25x,'DID NOT converge after ',i4,' steps',//)", steps);
        copy_back();
    }
};

}  // namespace

void emdrv(Kova& k) {
    ForceField& ff = k.ff;
    EvalState& ev = ff.ev;
    EmStore& em = ff.em;
    const int in = k.files.inunit;
    ev.gfrac = 0.7f;
    ev.lfirst = true;
    ev.pbspc = 0.0f;
    ev.pbmove = 0.04f;
    ev.npbupd = 999999999;
    ev.lbnd = ev.lang = ev.ldih = ev.limp = ev.lvdw = ev.leel = ev.ldbf = ev.lqe = true;
    ev.lanal = true;
    ev.fdstep = 1.0e-5f;
    em.etol = 0.001f, em.ftol = 0.01f, em.nste = 50, em.nprt = 5;
    em.lstart = true, em.lfinal = false;
    em.lsd = em.lcg = em.lnr = em.lbfgs = false;

    if (k.env.pdie == 999.0f) {
        fwrite(k, stdout_unit, "(1x,a)", "DIELCI defaulting to 1 in EMDRV.");
        k.env.pdie = 1.0f;
    } else {
        fwrite(k, stdout_unit, "(1x,'DIELCI value is ',f12.6,' in EMDRV.')", k.env.pdie);
    }

    bool alim = false, pstp = false;
    for (;;) {
        const std::string w = getnam(k, in, "Emdrv");
        if (w == "end") break;
        const std::string_view v4 = std::string_view(w).substr(0, 4);
        auto method = [&](bool& which) {
            em.lsd = em.lcg = em.lnr = em.lbfgs = false;
            which = true;
        };
        if (w == "sd") method(em.lsd);
        else if (w == "nr") method(em.lnr);
        else if (w == "bfgs") method(em.lbfgs);
        else if (w == "cg") method(em.lcg);
        else if (w == "rest") em.lstart = false;
        else if (w == "strt") em.lstart = true;
        else if (w == "anal") ev.lanal = true;
        else if (w == "numer") ev.lanal = false;
        else if (term_word(ev, w)) {}
        else if (w == "all") ev.lbnd = ev.lang = ev.ldih = ev.limp = ev.lvdw = ev.leel = ev.ldbf = ev.lqe = true;
        else if (w == "none") ev.lbnd = ev.lang = ev.ldih = ev.limp = ev.lvdw = ev.leel = ev.ldbf = ev.lqe = false;
        else if (v4 == "rdie") {
            const float d = getfp(k, in, "Mddrv");
            if (admit(k, d, 0.0, true, "061", "distance-dependent dielectric factor (rdie) must be above 0"))
                ff.nb.irdie = 1, ff.nb.rdie = d;
        }
        else if (w == "gfrac") {
            // The molecule must fit the Poisson-Boltzmann grid it fills.
            const float d = getfp(k, in, "Emdrv");
            if (admit(k, d, 0.0, true, "069", "grid fill factor (gfrac) must be above 0") && d <= 1.0f) ev.gfrac = d;
            else if (d > 1.0f) {
                msg(k, "SERIOUS: Emdrv(069) grid fill factor (gfrac) must be at most 1: ", value_text(d));
                kvabort(k, serious);
            }
        }
        else if (w == "alim") {
            const float d = getnum(k, in, "Emdrv");
            if (admit(k, d, 0.0, false, "062", "displacement limit (alim) must be at least 0 A"))
                ev.pbmove = d * d, alim = true;
        }
        else if (w == "del") {
            const float d = getfp(k, in, "Emdrv");
            if (admit(k, d, 0.0, true, "063", "finite-difference step (del) must be above 0 A")) ev.fdstep = d;
        }
        else if (w == "etol") {
            const float d = getfp(k, in, "Emdrv");
            if (admit(k, d, 0.0, false, "064", "energy tolerance (etol) must be at least 0")) em.etol = d;
        }
        else if (w == "ftol") {
            const float d = getfp(k, in, "Emdrv");
            if (admit(k, d, 0.0, false, "065", "force tolerance (ftol) must be at least 0")) em.ftol = d;
        }
        else if (w == "nprt") {
            const int d = getint(k, in, "Emdrv");
            if (admit(k, d, 1, "066", "print interval (nprt) must be at least 1")) em.nprt = d;
        }
        else if (w == "nste") {
            const int d = getint(k, in, "Emdrv");
            if (admit(k, d, 0, "067", "number of steps (nste) must be at least 0")) em.nste = d;
        }
        else if (w == "pstp") {
            const int d = getint(k, in, "Emdrv");
            if (admit(k, d, 1, "068", "Poisson-Boltzmann update interval (pstp) must be at least 1"))
                ev.npbupd = d, pstp = true;
        }
        else {
            msg(k, "WARNING: emdrv(100) unknown keyword: ", pad(w, 80));
            kvabort(k, warning);
        }
    }
    if (pstp && !alim) ev.pbmove = 1.0e9f;
    if (pstp && alim) {
        msg(k, "WARNING: emdrv(000) attempt to set alim and pstp");
        kvabort(k, warning);
        out(k, "(1x,a)", "Setting pstp to 999999999.");
        ev.npbupd = 999999999;
    }
    ev.nconv = em.nprt;

    bool top = false;
    for (int mol = 1; mol <= k.mol.nmol; ++mol) top = top || ff.top.toprd[mol];
    if (k.mol.natom < 1 || (!top && ff.top.nbnd + ff.top.nang + ff.top.ndih + ff.top.nimp + ff.top.npair == 0)) {
        msg(k, "SERIOUS: Emdrv(010) no topology has been read (rdtop)");
        kvabort(k, serious);
        return;
    }
    Minimiser(k).run();
}

}  // namespace kova
