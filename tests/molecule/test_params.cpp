// The parameter database: sorting and hunting search against plain
// reference algorithms, the table format, assignment and the molecule
// summaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "../command/harness.hpp"
#include "command/mainloop.hpp"
#include "molecule/params.hpp"

using namespace kova;
namespace fs = std::filesystem;

TEST(Params, HeapsortAndHuntingSearchAgreeWithPlainAlgorithms) {
    std::mt19937 gen(12345);
    const char letters[] = "abcdeghnos";
    auto name = [&](int len) {
        std::string s;
        for (int i = 0; i < len; ++i) s += letters[gen() % 10];
        return s;
    };
    for (int trial = 0; trial < 50; ++trial) {
        int n = 1 + static_cast<int>(gen() % 300);
        std::vector<Name4> res(n + 1), atm(n + 1);
        std::vector<int> perm(n + 1);
        std::vector<std::pair<std::string, std::string>> orig(n + 1);
        for (int i = 1; i <= n; ++i) {
            res[i] = Name4(name(1 + gen() % 3));
            atm[i] = Name4(name(1 + gen() % 4));
            orig[i] = {std::string(res[i].padded()), std::string(atm[i].padded())};
            perm[i] = i;
        }
        srttab(res.data(), atm.data(), n, perm.data());
        for (int i = 1; i <= n; ++i) {
            // The permutation follows the moves.
            EXPECT_EQ(orig[perm[i]].first, res[i].padded());
            EXPECT_EQ(orig[perm[i]].second, atm[i].padded());
            if (i > 1) {
                auto a = std::make_pair(std::string(res[i - 1].padded()), std::string(atm[i - 1].padded()));
                auto b = std::make_pair(std::string(res[i].padded()), std::string(atm[i].padded()));
                EXPECT_LE(a, b);
            }
        }
        // Every present pair is found from any starting guess; absent pairs are not.
        int pos = 0;
        for (int q = 0; q < 200; ++q) {
            Name4 r(name(1 + gen() % 3)), a(name(1 + gen() % 4));
            bool present = false;
            for (int i = 1; i <= n; ++i) present |= res[i] == r && atm[i] == a;
            if (gen() % 4 == 0) pos = static_cast<int>(gen() % (n + 3)) - 1;
            hnttab(r, a, res.data(), atm.data(), n, pos);
            if (present) {
                ASSERT_GE(pos, 1);
                EXPECT_TRUE(res[pos] == r && atm[pos] == a);
            } else {
                EXPECT_EQ(pos, 0);
            }
            if (pos == 0) pos = 1;
        }
    }
    int pos = 5;
    hnttab(Name4("a"), Name4("b"), nullptr, nullptr, 0, pos);
    EXPECT_EQ(pos, 0);
}

TEST(Params, MoleculeSizeIsHalfTheLargestExtent) {
    MoleculeStore m;
    m.x[1] = 0, m.y[1] = 0, m.z[1] = 0, m.radi[1] = 1.5f;
    EXPECT_FLOAT_EQ(calca(m, 1, 1), 1.5f);  // one atom: its radius
    m.x[2] = 3, m.y[2] = 4, m.z[2] = 0, m.radi[2] = 1.0f;
    EXPECT_FLOAT_EQ(calca(m, 1, 2), (5.0f + 1.5f + 1.0f) / 2);
    m.radi[2] = 10.0f;  // a large atom's own diameter can dominate
    EXPECT_FLOAT_EQ(calca(m, 1, 2), 10.0f);
    EXPECT_EQ(calca(m, 3, 2), 0.0f);  // empty range
}

class SetCommand : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("kova_set_" + std::to_string(::getpid()));
        fs::create_directories(dir);
        old = fs::current_path();
        fs::current_path(dir);
        std::ofstream("t.dat") << "equivalence\ngly ha1 ala ca\n\n"
                                  "amber\nresi atom chrg end\nala ca 9.0\n\n"
                                  "opls\nresi atom chrg charge radi mass\nsigm epsi end\n"
                                  "ala n -0.5 7.0 1.65 14.007 3.25 0.17\n"
                                  "ala ca 0.25 7.0 1.87 13.019 3.50 0.066\n";
        std::ofstream("a.pdb") << "ATOM 1 N ALA 1 0.0 0.0 0.0\nATOM 2 CA ALA 1 1.5 0.0 0.0\n"
                                  "ATOM 3 HA1 GLY 2 3.0 0.0 0.0\nATOM 4 X UNK 3 6.0 0.0 0.0\n";
        std::ofstream("w.pdb") << "ATOM 1 CA ALA 1 0.0 0.0 0.0\n";
    }
    void TearDown() override {
        fs::current_path(old);
        fs::remove_all(dir);
    }
    fs::path dir, old;
};

