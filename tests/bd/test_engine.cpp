// The trajectory engine against diffusion theory: a neutral sphere reacting
// at distance R from the target gives the Smoluchowski rate 4 pi D R, and
// opposite point charges without salt the Debye rate
// 4 pi D lb / (exp(lb/R) - 1); the same seeds give the same counts.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <utility>
#include <string>
#include <vector>

#include "../command/harness.hpp"
#include "../command/scratch.hpp"
#ifdef _OPENMP
#include <omp.h>
#endif

#include "bd/bdrun.hpp"
#include "bd/engine.hpp"
#include "elec/grid.hpp"
#include "command/commands.hpp"
#include "command/mainloop.hpp"
#include "command/output.hpp"

namespace kova {
namespace {

constexpr double pi = 3.14159265358979323846;

class Engine : public test::ScratchFolder {
protected:
    Engine() : ScratchFolder("kova_engine_") {}

    // A target atom at the origin and one diffusing sphere of radius 2,
    // charges q1 and q2, reacting within R of the target atom.
    static BdTotals simulate(test::Session& s, float q1, float q2, int ntraj, float R, bool indrnd = false) {
        std::ofstream("a.qcrd") << "atom 1 ion i 0 0 0 " << q1 << " 2.0\nend\n";
        std::ofstream("b.qcrd") << "atom 1 ion i 30 0 0 " << q2 << " 2.0\nend\n";
        run_kova(s.k);
        Kova& k = s.k;
        EXPECT_EQ(k.mol.nsbtot, 1);
        BdRun& b = k.bdrun;
        b.rad1 = 2.0f;
        b.beta = bdbeta(k.env.temp);
        b.hifac = bdhifac(k.env.temp, b.svis);
        b.nrun = 4, b.ntraj = ntraj / 4;
        b.indrnd = indrnd;
        b.bsurf = 20, b.qsurf = 40, b.psurf = 40;
        b.delt = 0.1f;
        b.rnst = false;
        b.sphere1 = true;
        k.mess.bcfl = 1;  // the far field of molecule 1, everywhere
        k.mess.qnet = q1, k.mess.reff = 2.0f, k.mess.xcen = k.mess.ycen = k.mess.zcen = 0;
        k.rxn.pdist[1][1] = R;
        return bd(k, b);
    }
    static std::string deck() {
        return "read mol 1 qcard file a.qcrd end read mol 2 qcard file b.qcrd end\n"
               "edit suni iflx 1 end edit funi iflx 1 hrid 2.0 end\n";
    }
};

TEST_F(Engine, NeutralSphereGivesTheSmoluchowskiRate) {
    test::Session s(deck());
    const BdTotals t = simulate(s, 0, 0, 4000, 10);
    const double D = (1 / 2.0 + 1 / 2.0) * s.k.bdrun.hifac / 0.75;
    // From b = 20 the sphere reaches R = 10 before q = 40 with probability
    // (1/b - 1/q)/(1/R - 1/q) = 1/3.
    long hits = 0;
    for (int v : t.nrxn) hits += v;
    const double p = hits / 4000.0;
    EXPECT_NEAR(p, 1.0 / 3, 4 * std::sqrt(2.0 / 9 / 4000) + 0.01);
    EXPECT_NEAR(t.rate.rate, 4 * pi * D * 10, 0.08 * 4 * pi * D * 10);
    EXPECT_EQ(t.escaped + hits, 4000);
    EXPECT_NE(s.out.str().find(" * rate constant = "), std::string::npos);
}

TEST_F(Engine, OppositeChargesGiveTheDebyeRateAndSeedsReproduceTheRun) {
    test::Session s(deck());
    const BdTotals t = simulate(s, 1, -1, 4000, 10);
    Kova& k = s.k;
    const double D = (1 / 2.0 + 1 / 2.0) * k.bdrun.hifac / 0.75;
    const double lb = -1.0 / (4 * pi * 78 * 5.7277083e-7 * 0.83144647 * k.env.temp);
    const double debye = 4 * pi * D * lb / std::expm1(lb / 10);
    EXPECT_NEAR(t.rate.lb, lb, 1e-4 * std::fabs(lb));
    EXPECT_GT(debye, 1.3 * 4 * pi * D * 10);  // the attraction is worth finding
    EXPECT_NEAR(t.rate.rate, debye, 0.08 * debye);

    // The same seeds, the same trajectories.
    test::Session a(deck()), b(deck());
    const BdTotals ta = simulate(a, 1, -1, 200, 10), tb = simulate(b, 1, -1, 200, 10);
    EXPECT_EQ(ta.nrxn, tb.nrxn);
    EXPECT_EQ(ta.steps, tb.steps);
}

TEST_F(Engine, ChargesOnASolvedPotentialGridGiveTheDebyeRate) {
    // The target's potential solved on a grid in a uniform dielectric
    // without salt: Coulomb's law, interpolated from the grid inside it and
    // its Debye-Hueckel sphere beyond.
    std::ofstream("a.qcrd") << "atom 1 ion i 0 0 0 2 2.0\nend\n";
    std::ofstream("b.qcrd") << "atom 1 ion i 30 0 0 -1 2.0\nend\n";
    test::Session s(deck() + "elec mol1 cent grid 1.5 dime 65 65 65 pdie 78 sdie 78 bcfl 1 calc end\n");
    run_kova(s.k);
    Kova& k = s.k;
    ASSERT_TRUE(k.mess.phiset);
    BdRun& b = k.bdrun;
    b.rad1 = 2.0f, b.beta = bdbeta(k.env.temp), b.hifac = bdhifac(k.env.temp, b.svis);
    b.nrun = 4, b.ntraj = 1000, b.bsurf = 20, b.qsurf = 40, b.psurf = 40, b.delt = 0.1f;
    b.rnst = false, b.sphere1 = true;
    k.rxn.pdist[1][1] = 10;
    const BdTotals t = bd(k, b);
    const double D = (1 / 2.0 + 1 / 2.0) * b.hifac / 0.75;
    const double lb = -2.0 / (4 * pi * 78 * 5.7277083e-7 * 0.83144647 * k.env.temp);
    const double debye = 4 * pi * D * lb / std::expm1(lb / 10);
    EXPECT_GT(debye, 1.6 * 4 * pi * D * 10);
    EXPECT_NEAR(t.rate.rate, debye, 0.08 * debye);
}

TEST(Bumps, OnlyMarkedInteriorPointsBumpAndTheRescueWalksOutAlongTheStep) {
    GridStore g;
    g.nx = g.ny = g.nz = 9;
    g.h = 1.0f;
    g.xo = g.yo = g.zo = 0.0f;  // grid point i at coordinate i
    g.iacs.assign(9 * 9 * 9 + 1, 0.0f);
    for (int k = 1; k <= 9; ++k)
        for (int j = 1; j <= 9; ++j)
            for (int i = 4; i <= 6; ++i) g.iacs[size_t(i + 9 * (j - 1) + 81 * (k - 1))] = 6;
    g.iacs[size_t(9 + 9 * 4 + 81 * 4)] = 6;  // a marked point on the outermost plane
    const float in[3] = {5.4f, 5, 5}, out[3] = {6.6f, 5, 5}, edge[3] = {9.2f, 5, 5};
    EXPECT_TRUE(bump_excluded(g, in));
    EXPECT_FALSE(bump_excluded(g, out));
    EXPECT_FALSE(bump_excluded(g, edge));  // never rejected on or beyond the last plane
    // From inside the slab the step of 0.4 A is repeated until x = 6.6.
    const float cur[3] = {5.0f, 5, 5};
    float trial[3] = {5.4f, 5, 5};
    EXPECT_TRUE(bkbump(g, 3.0f, cur, trial));
    EXPECT_NEAR(trial[0], 6.6f, 1e-5f);
    // Two steps either way stay in the slab: the bump stands, trial unchanged.
    float short_trial[3] = {5.4f, 5, 5};
    EXPECT_FALSE(bkbump(g, 0.5f, cur, short_trial));
    EXPECT_NEAR(short_trial[0], 5.4f, 1e-6f);
    // A move from outside the region is not rescued.
    const float outside[3] = {3.0f, 5, 5};
    float t3[3] = {4.2f, 5, 5};
    EXPECT_FALSE(bkbump(g, 3.0f, outside, t3));
}

TEST_F(Engine, IndependentStreamsGiveTheSameListingOnAnyNumberOfThreadsAndTheRightRate) {
    // The same deck with one stream per run, on one thread and on two.
    std::ofstream("a.qcrd") << "atom 1 ion i 0 0 0 1 2.0\nend\n";
    std::ofstream("b.qcrd") << "atom 1 ion i 30 0 0 -1 2.0\nend\n";
    const std::string body = deck() + "elec mol1 cent grid 1.5 dime 33 33 33 pdie 78 sdie 78 bcfl 1 calc end\n" +
                             "bd rad1 2.0 bsurf 20.0 qsurf 40.0 psurf 40.0 delt 0.1\n"
                             "  nrun 6 ntraj 50 indrnd trjst\n"
                             "  rcrd 1 intr 500 end defrxn 1 1 1 1 10.0 calc end\n";
    auto listing = [&](int threads) {
#ifdef _OPENMP
        omp_set_num_threads(threads);
#endif
        test::Session s(body + "stop\n");
        EXPECT_EQ(run_kova(s.k), exit_ok) << s.listing();
        std::string text = s.listing(), kept;
        std::istringstream in(text);
        for (std::string ln; std::getline(in, ln);)
            if (ln.find("Runs spread over threads") == std::string::npos && ln.find("date/time") == std::string::npos)
                kept += ln + "\n";  // the thread count and the clock may differ
        std::ifstream rec("flx1.trj");
        std::stringstream records;
        records << rec.rdbuf();
        std::remove("flx1.trj");
        std::remove("kova_den.srf");
        return std::pair{kept, records.str()};
    };
    const auto one = listing(1), two = listing(2);
    EXPECT_EQ(one.first, two.first);
    EXPECT_EQ(one.second, two.second);
    EXPECT_NE(one.first.find(" * rate constant = "), std::string::npos);
    EXPECT_GT(one.second.size(), 1000u);
}

TEST_F(Engine, IndependentStreamsAgreeWithTheSmoluchowskiAndDebyeRates) {
    test::Session s(deck());
    const BdTotals t = simulate(s, 0, 0, 4000, 10, true);
    const double D = (1 / 2.0 + 1 / 2.0) * s.k.bdrun.hifac / 0.75;
    EXPECT_NEAR(t.rate.rate, 4 * pi * D * 10, 0.08 * 4 * pi * D * 10);
    // Opposite charges without salt.
    test::Session c(deck());
    const BdTotals tc = simulate(c, 1, -1, 4000, 10, true);
    const double lb = -1.0 / (4 * pi * 78 * 5.7277083e-7 * 0.83144647 * c.k.env.temp);
    const double debye = 4 * pi * D * lb / std::expm1(lb / 10);
    EXPECT_NEAR(tc.rate.rate, debye, 0.08 * debye);
    // Each run had its own stream: not the one of the serial run.
    EXPECT_EQ(run_stream(2193, 3283, 1).u, RandomState(2193, 3283).u);
    EXPECT_NE(run_stream(2193, 3283, 2).u, RandomState(2193, 3283).u);
}

// The records of unit 1's trajectory file: per trajectory, the frames of
// its subunits (time, x, y, z).
std::vector<std::vector<std::array<float, 4>>> read_records(const std::string& file) {
    std::ifstream in(file);
    std::vector<std::vector<std::array<float, 4>>> trajs;
    for (std::string ln; std::getline(in, ln);) {
        std::array<float, 4> r{};
        std::sscanf(ln.c_str(), "%f %f %f %f", &r[0], &r[1], &r[2], &r[3]);
        if (r[0] == -1.0f) trajs.emplace_back();
        else if (r[0] != -999.0f && !trajs.empty()) trajs.back().push_back(r);
    }
    return trajs;
}

TEST_F(Engine, FreeDiffusionHasMeanSquaredDisplacementSixDt) {
    std::ofstream("a.qcrd") << "atom 1 ion i 0 0 0 0 2.0\nend\n";
    std::ofstream("b.qcrd") << "atom 1 ion i 30 0 0 0 2.0\nend\n";
    test::Session s(deck());
    run_kova(s.k);
    Kova& k = s.k;
    BdRun& b = k.bdrun;
    b.rad1 = 2.0f, b.beta = bdbeta(k.env.temp), b.hifac = bdhifac(k.env.temp, b.svis);
    b.nrun = 1, b.ntraj = 2000, b.maxstp = 200, b.delt = 0.05f;
    b.bsurf = 100, b.qsurf = 1e6f, b.psurf = 0;  // never reacts, never escapes
    b.rnst = false, b.rateon = false, b.frcon = false, b.sphere1 = true;
    b.rcrd[1] = true, b.intr[1] = 200;
    std::string name = "free.trj";
    kvopen(k, k.files.flxunit[1], name, true);
    const BdTotals t = bd(k, b);
    EXPECT_EQ(t.limited, 2000);
    const auto trajs = read_records("free.trj");
    ASSERT_EQ(trajs.size(), 2000u);
    double msd = 0;
    for (const auto& f : trajs) {
        ASSERT_EQ(f.size(), 2u);  // steps 0 and 200
        EXPECT_NEAR(f[1][0], 10.0f, 1e-3f);
        for (int c = 1; c <= 3; ++c) msd += std::pow(double(f[1][c]) - f[0][c], 2);
    }
    msd /= 2000;
    const double D = (1 / 2.0 + 1 / 2.0) * b.hifac / 0.75, want = 6 * D * 10.0;
    EXPECT_NEAR(msd, want, 4 * want * std::sqrt(2.0 / 3 / 2000));
    // The step limit is reported before the trajectory line.
    EXPECT_NE(s.out.str().find("   Number of steps greater than                        200\n    1      200"), std::string::npos);
}

TEST_F(Engine, TwoSubunitsHeldByAConstraintKeepTheirDistance) {
    std::ofstream("a.qcrd") << "atom 1 ion i 0 0 0 0 2.0\nend\n";
    std::ofstream("b.qcrd") << "atom 1 ion i 30 0 0 1 2.0\natom 2 ion i 35 0 0 -1 2.0\nend\n";
    test::Session s("read mol 1 qcard file a.qcrd end read mol 2 qcard file b.qcrd end\n"
                    "edit suni iflx 1 resn 1 2 end\nedit funi iflx 1 hrid 2.0 mdos locc bcon 5.0 tole 0.01 end\n");
    run_kova(s.k);
    Kova& k = s.k;
    ASSERT_EQ(k.mol.units.ncnstr, 1);
    BdRun& b = k.bdrun;
    b.rad1 = 2.0f, b.beta = bdbeta(k.env.temp), b.hifac = bdhifac(k.env.temp, b.svis);
    b.nrun = 1, b.ntraj = 20, b.maxstp = 500, b.delt = 0.1f;
    b.bsurf = 50, b.qsurf = 1e6f, b.psurf = 0;
    b.rnst = false, b.rateon = false, b.sphere2 = true;
    b.rcrd[1] = true, b.intr[1] = 10;
    std::string name = "pair.trj";
    kvopen(k, k.files.flxunit[1], name, true);
    bd(k, b);
    const auto trajs = read_records("pair.trj");
    ASSERT_EQ(trajs.size(), 20u);
    int frames = 0;
    for (const auto& f : trajs)
        for (size_t r = 0; r + 1 < f.size(); r += 2) {
            const double d = std::sqrt(std::pow(f[r][1] - f[r + 1][1], 2) + std::pow(f[r][2] - f[r + 1][2], 2) +
                                       std::pow(f[r][3] - f[r + 1][3], 2));
            EXPECT_NEAR(d, 5.0, 0.01 + 2e-3);  // the tolerance and the records' rounding
            ++frames;
        }
    EXPECT_EQ(frames, 20 * 51);
}

}  // namespace
}  // namespace kova
