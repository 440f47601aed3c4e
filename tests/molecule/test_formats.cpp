// Structure files of other programs: PQR files as preparation tools write
// them, PDBx/mmCIF through gemmi, and the standard-aligned PDB and PQR
// records of the coordinate writer, each checked on the molecule store
// against a reader or a file made independently.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../command/harness.hpp"
#include "../command/scratch.hpp"
#include "command/mainloop.hpp"
#include "molecule/read_formats.hpp"

using namespace kova;
namespace fs = std::filesystem;

namespace {

class Formats : public test::ScratchFolder {
protected:
    Formats() : ScratchFolder("kova_formats_") {}
    test::Session& run(const std::string& deck) {
        s = std::make_unique<test::Session>(deck);
        status = run_kova(s->k);
        return *s;
    }
    static void write(const std::string& name, const std::string& text) { std::ofstream(name) << text; }
    std::unique_ptr<test::Session> s;
    int status = -1;
};

std::string data(const std::string& rel) { return std::string(KOVA_TEST_SOURCE_DIR) + "/data/" + rel; }

// One atom of the store, for comparing molecules read from different files.
struct Atom {
    std::string atom, res;
    int resnum;
    char chain;
    float x, y, z, q, r;
    bool operator==(const Atom&) const = default;
};
std::ostream& operator<<(std::ostream& o, const Atom& a) {
    return o << a.atom << "/" << a.res << "/" << a.resnum << "/" << a.chain << " " << a.x << " " << a.y << " " << a.z
             << " " << a.q << " " << a.r;
}

std::vector<Atom> molecule(const Kova& k, int imol, bool with_chain = true, bool with_charge = true) {
    const MoleculeStore& m = k.mol;
    std::vector<Atom> v;
    if (imol > m.nmol) return v;
    for (int i = m.fstatm[imol]; i <= m.lstatm[imol]; ++i)
        v.push_back({std::string(m.atnam[i].view()), std::string(m.resnam[i].view()), m.resnum[i],
                     with_chain ? m.chain[i] : ' ', m.x[i], m.y[i], m.z[i], with_charge ? m.chrg[i] : 0.0f,
                     with_charge ? m.radi[i] : 0.0f});
    return v;
}

void expect_same(const std::vector<Atom>& a, const std::vector<Atom>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) ASSERT_EQ(a[i], b[i]) << "atom " << i + 1;
}

TEST_F(Formats, PqrRecordsAsPreparationToolsWriteThem) {
    write("t.pqr",
          "REMARK   1 PQR file written by a preparation tool\n"
          "ATOM      1  N   ALA A   1      -1.000   2.000   3.000 -0.3000 1.8240\n"  // with chain
          "ATOM      2  CA  ALA     1       1.000   2.500   3.000  0.1000 1.9080\n"  // chain left out
          "ATOM      3  CB AALA A   2       0.000   0.000   1.000  0.2000 1.9000\n"  // location A of residue 2
          "ATOM      4  CB BALA A   2       9.000   9.000   9.000  0.2000 1.9000\n"  // location B: skipped
          "ATOM      5  N   GLY A  52A     -2.000   1.000   0.500 -0.4000 1.8240\n"  // insertion code
          "HETATM10000  O   HOH W1000       5.5  -6.5  7.25  -0.8340 1.7683\n"        // joined fields, free layout
          "TER\nEND\n");
    run("read mol 1 pqr file t.pqr end\nstop\n");
    const std::vector<Atom> got = molecule(s->k, 1);
    const std::vector<Atom> want = {
        {"n", "ala", 1, 'a', -1.0f, 2.0f, 3.0f, -0.3f, 1.824f},
        {"ca", "ala", 1, ' ', 1.0f, 2.5f, 3.0f, 0.1f, 1.908f},
        {"cb", "ala", 2, 'a', 0.0f, 0.0f, 1.0f, 0.2f, 1.9f},
        {"n", "gly", 52, 'a', -2.0f, 1.0f, 0.5f, -0.4f, 1.824f},
        {"o", "hoh", 1000, 'w', 5.5f, -6.5f, 7.25f, -0.834f, 1.7683f},
    };
    expect_same(got, want);
    EXPECT_NEAR(s->k.mol.qmol[1], -0.3 + 0.1 + 0.2 - 0.4 - 0.834, 1e-5);
    const std::string out = s->messages();
    EXPECT_NE(out.find("   File format                                       :PQR format          "), std::string::npos);
    EXPECT_NE(out.find("   Alternate locations skipped                       :         1"), std::string::npos);
    EXPECT_NE(out.find(" REMARK   1 PQR file written by a preparation tool"), std::string::npos);
    EXPECT_EQ(status, 0);

    // Records that cannot be used stop a batch run with their message.
    const std::pair<const char*, const char*> bad[] = {
        {"ATOM      7  C   GLY A  53       1.0 2.0 3.0 0.5\n",  // the radius missing
         " SERIOUS: pqr(020) Cannot read atom record: ATOM      7  C   GLY A  53       1.0 2.0 3.0 0.5"},
        {"ATOM      8  C   GLY A  53       1.0 2.0 3.0 x 1.9\n",
         " SERIOUS: pqr(020) Cannot read atom record: ATOM      8  C   GLY A  53       1.0 2.0 3.0 x 1.9"},
        {"ATOM      1  C   GLY A  53       1.0 2.0 3.0 0.5 1.9\nATOM      9  C   GLY A  53       1.0 nan 3.0 0.5 1.9\n",
         " SERIOUS: pqr(030) Non-finite y in u.pqr, atom record 2: nan"},
    };
    for (const auto& [text, message] : bad) {
        write("u.pqr", text);
        run("read mol 1 pqr file u.pqr end\nstop\n");
        EXPECT_NE(s->messages().find(message), std::string::npos) << s->messages();
        EXPECT_NE(status, 0);
    }
}

