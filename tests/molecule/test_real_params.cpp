// The shipped parameter table on real proteins: every atom assigned and the
// net charge the integer sum of residue charges at neutral pH.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "../command/harness.hpp"
#include "command/mainloop.hpp"
#include "molecule/params.hpp"

using namespace kova;
namespace fs = std::filesystem;

namespace {

std::string data(const std::string& rel) { return std::string(KOVA_TEST_SOURCE_DIR) + "/data/" + rel; }

class RealParams : public ::testing::Test {
protected:
    void SetUp() override {
        if (installed_table().empty()) GTEST_SKIP() << "no installed parameter table in the build tree";
        dir = fs::temp_directory_path() / ("kova_realparams_" + std::to_string(::getpid()));
        fs::create_directories(dir);
        old = fs::current_path();
        fs::current_path(dir);
    }
    void TearDown() override {
        if (!old.empty()) fs::current_path(old);
        if (!dir.empty()) fs::remove_all(dir);
    }
    fs::path dir, old;
};

// The charge-and-radius files hold PDB-like records whose columns are shifted;
// their blank-separated fields are rewritten as free-format records without
// the chain letter. Returns the charges of the file's own charge column.
struct PqrAtom {
    float charge;
    std::string chain;
    int resnum;
};

std::vector<PqrAtom> pqr_to_free(const std::string& from, const std::string& to) {
    std::ifstream in(from);
    std::ofstream out(to);
    std::vector<PqrAtom> q;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream w(line);
        std::string rec, serial, atom, res, chain, resnum, x, y, z;
        float charge, radius;
        if (!(w >> rec) || rec != "ATOM") continue;
        w >> serial >> atom >> res >> chain >> resnum >> x >> y >> z >> charge >> radius;
        out << "ATOM " << serial << ' ' << atom << ' ' << res << ' ' << resnum << ' ' << x << ' ' << y << ' ' << z
            << '\n';
        q.push_back({charge, chain, std::stoi(resnum)});
    }
    return q;
}

}  // namespace

TEST_F(RealParams, CrystalStructureWithTheDefaultUnitedAtomSet) {
    fs::copy_file(data("pdb/1A8O.pdb"), "a.pdb");
    test::Session s("read mol 1 fpdb file a.pdb end set char radi end stop\n");
    run_kova(s.k);
    const MoleculeStore& m = s.k.mol;
    ASSERT_EQ(m.count(1), 644);
    EXPECT_NE(s.out.str().find("  Database file read"), std::string::npos);
    for (int i = 1; i <= m.natom; ++i) {
        EXPECT_NE(m.chrg[i], -9999.0f) << "atom " << i << ' ' << m.resnam[i].view() << ' ' << m.atnam[i].view();
        EXPECT_GT(m.radi[i], 0.5f);
    }
    // Arg 4 + Lys 5 - Asp 4 - Glu 6, counted from the file's residues.
    int net = 0;
    for (int i = 1; i <= m.natom; ++i) {
        std::string_view r = m.resnam[i].view(), a = m.atnam[i].view();
        if (a == "ca" && (r == "arg" || r == "lys")) ++net;
        if (a == "ca" && (r == "asp" || r == "glu")) --net;
    }
    EXPECT_EQ(net, -1);
    EXPECT_NEAR(m.qmol[1], net, 1e-3);
    // A domain of about 70 residues: some 20 to 30 A across its half-extent.
    EXPECT_GT(m.molsiz[1], 15.0f);
    EXPECT_LT(m.molsiz[1], 40.0f);
}

TEST_F(RealParams, AllAtomSetsOnBarnaseAndBarstar) {
    std::vector<PqrAtom> qb = pqr_to_free(data("pqr/barnase.pqr"), "barnase.pdb");
    std::vector<PqrAtom> qs = pqr_to_free(data("pqr/barstar.pqr"), "barstar.pdb");
    std::vector<PqrAtom> all = qb;
    all.insert(all.end(), qs.begin(), qs.end());
    // The first and last residue of each chain carry terminal charges.
    auto terminal = [&](const PqrAtom& a) {
        int lo = 1 << 30, hi = -1;
        for (const PqrAtom& b : all)
            if (b.chain == a.chain) lo = std::min(lo, b.resnum), hi = std::max(hi, b.resnum);
        return a.resnum == lo || a.resnum == hi;
    };
    for (const char* set : {"amber", "charmm"}) {
        test::Session s(std::string("read mol 1 pdb file barnase.pdb end read mol 2 pdb file barstar.pdb end\n") +
                        "set char radi " + set + " end stop\n");
        run_kova(s.k);
        const MoleculeStore& m = s.k.mol;
        ASSERT_EQ(m.count(1), 1730);
        ASSERT_EQ(m.count(2), 1403);
        int missing = 0;
        for (int i = 1; i <= m.natom; ++i) missing += m.chrg[i] == -9999.0f;
        EXPECT_EQ(missing, 0) << set;
        EXPECT_NEAR(m.qmol[1], 2.0, 2e-3) << set;
        EXPECT_NEAR(m.qmol[2], -5.0, 2e-3) << set;
        if (std::string(set) == "amber") {
            // The files' own charges are AMBER charges: they agree atom by
            // atom, except at the chain ends.
            int compared = 0;
            for (int i = 1; i <= m.natom; ++i) {
                const PqrAtom& a = all[static_cast<size_t>(i - 1)];
                if (terminal(a)) continue;
                ++compared;
                EXPECT_NEAR(m.chrg[i], a.charge, 1e-4f) << "atom " << i;
            }
            EXPECT_GT(compared, 2900);
        }
    }
}
