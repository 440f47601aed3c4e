// Systematic forces on the subunits of Brownian dynamics.
#include "bd/forces.hpp"

#include <algorithm>
#include <cmath>

namespace kova {

namespace {

constexpr float pi4 = 12.566370614f;
constexpr float small = 0.0001f;

bool is_fixed(const MoleculeStore& m, int g) { return m.sbfix[g] == 1 || m.sbtype[g] < 32; }

// Adds f*(r_i - r_j)/r... : a central force of magnitude fr (positive
// pushes apart) along d = r_i - r_j of length r.
inline void central(std::span<float> frc, int i, int j, const float d[3], float r, double fr) {
    const float s = float(fr / r);
    for (int c = 0; c < 3; ++c) {
        frc[3 * i + c] += s * d[c];
        frc[3 * j + c] -= s * d[c];
    }
}

// Excluded-volume and solvent parameters of the pair (gi, gj) for modes exv
// and sol: identical takes the first subunit's (the unit's common) values,
// otherwise geometric means; the solvent energy is the sum of the two.
struct PairTerms {
    float eval = 0, rexv = 0, sval = 0, rsol = 0;
};
PairTerms pair_terms(const UnitStore& u, int exv, int sol, int gi, int gj) {
    PairTerms t;
    if (exv == 1) t.eval = u.eval[gi], t.rexv = u.rexv[gi];
    else if (exv >= 2) t.eval = std::sqrt(std::fabs(u.eval[gi] * u.eval[gj])), t.rexv = std::sqrt(u.rexv[gi] * u.rexv[gj]);
    if (sol >= 1) t.sval = u.sval[gi] + u.sval[gj];
    if (sol == 1) t.rsol = u.rsol[gi];
    else if (sol >= 2) t.rsol = std::sqrt(u.rsol[gi] * u.rsol[gj]);
    return t;
}

// The contact terms of one pair (0-based i, j); false when they coincide.
bool contact(const PairTerms& t, int i, int j, std::span<const float> pos, std::span<float> frc, double& eexv,
             double& esol, float& r2out) {
    const float d[3] = {pos[3 * i] - pos[3 * j], pos[3 * i + 1] - pos[3 * j + 1], pos[3 * i + 2] - pos[3 * j + 2]};
    const float r2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
    r2out = r2;
    if (r2 < small) return false;
    const float r = std::sqrt(r2);
    double e = 0, dedr = 0;
    if (t.rexv > 0 && r <= t.rexv) {
        exv_energy(t.eval, t.rexv, r, e, dedr);
        eexv += e;
        central(frc, i, j, d, r, -dedr);
    }
    if (t.rsol > 0 && r <= t.rsol) {
        sol_energy(t.sval, t.rsol, r, e, dedr);
        esol += e;
        central(frc, i, j, d, r, -dedr);
    }
    return true;
}

}  // namespace

void exv_energy(float eval, float rexv, float r, double& e, double& dedr) {
    e = dedr = 0;
    if (!(r <= rexv) || r <= 0) return;
    const double s = double(rexv) * rexv / (double(r) * r);
    e = eval * (s * s * s * (3 * s - 4) + 1);
    dedr = -24.0 * eval * (s - 1) * s * s * s / r;
}

void sol_energy(float sval, float rsol, float r, double& e, double& dedr) {
    e = dedr = 0;
    if (!(r <= rsol)) return;
    const double x = double(r) * r / (double(rsol) * rsol);
    e = sval * (1 - (7 * x - 9 * x * x + 5 * x * x * x - x * x * x * x) / 2);
    dedr = -sval * (double(r) / rsol) * (7 - 18 * x + 15 * x * x - 4 * x * x * x) / rsol;
}

void felec(const MoleculeStore& m, float kappa, float epsout, std::span<const float> pos, std::span<float> frc) {
    const int n = m.nsbtot;
    const float c = 1.0f / (pi4 * epsout);
    for (int i = 0; i < n; ++i) {
        const int gi = i + 1;
        const float qi = m.sbchg[gi];
        if (std::fabs(qi) <= small || is_fixed(m, gi)) continue;
        for (int j = i + 1; j < n; ++j) {
            const int gj = j + 1;
            const float qj = m.sbchg[gj];
            if (std::fabs(qj) <= small || is_fixed(m, gj)) continue;
            if (m.sbunit[gi] == m.sbunit[gj] && j - i < 3) continue;
            const float d[3] = {pos[3 * i] - pos[3 * j], pos[3 * i + 1] - pos[3 * j + 1], pos[3 * i + 2] - pos[3 * j + 2]};
            const float r2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
            if (r2 <= 0) continue;
            const float r = std::sqrt(r2);
            const float s = qi * qj * std::exp(-kappa * r) * c / (r2 * r);
            for (int k = 0; k < 3; ++k) {
                frc[3 * i + k] += s * d[k];
                frc[3 * j + k] -= s * d[k];
            }
        }
    }
}

void grid_force(const GridStore& g, const MoleculeStore& m, float kappa, float epsout, float q, const float p[3],
                float f[3], bool use_grid) {
    f[0] = f[1] = f[2] = 0;
    const float gx = (p[0] - g.xo) / g.h, gy = (p[1] - g.yo) / g.h, gz = (p[2] - g.zo) / g.h;
    // Every corner of the cell needs both neighbours along each axis: cells
    // from 2 to n-2, so that the upper corner's upper neighbour is on the grid.
    // (Compared as reals first: a position far off the grid has no cell.)
    if (use_grid && gx >= 2 && gy >= 2 && gz >= 2 && gx < float(g.nx - 1) && gy < float(g.ny - 1) &&
        gz < float(g.nz - 1) && !g.phi.empty()) {
        const int i = int(gx), j = int(gy), k = int(gz);
        const float a = gx - i, b = gy - j, c = gz - k;
        const int nx = g.nx, nxy = g.nx * g.ny;
        const float* phi = g.phi.data();
        const float h2 = 1.0f / (2.0f * g.h);
        for (int dk = 0; dk < 2; ++dk)
            for (int dj = 0; dj < 2; ++dj)
                for (int di = 0; di < 2; ++di) {
                    const float w = (di ? a : 1 - a) * (dj ? b : 1 - b) * (dk ? c : 1 - c);
                    const int l = (i + di) + nx * (j + dj - 1) + nxy * (k + dk - 1);
                    f[0] += w * (phi[l - 1] - phi[l + 1]) * h2;
                    f[1] += w * (phi[l - nx] - phi[l + nx]) * h2;
                    f[2] += w * (phi[l - nxy] - phi[l + nxy]) * h2;
                }
        for (int c2 = 0; c2 < 3; ++c2) f[c2] *= q;
        return;
    }
    // Outside the grid's interior: the screened field of one sphere or of
    // every selected atom.
    auto sphere = [&](float qs, float a, float cx, float cy, float cz) {
        const float d[3] = {p[0] - cx, p[1] - cy, p[2] - cz};
        const float r = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
        if (!(r > 0)) return;
        const float s = (1 + kappa * r) * qs * q * std::exp(-kappa * (r - a)) / ((1 + kappa * a) * pi4 * epsout * r * r * r);
        for (int c2 = 0; c2 < 3; ++c2) f[c2] += s * d[c2];
    };
    if (g.bcfl == 1) {
        sphere(g.qnet, g.reff, g.xcen, g.ycen, g.zcen);
    } else if (g.bcfl == 2) {
        for (int at = 1; at <= m.natom; ++at)
            if (g.isel[at] != 0) sphere(m.chrg[at], m.radi[at], m.x[at], m.y[at], m.z[at]);
    }
}

ForceFault clcfrc(const MoleculeStore& m, int n, std::span<const float> pos, std::span<float> frc, ForceEnergies& e) {
    const UnitStore& u = m.units;
    const int f = u.ifsub[n] - 1, ns = u.nsubu[n];  // 0-based first subunit, count
    auto vec = [&](int a, int b, float d[3]) {         // r_a - r_b
        for (int c = 0; c < 3; ++c) d[c] = pos[3 * a + c] - pos[3 * b + c];
    };
    // Bonds (harmonic), unless held by constraints.
    if (u.bndon[n] == 1 && u.cncor[n] == 0)
        for (int b = 1; b <= std::min(ns - 1, maxubd); ++b) {
            const int i = f + b - 1, j = i + 1;
            if (is_fixed(m, i + 1) && is_fixed(m, j + 1)) continue;
            float d[3];
            vec(i, j, d);
            const float r = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
            if (r < small) return {ForceFault::bond, i + 1, j + 1, r};
            const double dr = r - u.b0[n][b];
            e.bond += 0.5 * u.cb[n][b] * dr * dr;
            central(frc, i, j, d, r, -u.cb[n][b] * dr);
        }
    // Bond angles at the middle subunit of three.
    if (u.angon[n] == 1 && ns > 2)
        for (int t = 1; t <= std::min(ns - 2, maxubd); ++t) {
            const int i = f + t - 1, j = i + 1, k = i + 2;
            float a[3], b[3];
            vec(i, j, a);
            vec(k, j, b);
            const float la = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
            const float lb = std::sqrt(b[0] * b[0] + b[1] * b[1] + b[2] * b[2]);
            if (la < small || lb < small) return {ForceFault::angle, la < small ? i + 1 : k + 1, j + 1, std::min(la, lb)};
            const double cs = std::clamp((double(a[0]) * b[0] + double(a[1]) * b[1] + double(a[2]) * b[2]) / (double(la) * lb), -1.0, 1.0);
            const double th = std::acos(cs), dth = th - u.t0[n][t];
            e.angle += 0.5 * u.ct[n][t] * dth * dth;
            const double sn = std::max(std::sqrt(1 - cs * cs), double(small));
            // dE/dcos = -ct*dth/sin; F_i = -dE/dcos * dcos/dr_i.
            const double g = u.ct[n][t] * dth / sn;
            for (int c = 0; c < 3; ++c) {
                const double fi = g * (b[c] / lb - cs * a[c] / la) / la;
                const double fk = g * (a[c] / la - cs * b[c] / lb) / lb;
                frc[3 * i + c] += float(fi);
                frc[3 * k + c] += float(fk);
                frc[3 * j + c] -= float(fi + fk);
            }
        }
    // Nearest-neighbour term of each dihedral: a quartic in cos(phi).
    if (u.nnnbon[n] == 1 && ns > 3)
        for (int dd = 1; dd <= std::min(ns - 3, maxubd); ++dd) {
            const int p1 = f + dd - 1, p2 = p1 + 1, p3 = p1 + 2, p4 = p1 + 3;
            double b1[3], b2[3], b3[3];
            for (int c = 0; c < 3; ++c) {
                b1[c] = pos[3 * p2 + c] - pos[3 * p1 + c];
                b2[c] = pos[3 * p3 + c] - pos[3 * p2 + c];
                b3[c] = pos[3 * p4 + c] - pos[3 * p3 + c];
            }
            auto len = [](const double v[3]) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); };
            auto cross = [](const double x[3], const double y[3], double z[3]) {
                z[0] = x[1] * y[2] - x[2] * y[1];
                z[1] = x[2] * y[0] - x[0] * y[2];
                z[2] = x[0] * y[1] - x[1] * y[0];
            };
            if (len(b1) < small || len(b2) < small || len(b3) < small)
                return {ForceFault::dihedral, p1 + 1, p4 + 1, float(std::min({len(b1), len(b2), len(b3)}))};
            double n1[3], n2[3];
            cross(b1, b2, n1);
            cross(b2, b3, n2);
            const double l1 = len(n1), l2 = len(n2);
            // Three subunits in line leave the dihedral undefined: no force.
            if (l1 < small * len(b1) * len(b2) || l2 < small * len(b2) * len(b3)) continue;
            const double cs = std::clamp((n1[0] * n2[0] + n1[1] * n2[1] + n1[2] * n2[2]) / (l1 * l2), -1.0, 1.0);
            const auto& a = u.nnnbc[n][dd];
            e.nnnb += a[0] + cs * (a[1] + cs * (a[2] + cs * (a[3] + cs * a[4])));
            const double dedc = a[1] + cs * (2 * a[2] + cs * (3 * a[3] + cs * 4 * a[4]));
            double w1[3], w2[3], g1[3], g2a[3], g2b[3], g3[3];
            for (int c = 0; c < 3; ++c) {
                w1[c] = (n2[c] / l2 - cs * n1[c] / l1) / l1;  // dcos/dn1
                w2[c] = (n1[c] / l1 - cs * n2[c] / l2) / l2;  // dcos/dn2
            }
            cross(b2, w1, g1);   // dcos/db1
            cross(w1, b1, g2a);  // dcos/db2, through n1
            cross(b3, w2, g2b);  // dcos/db2, through n2
            cross(w2, b2, g3);   // dcos/db3
            for (int c = 0; c < 3; ++c) {
                const double g2 = g2a[c] + g2b[c];
                frc[3 * p1 + c] += float(dedc * g1[c]);
                frc[3 * p2 + c] -= float(dedc * (g1[c] - g2));
                frc[3 * p3 + c] -= float(dedc * (g2 - g3[c]));
                frc[3 * p4 + c] -= float(dedc * g3[c]);
            }
        }
    // Excluded volume and solvent between subunits more than two apart.
    if (u.exvmod[n] != 0 || u.solmod[n] != 0)
        for (int i = f; i < f + ns; ++i)
            for (int j = i + 3; j < f + ns; ++j) {
                if (is_fixed(m, i + 1) && is_fixed(m, j + 1)) continue;
                const PairTerms t = pair_terms(u, u.exvmod[n], u.solmod[n], i + 1, j + 1);
                float r2 = 0;
                if (!contact(t, i, j, pos, frc, e.exv, e.sol, r2)) return {ForceFault::pair, i + 1, j + 1, r2};
            }
    return {};
}

