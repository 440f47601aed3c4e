// The bonded terms of the force field: ball restraint of molecule 1, bonds,
// angles, proper dihedrals (with the dihedral restraints) and improper
// dihedrals (with the improper restraints). Coordinates, separations and
// forces in double precision; energies summed into the single-precision
// slots.
#include <algorithm>
#include <cmath>

#include "command/output.hpp"
#include "mech/mech.hpp"
#include "mech/vec3.hpp"

namespace kova {

namespace {

template <int N>
void load(const ForceField& ff, const int (&at)[N], double (&c)[N][3]) {
    for (int a = 0; a < N; ++a) c[a][0] = ff.xd[at[a]], c[a][1] = ff.yd[at[a]], c[a][2] = ff.zd[at[a]];
}

template <int N>
void apply(ForceField& ff, const int (&at)[N], const double (&f)[N][3]) {
    for (int a = 0; a < N; ++a) ff.f(at[a], 0) += f[a][0], ff.f(at[a], 1) += f[a][1], ff.f(at[a], 2) += f[a][2];
}

double bondlen(const double (&c)[2][3]) {
    double v[3];
    diff(c[0], c[1], v);
    return mag(v);
}

// Angle i-j-k (rad) with the cosine clamped.
double bendang(const double (&c)[3][3]) {
    double a[3], b[3];
    diff(c[0], c[1], a), diff(c[2], c[1], b);
    return std::acos(clamped_cos(a, b));
}

// Energy of one proper dihedral at angle phi (before any restraint).
double dihnrg(const Topology& t, int n, double phi) {
    if (t.ifour == 1)
        return 0.5 * t.kphi[n] * (1.0 + std::cos(phi)) + 0.5 * t.kphi2[n] * (1.0 - std::cos(2.0 * phi)) +
               0.5 * t.kphi3[n] * (1.0 + std::cos(3.0 * phi));
    return double(t.sdih) * t.kphi[n] * (1.0 + std::cos(double(t.pn[n]) * phi - t.phase[n]));
}

// Its derivative with respect to phi.
double dihder(const Topology& t, int n, double phi) {
    if (t.ifour == 1)
        return -0.5 * t.kphi[n] * std::sin(phi) + t.kphi2[n] * std::sin(2.0 * phi) -
               1.5 * t.kphi3[n] * std::sin(3.0 * phi);
    return -double(t.sdih) * t.kphi[n] * t.pn[n] * std::sin(double(t.pn[n]) * phi - t.phase[n]);
}

// Forces of a torsion energy with derivative dedphi: -dE/dphi dphi/dr.
void torsion_force(ForceField& ff, const int (&at)[4], const double (&c)[4][3], double dedphi) {
    double g[4][3], f[4][3];
    torsion_grad(c[0], c[1], c[2], c[3], g);
    for (int a = 0; a < 4; ++a)
        for (int x = 0; x < 3; ++x) f[a][x] = -dedphi * g[a][x];
    apply(ff, at, f);
}

// Ramachandran bin (1..36) of a dihedral angle in radians: 10-degree bins
// from -180 degrees, +180 itself in the last.
int ramabin(double a) {
    constexpr double pi = 3.141592653589793;
    return std::clamp(int(18.0 * a / pi + 19.0), 1, nramab);
}

// Adds this evaluation's angles of every registered dihedral pair to its
// count table; a dihedral whose middle atoms are both fixed keeps its last
// angle. The instantaneous temperature is summed at the last pair's bins.
void rama_register(Kova& k) {
    ForceField& ff = k.ff;
    const Topology& t = ff.top;
    const MoleculeStore& m = k.mol;
    MdStore& md = ff.md;
    auto angle = [&](int n, double& keep) {
        if (n < 1 || n > t.ndih) return;
        const int at[4] = {t.idih[n], t.jdih[n], t.kdih[n], t.ldih[n]};
        if (m.live[at[1]] != 1 && m.live[at[2]] != 1) return;
        double c[4][3];
        load(ff, at, c);
        const double a = dihang(c[0], c[1], c[2], c[3]);
        if (std::isfinite(a)) keep = a;
    };
    int i = 1, j = 1;
    for (RamaPair& p : md.rama) {
        angle(p.d1, p.phi);
        angle(p.d2, p.psi);
        i = ramabin(p.phi), j = ramabin(p.psi);
        ++p.count[size_t((i - 1) * nramab + j - 1)];
    }
    const int natoms = m.natmd > 0 ? m.natmd : m.natom;
    if (boltz > 0.0f && natoms > 0)
        md.ramat[size_t((i - 1) * nramab + j - 1)] += 2.0 * md.ekin / (3.0 * natoms * double(boltz));
}

}  // namespace

bool dhdclc(Kova& k, int i, int j, int kk, int l, int crdflg, double& phi) {
    phi = 0.0;
    const MoleculeStore& m = k.mol;
    const int at[4] = {i, j, kk, l};
    for (int a : at)
        if (a <= 0 || a > m.natom) {
            msg(k, "SERIOUS: prtdih(020) Unassigned atom");
            kvabort(k, serious);
            return false;
        }
    double c[4][3];
    if (crdflg == 1) {
        for (int a = 0; a < 4; ++a) c[a][0] = m.x[at[a]], c[a][1] = m.y[at[a]], c[a][2] = m.z[at[a]];
    } else if (crdflg == 2) {
        load(k.ff, at, c);
    } else {
        fwrite(k, fortio::UnitTable::stdout_unit, "(1x,a)", "INVALID crdflg IN SUBROUTINE dhdclc.");
        return false;
    }
    phi = dihang(c[0], c[1], c[2], c[3]);
    return true;
}

double cimpro(const double* ri, const double* rj, const double* rk, const double* rl) {
    return impang(ri, rj, rk, rl);
}

void ebal(Kova& k) {
    ForceField& ff = k.ff;
    const EvalState& ev = ff.ev;
    const MoleculeStore& m = k.mol;
    if (m.nmol < 1) return;
    const int f1 = m.fstatm[1], l1 = m.lstatm[1];
    if (l1 < f1) return;
    const double kb = ev.kball, h = ev.fdstep;
    const double b[3] = {ev.ballc[0], ev.ballc[1], ev.ballc[2]};
    // kball |x - B|^12 and its force -12 kball |x - B|^10 (x - B).
    auto wall = [&](const double (&c)[1][3]) {
        double v[3];
        diff(c[0], b, v);
        const double d2 = dot(v, v);
        return kb * d2 * d2 * d2 * d2 * d2 * d2;
    };
    auto wall_force = [&](double (&c)[1][3], double (&f)[1][3]) {
        if (ev.lanal) {
            double v[3];
            diff(c[0], b, v);
            const double d2 = dot(v, v), d10 = d2 * d2 * d2 * d2 * d2;
            for (int x = 0; x < 3; ++x) f[0][x] = -12.0 * kb * d10 * v[x];
        } else {
            fdiff(h, c, f, wall);
        }
    };
    float& e = ff.e[eball];
    if (!ev.lballc) {
        for (int i = f1; i <= l1; ++i) {
            const int at[1] = {i};
            double c[1][3], f[1][3];
            load(ff, at, c);
            e += float(wall(c));
            if (ev.nofrc) continue;
            wall_force(c, f);
            apply(ff, at, f);
        }
        return;
    }
    // Centre form: the wall acts on the centre of molecule 1; its force is
    // shared among the atoms in proportion to their masses.
    double c[1][3] = {{0, 0, 0}}, f[1][3];
    double mtot = 0;
    for (int i = f1; i <= l1; ++i) c[0][0] += ff.xd[i], c[0][1] += ff.yd[i], c[0][2] += ff.zd[i], mtot += m.mass[i];
    for (double& x : c[0]) x /= (l1 - f1 + 1);
    e += float(wall(c));
    if (ev.nofrc) return;
    wall_force(c, f);
    for (int i = f1; i <= l1; ++i) {
        // Without masses the share is equal.
        const double w = mtot > 0.0 ? m.mass[i] / mtot : 1.0 / (l1 - f1 + 1);
        for (int x = 0; x < 3; ++x) ff.f(i, x) += w * f[0][x];
    }
}

void ebond(Kova& k) {
    ForceField& ff = k.ff;
    const Topology& t = ff.top;
    const EvalState& ev = ff.ev;
    const double h = ev.fdstep;
    float& e = ff.e[ebnd];
    for (int n = 1; n <= t.nbnd; ++n) {
        const int at[2] = {t.ibnd[n], t.jbnd[n]};
        double c[2][3], f[2][3];
        load(ff, at, c);
        const double kb = t.kbnd[n], b0 = t.bnd0[n];
        auto nrg = [&](const double (&p)[2][3]) {
            const double d = bondlen(p) - b0;
            return 0.5 * kb * d * d;
        };
        e += float(nrg(c));
        if (ev.nofrc) continue;
        if (ev.lanal) {
            double v[3];
            diff(c[0], c[1], v);
            const double r = mag(v);
            // No direction for two atoms on one spot: no force.
            const double d = r > 0.0 ? kb * (r - b0) / r : 0.0;
            for (int x = 0; x < 3; ++x) f[0][x] = -d * v[x], f[1][x] = d * v[x];
        } else {
            fdiff(h, c, f, nrg);
        }
        apply(ff, at, f);
    }
}

void eangle(Kova& k) {
    ForceField& ff = k.ff;
    const Topology& t = ff.top;
    const EvalState& ev = ff.ev;
    const double h = ev.fdstep;
    float& e = ff.e[eang];
    for (int n = 1; n <= t.nang; ++n) {
        const int at[3] = {t.iang[n], t.jang[n], t.kang[n]};
        double c[3][3], f[3][3];
        load(ff, at, c);
        const double kt = double(t.sang) * t.kth[n], t0 = t.th0[n];
        auto nrg = [&](const double (&p)[3][3]) {
            const double d = bendang(p) - t0;
            return 0.5 * kt * d * d;
        };
        e += float(nrg(c));
        if (ev.nofrc) continue;
        if (ev.lanal) {
            double a[3], b[3];
            diff(c[0], c[1], a), diff(c[2], c[1], b);
            const double la = mag(a), lb = mag(b);
            if (!(la > 0.0) || !(lb > 0.0)) continue;
            const double cs = clamped_cos(a, b), th = std::acos(cs);
            // dtheta/dcos = -1/sin theta; a straight angle has no bending
            // direction, its sine is kept off 0.
            const double s = std::max(std::sqrt(std::max(0.0, 1.0 - cs * cs)), 1.0e-8);
            const double g = kt * (th - t0) / s;  // -dE/dcos
            for (int x = 0; x < 3; ++x) {
                const double dca = b[x] / (la * lb) - cs * a[x] / (la * la);
                const double dcb = a[x] / (la * lb) - cs * b[x] / (lb * lb);
                f[0][x] = g * dca;
                f[2][x] = g * dcb;
                f[1][x] = -f[0][x] - f[2][x];
            }
        } else {
            fdiff(h, c, f, nrg);
        }
        apply(ff, at, f);
    }
}

void edihed(Kova& k) {
    ForceField& ff = k.ff;
    const Topology& t = ff.top;
    const EvalState& ev = ff.ev;
    const MoleculeStore& m = k.mol;
    const double h = ev.fdstep;
    const bool split = m.nmol == 2;
    for (int n = 1; n <= t.ndih; ++n) {
        const int at[4] = {t.idih[n], t.jdih[n], t.kdih[n], t.ldih[n]};
        if (m.live[at[1]] != 1 && m.live[at[2]] != 1) continue;
        double c[4][3], f[4][3];
        load(ff, at, c);
        auto nrg = [&](const double (&p)[4][3]) { return dihnrg(t, n, dihang(p[0], p[1], p[2], p[3])); };
        const double phi = dihang(c[0], c[1], c[2], c[3]);
        const float en = float(dihnrg(t, n, phi));
        ff.e[edih] += en;
        if (split) ff.e[n <= t.ndih1 ? edih1 : edih2] += en;
        if (ev.nofrc) continue;
        if (ev.lanal) {
            torsion_force(ff, at, c, dihder(t, n, phi));
        } else {
            fdiff(h, c, f, nrg);
            apply(ff, at, f);
        }
    }
    if (!ff.md.rama.empty()) rama_register(k);
    // Dihedral restraints, whatever the live flags.
    for (int r = 1; r <= t.ndcon; ++r) {
        const int n = t.idcon[r];
        if (n < 1 || n > t.ndih) continue;
        const int at[4] = {t.idih[n], t.jdih[n], t.kdih[n], t.ldih[n]};
        double c[4][3], f[4][3];
        load(ff, at, c);
        const double kc = t.kdcon[r], p0 = t.phcon[r];
        auto nrg = [&](const double (&p)[4][3]) {
            const double d = wrapdev(dihang(p[0], p[1], p[2], p[3]), p0);
            return 0.5 * kc * d * d;
        };
        const double d = wrapdev(dihang(c[0], c[1], c[2], c[3]), p0);
        ff.e[edcon] += float(0.5 * kc * d * d);
        if (ev.nofrc) continue;
        if (ev.lanal) {
            torsion_force(ff, at, c, kc * d);
        } else {
            fdiff(h, c, f, nrg);
            apply(ff, at, f);
        }
    }
}

void eimpro(Kova& k) {
    ForceField& ff = k.ff;
    const Topology& t = ff.top;
    const EvalState& ev = ff.ev;
    const double h = ev.fdstep;
    auto term = [&](const int (&at)[4], double kc, double p0, EnergyTerm slot) {
        double c[4][3], f[4][3];
        load(ff, at, c);
        auto nrg = [&](const double (&p)[4][3]) {
            const double d = wrapdev(impang(p[0], p[1], p[2], p[3]), p0);
            return 0.5 * kc * d * d;
        };
        const double d = wrapdev(impang(c[0], c[1], c[2], c[3]), p0);
        ff.e[slot] += float(0.5 * kc * d * d);
        if (ev.nofrc) return;
        if (ev.lanal) {
            torsion_force(ff, at, c, kc * d);
        } else {
            fdiff(h, c, f, nrg);
            apply(ff, at, f);
        }
    };
    for (int n = 1; n <= t.nimp; ++n) term({t.iimp[n], t.jimp[n], t.kimp[n], t.limp[n]}, t.kpsi[n], t.psi0[n], eimp);
    // Improper restraints.
    for (int r = 1; r <= t.nicon; ++r)
        term({t.iicon[r], t.jicon[r], t.kicon[r], t.licon[r]}, t.kicn[r], t.psicon[r], eicon);
}

}  // namespace kova
