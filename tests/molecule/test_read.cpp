// Reading structures into the molecule store: counts, ranges, names, the
// atom-list bound, reference structures, B-factor weights and trajectory
// frames, checked on the store itself.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "../command/harness.hpp"
#include "../command/scratch.hpp"
#include "command/mainloop.hpp"
#include "fortio/format.hpp"
#include "molecule/read.hpp"

using namespace kova;
namespace fs = std::filesystem;

namespace {

class Read : public test::ScratchFolder {
protected:
    Read() : ScratchFolder("kova_read_") {}
    // Runs a whole deck; the session stays for inspection.
    test::Session& run(const std::string& deck) {
        s = std::make_unique<test::Session>(deck);
        status = run_kova(s->k);
        return *s;
    }
    static void write(const std::string& name, const std::string& text) { std::ofstream(name) << text; }
    // A fixed-format atom record, written by our own format interpreter.
    static std::string atom(int serial, const char* name, const char* res, char chain, int resnum, float x, float y,
                            float z) {
        return fortio::format_write("(a6,i5,1x,a4,1x,a3,1x,a1,i4,4x,3f8.3,2f6.2)",
                                    {std::string_view("ATOM  "), std::int64_t{serial}, std::string_view(name),
                                     std::string_view(res), std::string_view(&chain, 1), std::int64_t{resnum}, x, y,
                                     z, 1.0f, 0.0f})[0] +
               "\n";
    }
    static std::string atoms(int n, float shift = 0) {
        std::string t;
        for (int i = 1; i <= n; ++i) t += atom(i, " CA ", "ALA", 'A', i % 10000, i + shift, 2.0f * (i % 100), -1.0f);
        return t;
    }
    std::unique_ptr<test::Session> s;
    int status = -1;
};

std::string source_data(const char* name) { return std::string(KOVA_TEST_SOURCE_DIR) + "/data/pdb/" + name; }

}  // namespace

TEST_F(Read, StoreStartsEmptyAndMarked) {
    auto& r = run("stop\n");
    EXPECT_EQ(r.k.mol.x[1], -9999.0f);
    EXPECT_EQ(r.k.mol.chrg[1], -9999.0f);
    EXPECT_EQ(r.k.mol.radi[maxatm], -9999.0f);
    EXPECT_EQ(r.k.mol.nmol, 0);
    EXPECT_EQ(r.k.mol.nsbtot, -9999);
}

TEST_F(Read, MoleculesTakeConsecutiveRanges) {
    write("a.pdb", atoms(10));
    write("b.pdb", atoms(20, 100));
    auto& r = run("read mol 1 fpdb file a.pdb end read mol 2 fpdb file b.pdb end\n"
                  "read mol 1 fpdb file a.pdb end stop\n");
    const MoleculeStore& m = r.k.mol;
    EXPECT_EQ(m.nmol, 2);
    EXPECT_EQ(m.fstatm[1], 1);
    EXPECT_EQ(m.lstatm[1], 10);
    EXPECT_EQ(m.fstatm[2], 11);
    EXPECT_EQ(m.lstatm[2], 30);
    EXPECT_EQ(m.natom, 30);
    EXPECT_EQ(m.natmd, 30);
    // Centre of geometry: x = mean(1..10) = 5.5, y = 2 * 5.5, z = -1.
    EXPECT_FLOAT_EQ(m.molcx[1], 5.5f);
    EXPECT_FLOAT_EQ(m.molcy[1], 11.0f);
    EXPECT_FLOAT_EQ(m.molcz[1], -1.0f);
    EXPECT_FLOAT_EQ(m.molcx[2], 110.5f);
    EXPECT_FLOAT_EQ(m.x[11], 101.0f);
    EXPECT_EQ(r.k.files.molfile[2], "b.pdb");
}

TEST_F(Read, FixedFormatNamesAndRecords) {
    fs::copy_file(source_data("disordered.pdb"), "d.pdb");
    fs::copy_file(source_data("a_structure.pdb"), "s.pdb");
    auto& r = run("read mol 1 fpdb file d.pdb end read mol 2 fpdb file s.pdb end stop\n");
    const MoleculeStore& m = r.k.mol;
    EXPECT_EQ(m.count(1), 47);  // one location per disordered atom (50 records)
    EXPECT_EQ(m.count(2), 844);  // 901 records, 57 of them alternates
    // "ATOM    200  N   MET A  25      51.748  19.748  27.301"
    EXPECT_EQ(m.atnam[1].view(), "n");
    EXPECT_EQ(m.resnam[1].view(), "met");
    EXPECT_EQ(m.chain[1], 'a');
    EXPECT_EQ(m.resnum[1], 25);
    EXPECT_FLOAT_EQ(m.x[1], 51.748f);
    EXPECT_FLOAT_EQ(m.z[1], 27.301f);
    EXPECT_EQ(m.atnam[2].view(), "ca");
    EXPECT_EQ(m.atnam[2].padded(), "ca  ");
}

