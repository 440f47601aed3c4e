// The bd command: defaults restored by each command with the temperature,
// seeds and rad1 kept; keyword matching; the diffusion factor against
// kT/(8 pi eta) in SI units; time-step regions; refused values and refused
// commands; the substrate exclusion grid against a brute-force sphere test;
// units built for molecules not yet in any unit.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>

#include "../command/harness.hpp"
#include "../command/scratch.hpp"
#include "bd/bdrun.hpp"
#include "command/mainloop.hpp"
#include "command/output.hpp"

using namespace kova;

namespace {

class BdCommand : public test::ScratchFolder {
protected:
    BdCommand() : ScratchFolder("kova_bdcmd_") {}
    void SetUp() override {
        ScratchFolder::SetUp();
        std::ofstream("ion.qcrd") << "atom 1 ion i 0 0 0 1.0 3.0\nend\n";
        std::ofstream("pep.qcrd") << "atom 1 ala n  0 0 0 -0.5 1.8\n"
                                     "atom 1 ala ca 1 0 0 0.25 1.9\n"
                                     "atom 2 gly ca 4 0 0 0.5 1.9\n"
                                     "end\n";
    }
    static std::string two(const std::string& body) {
        return "read mol 1 qcard file ion.qcrd end read mol 2 qcard file pep.qcrd end\n" + body + "\nstop\n";
    }
};

// kT/(8 pi eta) in A^3/ps from SI constants: an independent check of the
// internal-unit factors (gas constant in amu A^2/ps^2/K, cP to amu/(A ps)).
double hifac_si(double temp, double cp) {
    const double kb = 1.380649e-23;            // J/K
    const double eta = cp * 1.0e-3;            // Pa s
    const double m3_per_s = kb * temp / (8.0 * 3.14159265358979 * eta);
    return m3_per_s * 1.0e30 / 1.0e12;         // A^3 per ps
}

}  // namespace

TEST_F(BdCommand, EachCommandRestoresDefaultsButKeepsTemperatureSeedsAndRad1) {
    test::Session t(two("bd temp 310 ijsd1 100 klsd1 200 rad1 20 nruns 5 ntraj 7 bsurf 50\n"
                        "  svis 1.0 delt 0.002 noforce nora zhou mrxn zkap 0.5 vtim 1 40 2\n"
                        "  srad 1.5 end"));
    run_kova(t.k);
    const BdRun& a = t.k.bdrun;
    EXPECT_EQ(a.nrun, 5);  // "nruns" matches nrun by its first four letters
    EXPECT_EQ(a.ntraj, 7);
    EXPECT_FALSE(a.frcon);
    EXPECT_FALSE(a.rndon);
    EXPECT_FALSE(a.ctim);
    EXPECT_TRUE(t.k.rxn.mrxn);
    EXPECT_NEAR(a.hifac, hifac_si(310, 1.0), 2e-4 * a.hifac);
    // The generator was re-seeded from the seeds given.
    EXPECT_EQ(t.k.rnd.raset1.u, RandomState(100, 200).u);

    test::Session u(two("bd temp 310 ijsd1 100 rad1 20 nrun 5 ntraj 7 bsurf 50 svis 1.0\n"
                        "  delt 0.002 noforce nora zhou mrxn zkap 0.5 vtim 1 40 2 srad 1.5\n"
                        "  end\nbd end"));
    run_kova(u.k);
    const BdRun& b = u.k.bdrun;
    EXPECT_FLOAT_EQ(u.k.env.temp, 310.0f);
    EXPECT_EQ(u.k.rnd.ijsd1, 100);
    EXPECT_FLOAT_EQ(b.rad1, 20.0f);
    const BdRun fresh;
    EXPECT_EQ(b.nrun, fresh.nrun);
    EXPECT_EQ(b.ntraj, fresh.ntraj);
    EXPECT_FLOAT_EQ(b.bsurf, 80.0f);
    EXPECT_FLOAT_EQ(b.delt, 0.001f);
    EXPECT_FLOAT_EQ(b.srad, 0.0f);
    EXPECT_TRUE(b.frcon && b.rndon && b.ctim && b.rateon);
    EXPECT_FALSE(b.zhou);
    EXPECT_FALSE(u.k.rxn.mrxn);
    EXPECT_FLOAT_EQ(u.k.rxn.zkap, 1.0f);
    EXPECT_EQ(b.nreg, 0);
    EXPECT_EQ(b.calctp, "setup");
    // Viscosity back to 0.89 cP, the diffusion factor at the kept 310 K.
    EXPECT_NEAR(b.svis * internal_to_cp, 0.89f, 1e-5);
    EXPECT_NEAR(b.hifac, hifac_si(310, 0.89), 2e-4 * b.hifac);
    EXPECT_NEAR(b.beta, 1.0 / (0.83144647 * 310), 1e-9);
}

