// Every force-field term's analytic forces against central differences of
// its own energy on a real protein: 1A8O (1107 atoms, CHARMM27 through
// GROMACS and gmx2kova; see data/README), as built and at random
// distortions of up to 0.2 A per coordinate.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "command/mainloop.hpp"
#include "command/tokens.hpp"
#include "mech/mech.hpp"
#include "../command/harness.hpp"

namespace kova {
namespace {

struct Protein {
    test::Session s;
    Kova& k;
    ForceField& ff;
    Protein()
        : s("read mol 1 file '" + std::string(KOVA_TEST_SOURCE_DIR) + "/mech/data/1a8o_k.pdb' end\n" +
            "rdtop file '" + std::string(KOVA_TEST_SOURCE_DIR) + "/mech/data/1a8o_k.top' mol 1 end\n" +
            // Pairs closer than 4.5 A: a list within the 20000 the store holds.
            "nblist nogr cut atombase 4.5 end\n"),
          k(s.k),
          ff(s.k.ff) {
        k.flags.bomb = 3;
        k.env.pdie = 1.0f;
        for (int c = 0; c < 3; ++c)
            EXPECT_FALSE(s.ends([&] {
                getlin(k, k.files.inunit, "Main");
                Token t = gettok(k);
                dispatch(k, lcase(t.text));
            }));
    }
    double& crd(int i, int x) { return x == 0 ? ff.xd[i] : x == 1 ? ff.yd[i] : ff.zd[i]; }
    double total() {
        ff.ev.nofrc = true;
        EXPECT_TRUE(forces(k));
        ff.ev.nofrc = false;
        return ff.e[etot];
    }
};

TEST(ProteinForces, EveryTermAgainstCentralDifferencesOfItsEnergyOn1A8O) {
    Protein p;
    ASSERT_EQ(p.k.mol.natom, 1107);
    ASSERT_GT(p.ff.top.npair, 10000);
    EvalState& ev = p.ff.ev;
    const std::vector<std::pair<std::string, std::function<void(EvalState&)>>> terms = {
        {"bonds", [](EvalState& e) { e.lbnd = true; }},
        {"angles", [](EvalState& e) { e.lang = true; }},
        {"dihedrals", [](EvalState& e) { e.ldih = true; }},
        {"impropers", [](EvalState& e) { e.limp = true; }},
        {"van der Waals", [](EvalState& e) { e.lvdw = true; }},
        {"Coulomb", [](EvalState& e) { e.leel = true; }},
        {"Coulomb, distance-dependent dielectric", [&p](EvalState& e) { e.leel = true, p.ff.nb.irdie = 1; }},
    };
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(-0.2, 0.2);
    const int n = p.k.mol.natom;
    for (int trial = 0; trial < 3; ++trial) {
        if (trial > 0)
            for (int i = 1; i <= n; ++i)
                for (int x = 0; x < 3; ++x) p.crd(i, x) += u(rng);
        // 60 atoms per trial, drawn at random, every coordinate of each.
        std::vector<int> atoms;
        for (int a = 0; a < 60; ++a) atoms.push_back(1 + int(rng() % unsigned(n)));
        for (const auto& [name, on] : terms) {
            ev.lbnd = ev.lang = ev.ldih = ev.limp = ev.lvdw = ev.leel = ev.ldbf = ev.lqe = false;
            p.ff.nb.irdie = 0, p.ff.nb.rdie = 4.0f;
            on(ev);
            ev.lanal = true;
            ASSERT_TRUE(forces(p.k));
            const std::vector<double> f(p.ff.frc.begin(), p.ff.frc.begin() + 3 * n);
            const double size = std::fabs(p.total());
            int compared = 0;
            double largest = 0;
            for (int i : atoms)
                for (int x = 0; x < 3; ++x) {
                    // Five-point differences with h = 0.01 A: truncation of
                    // order h^4 f^(5), below 1e-3 of the force even for the
                    // stiffest bond here (the relative part). The energy is a
                    // single-precision sum of up to 20000 terms: each value
                    // is off by a few units in the last place of the term's
                    // total (1.2e-7 |E| each); the weights of the formula,
                    // 18/(12 h) in all, turn 8 of them into 1e-6 |E|/h (the
                    // absolute part; the largest difference seen is half
                    // of it, for the Coulomb sum of 4600 kcal/mol).
                    const double h = 0.01;
                    double& c = p.crd(i, x);
                    const double keep = c;
                    double e[4];
                    const double at[4] = {2 * h, h, -h, -2 * h};
                    for (int s = 0; s < 4; ++s) c = keep + at[s], e[s] = p.total();
                    c = keep;
                    const double num = (e[0] - 8.0 * e[1] + 8.0 * e[2] - e[3]) / (12.0 * h);
                    const double ana = f[size_t(3 * (i - 1) + x)];
                    EXPECT_NEAR(ana, num, 1.0e-3 * std::fabs(num) + 1.0e-6 * size / h)
                        << name << ", trial " << trial << ", atom " << i << " axis " << x;
                    largest = std::max(largest, std::fabs(ana));
                    ++compared;
                }
            EXPECT_EQ(compared, 180);
            EXPECT_GT(largest, 1.0) << name << ": the test needs forces to compare";
        }
    }
}

}  // namespace
}  // namespace kova