TEST_F(Read, ChargeAndRadiusPdbAndChargeCard) {
    write("q.pdb",
          "ATOM      1  N   ALA     1      11.104   6.134  -6.504-.41571.8240\n"
          "ATOM      2  CA  ALA     1      11.639   6.071  -5.1470.03371.9080\n");
    write("q.crd", "atom 5 lys nz 1 2 3 1.0 1.5\n! note\natom 5 lys hz1 1.5 2 3 0.25 0.6\nend\n");
    auto& r = run("read mol 1 qpdb file q.pdb end read mol 2 qcard file q.crd end stop\n");
    const MoleculeStore& m = r.k.mol;
    EXPECT_FLOAT_EQ(m.chrg[1], -0.4157f);
    EXPECT_FLOAT_EQ(m.radi[2], 1.908f);
    EXPECT_EQ(m.chain[1], ' ');
    EXPECT_EQ(m.atnam[4].view(), "hz1");
    EXPECT_EQ(m.resnum[3], 5);
    EXPECT_FLOAT_EQ(m.qmol[2], 1.25f);
    EXPECT_FLOAT_EQ(m.radi[3], 1.5f);
}

TEST_F(Read, FiveThousandAtomsFitTheNextOneIsFatal) {
    write("full.pdb", atoms(maxatm));
    write("over.pdb", atoms(maxatm + 1));
    auto& r = run("read mol 1 fpdb file full.pdb end stop\n");
    EXPECT_EQ(r.k.mol.natom, maxatm);
    EXPECT_NE(r.out.str().find("KOVA termination"), std::string::npos);
    auto& o = run("read mol 1 fpdb file over.pdb end stop\n");
    EXPECT_NE(o.out.str().find(" FATAL: pdb(010) Exceded size of atom list.\n FATAL: pdb(010) The limit is 5000 "
                               "atoms; build with -DKOVA_MAXATM=<larger number> to raise it.\n"),
              std::string::npos);
    EXPECT_NE(o.out.str().find("  exit status             :          2\n"), std::string::npos);
    // The other readers refuse the 5001st slot too.
    write("one.pdb", atoms(1));
    std::string cardfile = "* big\n 5000\n";
    for (int i = 1; i <= maxatm; ++i) cardfile += " 1 1 ALA CA 1.0 2.0 3.0\n";
    write("big.crd", cardfile);
    auto& c = run("read mol 1 fpdb file one.pdb end read mol 2 card file big.crd end stop\n");
    EXPECT_NE(c.out.str().find(" FATAL: card(010) Exceded size of atom list.\n"), std::string::npos);
    std::string q;
    for (int i = 1; i <= maxatm; ++i) q += "atom 1 ala ca 1.0 2.0 3.0 0.0 1.0\n";
    write("big.qcrd", q);
    auto& qc = run("read mol 1 fpdb file one.pdb end read mol 2 qcard file big.qcrd end stop\n");
    EXPECT_NE(qc.out.str().find(" FATAL: qcard(010) Exceded size of atom list.\n"), std::string::npos);
}

TEST_F(Read, ReferencesAreNumberedApartAndKeepTheirOwnNames) {
    write("a.pdb", atoms(10));
    write("r.pdb", atom(1, " OG ", "SER", 'B', 7, 9.0f, 8.0f, 7.0f) + atom(2, " CB ", "SER", 'B', 7, 1, 1, 1));
    auto& r = run("read mol 1 fpdb file a.pdb end read mol 2 fpdb file a.pdb end\n"
                  "read ref 1 fpdb file r.pdb end stop\n");
    const MoleculeStore& m = r.k.mol;
    EXPECT_EQ(m.nref, 1);
    EXPECT_EQ(m.reffst[1], 1);
    EXPECT_EQ(m.reflst[1], 2);
    EXPECT_FLOAT_EQ(m.xref[1], 9.0f);
    EXPECT_EQ(m.bfac[2], 1.0f);
    EXPECT_EQ(m.refatnam[1].view(), "og");
    EXPECT_EQ(m.atnam[1].view(), "ca");  // the molecule's atom keeps its name
    EXPECT_FLOAT_EQ(m.x[1], 1.0f);
}