TEST_F(BdCommand, TemperatureAndViscosityInEitherOrderGiveOneDiffusionFactor) {
    test::Session a(two("bd temp 277 svis 1.3 end")), b(two("bd svis 1.3 temp 277 end"));
    run_kova(a.k);
    run_kova(b.k);
    EXPECT_EQ(a.k.bdrun.hifac, b.k.bdrun.hifac);
    EXPECT_NEAR(a.k.bdrun.hifac, hifac_si(277, 1.3), 2e-4 * a.k.bdrun.hifac);
}

TEST_F(BdCommand, KeywordsMatchWholeWordsExceptTheFourLetterOnes) {
    // ctime is not ctim: stopped at the default level.
    test::Session a(two("bd ctime end"));
    EXPECT_EQ(run_kova(a.k), exit_abort);
    EXPECT_NE(a.messages().find("SERIOUS: bddrv(010) unknown keyword: ctime"), std::string::npos);
    // Abbreviations of whole-word keywords are unknown; the four-letter
    // ones take any ending.
    test::Session b(two("mode bomb erro end\n"
                    "bd ntra nrunning 4 random nrates zhoux zkappa 2 restart end end"));
    run_kova(b.k);
    EXPECT_NE(b.messages().find("unknown keyword: ntra"), std::string::npos);
    EXPECT_EQ(b.k.bdrun.nrun, 4);
    EXPECT_TRUE(b.k.bdrun.rndon);
    EXPECT_FALSE(b.k.bdrun.rateon);
    EXPECT_TRUE(b.k.bdrun.zhou);
    EXPECT_FLOAT_EQ(b.k.rxn.zkap, 2.0f);
    EXPECT_TRUE(b.k.bdrun.rest);
}

TEST_F(BdCommand, TimeStepRegionsReachToTheQSurface) {
    test::Session a(two("bd qsurf 200 vtim 2 50 1 100 2 end"));
    run_kova(a.k);
    const BdRun& r = a.k.bdrun;
    EXPECT_FALSE(r.ctim);
    EXPECT_EQ(r.nreg, 2);
    EXPECT_FLOAT_EQ(r.regub[1], 50.0f);
    EXPECT_FLOAT_EQ(r.regub[2], 100.0f);
    EXPECT_FLOAT_EQ(r.regmul[2], 2.0f);
    for (int i = 3; i <= maxreg; ++i) {
        EXPECT_FLOAT_EQ(r.regub[i], 200.0f);
        EXPECT_FLOAT_EQ(r.regmul[i], 1.0f);
    }
    // A q surface given after the regions moves the regions not given.
    test::Session b(two("bd vtim 2 50 1 100 2 qsurf 300 end"));
    run_kova(b.k);
    EXPECT_FLOAT_EQ(b.k.bdrun.regub[2], 100.0f);
    EXPECT_FLOAT_EQ(b.k.bdrun.regub[5], 300.0f);
    // More than five regions: the first five are kept, every pair read.
    test::Session c(two("bd vtim 6 10 1 20 2 30 3 40 4 50 5 60 6 nrun 2 end"));
    run_kova(c.k);
    EXPECT_NE(c.messages().find("WARNING: only allowed      5 regions"), std::string::npos);
    EXPECT_EQ(c.k.bdrun.nreg, 5);
    EXPECT_FLOAT_EQ(c.k.bdrun.regub[5], 50.0f);
    EXPECT_EQ(c.k.bdrun.nrun, 2);
}

