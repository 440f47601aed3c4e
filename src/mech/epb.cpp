// Poisson-Boltzmann solvation term of the force field: the reaction-field
// energy and forces of the selected charges from a finite-difference grid
// solution, made afresh only when the evaluation asks for it and otherwise
// extrapolated to first order from the last solution.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "command/output.hpp"
#include "elec/elec.hpp"
#include "elec/grid.hpp"
#include "mech/mech.hpp"

namespace kova {

namespace {

// The working coordinates put into the molecule store for the grid
// routines, which read the store's single-precision positions; the store's
// own values come back when the solution is done.
class StoreCoordinates {
public:
    explicit StoreCoordinates(Kova& k) : k_(k), n_(std::min(k.mol.natom, maxatm)) {
        MoleculeStore& m = k.mol;
        const ForceField& ff = k.ff;
        for (int i = 1; i <= n_; ++i) {
            x_[i] = m.x[i], y_[i] = m.y[i], z_[i] = m.z[i];
            m.x[i] = float(ff.xd[i]), m.y[i] = float(ff.yd[i]), m.z[i] = float(ff.zd[i]);
        }
    }
    ~StoreCoordinates() {
        MoleculeStore& m = k_.mol;
        for (int i = 1; i <= n_; ++i) m.x[i] = x_[i], m.y[i] = y_[i], m.z[i] = z_[i];
    }
    StoreCoordinates(const StoreCoordinates&) = delete;
    StoreCoordinates& operator=(const StoreCoordinates&) = delete;

private:
    Kova& k_;
    int n_;
    Arr1<float, maxatm> x_{}, y_{}, z_{};
};

// The selection of the electrostatics store, or every atom when none is
// selected (no elec command and no sele keyword yet); restored afterwards.
class Selection {
public:
    explicit Selection(Kova& k) : k_(k), keep_(k.mess.isel) {
        Arr1<int, maxatm>& s = k.mess.isel;
        bool any = false;
        for (int i = 1; i <= k.mol.natom && !any; ++i) any = s[i] != 0;
        if (!any)
            for (int i = 1; i <= k.mol.natom; ++i) s[i] = 1;
    }
    ~Selection() { k_.mess.isel = keep_; }
    Selection(const Selection&) = delete;
    Selection& operator=(const Selection&) = delete;

private:
    Kova& k_;
    Arr1<int, maxatm> keep_;
};

// One grid solution at the working coordinates: grid placed on the selected
// atoms, elec run, reference potentials accumulated, energy and forces
// saved. False when refused.
bool solve(Kova& k) {
    ForceField& ff = k.ff;
    PBTerm& pb = ff.pb;
    GridStore& g = k.mess;
    Environment& env = k.env;
    MoleculeStore& m = k.mol;
    const int n = std::min(m.natom, maxatm);
    const EvalState& ev = ff.ev;

    // Without an elec command the permittivities follow the dielectric
    // constants (the interior one as the energy command left it).
    if (env.epsout == 0.0f) env.epsout = env.sdie * eps0;
    if (env.epsint == 0.0f) env.epsint = env.pdie * eps0;

    // Smoothed maps as the elec command makes them: the boundary force
    // reads the segments the surface cuts.
    g.smvdw = g.smooth && !g.newmap;
    g.smprb = g.smooth && g.newmap;

    StoreCoordinates crd(k);
    Selection chosen(k);
    const Arr1<int, maxatm>& sel = g.isel;
    if (!params_set(k, sel, true, "epb(050)")) return false;

    // Spacing: the largest span of the selected spheres over the fill
    // factor of the grid; the grid centred on the selected atoms.
    float lo[3] = {std::numeric_limits<float>::max(), std::numeric_limits<float>::max(),
                   std::numeric_limits<float>::max()};
    float hi[3] = {-lo[0], -lo[1], -lo[2]};
    double c[3] = {0, 0, 0}, q = 0;
    int nsel = 0;
    for (int i = 1; i <= n; ++i) {
        if (!sel[i]) continue;
        const float p[3] = {m.x[i], m.y[i], m.z[i]}, r = m.radi[i];
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], p[a] - r), hi[a] = std::max(hi[a], p[a] + r);
            c[a] += p[a];
        }
        q += m.chrg[i];
        ++nsel;
    }
    const float extent = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]});
    const float h = extent / (float(g.nx) * ev.gfrac);
    if (!(h > 0.0f) || !std::isfinite(h)) {
        msg(k, "SERIOUS: epb(060) the selected atoms span no volume (no radii): no grid spacing for the"
               " Poisson-Boltzmann term");
        kvabort(k, serious);
        return false;
    }
    g.h = h;
    g.nsel = nsel;
    g.xcen = float(c[0] / nsel), g.ycen = float(c[1] / nsel), g.zcen = float(c[2] / nsel);
    g.qnet = float(q);
    g.reff = g.dhrad;
    g.xo = g.xcen - float(g.nx + 1) * h / 2.0f;
    g.yo = g.ycen - float(g.ny + 1) * h / 2.0f;
    g.zo = g.zcen - float(g.nz + 1) * h / 2.0f;
    for (int i = 1; i <= n; ++i) ff.xpb[i] = ff.xd[i], ff.ypb[i] = ff.yd[i], ff.zpb[i] = ff.zd[i];

    // A solution whatever the last elec command asked for (setu or init
    // leave the potential alone).
    const std::string action = env.action;
    env.action = "calc";
    elec(k);
    env.action = action;
    ++pb.nsolve;
    if (g.phibad) {
        msg(k, "SERIOUS: epb(070) the Poisson-Boltzmann solution failed: no solvation energy");
        kvabort(k, serious);
        return false;
    }
    g.phiset = true;
    g.hold = g.h, g.xoold = g.xo, g.yoold = g.yo, g.zoold = g.zo;
    g.nxold = g.nx, g.nyold = g.ny, g.nzold = g.nz;

    // Statistics of the solutions: spacing, and the reaction potential
    // (the grid potential less the lattice Coulomb potential of the other
    // charges and of the atom's own) of every atom in an interior cell.
    pb.hmin = pb.npbcalc == 0 ? h : std::min(pb.hmin, h);
    pb.hmax = pb.npbcalc == 0 ? h : std::max(pb.hmax, h);
    pb.hsum = pb.npbcalc == 0 ? h : pb.hsum + h;
    if (pb.npbcalc == 0) pb.phiacc.fill(0.0), pb.phi2acc.fill(0.0);
    ++pb.npbcalc;
    for (int i = 1; i <= n; ++i) {
        const GridCoord gc = xyzijk(m.x[i], m.y[i], m.z[i], g.h, g.xo, g.yo, g.zo);
        if (gc.i < 2 || gc.j < 2 || gc.k < 2 || gc.i > g.nx - 1 || gc.j > g.ny - 1 || gc.k > g.nz - 1) continue;
        const double rp = double(phi_get(g, gc.i, gc.j, gc.k, gc.fx, gc.fy, gc.fz)) - green1(k, i) - green2(k, i);
        pb.phiacc[i] += rp;
        pb.phi2acc[i] += rp * rp;
    }

    // Forces of the reaction field on the charges (the field of the grid
    // less the lattice Coulomb field) and, when asked, the pressure on the
    // dielectric boundary; kept for the evaluations until the next solution.
    static Arr1<float, maxatm> fx, fy, fz, gx, gy, gz;
    for (int i = 1; i <= n; ++i) fx[i] = fy[i] = fz[i] = 0.0f;
    qefrc(k, sel, fx, fy, fz);
    gfrc(k, sel, gx, gy, gz);
    for (int i = 1; i <= n; ++i) {
        pb.fpb[size_t(3 * (i - 1))] = (double(fx[i]) - gx[i]) * to_kcal;
        pb.fpb[size_t(3 * (i - 1) + 1)] = (double(fy[i]) - gy[i]) * to_kcal;
        pb.fpb[size_t(3 * (i - 1) + 2)] = (double(fz[i]) - gz[i]) * to_kcal;
    }
    if (ev.ldbf) {
        dbfrc(k, fx, fy, fz);
        for (int i = 1; i <= n; ++i) {
            pb.fpb[size_t(3 * (i - 1))] += double(fx[i]) * to_kcal;
            pb.fpb[size_t(3 * (i - 1) + 1)] += double(fy[i]) * to_kcal;
            pb.fpb[size_t(3 * (i - 1) + 2)] += double(fz[i]) * to_kcal;
        }
    }

    pb.esaved = float((nrgrho(k, sel) - self2(k, sel) - fdcoul(k, sel)) * to_kcal);
    pb.saved = true;
    pb.natom = m.natom;
    ff.ev.pbspc = h;
    return true;
}

}  // namespace

bool epb(Kova& k) {
    ForceField& ff = k.ff;
    PBTerm& pb = ff.pb;
    const int n = std::min(k.mol.natom, maxatm);
    float e;
    if (ff.ev.lpbnew || !pb.saved || pb.natom != k.mol.natom) {
        if (!solve(k)) return false;
        e = pb.esaved;
    } else {
        // First order from the last solution: E - sum (x - x_saved) F.
        double d = 0;
        for (int i = 1; i <= n; ++i) {
            const double* f = &pb.fpb[size_t(3 * (i - 1))];
            d += (ff.xd[i] - ff.xpb[i]) * f[0] + (ff.yd[i] - ff.ypb[i]) * f[1] + (ff.zd[i] - ff.zpb[i]) * f[2];
        }
        e = float(double(pb.esaved) - d);
    }
    if (!ff.ev.nofrc)
        for (size_t c = 0; c < size_t(3 * n); ++c) ff.frc[c] += pb.fpb[c];
    ff.e[epbsol] = e;
    return true;
}

}  // namespace kova