TEST_F(Read, BfactorWeights) {
    write("r.pdb",
          "ATOM 1 N ALA 1 1.0 2.0 3.0 1.00 10.00\nATOM 2 CA ALA 1 2.0 2.0 3.0 1.00 20.00\n"
          "ATOM 3 HA ALA 1 2.5 2.5 3.0 1.00 40.00\nATOM 4 C ALA 1 3.0 2.0 3.0 1.00 30.00\nEND\n");
    auto& r = run("read ref 1 pdb file r.pdb end read bfac 1 file r.pdb end stop\n");
    const MoleculeStore& m = r.k.mol;
    EXPECT_FLOAT_EQ(m.bfac[1], 2.0f);       // mean 20 over the heavy atoms / 10
    EXPECT_FLOAT_EQ(m.bfac[2], 1.0f);
    EXPECT_EQ(m.bfac[3], 0.0f);             // hydrogens get no weight
    EXPECT_FLOAT_EQ(m.bfac[4], 20.0f / 30.0f);
    // All-hydrogen reference: no mean to take, weights 0, no division by zero.
    write("h.pdb", "ATOM 1 H1 HOH 1 1.0 2.0 3.0 1.00 10.00\nATOM 2 H2 HOH 1 1.0 2.0 3.0 1.00 10.00\n");
    auto& h = run("read ref 1 pdb file h.pdb end read bfac 1 file h.pdb end stop\n");
    EXPECT_EQ(h.k.mol.bfac[1], 0.0f);
    EXPECT_EQ(h.k.mol.bfac[2], 0.0f);
    EXPECT_NE(h.out.str().find("KOVA termination"), std::string::npos);
    // A line count that differs from the reference stops the run.
    auto& d = run("read ref 1 pdb file r.pdb end read bfac 1 file h.pdb end stop\n");
    EXPECT_NE(d.out.str().find(" Problem reading b factors\n"), std::string::npos);
}

TEST_F(Read, MissingFilesAndBadNumbersNeverReachASlot) {
    write("a.pdb", atoms(2));
    auto& r = run("inter read mol 1 fpdb file nothere.pdb end read mol 0 fpdb file a.pdb end stop\n");
    EXPECT_NE(r.out.str().find("SERIOUS: reed(030) Unable to open file: nothere.pdb"), std::string::npos);
    EXPECT_EQ(r.k.mol.nmol, 0);  // no empty molecule left behind
    EXPECT_NE(r.out.str().find(" Cannot use imol < 1\n"), std::string::npos);
    EXPECT_EQ(r.k.mol.x[0], -9999.0f);
}

namespace {

void unformatted_record(std::ofstream& f, const void* data, std::uint32_t n) {
    f.write(reinterpret_cast<const char*>(&n), 4);
    f.write(static_cast<const char*>(data), n);
    f.write(reinterpret_cast<const char*>(&n), 4);
}

}  // namespace