TEST_F(BdCommand, RefusedValuesAreIgnoredAndImpossibleSetUpsLeaveTheEarlierOne) {
    test::Session a(two("mode bomb erro end\n"
                        "bd nrun 4 end\n"
                        "bd delt -1 nrun 1001 ntraj 0 temp 0 svis -2 thth 4 phil -1 bsurf 0\n"
                        "   ijsd1 31328\n"
                        "   rcrd 2 end dfcr 0 end"));
    run_kova(a.k);
    const std::string m = a.messages();
    for (const char* t : {"SERIOUS: bddrv(069) time step (delt) must be finite and above 0 ps: -1.0",
                          "SERIOUS: bddrv(062) number of runs (nrun) must lie between 1 and 1000: 1001",
                          "SERIOUS: bddrv(063) trajectories per run (ntraj) must be at least 1: 0",
                          "SERIOUS: bddrv(060) temperature (temp) must be finite and above 0 K: 0.0",
                          "SERIOUS: bddrv(061) viscosity (svis) must be finite and above 0 cP: -2.0",
                          "SERIOUS: bddrv(067) polar angle (thth) must lie between 0 and pi (3.1416) rad: 4.0",
                          "SERIOUS: bddrv(068) azimuth (phil) must lie between 0 and 2 pi (6.2832) rad: -1.0",
                          "SERIOUS: bddrv(066) b surface (bsurf) must be finite and above 0 A: 0.0",
                          "SERIOUS: bddrv(079) random seed (ijsd1) must lie between 1 and 31327: 31328",
                          "SERIOUS: bddrv(080) trajectory record (rcrd) must name a defined unit (1 to 1): 2",
                          "SERIOUS: bddrv(078) number of bins (dfcr) must be at least 1: 0"})
        EXPECT_NE(m.find(t), std::string::npos) << t;
    const BdRun& r = a.k.bdrun;
    EXPECT_FLOAT_EQ(r.delt, 0.001f);
    EXPECT_EQ(r.nrun, 10);
    EXPECT_FLOAT_EQ(r.thth, bdpi);
    EXPECT_FLOAT_EQ(a.k.env.temp, 300.0f);
    EXPECT_EQ(a.k.rnd.ijsd1, 2193);
    EXPECT_FALSE(r.rcrd[2]);

    // A b surface outside the q surface, or region bounds out of order,
    // refuse the command: the set-up of the previous command stays.
    test::Session b(two("mode bomb erro end\nbd nrun 4 end\nbd nrun 7 temp 320 bsurf 600 end\n"
                        "bd nrun 8 vtim 2 50 1 40 2 end"));
    run_kova(b.k);
    EXPECT_NE(b.messages().find("SERIOUS: bddrv(084) the b surface must lie inside the q surface (bsurf < qsurf): "
                                "600.0 500.0"),
              std::string::npos);
    EXPECT_NE(b.messages().find("SERIOUS: bddrv(085) time-step region bounds (vtim) must increase: 50.0 40.0"),
              std::string::npos);
    EXPECT_EQ(b.k.bdrun.nrun, 4);
    EXPECT_FLOAT_EQ(b.k.env.temp, 300.0f);
    EXPECT_TRUE(b.k.bdrun.ctim);
}