TEST_F(SetCommand, AssignsFromTheRequestedSetAndColumns) {
    test::Session s("read mol 1 pdb file a.pdb end read mol 2 pdb file w.pdb end\n"
                    "set char radi sigm epsi mass file t.dat end stop\n");
    run_kova(s.k);
    const MoleculeStore& m = s.k.mol;
    EXPECT_EQ(s.k.qtb.nentry, 2);  // found after skipping the amber set
    EXPECT_FLOAT_EQ(m.chrg[1], -0.5f);  // from chrg, not from the discarded "charge" column
    EXPECT_FLOAT_EQ(m.radi[1], 1.65f);
    EXPECT_FLOAT_EQ(m.mass[1], 14.007f);
    EXPECT_FLOAT_EQ(m.ljsig[2], 3.5f);
    EXPECT_FLOAT_EQ(m.ljeps[2], 0.066f);
    EXPECT_FLOAT_EQ(m.chrg[3], 0.25f);  // gly ha1 borrows ala ca
    EXPECT_FLOAT_EQ(m.radi[3], 1.87f);
    EXPECT_EQ(m.chrg[4], -9999.0f);     // no entry: nothing given
    // Net charge over all atoms, assigned or not; size from the radii.
    EXPECT_FLOAT_EQ(m.qmol[1], -0.5f + 0.25f + 0.25f - 9999.0f);
    EXPECT_FLOAT_EQ(m.qmol[2], 0.25f);
    EXPECT_FLOAT_EQ(m.molsiz[2], 1.87f);
}

TEST_F(SetCommand, OnlyTheChosenMoleculeChangesButEverySummaryIsRecomputed) {
    test::Session s("read mol 1 pdb file a.pdb end read mol 2 pdb file w.pdb end\n"
                    "set char file t.dat end set radi char mol 2 end stop\n");
    run_kova(s.k);
    const MoleculeStore& m = s.k.mol;
    EXPECT_EQ(m.radi[1], -9999.0f);
    EXPECT_FLOAT_EQ(m.radi[5], 1.87f);
    EXPECT_FLOAT_EQ(m.molsiz[2], 1.87f);
    EXPECT_NE(s.out.str().find("  Using previously read database"), std::string::npos);
}

TEST_F(SetCommand, TableLimitsAreRefusedNotOverflowed) {
    std::ofstream f("big.dat");
    f << "opls\nresi atom chrg end\n";
    for (int i = 0; i < maxqtb + 5; ++i) f << "r" << i % 100 << " a" << i / 100 << " 0.0\n";
    f.close();
    test::Session s("read mol 1 pdb file a.pdb end mode bomb fata end set char file big.dat end stop\n");
    run_kova(s.k);
    EXPECT_EQ(s.k.qtb.nentry, maxqtb);
    EXPECT_NE(s.out.str().find("SERIOUS: inpqtb(050) More than 1000 entries"), std::string::npos);
    std::ofstream g("cols.dat");
    g << "opls\nresi atom a b c d e f g h i j k l m n o end\nala n 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15\n";
    g.close();
    test::Session c("read mol 1 pdb file a.pdb end mode bomb fata end set char file cols.dat end stop\n");
    run_kova(c.k);
    EXPECT_NE(c.out.str().find("SERIOUS: inpqtb(040) More than 16 columns"), std::string::npos);
    EXPECT_EQ(c.k.qtb.nentry, 0);
}

TEST(Params, MoleculeSizeAgreesWithEveryPair) {
    // The pruned search against the plain quadratic definition, on random
    // clouds with random radii (negative ones too: unset radii are -9999).
    std::mt19937 gen(99);
    std::uniform_real_distribution<float> pos(-20, 20), rad(-1, 3);
    for (int trial = 0; trial < 30; ++trial) {
        MoleculeStore m;
        int n = 1 + static_cast<int>(gen() % 300);
        for (int i = 1; i <= n; ++i) m.x[i] = pos(gen), m.y[i] = pos(gen) / 3, m.z[i] = pos(gen) / 5, m.radi[i] = rad(gen);
        if (trial % 5 == 0) m.radi[1] = -9999.0f;
        double best = -1e30;
        for (int i = 1; i <= n; ++i)
            for (int j = i; j <= n; ++j) {
                double dx = m.x[i] - m.x[j], dy = m.y[i] - m.y[j], dz = m.z[i] - m.z[j];
                best = std::max(best, std::sqrt(dx * dx + dy * dy + dz * dz) + m.radi[i] + m.radi[j]);
            }
        EXPECT_NEAR(calca(m, 1, n), 0.5 * best, 1e-4 * std::fabs(best)) << trial;
    }
}
