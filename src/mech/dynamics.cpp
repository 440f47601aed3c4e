// md: molecular dynamics of the atoms of the molecule store in the force
// field, by leap-frog (with optional weak-coupling temperature control) or
// the van Gunsteren-Berendsen stochastic-dynamics step, or the
// Ermak-McCammon Brownian step with hydrodynamic coupling; energy and
// temperature reports, the total-energy drift fit, early stops, the escape
// box, and the final coordinates copied back. Also langevin (refresh of the
// stochastic integrator's random numbers) and soften (soft-start factors
// and their ramp).
#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <string_view>

#include "bd/bdrun.hpp"
#include "bd/hydro.hpp"
#include "bd/random.hpp"
#include "command/commands.hpp"
#include "command/output.hpp"
#include "command/readers.hpp"
#include "fortio/format.hpp"
#include "mech/mech.hpp"

namespace kova {

namespace {

// A number read for a count, truncated toward zero; values beyond the
// integer range are held at its ends (and a value that is not a number
// reads as 0) rather than overflowing.
int truncated(float v) {
    if (!(v == v)) return 0;
    if (v >= 2147483520.0f) return 2147483520;
    if (v <= -2147483520.0f) return -2147483520;
    return int(v);
}

constexpr int stdout_unit = fortio::UnitTable::stdout_unit;

void list_line(Kova& k, std::initializer_list<fortio::OutItem> items) {
    k.units.write(stdout_unit, fortio::list_write(items));
}

// A value read for a keyword, refused (with the message) when not finite
// or below its bound; the keyword is then ignored if the run goes on.
bool admit(Kova& k, double v, double lo, bool lo_excluded, std::string_view where, std::string_view what) {
    if (std::isfinite(v) && (lo_excluded ? v > lo : v >= lo)) return true;
    msg(k, "SERIOUS: " + std::string(where) + " ", what, ": " + value_text(float(v)));
    kvabort(k, serious);
    return false;
}
bool admit(Kova& k, int v, int lo, std::string_view where, std::string_view what) {
    if (v >= lo) return true;
    msg(k, "SERIOUS: " + std::string(where) + " ", what, ": " + std::to_string(v));
    kvabort(k, serious);
    return false;
}

// Inverse of the 3 x 3 matrix a in place by Gauss-Jordan elimination with
// full pivoting; returns the determinant (0, a unchanged in meaning, when a
// remaining pivot is zero).
double minv(std::array<std::array<double, 3>, 3>& a) {
    std::array<int, 3> l{}, m{};
    double d = 1.0;
    for (int kk = 0; kk < 3; ++kk) {
        l[kk] = m[kk] = kk;
        double big = a[kk][kk];
        for (int j = kk; j < 3; ++j)
            for (int i = kk; i < 3; ++i)
                if (std::fabs(big) < std::fabs(a[i][j])) big = a[i][j], l[kk] = i, m[kk] = j;
        if (l[kk] > kk) std::swap(a[kk], a[l[kk]]), big = a[kk][m[kk]];
        if (m[kk] > kk)
            for (int j = 0; j < 3; ++j) std::swap(a[j][kk], a[j][m[kk]]);
        if (l[kk] > kk) d = -d;
        if (m[kk] > kk) d = -d;
        big = a[kk][kk];
        if (big == 0.0) return 0.0;
        for (int i = 0; i < 3; ++i)
            if (i != kk) a[i][kk] /= -big;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                if (i != kk && j != kk) a[i][j] += a[i][kk] * a[kk][j];
        for (int j = 0; j < 3; ++j)
            if (j != kk) a[kk][j] /= big;
        d *= big;
        a[kk][kk] = 1.0 / big;
    }
    for (int kk = 1; kk >= 0; --kk) {
        if (m[kk] > kk) std::swap(a[kk], a[m[kk]]);
        if (l[kk] > kk)
            for (int i = 0; i < 3; ++i) std::swap(a[i][kk], a[i][l[kk]]);
    }
    return d;
}

struct Dynamics {
    Kova& k;
    ForceField& ff;
    EvalState& ev;
    MdStore& md;
    MoleculeStore& m;
    int n;
    bool pstp = false, alim = false;

    explicit Dynamics(Kova& kk) : k(kk), ff(kk.ff), ev(kk.ff.ev), md(kk.ff.md), m(kk.mol), n(kk.mol.natom) {}

    int last_atom() const { return m.nmol >= 1 ? m.lstatm[m.nmol] : 0; }
    int mol1_atoms() const { return m.nmol >= 1 ? m.lstatm[1] - m.fstatm[1] + 1 : 0; }

    // Centre of mass, its velocity, the angular momentum about it and the
    // angular velocity; with lcom set the motion is removed. A singular
    // inertia tensor (one atom, atoms on a line) removes translation only.
    void cenmas() {
        double tm = 0, r[3] = {0, 0, 0}, v[3] = {0, 0, 0}, l[3] = {0, 0, 0};
        for (int i = 1; i <= n; ++i) {
            const double w = m.mass[i];
            tm += w;
            r[0] += w * ff.xd[i], r[1] += w * ff.yd[i], r[2] += w * ff.zd[i];
            v[0] += w * md.vx[i], v[1] += w * md.vy[i], v[2] += w * md.vz[i];
            l[0] += w * (ff.yd[i] * md.vz[i] - ff.zd[i] * md.vy[i]);
            l[1] += w * (ff.zd[i] * md.vx[i] - ff.xd[i] * md.vz[i]);
            l[2] += w * (ff.xd[i] * md.vy[i] - ff.yd[i] * md.vx[i]);
        }
        if (tm <= 0) return;
        for (int a = 0; a < 3; ++a) r[a] /= tm, v[a] /= tm;
        l[0] -= tm * (r[1] * v[2] - r[2] * v[1]);
        l[1] -= tm * (r[2] * v[0] - r[0] * v[2]);
        l[2] -= tm * (r[0] * v[1] - r[1] * v[0]);
        std::array<std::array<double, 3>, 3> in{};
        for (int i = 1; i <= n; ++i) {
            const double w = m.mass[i], d[3] = {ff.xd[i] - r[0], ff.yd[i] - r[1], ff.zd[i] - r[2]};
            const double dd = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
            for (int a = 0; a < 3; ++a)
                for (int b = 0; b < 3; ++b) in[a][b] += w * ((a == b ? dd : 0.0) - d[a] * d[b]);
        }
        double om[3] = {0, 0, 0};
        if (minv(in) != 0.0)
            for (int a = 0; a < 3; ++a) om[a] = in[a][0] * l[0] + in[a][1] * l[1] + in[a][2] * l[2];
        for (int a = 0; a < 3; ++a) md.comr[a] = r[a], md.comv[a] = v[a], md.coml[a] = l[a], md.comw[a] = om[a];
        if (!md.lcom) return;
        out(k, "(a)", "");
        out(k, "(1x,a)", "Removing center of mass translation and rotation");
        for (int i = 1; i <= n; ++i) {
            const double d[3] = {ff.xd[i] - r[0], ff.yd[i] - r[1], ff.zd[i] - r[2]};
            md.vx[i] -= v[0] + om[1] * d[2] - om[2] * d[1];
            md.vy[i] -= v[1] + om[2] * d[0] - om[0] * d[2];
            md.vz[i] -= v[2] + om[0] * d[1] - om[1] * d[0];
        }
    }