TEST_F(BdCommand, ExclusionGridMarksExactlyThePointsWithinRadiusPlusSrad) {
    test::Session s("srad 0.5 end\n");
    Kova& k = s.k;
    inidef(k);
    MoleculeStore& m = k.mol;
    m.nmol = 1, m.natom = 3, m.fstatm[1] = 1, m.lstatm[1] = 3;
    const float at[3][3] = {{5, 5, 5}, {1, 5, 5}, {8, 8, 8}};
    for (int a = 1; a <= 3; ++a) m.x[a] = at[a - 1][0], m.y[a] = at[a - 1][1], m.z[a] = at[a - 1][2], m.radi[a] = 1.7f;
    GridStore& g = k.mess;
    g.nx = g.ny = g.nz = 9;
    g.h = 1.0f, g.xo = g.yo = g.zo = 0.0f;  // point (i, j, k) at (i, j, k)
    g.update_counts();
    g.isel[1] = g.isel[2] = 1;  // atom 3 is not selected
    std::fill(g.iacs.begin(), g.iacs.end(), 3.0f);  // a stale map
    bddrv(k);

    // Radius 1.7 + 0.5 = 2.2 spacings about each selected atom; lattice
    // distances squared are integers, so no point lies on a sphere.
    int marked = 0;
    for (int kk = 1; kk <= 9; ++kk)
        for (int j = 1; j <= 9; ++j)
            for (int i = 1; i <= 9; ++i) {
                bool in = false;
                for (int a = 0; a < 2; ++a) {
                    const float dx = i - at[a][0], dy = j - at[a][1], dz = kk - at[a][2];
                    in = in || dx * dx + dy * dy + dz * dz <= 2.2f * 2.2f;
                }
                EXPECT_EQ(g.iacs[g.index(i, j, kk)], in ? 6.0f : 0.0f) << i << " " << j << " " << kk;
                marked += in;
            }
    EXPECT_GT(marked, 33);  // the full sphere of atom 1 (33 points) and the clipped one of atom 2
    // Atom 2's sphere reaches below the first point plus one spacing.
    const std::string l = s.messages();
    EXPECT_NE(l.find(" Error: Atom     2 substrate exclusion region extends beyond the grid."), std::string::npos);
    EXPECT_EQ(l.find("Atom     1 substrate"), std::string::npos);
}

TEST_F(BdCommand, UnitsAreBuiltForMoleculesNotInAnyUnit) {
    // No unit defined: all atoms from molecule 2 on become unit 1, one
    // subunit with the whole charge at the atoms' mean.
    test::Session a(two("bd end\nbd end"));
    run_kova(a.k);
    const MoleculeStore& m = a.k.mol;
    EXPECT_EQ(m.units.nunit, 1);
    EXPECT_EQ(m.nsbtot, 1);
    EXPECT_EQ(m.sbfat[1], 2);
    EXPECT_EQ(m.sblat[1], 4);
    EXPECT_NEAR(m.sbchg[1], 0.25f, 1e-6);
    EXPECT_NEAR(m.sbx[1], (0 + 1 + 4) / 3.0f, 1e-5);
    EXPECT_EQ(m.units.cncor[1], 2);
    EXPECT_EQ(m.units.angon[1], 0);
    EXPECT_TRUE(a.k.bdrun.sphere1);
    const std::string l = a.messages();
    EXPECT_NE(l.find(" WARNING - scrd (100) :\n  No. of units specified                         : none\n"),
              std::string::npos);
    EXPECT_NE(l.find("  All atoms in molecules 2 thru    2 assigned to :"), std::string::npos);
    EXPECT_EQ(l.find("scrd (100)"), l.rfind("scrd (100)"));  // the second bd finds everything assigned

    // Unit 1 holds residue 1 of molecule 2: the atoms after it become
    // unit 2.
    test::Session b(two("edit suni iflx 1 resn 1 1 end\nbd end"));
    run_kova(b.k);
    const MoleculeStore& n = b.k.mol;
    EXPECT_EQ(n.units.nunit, 2);
    EXPECT_EQ(n.nsbtot, 2);
    EXPECT_EQ(n.sbfat[2], 4);
    EXPECT_EQ(n.sblat[2], 4);
    EXPECT_EQ(n.sbunit[2], 2);
    EXPECT_NEAR(n.sbchg[2], 0.5f, 1e-6);
    EXPECT_FALSE(b.k.bdrun.sphere1);
    EXPECT_FALSE(b.k.bdrun.sphere2);  // two subunits, but in two units
    EXPECT_NE(b.messages().find(
                  "  WARNING: scrd (001) - Not all atoms in  molecules 2 thru nmol are assigned to units.\n"),
              std::string::npos);

    // One molecule: no unit is built.
    test::Session c("read mol 1 qcard file ion.qcrd end\nbd end\nstop\n");
    run_kova(c.k);
    EXPECT_EQ(c.k.mol.units.nunit, 0);
    EXPECT_EQ(c.k.mol.nsbtot, -9999);
}
