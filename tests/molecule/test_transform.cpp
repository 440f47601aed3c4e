// The man command (translations, rotations about an origin, centring,
// composition and inversion of rotations, setting a dihedral angle and
// measuring it with print), trq's refusal of a zero axis, ligand placement
// with trans, and the real and live flags.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>

#include "../command/harness.hpp"
#include "../command/scratch.hpp"
#include "command/mainloop.hpp"
#include "mech/mech.hpp"
#include "molecule/print.hpp"
#include "molecule/transform.hpp"

using namespace kova;

namespace {

class ManCommand : public test::ScratchFolder {
protected:
    ManCommand() : ScratchFolder("kova_man_") {}
    void SetUp() override {
        ScratchFolder::SetUp();
        std::ofstream("a.qcrd") << "atom 1 ala c1 1.0 2.0 3.0 0 1.5\natom 1 ala c2 -1.0 0.5 2.0 0 1.5\nend\n";
        std::ofstream("b.qcrd") << "atom 1 gly c1 2.0 0.0 0.0 0 1.5\natom 2 gly c2 0.0 -3.0 1.0 0 1.5\nend\n";
        // A butane-like chain 1-2-3-4 with an atom 5 bonded to 4 and an
        // atom 6 bonded to 1 (bonds of 1.5 A, angles near 110 degrees).
        std::ofstream("chain.qcrd") << "atom 1 but c1  0.000  1.400  0.300 0 1.7\n"
                                       "atom 1 but c2  0.000  0.000  0.000 0 1.7\n"
                                       "atom 1 but c3  1.500  0.000  0.000 0 1.7\n"
                                       "atom 1 but c4  2.000  1.300  0.600 0 1.7\n"
                                       "atom 1 but c5  3.500  1.400  0.700 0 1.7\n"
                                       "atom 1 but c6 -1.200  2.100  0.500 0 1.7\nend\n";
    }
    static std::string deck(const std::string& body) {
        return "mode bomb fata end\nread mol 1 qcard file a.qcrd end read mol 2 qcard file b.qcrd end\n" + body +
               "\nstop\n";
    }
};

double distance(const MoleculeStore& m, int a, int b) {
    return std::sqrt((m.x[a] - m.x[b]) * (m.x[a] - m.x[b]) + (m.y[a] - m.y[b]) * (m.y[a] - m.y[b]) +
                     (m.z[a] - m.z[b]) * (m.z[a] - m.z[b]));
}

}  // namespace

TEST_F(ManCommand, TranslationsRotationsAndCentring) {
    test::Session s(deck("man mol 1 xtrans 5.0 ytrans 2.0 end\n"
                         "man mol 2 zrot 90.0 orig 1.0 0.0 0.0 end\n"
                         "man xtrans 1.0 end"));
    run_kova(s.k);
    const MoleculeStore& m = s.k.mol;
    // The last function word wins: y only.
    EXPECT_FLOAT_EQ(m.x[1], 1.0f);
    EXPECT_FLOAT_EQ(m.y[1], 4.0f);
    EXPECT_FLOAT_EQ(m.y[2], 2.5f);
    // (2, 0, 0) about (1, 0, 0) by 90 degrees counter-clockwise: (1, 1, 0).
    EXPECT_NEAR(m.x[3], 1.0f, 1e-6);
    EXPECT_NEAR(m.y[3], 1.0f, 1e-6);
    // (0, -3, 1): (1 + 3, -1, 1).
    EXPECT_NEAR(m.x[4], 4.0f, 1e-6);
    EXPECT_NEAR(m.y[4], -1.0f, 1e-6);
    EXPECT_NEAR(m.z[4], 1.0f, 1e-6);
    // The molecule centres follow.
    EXPECT_NEAR(m.molcx[2], 2.5f, 1e-6);
    EXPECT_NEAR(m.molcy[1], 3.25f, 1e-6);
    EXPECT_NE(s.out.str().find("   Translating in the y-direction by     2.000 A"), std::string::npos);

    test::Session c(deck("man all center end"));
    run_kova(c.k);
    const MoleculeStore& n = c.k.mol;
    double cx = 0, cy = 0, cz = 0;
    for (int a = 1; a <= 4; ++a) cx += n.x[a], cy += n.y[a], cz += n.z[a];
    EXPECT_NEAR(cx, 0.0, 1e-5);
    EXPECT_NEAR(cy, 0.0, 1e-5);
    EXPECT_NEAR(cz, 0.0, 1e-5);
    // Molecule 1 was at (0, 1.25, 2.5), the whole centre at (0.5, -0.125, 1.5).
    EXPECT_NEAR(n.molcx[1], -0.5f, 1e-6);
    EXPECT_NEAR(n.molcy[1], 1.375f, 1e-6);
    EXPECT_NEAR(n.molcz[1], 1.0f, 1e-6);
}