    void com_report(const char* f) {
        const char* lab[4] = {"Center of Mass position     : ", "Center of Mass velocity     : ",
                              "Center of Mass acceleration : ", "Center of Mass rotation     : "};
        const std::array<double, 3>* v[4] = {&md.comr, &md.comv, &md.coml, &md.comw};
        for (int j = 0; j < 4; ++j) out(k, f, lab[j], (*v[j])[0], (*v[j])[1], (*v[j])[2]);
    }

    double kinetic() const {
        double s = 0;
        for (int i = 1; i <= n; ++i) s += m.mass[i] * (md.vx[i] * md.vx[i] + md.vy[i] * md.vy[i] + md.vz[i] * md.vz[i]);
        return 0.5 * s;
    }

    // Maxwell velocities at temp, centre-of-mass motion removed.
    void velasn() {
        const float temp = k.env.temp;
        for (int i = 1; i <= n; ++i) {
            const double s = std::sqrt(double(boltz) * temp / m.mass[i]);
            double* v[3] = {&md.vx[i], &md.vy[i], &md.vz[i]};
            for (double* c : v) {
                double sum = 0;
                for (int j = 0; j < 12; ++j) sum += rnd1(k);
                *c = (sum - 6.0) * s;
            }
        }
        const double k1 = kinetic(), t1 = 2.0 * k1 / (3.0 * n * boltz);
        const char* f = "(1x,a,f10.5,1x,f10.5,1x,f10.5)";
        md.lcom = true;
        cenmas();
        md.lcom = false;
        out(k, "(a)", "");
        out(k, "(a)", "");
        com_report(f);
        out(k, "(a)", "");
        const double ki = kinetic(), ti = 2.0 * ki / (3.0 * n * boltz);
        out(k,
            "(//,1x,'Initial Velocity Assignment at ',f10.5,' K',/,1x,'Corresponding Initial K.E.     ',f10.5,"
            "' kcal/mol',//,1x,'Temperature before com removal ',f10.5,' K',/,1x,'Calculated K.E. bfr com remova ',"
            "f10.5,' kcal/mol',//,1x,'Calculated Temperature         ',f10.5,' K',/,1x,"
            "'Corresponding Calculated K.E.  ',f10.5,' kcal/mol')",
            temp, md.ektarg, t1, k1, ti, ki);
        cenmas();
        out(k, "(a)", "");
        out(k, "(a)", "");
        com_report(f);
        out(k, "(a)", "");
        md.ekin = md.ekhalf = ki;
    }

    void coefficients() {
        const double dt = md.mddt;
        for (int j = 1; j <= n; ++j) {
            md.gam[j] = md.gamma / tconv;
            const double g = std::fabs(md.gam[j]), x = dt * g, h = x / 2;
            if (x >= 0.05) {
                const double em = std::exp(-h), ep = std::exp(h), Em = em * em, Ep = ep * ep, O = 1 - Em;
                const double C = x - 3 + 4 * em - Em, D = 2 - ep - em;
                const double Bp = (Ep - 1) * x - 4 * (ep - 1) * (ep - 1), Bm = (1 - Em) * x - 4 * (em - 1) * (em - 1);
                md.cc1[j] = Em, md.cc2[j] = O / x, md.cc3[j] = std::sqrt(std::fabs(O));
                md.cc4[j] = std::sqrt(std::fabs(Bp / C)), md.cc5[j] = g * D / C, md.cc6[j] = (ep - em) / x;
                md.cc7[j] = std::sqrt(std::fabs(C)) / g, md.cc8[j] = std::sqrt(std::fabs(Bm / O)) / g;
                md.cc9[j] = -D / (g * O);
            } else {
                const double h2 = h * h, h3 = h2 * h, h4 = h3 * h, h5 = h4 * h, h6 = h5 * h, h7 = h6 * h;
                md.cc1[j] = std::exp(-x);
                md.cc2[j] = 1 - h + 2.0 / 3 * h2 - 1.0 / 3 * h3 + 2.0 / 15 * h4 - 2.0 / 45 * h5 + 4.0 / 315 * h6;
                md.cc3[j] = std::sqrt(std::fabs(2 * h * md.cc2[j]));
                md.cc4[j] = std::sqrt(std::fabs(0.5 * h + 7.0 / 8 * h2 + 367.0 / 480 * h3 + 857.0 / 1920 * h4 +
                                                52813.0 / 268800 * h5 + 224881.0 / 3225600 * h6 +
                                                1341523.0 / 64512000 * h7));
                md.cc5[j] = (-2.0 / dt) * (1.5 + 9.0 / 8 * h + 71.0 / 160 * h2 + 81.0 / 640 * h3 + 7807.0 / 268800 * h4 +
                                           1971.0 / 358400 * h5 + 56417.0 / 64512000 * h6);
                md.cc6[j] = 1 + h2 / 6 + h4 / 120 + h6 / 5040;
                md.cc7[j] = (dt / 2) * std::sqrt(std::fabs(2.0 / 3 * h - 0.5 * h2 + 7.0 / 30 * h3 - 1.0 / 12 * h4 +
                                                           31.0 / 1260 * h5 - 1.0 / 160 * h6 + 127.0 / 90720 * h7));
                md.cc8[j] = (dt / 2) * std::sqrt(std::fabs(1.0 / 6 * h - 1.0 / 60 * h3 + 17.0 / 10080 * h5 -
                                                           31.0 / 181440 * h7));
                md.cc9[j] = (dt / 2) * (0.5 + 0.5 * h + 5.0 / 24 * h2 + 1.0 / 24 * h3 + 1.0 / 240 * h4 +
                                        1.0 / 720 * h5 + 5.0 / 8064 * h6);
            }
        }
    }

    // The factor scal of the temperature control.
    void tcontrol() {
        md.ssum += md.ekhalf;
        const double ratio = double(md.mddt) / md.taut;
        if (md.lheat) {
            // From rest there is nothing to scale: the first step goes unscaled.
            md.scal = md.ekhalf > 0 ? std::sqrt(std::max(0.0, 1 + ratio * (md.ektarg / md.ekhalf - 1))) : 1.0;
        } else if (!md.lequi || ev.istep % 100 != 0) {
            md.scal = 1.0;
        } else {
            const double a = md.ssum / 100.0;
            if (a > 0 && (a < md.ektarg - 0.033 * md.ektarg || a > md.ektarg + 0.033 * md.ektarg))
                md.scal = std::sqrt(std::max(0.0, (md.ektarg / a - 1) * ratio + 1));
            md.ssum = 0;
        }
    }

