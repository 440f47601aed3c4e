// Diffusing units built from the atoms: one subunit for a whole molecule,
// one per residue with CB centres (CA for glycine), the defaults of a new
// unit, and refused definitions that leave the subunit table as it was.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>

#include "../command/harness.hpp"
#include "../command/scratch.hpp"
#include "command/mainloop.hpp"
#include "command/output.hpp"

using namespace kova;

namespace {

class UnitEditor : public test::ScratchFolder {
protected:
    UnitEditor() : ScratchFolder("kova_units_") {}
    void SetUp() override {
        ScratchFolder::SetUp();
        std::ofstream("ion.qcrd") << "atom 1 ion i 0 0 0 1.0 3.0\nend\n";
        // Molecule 2: an ala (n, ca, cb), a gly (n, ca) and a ser without
        // a CB atom in the file.
        std::ofstream("pep.qcrd") << "atom 1 ala n  0 0 0 -0.5 1.8\n"
                                     "atom 1 ala ca 1 0 0 0.25 1.9\n"
                                     "atom 1 ala cb 1 1 0 0.75 1.9\n"
                                     "atom 2 gly n  3 0 0 -0.5 1.8\n"
                                     "atom 2 gly ca 4 0 0 0.5 1.9\n"
                                     "atom 3 ser n  6 0 0 0.0 1.8\n"
                                     "atom 3 ser ca 9 3 0 0.0 1.9\n"
                                     "end\n";
    }
    static std::string deck(const std::string& body) {
        return "read mol 1 qcard file ion.qcrd end read mol 2 qcard file pep.qcrd end\n" + body + "\nstop\n";
    }
};

}  // namespace

TEST_F(UnitEditor, WholeMoleculeIsOneSubunitWithItsChargeAtTheAtomsMean) {
    // A radius edit computes the molecule's size: half of |r1 - r7| plus the
    // two radii, (sqrt(81 + 9) + 3.6 + 3.8) / 2 with radii scaled by 2.
    test::Session s(deck("edit radi scal 2 mol2 end edit suni iflx 1 end"));
    run_kova(s.k);
    const MoleculeStore& m = s.k.mol;
    const UnitStore& u = m.units;
    EXPECT_EQ(u.nunit, 1);
    EXPECT_EQ(m.nsbtot, 1);
    EXPECT_EQ(u.ifsub[1], 1);
    EXPECT_EQ(u.ilsub[1], 1);
    EXPECT_EQ(m.sbfat[1], 2);
    EXPECT_EQ(m.sblat[1], 8);
    EXPECT_EQ(m.sbtype[1], 64);
    EXPECT_NEAR(m.sbchg[1], 0.5f, 1e-6);
    EXPECT_NEAR(m.sbx[1], (0 + 1 + 1 + 3 + 4 + 6 + 9) / 7.0f, 1e-5);
    EXPECT_NEAR(m.sby[1], 4 / 7.0f, 1e-6);
    EXPECT_NEAR(m.sbrad[1], (std::sqrt(90.0f) + 3.6f + 3.8f) / 2, 1e-4);
    EXPECT_EQ(u.nbond[1], 0);
    EXPECT_EQ(u.nangl[1], 0);
    EXPECT_NE(s.out.str().find(" Edit: Subunit definition in units were modified"), std::string::npos);
}

TEST_F(UnitEditor, OneSubunitPerResidueCentredOnCbWithGlycineFallbackAndDefaults) {
    test::Session s(deck("edit suni iflx 1 resn 1 3 cent cb end"));
    run_kova(s.k);
    const MoleculeStore& m = s.k.mol;
    const UnitStore& u = m.units;
    EXPECT_EQ(u.nsubu[1], 3);
    EXPECT_EQ(m.nsbtot, 3);
    EXPECT_FLOAT_EQ(m.sbx[1], 1.0f);  // ala cb
    EXPECT_FLOAT_EQ(m.sby[1], 1.0f);
    EXPECT_FLOAT_EQ(m.sbx[2], 4.0f);  // gly ca
    EXPECT_FLOAT_EQ(m.sbx[3], 7.5f);  // ser: no CB, centre of geometry
    EXPECT_FLOAT_EQ(m.sby[3], 1.5f);
    EXPECT_NEAR(m.sbchg[1], 0.5f, 1e-6);
    EXPECT_EQ(m.sbres[2], Name4("gly"));
    for (int i = 1; i <= 3; ++i) {
        EXPECT_FLOAT_EQ(m.sbrad[i], 3.5f);  // no radius given
        EXPECT_EQ(m.sbunit[i], 1);
    }
    EXPECT_EQ(u.nbond[1], 2);
    EXPECT_EQ(u.nangl[1], 1);
    EXPECT_EQ(u.ndihe[1], 0);
    EXPECT_FLOAT_EQ(u.b0[1][2], 5.14f);
    EXPECT_FLOAT_EQ(u.cb[1][1], 80.0f * 418.4f);
    EXPECT_FLOAT_EQ(u.t0[1][1], 1.5219271f);
    EXPECT_EQ(u.icsub[1], 2);  // nearest the centre of (1,1), (4,0), (7.5,1.5)
    EXPECT_NE(s.out.str().find("      2      gly      1    4.000    0.000    0.000    0.000    0.000"),
              std::string::npos);
}

