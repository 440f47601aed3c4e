// The edit command on small structures: which atoms each criterion chooses,
// the three operations and their counts, re-assignment from a table with
// equivalences, the molecule summaries afterwards, values given anywhere,
// and refusals that leave every atom as it was.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "../command/harness.hpp"
#include "../command/scratch.hpp"
#include "command/mainloop.hpp"

using namespace kova;

namespace {

class EditCommand : public test::ScratchFolder {
protected:
    EditCommand() : ScratchFolder("kova_edit_") {}
    void SetUp() override {
        ScratchFolder::SetUp();
        // Molecule 1: two residues; molecule 2: one lys whose nz lies 4 A
        // from its ca.
        std::ofstream("m1.qcrd") << "atom 1 lys n 0 0 0 -0.3 1.8\n"
                                    "atom 1 lys nz 1 0 0 -0.4 1.8\n"
                                    "atom 2 gly ca 2 0 0 0.1 1.9\n"
                                    "end\n";
        std::ofstream("m2.qcrd") << "atom 1 lys ca 0 0 0 0.2 2.0\n"
                                    "atom 1 lys nz 4 0 0 -0.4 1.0\n"
                                    "end\n";
        std::ofstream("t.dat") << "equivalence\nhsp cb hsp ca\n\nopls\nresi atom chrg radi end\n"
                                  "hsp ca 0.75 2.5\nhsp n -0.25 1.5\n";
    }
    static std::string deck(const std::string& body) {
        return "read mol 1 qcard file m1.qcrd end read mol 2 qcard file m2.qcrd end\n" + body + "\nstop\n";
    }
};

}  // namespace

TEST_F(EditCommand, CriteriaChooseAtomsAndOnlyRealChangesAreCounted) {
    test::Session s(deck("edit char equa 0.0 resi lys atna nz end\n"
                         "edit char equa 0.0 resi lys atna nz end\n"
                         "edit radi scal 1.5 mol2 end\n"
                         "edit char shif -0.5 atnu 3 end\n"
                         "edit radi resn 1 equa 2.25 end"));
    run_kova(s.k);
    const MoleculeStore& m = s.k.mol;
    const std::string all = s.out.str();
    // Both nz atoms to 0 the first time, none the second.
    EXPECT_NE(all.find(" Edit:      2 charge modifications were done"), std::string::npos);
    EXPECT_NE(all.find(" Edit:      0 charge modifications were done"), std::string::npos);
    EXPECT_FLOAT_EQ(m.chrg[2], 0.0f);
    EXPECT_FLOAT_EQ(m.chrg[5], 0.0f);
    EXPECT_FLOAT_EQ(m.chrg[1], -0.3f);
    // Molecule 2 only was scaled, before resn 1 set every residue-1 radius.
    EXPECT_FLOAT_EQ(m.radi[3], 1.9f);
    EXPECT_FLOAT_EQ(m.chrg[3], 0.1f - 0.5f);
    for (int a : {1, 2, 4, 5}) EXPECT_FLOAT_EQ(m.radi[a], 2.25f) << a;
    // Net charges by hand: -0.3 + 0 + (-0.4) and 0.2 + 0.
    EXPECT_NEAR(m.qmol[1], -0.7f, 1e-6);
    EXPECT_NEAR(m.qmol[2], 0.2f, 1e-6);
    // Size of molecule 2: (4 + 2.25 + 2.25) / 2.
    EXPECT_FLOAT_EQ(m.molsiz[2], 4.25f);
}

TEST_F(EditCommand, ReassignsFromTheTableUnderAnotherNameWithEquivalences) {
    // Atom names n, ca of lys found as hsp n, hsp ca; cb absent; molecule 2's
    // nz not found. The cb line goes through the equivalence hsp cb -> hsp ca.
    std::ofstream("m1.qcrd") << "atom 1 lys n 0 0 0 -0.3 1.8\natom 1 lys cb 0 1 0 0.0 1.9\n"
                                "atom 1 lys ca 1 0 0 0.3 1.8\natom 2 gly ca 2 0 0 0.1 1.9\nend\n";
    test::Session s(deck("set char file t.dat atom 1 end\nedit reas as hsp resi lys end"));
    run_kova(s.k);
    const MoleculeStore& m = s.k.mol;
    EXPECT_FLOAT_EQ(m.chrg[1], -0.25f);
    EXPECT_FLOAT_EQ(m.radi[1], 1.5f);
    EXPECT_FLOAT_EQ(m.chrg[2], 0.75f);  // cb by equivalence
    EXPECT_FLOAT_EQ(m.chrg[3], 0.75f);
    EXPECT_FLOAT_EQ(m.radi[3], 2.5f);
    EXPECT_FLOAT_EQ(m.chrg[4], 0.1f);   // gly not chosen
    EXPECT_FLOAT_EQ(m.chrg[5], 0.75f);  // molecule 2's lys ca
    EXPECT_FLOAT_EQ(m.chrg[6], -0.4f);  // nz has no entry
    const std::string all = s.out.str();
    EXPECT_NE(all.find("     atom     2 lys  cb   assigned charge=    0.7500  radius=    2.5000"),
              std::string::npos);
    EXPECT_NE(all.find("     atom     6 lys  nz   was NOT reassigned"), std::string::npos);
    // The summaries follow the new charges.
    EXPECT_NEAR(m.qmol[1], -0.25f + 0.75f + 0.75f + 0.1f, 1e-6);
}