    void leapfrog() {
        tcontrol();
        const double dt = md.mddt, sc = md.scal;
        double eh = 0, ek = 0;
        for (int i = 1; i <= n; ++i) {
            if (m.live[i] != 1) continue;
            const double w = m.mass[i], inv = dt / w;
            const double ox = md.vx[i], oy = md.vy[i], oz = md.vz[i];
            const double* f = &ff.frc[size_t(3 * (i - 1))];
            const double nx = (ox + inv * f[0]) * sc, ny = (oy + inv * f[1]) * sc, nz = (oz + inv * f[2]) * sc;
            md.vx[i] = nx, md.vy[i] = ny, md.vz[i] = nz;
            ff.xd[i] += dt * nx, ff.yd[i] += dt * ny, ff.zd[i] += dt * nz;
            eh += w * (nx * nx + ny * ny + nz * nz);
            ek += w * ((ox + nx) * (ox + nx) + (oy + ny) * (oy + ny) + (oz + nz) * (oz + nz));
        }
        md.ekhalf = 0.5 * eh, md.ekin = 0.125 * ek;
    }

    void fresh(int i) {
        float* r = &md.rgau[12 * size_t(i - 1)];
        for (int j = 0; j < 12; ++j) r[j] = rndgau(k);
    }

    void stochastic() {
        tcontrol();
        const int m1 = ev.istep == 1 ? md.m1prev : mol1_atoms();
        if (ev.istep == 1) {
            for (int i = 1; i <= m1; ++i) fresh(i);
        } else if (m1 > 0) {
            const int every = std::max(md.lgsteps, 1);
            switch (md.lgmode) {
                case 0:
                    for (int i = 1; i <= m1; ++i) fresh(i);
                    break;
                case 1:
                    for (int j = 0; j < md.lgatoms; ++j) {
                        if (++md.lgcount > m1) md.lgcount = 1;
                        fresh(md.lgcount);
                    }
                    break;
                case 2:
                    if (++md.lgcount > every) md.lgcount = 1;
                    for (int i = md.lgcount; i <= m1; i += every) fresh(i);
                    break;
                default:
                    if (ev.istep % every == 0)
                        for (int i = 1; i <= m1; ++i) fresh(i);
                    break;
            }
        }
        for (int i = m1 + 1; i <= n; ++i)
            if (m.live[i] == 1) fresh(i);
        md.m1prev = mol1_atoms();

        const double dt = md.mddt, kt = double(boltz) * k.env.temp;
        double eh = 0, ek = 0;
        for (int i = 1; i <= n; ++i) {
            if (m.live[i] != 1) continue;
            const double w = m.mass[i], s = std::sqrt(kt / w);
            const float* r = &md.rgau[12 * size_t(i - 1)];
            double* v[3] = {&md.vx[i], &md.vy[i], &md.vz[i]};
            double* c[3] = {&ff.xd[i], &ff.yd[i], &ff.zd[i]};
            double* sv[3] = {&md.sx[i], &md.sy[i], &md.sz[i]};
            double old[3];
            for (int a = 0; a < 3; ++a) {
                old[a] = *v[a];
                const double p = r[2 * a] * s * md.cc3[i];
                const double q = r[2 * a + 1] * s * md.cc4[i] + md.cc5[i] * *sv[a];
                *v[a] = p + (*v[a] - q) * md.cc1[i] + ff.frc[size_t(3 * (i - 1) + a)] * dt * md.cc2[i] / w;
                *sv[a] = p;
            }
            for (int a = 0; a < 3; ++a) *c[a] += *v[a] * dt * md.cc6[i];
            for (int a = 0; a < 3; ++a) {
                const double p = r[6 + 2 * a] * s * md.cc7[i];
                const double q = r[7 + 2 * a] * s * md.cc8[i] + md.cc9[i] * *sv[a];
                *c[a] += p - q;
                *sv[a] = p;
            }
            for (int a = 0; a < 3; ++a) eh += w * *v[a] * *v[a], ek += w * (old[a] + *v[a]) * (old[a] + *v[a]);
        }
        md.ekhalf = 0.5 * eh, md.ekin = 0.125 * ek;
    }

    // Brownian dynamics (Ermak-McCammon) of the live atoms as spheres of
    // their radii in the solvent of Brownian dynamics: per step
    //   dr = beta dt D F + R,  <R R^T> = 2 D dt,
    // with D the Rotne-Prager-Yamakawa diffusion tensor (stick boundary:
    // Stokes-Einstein kT/(6 pi eta a) on the diagonal, the overlap form for
    // spheres that intersect, so that D stays positive definite where the
    // Oseen tensor would not) and R drawn through its Cholesky factor. D has
    // no divergence, so no drift correction enters. Time in ps, forces
    // turned from kcal/(mol A) into amu A/ps**2 to meet beta and D in the
    // units of Brownian dynamics. The atoms carry no velocities: the kinetic
    // energy is 0.
    struct Brownian {
        Tensor t;
        std::array<int, maxbrown> atom{};
        std::array<float, maxbrown> rad{};
        std::array<float, 3 * maxbrown> g{};
        std::array<double, 3 * maxbrown> disp{};
        int nl = 0;
        float hifac = 0.0f;
        double dt = 0.0, fbeta = 0.0;  // step (ps) and beta * dt
    };
    std::unique_ptr<Brownian> bw;

    void brownian_setup() {
        bw = std::make_unique<Brownian>();
        for (int i = 1; i <= n && bw->nl < maxbrown; ++i)
            if (m.live[i] == 1) bw->atom[size_t(bw->nl)] = i, bw->rad[size_t(bw->nl)] = m.radi[i], ++bw->nl;
        bw->hifac = bdhifac(k.env.temp, k.bdrun.svis);
        bw->dt = double(md.mddt) / tconv;
        bw->fbeta = double(bdbeta(k.env.temp)) * bw->dt;
    }