TEST_F(Read, TrajectoryFramesInBothEncodings) {
    write("a.pdb", atoms(3));
    {
        std::ofstream f("t.bin", std::ios::binary);
        std::int32_t n = 3;
        unformatted_record(f, &n, 4);
        for (int frame = 1; frame <= 3; ++frame) {
            float t = 0.5f * frame;
            unformatted_record(f, &t, 4);
            for (int i = 1; i <= 3; ++i) {
                float xyz[3] = {100.0f * frame + i, 0.0f, -1.0f * i};
                unformatted_record(f, xyz, 12);
            }
        }
    }
    auto& r = run("read mol 1 fpdb file a.pdb end\n"
                  "open unit 30 fil t.bin bin old end\n"
                  "read mol 1 traj unit 30 skip 2 end\n");
    EXPECT_FLOAT_EQ(r.k.mol.x[1], 201.0f);  // the second frame
    EXPECT_NE(r.out.str().find(" frmt:N\n"), std::string::npos);
    EXPECT_NE(r.out.str().find(" Current time in rdtrj file:    1.000000\n"), std::string::npos);
    // The next read continues with the following frame; past the end the
    // coordinates stay as they were.
    auto& c = run("read mol 1 fpdb file a.pdb end\nopen unit 30 fil t.bin bin old end\n"
                  "read mol 1 traj unit 30 end read mol 1 traj unit 30 skip 2 end inter\n"
                  "read mol 1 traj unit 30 end stop\n");
    EXPECT_FLOAT_EQ(c.k.mol.x[3], 303.0f);
    EXPECT_FLOAT_EQ(c.k.mol.z[3], -3.0f);
    EXPECT_NE(c.out.str().find("WARNING: rdtrj(003) Inappropriate end of file"), std::string::npos);

    // Formatted frames: title, one line per atom (coordinates in columns
    // 31-54), one closing line. A frame cut short changes nothing.
    std::string text;
    for (int frame = 1; frame <= 2; ++frame) {
        text += "frame " + std::to_string(frame) + "\n";
        for (int i = 1; i <= 3; ++i) text += atom(i, " CA ", "ALA", 'A', 1, 10.0f * frame + i, 1, 2);
        text += "END\n";
    }
    text += "frame 3\n" + atom(1, " CA ", "ALA", 'A', 1, 99, 99, 99);
    write("t.txt", text);
    auto& f = run("read mol 1 fpdb file a.pdb end open unit 31 fil t.txt old end\n"
                  "read mol 1 traj unit 31 skip 2 end inter read mol 1 traj unit 31 end stop\n");
    EXPECT_FLOAT_EQ(f.k.mol.x[1], 21.0f);
    EXPECT_FLOAT_EQ(f.k.mol.x[3], 23.0f);
    EXPECT_NE(f.out.str().find(" frmt:Y\n"), std::string::npos);
    EXPECT_NE(f.out.str().find("SERIOUS: rdtrj(005) Inappropriate end of file"), std::string::npos);
}

TEST_F(Read, TrajectoryAtomCountMustMatch) {
    write("a.pdb", atoms(3));
    {
        std::ofstream f("t.bin", std::ios::binary);
        std::int32_t n = 4;
        unformatted_record(f, &n, 4);
    }
    auto& r = run("read mol 1 fpdb file a.pdb end open unit 30 fil t.bin bin old end\n"
                  "read mol 1 traj unit 30 end stop\n");
    EXPECT_NE(r.out.str().find("SERIOUS: rdtrj(006) Mismatch"), std::string::npos);
    EXPECT_NE(r.out.str().find(" imol, lstatm-fstat, nout: 1 2 4\n"), std::string::npos);
    EXPECT_FLOAT_EQ(r.k.mol.x[1], 1.0f);
}