TEST_F(EditCommand, ValuesStandAnywhereAndAreKeptForTheNextEdit) {
    test::Session s(deck("dimension v 2 end assi v(2) = 0.5 end\n"
                         "edit 2 char atnu 1 end\n"
                         "edit char\n atnu 2 end\n"  // the kept value, over two lines
                         "edit char $v(2) atnu 3 end\n"
                         "edit char atnu 4 eval 1 3 + end end\n"  // the expression ends at its own end
                         "edit radi scal 0.5 atnu 5 end edit radi atnu 4 shif 0.25 end"));
    run_kova(s.k);
    const MoleculeStore& m = s.k.mol;
    EXPECT_FLOAT_EQ(m.chrg[1], 2.0f);
    EXPECT_FLOAT_EQ(m.chrg[2], 2.0f);
    EXPECT_FLOAT_EQ(m.chrg[3], 0.5f);
    EXPECT_FLOAT_EQ(m.chrg[4], 4.0f);
    EXPECT_FLOAT_EQ(m.radi[5], 0.5f);
    EXPECT_FLOAT_EQ(m.radi[4], 2.25f);
}

TEST_F(EditCommand, RefusedRequestsLeaveEveryAtomAsItWas) {
    // A radius turning negative on the last chosen atom: none is changed.
    // A scaled or shifted value never set stays unset.
    std::ofstream("m2.qcrd") << "atom 1 lys ca 0 0 0 0.2 2.0\natom 1 lys nz 4 0 0 -0.4 0.5\nend\n";
    test::Session s(deck("mode bomb erro end\n"
                         "edit radi shif -1 mol 2 end\n"
                         "edit char scal 1e30 end edit char scal 1e30 end\n"
                         "edit char atnu 2 resn 1 end edit char atnu 0 end edit reas end edit frob end"));
    run_kova(s.k);
    const MoleculeStore& m = s.k.mol;
    EXPECT_FLOAT_EQ(m.radi[4], 2.0f);
    EXPECT_FLOAT_EQ(m.radi[5], 0.5f);
    EXPECT_FLOAT_EQ(m.chrg[1], -0.3e30f);  // first scale done, the overflowing one refused
    EXPECT_EQ(m.radi[7], unset);           // no atom 7: nothing written past the atoms
    const std::string all = s.out.str();
    for (const char* t : {"SERIOUS: edit(061) radius may not be negative: -0.5",
                          "SERIOUS: edit(060) new value is not a finite number for atom 1",
                          "WARNING: edit(010)  atnum should not be specified with resid or resnum.",
                          "WARNING: edit(035) atom number outside the atoms read:          0",
                          "WARNING: edit(020)  must specify effective name with reassign sub-command.",
                          "SERIOUS: edit(050) unknown keyword: frob",
                          "WARNING: edit(000)  must specify quantity to be edited"})
        EXPECT_NE(all.find(t), std::string::npos) << t;

    // Charges never set (a plain structure file) are not scaled or shifted;
    // setting them works.
    std::ofstream("u.pdb") << "ATOM 1 N ALA 1 0.0 0.0 0.0\nATOM 2 CA ALA 1 1.5 0.0 0.0\n";
    test::Session u("read mol 1 pdb file u.pdb end edit char scal 2 end edit char shif 1 end\n"
                    "edit char equa 1 atnu 2 end stop\n");
    run_kova(u.k);
    EXPECT_EQ(u.k.mol.chrg[1], unset);
    EXPECT_FLOAT_EQ(u.k.mol.chrg[2], 1.0f);
    EXPECT_NE(u.out.str().find("NOTE: edit(070) values never set left unset:      2"), std::string::npos);
}