    // One Brownian step; false when the diffusion tensor is not positive
    // definite (nothing moved).
    bool brownian() {
        tcontrol();
        Brownian& b = *bw;
        Tensor& t = b.t;
        const int nl = b.nl, n3 = 3 * nl;
        constexpr float stick = 0.75f;    // boundary factor of hydro's tensors: 6 pi eta a
        constexpr float nowall = 1.0e30f;  // no relative diffusion to a fixed body
        for (int p = 0; p < nl; ++p) {
            const int i = b.atom[size_t(p)];
            for (int q = p; q < nl; ++q) {
                float A = 0, B = 0;
                double r[3] = {0, 0, 0};
                if (q == p) {
                    A = b.hifac / (stick * b.rad[size_t(p)]);
                } else {
                    const int j = b.atom[size_t(q)];
                    r[0] = ff.xd[j] - ff.xd[i], r[1] = ff.yd[j] - ff.yd[i], r[2] = ff.zd[j] - ff.zd[i];
                    const float d = float(std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]));
                    if (d > 0.0f)
                        pair_coefficients(2, b.hifac, nowall, stick, b.rad[size_t(p)], b.rad[size_t(q)], d, A, B);
                    else
                        A = 2.0f * b.hifac / (stick * (b.rad[size_t(p)] + b.rad[size_t(q)]));
                }
                for (int x = 0; x < 3; ++x)
                    for (int y = 0; y < 3; ++y) {
                        const float v = (x == y ? A : 0.0f) + B * float(r[x] * r[y]);
                        t.at(3 * p + x, 3 * q + y) = v;
                        t.at(3 * q + y, 3 * p + x) = v;
                    }
            }
        }
        if (!cholesky(t, n3)) return false;
        rndvec(k, std::span<float>(b.g.data(), size_t(n3)), float(std::sqrt(2.0 * b.dt)));
        constexpr double kcal_to_internal = tconv * tconv;  // kcal/mol in amu A**2/ps**2
        for (int p = 0; p < nl; ++p)
            for (int x = 0; x < 3; ++x) {
                const int row = 3 * p + x;
                double drift = 0.0, rnd = 0.0;
                for (int q = 0; q < nl; ++q)
                    for (int y = 0; y < 3; ++y)
                        drift += double(t.at(row, 3 * q + y)) * ff.frc[size_t(3 * (b.atom[size_t(q)] - 1) + y)];
                const float* l = t.l.data() + row * maxdof;
                for (int c = 0; c <= row; ++c) rnd += double(l[c]) * b.g[size_t(c)];
                b.disp[size_t(row)] = b.fbeta * kcal_to_internal * drift + rnd;
            }
        for (int p = 0; p < nl; ++p) {
            const int i = b.atom[size_t(p)];
            ff.xd[i] += b.disp[size_t(3 * p)], ff.yd[i] += b.disp[size_t(3 * p + 1)], ff.zd[i] += b.disp[size_t(3 * p + 2)];
        }
        md.ekhalf = 0.0, md.ekin = 0.0;
        return true;
    }

    void bookkeeping() {
        ++md.nfitw, ++md.nfitr;
        const double pot = ff.e[etot], e = md.ekin + pot;
        md.wsE += e, md.rsE += e;
        md.wskE += e * double(md.nfitw), md.rskE += e * double(md.nfitr);
        md.wsE2 += e * e, md.rsE2 += e * e;
        const double v[4] = {e, pot, md.ekin, md.scal};
        for (int j = 0; j < 4; ++j) md.rsum[size_t(j)] += v[j], md.rsq[size_t(j)] += v[j] * v[j];
    }

    struct Fit {
        bool made = false;
        double a = 0, b = 0, r = 0, chi = 0;
    };
    static Fit fit(long cnt, double se, double ske, double se2) {
        Fit f;
        const double nn = double(cnt);
        if (cnt <= 1) return f;
        const double y = se / nn, ky = ske / nn, y2 = se2 / nn, var = y2 - y * y;
        if (std::fabs(var) < 1.0e-8) return f;
        f.made = true;
        f.a = (2 * ky - (nn + 1) * y) * 6 / ((nn + 1) * (nn - 1));
        f.b = y - f.a * (nn + 1) / 2;
        f.r = f.a * std::sqrt(std::max(0.0, (nn + 1) * (nn - 1) / 12 / var));
        f.chi = std::sqrt(std::max(0.0, y2 - 2 * f.a * ky - 2 * f.b * y + f.b * f.b +
                                            f.a * f.a * (nn + 1) * (2 * nn + 1) / 6 + (nn + 1) * f.a * f.b));
        return f;
    }

    void drift_fit() {
        const Fit w = fit(md.nfitw, md.wsE, md.wskE, md.wsE2), r = fit(md.nfitr, md.rsE, md.rskE, md.rsE2);
        if (w.made && r.made) {
            const double ps = double(md.mddt) / tconv;
            out(k,
                "(//,20x,'Values returned from a least squares fit to a straight line      the last ',/,60x,f10.5,"
                "11x,f10.5,' ps:',//,20x,'Total Energy at time = 0         = ',f16.8,5x,f16.8,' kcal/mol',/,20x,"
                "'Drift per step (DY/DX)           = ',f16.8,5x,f16.8,' kcal/mol/fs',/,20x,"
                "'Correlation coefficient R        = ',f16.8,5x,f16.8,/,20x,"
                "'Root mean square fluctuation CHI = ',f16.8,5x,f16.8,/)",
                double(md.nfitw) * ps, double(md.nfitr) * ps, w.b, r.b, w.a, r.a, w.r, r.r, w.chi, r.chi);
        }
    }

    int natmd() const { return m.natmd > 0 ? m.natmd : n; }

    void report() {
        if (md.ltrj && md.ntrj > 0 && ev.istep % md.ntrj == 0) wtrj(k);
        if (md.nprnt <= 0 || ev.istep % md.nprnt != 0) return;
        const auto& e = ff.e;
        const Topology& t = ff.top;
        md.tprint += double(md.nprnt) * md.mddt;
        out(k,
            "(1x,'Time = ',f13.5,5x,'Tot. E  = ',f13.5,5x,'Pot. E   = ',f13.5,5x,'Kin. E = ',f13.5,5x,'Temp. = ',"
            "f13.5)",
            md.tprint / tconv, double(e[etot]) + md.ekin, e[etot], md.ekin, 2 * md.ekin / (3.0 * natmd() * boltz));
        out(k,
            "(1x,'Bond = ',f13.5,5x,'Angle   = ',f13.5,5x,'Dihedral = ',f13.5,5x,'Impr   = ',f13.5,5x,/,1x,"
            "'Vdw  = ',f13.5,5x,'Vdw Grid= ',f13.5,5x,'Coulomb  = ',f13.5,5x,'C.Grid = ',f13.5,/,1x,'PB   = ',"
            "f13.5,5x,'Ball    = ',f13.5,5x,'Scal     = ',f13.5,/,1x,'DhdR = ',f13.5,5x,'ImpR =    ',f13.5,5x)",
            e[ebnd], e[eang], e[edih], e[eimp], e[evdw], e[egrdrep] + e[egrdatt], e[eelec], e[egrdele], e[epbsol],
            e[eball], md.scal, e[edcon], e[eicon]);
        out(k, "(1x,'Offset=',f13.5,5x,'Lambda  = ',f13.5,5x,'Ascale   = ',f13.5,5x,'Sizscl = ',f13.5)", t.rshift,
            t.sdih, t.sang, ev.slig);
        out(k, "(a)", "");
        if (ev.iconv == 2) {
            list_line(k, {std::string_view("**POT** (no ball energy)"), e[etot] - e[eball]});
            double c[3] = {0, 0, 0};
            const int a = m.nmol >= 1 ? m.fstatm[1] : 1, b = m.nmol >= 1 ? m.lstatm[1] : 0;
            for (int i = a; i <= b; ++i) c[0] += ff.xd[i], c[1] += ff.yd[i], c[2] += ff.zd[i];
            const int cnt = std::max(b - a + 1, 1);
            for (double& x : c) x /= cnt;
            list_line(k, {std::string_view("Final COM "), c[0], c[1], c[2]});
            const double dx = c[0] - m.molcx[1], dy = c[1] - m.molcy[1], dz = c[2] - m.molcz[1];
            list_line(k, {std::string_view("COM moved distance "), std::sqrt(dx * dx + dy * dy + dz * dz)});
        }
        if (!md.lermak) cenmas();
        if (ev.istep % 100 == 0 && !md.lheat) {
            drift_fit();
            md.nfitw = 0;
            md.wsE = md.wskE = md.wsE2 = 0;
        }
    }

