// Solved potentials, energies and forces against closed forms: the Born
// solvation energy of an ion after focusing, a uniform applied field,
// Coulomb's force in a uniform dielectric, the reaction-field force on a
// charge off the centre of a spherical cavity and the dielectric boundary
// force that balances it, the osmotic pressure of the ions on the
// ion-exclusion sphere, the energy of the full nonlinear solution, and the
// reference potentials of the mechanics term.
//
// Units: phi in internal energy units per e; a dielectric constant d is the
// permittivity d x 5.7277083e-7; energies to kcal/mol with 0.0023900573.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "../command/harness.hpp"
#include "command/mainloop.hpp"
#include "command/readers.hpp"
#include "elec/elec.hpp"

namespace kova {
namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double coulomb_kcal = 332.0636;  // e^2/(4 pi eps0 A) in kcal/mol

// A run state with the given atoms (x, y, z, charge, radius) as molecule 1,
// fed with command text; cmd() performs the next command.
struct Deck {
    test::Session s;
    Kova& k = s.k;
    GridStore& g = s.k.mess;
    MoleculeStore& m = s.k.mol;
    Arr1<int, maxatm> all{};
    Arr1<float, maxatm> fx{}, fy{}, fz{};
    Deck(std::string commands, std::initializer_list<std::array<float, 5>> atoms) : s(std::move(commands)) {
        int n = 0;
        for (const auto& a : atoms) {
            ++n;
            m.x[n] = a[0], m.y[n] = a[1], m.z[n] = a[2], m.chrg[n] = a[3], m.radi[n] = a[4];
            all[n] = 1;
        }
        m.natom = n, m.nmol = 1, m.fstatm[1] = 1, m.lstatm[1] = n;
        k.flags.bomb = 5;
    }
    void cmd() { dispatch(k, getnam(k, 5, "Main")); }
    double kcal(double e) const { return e * to_kcal; }
};

// --- Closed-form potentials and energies ------------------------------------

TEST(SolvedPhysics, BornIonSolvationEnergyAfterFocusing) {
    // Charge +1, radius 3 A, interior 1, solvent 78.54; coarse grid with the
    // atoms as Debye-Hueckel spheres, then focused to 0.25 A.
    const std::string focus = "elec mol1 cent grid 1.0 pdie 1.0 sdie S bcfl 2 end\n"
                              "elec mol1 cent grid 0.5 pdie 1.0 sdie S bcfl 4 end\n"
                              "elec mol1 cent grid 0.25 pdie 1.0 sdie S bcfl 4 end\n";
    std::string deck;
    for (const char* sd : {"78.54", "1.0"}) {
        std::string f = focus;
        for (size_t p; (p = f.find(" S ")) != std::string::npos;) f.replace(p, 3, std::string(" ") + sd + " ");
        deck += f;
    }
    Deck r(deck, {{0, 0, 0, 1, 3}});
    for (int i = 0; i < 3; ++i) r.cmd();
    EXPECT_LE(r.g.rnorm, r.g.conv * r.g.bnorm);
    const double water = r.kcal(nrgrho(r.k, r.all));
    for (int i = 0; i < 3; ++i) r.cmd();
    const double vacuum = r.kcal(nrgrho(r.k, r.all));
    const double born = -coulomb_kcal / (2.0 * 3.0) * (1.0 - 1.0 / 78.54);
    EXPECT_NEAR(water - vacuum, born, 0.03 * std::fabs(born));
    // The grid energy less the self energy gives the same number without a
    // second solve: in vacuum the grid energy is the lattice self energy.
    EXPECT_NEAR(vacuum, r.kcal(self2(r.k, r.all)), 0.01 * r.kcal(self2(r.k, r.all)));
}

TEST(SolvedPhysics, UniformAppliedFieldGivesALinearPotential) {
    // No charges, uniform dielectric: the potential falls linearly along z
    // through the centre plane, efld h per grid step.
    Deck r("elec mol1 cent grid 0.5 dime 33 33 33 pdie 1.0 sdie 1.0 efld 1.0e8\n"
          "bcfl 3 conv 1.0e-7 end\n",
          {{0, 0, 0, 0, 0}, {0.25f, 0.5f, -1.25f, 1.0f, 0.0f}});
    r.m.chrg[2] = 0.0f;
    r.cmd();
    const float step = r.g.efld * r.g.h;
    ASSERT_GT(step, 0.0f);
    float worst = 0;
    for (int k = 1; k <= 33; k += 4)
        for (int j = 1; j <= 33; j += 8)
            for (int i = 1; i <= 33; i += 8)
                worst = std::max(worst, std::fabs(r.g.phi[r.g.index(i, j, k)] - step * (17.0f - k)));
    EXPECT_LT(worst, 1e-4f * 16.0f * step);
    // The charge-in-field force of a unit charge is the field itself.
    r.m.chrg[2] = 1.0f;
    qefrc(r.k, r.all, r.fx, r.fy, r.fz);
    EXPECT_NEAR(r.fz[2], r.g.efld, 1e-3 * r.g.efld);
    EXPECT_NEAR(r.fx[2], 0.0f, 1e-3 * r.g.efld);
}

TEST(SolvedPhysics, ForceBetweenChargesInAUniformDielectricIsCoulomb) {
    // +1 and -1 on grid points 4 A apart in a dielectric of 2 throughout;
    // the spread charges feel no force of their own on a grid point.
    Deck r("elec mol1 cent grid 0.25 dime 65 65 65 pdie 2.0 sdie 2.0 bcfl 2\n"
          "conv 1.0e-7 end\n",
          {{-2, 0, 0, 1, 0}, {2, 0, 0, -1, 0}});
    r.cmd();
    qefrc(r.k, r.all, r.fx, r.fy, r.fz);
    const double coulomb = coulomb_kcal / 2.0 / 16.0;  // attraction, kcal/mol/A
    EXPECT_NEAR(r.kcal(r.fx[1]), coulomb, 0.02 * coulomb);
    EXPECT_NEAR(r.kcal(r.fx[2]), -coulomb, 0.02 * coulomb);
    EXPECT_NEAR(r.fy[1], 0.0f, 1e-3f * r.fx[1]);
    // The lattice Coulomb force is the whole grid force here.
    Arr1<float, maxatm> gx{}, gy{}, gz{};
    gfrc(r.k, r.all, gx, gy, gz);
    EXPECT_NEAR(gx[1], r.fx[1], 0.01 * std::fabs(r.fx[1]));
}

// --- Forces on a cavity -------------------------------------------------------

// Force on a unit charge d from the centre of a cavity of radius a
// (interior ei, solvent eo), from the reaction field of the Kirkwood
// series, in kcal/mol/A (positive: toward the solvent).
double kirkwood_force(double ei, double eo, double a, double d) {
    double s = 0;
    for (int n = 1; n < 400; ++n)
        s += n * (n + 1) * (eo - ei) / (n * ei + (n + 1) * eo) * std::pow(d, 2 * n - 1) / std::pow(a, 2 * n + 1);
    return coulomb_kcal * s;
}

TEST(BoundaryForces, ReactionFieldForceAndTheDielectricBoundaryForceBalance) {
    // An uncharged cavity atom of radius 3 and a unit charge 1.5 A off its
    // centre (a grid point of both spacings). The solvent pushes the charge
    // out and pulls the boundary back: the two forces are equal and
    // opposite, and equal to the Kirkwood force.
    const double expected = kirkwood_force(1.0, 78.54, 3.0, 1.5);
    for (const char* grid : {"0.25", "0.15"}) {
        Deck r(std::string("elec mol1 cent grid ") + grid + " pdie 1.0 sdie 78.54 bcfl 2 end\n",
              {{0, 0, 0, 0, 3}, {1.5f, 0, 0, 1, 0}});
        r.cmd();
        qefrc(r.k, r.all, r.fx, r.fy, r.fz);
        EXPECT_NEAR(r.kcal(r.fx[2]), expected, 0.02 * expected) << grid;
        Arr1<float, maxatm> bx{}, by{}, bz{};
        dbfrc(r.k, bx, by, bz);
        EXPECT_NEAR(r.kcal(bx[1]), -expected, 0.03 * expected) << grid;
        EXPECT_NEAR(r.kcal(by[1]), 0.0, 1e-3 * expected);
        EXPECT_EQ(bx[2], 0.0f);  // a point charge has no boundary
    }
}

TEST(BoundaryForces, ProbeSurfaceForcesGoToTheAtomsOwningTheDots) {
    Deck r("elec mol1 cent grid 0.25 nmap 1.4 pdie 1.0 sdie 78.54 bcfl 2 end\n",
          {{0, 0, 0, 0, 3}, {1.5f, 0, 0, 1, 0}});
    r.cmd();
    qefrc(r.k, r.all, r.fx, r.fy, r.fz);
    Arr1<float, maxatm> bx{}, by{}, bz{};
    dbfrc(r.k, bx, by, bz);
    EXPECT_GT(r.fx[2], 0.0f);
    EXPECT_NEAR(bx[1], -r.fx[2], 0.03 * r.fx[2]);
}

TEST(BoundaryForces, SymmetricIonFeelsNoNetBoundaryForce) {
    Deck r("elec mol1 cent grid 0.5 dime 41 41 41 pdie 1.0 sdie 78.54 bcfl 2 end\n", {{0, 0, 0, 1, 3}});
    r.cmd();
    Arr1<float, maxatm> bx{}, by{}, bz{};
    dbfrc(r.k, bx, by, bz);
    // Against the pressure on one side: (1/2)(1/ei - 1/eo) D^2 pi a^2.
    const double d = 1.0 / (4 * pi * 9.0), one_side = 0.5 * (1 / (1.0 * eps0)) * d * d * pi * 9.0;
    EXPECT_LT(std::fabs(bx[1]) + std::fabs(by[1]) + std::fabs(bz[1]), 1e-4 * one_side);
}

TEST(BoundaryForces, DielectricForceNeedsSmoothedMapsAndAContrast) {
    Deck r("elec mol1 cent grid 0.5 dime 33 33 33 pdie 1.0 sdie 78.54 nosm bcfl 2 end\n"
          "elec mol1 cent grid 0.5 dime 33 33 33 pdie 4.0 sdie 4.0 bcfl 2 end\n",
          {{0, 0, 0, 0, 3}, {1.5f, 0, 0, 1, 0}});
    r.cmd();
    r.fx[1] = 7.0f;
    dbfrc(r.k, r.fx, r.fy, r.fz);
    EXPECT_EQ(r.fx[1], 0.0f);
    EXPECT_NE(r.s.out.str().find(" NOTE: DFORCE(033) Smoothing needed for dielectric pressures\n"
                                 " Returning from subroutine dforce without results\n"),
              std::string::npos);
    r.cmd();
    r.fx[1] = 7.0f;
    dbfrc(r.k, r.fx, r.fy, r.fz);
    EXPECT_EQ(r.fx[1], 0.0f);
}

TEST(BoundaryForces, IonicPressureOnTheExclusionSphere) {
    // A unit charge of radius 2 with ion-exclusion radius 2 in 150 mM: at the
    // exclusion sphere (b = 4 A) the potential is Debye-Hueckel's,
    // q / (4 pi eo b (1 + kappa b)); the pressure is the same all round.
    Deck r("elec mol1 cent grid 0.25 dime 65 65 65 pdie 2.0 sdie 78.0 ions 150.0\n"
          "rion 2.0 bcfl 2 end\n",
          {{0, 0, 0, 1, 2}});
    r.cmd();
    const double kappa = r.k.env.kappa, b = 4.0, eo = r.k.env.epsout;
    const double dh = 1.0 / (4 * pi * eo * b * (1 + kappa * b));
    r.s.out.str("");
    ibfrc(r.k, 200, r.all, r.fx, r.fy, r.fz);
    // Each dot's potential is listed; all are close to the closed form.
    const std::string text = r.s.out.str();
    int lines = 0;
    for (size_t p = 0; (p = text.find("phisite:", p)) != std::string::npos; ++p) {
        const double v = std::stod(text.substr(p + 8, 30));
        EXPECT_NEAR(v, dh, 0.03 * dh);
        ++lines;
    }
    EXPECT_GT(lines, 150);
    // The pressure kappa^2 eo phi^2 / 2 over the sphere cancels.
    const double p = kappa * kappa * eo / 2 * dh * dh, whole = p * 4 * pi * b * b;
    EXPECT_LT(std::fabs(r.fx[1]) + std::fabs(r.fy[1]) + std::fabs(r.fz[1]), 0.02 * whole);
    // Without an exclusion radius the note comes first.
    r.g.rion = 0.0f;
    ibfrc(r.k, 50, r.all, r.fx, r.fy, r.fz);
    EXPECT_NE(r.s.out.str().find(" NOTE: IFORCE(044) Computing ionic force with rion=0."), std::string::npos);
}

TEST(BoundaryForces, IonicForceOfADotOffTheGridIsZeroWithItsNotes) {
    Deck r("elec mol1 gcen 0.0 0.0 0.0 grid 0.5 dime 17 17 17 ions 150.0 rion 2.0\n"
          "bcfl 2 end\n",
          {{3.0f, 0, 0, 1, 2}});
    r.cmd();
    r.fx[1] = 5.0f;
    ibfrc(r.k, 50, r.all, r.fx, r.fy, r.fz);
    EXPECT_EQ(r.fx[1], 0.0f);
    const std::string text = r.s.out.str();
    EXPECT_NE(text.find(" NOTE: ibfrc(000) can not calculate ionic force\n for atom    1\n"
                        " Setting ionic force to zero and proceeding\n"),
              std::string::npos);
    // Reported once per atom.
    EXPECT_EQ(text.find("ibfrc(000)"), text.rfind("ibfrc(000)"));
}

// --- Energy of the full equation and reference potentials ---------------------

TEST(NonlinearEnergy, WithoutSaltItIsTheEnergyOfTheCharges) {
    // Without ions the full solution is the linear one, and its field energy
    // equals half the sum of q phi: the energy is 1/2 sum q phi.
    Deck r("elec mol1 cent grid 0.5 dime 33 33 33 pdie 2.0 sdie 80.0 bcfl 2 full\n"
          "conv 1.0e-7 end\n",
          {{0, 0, 0, 1, 2}, {1.0f, 0.5f, 0, -0.5f, 1.5f}});
    r.cmd();
    const double rho = nrgrho(r.k, r.all), grd = nrggrd(r.k);
    EXPECT_NEAR(grd, rho, 0.02 * std::fabs(rho));
}

TEST(NonlinearEnergy, WithSaltAndInsideAnEnergyBox) {
    Deck r("elec mol1 cent grid 0.5 dime 33 33 33 pdie 2.0 sdie 80.0 ions 150.0\n"
          "rion 2.0 bcfl 2 full end\n",
          {{0, 0, 0, 2, 2}});
    r.cmd();
    const double whole = nrggrd(r.k);
    // Twice the charge term less the field energy and the osmotic term: at
    // these potentials the last two take half of it back, as in the
    // linearised equation, where the energy is 1/2 sum q phi.
    const double rho = nrgrho(r.k, r.all);
    EXPECT_NEAR(whole, rho, 0.01 * rho);
    EXPECT_NE(whole, rho);
    // A box holding the whole grid changes nothing; excluding it leaves 0.
    r.g.energies = {0, 0, 0, 20, 20, 20};
    r.g.energy_switches = {true, false};
    EXPECT_NEAR(nrggrd(r.k), whole, 1e-6 * std::fabs(whole));
    EXPECT_FALSE(r.g.energy_switches[0]);  // cleared after use
    r.g.energy_switches = {false, true};
    EXPECT_EQ(nrggrd(r.k), 0.0);
}

TEST(ReferencePotentials, LatticeSelfAndCoulombPotentials) {
    Deck r("", {{0, 0, 0, 1, 0}, {0, 0, 0, 1, 0}});
    r.g.nx = r.g.ny = r.g.nz = 41;
    r.g.update_counts();
    r.g.h = 0.5f;
    r.g.xo = r.g.yo = r.g.zo = -21 * 0.5f;
    r.k.env.epsint = 2.0f * eps0;
    // Atom 1 on a grid point: its own potential G0 q / (h epsint).
    EXPECT_NEAR(green2(r.k, 1), 0.25273 / (0.5 * 2.0 * eps0), 1e-5 / eps0);
    // Atom 2 13 h away: Coulomb's potential; 12 h away the lattice value,
    // close to it.
    r.m.x[2] = 6.5f;
    EXPECT_NEAR(green1(r.k, 1), 1.0 / (4 * pi * 2.0 * eps0 * 6.5), 1e-6 / (2.0 * eps0 * 6.5));
    r.m.x[2] = 6.0f;
    const double lattice = green1(r.k, 1), coulomb = 1.0 / (4 * pi * 2.0 * eps0 * 6.0);
    EXPECT_NE(lattice, coulomb);
    EXPECT_NEAR(lattice, coulomb, 0.01 * coulomb);
    // Off the grid: the warning and 0.
    r.m.x[1] = 40.0f;
    EXPECT_EQ(green2(r.k, 1), 0.0);
    EXPECT_NE(r.s.out.str().find(" WARNING: self(000) can not calculate energy: charge is off grid."),
              std::string::npos);
}

}  // namespace
}  // namespace kova
