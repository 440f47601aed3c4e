// Molecular mechanics: topology reading, the non-bonded pair list against a
// brute-force enumeration, the grid interaction term against closed forms,
// and generalized-Born energies against the Born and Coulomb formulas.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "command/mainloop.hpp"
#include "command/output.hpp"
#include "command/tokens.hpp"
#include "elec/elec.hpp"
#include "elec/grid.hpp"
#include "mech/mech.hpp"
#include "../command/harness.hpp"

namespace kova {
namespace {

namespace fs = std::filesystem;

// Each test works in a fresh folder of its own.
struct Folder : ::testing::Test {
    fs::path old, dir;
    void SetUp() override {
        old = fs::current_path();
        dir = fs::temp_directory_path() /
              ("kova_mech_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        fs::current_path(dir);
    }
    void TearDown() override {
        fs::current_path(old);
        fs::remove_all(dir);
    }
    static void save(const std::string& name, const std::string& text) { std::ofstream(name) << text; }
};

// A run fed with command lines; run() performs the next one as the main
// loop would and tells whether it ended the run.
struct Deck {
    test::Session s;
    Kova& k;
    explicit Deck(std::string input) : s(std::move(input)), k(s.k) { k.flags.bomb = 3; }
    bool run() {
        return s.ends([&] {
            getlin(k, k.files.inunit, "Main");
            Token t = gettok(k);
            dispatch(k, lcase(t.text));
        });
    }
    // Appends a molecule of the given atoms (one residue per entry of res).
    void molecule(const std::vector<std::array<float, 3>>& xyz, const std::vector<int>& res = {}) {
        MoleculeStore& m = k.mol;
        const int mol = ++m.nmol;
        m.fstatm[mol] = m.natom + 1;
        for (size_t a = 0; a < xyz.size(); ++a) {
            const int i = ++m.natom;
            m.x[i] = xyz[a][0], m.y[i] = xyz[a][1], m.z[i] = xyz[a][2];
            m.resnum[i] = res.empty() ? 1 : res[a];
            m.chrg[i] = 0.0f, m.radi[i] = 1.0f;
        }
        m.lstatm[mol] = m.natom;
        m.natmd = m.natom;
    }
};

// The butane fragment (five atoms) and a water (three), as in the decks.
const char* but_top =
    "!NTITLE 1\n* butane fragment\n!NATOM 5\n"
    "     1 CT2    12.011  -0.180  -0.0560  2.0100  -0.0100  1.9000\n"
    "     2 CT2    12.011   0.000  -0.0560  2.0100\n"
    "     3 CT2    12.011   0.000  -0.0560  2.0100\n"
    "     4 CT3    12.011   0.000  -0.0780  2.0400\n"
    "     5 HA      1.008   0.180  -0.0220  1.3200\n"
    "!NBOND: 4\n 1 2 222.5 1.53\n 2 3 222.5 1.53\n 3 4 222.5 1.53\n 1 5 309.0 1.111\n"
    "!NTHETA 3\n 1 2 3 58.35 1.95477\n 2 3 4 58.35 1.95477\n 5 1 2 33.43 1.91986\n"
    "!NPHI: 2\n 1 2 3 4 0.15 3 0.0\n 5 1 2 3 0.19 3 0.0\n"
    "!NIMPHI 1\n 1 2 3 5 10.0 0.5\n"
    "!NFINAL: 6\n 5 4 3 2 1 0\n!NDON 0\n";
const char* wat_top =
    "!NATOM 3\n 1 OT 15.9994 -0.834 -0.1521 1.7682\n 2 HT 1.008 0.417 -0.046 0.2245\n"
    " 3 HT 1.008 0.417 -0.046 0.2245\n"
    "!NBONDS 2\n 1 2 450.0 0.9572\n 1 3 450.0 0.9572\n!NTHETA 1\n 2 1 3 55.0 1.8242\n"
    "!NFINAL: 6\n 3 2 1 0 0 0\n!NDON 0\n";

std::set<int> partners(const Arr1<int, maxxcl>& l, int n) { return {l.begin() + 1, l.begin() + 1 + n}; }
std::set<int> partners14(const Arr1<int, max14>& l, int n) { return {l.begin() + 1, l.begin() + 1 + n}; }

using MechFiles = Folder;

TEST_F(MechFiles, TwoMoleculesReadInTurnAppendWithOffsetAtomNumbers) {
    save("but.top", but_top);
    save("wat.top", wat_top);
    Deck r("rdtop file but.top mol 1 end\nrdtop mol 2 file wat.top end\n");
    r.molecule({{0, 0, 0}, {1.5f, 0, 0}, {2, 1.4f, 0}, {3.5f, 1.4f, 0}, {-0.5f, -0.9f, 0}});
    r.molecule({{10, 0, 0}, {10.9572f, 0, 0}, {9.76f, 0.9266f, 0}});
    ASSERT_FALSE(r.run());
    ASSERT_FALSE(r.run());
    const Topology& t = r.k.ff.top;
    const MoleculeStore& m = r.k.mol;
    EXPECT_EQ(t.nbnd, 6);
    EXPECT_EQ(t.nang, 4);
    EXPECT_EQ(t.ndih, 2);
    EXPECT_EQ(t.nimp, 1);
    // The water's bonds follow the butane's, its atoms offset by 5.
    EXPECT_EQ(std::make_pair(t.ibnd[5], t.jbnd[5]), std::make_pair(6, 7));
    EXPECT_EQ(std::make_pair(t.ibnd[6], t.jbnd[6]), std::make_pair(6, 8));
    EXPECT_FLOAT_EQ(t.kbnd[5], 450.0f);
    EXPECT_FLOAT_EQ(t.bnd0[4], 1.111f);
    EXPECT_EQ(t.iang[4], 7);
    EXPECT_EQ(t.jang[4], 6);
    EXPECT_EQ(t.kang[4], 8);
    EXPECT_EQ(t.ldih[2], 3);
    EXPECT_FLOAT_EQ(t.pn[1], 3.0f);
    EXPECT_EQ(t.limp[1], 5);
    EXPECT_FLOAT_EQ(t.psi0[1], 0.5f);
    // Per atom: type, mass, charge, Lennard-Jones values; the hydrogen type
    // gets radius 1.2 whatever its values, the others their Rmin/2.
    EXPECT_EQ(t.attyp[6].view(), "OT");
    EXPECT_FLOAT_EQ(m.mass[6], 15.9994f);
    EXPECT_FLOAT_EQ(m.chrg[6], -0.834f);
    EXPECT_FLOAT_EQ(m.radi[6], 1.7682f);
    EXPECT_FLOAT_EQ(m.radi[5], 1.2f);
    EXPECT_FLOAT_EQ(m.radi[7], 1.2f);
    EXPECT_FLOAT_EQ(m.radi[4], 2.04f);
    EXPECT_FLOAT_EQ(t.ljpar[1][1], -0.056f);
    EXPECT_FLOAT_EQ(t.ljpar[3][1], -0.01f);
    EXPECT_FLOAT_EQ(t.ljpar[4][1], 1.9f);
    EXPECT_FLOAT_EQ(t.ljpar[3][2], 0.0f);
    // Exclusions one and two bonds away, 1-4 partners three away.
    EXPECT_EQ(partners(t.iexcl[1], t.nexcl[1]), (std::set<int>{2, 3, 5}));
    EXPECT_EQ(partners(t.iexcl[2], t.nexcl[2]), (std::set<int>{1, 3, 4, 5}));
    EXPECT_EQ(partners(t.iexcl[4], t.nexcl[4]), (std::set<int>{2, 3}));
    EXPECT_EQ(partners(t.iexcl[6], t.nexcl[6]), (std::set<int>{7, 8}));
    EXPECT_EQ(partners(t.iexcl[7], t.nexcl[7]), (std::set<int>{6, 8}));
    EXPECT_EQ(partners14(t.i14[1], t.nb14[1]), (std::set<int>{4}));
    EXPECT_EQ(partners14(t.i14[3], t.nb14[3]), (std::set<int>{5}));
    EXPECT_EQ(t.nb14[2], 0);
}

TEST_F(MechFiles, OldLayoutReplacesTheCountsAndReadsPairs) {
    save("all.top",
         "2 1 1 0 2\n"
         " 1 2 300.0 1.5\n 2 3 300.0 1.5\n"
         " 1 2 3 50.0 1.9\n"
         " 1 2 3 4 0.2 2 3.14159\n"
         " 1 4 -0.25 3.5 0.1\n 1 3 0.3 3.2 0.15\n");
    save("short.top", "1 0 0 0 1\n 1 2 300.0 1.5\n 1 9 0.1 3.0 0.1\n");
    Deck r("rdtop old file all.top end\nrdtop old file short.top end\n");
    r.molecule({{0, 0, 0}, {1.5f, 0, 0}, {3, 0, 0}, {4.5f, 0, 0}});
    ASSERT_FALSE(r.run());
    const Topology& t = r.k.ff.top;
    EXPECT_EQ(t.nbnd, 2);
    EXPECT_EQ(t.npair, 2);
    EXPECT_EQ(t.ldih[1], 4);
    EXPECT_FLOAT_EQ(t.phase[1], 3.14159f);
    EXPECT_EQ(t.jpr[2], 3);
    EXPECT_FLOAT_EQ(t.prqq[1], -0.25f);
    EXPECT_FLOAT_EQ(t.prsig[2], 3.2f);
    EXPECT_FLOAT_EQ(t.preps[2], 0.15f);
    // No exclusion lists and no per-atom data in this layout.
    EXPECT_EQ(t.nexcl[1], 0);
    EXPECT_FLOAT_EQ(r.k.mol.radi[1], 1.0f);
    EXPECT_NE(r.s.messages().find(" nbond, nangl, ndihed, nimpro, npair:           2           1           1           0"
                                  "           2\n"),
              std::string::npos)
        << r.s.messages();
    // A pair naming atom 9 of four: refused, and no interaction stays in use.
    EXPECT_TRUE(r.run());
    EXPECT_EQ(r.s.status, exit_abort);
    EXPECT_EQ(t.nbnd + t.nang + t.ndih + t.nimp + t.npair, 0);
    EXPECT_NE(r.s.messages().find("SERIOUS: RDTOP(996) atom number out of range in top file:          9"),
              std::string::npos);
}

TEST_F(MechFiles, AFileEndingEarlyAddsNothingAndAMissingFileIsReported) {
    save("but.top", std::string(but_top).substr(0, std::string(but_top).find("!NDON")));
    Deck r("rdtop file but.top mol 1 end\nrdtop file nosuch.top mol 1 end\n");
    r.molecule({{0, 0, 0}, {1.5f, 0, 0}, {2, 1.4f, 0}, {3.5f, 1.4f, 0}, {-0.5f, -0.9f, 0}});
    ASSERT_FALSE(r.run());
    const Topology& t = r.k.ff.top;
    EXPECT_EQ(t.nbnd + t.nang + t.ndih + t.nimp, 0);
    EXPECT_NE(r.s.messages().find(" Terminating top read on end-of-file\n"), std::string::npos);
    // The same molecule may be read again after a failed read.
    EXPECT_FALSE(t.toprd[1]);
    EXPECT_TRUE(r.run());
    EXPECT_EQ(r.s.status, exit_abort);
    EXPECT_NE(r.s.messages().find(" SERIOUS: RDTOP(998) Unable to open topology file: nosuch.top"), std::string::npos);
}

TEST_F(MechFiles, AnExclusionListBeyondItsCapacityEndsTheRun) {
    // Atom 1 bonded to 21 others: one partner more than its list holds.
    std::string top = "!NATOM 22\n";
    for (int i = 1; i <= 22; ++i) top += std::to_string(i) + " C 12.0 0.0 -0.1 1.9\n";
    top += "!NBONDS 21\n";
    for (int i = 2; i <= 22; ++i) top += "1 " + std::to_string(i) + " 300 1.5\n";
    top += "!NFINAL: 6\n22 21 0 0 0 0\n!NDON 0\n";
    save("star.top", top);
    Deck r("rdtop file star.top mol 1 end\n");
    std::vector<std::array<float, 3>> xyz(22, {0, 0, 0});
    r.molecule(xyz);
    EXPECT_TRUE(r.run());
    EXPECT_EQ(r.s.status, exit_fatal);
    EXPECT_NE(r.s.messages().find(" exceeded maxxcl for atom:           1\n"), std::string::npos) << r.s.messages();
    EXPECT_EQ(r.k.ff.top.nbnd, 0);
}

// The pair list of a hand-built chain against every pair within the cutoff
// less the atoms one or two bonds apart, with the 1-4 pairs scaled.
TEST_F(MechFiles, PairListEqualsBruteForceEnumeration) {
    const int n = 30;
    std::mt19937 gen(7);
    std::uniform_real_distribution<float> u(-6.0f, 6.0f), uq(-0.8f, 0.8f), ue(-0.2f, -0.01f), ur(1.0f, 2.2f);
    std::vector<std::array<float, 3>> xyz;
    std::vector<int> res;
    std::string top = "!NATOM " + std::to_string(n) + "\n";
    std::vector<float> q(n + 1), e1(n + 1), r1(n + 1), e14(n + 1), r14(n + 1);
    for (int i = 1; i <= n; ++i) {
        xyz.push_back({u(gen), u(gen), u(gen)});
        res.push_back((i - 1) / 3 + 1);
        q[size_t(i)] = std::round(uq(gen) * 100) / 100;
        e1[size_t(i)] = std::round(ue(gen) * 1000) / 1000;
        r1[size_t(i)] = std::round(ur(gen) * 100) / 100;
        // Every third atom has 1-4 values of its own.
        e14[size_t(i)] = i % 3 == 0 ? -0.005f : 0.0f;
        r14[size_t(i)] = i % 3 == 0 ? 1.75f : 0.0f;
        const char* type = i == 4 ? "CA" : i == 9 ? "OC" : "CT";
        char rec[120];
        std::snprintf(rec, sizeof rec, "%d %s 12.0 %.2f %.3f %.2f", i, type, q[size_t(i)], e1[size_t(i)],
                      r1[size_t(i)]);
        top += rec;
        if (i % 3 == 0) top += " -0.005 1.75";
        top += "\n";
    }
    // A chain 1-2-...-n: bonds, angles and dihedrals along it.
    top += "!NBONDS " + std::to_string(n - 1) + "\n";
    for (int i = 1; i < n; ++i) top += std::to_string(i) + " " + std::to_string(i + 1) + " 300 1.5\n";
    top += "!NTHETA " + std::to_string(n - 2) + "\n";
    for (int i = 1; i + 2 <= n; ++i)
        top += std::to_string(i) + " " + std::to_string(i + 1) + " " + std::to_string(i + 2) + " 50 1.9\n";
    top += "!NPHI: " + std::to_string(n - 3) + "\n";
    for (int i = 1; i + 3 <= n; ++i)
        top += std::to_string(i) + " " + std::to_string(i + 1) + " " + std::to_string(i + 2) + " " +
               std::to_string(i + 3) + " 0.2 3 0.0\n";
    top += "!NFINAL: 6\n" + std::to_string(n) + " " + std::to_string(n - 1) + " " + std::to_string(n - 2) + " " +
           std::to_string(n - 3) + " 0 0\n!NBFIX 14\nOC CA -0.3 3.9\n";
    for (int r = 2; r <= 14; ++r) top += "Z" + std::to_string(r) + " Z" + std::to_string(r) + " 0 0\n";
    save("chain.top", top);

    Deck r("rdtop file chain.top mol 1 end\nnblist cut atombase 7.5 end\nnblist cut resbase 7.5 end\n"
          "nblist end\nnblist cut resbase 9999 end\n");
    r.molecule(xyz, res);
    ASSERT_FALSE(r.run());
    const double s = std::pow(2.0, -1.0 / 6.0);
    struct Want {
        float sig, eps, qq;
    };
    auto brute = [&](auto within) {
        std::map<std::pair<int, int>, Want> want;
        for (int i = 1; i <= n; ++i)
            for (int j = i + 1; j <= n; ++j) {
                if (j - i <= 2 || !within(i, j)) continue;
                Want w;
                if (j - i == 3) {
                    const bool si = i % 3 == 0, sj = j % 3 == 0;
                    const double ei = si ? -0.005 : e1[size_t(i)], ej = sj ? -0.005 : e1[size_t(j)];
                    const double ri = si ? 1.75 : r1[size_t(i)], rj = sj ? 1.75 : r1[size_t(j)];
                    w = {float((ri + rj) * s), float(std::sqrt(ei * ej)), float(0.5 * q[size_t(i)] * q[size_t(j)])};
                } else {
                    w = {float((r1[size_t(i)] + r1[size_t(j)]) * s), float(std::sqrt(double(e1[size_t(i)]) * e1[size_t(j)])),
                         q[size_t(i)] * q[size_t(j)]};
                }
                // The corrected type pair, named in the other order in the table.
                if ((i == 4 && j == 9) || (i == 9 && j == 4)) w.sig = float(3.9 * s), w.eps = 0.3f;
                want[{i, j}] = w;
            }
        return want;
    };
    auto listed = [&] {
        const Topology& t = r.k.ff.top;
        std::map<std::pair<int, int>, Want> got;
        for (int p = 1; p <= t.npair; ++p)
            got[std::minmax(t.ipr[p], t.jpr[p])] = {t.prsig[p], t.preps[p], t.prqq[p]};
        EXPECT_EQ(int(got.size()), t.npair) << "a pair listed twice";
        return got;
    };
    auto same = [&](const std::map<std::pair<int, int>, Want>& want, const std::map<std::pair<int, int>, Want>& got) {
        ASSERT_EQ(want.size(), got.size());
        for (const auto& [ij, w] : want) {
            auto g = got.find(ij);
            ASSERT_NE(g, got.end()) << ij.first << "-" << ij.second;
            EXPECT_NEAR(g->second.sig, w.sig, 1e-5) << ij.first << "-" << ij.second;
            EXPECT_NEAR(g->second.eps, w.eps, 1e-6) << ij.first << "-" << ij.second;
            EXPECT_NEAR(g->second.qq, w.qq, 1e-6) << ij.first << "-" << ij.second;
        }
    };
    auto d2 = [&](int i, int j) {
        double s2 = 0;
        for (int a = 0; a < 3; ++a) s2 += std::pow(double(xyz[size_t(i - 1)][a]) - xyz[size_t(j - 1)][a], 2);
        return s2;
    };
    ASSERT_FALSE(r.run());
    const auto atom75 = listed();
    same(brute([&](int i, int j) { return d2(i, j) < 7.5 * 7.5; }), atom75);
    EXPECT_GT(atom75.size(), 50u);
    EXPECT_LT(atom75.size(), size_t((n * (n - 1)) / 2 - 2 * n));

    // Residue-based: whole residue pairs by the distance of their centres.
    reslim(r.k);
    ASSERT_EQ(r.k.ff.top.nres, 10);
    ASSERT_FALSE(r.run());
    auto centre = [&](int i) {
        std::array<double, 3> c{};
        const int r0 = (i - 1) / 3 * 3;
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) c[size_t(b)] += xyz[size_t(r0 + a)][b] / 3.0;
        return c;
    };
    same(brute([&](int i, int j) {
             auto ci = centre(i), cj = centre(j);
             double s2 = 0;
             for (int b = 0; b < 3; ++b) s2 += (ci[size_t(b)] - cj[size_t(b)]) * (ci[size_t(b)] - cj[size_t(b)]);
             return s2 < 7.5 * 7.5;
         }),
         listed());
    // With the default cutoff both modes list every pair that is not excluded.
    ASSERT_FALSE(r.run());
    const auto all_atom = listed();
    same(brute([](int, int) { return true; }), all_atom);
    ASSERT_FALSE(r.run());
    same(brute([](int, int) { return true; }), listed());
    EXPECT_NE(r.s.messages().find(" FOUND      378 pairs;       57 exclusions;      27 1-4 pairs; "), std::string::npos)
        << r.s.messages();
}

TEST(MechPairs, LiveFlagsAndThePairLimit) {
    // Atoms that are not live pair only with live ones.
    Deck r("nblist end\nnblist end\n");
    r.molecule({{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}});
    r.k.mol.live[1] = r.k.mol.live[2] = 0;
    ASSERT_FALSE(r.run());
    const Topology& t = r.k.ff.top;
    std::set<std::pair<int, int>> got;
    for (int p = 1; p <= t.npair; ++p) got.insert({t.ipr[p], t.jpr[p]});
    EXPECT_EQ(got, (std::set<std::pair<int, int>>{{1, 3}, {1, 4}, {2, 3}, {2, 4}, {3, 4}}));

    // 201 atoms hold 20100 pairs: the list stops at its capacity.
    std::vector<std::array<float, 3>> many;
    for (int i = 0; i < 197; ++i) many.push_back({float(i % 10) * 3, float(i / 10) * 3, 5});
    r.molecule(many);
    ASSERT_EQ(r.k.mol.natom, 201);
    r.k.mol.live[1] = r.k.mol.live[2] = 1;
    EXPECT_TRUE(r.run());
    EXPECT_EQ(r.s.status, exit_fatal);
    EXPECT_EQ(t.npair, maxpair);
    EXPECT_NE(r.s.messages().find(" LIMIT ON PAIRS       20000 EXCEEDED; NPAIR =        20000\n"), std::string::npos)
        << r.s.messages().substr(r.s.messages().size() - 300);
}

// A real atom against one grid atom: on a grid point the interpolated
// energies are the closed-form Lennard-Jones and Coulomb energies.
TEST_F(MechFiles, GridTermMatchesClosedFormsAndItsOwnGradient) {
    Deck r("nblist cdie 2.0 gridsp 0.5 boxfil box.lines end\n");
    r.molecule({{7.0f, 1.0f, -2.0f}, {1.0f, 1.0f, 1.0f}});
    Kova& k = r.k;
    Topology& t = k.ff.top;
    MoleculeStore& m = k.mol;
    t.ireal[1] = 0;  // atom 1 lives on the grid
    t.ljpar[1][1] = -0.15f, t.ljpar[2][1] = 1.9f, m.chrg[1] = -0.6f;
    t.ljpar[1][2] = -0.08f, t.ljpar[2][2] = 1.6f, m.chrg[2] = 0.4f;
    ASSERT_FALSE(r.run());
    const InteractionGrid& g = k.ff.grid;
    ASSERT_TRUE(g.lgrid);
    // One real atom: the box is its point and the margin, 4 points a side.
    EXPECT_EQ(g.ixg, 4);
    EXPECT_FLOAT_EQ(g.xo, 0.5f);
    EXPECT_EQ(k.ff.top.npair, 1);

    auto energy = [&](double x, double y, double z) {
        k.ff.xd[2] = x, k.ff.yd[2] = y, k.ff.zd[2] = z;
        for (double& f : k.ff.frc) f = 0.0;
        egrid(k);
        return double(k.ff.e[egrd]);
    };
    const double e0 = energy(1.0, 1.0, 1.0);
    const double d = std::sqrt(36.0 + 9.0);
    const double si = std::pow(2.0, -1.0 / 6.0) * 2 * 1.9, sj = std::pow(2.0, -1.0 / 6.0) * 2 * 1.6;
    const double sig = std::sqrt(si * sj), eps = std::sqrt(0.15 * 0.08);
    const double lj = 4 * eps * (std::pow(sig / d, 12) - std::pow(sig / d, 6));
    const double coul = 332.054 * -0.6 * 0.4 / (2.0 * d);
    EXPECT_NEAR(k.ff.e[egrdrep] + k.ff.e[egrdatt], lj, 2e-5 * std::fabs(lj));
    EXPECT_NEAR(k.ff.e[egrdele], coul, 1e-5 * std::fabs(coul));
    EXPECT_NEAR(e0, lj + coul, 1e-5 * std::fabs(lj + coul));
    // Inside a cell the force is minus the gradient of the interpolated
    // energy (central differences within the same cell).
    const double x = 1.13, y = 0.91, z = 1.22, hstep = 0.02;  // linear along an axis within a cell
    energy(x, y, z);
    const double fx = k.ff.f(2, 0), fy = k.ff.f(2, 1), fz = k.ff.f(2, 2);
    EXPECT_NEAR(fx, -(energy(x + hstep, y, z) - energy(x - hstep, y, z)) / (2 * hstep), 1e-3 * std::fabs(fx) + 1e-6);
    EXPECT_NEAR(fy, -(energy(x, y + hstep, z) - energy(x, y - hstep, z)) / (2 * hstep), 1e-3 * std::fabs(fy) + 1e-6);
    EXPECT_NEAR(fz, -(energy(x, y, z + hstep) - energy(x, y, z - hstep)) / (2 * hstep), 1e-3 * std::fabs(fz) + 1e-6);
    // The Coulomb force points away from the negative grid atom's side: the
    // atoms attract, so the force on atom 2 points towards atom 1 (+x).
    EXPECT_GT(fx, 0.0);

    // Off the grid: reported, and a driver with a convergence test told to stop.
    k.ff.ev.iconv = 1;
    energy(9.0, 1.0, 1.0);
    EXPECT_EQ(k.ff.ev.iconv, 2);
    EXPECT_NE(r.s.messages().find(" 1.EGRID - ATOM           2  OFF GRID\n"), std::string::npos) << r.s.messages();

    // The box drawing: twelve edges, each a move and a line.
    std::ifstream box("box.lines");
    std::vector<std::string> lines;
    for (std::string l; std::getline(box, l);) lines.push_back(l);
    ASSERT_EQ(lines.size(), 25u);
    EXPECT_EQ(lines[0], "LINES");
    EXPECT_EQ(lines[1], "    0.50    0.50    0.50  P");
    EXPECT_EQ(lines[2], "    2.50    0.50    0.50  L");
    EXPECT_EQ(lines[24], "    0.50    2.50    2.50  L");
}

TEST(MechGrid, BoxesThatCannotHoldAGridAreRefused) {
    Deck r("nblist cornrs 0 0 0 4 4 4 gridmargin 3 end\n"
           "nblist cornrs 0 0 0 -4 4 4 end\n"
           "nblist gridsp 0.01 end\n");
    r.molecule({{10, 10, 10}, {0, 0, 0}, {3, 3, 3}});
    r.k.ff.top.ireal[1] = 0;
    r.k.flags.bomb = 4;
    // Corners with a margin: the margin is not used (a warning), the box
    // is taken as given.
    ASSERT_FALSE(r.run());
    const InteractionGrid& g = r.k.ff.grid;
    EXPECT_TRUE(g.lgrid);
    EXPECT_EQ(g.ixg, 4);
    EXPECT_FLOAT_EQ(g.xo, 0.0f);
    EXPECT_NE(r.s.messages().find(" using corners.\n"), std::string::npos);
    EXPECT_NE(r.s.messages().find(" WARNING: makgrid(070) grid margin ignored when corners are given:          3"),
              std::string::npos);
    // An upper corner below the lower one: no grid point.
    ASSERT_FALSE(r.run());
    EXPECT_FALSE(g.lgrid);
    EXPECT_NE(r.s.messages().find(" SERIOUS: makgrid(080)"), std::string::npos);
    // About 300 points a side (a 3 A box at 0.01 A) are too many.
    EXPECT_TRUE(r.run());
    EXPECT_EQ(r.s.status, exit_fatal);
    EXPECT_NE(r.s.messages().find(" GRID TOO BIG \n IXG, IYG, IZG          30"), std::string::npos) << r.s.messages();
}

// Born energy of an ion in the units of the electrostatics code:
// q^2 / (8 pi eps0 a) (1/eps_in - 1/eps_out), in kcal/mol.
double born(double q, double a, double din, double dout) {
    return -q * q / (8 * M_PI * eps0 * a) * (1 / din - 1 / dout) * to_kcal;
}

TEST_F(MechFiles, GeneralizedBornGivesTheBornAndScreenedCoulombEnergies) {
    save("ion.top", "!NATOM 1\n 1 NA 22.99 1.0 -0.05 1.8\n!NFINAL: 6\n 1 0 0 0 0 0\n!NDON 0\n");
    save("pair.top",
         "!NATOM 2\n 1 NA 22.99 1.0 -0.05 1.5\n 2 CL 35.45 -1.0 -0.15 2.2\n!NFINAL: 6\n 2 0 0 0 0 0\n!NDON 0\n");
    Deck r("rdtop file ion.top mol 1 end\ngbn init pdie 1 sdie 80 end\ngbn calc end\n"
          "rdtop file pair.top mol 2 end\ngbn init mol 2 end\ngbn calc mol 2 end\n");
    r.molecule({{0, 0, 0}});
    r.molecule({{20, 0, 0}, {80, 0, 0}});
    for (int c = 0; c < 3; ++c) ASSERT_FALSE(r.run());
    const GBStore& gb = r.k.ff.gb;
    // The Born radius of a lone atom is its radius plus the offset and P1.
    const double a = 1.8 - 0.09 + 0.073;
    EXPECT_NEAR(gb.alpha[1], a, 1e-5);
    const double b1 = born(1.0, a, 1.0, 80.0);
    EXPECT_NEAR(r.k.ff.e[egb], b1, 5e-4 * std::fabs(b1));
    // Within the method's radius offset of the Born energy of the bare sphere.
    EXPECT_NEAR(r.k.ff.e[egb], born(1.0, 1.8, 1.0, 80.0), 0.01 * std::fabs(b1));

    // Two ions 60 A apart: two Born energies plus the change of their Coulomb
    // energy from the interior to the solvent dielectric.
    for (int c = 0; c < 3; ++c) ASSERT_FALSE(r.run());
    const double a2 = 1.5 - 0.017, a3 = 2.2 - 0.017;
    const double cross = 1.0 / (4 * M_PI * eps0 * 60.0) * (1 - 1 / 80.0) * to_kcal;
    const double want = born(1, a2, 1, 80) + born(-1, a3, 1, 80) + cross;
    EXPECT_NEAR(gb.alpha[2], a2, 1e-4);
    EXPECT_NEAR(r.k.ff.e[egb], want, 5e-4 * std::fabs(want));
    EXPECT_GT(r.k.ff.e[egb] - (born(1, a2, 1, 80) + born(-1, a3, 1, 80)), 0.0);  // opposite charges: less solvation
}

}  // namespace
}  // namespace kova