    void final_report() {
        const double ns = std::max(md.nste, 1);
        double av[4], fl[4];
        for (int j = 0; j < 4; ++j) {
            av[j] = md.rsum[size_t(j)] / ns;
            fl[j] = std::sqrt(std::fabs(md.rsq[size_t(j)] / ns - av[j] * av[j]));
        }
        out(k, "(//,32x,'Time = ',f10.5,' ps',//,32x,'Averages  ',5x,'Fluctuations')", md.tprint / tconv);
        out(k, "(14x,'Tot. E  = ',f13.5,' +/- ',f13.5,' kcal/mol')", av[0], fl[0]);
        out(k, "(14x,'Pot. E  = ',f13.5,' +/- ',f13.5,' kcal/mol')", av[1], fl[1]);
        out(k, "(14x,'Kin. E  = ',f13.5,' +/- ',f13.5,' kcal/mol')", av[2], fl[2]);
        const double tk = 3.0 * n * boltz;
        out(k, "(14x,'Temp.   = ',f13.5,' +/- ',f13.5,' K')", 2 * av[2] / tk, 2 * fl[2] / tk);
        out(k, "(14x,'Scal    = ',f13.5,' +/- ',f13.5)", av[3], fl[3]);
        out(k, "(//,25x,'Current Positions, Forces and Velocities',//,2x,'atom',6x,'    x',5x,'    y',5x,'    z',"
               "8x,'fx',8x,'fy',8x,'fz',8x,'vx',8x,'vy',8x,'vz')");
        if (!md.lermak) {
            out(k, "(a)", "");
            com_report("(1x,a,f12.5,1x,f12.5,1x,f12.5)");
        }
        out(k, "(//,2x,'Bond ',2x,'Equil',7x,'Current')");
        out(k, "(//,2x,'Dihedral',5x,'Current')");
        if (md.nste > 2500 && m.nmol >= 1) {
            double c[3] = {0, 0, 0};
            const int a = m.fstatm[1], b = m.lstatm[1];
            for (int i = a; i <= b; ++i) c[0] += ff.xd[i], c[1] += ff.yd[i], c[2] += ff.zd[i];
            const int cnt = std::max(b - a + 1, 1);
            for (double& x : c) x /= cnt;
            list_line(k, {std::string_view("Final COM-2 "), c[0], c[1], c[2]});
            const double dx = c[0] - m.molcx[1], dy = c[1] - m.molcy[1], dz = c[2] - m.molcz[1];
            list_line(k, {std::string_view("2-COM moved distance "), std::sqrt(dx * dx + dy * dy + dz * dz)});
        }
    }

    void copy_back() {
        for (int i = 1; i <= n; ++i) m.x[i] = float(ff.xd[i]), m.y[i] = float(ff.yd[i]), m.z[i] = float(ff.zd[i]);
    }

    void run() {
        md.ldone = false;
        for (int i = 1; i <= n; ++i) ff.xd[i] = m.x[i], ff.yd[i] = m.y[i], ff.zd[i] = m.z[i];
        if (md.lstoc) {
            out(k, "(a)", "           van Gunsteren BD Algorithm");
            coefficients();
        }
        if (md.lstrt) {
            out(k, "(a)", "             MD - PB calculation initial run");
            md.tprint = 0, ev.istep = 0, md.ekin = 0;
            md.ektarg = 0.5 * n * 3 * double(boltz) * k.env.temp;
            if (md.lverl) {
                out(k, "(a)", "                    Verlet Algorithm");
            } else if (md.lleap || md.lande || md.lstoc) {
                if (md.lleap) out(k, "(a)", "                 Leap - Frog Algorithm");
                if (md.lande) out(k, "(a)", "                 Andersen Algorithm");
                if (md.lmaxw) {
                    velasn();
                } else {
                    for (int i = 1; i <= n; ++i) md.vx[i] = md.vy[i] = md.vz[i] = 0.0;
                    md.ekhalf = 0.0;
                }
                if (md.lstoc) {
                    const double kt = double(boltz) * k.env.temp;
                    for (int i = 1; i <= n; ++i) {
                        const double s = std::sqrt(kt / m.mass[i]) * md.cc7[i];
                        md.sx[i] = rndgau(k) * s, md.sy[i] = rndgau(k) * s, md.sz[i] = rndgau(k) * s;
                    }
                    for (int i = 1; i <= n; ++i) {
                        if (m.live[i] != 1) continue;
                        const double h = md.mddt * md.cc6[i] / 2;
                        ff.xd[i] -= md.vx[i] * h, ff.yd[i] -= md.vy[i] * h, ff.zd[i] -= md.vz[i] * h;
                    }
                }
            } else if (md.lermak) {
                out(k, "(a)", "          Ermak-McCammon BD Algorithm");
            }
        } else {
            out(k, "(a)", "             MD - PB calculation restart run");
        }
        // The Brownian step works in ps; mddt itself stays in internal units
        // for the reported times.
        if (md.lermak) brownian_setup();
        bool singular = false;
        md.rsum.fill(0), md.rsq.fill(0);
        md.nfitw = md.nfitr = 0;
        md.wsE = md.wskE = md.wsE2 = md.rsE = md.rskE = md.rsE2 = 0;

        // Coordinates of the last step whose energy was good.
        std::vector<double> good(3 * size_t(n));
        auto save = [&] {
            for (int i = 1; i <= n; ++i)
                good[3 * size_t(i - 1)] = ff.xd[i], good[3 * size_t(i - 1) + 1] = ff.yd[i], good[3 * size_t(i - 1) + 2] = ff.zd[i];
        };
        save();
        const int la = last_atom();
        Topology& t = ff.top;
        for (int local = 1; local <= md.nste; ++local) {
            ++ev.istep;
            if (md.rampst < ev.istep && ev.istep <= md.rampst + md.ramplen) {
                t.rshift += md.drshift, t.sdih += md.dsdih, t.emscl += md.demscl, t.sang += md.dsang;
                ev.slig += md.dslig;
                // The end of the ramp: the normal force field, exactly, and
                // no ramp in later runs (whose steps count from 0 again).
                if (ev.istep == md.rampst + md.ramplen) {
                    t.rshift = 0.0f, t.sdih = t.emscl = t.sang = ev.slig = 1.0f;
                    md.drshift = md.dsdih = md.demscl = md.dsang = md.dslig = 0.0f;
                    md.ramplen = 0;
                }
            }
            ev.nofrc = false;
            if (!forces(k)) {
                // A step whose energy is not a number: the run stops there
                // and keeps the coordinates of the step before.
                for (int i = 1; i <= n; ++i)
                    ff.xd[i] = good[3 * size_t(i - 1)], ff.yd[i] = good[3 * size_t(i - 1) + 1], ff.zd[i] = good[3 * size_t(i - 1) + 2];
                list_line(k, {std::string_view("QUIT AFTER "), std::int64_t{local}, std::string_view(" STEPS ")});
                break;
            }
            save();
            if (md.lleap) leapfrog();
            else if (md.lande) endrun(k, exit_abort);
            else if (md.lstoc) stochastic();
            else if (md.lermak && !brownian()) {
                msg(k, "SERIOUS: Mddrv(053) diffusion tensor of the live atoms not positive definite at step ",
                    std::to_string(ev.istep));
                singular = true;
                break;
            }
            if (md.lleap || md.lstoc || md.lermak) bookkeeping();
            report();
            bool died = false;
            for (int i = 1; i <= la && !died; ++i) {
                if (m.live[i] != 1) continue;
                const double c[3] = {ff.xd[i], ff.yd[i], ff.zd[i]};
                for (int a = 0; a < 3; ++a)
                    if (c[a] < md.boxlo[size_t(a)] || c[a] > md.boxhi[size_t(a)]) died = true;
            }
            if (died) {
                setvar(k, "dead", 0, 1.0);
                out(k, "(1x,a)", "MD run died because of atom outside box.");
                break;
            }
            if (ev.iconv == 2) {
                list_line(k, {std::string_view("QUIT AFTER "), std::int64_t{local}, std::string_view(" STEPS ")});
                break;
            }
        }
        md.ldone = true;
        final_report();
        copy_back();
        if (singular) kvabort(k, serious);
    }
};

}  // namespace

