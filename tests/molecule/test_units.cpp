// Diffusing units built from the atoms: one subunit for a whole molecule,
// one per residue with CB centres (CA for glycine), the defaults of a new
// unit, and refused definitions that leave the subunit table as it was.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>

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
    EXPECT_EQ(run_kova(s.k), exit_ok);  // level 4: the refused constraints do not stop the run
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
    EXPECT_NE(o.find("UNIT PARAMETERS"), std::string::npos);  // prnt: the run set-up listing
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

namespace {

// A chain molecule of n residues, one ala CA atom each, 3.8 A apart in x.
void write_chain(const char* file, int n) {
    std::ofstream f(file);
    for (int r = 1; r <= n; ++r) f << "atom " << r << " ala ca " << 3.8 * r << " 0 0 " << (r % 2 ? 1 : -1) << " 1.9\n";
    f << "end\n";
}

struct Vec {
    double x, y, z;
};
Vec sub(const MoleculeStore& m, int i) { return {m.sbx[i], m.sby[i], m.sbz[i]}; }
Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec cross(Vec a, Vec b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
double len(Vec a) { return std::sqrt(dot(a, a)); }
double angle_deg(Vec a, Vec b, Vec c) { return std::acos(dot(a - b, c - b) / (len(a - b) * len(c - b))) * 180 / M_PI; }
// The IUPAC dihedral of a-b-c-d in degrees (-180..180).
double dihedral_deg(Vec a, Vec b, Vec c, Vec d) {
    const Vec b1 = b - a, b2 = c - b, b3 = d - c;
    const Vec n1 = cross(b1, b2), n2 = cross(b2, b3);
    return std::atan2(len(b2) * dot(b1, n2), dot(n1, n2)) * 180 / M_PI;
}

}  // namespace

TEST_F(UnitEditor, ExplicitSubunitsCentreAtomsAndFixedSubunitsOfATetheredUnit) {
    write_chain("chain.qcrd", 6);
    // Atoms 2..7 are residues 1..6 of molecule 2.
    test::Session s("read mol 1 qcard file ion.qcrd end read mol 2 qcard file chain.qcrd end\n"
                    "edit suni iflx 1 nums 4 atnu 2 3 4 4 5 6 7 7 cent atnu 3 4 6 7\n"
                    "  fix 0 2 resn 3 4 end\n"
                    "edit funi iflx 1 locc bcon 4 end\n"
                    "stop\n");
    run_kova(s.k);
    const MoleculeStore& m = s.k.mol;
    const UnitStore& u = m.units;
    ASSERT_EQ(u.nsubu[1], 4);
    EXPECT_EQ(m.sbfat[3], 5);
    EXPECT_EQ(m.sblat[3], 6);
    EXPECT_FLOAT_EQ(m.sbx[1], 3.8f * 2);  // the centre atom, not the mean
    EXPECT_FLOAT_EQ(m.sbx[3], 3.8f * 5);
    EXPECT_FLOAT_EQ(m.sbchg[1], 0.0f);   // +1 - 1
    EXPECT_FLOAT_EQ(m.sbchg[2], 1.0f);
    // Residue 3 (atom 4) is subunit 2, residue 4 (atom 5) is in subunit 3.
    EXPECT_EQ(u.nfixs[1], 2);
    const int type[] = {0, 32, 31, 31, 32}, fixed[] = {0, 0, 1, 1, 0};
    for (int i = 1; i <= 4; ++i) {
        EXPECT_EQ(m.sbtype[i], type[i]) << i;
        EXPECT_EQ(m.sbfix[i], fixed[i]) << i;
        // The standard terms of a tethered unit, energies in internal units.
        EXPECT_NEAR(u.eval[i], 0.33f * 418.4f, 1e-3);
        EXPECT_FLOAT_EQ(u.rexv[i], 6.3f);
        EXPECT_NEAR(u.sval[i], -0.8f * 418.4f, 1e-3);
        EXPECT_FLOAT_EQ(u.rsol[i], 9.0f);
    }
    EXPECT_EQ(u.exvmod[1], 1);
    EXPECT_EQ(u.solmod[1], 1);
    EXPECT_EQ(u.nnnbon[1], 1);
    // Automatic constraints: 1-2 and 3-4, none between the fixed 2 and 3.
    ASSERT_EQ(u.ncnstr, 2);
    EXPECT_EQ(u.cnsub1[1], 1);
    EXPECT_EQ(u.cnsub1[2], 3);
    EXPECT_NE(s.out.str().find("Nnnb coef calculated for subunit    1, the ith residue of the dihedral"),
              std::string::npos);

    // Subunits outside the unit's atoms, centre atoms outside their subunit,
    // a fixed residue not in the unit and too many subunits are refused.
    test::Session r("read mol 1 qcard file ion.qcrd end read mol 2 qcard file chain.qcrd end\n"
                    "mode bomb erro end\n"
                    "edit suni iflx 1 nums 2 atnu 1 3 4 7 end\n"
                    "edit suni iflx 1 nums 2 resn 1 2 7 9 end\n"
                    "edit suni iflx 1 nums 2 atnu 2 3 4 7 cent atnu 2 3 end\n"
                    "edit suni iflx 1 resn 1 6 fix 1 resn 9 end\n"
                    "edit suni iflx 1 nums 41 end\n"
                    "stop\n");
    run_kova(r.k);
    EXPECT_EQ(r.k.mol.units.nunit, 0);
    const std::string o = r.out.str();
    for (const char* t : {"SERIOUS: sedit (024) subunit atoms outside the unit: 1 3",
                          "SERIOUS: sedit (021) residue range has no atoms for residues 7 9",
                          "SERIOUS: sedit (025) centre atom not in its subunit: 2 3",
                          "SERIOUS: sedit (026) fixed residue not in the unit: 9",
                          "SERIOUS: sedit (015) number of subunits outside 1 to 40: 41"})
        EXPECT_NE(o.find(t), std::string::npos) << t;
}

TEST_F(UnitEditor, GeneratedChainsHaveTheRequestedGeometryAndThermalSpread) {
    write_chain("chain.qcrd", 40);
    const std::string load = "read mol 1 qcard file ion.qcrd end read mol 2 qcard file chain.qcrd end\n"
                             "edit suni iflx 1 resn 1 40 end\n";
    // Given values: every bond, angle and dihedral measured back equals
    // them. The dihedral of the generator is the IUPAC one with the sign
    // turned.
    for (const auto& [gen, b, t, p] : {std::tuple{"bide 3.8 tide 100 dide 60", 3.8, 100.0, 60.0},
                                       std::tuple{"tide 180 dide 10", 5.14, 180.0, 10.0},
                                       std::tuple{"", 5.14, 87.2, 180.0}}) {
        test::Session s(load + "edit genc iflx 1 " + gen + " end stop\n");
        run_kova(s.k);
        const MoleculeStore& m = s.k.mol;
        EXPECT_EQ(sub(m, 1).x, 0.0);
        for (int i = 1; i < 40; ++i) EXPECT_NEAR(len(sub(m, i + 1) - sub(m, i)), b, 1e-4) << gen << " bond " << i;
        for (int i = 1; i < 39; ++i)
            EXPECT_NEAR(angle_deg(sub(m, i), sub(m, i + 1), sub(m, i + 2)), t, 2e-3) << gen << " angle " << i;
        if (t < 180)
            for (int i = 1; i < 38; ++i) {
                const double d = dihedral_deg(sub(m, i), sub(m, i + 1), sub(m, i + 2), sub(m, i + 3));
                EXPECT_NEAR(std::remainder(-d - p, 360.0), 0.0, 2e-3) << gen << " dihedral " << i;
            }
    }

    // Random values about b1 and t1 with force constants of 20 kcal/mol/A**2
    // and kcal/mol/rad**2: spread sqrt(kT/k) over 40 chains of 39 bonds and
    // 38 angles. Uniform dihedrals have mean cos 0 and mean cos**2 1/2.
    std::string deck = load + "edit funi iflx 1 bide 4 20 tide 100 20 end\n";
    for (int c = 0; c < 40; ++c) deck += "edit genc iflx 1 rbid 3.8 rtid 110 rdih end\n";
    test::Session s(deck + "stop\n");
    struct Sums {
        double n = 0, s = 0, s2 = 0;
        void add(double v) { n += 1, s += v, s2 += v * v; }
        double mean() const { return s / n; }
        double sd() const { return std::sqrt(s2 / n - mean() * mean()); }
    } bonds, angles, cosp, cos2p;
    // Every chain's values are read back from its listing.
    run_kova(s.k);
    std::istringstream lines(s.out.str());
    for (std::string ln; std::getline(lines, ln);) {
        if (ln.rfind("  Bond    ", 0) == 0 && ln.find("length") != std::string::npos)
            bonds.add(std::stod(ln.substr(ln.find(':') + 1)));
        if (ln.rfind("  Angle   ", 0) == 0 && ln.find("value") != std::string::npos)
            angles.add(std::stod(ln.substr(ln.find(':') + 1)) * M_PI / 180);
        if (ln.rfind("  Dihedral", 0) == 0) {
            const double p = std::stod(ln.substr(ln.find(':') + 1)) * M_PI / 180;
            cosp.add(std::cos(p));
            cos2p.add(std::cos(p) * std::cos(p));
        }
    }
    ASSERT_EQ(bonds.n, 40 * 39);
    ASSERT_EQ(angles.n, 40 * 38);
    const double sd = std::sqrt(0.83144647 * 300 / (20 * 418.4));
    EXPECT_NEAR(bonds.mean(), 3.8, 4 * sd / std::sqrt(bonds.n));
    EXPECT_NEAR(bonds.sd(), sd, 4 * sd / std::sqrt(2 * bonds.n));
    EXPECT_NEAR(angles.mean(), 110 * M_PI / 180, 4 * sd / std::sqrt(angles.n));
    EXPECT_NEAR(angles.sd(), sd, 4 * sd / std::sqrt(2 * angles.n));
    EXPECT_NEAR(cosp.mean(), 0.0, 4 * std::sqrt(0.5 / cosp.n));
    EXPECT_NEAR(cos2p.mean(), 0.5, 4 * std::sqrt(0.125 / cos2p.n));
}

TEST_F(UnitEditor, RestartFileIsReadBackWithMismatchedNumbersReportedAndMissingFileRefused) {
    write_chain("chain.qcrd", 6);
    std::ofstream("chain.rst") << "RESTART FILE\n"
                                  "ATOM      1 REST  SUB    1     1.000     2.000     3.000\n"
                                  "ATOM      2 REST  SUB    2    -1.500     0.250  1000.125\n"
                                  "TER\n"
                                  "ATOM      7 REST  SUB    7     4.000     5.000     6.000\n"
                                  "TER\nEND\n";
    std::ofstream("one.pdb") << "ATOM      1  CB  ALA A   1       0.000   0.000   0.000  1.00  0.00\n";
    test::Session s("read mol 1 qcard file ion.qcrd end read mol 2 qcard file chain.qcrd end\n"
                    "read mol 3 fpdb file one.pdb end edit char equa 0 mol3 end\n"
                    "edit suni iflx 1 resn 1 2 end edit suni iflx 2 end\n"
                    "edit genc rest file chain.rst end\n"
                    "edit genc rest file nothere.rst end\n"
                    "stop\n");
    EXPECT_EQ(run_kova(s.k), exit_abort);
    const MoleculeStore& m = s.k.mol;
    EXPECT_FLOAT_EQ(m.sbx[1], 1.0f);
    EXPECT_FLOAT_EQ(m.sbz[2], 1000.125f);
    EXPECT_FLOAT_EQ(m.sbx[3], 4.0f);  // numbered 7 in the file, used as subunit 3
    EXPECT_FLOAT_EQ(m.sbz[3], 6.0f);
    const std::string o = s.out.str();
    EXPECT_NE(o.find(" Restart subunit coordinates read from file :chain.rst"), std::string::npos);
    EXPECT_NE(o.find("  WARNING: gencrd(002)-\n subunit no. mismatch reading restart file:       7       3"),
              std::string::npos);
    EXPECT_NE(o.find("SERIOUS: gencrd (003) cannot open restart file: nothere.rst"), std::string::npos);

    // A file that ends early changes nothing.
    std::ofstream("short.rst") << "RESTART FILE\nATOM      1 REST  SUB    1     9.000     9.000     9.000\n";
    test::Session e("read mol 1 qcard file ion.qcrd end read mol 2 qcard file chain.qcrd end\n"
                    "edit suni iflx 1 resn 1 2 end mode bomb erro end\n"
                    "edit genc rest file short.rst end stop\n");
    run_kova(e.k);
    EXPECT_NE(e.k.mol.sbx[1], 9.0f);
    EXPECT_NE(e.out.str().find("SERIOUS: gencrd (004) restart file ends before subunit 2"), std::string::npos);
}

TEST_F(UnitEditor, NearestNeighbourCoefficientsReproduceTheSolventEnergyOfTheDihedral) {
    // With only the solvent term and rsol beyond every 1-4 distance, the
    // energy is a quartic in r**2/rsol**2, and r**2 is linear in cos(phi):
    // the fitted quartic in cos(phi) must be exact.
    write_chain("chain.qcrd", 4);
    test::Session s("read mol 1 qcard file ion.qcrd end read mol 2 qcard file chain.qcrd end\n"
                    "edit suni iflx 1 resn 1 4 end\n"
                    "edit funi iflx 1 bide 4 80 tide 100 80 soli iden sval -1 rsol 20 nnnb end stop\n");
    run_kova(s.k);
    const UnitStore& u = s.k.mol.units;
    const double b = 4, t = 100 * M_PI / 180, rsol = 20, sval = -2 * 418.4;  // the pair's sum
    for (double phi : {0.0, 0.7, 1.9, M_PI}) {
        // Subunits 2 and 3 on the x axis at 0 and b; 1 and 4 at height
        // b*sin(t) from it, at x = b*cos(t) and b - b*cos(t), turned by phi
        // about the axis.
        const double h = b * std::sin(t), x1 = b * std::cos(t), x4 = b - b * std::cos(t), c = std::cos(phi);
        const double r2 = (x4 - x1) * (x4 - x1) + 2 * h * h * (1 - c);
        const double x = r2 / (rsol * rsol);
        const double e = sval * (1 - (7 * x - 9 * x * x + 5 * x * x * x - x * x * x * x) / 2);
        double fit = 0;
        for (int p = 4; p >= 0; --p) fit = fit * c + u.nnnbc[1][1][p];
        EXPECT_NEAR(fit, e, 1e-3 * std::fabs(e)) << phi;
    }
}