TEST_F(UnitEditor, RefusedDefinitionsChangeNothingAndTwoCbsAreFatal) {
    test::Session s(deck("mode bomb erro end\n"
                         "edit suni iflx 2 end edit suni iflx 0 end edit suni iflx 1 resn 3 2 end\n"
                         "edit suni iflx 1 resn 4 5 end edit suni iflx 1 resn 1 41 end"));
    run_kova(s.k);
    EXPECT_EQ(s.k.mol.units.nunit, 0);
    EXPECT_EQ(s.k.mol.nsbtot, -9999);
    for (const char* t : {"SERIOUS: sedit (011) units must be defined in order; next unit is 1",
                          "SERIOUS: sedit (010) unit number outside 1 to 5: 0",
                          "SERIOUS: sedit (020) empty residue range: 3 2",
                          "SERIOUS: sedit (021) residue range has no atoms for residue 4",
                          "SERIOUS: sedit (030) more than 40 subunits in all: 41"})
        EXPECT_NE(s.out.str().find(t), std::string::npos) << t;

    std::ofstream("two.qcrd") << "atom 1 ala cb 0 0 0 0 1\natom 1 ala cb 1 0 0 0 1\nend\n";
    test::Session f("read mol 1 qcard file ion.qcrd end read mol 2 qcard file two.qcrd end\n"
                    "edit suni iflx 1 resn 1 1 cent cb end stop\n");
    EXPECT_EQ(run_kova(f.k), exit_fatal);
    EXPECT_NE(f.out.str().find("FATAL: spdb(001) center of subunit given by CB,"), std::string::npos);
}

TEST_F(UnitEditor, SegmentChoosesItsAtomsAndASplitSegmentIsReported) {
    // Chain b holds atoms 2 and 3 of molecule 2 (global 3 and 4); chain c is
    // split by an atom of chain a.
    auto atom = [](int n, const char* name, char chain, float x) {
        char line[81];
        std::snprintf(line, sizeof line, "ATOM  %5d  %-3s ALA %c   1    %8.3f%8.3f%8.3f  1.00  0.00\n", n, name,
                      chain, x, 0.0f, 0.0f);
        return std::string(line);
    };
    std::ofstream("seg.pdb") << atom(1, "N", 'A', 0) << atom(2, "CA", 'B', 2) << atom(3, "C", 'B', 4)
                             << atom(4, "O", 'C', 6) << atom(5, "N", 'A', 8) << atom(6, "CA", 'C', 10);
    test::Session s("read mol 1 qcard file ion.qcrd end read mol 2 fpdb file seg.pdb end\nmode bomb erro end\n"
                    "edit suni iflx 1 subp b end\n"  // charges never set: refused
                    "edit char equa 0.25 mol2 end edit suni iflx 1 subp B end stop\n");
    run_kova(s.k);
    const MoleculeStore& m = s.k.mol;
    EXPECT_EQ(m.sbfat[1], 3);
    EXPECT_EQ(m.sblat[1], 4);
    EXPECT_FLOAT_EQ(m.sbx[1], 3.0f);
    EXPECT_FLOAT_EQ(m.sbchg[1], 0.5f);
    EXPECT_EQ(m.units.subpc[1], 'b');
    test::Session c("read mol 1 qcard file ion.qcrd end read mol 2 fpdb file seg.pdb end\n"
                    "edit char equa 0.25 mol2 end edit suni iflx 1 subp c end stop\n");
    run_kova(c.k);
    EXPECT_EQ(c.k.mol.sbfat[1], 5);  // the first run of the segment
    EXPECT_EQ(c.k.mol.sblat[1], 5);
    const std::string all = s.out.str() + c.out.str();
    EXPECT_NE(all.find("SERIOUS: sedit (023) atom without a charge in the unit: 3"), std::string::npos);
    EXPECT_NE(all.find("WARNING: sedit (100) unit is not all in one PDB subunit"), std::string::npos);
}