void mddrv(Kova& k) {
    ForceField& ff = k.ff;
    EvalState& ev = ff.ev;
    MdStore& md = ff.md;
    const int in = k.files.inunit;
    const char* P = "Mddrv";

    if (k.env.pdie == 999.0f) {
        fwrite(k, stdout_unit, "(1x,a)", "DIELCI defaulting to 1 in MDDRV.");
        k.env.pdie = 1.0f;
    } else {
        fwrite(k, stdout_unit, "(1x,'DIELCI value is ',f12.6,' in MDDRV.')", k.env.pdie);
    }
    // Run parameters and switches back to their defaults.
    md.mddt = float(0.001 * tconv), md.taut = float(0.4 * tconv), md.gamma = 6.5f;
    ev.gfrac = 0.7f, ev.pbmove = 1.0e9f, ev.fdstep = 1.0e-5f;
    ev.lfirst = true;  // a run is a new series: its first evaluation solves afresh
    md.nste = 100, md.nprnt = 10, ev.npbupd = 10;
    md.boxlo.fill(-999999.0f), md.boxhi.fill(999999.0f);
    ev.iconv = 0, ev.minstp = 999999, ev.detol = 0.0f, ev.rescape = 99999.0f;
    md.lstrt = true;
    ev.lbnd = ev.lang = ev.ldih = ev.limp = ev.lvdw = ev.leel = ev.ldbf = true;
    ev.lqe = false, ev.lanal = true;
    md.lleap = true, md.lverl = md.lande = md.lstoc = md.lermak = md.lgld = false;
    md.lmaxw = md.lheat = md.lequi = false;
    ev.lball = false, ev.lballc = true;
    md.ldone = md.lcom = false;
    md.title = "N V E Dynamics";

    bool alim = false, pstp = false;
    auto integrator = [&](bool& which) {
        md.lleap = md.lverl = md.lande = md.lstoc = md.lermak = md.lgld = false;
        which = true;
    };
    for (;;) {
        const std::string w = getnam(k, in, P);
        if (w == "end") break;
        const std::string_view v(w), v4 = v.substr(0, 4), v6 = v.substr(0, 6);
        if (w == "strt") md.lstrt = true;
        else if (w == "rest") md.lstrt = false;
        else if (w == "anal") ev.lanal = true;
        else if (w == "numr") ev.lanal = false;
        else if (w == "allf") ev.lbnd = ev.lang = ev.ldih = ev.limp = ev.lvdw = ev.leel = true;
        else if (term_word(ev, w)) {}
        else if (w == "gfrac") {
            // The molecule must fit the Poisson-Boltzmann grid it fills.
            const float g = getfp(k, in, P);
            if (admit(k, g, 0.0, true, "Mddrv(072)", "grid fill factor (gfrac) must be above 0") && g <= 1.0f) ev.gfrac = g;
            else if (g > 1.0f) {
                msg(k, "SERIOUS: Mddrv(072) grid fill factor (gfrac) must be at most 1: ", value_text(g));
                kvabort(k, serious);
            }
        }
        else if (w == "gamma") {
            const float g = getfp(k, in, P);
            if (admit(k, g, 0.0, false, "Mddrv(064)", "friction coefficient (gamma) must be a finite number of at least 0 per ps")) {
                md.gamma = g;
                out(k, "(1x,'Setting all gamma values to:',f10.5)", g);
            }
        }
        else if (w == "alim") {
            const float a = getnum(k, in, P);
            if (admit(k, a, 0.0, false, "Mddrv(065)", "displacement limit (alim) must be a finite number of at least 0 A"))
                ev.pbmove = a * a, alim = true;
        }
        else if (w == "pstp") {
            const int s = getint(k, in, P);
            if (admit(k, s, 1, "Mddrv(066)", "Poisson-Boltzmann update interval (pstp) must be at least 1"))
                ev.npbupd = s, pstp = true;
        }
        else if (w == "del") {
            const float d = getfp(k, in, P);
            if (admit(k, d, 0.0, true, "Mddrv(067)", "finite-difference step (del) must be a finite number above 0 A"))
                ev.fdstep = d;
        }
        else if (w == "nste") {
            const int s = getint(k, in, P);
            if (admit(k, s, 0, "Mddrv(068)", "number of steps (nste) must be at least 0")) md.nste = s;
        }
        else if (w == "dt") {
            const float d = getfp(k, in, P);
            if (admit(k, d, 0.0, true, "Mddrv(061)", "time step (dt) must be a finite number above 0 ps"))
                md.mddt = float(d * tconv);
        }
        else if (w == "equi") md.lequi = true, md.lheat = false;
        else if (w == "heat") md.lheat = true, md.lequi = false, md.title = "N V T Dynamics";
        else if (w == "leap") integrator(md.lleap);
        else if (w == "verl") integrator(md.lverl);
        else if (w == "ande") integrator(md.lande);
        else if (w == "stoc") integrator(md.lstoc);
        else if (w == "ermak") integrator(md.lermak);
        else if (w == "gld") integrator(md.lgld);
        else if (w == "maxw") md.lmaxw = true;
        else if (w == "prnt") {
            const int s = getint(k, in, P);
            if (admit(k, s, 1, "Mddrv(069)", "report interval (prnt) must be at least 1")) md.nprnt = s;
        }
        else if (w == "temp") {
            const float t = getfp(k, in, P);
            if (admit(k, t, 0.0, false, "Mddrv(062)", "temperature (temp) must be a finite number of at least 0 K"))
                k.env.temp = t;
        }
        else if (w == "taut") {
            const float t = getfp(k, in, P);
            if (admit(k, t, 0.0, true, "Mddrv(063)", "coupling time (taut) must be a finite number above 0 ps"))
                md.taut = float(t * tconv);
        }
        else if (v4 == "rama") {
            RamaPair p;
            p.d1 = truncated(getnum(k, in, P));
            p.d2 = truncated(getnum(k, in, P));
            const int nd = ff.top.ndih;
            if (p.d1 < 1 || p.d1 > nd || p.d2 < 1 || p.d2 > nd) {
                msg(k, "WARNING: Mddrv(150) Ramachandran dihedral numbers must lie between 1 and ", std::to_string(nd) + ": " + std::to_string(p.d1) + " " + std::to_string(p.d2));
                kvabort(k, warning);
            } else {
                md.rama.push_back(p);
            }
        }
        else if (v4 == "rdie") {
            const float d = getfp(k, in, P);
            if (admit(k, d, 0.0, true, "Mddrv(070)", "distance-dependent dielectric factor (rdie) must be above 0")) {
                ff.nb.irdie = 1, ff.nb.rdie = d;
                out(k, "(1x,a)", "NOTE: Change to dist-depndt dielectric in MDDRV.");
            }
        }
        else if (v6 == "quitif") {
            ev.iconv = 1;
            for (;;) {
                const std::string s = getnam(k, in, "Select");
                if (s == "end") break;
                if (s == "deltae") ev.detol = getfp(k, in, "Select");
                else if (s == "minstep") ev.minstp = truncated(getnum(k, in, "Select"));
                else if (s == "xbound") ev.rescape = getfp(k, in, "Select");
                else {
                    msg(k, "WARNING: iquit(1003) Unable to find QUIT stmt. specification");
                    break;
                }
            }
        }
        else if (v6 == "die_if") {
            for (;;) {
                const std::string s = getnam(k, in, P);
                if (s == "end") break;
                if (s == "outbox") {
                    for (int a = 0; a < 3; ++a) md.boxlo[size_t(a)] = getnum(k, in, P);
                    for (int a = 0; a < 3; ++a) md.boxhi[size_t(a)] = getnum(k, in, P);
                } else {
                    msg(k, "WARNING: iquit(1003) Unable to find DIE stmt. specification");
                    break;
                }
            }
        }
        else if (v4 == "seed") {
            int s[4];
            for (int& x : s) x = truncated(getnum(k, in, P));
            if (md.lstrt && !md.seeded) {
                md.seeded = true;
                k.rnd.ijsd1 = s[0], k.rnd.ijsd2 = s[1], k.rnd.klsd1 = s[2], k.rnd.klsd2 = s[3];
                out(k, "(' NEW SEED= ',4(i6,2x))", k.rnd.ijsd1, k.rnd.klsd1, k.rnd.ijsd2, k.rnd.klsd2);
                rndini(k);
            }
        }
        else if (w == "ball") {
            bool centre = false, radius = false;
            for (;;) {
                const std::string s = getnam(k, in, P);
                const std::string_view s4 = std::string_view(s).substr(0, 4);
                if (std::string_view(s).substr(0, 3) == "end") break;
                if (s4 == "xyzc") {
                    for (int a = 0; a < 3; ++a) ev.ballc[size_t(a)] = getnum(k, in, P);
                    centre = true;
                } else if (s4 == "atom") {
                    const int a = truncated(getnum(k, in, P));
                    if (a >= 1 && a <= k.mol.natom) ev.ballc = {k.mol.x[a], k.mol.y[a], k.mol.z[a]};
                    centre = true;
                } else if (s4 == "newc") {
                    double c[3] = {0, 0, 0};
                    const MoleculeStore& m = k.mol;
                    const int a = m.nmol >= 1 ? m.fstatm[1] : 1, b = m.nmol >= 1 ? m.lstatm[1] : 0;
                    for (int i = a; i <= b; ++i) c[0] += m.x[i], c[1] += m.y[i], c[2] += m.z[i];
                    const int cnt = std::max(b - a + 1, 1);
                    ev.ballc = {float(c[0] / cnt), float(c[1] / cnt), float(c[2] / cnt)};
                    centre = true;
                } else if (s4 == "prvc") {
                    centre = true;
                } else if (s4 == "dist") {
                    const float d = getnum(k, in, P);
                    if (admit(k, d, 0.0, true, "Mddrv(071)", "ball radius (dist) must be a finite number above 0 A")) {
                        ev.kball = float(1.0 / std::pow(double(d), 12));
                        ev.lball = true;
                        radius = true;
                    }
                } else if (s4 == "cocf") {
                    ev.lballc = true;
                } else if (s4 == "atmf") {
                    ev.lballc = false;
                } else {
                    out(k, "(' INVALID KEYWORD. Mddrv(140) ',a10)", s);
                    endrun(k, exit_abort);
                }
            }
            if (!centre || !radius) {
                msg(k, "SERIOUS: Fit(992) Incomplete specifications for operation.");
                kvabort(k, serious);
            }
        }
        else {
            msg(k, "WARNING: Mddrv(100) unknown keyword: ", w);
            kvabort(k, warning);
        }
    }
    if (alim && pstp) {
        msg(k, "WARNING: mddrv(000) attempt to set alim and pstp");
        kvabort(k, warning);
        out(k, "(1x,a)", "Setting alim to 999999999.");
        ev.pbmove = 1.0e9f;
    } else if (alim) {
        ev.npbupd = 999999999;
    }
    ev.nconv = md.nprnt;

    MoleculeStore& m = k.mol;
    bool top = false;
    for (int mol = 1; mol <= m.nmol; ++mol) top = top || ff.top.toprd[mol];
    if (m.natom < 1 || (!top && ff.top.nbnd + ff.top.nang + ff.top.ndih + ff.top.nimp + ff.top.npair == 0)) {
        msg(k, "SERIOUS: Mddrv(010) no topology has been read (rdtop)");
        kvabort(k, serious);
        return;
    }
    for (int i = 1; i <= m.natom; ++i)
        if (!(m.mass[i] > 0.0f) || !std::isfinite(m.mass[i])) {
            msg(k, "SERIOUS: Mddrv(020) atom ", std::to_string(i), " has no mass: masses must be above 0 amu");
            kvabort(k, serious);
            return;
        }
    if (md.lermak) {
        // The Brownian step factorises the diffusion tensor of all live atoms
        // at every step: a few atoms, with radii, at a temperature.
        int nl = 0;
        for (int i = 1; i <= m.natom; ++i) nl += m.live[i] == 1;
        if (nl > maxbrown) {
            msg(k, "SERIOUS: Mddrv(050) Brownian integrator (ermak) moves at most 8 live atoms; live atoms: ",
                std::to_string(nl));
            kvabort(k, serious);
            return;
        }
        if (!(k.env.temp > 0.0f)) {
            msg(k, "SERIOUS: Mddrv(051) Brownian integrator (ermak) needs a temperature above 0 K");
            kvabort(k, serious);
            return;
        }
        for (int i = 1; i <= m.natom; ++i)
            if (m.live[i] == 1 && (!(m.radi[i] > 0.0f) || !std::isfinite(m.radi[i]))) {
                msg(k, "SERIOUS: Mddrv(052) atom ", std::to_string(i),
                    " has no radius: the Brownian integrator (ermak) needs radii above 0 A");
                kvabort(k, serious);
                return;
            }
    }
    out(k, "(10x,a)", "M D - P B Calculation");
    out(k, "(10x,a80)", pad(md.title, 80));
    for (RamaPair& p : md.rama) p.count.fill(0);
    md.ramat.fill(0.0);

    // Poisson-Boltzmann statistics of this run: the next solution restarts
    // the spacing record and the per-atom potential sums.
    PBTerm& pb = ff.pb;
    pb.npbcalc = 0;
    pb.hmin = 99999.0f, pb.hmax = -99999.0f, pb.hsum = 0.0f;
    pb.phiacc.fill(0.0), pb.phi2acc.fill(0.0);

    Dynamics(k).run();

    if (ev.lqe || ev.ldbf) {
        const std::string rule(50, '_');
        const int np = pb.npbcalc;
        double solv = 0.0;
        if (np > 0)
            for (int i = 1; i <= m.natom; ++i) solv += 0.0023900573 * 0.5 * m.chrg[i] * pb.phiacc[i] / np;
        out(k, "(1x,'Number of FDPB  calcs since last call to MDDRV:',i12)", np);
        // No solution in the run: no average spacing to report.
        out(k, "(1x,'Min, Av, Max PB grid size in this MDPB calculation: ',3f8.3)", pb.hmin,
            np > 0 ? pb.hsum / float(np) : 0.0f, pb.hmax);
        out(k, "(a)", "");
        out(k, "(a)", "     ATOM        <phi>        <phi^2>-<phi>^2");
        out(k, "(1x,a)", rule);
        out(k, "(1x,a)", rule);
        out(k, "(1x,'Solv. energy from <phi>:',f12.3)", solv);
        out(k, "(1x,a)", rule);
        out(k, "(a)", "");
    }
    if (ev.leel) {
        const std::string rule(50, '_');
        out(k, "(1x,a)", rule);
        out(k, "(a)", "     ATOM       <phi_c>       <phi_c^2>-<ph_c>^2");
        out(k, "(1x,a)", rule);
        out(k, "(1x,a)", rule);
        out(k, "(1x,'Coul. energy from <phi>: ',f12.3)", 0.0f);
        out(k, "(1x,a)", rule);
    }
}