TEST_F(Formats, SharedPqrFilesReadAsTheirChargeCards) {
    // The charge cards were converted from the PQR files outside the program.
    for (const char* name : {"barnase", "ion"}) {
        SCOPED_TRACE(name);
        run(std::string("read mol 1 pqr file '") + data("pqr/") + name + ".pqr' end\nread mol 2 qcard file '" +
            data("pqr/") + name + ".qcrd' end\nstop\n");
        ASSERT_EQ(status, 0) << s->messages();
        expect_same(molecule(s->k, 1, false), molecule(s->k, 2, false));
        EXPECT_NEAR(s->k.mol.qmol[1], std::string(name) == "ion" ? 1.0 : 2.0, 1e-4);
        EXPECT_FLOAT_EQ(s->k.mol.qmol[1], s->k.mol.qmol[2]);
    }
    // Chains: the first two residues of barnase carry B, the rest A.
    run("read mol 1 pqr file '" + data("pqr/barnase.pqr") + "' end\nstop\n");
    const MoleculeStore& m = s->k.mol;
    ASSERT_EQ(m.count(1), 1730);
    EXPECT_EQ(m.chain[1], 'b');
    EXPECT_EQ(m.chain[1730], 'a');
}

TEST_F(Formats, StandardRecordsReadBackUnchanged) {
    fs::copy_file(data("pdb/1A8O.pdb"), "a.pdb");
    fs::copy_file(data("pqr/barnase.pqr"), "b.pqr");
    run("read mol 1 fpdb file a.pdb end\nwrite coord standard sele molecule 1 end file s.pdb end\n"
        "read mol 2 fpdb file s.pdb end\n"
        "read mol 3 pqr file b.pqr end\nwrite coord standard qrad sele molecule 3 end file s.pqr end\n"
        "read mol 4 pqr file s.pqr end\nstop\n");
    ASSERT_EQ(status, 0) << s->messages();
    ASSERT_EQ(s->k.mol.count(1), 644);
    expect_same(molecule(s->k, 1, true, false), molecule(s->k, 2, true, false));
    expect_same(molecule(s->k, 3), molecule(s->k, 4));
    // Columns as the PDB format places them, checked on known records of 1A8O.
    std::ifstream in("s.pdb");
    std::string line, se, ca, water;
    while (std::getline(in, line)) {
        if (line.find("SE   MSE A 151") != std::string::npos) se = line;
        if (line.find(" CA  ASP A 152") != std::string::npos && ca.empty()) ca = line;
        if (line.find("HOH A1087") != std::string::npos) water = line;
    }
    ASSERT_EQ(se.size(), 78u);
    EXPECT_EQ(se.substr(0, 6), "HETATM");    // selenomethionine: not a standard residue
    EXPECT_EQ(se.substr(12, 4), "SE  ");     // two-letter element from column 13
    EXPECT_EQ(se.substr(54, 12), "  1.00  0.00");
    EXPECT_EQ(se.substr(76, 2), "SE");
    ASSERT_EQ(ca.size(), 78u) << ca;
    EXPECT_EQ(ca.substr(0, 6), "ATOM  ");
    EXPECT_EQ(ca.substr(12, 4), " CA ");
    EXPECT_EQ(ca.substr(21, 1), "A");
    EXPECT_EQ(ca.substr(76, 2), " C");
    EXPECT_EQ(water.substr(0, 6), "HETATM");
    EXPECT_EQ(water.substr(30, 24), "  16.743  33.111  28.517");
}

