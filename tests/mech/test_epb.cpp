// The Poisson-Boltzmann solvation term of the force field on two charges:
// its forces against the difference quotient of its own energy, the grid
// solutions made only when the evaluation asks for them, and the first-order
// extrapolation in between.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "elec/elec.hpp"
#include "elec/grid.hpp"
#include "mech/mech.hpp"
#include "../command/harness.hpp"

namespace kova {
namespace {

// Two ions of opposite charge, radius 2 A, in one molecule; interior
// dielectric 1, water 80, no salt; only the solvation term on.
struct Ions {
    test::Session s;
    Kova& k;
    ForceField& ff;
    explicit Ions(const std::vector<std::array<double, 3>>& xyz, const std::vector<float>& q) : k(s.k), ff(s.k.ff) {
        k.flags.bomb = 3;
        MoleculeStore& m = k.mol;
        m.nmol = 1, m.fstatm[1] = 1;
        for (size_t a = 0; a < xyz.size(); ++a) {
            const int i = ++m.natom;
            m.x[i] = float(xyz[a][0]), m.y[i] = float(xyz[a][1]), m.z[i] = float(xyz[a][2]);
            ff.xd[i] = xyz[a][0], ff.yd[i] = xyz[a][1], ff.zd[i] = xyz[a][2];
            m.chrg[i] = q[a], m.radi[i] = 2.0f, m.live[i] = 1, m.mass[i] = 12.0f;
        }
        m.lstatm[1] = m.natom;
        k.env.pdie = 1.0f, k.env.sdie = 80.0f;
        k.env.epsint = 0.0f, k.env.epsout = 0.0f;  // as before any elec command
        EvalState& ev = ff.ev;
        ev.lbnd = ev.lang = ev.ldih = ev.limp = ev.lvdw = ev.leel = false;
        ev.ldbf = ev.lqe = true;
        ev.istep = 1, ev.npbupd = 1, ev.lfirst = true;
    }
    double& crd(int i, int x) { return x == 0 ? ff.xd[i] : x == 1 ? ff.yd[i] : ff.zd[i]; }
    // The solvation energy from a new solution.
    double solved() {
        ff.ev.lfirst = true;
        ff.ev.nofrc = false;
        EXPECT_TRUE(forces(k));
        return ff.e[epbsol];
    }
};

// Two ions of radius 2 A on the x axis, d apart about the origin: the
// energy against the continuum picture (twice the Born energy less the
// solvent's screening of their Coulomb energy), and the force along the axis
// against the difference quotient of the energy when both move apart
// symmetrically (the grid stays centred). The grid is rebuilt for every
// solution and its spacing follows the extent, so the quotient carries the
// discretisation noise of two grids: 3% covers it (the grids of 33 to 65
// points give quotients within 1% of one another).
TEST(SolvationTerm, ForcesAgainstTheDifferenceQuotientOfTheEnergy) {
    for (double d : {4.5, 6.0}) {
        Ions m({{-d / 2, 0.0, 0.0}, {d / 2, 0.0, 0.0}}, {1.0f, -1.0f});
        m.k.mess.nx = m.k.mess.ny = m.k.mess.nz = 33;
        m.k.mess.update_counts();
        const double e = m.solved();
        const std::vector<double> f(m.ff.frc.begin(), m.ff.frc.begin() + 6);
        // Born energy of each ion -166 (1 - 1/80)/2 = -81.96; the screening
        // adds 332 (1 - 1/80)/d. The grid's own error is a few tenths.
        EXPECT_NEAR(e, -2 * 81.96 + 332.054 * (1 - 1 / 80.0) / d, 1.0) << d;
        // Equal and opposite, along the axis.
        EXPECT_NEAR(f[0], -f[3], 1e-3 * std::fabs(f[0]));
        for (int c : {1, 2, 4, 5}) EXPECT_LT(std::fabs(f[size_t(c)]), 1e-3 * std::fabs(f[0])) << c;
        const double s = 0.1;
        m.crd(1, 0) = -d / 2 - s, m.crd(2, 0) = d / 2 + s;
        const double ep = m.solved();
        m.crd(1, 0) = -d / 2 + s, m.crd(2, 0) = d / 2 - s;
        const double em = m.solved();
        // dE/dd = (F1x - F2x)/2 for the symmetric motion.
        const double quotient = (ep - em) / (4 * s), analytic = (f[0] - f[3]) / 2;
        EXPECT_NEAR(analytic, quotient, 0.03 * std::fabs(quotient)) << d;
        // The closed form of the screening term's slope, within the grid's error.
        EXPECT_NEAR(analytic, -332.054 * (1 - 1 / 80.0) / (d * d), 0.05 * std::fabs(analytic)) << d;
    }
}

// Solutions at the first evaluation of a series, at multiples of npbupd and
// when an atom has moved farther than pbmove allows; in between, and for
// energies only, the first-order extrapolation from the last solution.
TEST(SolvationTerm, GridsRecomputedOnlyWhenAskedAndExtrapolatedBetween) {
    Ions m({{-2.25, 0.3, 0.0}, {2.25, 0.0, -0.2}}, {1.0f, -0.5f});
    m.k.mess.nx = m.k.mess.ny = m.k.mess.nz = 33;
    m.k.mess.update_counts();
    EvalState& ev = m.ff.ev;
    PBTerm& pb = m.ff.pb;
    ev.npbupd = 3, ev.pbmove = 0.01f;
    const long n0 = pb.nsolve;
    ev.istep = 1;
    ASSERT_TRUE(forces(m.k));  // first of the series
    EXPECT_EQ(pb.nsolve, n0 + 1);
    EXPECT_FALSE(ev.lfirst);
    const float e1 = m.ff.e[epbsol];
    const std::vector<double> f1(m.ff.frc.begin(), m.ff.frc.begin() + 6);
    // Step 2: atom 1 moved by 0.05 A (0.0025 A^2, under pbmove): no
    // solution; E - F.dx and the same forces.
    ev.istep = 2;
    m.crd(1, 0) += 0.05;
    ASSERT_TRUE(forces(m.k));
    EXPECT_EQ(pb.nsolve, n0 + 1);
    EXPECT_NEAR(m.ff.e[epbsol], e1 - 0.05 * f1[0], 1e-4);
    for (int c = 0; c < 6; ++c) EXPECT_EQ(m.ff.frc[size_t(c)], f1[size_t(c)]);
    // Energies only never ask for a solution.
    ev.nofrc = true;
    ev.istep = 3;
    ASSERT_TRUE(forces(m.k));
    EXPECT_EQ(pb.nsolve, n0 + 1);
    ev.nofrc = false;
    // Step 3, a multiple of npbupd: a solution at the moved position.
    ASSERT_TRUE(forces(m.k));
    EXPECT_EQ(pb.nsolve, n0 + 2);
    const float e3 = m.ff.e[epbsol];
    EXPECT_NE(e3, e1);
    // Step 4: 0.05 A more on atom 2 stays within pbmove of the last solution;
    // step 5: 0.15 A in all exceeds it.
    ev.istep = 4;
    m.crd(2, 1) += 0.05;
    ASSERT_TRUE(forces(m.k));
    EXPECT_EQ(pb.nsolve, n0 + 2);
    ev.istep = 5;
    m.crd(2, 1) += 0.1;
    ASSERT_TRUE(forces(m.k));
    EXPECT_EQ(pb.nsolve, n0 + 3);
    EXPECT_EQ(pb.npbcalc, 3);
    EXPECT_GT(pb.hmax, 0.0f);
    EXPECT_LE(pb.hmin, pb.hmax);
    // The reaction potential of each ion was accumulated at every solution:
    // negative at the positive ion (its own reaction field dominates).
    EXPECT_LT(pb.phiacc[1], 0.0);
    EXPECT_GT(pb.phi2acc[1], 0.0);
}

// Atoms without radii span no grid: refused with the message.
TEST(SolvationTerm, NoExtentIsRefused) {
    Ions m({{0.0, 0.0, 0.0}}, {1.0f});
    m.k.mol.radi[1] = 0.0f;
    m.k.flags.bomb = 5;
    EXPECT_FALSE(forces(m.k));
    EXPECT_NE(m.s.messages().find("SERIOUS: epb(060) the selected atoms span no volume"), std::string::npos);
}

// Generalized Born inside the evaluation, when switched on: the energy of
// the last initialisation's volumes and self terms at the working
// coordinates, in the total; the term gives no forces.
TEST(SolvationTerm, GeneralizedBornJoinsTheTotalWhenOn) {
    Ions m({{-2.25, 0.0, 0.0}, {2.25, 0.0, 0.0}}, {1.0f, -1.0f});
    m.ff.ev.ldbf = m.ff.ev.lqe = false;
    m.k.mess.isel[1] = m.k.mess.isel[2] = 1;
    GBStore& gb = m.ff.gb;
    gb.mode = "init";
    ASSERT_TRUE(egbn(m.k));
    ASSERT_TRUE(forces(m.k));
    EXPECT_EQ(m.ff.e[egb], 0.0f);  // off: not evaluated
    gb.usegb = true;
    ASSERT_TRUE(forces(m.k));
    const float e = m.ff.e[egb];
    // Two unit charges, Born radii alpha (no bonds: the single-atom term
    // and the pair's descreening): -166 (1 - 1/80) sum q q / f_GB.
    const double a1 = gb.alpha[1], a2 = gb.alpha[2], r2 = 4.5 * 4.5;
    const double pair = -1.0 / std::sqrt(r2 + a1 * a2 * std::exp(-r2 / (4 * a1 * a2)));
    EXPECT_NEAR(e, -166.0 * (1 - 1 / 80.0) * (1 / a1 + 1 / a2 + 2 * pair), 1e-3);
    EXPECT_LT(e, 0.0f);
    EXPECT_EQ(m.ff.e[etot], e);
    for (int c = 0; c < 6; ++c) EXPECT_EQ(m.ff.frc[size_t(c)], 0.0);
    // Moved apart: the descreening and the pair term change the energy.
    m.crd(2, 0) = 4.0;
    ASSERT_TRUE(forces(m.k));
    EXPECT_LT(m.ff.e[egb], e);
}

}  // namespace
}  // namespace kova