void langevin(Kova& k) {
    MdStore& md = k.ff.md;
    const MoleculeStore& m = k.mol;
    const int in = k.files.inunit;
    md.lgmode = 3, md.lgsteps = 1;
    md.lgatoms = m.nmol >= 1 ? m.lstatm[1] - m.fstatm[1] + 1 : 0;
    for (;;) {
        const std::string w = getnam(k, in, "Langevin");
        if (w == "end") break;
        const std::string_view v(w);
        if (v.substr(0, 12) == "atomsperstep") {
            const int a = truncated(getnum(k, in, "Langevin"));
            if (admit(k, a, 1, "Langevin(1005)", "atoms per step must be at least 1")) md.lgatoms = a, md.lgmode = 1;
        } else if (v.substr(0, 12) == "stepsperatom") {
            const int s = truncated(getnum(k, in, "Langevin"));
            if (admit(k, s, 1, "Langevin(1005)", "steps per atom must be at least 1")) md.lgsteps = s, md.lgmode = 2;
        } else if (v.substr(0, 4) == "sync") {
            const int s = truncated(getnum(k, in, "Langevin"));
            if (admit(k, s, 1, "Langevin(1005)", "step interval (sync) must be at least 1")) md.lgsteps = s, md.lgmode = 3;
        } else {
            msg(k, "SERIOUS: Langevin(1004) unknown keyword: ", w);
            kvabort(k, serious);
            return;
        }
    }
}