// The same atoms as a fixed-format PDB file and as mmCIF written by hand:
// alternate locations and a second model in the mmCIF file.
const char* const small_pdb =
    "ATOM      1  N   ALA A  10       1.000   2.000   3.000  1.00  0.00           N\n"
    "ATOM      2  CA AALA A  10       1.500   2.500   3.500  0.60  0.00           C\n"
    "ATOM      3  CA BALA A  10       1.600   2.600   3.600  0.40  0.00           C\n"
    "HETATM    4  O   HOH B 101      -4.000   5.250  -6.125  1.00  0.00           O\n"
    "END\n";
const char* const small_cif =
    "data_small\nloop_\n_atom_site.group_PDB\n_atom_site.id\n_atom_site.type_symbol\n"
    "_atom_site.label_atom_id\n_atom_site.label_alt_id\n_atom_site.label_comp_id\n_atom_site.label_asym_id\n"
    "_atom_site.label_entity_id\n_atom_site.label_seq_id\n_atom_site.pdbx_PDB_ins_code\n_atom_site.Cartn_x\n"
    "_atom_site.Cartn_y\n_atom_site.Cartn_z\n_atom_site.occupancy\n_atom_site.B_iso_or_equiv\n"
    "_atom_site.auth_seq_id\n_atom_site.auth_comp_id\n_atom_site.auth_asym_id\n_atom_site.auth_atom_id\n"
    "_atom_site.pdbx_PDB_model_num\n"
    "ATOM 1 N N . ALA A 1 1 ? 1.000 2.000 3.000 1.00 0.00 10 ALA A N 1\n"
    "ATOM 2 C CA A ALA A 1 1 ? 1.500 2.500 3.500 0.60 0.00 10 ALA A CA 1\n"
    "ATOM 3 C CA B ALA A 1 1 ? 1.600 2.600 3.600 0.40 0.00 10 ALA A CA 1\n"
    "HETATM 4 O O . HOH C 2 . ? -4.000 5.250 -6.125 1.00 0.00 101 HOH B O 1\n"
    "ATOM 5 N N . ALA A 1 1 ? 9.000 9.000 9.000 1.00 0.00 10 ALA A N 2\n";

TEST_F(Formats, MmcifReadsIntoTheSameStoreAsThePdbFile) {
    if (!cif_available()) {
        write("s.cif", small_cif);
        run("read mol 1 cif file s.cif end\nstop\n");
        EXPECT_NE(s->messages().find(" WARNING: reed(110) mmCIF files cannot be read: the mmCIF reader is not "
                                     "available in this build. Read command aborted."),
                  std::string::npos)
            << s->messages();
        EXPECT_EQ(s->k.mol.nmol, 0);
        GTEST_SKIP() << "built without the gemmi headers";
    }
    write("s.pdb", small_pdb);
    write("s.cif", small_cif);
    run("read mol 1 fpdb file s.pdb end\nread mol 2 cif file s.cif end\nread ref 1 cif file s.cif end\nstop\n");
    ASSERT_EQ(status, 0) << s->messages();
    ASSERT_EQ(s->k.mol.count(1), 3);
    expect_same(molecule(s->k, 1), molecule(s->k, 2));
    EXPECT_EQ(s->k.mol.reflst[1], 3);
    EXPECT_NE(s->messages().find("   File format                                       :mmCIF format        "),
              std::string::npos);

    // 1A8O converted by the gemmi program, when it is installed.
    fs::copy_file(data("pdb/1A8O.pdb"), "a.pdb");
    if (std::system("gemmi convert a.pdb a.cif > /dev/null 2>&1") == 0) {
        run("read mol 1 fpdb file a.pdb end\nread mol 2 cif file a.cif end\nstop\n");
        ASSERT_EQ(status, 0) << s->messages();
        ASSERT_EQ(s->k.mol.count(1), 644);
        expect_same(molecule(s->k, 1), molecule(s->k, 2));
    }

    // A damaged file reads no atom, with the parser's reason.
    write("bad.cif", "data_bad\nloop_\n_atom_site.id\n_atom_site.Cartn_x\n1 'unterminated\n");
    run("read mol 1 cif file bad.cif end\nstop\n");
    EXPECT_NE(s->messages().find(" SERIOUS: cif(020) Cannot read mmCIF file: bad.cif ("), std::string::npos)
        << s->messages();
    EXPECT_EQ(s->k.mol.count(1), 0);
    EXPECT_NE(status, 0);
}

}  // namespace