TEST_F(Read, AlternateLocationsOnePerAtomOneLocationPerResidue) {
    // Hand-made residues: (alt, occupancy, atom name), chain A residue 7.
    auto group = [](std::initializer_list<std::tuple<char, float, const char*>> recs) {
        std::vector<AltRecord> g;
        for (auto [alt, occ, name] : recs) {
            AltRecord r;
            r.chain = 'A', r.resnum = 7, r.alt = alt, r.occ = occ, r.atom = Name4(name);
            g.push_back(r);
        }
        return g;
    };
    auto kept = [](const std::vector<AltRecord>& g, int& skipped) {
        std::vector<char> keep;
        skipped = choose_altlocs(g, keep);
        std::string s;
        for (size_t i = 0; i < g.size(); ++i)
            if (keep[i]) s += std::string(g[i].atom.view()) + (g[i].alt == ' ' ? "" : std::string(1, g[i].alt)) + " ";
        return s;
    };
    int n = -1;
    // No location letter: every record stays, repeated names included.
    EXPECT_EQ(kept(group({{' ', 1, "ca"}, {' ', 1, "ca"}}), n), "ca ca ");
    EXPECT_EQ(n, 0);
    // The more occupied location wins for the whole residue, even where the
    // other one comes first in the file.
    EXPECT_EQ(kept(group({{' ', 1, "n"}, {'A', 0.3f, "cb"}, {'B', 0.7f, "cb"}, {'A', 0.3f, "og"}, {'B', 0.7f, "og"}}), n),
              "n cbB ogB ");
    EXPECT_EQ(n, 2);
    // Equal occupancy: the letter that sorts first. A blank record stands in
    // for an atom that has no record at the chosen location (disordered.pdb:
    // blank CZ with CZ B, NH1 A/B), and gives way to one that has.
    EXPECT_EQ(kept(group({{' ', 0.5f, "cz"}, {'B', 0.5f, "cz"}, {'A', 0.5f, "nh1"}, {'B', 0.5f, "nh1"}}), n), "cz nh1A ");
    EXPECT_EQ(kept(group({{' ', 0.5f, "cz"}, {'B', 0.6f, "cz"}, {'A', 0.4f, "nh1"}, {'B', 0.6f, "nh1"}}), n),
              "czB nh1B ");
    EXPECT_EQ(n, 2);
    // Microheterogeneity: SER at A (0.6) and THR at B (0.4) share N, CA, CB;
    // THR's own OG1 and CG2 go with the rest of THR.
    EXPECT_EQ(kept(group({{'A', 0.6f, "n"}, {'A', 0.6f, "ca"}, {'A', 0.6f, "cb"}, {'A', 0.6f, "og"}, {'B', 0.4f, "n"},
                          {'B', 0.4f, "ca"}, {'B', 0.4f, "cb"}, {'B', 0.4f, "og1"}, {'B', 0.4f, "cg2"}}),
                   n),
              "nA caA cbA ogA ");
    EXPECT_EQ(n, 5);
    // Residues are told apart by chain, number and insertion code, not name.
    AltRecord a, b;
    a.resnum = b.resnum = 52;
    EXPECT_TRUE(same_residue(a, b));
    b.icode = 'A';
    EXPECT_FALSE(same_residue(a, b));
    // Columns as the readers see them; the occupancy ranks the letters.
    AltRecord r;
    ASSERT_TRUE(altloc_fields("ATOM    224  NH1AARG A  27A     57.848  21.002  24.386  0.35 27.16           N", r));
    EXPECT_EQ(r.atom.view(), "nh1");
    EXPECT_EQ(r.alt, 'A');
    EXPECT_EQ(r.chain, 'A');
    EXPECT_EQ(r.resnum, 27);
    EXPECT_EQ(r.icode, 'A');
    EXPECT_FLOAT_EQ(r.occ, 0.35f);

    // Through the read command: the net charge of a disordered arginine is
    // +1 (OPLS table: CZ 0.64 and NH1, NH2 0.12 counted once).
    fs::copy_file(source_data("disordered.pdb"), "d.pdb");
    auto& d = run("read mol 1 fpdb file d.pdb end set char radi end stop\n");
    EXPECT_NEAR(d.k.mol.qmol[1], 1.0f, 1e-4f);
    EXPECT_NE(d.out.str().find("   Alternate locations skipped                       :         3\n"), std::string::npos);
    // A re-read keeps the count; a reference and its B-factors skip the same
    // records, so the counts agree.
    auto& e = run("read mol 1 fpdb file d.pdb end read mol 1 fpdb file d.pdb end\n"
                  "read ref 1 fpdb file d.pdb end read bfac 1 file d.pdb end stop\n");
    EXPECT_EQ(e.k.mol.count(1), 47);
    EXPECT_EQ(e.k.mol.reflst[1], 47);
    EXPECT_EQ(e.k.mol.refalt[1], 3);
    EXPECT_NE(e.out.str().find("KOVA termination"), std::string::npos);
    EXPECT_EQ(e.out.str().find("Problem reading b factors"), std::string::npos);
}

TEST_F(Read, NonFiniteTrajectoryFrameIsRefusedWhole) {
    write("a.pdb", atoms(2));
    {
        std::ofstream f("t.bin", std::ios::binary);
        std::int32_t n = 2;
        unformatted_record(f, &n, 4);
        const float nan = std::nanf("");
        for (int frame = 1; frame <= 2; ++frame) {
            float t = 1.0f * frame;
            unformatted_record(f, &t, 4);
            float a[3] = {10.0f * frame, 0, 0}, b[3] = {0, frame == 2 ? nan : 1.0f, 0};
            unformatted_record(f, a, 12);
            unformatted_record(f, b, 12);
        }
    }
    auto& r = run("inter read mol 1 fpdb file a.pdb end open unit 30 fil t.bin bin old end\n"
                  "read mol 1 traj unit 30 end read mol 1 traj unit 30 end stop\n");
    EXPECT_NE(r.out.str().find(" SERIOUS: rdtrj(030) Non-finite y in t.bin, atom 2 of the frame read: nan\n"),
              std::string::npos);
    EXPECT_FLOAT_EQ(r.k.mol.x[1], 10.0f);  // the first frame stays
    EXPECT_FLOAT_EQ(r.k.mol.y[2], 1.0f);
}
