// The selection language against hand-worked expressions on a small
// two-molecule system.
#include <gtest/gtest.h>

#include <vector>

#include "../command/harness.hpp"
#include "command/commands.hpp"
#include "molecule/select.hpp"

using namespace kova;

namespace {

// Molecule 1: atoms 1-10 (ala n ca c | gly n ca c | ala n ca c o), x = atom
// number, y = z = 0. Molecule 2: atoms 11-15, one gly residue, y = 10.
void build(MoleculeStore& m) {
    const char* names1[] = {"n", "ca", "c", "n", "ca", "c", "n", "ca", "c", "o"};
    const char* res1[] = {"ala", "ala", "ala", "gly", "gly", "gly", "ala", "ala", "ala", "ala"};
    const int num1[] = {1, 1, 1, 2, 2, 2, 3, 3, 3, 3};
    for (int i = 1; i <= 10; ++i) {
        m.atnam[i] = Name4(names1[i - 1]);
        m.resnam[i] = Name4(res1[i - 1]);
        m.resnum[i] = num1[i - 1];
        m.x[i] = static_cast<float>(i), m.y[i] = 0, m.z[i] = 0;
    }
    const char* names2[] = {"n", "ca", "c", "o", "oxt"};
    for (int i = 11; i <= 15; ++i) {
        m.atnam[i] = Name4(names2[i - 11]);
        m.resnam[i] = Name4("gly");
        m.resnum[i] = 1;
        m.x[i] = static_cast<float>(i), m.y[i] = 10, m.z[i] = 0;
    }
    m.nmol = 2;
    m.fstatm[1] = 1, m.lstatm[1] = 10;
    m.fstatm[2] = 11, m.lstatm[2] = 15;
    m.natom = 15;
}

struct Result {
    std::vector<int> atoms;  // selected atoms among the 15
    int count = 0;
    std::string out;
};

Result select(const std::string& expr, const std::string& setup = "") {
    test::Session s(setup + expr + "\n");
    build(s.k.mol);
    s.k.flags.bomb = 4;
    s.k.flags.batch = false;
    if (!setup.empty()) {
        // Commands before the expression (variables): run them first.
        std::string w;
        while (s.k.tok.ilen == 0 || s.k.tok.ipos < s.k.tok.ilen) {
            Token t = gettok(s.k);
            if (t.kind == TokKind::linend) {
                getlin(s.k, 5, "T");
                continue;
            }
            if (lcase(t.text) == "assi") assign(s.k);
            else break;
        }
    }
    std::vector<int> flags(maxatm + 1, -1);
    Result r;
    r.count = sele(s.k, flags);
    for (int i = 1; i <= 15; ++i)
        if (flags[i] == 1) r.atoms.push_back(i);
    r.out = s.out.str();
    return r;
}

using V = std::vector<int>;

}  // namespace

TEST(Sele, TermsAndGroups) {
    EXPECT_EQ(select("end").count, 0);
    EXPECT_EQ(select("molecule 2 end").atoms, (V{11, 12, 13, 14, 15}));
    // Residue and atom terms look in the current molecule, 1 by default.
    EXPECT_EQ(select("residue 2 end").atoms, (V{4, 5, 6}));
    EXPECT_EQ(select("residue gly end").atoms, (V{4, 5, 6}));
    EXPECT_EQ(select("molecule 2 residue gly end").atoms, (V{11, 12, 13, 14, 15}));
    // A group is the conjunction of its terms.
    EXPECT_EQ(select("molecule 1 residue ala atom ca end").atoms, (V{2, 8}));
    EXPECT_EQ(select("molecule 2 atom 2 end").atoms, (V{12}));
    EXPECT_EQ(select("live end").count, 15);
    // An expression may span lines.
    EXPECT_EQ(select("molecule 1\n residue 3\n end").atoms, (V{7, 8, 9, 10}));
}

