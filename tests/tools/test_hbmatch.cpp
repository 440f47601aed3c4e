// hbmatch: field layouts, classes, structure reading, the cutoff file and
// whole runs on real and hand-made structures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "hbmatch.hpp"

namespace fs = std::filesystem;
using namespace hbmatch;

namespace {

const fs::path data_dir = KOVA_TOOLS_DATA;

struct Folder {
    fs::path path;
    Folder() {
        std::string t = (fs::temp_directory_path() / "hbmatch.XXXXXX").string();
        path = mkdtemp(t.data());
    }
    ~Folder() { fs::remove_all(path); }
    void write(const std::string& name, const std::string& text) const {
        std::ofstream(path / name, std::ios::binary) << text;
    }
    std::string read(const std::string& name) const {
        std::ifstream in(path / name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::vector<std::string> lines(const std::string& name) const {
        std::vector<std::string> v;
        std::istringstream in(read(name));
        for (std::string l; std::getline(in, l);) v.push_back(l);
        return v;
    }
};

// An ATOM (or other) record in PDB columns.
std::string atom(const char* rec, int serial, const char* name, const char* res, int resnum,
                 double x, double y, double z) {
    char buf[100];
    std::snprintf(buf, sizeof buf, "%-6s%5d  %-3s %3s A%4d    %8.3f%8.3f%8.3f  1.00 20.00\n", rec,
                  serial, name, res, resnum, x, y, z);
    return buf;
}

// The records of one chain of a PDB file (ATOM, HETATM and TER).
std::string chain(const fs::path& pdb, char id) {
    std::ifstream in(pdb);
    std::string out;
    for (std::string l; std::getline(in, l);)
        if ((l.rfind("ATOM", 0) == 0 || l.rfind("HETATM", 0) == 0 || l.rfind("TER", 0) == 0) &&
            l.size() > 21 && l[21] == id)
            out += l + "\n";
    return out;
}

struct Outcome {
    int status;
    std::string out, err;
};

Outcome run_in(const Folder& f) {
    std::ostringstream out, err;
    int status = run(f.path, out, err);
    return {status, out.str(), err.str()};
}

// Pair lines of fort.99 by sweep: [0] acceptor-donor, [1] donor-acceptor.
std::vector<std::string> section(const Folder& f, int which) {
    std::vector<std::string> v;
    int s = -1;
    for (const std::string& l : f.lines("fort.99")) {
        if (l[0] == '#') ++s;
        else if (s == which) v.push_back(l);
    }
    return v;
}

bool has_pair(const std::vector<std::string>& lines, long ord1, long ord2) {
    for (const std::string& l : lines)
        if (std::stol(l.substr(0, 5)) == ord1 && std::stol(l.substr(46, 5)) == ord2) return true;
    return false;
}

}  // namespace

TEST(HbmatchFields, WritesFortranLayouts) {
    EXPECT_EQ(fmt_f(12.345, 8, 3), "  12.345");
    EXPECT_EQ(fmt_f(-999.999, 8, 3), "-999.999");
    EXPECT_EQ(fmt_f(-1000.0, 8, 3), "********");
    EXPECT_EQ(fmt_f(0.0, 6, 2), "  0.00");
    EXPECT_EQ(fmt_f(0.5, 3, 2), ".50");     // leading zero dropped in a full field
    EXPECT_EQ(fmt_f(-0.5, 4, 2), "-.50");
    EXPECT_EQ(fmt_f(0.125, 4, 2), "0.12");  // exact tie rounds to even
    EXPECT_EQ(fmt_f(-0.0001, 7, 3), " -0.000");
    EXPECT_EQ(fmt_i(99999, 5), "99999");
    EXPECT_EQ(fmt_i(100000, 5), "*****");
    // List-directed items as gfortran writes them.
    EXPECT_EQ(list_double(4.5), "   4.5000000000000000     ");
    EXPECT_EQ(list_double(0.1), "  0.10000000000000001     ");
    EXPECT_EQ(list_double(0.05), "   5.0000000000000003E-002");
    EXPECT_EQ(list_double(1e17), "   1.0000000000000000E+017");
    EXPECT_EQ((ListLine() << "MOL 1 has" << 12 << "  acceptors and" << 7 << "  donors").str(),
              " MOL 1 has          12   acceptors and           7   donors");
}

TEST(HbmatchFields, ReadsNumbers) {
    double v = 0;
    EXPECT_TRUE(read_f("  12.345", 3, v) && v == 12.345);
    EXPECT_TRUE(read_f("   12345", 3, v) && v == 12.345);  // implied decimal point
    EXPECT_TRUE(read_f("      -5", 3, v) && v == -0.005);
    EXPECT_TRUE(read_f(" 1 2.3 4", 3, v) && v == 12.34);   // blanks ignored
    EXPECT_TRUE(read_f("  1.5e+1", 3, v) && v == 15.0);
    EXPECT_FALSE(read_f("        ", 3, v));
    EXPECT_FALSE(read_f("  12.3a5", 3, v));
    EXPECT_FALSE(read_f("   -.   ", 3, v));

    EXPECT_TRUE(list_read_real("3.25", v) && v == 3.25);
    EXPECT_TRUE(list_read_real("\n\n   3.25 more text\n", v) && v == 3.25);
    EXPECT_TRUE(list_read_real("4.5d0", v) && v == 4.5);
    EXPECT_TRUE(list_read_real("1+1", v) && v == 10.0);
    EXPECT_TRUE(list_read_real("2*3.5", v) && v == 3.5);
    EXPECT_TRUE(list_read_real("4,5", v) && v == 4.0);
    for (const char* bad : {"", "  \n ", "abc", "4.5abc", ",4.5", "/", "3*", "*4", "1.5e"})
        EXPECT_FALSE(list_read_real(bad, v)) << bad;
}

TEST(HbmatchClasses, FollowTheAtomAndResidueNames) {
    struct Case {
        const char* text;  // from column 14
        bool donor, acceptor;
    };
    const Case cases[] = {
        {"N   ALA A", true, false},  {"O   GLY A", false, true},  {"OG  SER A", true, true},
        {"OH  TYR A", true, true},   {"SG  CYS A", true, true},   {"SG  CYX A", true, true},
        {"ND1 HIS A", true, true},   {"ND1 HID A", true, true},   {"NE2 HIE A", true, false},
        {"NZ  LYS A", true, false},  {"ND2 ASN A", true, false},  {"NE2 GLN A", true, false},
        {"NH1 ARG A", true, false},  {"NH2 ARG A", true, false},  {"NZ  ARG A", true, false},
        {"NE1 TRP A", true, false},  {"OD1 ASP A", false, true},  {"OD2 ASP A", false, true},
        {"OE1 GLU A", false, true},  {"OE2 GLU A", false, true},  {"SD  MET A", false, true},
        {"OD1 ASN A", false, true},  {"OE1 GLN A", false, true},  {"OG1 THR A", false, true},
        // Near misses: other atoms, other residues, an alternate location.
        {"NE  ARG A", false, false}, {"NZ  LYN A", false, false}, {"OG ASER A", false, false},
        {"OXT LYS A", false, false}, {"CA  SER A", false, false}, {"NE2 ASN A", false, false},
        {"OG1 SER A", false, false}, {"SG  MET A", false, false}, {"OE2 GLN A", false, false},
        {"N", true, false},  // a record cut short reads as blanks
    };
    for (const Case& c : cases) {
        DonorAcceptor da = chdaca(c.text);
        EXPECT_EQ(da.donor, c.donor) << c.text;
        EXPECT_EQ(da.acceptor, c.acceptor) << c.text;
    }
}

TEST(HbmatchStructure, ListsClassesCentreAndOrdinals) {
    Folder f;
    // Centre (1, 2, 3); the SER OG is 3 from it. The HETATM does not count.
    f.write("s.pdb", "HEADER    TEST\n" + atom("ATOM", 1, "N", "SER", 1, 0, 2, 3) +
                         atom("HETATM", 2, "O", "HOH", 9, 50, 50, 50) +
                         atom("ATOM", 3, "CA", "SER", 1, 2, 2, 3) +
                         atom("ATOM", 4, "OG", "SER", 1, 1, 2, 6) +
                         atom("ATOM", 5, "O", "SER", 1, 1, 2, 0) + "END\n");
    std::ostringstream out, err;
    Structure s = mkpar(f.path / "s.pdb", "s.pdb", out, err);
    EXPECT_EQ(out.str(),
              "    4   atoms read, center:   1.000   2.000   3.000\n"
              "DONOR     1  N   SER A   1       0.000   2.000   3.000  1.00 20.00   \n"
              "DONOR     4  OG  SER A   1       1.000   2.000   6.000  1.00 20.00   \n"
              "ACCEP     4  OG  SER A   1       1.000   2.000   6.000  1.00 20.00   \n"
              "ACCEP     5  O   SER A   1       1.000   2.000   0.000  1.00 20.00   \n"
              "max dist of atom in prot fr center =   3.000\n"
              "           2   donors\n"
              "           2   acceptors\n");
    EXPECT_EQ(err.str(), "");
    ASSERT_EQ(s.donors.size(), 2u);
    ASSERT_EQ(s.acceptors.size(), 2u);
    EXPECT_EQ(s.donors[1].ordinal, 3);  // fourth record, third ATOM
    EXPECT_EQ(s.acceptors[1].ordinal, 4);
    EXPECT_EQ(s.acceptors[1].card, "ATOM      5  O   SER A   1    ");
    EXPECT_EQ(s.acceptors[1].value, 0.0);
}

TEST(HbmatchStructure, BadStructuresStopWithAMessage) {
    Folder f;
    std::ostringstream out, err;
    try {
        mkpar(f.path / "1.pdb", "1.pdb", out, err);
        ADD_FAILURE() << "missing file accepted";
    } catch (const Failure& e) {
        EXPECT_STREQ(e.what(), " FATAL: mkpar(001) cannot open 1.pdb: No such file or directory");
    }
    f.write("bad.pdb", atom("ATOM", 1, "N", "ALA", 1, 1, 2, 3) +
                           "ATOM      2  CA  ALA A   1       1.000   x.000   3.000\n");
    try {
        mkpar(f.path / "bad.pdb", "bad.pdb", out, err);
        ADD_FAILURE() << "bad coordinates accepted";
    } catch (const Failure& e) {
        EXPECT_NE(std::string(e.what()).find("unreadable coordinates in line 2 of bad.pdb"),
                  std::string::npos)
            << e.what();
    }
    // A record cut before its coordinates has none: not silently (0, 0, 0).
    f.write("short.pdb", "ATOM      1  N   ALA A   1\n");
    EXPECT_THROW(mkpar(f.path / "short.pdb", "short.pdb", out, err), Failure);
}

TEST(HbmatchStructure, WithoutAtomRecordsHasNoCentre) {
    Folder f;
    f.write("e.pdb", "HEADER    ONLY WATER\n" + atom("HETATM", 1, "O", "HOH", 1, 1, 2, 3));
    std::ostringstream out, err;
    Structure s = mkpar(f.path / "e.pdb", "e.pdb", out, err);
    EXPECT_EQ(out.str(),
              "    0   atoms read, center:\n"
              "max dist of atom in prot fr center =   0.000\n"
              "           0   donors\n"
              "           0   acceptors\n");
    EXPECT_NE(err.str().find("e.pdb holds no ATOM records"), std::string::npos);
    EXPECT_TRUE(s.donors.empty() && s.acceptors.empty());
}

TEST(HbmatchStructure, TooManyAtomsStopCleanly) {
    Folder f;
    {
        std::ofstream o(f.path / "big.pdb");
        std::string rec = atom("ATOM", 1, "N", "ALA", 1, 1, 2, 3);
        for (long i = 0; i <= maxatm; ++i) o << rec;
    }
    std::ostringstream out, err;
    try {
        mkpar(f.path / "big.pdb", "big.pdb", out, err);
        ADD_FAILURE() << "list bound not enforced";
    } catch (const Failure& e) {
        EXPECT_STREQ(e.what(), " FATAL: mkpar(004) big.pdb holds more than 99999 ATOM records");
    }
}

TEST(HbmatchCutoff, DefaultIsWrittenAfterWhatTheFileHolds) {
    const std::string note =
        "   4.5000000000000000     \n could not find the number here, using default\n";
    Folder f;
    const fs::path p = f.path / "da.distance";
    EXPECT_EQ(read_cutoff(p), 4.5);  // absent: created
    EXPECT_EQ(f.read("da.distance"), note);
    EXPECT_EQ(read_cutoff(p), 4.5);  // the file it wrote reads back
    EXPECT_EQ(f.read("da.distance"), note);

    for (std::string held : {"", "\n\n", "abc\n", "abc", "/\n", "3.5x\n"}) {
        f.write("da.distance", held);
        EXPECT_EQ(read_cutoff(p), 4.5) << held;
        std::string kept = held.empty() || held.back() == '\n' ? held : held + "\n";
        EXPECT_EQ(f.read("da.distance"), kept + note) << held;
    }

    f.write("da.distance", "  3.5\n");
    EXPECT_EQ(read_cutoff(p), 3.5);
    EXPECT_EQ(f.read("da.distance"), "  3.5\n");
    for (const char* bad : {"-3.0\n", "nan\n", "inf\n"}) {
        f.write("da.distance", bad);
        EXPECT_THROW(read_cutoff(p), Failure) << bad;
        EXPECT_EQ(f.read("da.distance"), bad);
    }
}

// A donor/acceptor placed 3.000 A from a real serine OG along y: with these
// decimal coordinates the squared distance computes as 9.000000000000005.
TEST(HbmatchRun, AtomExactlyAtTheCutoffIsAPair) {
    for (double dz : {3.000, 3.001}) {
        Folder f;
        f.write("1.pdb", chain(data_dir / "2BEG.pdb", 'A'));
        f.write("2.pdb", atom("ATOM", 1, "OG", "SER", 1, 14.047, -8.201 + dz, -3.260));
        f.write("da.distance", "3.0\n");
        Outcome r = run_in(f);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(has_pair(section(f, 0), 141, 1), dz == 3.000) << dz;
        EXPECT_EQ(has_pair(section(f, 1), 141, 1), dz == 3.000) << dz;
        if (dz == 3.000) {
            EXPECT_NE(f.read("fort.99").find(" -3.000      1  14.047  -5.201  -3.260  0.00"),
                      std::string::npos);
        }
    }
}

TEST(HbmatchRun, MissingStructuresStopBeforeThePairFiles) {
    for (const char* missing : {"1.pdb", "2.pdb"}) {
        Folder f;
        const std::string s = atom("ATOM", 1, "OG", "SER", 1, 1, 2, 3);
        if (std::string(missing) != "1.pdb") f.write("1.pdb", s);
        if (std::string(missing) != "2.pdb") f.write("2.pdb", s);
        Outcome r = run_in(f);
        EXPECT_NE(r.status, 0);
        EXPECT_EQ(r.err, std::string(" FATAL: mkpar(001) cannot open ") + missing +
                             ": No such file or directory\n");
        for (const char* out : {"1.rxna", "2.rxna", "fort.99"})
            EXPECT_FALSE(fs::exists(f.path / out)) << out;
    }
}

TEST(HbmatchRun, EmptyStructureGivesNoPairs) {
    Folder f;
    f.write("1.pdb", atom("ATOM", 1, "OG", "SER", 1, 1, 2, 3));
    f.write("2.pdb", atom("HETATM", 1, "O", "HOH", 1, 1, 2, 3));
    Outcome r = run_in(f);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(" MOL 2 has           0   acceptors and           0   donors\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("           0  out of possible           0  acc-don pairs found\n"),
              std::string::npos);
    EXPECT_EQ(f.read("fort.99"), "#   accep 1 -  donor 2\n#   donor 1 -  accep 2\n");
    EXPECT_EQ(f.read("1.rxna"), "");
}