TEST_F(UnitEditor, ForceFieldInInternalUnitsAndPeptideTablesBySharedResidueNames) {
    std::ofstream("odd.qcrd") << "atom 1 cyx cb 0 0 0 0 1\natom 2 hid cb 4 0 0 0 1\natom 3 xyz cb 8 0 0 0 1\nend\n";
    test::Session s("read mol 1 qcard file ion.qcrd end read mol 2 qcard file odd.qcrd end\n"
                    "edit suni iflx 1 resn 1 3 cent cb end\n"
                    "edit funi iflx 1 exv iden rexv 4.5 eval 0.5 soli pept tide 90 80 bide 3.8 10\n"
                    "  char 1 3 -1.5 hrid 2.5 end\n"
                    "edit funi iflx 1 exv pept end stop\n");
    EXPECT_EQ(run_kova(s.k), exit_ok);
    const MoleculeStore& m = s.k.mol;
    const UnitStore& u = m.units;
    EXPECT_FLOAT_EQ(u.t0[1][1], 1.5707963f);  // 90 degrees
    EXPECT_FLOAT_EQ(u.ct[1][1], 80.0f * 418.4f);
    EXPECT_FLOAT_EQ(u.cb[1][2], 4184.0f);
    EXPECT_FLOAT_EQ(u.b0[1][2], 3.8f);
    EXPECT_FLOAT_EQ(m.sbchg[3], -1.5f);
    EXPECT_FLOAT_EQ(m.sbchg[1], 0.0f);
    for (int i = 1; i <= 3; ++i) EXPECT_FLOAT_EQ(m.sbrad[i], 2.5f);
    // cyx takes the cys entry, hid the his entry; xyz keeps its values.
    EXPECT_FLOAT_EQ(u.rexv[1], 5.9f);
    EXPECT_FLOAT_EQ(u.eval[1], 0.27f * 418.4f);
    EXPECT_FLOAT_EQ(u.sval[1], -1.0f * 418.4f);
    EXPECT_FLOAT_EQ(u.rexv[2], 6.8f);
    EXPECT_FLOAT_EQ(u.sval[2], -0.5f * 418.4f);
    EXPECT_FLOAT_EQ(u.rexv[3], 4.5f);
    EXPECT_FLOAT_EQ(u.eval[3], 0.5f * 418.4f);
    EXPECT_FLOAT_EQ(u.rsol[3], 0.0f);
    const std::string o = s.out.str();
    EXPECT_NE(o.find(" Warning: (preexv) residue type xyz  not recognised on assigning exv parameters"),
              std::string::npos);
    EXPECT_NE(o.find(" Warning: (presol) residue type xyz  not recognised on assigning soli parameters"),
              std::string::npos);
    // Listed back in kcal/mol and degrees.
    EXPECT_NE(o.find("  Angle   1  t0 =   90.000  ct =    80.000"), std::string::npos);
}