TEST_F(ManCommand, RotationsComposeAndInvert) {
    test::Session s(deck("man all xrot 37.0 orig 0.5 -1.0 2.0 end\nman all yrot 21.0 end man all zrot -50.0 end\n"
                         "man all zrot 50.0 end man all yrot -21.0 end\nman all xrot -37.0 orig 0.5 -1.0 2.0 end\n"
                         "man mol 2 zrot 30.0 end man mol 2 zrot 60.0 end"));
    run_kova(s.k);
    const MoleculeStore& m = s.k.mol;
    const float x0[4] = {1.0f, -1.0f, 2.0f, 0.0f}, y0[4] = {2.0f, 0.5f, 0.0f, -3.0f}, z0[4] = {3.0f, 2.0f, 0.0f, 1.0f};
    for (int a = 1; a <= 2; ++a) {
        EXPECT_NEAR(m.x[a], x0[a - 1], 2e-6) << a;
        EXPECT_NEAR(m.y[a], y0[a - 1], 2e-6) << a;
        EXPECT_NEAR(m.z[a], z0[a - 1], 2e-6) << a;
    }
    // Two turns of 30 and 60 degrees make one of 90: (x, y) -> (-y, x).
    EXPECT_NEAR(m.x[3], 0.0f, 2e-6);
    EXPECT_NEAR(m.y[3], 2.0f, 2e-6);
    EXPECT_NEAR(m.x[4], 3.0f, 2e-6);
    EXPECT_NEAR(m.y[4], 0.0f, 2e-6);
    EXPECT_NEAR(m.z[4], 1.0f, 2e-6);
}

TEST_F(ManCommand, SetDihedralIsWhatPrintMeasures) {
    for (float target : {60.0f, -120.0f, 179.5f, 0.0f, -0.25f}) {
        const std::string t = std::to_string(target);
        test::Session s("read mol 1 qcard file chain.qcrd end\n"
                        "man dihe atnu 1 2 3 4 angl " + t + " dist 1.7 end\n"
                        "print atnu 1 2 3 4 dihe end\nstop\n");
        EXPECT_EQ(run_kova(s.k), 0) << s.out.str();
        const MoleculeStore& m = s.k.mol;
        double phi = 0;
        ASSERT_TRUE(dhdclc(s.k, 1, 2, 3, 4, 1, phi));
        EXPECT_NEAR(phi * 57.29578, target, 2e-4) << target;
        char line[80];
        std::snprintf(line, sizeof line, "DIHEDRAL ANGLE FOR ATOMS,     1     2     3     4:%8.3f", target);
        EXPECT_NE(s.out.str().find(line), std::string::npos) << s.out.str();
        // The 3-4-5 side turned rigidly, the 1-2 side did not move.
        EXPECT_NEAR(distance(m, 4, 5), std::sqrt(2.27), 1e-5);
        EXPECT_NEAR(distance(m, 2, 5), std::sqrt(3.5 * 3.5 + 1.4 * 1.4 + 0.7 * 0.7), 1e-4);
        EXPECT_FLOAT_EQ(m.x[6], -1.2f);
        EXPECT_FLOAT_EQ(m.y[1], 1.4f);
    }
}

TEST_F(ManCommand, DegenerateDihedralsAndAxesAreRefused) {
    // Atoms 2 and 3 on one point: neither an axis nor a dihedral angle.
    std::ofstream("flat.qcrd") << "atom 1 x a 0 1 0 0 1\natom 1 x b 0 0 0 0 1\natom 1 x c 0 0 0 0 1\n"
                                  "atom 1 x d 1 0 1 0 1\nend\n";
    test::Session s("mode bomb fata end\nread mol 1 qcard file flat.qcrd end\n"
                    "man dihe atnu 1 2 3 4 angl 60.0 end\nprint atnu 1 2 3 4 dihe end\n"
                    "man dihe atnu 1 2 3 9 angl 60.0 end\nman mol 1 frob end\nstop\n");
    run_kova(s.k);
    const std::string o = s.out.str();
    EXPECT_NE(o.find("SERIOUS: Man(040) dihedral angle undefined: three of its atoms coincide or lie on one line"),
              std::string::npos)
        << o;
    EXPECT_NE(o.find("SERIOUS: prt(060) dihedral angle undefined"), std::string::npos);
    EXPECT_NE(o.find("SERIOUS: prtdih(020) Unassigned atom"), std::string::npos);
    EXPECT_NE(o.find("SERIOUS: Man(020) unknown keyword: frob"), std::string::npos);
    EXPECT_FLOAT_EQ(s.k.mol.x[4], 1.0f);
    EXPECT_FALSE(trq(s.k, {1, 4}, 2, 3, 0.5));
    EXPECT_FLOAT_EQ(s.k.mol.x[4], 1.0f);
    EXPECT_TRUE(trq(s.k, {1, 4}, 1, 2, 3.14159265358979));  // half a turn about the y axis
    EXPECT_NEAR(s.k.mol.x[4], -1.0f, 1e-6);
    EXPECT_NEAR(s.k.mol.z[4], -1.0f, 1e-6);
    // A ring: turning about one of its bonds is refused.
    std::ofstream("ring.qcrd") << "atom 1 x a 0 0 0 0 1\natom 1 x b 1.4 0 0 0 1\natom 1 x c 2.1 1.2 0 0 1\n"
                                  "atom 1 x d 1.4 2.4 0 0 1\natom 1 x e 0 2.4 0 0 1\natom 1 x f -0.7 1.2 0 0 1\nend\n";
    test::Session r("mode bomb fata end\nread mol 1 qcard file ring.qcrd end\n"
                    "man dihe atnu 1 2 3 4 angl 60.0 end\nstop\n");
    run_kova(r.k);
    EXPECT_NE(r.out.str().find("SERIOUS: Man(080) the bond of the dihedral lies in a ring"), std::string::npos);
    EXPECT_FLOAT_EQ(r.k.mol.z[4], 0.0f);
}