ForceFault iunfrc(const MoleculeStore& m, std::span<const float> pos, std::span<float> frc, ForceEnergies& e) {
    const UnitStore& u = m.units;
    for (int p = 1; p <= u.nfiun; ++p) {
        const int a = u.iupair1[p], b = u.iupair2[p];
        if (u.exviu[p] == 0 && u.soliu[p] == 0) continue;
        for (int gi = u.ifsub[a]; gi <= u.ilsub[a]; ++gi)
            for (int gj = u.ifsub[b]; gj <= u.ilsub[b]; ++gj) {
                if (is_fixed(m, gi) && is_fixed(m, gj)) continue;
                PairTerms t = pair_terms(u, u.exviu[p] == 1 ? 0 : u.exviu[p], u.soliu[p] == 1 ? 0 : u.soliu[p], gi, gj);
                if (u.exviu[p] == 1) t.eval = u.evaliu[p], t.rexv = u.rexviu[p];
                if (u.soliu[p] == 1) t.sval = u.svaliu[p], t.rsol = u.rsoliu[p];
                float r2 = 0;
                if (!contact(t, gi - 1, gj - 1, pos, frc, e.exviu, e.soliu, r2)) return {ForceFault::interunit, gi, gj, r2};
            }
    }
    return {};
}

}  // namespace kova