TEST(Sele, OperatorsAndPriorities) {
    EXPECT_EQ(select("molecule 1 residue ala or molecule 2 residue gly end").atoms,
              (V{1, 2, 3, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
    // not acts on the loaded atoms only: the empty slots beyond natom are
    // neither counted nor flagged, and thru never reaches them.
    Result n = select("not molecule 1 end");
    EXPECT_EQ(n.atoms, (V{11, 12, 13, 14, 15}));
    EXPECT_EQ(n.count, 5);
    // The last loaded atom has no atom after it for thru to reach.
    EXPECT_EQ(select("molecule 2 atom 5 thru ( not molecule 1 ) end").count, 0);
    EXPECT_EQ(select("molecule 2 atom 9 end").count, 0);  // slot 19: past the last atom
    // Equal priorities reduce from the left: (a1 or a2) and a2.
    EXPECT_EQ(select("atom 1 or atom 2 and atom 2 end").atoms, (V{2}));
    // Parentheses raise the priority of what they enclose.
    EXPECT_EQ(select("atom 1 and ( atom 1 or atom 2 ) end").atoms, (V{1}));
    EXPECT_EQ(select("atom 1 and atom 1 or atom 2 end").atoms, (V{1, 2}));
    // not binds tighter than and.
    EXPECT_EQ(select("not molecule 1 and molecule 2 end").atoms, (V{11, 12, 13, 14, 15}));
    EXPECT_EQ(select("molecule 2 and not atom 2 end").atoms, (V{11, 13, 14, 15}));
    // thru: from the first atom of the left operand to the first of the right after it.
    EXPECT_EQ(select("molecule 1 atom 3 thru atom 7 end").atoms, (V{3, 4, 5, 6, 7}));
    EXPECT_EQ(select("atom 7 thru atom 3 end").count, 0);  // nothing after atom 7 matches
}

TEST(Sele, SpheresAndBoxes) {
    // Atoms 3..7 lie within 2.0 of atom 5 on the x axis; 3 and 7 exactly at 2.0.
    EXPECT_EQ(select("sphere dist 2.0 atomce 5 end").atoms, (V{3, 4, 5, 6, 7}));
    EXPECT_EQ(select("sphere xyzcen 12.0 10.0 0.0 dist 1.5 end").atoms, (V{11, 12, 13}));
    // Any other word is taken as a centre followed by three numbers.
    EXPECT_EQ(select("sphere at 1.0 0.0 0.0 dist 0.5 end").atoms, (V{1}));
    // The box is open: x exactly 3 is outside.
    EXPECT_EQ(select("inbox 0 -1 -1 3 1 1 end").atoms, (V{1, 2}));
    Result miss = select("sphere dist 1.0 dist 2.0 dist 3.0 end");
    EXPECT_NE(miss.out.find("WARNING: boxfit(1002) Unable to find needed sphere"),
              std::string::npos);
    EXPECT_EQ(miss.count, 0);
}

TEST(Sele, Variables) {
    EXPECT_EQ(select("residue $r end", "assi r = 2 end\n").atoms, (V{4, 5, 6}));
    EXPECT_EQ(select("atom $a end", "assi a = 3.7 end\n").atoms, (V{4}));  // rounded to the nearest
    Result u = select("atom $missing end");
    EXPECT_NE(u.out.find("PARSE_ERROR: sele (010) unknown variable: missing"), std::string::npos);
    EXPECT_EQ(u.count, 0);
}

TEST(Sele, BadTokensAndLimits) {
    Result t = select("molecule 1 = atom 2 end");
    EXPECT_NE(t.out.find(" Token CHAR       not valid\n"), std::string::npos);
    EXPECT_EQ(t.atoms, (V{2}));
    // A number where a keyword is expected ends the expression.
    EXPECT_EQ(select("molecule 2 5 atom 1 end").count, 5);
    std::string nots;
    for (int i = 0; i < 33; ++i) nots += "not (\n";  // lines are 80 columns
    Result o = select(nots + "atom 1 end");
    EXPECT_NE(o.out.find("SERIOUS: sele(080) More than 32 operators"), std::string::npos);
    EXPECT_EQ(o.count, 0);
    std::string group;
    for (int i = 0; i < 32; ++i) group += "molecule 1\n";
    Result g = select(group + "end");
    EXPECT_NE(g.out.find("SERIOUS: sele(050) More than 31 terms in one group"), std::string::npos);
    std::string deep;
    for (int i = 0; i < 33; ++i) deep += "atom 1 or (\n";
    Result d = select(deep + "atom 1 end");
    EXPECT_EQ(d.count, 0);
    EXPECT_NE(d.out.find("selection refused"), std::string::npos);
}

TEST(Sele, SurfaceAndRindOfMoleculeTwo) {
    test::Session s("surf 1.4 200 end\n");
    build(s.k.mol);
    MoleculeStore& m = s.k.mol;
    // Molecule 2 becomes a centre atom wrapped by six neighbours 1.5 A away:
    // the centre is buried, the six are on the surface.
    const float off[7][3] = {{0, 0, 0}, {1.5f, 0, 0}, {-1.5f, 0, 0}, {0, 1.5f, 0},
                             {0, -1.5f, 0}, {0, 0, 1.5f}, {0, 0, -1.5f}};
    for (int a = 0; a < 7; ++a) {
        int i = 11 + a;
        m.x[i] = 50 + off[a][0], m.y[i] = off[a][1], m.z[i] = off[a][2], m.radi[i] = 1.5f;
        m.atnam[i] = Name4("c"), m.resnam[i] = Name4("gly"), m.resnum[i] = 1;
    }
    m.lstatm[2] = 17, m.natom = 17;
    std::vector<int> flags(maxatm + 1);
    EXPECT_EQ(sele(s.k, flags), 6);
    EXPECT_EQ(flags[11], 0);
    EXPECT_EQ(flags[12], 1);
    EXPECT_GT(m.vdwsa[12], 0.0f);
    EXPECT_NE(s.out.str().find("rprobe, nspha:"), std::string::npos);

    test::Session r("rind 1.4 200 2.0 end\n");
    build(r.k.mol);
    for (int a = 0; a < 7; ++a) {
        int i = 11 + a;
        r.k.mol.x[i] = 50 + off[a][0], r.k.mol.y[i] = off[a][1], r.k.mol.z[i] = off[a][2], r.k.mol.radi[i] = 1.5f;
    }
    r.k.mol.lstatm[2] = 17, r.k.mol.natom = 17;
    EXPECT_EQ(sele(r.k, flags), 7);  // the buried centre lies within 2.0 of surface atoms
    EXPECT_EQ(flags[11], 1);

    test::Session one("surf 1.4 200 end\n");
    build(one.k.mol);
    one.k.mol.nmol = 1;
    EXPECT_TRUE(one.ends([&] { sele(one.k, flags); }));
    EXPECT_NE(one.out.str().find("FATAL_ERROR: attempt to use surfselection with .lt. 2 mols."), std::string::npos);
}