TEST_F(ManCommand, TransPlacesTheLigandInAFreeCubeAndRealLiveFlags) {
    // Molecule 2 blocks the cubes around (0, 0, 0) and (0, -3, 1); the box
    // has no doors, so the faces are blocked too.
    test::Session s(deck("trans mol 1 center 0.0 0.0 0.0 xlim -4.0 4.0\nylim -4.0 4.0 zlim -4.0 4.0 end\n"
                         "real sele molecule 2 end end\nlive sele atom 3 end not end"));
    EXPECT_EQ(run_kova(s.k), 0) << s.out.str();
    EXPECT_EQ(s.out.str().find("SERIOUS"), std::string::npos) << s.out.str();
    const MoleculeStore& m = s.k.mol;
    // The ligand centre sits on a cube centre (integer coordinates) at
    // least two cubes from every blocked one.
    for (float c : {m.ligcen[0], m.ligcen[1], m.ligcen[2]}) {
        EXPECT_NEAR(c, std::round(c), 1e-5);
        EXPECT_LE(std::fabs(c), 2.0f);
    }
    EXPECT_GE(std::fabs(m.ligcen[0] - 2.0f) + std::fabs(m.ligcen[1]) + std::fabs(m.ligcen[2]), 2.0f);
    EXPECT_NEAR(distance(m, 1, 2), std::sqrt(4.0 + 2.25 + 1.0), 1e-5);  // moved rigidly
    EXPECT_NE(s.out.str().find("*** MESH IS "), std::string::npos);
    // Real: molecule 2; live: all but atom 3, and only real atoms.
    EXPECT_EQ(s.k.ff.top.ireal[1], 0);
    EXPECT_EQ(s.k.ff.top.ireal[3], 1);
    EXPECT_EQ(m.live[1], 0);
    EXPECT_EQ(m.live[3], 0);
    EXPECT_EQ(m.live[4], 1);
    EXPECT_EQ(m.nreal, 2);
    // A box given only in part stops the run.
    test::Session t(deck("trans mol 1 xlim -4.0 4.0 end"));
    EXPECT_EQ(run_kova(t.k), 1);
    EXPECT_NE(t.out.str().find("BINDING SITE NOT FULLY SPECIFIED !"), std::string::npos);
}

TEST(ManTopology, DihedralFromTheTopologyTurnedOverTopologyBonds) {
    // The words of man and then of print, read by the drivers called below.
    test::Session s("dihe dihn 1 angl -75.0 top end\ndihn 1 dihe end\n");
    MoleculeStore& m = s.k.mol;
    const float c[6][3] = {{0, 1.4f, 0.3f}, {0, 0, 0}, {1.5f, 0, 0}, {2, 1.3f, 0.6f}, {3.5f, 1.4f, 0.7f}, {0.8f, 0, 0}};
    m.nmol = 1, m.natom = 6, m.fstatm[1] = 1, m.lstatm[1] = 6;
    for (int a = 1; a <= 6; ++a) m.x[a] = c[a - 1][0], m.y[a] = c[a - 1][1], m.z[a] = c[a - 1][2];
    Topology& t = s.k.ff.top;
    // Bonds 1-2, 2-3, 3-4, 4-5; atom 6, though near atom 3, has no bond.
    const int b[4][2] = {{1, 2}, {2, 3}, {3, 4}, {4, 5}};
    for (const auto& p : b) ++t.nbnd, t.ibnd[t.nbnd] = p[0], t.jbnd[t.nbnd] = p[1];
    t.ndih = 1, t.idih[1] = 1, t.jdih[1] = 2, t.kdih[1] = 3, t.ldih[1] = 4;
    man(s.k);
    prt(s.k);
    double phi = 0;
    ASSERT_TRUE(dhdclc(s.k, 1, 2, 3, 4, 1, phi));
    EXPECT_NEAR(phi * 57.29578, -75.0, 2e-4);
    EXPECT_NE(s.out.str().find("DIHEDRAL ANGLE FOR ATOMS,     1     2     3     4: -75.000"), std::string::npos)
        << s.out.str();
    EXPECT_FLOAT_EQ(m.x[6], 0.8f);
    EXPECT_NEAR(distance(m, 4, 5), std::sqrt(2.27), 1e-5);
}
