// Energies, forces and the analytic potential against closed forms and
// hand-computed lattice sums: the lattice self energy of a charge on a grid
// point, the finite-difference Coulomb energy of two charges, the field of
// a linear potential, Coulomb's force, the Born energy of an ion, and the
// potential of a charge in a spherical cavity.
//
// Units: phi in internal energy units per e; a dielectric constant d is the
// permittivity d x 5.7277083e-7.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "../command/harness.hpp"
#include "elec/elec.hpp"

namespace kova {
namespace {

constexpr double pi = 3.14159265358979323846;

// A session with n atoms (all selected for elec, no charge, no radius) and
// a cubic grid of n points centred on the origin.
struct Grid {
    test::Session s;
    Kova& k = s.k;
    GridStore& g = s.k.mess;
    MoleculeStore& m = s.k.mol;
    Arr1<int, maxatm> sel{};
    Arr1<float, maxatm> fx{}, fy{}, fz{};
    Grid(int natom, int n, float h, float pdie = 1.0f, float sdie = 1.0f) {
        m.natom = natom;
        for (int a = 1; a <= natom; ++a) {
            m.x[a] = m.y[a] = m.z[a] = 0.0f;
            m.chrg[a] = 0.0f;
            m.radi[a] = 0.0f;
            g.isel[a] = 1;
            sel[a] = 1;
        }
        g.nx = g.ny = g.nz = n;
        g.update_counts();
        g.h = h;
        g.xo = g.yo = g.zo = -(n + 1) * h / 2.0f;
        k.env.epsint = pdie * eps0;
        k.env.epsout = sdie * eps0;
        k.env.kappa = 0.0f;
        k.flags.bomb = 5;
    }
    // Puts atom a at grid coordinates (gx, gy, gz).
    void place(int a, double gx, double gy, double gz, float q) {
        m.x[a] = static_cast<float>(g.xo + gx * g.h);
        m.y[a] = static_cast<float>(g.yo + gy * g.h);
        m.z[a] = static_cast<float>(g.zo + gz * g.h);
        m.chrg[a] = q;
    }
};

// --- Effective lattice distances ---------------------------------------------

TEST(LatticeDistance, TellingRowsSymmetryAndTheFarField) {
    const struct {
        int u, v, w;
        double d;
    } rows[] = {{0, 0, 0, 0.31487563}, {1, 0, 0, 0.92463934}, {1, 1, 0, 1.4418731}, {1, 1, 1, 1.8261236},
                {2, 0, 0, 1.8554620},  {3, 0, 0, 2.8894403},  {5, 0, 0, 4.9427042}, {10, 0, 0, 9.9756489},
                {10, 10, 10, 17.320509}};
    for (const auto& r : rows) EXPECT_NEAR(deff(r.u, r.v, r.w), r.d, 1e-3 * r.d) << r.u << r.v << r.w;
    // The lattice constants are the Green's function 1/(4 pi deff).
    EXPECT_NEAR(1.0 / (4 * pi * deff(0, 0, 0)), lattice_g0, 1e-4 * lattice_g0);
    EXPECT_NEAR(1.0 / (4 * pi * deff(1, 0, 0)), lattice_g1, 1e-4 * lattice_g1);
    EXPECT_NEAR(1.0 / (4 * pi * deff(1, 1, 0)), lattice_g2, 1e-4 * lattice_g2);
    EXPECT_NEAR(1.0 / (4 * pi * deff(1, 1, 1)), lattice_g3, 1e-4 * lattice_g3);
    // Signs and order do not matter.
    EXPECT_EQ(deff(0, -1, 1), deff(1, 1, 0));
    EXPECT_EQ(deff(-3, 7, -2), deff(7, 3, 2));
    EXPECT_EQ(deff(2, 9, 10), deff(10, 9, 2));
    // Beyond the table: the Euclidean length.
    EXPECT_EQ(deff(11, 0, 0), 11.0f);
    EXPECT_EQ(deff(0, -11, 0), 11.0f);
    EXPECT_FLOAT_EQ(deff(12, 4, 3), 13.0f);
    EXPECT_FLOAT_EQ(deff(3, -4, 12), 13.0f);
    // Far in the table the lattice looks like the continuum.
    EXPECT_NEAR(deff(10, 3, 1), std::sqrt(110.0), 3e-3 * std::sqrt(110.0));
    EXPECT_NEAR(deff(8, 8, 0), std::sqrt(128.0), 3e-3 * std::sqrt(128.0));
}

// --- Potential at atoms, energies --------------------------------------------

TEST(GridEnergy, UnitChargeOnAGridPoint) {
    Grid t(1, 9, 0.8f, 2.0f);
    t.place(1, 5, 5, 5, 1.0f);
    // phi = 3 at the charge's point, other values elsewhere.
    for (int l = 1; l <= t.g.nxyz; ++l) t.g.phi[l] = 0.01f * l;
    t.g.phi[t.g.index(5, 5, 5)] = 3.0f;
    EXPECT_FLOAT_EQ(static_cast<float>(nrgrho(t.k, t.sel)), 1.5f);
    EXPECT_NEAR(self2(t.k, t.sel), 0.5 * 0.25273 / (0.8 * 2.0 * eps0), 1e-6 * 0.25273 / (0.8 * 2.0 * eps0));
    // Charge -2: the self energy goes with q^2, nrgrho with q.
    t.m.chrg[1] = -2.0f;
    EXPECT_FLOAT_EQ(static_cast<float>(nrgrho(t.k, t.sel)), -3.0f);
    EXPECT_NEAR(self2(t.k, t.sel), 2.0 * 0.25273 / (0.8 * 2.0 * eps0), 1e-5 * 0.25273 / (0.8 * 2.0 * eps0));
    // An unselected atom counts nothing.
    t.sel[1] = 0;
    EXPECT_EQ(nrgrho(t.k, t.sel), 0.0);
    EXPECT_EQ(self2(t.k, t.sel), 0.0);
    EXPECT_EQ(t.s.out.str(), "");
}

TEST(GridEnergy, InterpolationIsExactForTrilinearPotentials) {
    // phi = (1 + x)(2 - y)(3 + z/2) in grid coordinates is trilinear in
    // each cell: interpolation reproduces it anywhere.
    Grid t(2, 7, 1.1f);
    auto f = [](double x, double y, double z) { return (1 + x) * (2 - y) * (3 + z / 2); };
    for (int k = 1; k <= 7; ++k)
        for (int j = 1; j <= 7; ++j)
            for (int i = 1; i <= 7; ++i) t.g.phi[t.g.index(i, j, k)] = static_cast<float>(f(i, j, k));
    t.place(1, 2.3, 4.7, 3.5, 0.5f);
    t.place(2, 6.9, 1.2, 5.05, -1.5f);
    const double want = 0.5 * (0.5 * f(2.3, 4.7, 3.5) - 1.5 * f(6.9, 1.2, 5.05));
    EXPECT_NEAR(nrgrho(t.k, t.sel), want, 1e-5 * 40);
    EXPECT_NEAR(phi_get(t.g, 3, 2, 6, 0.25f, 0.5f, 0.75f), f(3.25, 2.5, 6.75), 1e-4);
    // In the last cell the point beyond the grid has no weight; its linear
    // continuation keeps a linear potential linear.
    EXPECT_NEAR(phi_get(t.g, 7, 7, 7, 0.0f, 0.0f, 0.0f), f(7, 7, 7), 1e-4);
    EXPECT_NEAR(phi_get(t.g, 7, 3, 3, 0.5f, 0.0f, 0.0f), f(7.5, 3, 3), 1e-4);
    EXPECT_NEAR(phi_get(t.g, 7, 7, 7, 0.5f, 0.5f, 0.5f), f(7.5, 7.5, 7.5), 1e-3);
    EXPECT_EQ(phi_point(t.g, 0, 3, 3), 0.0f);
    EXPECT_EQ(phi_point(t.g, 9, 3, 3), 0.0f);
}

TEST(GridEnergy, OffGridAtomsWarnAndGiveZero) {
    Grid t(2, 9, 1.0f);
    for (int l = 1; l <= t.g.nxyz; ++l) t.g.phi[l] = 1.0f;
    t.place(1, 4, 4, 4, 1.0f);
    t.place(2, 9.5, 4, 4, 1.0f);  // beyond the last plane
    EXPECT_EQ(nrgrho(t.k, t.sel), 0.0);
    EXPECT_EQ(self2(t.k, t.sel), 0.0);
    EXPECT_EQ(fdcoul(t.k, t.sel), 0.0);
    EXPECT_EQ(t.s.out.str(),
              " WARNING: nrgrho(000) can not calculate energy: charge is off grid.\n"
              " WARNING: self(000) can not calculate energy: charge is off grid.\n"
              " WARNING: self(000) can not calculate energy: charge is off grid.\n");
    // Below the first point (cell index 0) too; on the last plane is fine.
    t.place(2, 0.5, 4, 4, 1.0f);
    EXPECT_EQ(nrgrho(t.k, t.sel), 0.0);
    t.place(2, 9, 9, 9, 1.0f);
    EXPECT_DOUBLE_EQ(nrgrho(t.k, t.sel), 1.0);
    // With the abort level at 2 the warning ends the run.
    t.k.flags.bomb = 2;
    t.place(2, 10.5, 4, 4, 1.0f);
    EXPECT_TRUE(t.s.ends([&] { self2(t.k, t.sel); }));
}

// Weights of a charge at grid coordinates g: corner (i + di, ...) gets
// prod (1 - f or f).
struct Spread {
    int i[3];
    double w[2][2][2];
    Spread(const double* g) {
        double f[3];
        for (int a = 0; a < 3; ++a) i[a] = static_cast<int>(g[a]), f[a] = g[a] - i[a];
        for (int a = 0; a < 2; ++a)
            for (int b = 0; b < 2; ++b)
                for (int c = 0; c < 2; ++c)
                    w[a][b][c] = (a ? f[0] : 1 - f[0]) * (b ? f[1] : 1 - f[1]) * (c ? f[2] : 1 - f[2]);
    }
};

// Lattice interaction sum w w' / deff over the 64 corner pairs.
double lattice_pair(const Spread& p, const Spread& q) {
    double s = 0;
    for (int a = 0; a < 2; ++a)
        for (int b = 0; b < 2; ++b)
            for (int c = 0; c < 2; ++c)
                for (int d = 0; d < 2; ++d)
                    for (int e = 0; e < 2; ++e)
                        for (int f = 0; f < 2; ++f)
                            s += p.w[a][b][c] * q.w[d][e][f] /
                                 deff(p.i[0] + a - q.i[0] - d, p.i[1] + b - q.i[1] - e, p.i[2] + c - q.i[2] - f);
    return s;
}

TEST(GridEnergy, SelfEnergyOfASpreadChargeIsItsLatticeSum) {
    // 1/2 sum rho(c) rho(c') G(c - c') / (h eps) with G = 1/(4 pi deff).
    Grid t(1, 9, 0.6f, 4.0f);
    const double gc[3] = {4.3, 5.6, 3.1};
    t.place(1, gc[0], gc[1], gc[2], 1.5f);
    const Spread sp(gc);
    const double want = 0.5 * 1.5 * 1.5 * lattice_pair(sp, sp) / (4 * pi * 0.6 * 4.0 * eps0);
    EXPECT_NEAR(self2(t.k, t.sel), want, 2e-4 * want);
    // Spreading lowers the self energy below that of a point charge.
    EXPECT_LT(self2(t.k, t.sel), 0.5 * 1.5 * 1.5 * 0.25273 / (0.6 * 4.0 * eps0));
}

TEST(GridEnergy, FiniteDifferenceCoulombNearAndFar) {
    Grid t(2, 30, 0.5f, 2.0f);
    const double ei = 2.0 * eps0, h = 0.5;
    // 13 h apart: Coulomb's law.
    t.place(1, 5, 5, 5, 1.0f);
    t.place(2, 18, 5, 5, 1.0f);
    EXPECT_NEAR(fdcoul(t.k, t.sel), 1.0 / (4 * pi * ei * 13 * h), 1e-5 / (4 * pi * ei * 13 * h));
    // 12 h apart off the grid points: the 64 corner pairs with the table.
    const double ga[3] = {3.3, 5.5, 5.2}, gb[3] = {3.3 + 7.2, 5.5 + 9.6, 5.2};
    t.place(1, ga[0], ga[1], ga[2], 1.0f);
    t.place(2, gb[0], gb[1], gb[2], -2.0f);
    const double want = -2.0 * lattice_pair(Spread(ga), Spread(gb)) / (4 * pi * ei * h);
    EXPECT_NEAR(fdcoul(t.k, t.sel), want, 1e-5 * std::fabs(want));
    // ... which is close to Coulomb's law at that distance.
    EXPECT_NEAR(fdcoul(t.k, t.sel), -2.0 / (4 * pi * ei * 12 * h), 1e-2 / (4 * pi * ei * 12 * h));
    // Uncharged or unselected atoms add nothing.
    t.m.chrg[2] = 0.0f;
    EXPECT_EQ(fdcoul(t.k, t.sel), 0.0);
    t.m.chrg[2] = 1.0f;
    t.sel[2] = 0;
    EXPECT_EQ(fdcoul(t.k, t.sel), 0.0);
    // Two charges on one point: the lattice constant G0.
    t.sel[2] = 1;
    t.place(1, 6, 6, 6, 1.0f);
    t.place(2, 6, 6, 6, 1.0f);
    EXPECT_NEAR(fdcoul(t.k, t.sel), 0.25273 / (h * ei), 1e-4 * 0.25273 / (h * ei));
}

// --- Forces ---------------------------------------------------------------------

TEST(Forces, ChargeInALinearPotentialFeelsItsField) {
    Grid t(3, 8, 0.7f);
    const double e[3] = {2.0, -1.0, 0.5};  // field per grid spacing of phi
    for (int k = 1; k <= 8; ++k)
        for (int j = 1; j <= 8; ++j)
            for (int i = 1; i <= 8; ++i)
                t.g.phi[t.g.index(i, j, k)] = static_cast<float>(-(e[0] * i + e[1] * j + e[2] * k));
    t.place(1, 3.4, 5.2, 2.9, 1.5f);
    t.place(2, 7.5, 7.9, 6.1, -1.0f);  // the last interior cell: reads beyond the grid
    t.place(3, 1.5, 4.0, 4.0, 2.0f);   // outermost cell
    t.g.bcfl = 3;
    t.g.efld = 0.25f;
    qefrc(t.k, t.sel, t.fx, t.fy, t.fz);
    const double h = 0.7;
    EXPECT_NEAR(t.fx[1], 1.5 * e[0] / h, 1e-4);
    EXPECT_NEAR(t.fy[1], 1.5 * e[1] / h, 1e-4);
    EXPECT_NEAR(t.fz[1], 1.5 * e[2] / h, 1e-4);
    EXPECT_NEAR(t.fx[2], -e[0] / h, 1e-4);
    EXPECT_NEAR(t.fy[2], -e[1] / h, 1e-4);
    EXPECT_NEAR(t.fz[2], -e[2] / h, 1e-4);
    // Outermost cell with bcfl 3: the applied field.
    EXPECT_EQ(t.fx[3], 0.0f);
    EXPECT_EQ(t.fy[3], 0.0f);
    EXPECT_FLOAT_EQ(t.fz[3], 2.0f * 0.25f);
    // Other boundary flags without a sphere: 0.
    t.g.bcfl = 0;
    qefrc(t.k, t.sel, t.fx, t.fy, t.fz);
    EXPECT_EQ(t.fz[3], 0.0f);
}

TEST(Forces, BoundarySphereForceIsDebyeHueckel) {
    // bcfl 1, kappa 0: Coulomb's force of qnet at the centre.
    Grid t(1, 8, 1.0f, 1.0f, 80.0f);
    t.place(1, 1.5, 1.5, 8.0, 2.0f);  // outermost cell
    t.g.bcfl = 1;
    t.g.qnet = -3.0f, t.g.reff = 2.0f;
    qefrc(t.k, t.sel, t.fx, t.fy, t.fz);
    const double d[3] = {t.m.x[1], t.m.y[1], t.m.z[1]}, r = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    const double s = -6.0 / (4 * pi * 80.0 * eps0 * r * r * r);
    EXPECT_NEAR(t.fx[1], s * d[0], 1e-5 * std::fabs(s * r));
    EXPECT_NEAR(t.fz[1], s * d[2], 1e-5 * std::fabs(s * r));
    // bcfl 2 with salt: the other selected atoms as Debye-Hueckel spheres.
    Grid u(3, 8, 1.0f, 1.0f, 80.0f);
    u.place(1, 8.0, 4.5, 4.5, 1.0f);  // last plane: outermost cell
    u.place(2, 5.0, 4.5, 4.5, 2.0f);  // 3 A away along x
    u.m.radi[2] = 1.5f;
    u.place(3, 8.0, 0.5, 4.5, -5.0f);  // not selected
    u.sel[3] = 0;
    u.g.bcfl = 2;
    u.k.env.kappa = 0.2f;
    qefrc(u.k, u.sel, u.fx, u.fy, u.fz);
    const double want = 2.0 * std::exp(-0.2 * (3.0 - 1.5)) * (0.2 * 3.0 + 1.0) /
                        (4 * pi * 80.0 * eps0 * 9.0 * (0.2 * 1.5 + 1.0));  // -d/dr of the screened potential
    EXPECT_NEAR(u.fx[1], want, 1e-5 * want);
    EXPECT_NEAR(u.fy[1], 0.0, 1e-5 * want);
    EXPECT_NEAR(u.fz[1], 0.0, 1e-5 * want);
}

TEST(Forces, UniformMediumCoulombForceFromTheAnalyticPotential) {
    // Two charges on grid points 8 spacings apart in a uniform solvent; the
    // analytic potential of both, differenced at the atoms, gives Coulomb's
    // force (a charge's own symmetric potential cancels).
    Grid t(2, 33, 0.5f, 80.0f, 80.0f);
    t.place(1, 13, 15, 17, 1.0f);
    t.place(2, 19, 15 + 4, 17 + 4, -2.0f);  // (6, 4, 4) spacings
    potana(t.k);
    qefrc(t.k, t.sel, t.fx, t.fy, t.fz);
    const double d[3] = {-3.0, -2.0, -2.0}, r = std::sqrt(17.0);
    const double s = -2.0 / (4 * pi * 80.0 * eps0 * r * r * r);
    EXPECT_NEAR(t.fx[1], s * d[0], 0.03 * std::fabs(s * r));
    EXPECT_NEAR(t.fy[1], s * d[1], 0.03 * std::fabs(s * r));
    EXPECT_NEAR(t.fz[1], s * d[2], 0.03 * std::fabs(s * r));
    EXPECT_NEAR(t.fx[2], -s * d[0], 0.03 * std::fabs(s * r));
    EXPECT_EQ(t.s.out.str(), "");
}

TEST(Forces, FiniteDifferenceCoulombForce) {
    Grid t(3, 40, 0.5f, 4.0f);
    const double ei = 4.0 * eps0;
    // Within 11.3 h: lattice differences, close to Coulomb's force.
    t.place(1, 10.2, 10.4, 10.1, 1.0f);
    t.place(2, 16.6, 14.4, 10.1, 1.0f);  // (6.4, 4, 0) spacings
    t.sel[3] = 0;
    gfrc(t.k, t.sel, t.fx, t.fy, t.fz);
    double d[3] = {-6.4 * 0.5, -4.0 * 0.5, 0.0}, r = std::sqrt(d[0] * d[0] + d[1] * d[1]);
    double s = 1.0 / (4 * pi * ei * r * r * r);
    EXPECT_NEAR(t.fx[1], s * d[0], 0.02 * s * r);
    EXPECT_NEAR(t.fy[1], s * d[1], 0.02 * s * r);
    EXPECT_NEAR(t.fz[1], 0.0, 1e-3 * s * r);
    EXPECT_FLOAT_EQ(t.fx[2], -t.fx[1]);
    EXPECT_FLOAT_EQ(t.fy[2], -t.fy[1]);
    // The lattice force is the difference quotient of the lattice energy.
    {
        const double step = 1.0;  // one spacing along x moves every corner offset by 1
        const double ga[3] = {10.2, 10.4, 10.1}, gb[3] = {16.6, 14.4, 10.1};
        double gp[3] = {ga[0] + step, ga[1], ga[2]}, gm[3] = {ga[0] - step, ga[1], ga[2]};
        const double ep = lattice_pair(Spread(gp), Spread(gb)), em = lattice_pair(Spread(gm), Spread(gb));
        EXPECT_NEAR(t.fx[1], -(ep - em) / (2 * 0.5 * 0.5 * 4 * pi * ei), 1e-4 * s * r);
    }
    // Beyond 11.3 h: Coulomb's force exactly; charges not tested.
    t.place(2, 10.2, 22.4, 10.1, -1.0f);  // 12 spacings along y
    gfrc(t.k, t.sel, t.fx, t.fy, t.fz);
    s = -1.0 / (4 * pi * ei * 36.0);
    EXPECT_NEAR(t.fy[1], -s, 1e-5 * std::fabs(s));
    EXPECT_FLOAT_EQ(t.fy[2], -t.fy[1]);
    EXPECT_EQ(t.fx[3], 0.0f);
}

// --- Analytic potential ----------------------------------------------------------

TEST(Analytic, CentredChargeIsBornAndDebyeHueckel) {
    Grid t(1, 9, 1.0f, 2.0f, 80.0f);
    const float a = 2.5f;
    t.m.radi[1] = a;
    t.m.chrg[1] = 1.5f;
    Cavity cav{0, 0, 0, a};
    AnaState st;
    const double ei = 2.0 * eps0, eo = 80.0 * eps0;
    for (double r : {0.7, 1.9, 2.6, 4.0}) {
        const double phi = anacav(t.k, static_cast<float>(r), 0, 0, cav, st);
        // Inside: the Coulomb potential in epsint plus the Born reaction
        // field; outside: Coulomb's in the solvent.
        const double want = r < a ? 1.5 / (4 * pi) * (1 / (ei * r) - 1 / (ei * a) + 1 / (eo * a)) : 1.5 / (4 * pi * eo * r);
        EXPECT_NEAR(phi, want, 1e-5 * want) << r;
    }
    // Screened: continuous at the surface, Debye-Hueckel decay outside.
    t.k.env.kappa = 0.3f;
    const double in = anacav(t.k, 0, 0, a - 2e-6f, cav, st), out = anacav(t.k, 0, 0, a + 2e-6f, cav, st);
    EXPECT_NEAR(in, out, 1e-4 * out);
    const double far = anacav(t.k, 0, 6.0f, 0, cav, st);
    EXPECT_NEAR(far, 1.5 * std::exp(-0.3 * (6.0 - a)) / (4 * pi * eo * 6.0 * (1 + 0.3 * a)), 1e-5 * far);
    EXPECT_EQ(t.s.out.str(), "");
}

TEST(Analytic, SeriesInEqualDielectricsIsCoulomb) {
    // With epsint = epsout the cavity disappears: every case of the series
    // is the expansion of 1/|P - x|.
    Grid t(2, 9, 1.0f, 5.0f, 5.0f);
    t.m.radi[1] = 3.0f;
    t.place(1, 5, 5, 5, 0.0f);
    Cavity cav{0, 0, 0, 3.0f};
    AnaState st;
    const double e = 5.0 * eps0;
    const float charges[][3] = {{1.2f, 0.5f, -0.3f}, {2.0f, -4.5f, 1.5f}};
    const float points[][3] = {{-0.5f, 0.3f, 0.2f}, {0.3f, 0.2f, 2.2f}, {7.0f, 2.0f, -4.0f}, {-0.5f, -9.0f, 4.5f},
                               {0.0f, 0.0f, 0.0f}};
    for (const auto& c : charges) {
        t.m.x[2] = c[0], t.m.y[2] = c[1], t.m.z[2] = c[2], t.m.chrg[2] = -1.0f;
        for (const auto& p : points) {
            const double dx = p[0] - c[0], dy = p[1] - c[1], dz = p[2] - c[2];
            const double want = -1.0 / (4 * pi * e * std::sqrt(dx * dx + dy * dy + dz * dz));
            EXPECT_NEAR(anacav(t.k, p[0], p[1], p[2], cav, st), want, 2e-4 * std::fabs(want))
                << c[0] << " " << p[0] << "," << p[1] << "," << p[2];
        }
    }
    EXPECT_EQ(t.s.out.str(), "");
}

TEST(Analytic, OffCentreChargeTendsToTheCentredOne) {
    Grid t(2, 9, 1.0f, 2.0f, 80.0f);
    t.m.radi[1] = 3.0f;
    Cavity cav{0, 0, 0, 3.0f};
    AnaState st;
    const float points[][3] = {{1.0f, 0.5f, 0.0f}, {0.0f, -2.0f, 1.0f}, {4.0f, 0.0f, 1.0f}, {-3.0f, 3.0f, 3.0f}};
    for (const auto& p : points) {
        t.m.x[2] = 0, t.m.chrg[2] = 1.0f;
        const double centred = anacav(t.k, p[0], p[1], p[2], cav, st);
        t.m.x[2] = 1e-3f;
        const double near = anacav(t.k, p[0], p[1], p[2], cav, st);
        EXPECT_NEAR(near, centred, 2e-3 * centred);
        EXPECT_NE(near, centred);
    }
}

TEST(Analytic, MessagesOfTheAnalyticPotential) {
    Grid t(3, 5, 1.0f, 2.0f, 80.0f);
    t.m.radi[1] = 1.0f;
    t.m.radi[2] = 1.5f;
    for (int l = 1; l <= t.g.nxyz; ++l) t.g.phi[l] = 7.0f;
    potana(t.k);
    EXPECT_EQ(t.s.out.str(),
              " WARNING: potana(000) Unable to calculate analytic potential.\n"
              "                      Selected atoms include more than one cavity.\n"
              "                      Potential grid has not been changed.\n");
    EXPECT_EQ(t.g.phi[1], 7.0f);
    EXPECT_EQ(nrgana(t.k, t.sel), 0.0);
    EXPECT_NE(t.s.out.str().find(" WARNING: nrgana(000) multiple non-zero radii not supported\n"
                                 "                      for analytic energy calculations.\n"),
              std::string::npos);
    // One cavity; a charge on its surface is ignored (noted once), an
    // off-centre charge with salt stops the sum (warned once).
    t.s.out.str("");
    t.m.radi[2] = 0.0f;
    t.m.x[2] = 1.0f, t.m.chrg[2] = 1.0f;
    t.m.y[3] = 0.5f, t.m.chrg[3] = 1.0f;
    potana(t.k);
    EXPECT_EQ(t.s.out.str(), " NOTE: anacav(010): Atom     2 at cavity boundary. Charge ignored.\n");
    t.s.out.str("");
    t.k.env.kappa = 0.1f;
    potana(t.k);
    // (the salt test comes first: atom 2 ends the sum before its note)
    EXPECT_EQ(t.s.out.str(), " WARNING: anacav(000) Non-zero kappa only implemented for centro-symmetric systems.\n");
    EXPECT_EQ(nrgana(t.k, t.sel), 0.0);
    EXPECT_NE(t.s.out.str().find(" WARNING: nrgana(100) non-zero ionic strength not supported\n"), std::string::npos);
    // Too few terms.
    t.s.out.str("");
    t.k.env.kappa = 0.0f;
    t.g.maxits = 2;
    t.m.chrg[2] = 0.0f;
    potana(t.k);
    EXPECT_EQ(t.s.out.str(), " WARNING: anacav(020) maxits exceeded.\n");
}

TEST(Analytic, EnergyOfChargesInACavity) {
    Grid t(3, 5, 1.0f, 2.0f, 80.0f);
    const double ei = 2.0 * eps0, eo = 80.0 * eps0, a = 2.0;
    t.m.radi[1] = 2.0f;
    t.m.chrg[1] = 1.0f;
    t.sel[2] = t.sel[3] = 0;
    // Born.
    EXPECT_NEAR(nrgana(t.k, t.sel), 1.0 / (8 * pi * a) * (1 / eo - 1 / ei), 1e-5 / (8 * pi * a * ei));
    // Off-centre charges tend to it.
    t.m.chrg[1] = 0.0f;
    t.sel[2] = 1;
    t.m.x[2] = 1e-3f, t.m.chrg[2] = 1.0f;
    EXPECT_NEAR(nrgana(t.k, t.sel), 1.0 / (8 * pi * a) * (1 / eo - 1 / ei), 1e-4 / (8 * pi * a * ei));
    // Uniform medium: Coulomb's energy of the pair.
    t.m.radi[1] = 0.0f;
    t.sel[3] = 1;
    t.m.y[3] = 3.0f, t.m.chrg[3] = -2.0f;
    const double d = std::sqrt(9.0 + 1e-6);
    EXPECT_NEAR(nrgana(t.k, t.sel), -2.0 / (4 * pi * eo * d), 1e-5 / (4 * pi * eo * d));
}

// --- Through the elec command ----------------------------------------------------

struct ElecRun {
    test::Session s;
    Kova& k = s.k;
    GridStore& g = s.k.mess;
    MoleculeStore& m = s.k.mol;
    explicit ElecRun(std::string commands, int natom) : s(std::move(commands)) {
        m.nmol = 1, m.fstatm[1] = 1, m.lstatm[1] = natom, m.natom = natom;
        for (int a = 1; a <= natom; ++a) m.x[a] = m.y[a] = m.z[a] = m.chrg[a] = m.radi[a] = 0.0f;
        k.flags.bomb = 5;
    }
    void elec() {
        getlin(k, 5, "Main");
        gettok(k);
        eledrv(k);
    }
    float phi(int di, int dj, int dk) const {
        const int c = (g.nx + 1) / 2;
        return g.phi[g.index(c + di, c + dj, c + dk)];
    }
};

TEST(ElecEnergy, BornEnergyFromTheGridEnergyLessTheSelfEnergy) {
    const float a = 2.0f;
    ElecRun run("elec grid 0.5 dime 41 41 41 pdie 1 sdie 78 bcfl 1 end\n"
                "elec grid 0.5 dime 41 41 41 pdie 1 sdie 1 bcfl 1 end\n",
                1);
    run.m.chrg[1] = 1.0f, run.m.radi[1] = a;
    run.elec();
    const double e78 = nrgrho(run.k, run.g.isel) - self2(run.k, run.g.isel);
    run.elec();
    const double e1 = nrgrho(run.k, run.g.isel) - self2(run.k, run.g.isel);
    // In a uniform medium the grid energy is the lattice self energy.
    EXPECT_NEAR(e1, 0.0, 0.01 * self2(run.k, run.g.isel));
    const double born = 1.0 / (8 * pi * a) * (1 / (78.0 * eps0) - 1 / (1.0 * eps0));
    EXPECT_NEAR(e78 - e1, born, 0.05 * std::fabs(born));
}

TEST(ElecEnergy, OffCentreChargeInACavityAgainstTheFiniteDifferenceSolution) {
    // A cavity of radius 3 (an uncharged atom) with a unit charge 1 A off
    // its centre, pdie 2, sdie 80: the analytic potential against the
    // finite-difference solution at points away from the charge.
    ElecRun run("elec grid 0.5 dime 41 41 41 pdie 2 sdie 80 bcfl 2 end\n"
                "elec grid 0.5 dime 41 41 41 pdie 2 sdie 80 bcfl 2 anal end\n",
                2);
    run.m.radi[1] = 3.0f;
    run.m.x[2] = 1.0f, run.m.chrg[2] = 1.0f;
    run.elec();
    EXPECT_LE(run.g.rnorm, run.g.conv * run.g.bnorm);
    const std::vector<float> fd = run.g.phi;
    run.elec();
    EXPECT_EQ(run.s.messages().find("WARNING"), std::string::npos) << run.s.messages();
    // Grid offsets (0.5 A) from the centre: inside and outside the cavity,
    // at least 2.5 A from the charge (nearer, the lattice Coulomb term of
    // the charge is a few percent off and the reaction field cancels most
    // of it).
    const int pts[][3] = {{-4, 0, 0}, {-2, 3, 0}, {0, 0, 4}, {0, -5, 3}, {6, 0, 0},  {-8, 0, 0},
                          {0, 10, 0}, {4, 4, 4},  {2, 0, 7}, {0, -7, 7}, {12, 0, 0}, {-3, -3, -3}};
    const int c = (run.g.nx + 1) / 2;
    for (const auto& p : pts) {
        const int l = run.g.index(c + p[0], c + p[1], c + p[2]);
        EXPECT_NEAR(fd[l], run.g.phi[l], 0.04 * std::fabs(run.g.phi[l])) << p[0] << "," << p[1] << "," << p[2];
    }
    // The analytic grid is the analytic potential of those points.
    AnaState st;
    const auto x = ijkxyz(run.g, c + 2, c + 4, c);
    EXPECT_FLOAT_EQ(run.phi(2, 4, 0), anacav(run.k, x[0], x[1], x[2], Cavity{0, 0, 0, 3.0f}, st));
}

}  // namespace
}  // namespace kova
