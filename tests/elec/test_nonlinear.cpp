// The full Poisson-Boltzmann equation where its potentials are large (no
// ion-exclusion layer, strong salt, a low temperature), checked against the
// discrete equation itself and the comparison principle, and solves that
// fail: they leave no potential behind, and the next solve is the one a
// fresh run makes.
//
// Units: phi in internal energy units (amu A^2/ps^2) per e; RT = 0.83144647
// temp in the same units.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "../command/harness.hpp"
#include "command/mainloop.hpp"
#include "command/readers.hpp"
#include "elec/elec.hpp"
#include "stencil.hpp"

namespace kova {
namespace {

using test::stencil_times;

// Atoms (x, y, z, charge, radius) as molecule 1 and a list of commands.
struct Job {
    test::Session s;
    Kova& k = s.k;
    GridStore& g = s.k.mess;
    Job(std::string commands, std::initializer_list<std::array<float, 5>> atoms) : s(std::move(commands)) {
        MoleculeStore& m = k.mol;
        int n = 0;
        for (const auto& a : atoms) {
            ++n;
            m.x[n] = a[0], m.y[n] = a[1], m.z[n] = a[2], m.chrg[n] = a[3], m.radi[n] = a[4];
        }
        m.natom = n, m.nmol = 1, m.fstatm[1] = 1, m.lstatm[1] = n;
        k.flags.bomb = 5;  // messages do not end the run
    }
    // Reads and performs the next command.
    void cmd() { dispatch(k, getnam(k, 5, "Main")); }
};


TEST(FullEquation, LargePotentialsConvergeToTheDiscreteSolution) {
    // Two systems the conjugate-gradient iteration alone runs away on:
    // a charge of +6 on an atom of radius 1.2 A with no ion-exclusion layer
    // in 1 M salt (phi/RT reaches about 40 at the first points open to the
    // ions in the linear solution), and a charge of +10 at 1 K.
    struct Case {
        const char* settings;
        float q, a;
    };
    const Case cases[] = {{"pdie 2 sdie 78 ions 1000 rion 0 dhra 1.2", 6.0f, 1.2f},
                          {"pdie 2 sdie 78 ions 1000 temp 1 dhra 3", 10.0f, 3.0f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        const std::string grid = std::string("elec grid 0.5 dime 25 25 25 bcfl 1\n") + c.settings;
        // The linear solution, the full one set up and solved, and the full
        // one of the opposite charge.
        Job run(grid + " end\n" + grid + " full setu end\n", {{0, 0, 0, c.q, c.a}});
        Job neg(grid + " full end\n", {{0, 0, 0, -c.q, c.a}});
        run.cmd();
        GridStore& g = run.g;
        const std::vector<float> lin = g.phi;
        run.cmd();
        const std::vector<float> b = g.rhs;
        const size_t before = run.s.out.str().size();
        potent(run.k);
        const std::string said = run.s.out.str().substr(before);
        EXPECT_TRUE(g.newton) << "Newton's method not needed: the case tests nothing new";
        EXPECT_FALSE(g.phibad);
        EXPECT_LT(g.iters, g.maxits);
        // Converged, or stopped where single precision cannot resolve the
        // residual any further (checked below).
        const std::string note = " pcg: NOTE residual at single-precision rounding; conv not reached\n";
        if (said.empty()) EXPECT_LE(g.rnorm, g.conv * g.bnorm);
        else EXPECT_EQ(said, note);

        // The discrete equation, in double: b - A phi - t sinh(phi/RT) at the
        // points open to the ions. Single-precision phi cannot do better than
        // half an ulp of each value times its row of the Jacobian.
        const double t = 2.0 * run.k.env.cion * g.h * g.h, rt = 0.83144647 * run.k.env.temp;
        const std::vector<double> ap = stencil_times(g, g.phi);
        double res = 0, floor = 0, xmax = 0;
        for (int l = 1; l <= g.nxyz; ++l) {
            ASSERT_TRUE(g.iacs[l] == 0.0f || g.iacs[l] == 6.0f) << l;
            const bool open = g.iacs[l] != 6.0f;
            const double x = g.phi[l] / rt;
            res += std::fabs(b[l] - ap[l] - (open ? t * std::sinh(x) : 0.0));
            floor += (2.0 * g.diagm[l] + (open ? t * std::cosh(x) / rt : 0.0)) * std::fabs(g.phi[l]) * 0x1p-24;
            if (open) xmax = std::max(xmax, std::fabs(x));
        }
        EXPECT_LT(res, g.conv * g.bnorm + 2 * floor);
        EXPECT_GT(xmax, 5.0);  // far beyond the linear regime

        // Comparison principle: sinh x >= x for x >= 0, so the full equation
        // screens a positive charge at least as strongly as the linear one,
        // at every point: 0 < phi <= phi_linear (to the solves' accuracy).
        float pmax = 0;
        for (int l = 1; l <= g.nxyz; ++l) pmax = std::max(pmax, lin[l]);
        int below = 0;
        for (int l = 1; l <= g.nxyz; ++l) {
            ASSERT_GT(g.phi[l], 0.0f) << l;
            ASSERT_LE(g.phi[l], lin[l] + 1e-5f * pmax) << l;
            below += g.phi[l] < 0.9f * lin[l];
        }
        EXPECT_GT(below, g.nxyz / 2);  // and markedly so

        // sinh is odd: the opposite charge has the opposite potential.
        neg.cmd();
        EXPECT_EQ(neg.g.rnorm, g.rnorm);
        for (int l = 1; l <= g.nxyz; ++l) ASSERT_NEAR(neg.g.phi[l], -g.phi[l], 1e-5f * pmax) << l;
    }
}

TEST(FailedSolve, LeavesNoPotentialAndTheNextSolveIsAFreshRunOne) {
    // A charge of 1e36 overflows the single-precision solve (its residual
    // is not a finite number); maxi 1 stops the full equation at its start.
    // After either, the next linear solve gives the potential of a fresh
    // run, to the bit; the failed one cannot be focused from.
    const std::string linear = "elec grid 0.5 dime 25 25 25 ions 150 bcfl 1 dhra 2 end\n";
    Job fresh(linear, {{0.3f, 0.1f, 0, 1, 2}});
    fresh.cmd();
    ASSERT_LE(fresh.g.rnorm, fresh.g.conv * fresh.g.bnorm);

    for (const bool overflow : {true, false}) {
        SCOPED_TRACE(overflow ? "overflow" : "maxi 1");
        const std::string first = overflow ? "elec grid 0.5 dime 25 25 25 ions 150 bcfl 1 dhra 2 end\n"
                                           : "elec grid 0.5 dime 25 25 25 ions 150 bcfl 1 dhra 2 full maxi 1 end\n";
        Job run(first + "print all elec ener end\n" + linear +
                    "elec grid 0.25 dime 25 25 25 ions 150 bcfl 4 end\n",
                {{0.3f, 0.1f, 0, overflow ? 1e36f : 1.0f, 2}});
        GridStore& g = run.g;
        run.cmd();
        const std::string said = run.s.messages();
        if (overflow) {
            EXPECT_NE(said.find("\n ERROR: potent(010) residual not finite; potential set to zero, grid not kept\n"
                                " ITERATION SUMMARY\n"),
                      std::string::npos)
                << said;
            EXPECT_TRUE(g.phibad);
            EXPECT_LT(g.hold, 0.0f);  // no previous grid
            EXPECT_EQ(g.rnorm, g.bnorm);
            for (size_t l = 0; l < g.phi.size(); ++l) ASSERT_EQ(g.phi[l], 0.0f) << l;
        } else {
            EXPECT_NE(said.find(" pcg: warning maxits exceeded!\n"), std::string::npos) << said;
            EXPECT_FALSE(g.phibad);
        }
        run.cmd();  // print elec energy
        // Nothing the run printed is a NaN or an infinity.
        const std::string all = run.s.listing();
        EXPECT_EQ(all.find("NaN"), std::string::npos) << all;
        EXPECT_EQ(all.find("Inf"), std::string::npos) << all;

        run.k.mol.chrg[1] = 1.0f;
        run.cmd();
        EXPECT_FALSE(g.phibad);
        EXPECT_EQ(g.iters, fresh.g.iters);
        for (int l = 1; l <= g.nxyz; ++l) ASSERT_EQ(g.phi[l], fresh.g.phi[l]) << l;
        run.cmd();  // focusing from the linear grid works again
        EXPECT_LE(g.rnorm, g.conv * g.bnorm);
    }

    // Focusing from the failed grid is refused.
    Job run("elec grid 0.5 dime 25 25 25 bcfl 1 dhra 2 end\nelec grid 0.25 dime 25 25 25 bcfl 4 end\n",
            {{0, 0, 0, 1e36f, 2}});
    run.cmd();
    EXPECT_TRUE(run.s.ends([&] { run.cmd(); }));
    EXPECT_NE(run.s.listing().find(" FATAL: chkbox(010) focussing failed."), std::string::npos);

    // Under the default abort level the failure ends the run.
    Job stop("elec grid 0.5 dime 25 25 25 bcfl 1 dhra 2 end\n", {{0, 0, 0, 1e36f, 2}});
    stop.k.flags.bomb = 3;
    EXPECT_TRUE(stop.s.ends([&] { stop.cmd(); }));
}

}  // namespace
}  // namespace kova