TEST_F(UnitEditor, ConstraintsAndPairsPerUnitRelativeNumbersAndStoreLimits) {
    std::ofstream("pep3.pdb") << "ATOM      1  CB  ALA A   1       0.000   0.000   0.000  1.00  0.00\n"
                                 "ATOM      2  CB  ALA A   2       4.000   0.000   0.000  1.00  0.00\n";
    test::Session s(deck("read mol 3 fpdb file pep3.pdb end edit char equa 0 mol3 end\n"
                         "edit suni iflx 1 resn 1 3 end edit suni iflx 2 resn 1 2 end\n"
                         "edit funi iflx 1 locc end\n"  // no bcon: sum of the two radii
                         "edit funi iflx 2 hrid 2 hi 1 1 2 bcon 4.25 locc end\n"
                         "edit funi iflx 2 hrid 3 bcon 5 locc end\n"  // replaces, never duplicates
                         "mode bomb erro end\n"
                         "edit funi iflx 2 dfcn 30 1 2 1 1 2 1 1 2 1 1 2 1 1 2 1 1 2 1 1 2 1 1 2 1\n"
                         "  1 2 1 1 2 1 1 2 1 1 2 1 1 2 1 1 2 1 1 2 1 1 2 1 1 2 1 1 2 1 1 2 1\n"
                         "  1 2 1 1 2 1 1 2 1 1 2 1 1 2 1 1 2 1 1 2 1 1 2 1 1 2 1 1 2 1 1 2 1 end\n"
                         "edit funi iflx 2 prnt end"));
    EXPECT_EQ(run_kova(s.k), exit_abort);  // the error of prnt at level 4
    const MoleculeStore& m = s.k.mol;
    const UnitStore& u = m.units;
    ASSERT_EQ(u.ncnstr, 3);
    EXPECT_EQ(u.cnsub1[1], 1);
    EXPECT_EQ(u.cnsub2[2], 3);
    EXPECT_FLOAT_EQ(u.cndist[1], 7.0f);
    EXPECT_EQ(u.cnsub1[3], 4);
    EXPECT_EQ(u.cnsub2[3], 5);
    EXPECT_FLOAT_EQ(u.cndist[3], 5.0f);
    EXPECT_EQ(u.hinum[2], 1);
    EXPECT_EQ(u.hif[2][1], 4);  // 1 and 2 within unit 2
    EXPECT_EQ(u.hil[2][1], 5);
    EXPECT_FLOAT_EQ(m.sbrad[3], 3.5f);  // unit 1 keeps its radii
    EXPECT_FLOAT_EQ(m.sbrad[5], 3.0f);
    const std::string o = s.out.str();
    EXPECT_NE(o.find("SERIOUS: uedit (032) more than 30 distance constraints: 32"), std::string::npos);
    EXPECT_NE(o.find("ERROR: uedit (040) run set-up listing not available yet: prnt"), std::string::npos);
}

TEST_F(UnitEditor, UnitPairsTakePeptideValuesIntoUnitsWithoutTheirOwnTermAndAtMostFifteen) {
    std::ofstream("pep3.pdb") << "ATOM      1  CB  ALA A   1       0.000   0.000   0.000  1.00  0.00\n"
                                 "ATOM      2  CB  SER A   2       4.000   0.000   0.000  1.00  0.00\n";
    std::string many = "edit fiun num 16";
    for (int p = 0; p < 16; ++p) many += p % 5 == 4 ? "\n 1 2 end" : " 1 2 end";
    test::Session s(deck("read mol 3 fpdb file pep3.pdb end edit char equa 0 mol3 end\n"
                         "edit suni iflx 1 resn 1 3 end edit suni iflx 2 resn 1 2 end\n"
                         "edit funi iflx 1 exv iden eval 0.5 rexv 4 end\n"
                         "edit fiun num 2 1 2 osee slip exv iden eval 0.3 rexv 6.5 end\n"
                         " 2 1 exv pept soli pept end end\n"
                         "mode bomb erro end\n" +
                         many + " end\nedit fiun num 1 2 2 end end"));
    EXPECT_EQ(run_kova(s.k), exit_ok);
    const UnitStore& u = s.k.mol.units;
    ASSERT_EQ(u.nfiun, 2);
    EXPECT_EQ(u.iupair1[1], 1);
    EXPECT_EQ(u.iupair2[1], 2);
    EXPECT_EQ(u.hiiu[1], 1);
    EXPECT_FLOAT_EQ(u.hibciu[1], 0.5f);
    EXPECT_FLOAT_EQ(u.evaliu[1], 0.3f * 418.4f);
    EXPECT_FLOAT_EQ(u.rexviu[1], 6.5f);
    EXPECT_EQ(u.exviu[2], 3);
    EXPECT_FLOAT_EQ(u.hibciu[2], 0.75f);
    // Unit 1 keeps its own excluded volume but takes the solvent table;
    // unit 2 (ala, ser) takes both.
    EXPECT_FLOAT_EQ(u.rexv[1], 4.0f);
    EXPECT_FLOAT_EQ(u.sval[1], -0.5f * 418.4f);
    EXPECT_FLOAT_EQ(u.sval[3], 0.3f * 418.4f);
    EXPECT_FLOAT_EQ(u.rexv[4], 5.5f);
    EXPECT_FLOAT_EQ(u.eval[5], 0.27f * 418.4f);
    EXPECT_FLOAT_EQ(u.rsol[5], 9.0f);
    const std::string o = s.out.str();
    EXPECT_NE(o.find("SERIOUS: iuedit (022) more than 15 unit pairs: 16"), std::string::npos);
    EXPECT_NE(o.find("SERIOUS: iuedit (021) unit pair is not two different defined units: 2 2"), std::string::npos);
}