void soften(Kova& k) {
    MdStore& md = k.ff.md;
    Topology& t = k.ff.top;
    EvalState& ev = k.ff.ev;
    const int in = k.files.inunit;
    const char* P = "Soften";
    md.rampst = 100, md.ramplen = 20;
    for (;;) {
        const std::string w = getnam(k, in, P);
        if (w == "end") break;
        const std::string_view v(w), v4 = v.substr(0, 4), v6 = v.substr(0, 6);
        if (v4 == "dist") t.rshift = getnum(k, in, P);
        else if (v.substr(0, 5) == "scale") t.sdih = getnum(k, in, P);
        else if (v6 == "cscale") t.emscl = getnum(k, in, P);
        else if (v6 == "ascale") t.sang = getnum(k, in, P);
        else if (v6 == "shrink") ev.slig = getnum(k, in, P);
        else if (v4 == "time") md.rampst = truncated(getnum(k, in, P));
        else if (v4 == "ramp") {
            const int r = truncated(getnum(k, in, P));
            if (admit(k, r, 1, "Soften(1005)", "ramp length (ramp) must be at least 1 step")) md.ramplen = r;
        } else {
            msg(k, "SERIOUS: Soften(1004) unknown keyword: ", w);
            kvabort(k, warning);
            return;
        }
    }
    const float len = float(md.ramplen);
    md.drshift = -t.rshift / len;
    md.dsdih = (1.0f - t.sdih) / len;
    md.demscl = (1.0f - t.emscl) / len;
    md.dsang = (1.0f - t.sang) / len;
    md.dslig = (1.0f - ev.slig) / len;
}

}  // namespace kova
