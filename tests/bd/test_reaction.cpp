// Reaction criteria: the strict limit and the conjunction of a site's
// criteria, monitoring of the order in which sites are met, the gated
// reaction against its survival probabilities, entry of a set with refused
// numbers keeping the earlier set, and the listings.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "../command/harness.hpp"
#include "bd/random.hpp"
#include "bd/reaction.hpp"
#include "command/output.hpp"
#include "command/readers.hpp"

namespace kova {
namespace {

// Atom 1 at the origin, atom 2 at (10, 0, 0); subunits placed by the test.
struct Scene {
    std::array<float, 4> ax{0, 0, 10}, ay{}, az{}, sx{}, sy{}, sz{};
    ReactionStore r;
    RandomState rng{1802, 9373};
    bool test(float x1, float y1, float x2 = 0, bool zhou = false, RxnTrace* tr = nullptr) {
        sx[1] = x1, sy[1] = y1, sx[2] = x2;
        return rxntst(r, {ax, ay, az}, {sx, sy, sz}, 0.05f, zhou, rng, tr);
    }
    void criterion(int site, int crit, int atom, int sub, float dist) {
        r.nsite = std::max(r.nsite, site);
        r.ncrit[site] = std::max(r.ncrit[site], crit);
        r.patom[site][crit] = atom, r.psub[site][crit] = sub, r.pdist[site][crit] = dist;
    }
};

TEST(Reaction, StrictLimitsConjunctionAndMonitoredOrder) {
    Scene s;  // the default: atom 1 within 1.0 A of subunit 1
    EXPECT_FALSE(s.test(0, -1));
    EXPECT_TRUE(s.test(0, -0.999f));
    // Site 1 also needs atom 2 within 2 A of subunit 2; the 3-4-5 triangle
    // puts subunit 1 exactly at a limit of 5.
    s.r.pdist[1][1] = 5;
    s.criterion(1, 2, 2, 2, 2);
    RxnTrace tr;
    EXPECT_FALSE(s.test(3, 4, 11, false, &tr));
    ASSERT_EQ(tr.n, 1);  // the first unmet criterion ends the site
    EXPECT_FLOAT_EQ(tr.item[0].dist, 5);
    EXPECT_FALSE(s.test(3, 3.99f, 12.5f, false, &tr));
    EXPECT_EQ(tr.n, 2);
    EXPECT_TRUE(s.test(3, 3.99f, 11.5f));

    // Site 2: subunit 1 within 1 A of atom 2. Without monitoring it reacts
    // alone; with it, only once site 1 has been met too: siteord 2 1.
    s.criterion(2, 1, 2, 1, 1);
    EXPECT_TRUE(s.test(9.5f, 0));
    s.r.mrxn = true;
    EXPECT_FALSE(s.test(9.5f, 0));
    EXPECT_FALSE(s.test(5, 5));
    EXPECT_FALSE(s.test(9.5f, 0));
    EXPECT_TRUE(s.test(0.5f, 0, 11));
    EXPECT_EQ(s.r.siteord[1], 2);
    EXPECT_EQ(s.r.siteord[2], 1);
    // The monitor record as a Fortran run-time writes it; writing clears the
    // order, so the next trajectory must meet both sites again.
    test::Session io;
    wrsord(io.k.units, 6, s.r);
    EXPECT_EQ(io.out.str(), "  2  1\n");
    EXPECT_FALSE(s.test(0.5f, 0, 11));
    s.r.nsite = 27;
    s.r.siteord[26] = 7;
    EXPECT_EQ(sitord_records(s.r).at(1), " 7  0");  // 25 per record
}

TEST(Reaction, GatedReactionFollowsTheSurvivalProbabilities) {
    Scene s;
    s.r.zkap = 2;  // with dt 0.05: dt*zkap = 0.1
    for (int n = 0; n < 100000; ++n) ASSERT_FALSE(s.test(0, 3, 0, true));  // never outside
    EXPECT_FALSE(s.r.inzone);
    // Reacting fraction of one step: 1 - exp(-dt*zkap) inside the zone,
    // 1 - exp(-dt*zkap/2) on entering or leaving it; bound 5 sigma.
    auto check = [&](bool inside, bool before, double p) {
        const int n = 400000;
        int hits = 0;
        for (int i = 0; i < n; ++i) {
            s.r.inzone = before;
            const bool hit = s.test(0, inside ? 0.5f : 3, 0, true);
            hits += hit;
            ASSERT_EQ(s.r.inzone, hit ? before : inside);  // survival moves the zone flag on
        }
        EXPECT_NEAR(static_cast<double>(hits) / n, p, 5 * std::sqrt(p * (1 - p) / n));
    };
    check(true, true, 1 - std::exp(-0.1));
    check(true, false, 1 - std::exp(-0.05));
    check(false, true, 1 - std::exp(-0.05));
}

// Molecule 1 of three atoms (ALA 12), molecule 2 of two, in two subunits.
void molecules(Kova& k) {
    MoleculeStore& m = k.mol;
    m.nmol = 2, m.natom = 5, m.nsbtot = 2;
    m.fstatm[1] = 1, m.lstatm[1] = 3, m.fstatm[2] = 4, m.lstatm[2] = 5;
    const char* names[] = {"", "N", "CA", "CB", "N", "CA"};
    for (int a = 1; a <= 5; ++a) m.atnam[a] = Name4(names[a]), m.resnum[a] = 12, m.resnam[a] = Name4("ALA");
}

TEST(ReactionEntry, ReadsASetAndRefusalsKeepTheEarlierSetAndTheInputInStep) {
    test::Session s("2\n1 3 2 4.5\n2\n1 1 2.5 2 2 6\nnext\n"
                    "1 1 4 1 1.0 next\n"        // an atom of molecule 2
                    "1 2 1 3 0 3 2 1.5 next\n"  // subunit 3, distance 0: the set is still read
                    "1 11 next 41 next\n"       // a refused count ends the reading at once
                    "1 1 1 1 -2.0\n");
    Kova& k = s.k;
    molecules(k);
    ASSERT_TRUE(dfrxst(k));
    const ReactionStore want = k.rxn;
    EXPECT_EQ(want.nsite, 2);
    EXPECT_EQ(want.ncrit[2], 2);
    EXPECT_EQ(want.patom[1][1], 3);
    EXPECT_EQ(want.psub[2][2], 2);
    EXPECT_FLOAT_EQ(want.pdist[2][1], 2.5f);
    k.flags.bomb = 5;  // messages only: reading goes on
    for (int n = 0; n < 4; ++n) {
        EXPECT_EQ(getnam(k, 5, "Bddrv"), "next");
        EXPECT_FALSE(dfrxst(k));
        EXPECT_TRUE(k.rxn.nsite == 2 && k.rxn.ncrit == want.ncrit && k.rxn.patom == want.patom &&
                    k.rxn.psub == want.psub && k.rxn.pdist == want.pdist);
    }
    EXPECT_EQ(getnam(k, 5, "Bddrv"), "next");
    for (const char* t : {"SERIOUS: dfrxst (030) target atom outside the atoms of molecule 1 (1 to 3): 4",
                          "SERIOUS: dfrxst (040) substrate subunit outside 1 to 2: 3",
                          "SERIOUS: dfrxst (050) reaction distance not positive: 0",
                          "SERIOUS: dfrxst (020) number of distance criteria of site 1 outside 1 to 10: 11",
                          "SERIOUS: dfrxst (010) number of reaction sites outside 1 to 40: 41"})
        EXPECT_NE(s.out.str().find(t), std::string::npos) << t;
    k.flags.bomb = 3;  // at the default abort level a refusal ends the run
    EXPECT_TRUE(s.ends([&] { dfrxst(k); }));
    EXPECT_EQ(s.status, exit_abort);

    // Before any unit is defined no subunit number can be accepted, except
    // by a caller that uses the atoms and distances alone.
    test::Session u("1 1 1 1 1.0 1 1 1 1 1.0");
    molecules(u.k);
    u.k.mol.nsbtot = -9999;
    u.k.flags.bomb = 5;
    EXPECT_FALSE(dfrxst(u.k));
    EXPECT_NE(u.out.str().find("SERIOUS: dfrxst (040) substrate subunit with no subunit defined: 1"),
              std::string::npos);
    EXPECT_TRUE(dfrxst(u.k, false));
}

TEST(ReactionEntry, ListingsHaveTheirLayouts) {
    test::Session s;
    Kova& k = s.k;
    molecules(k);
    k.rxn.ncrit[1] = 2, k.rxn.patom[1][2] = 2, k.rxn.psub[1][2] = 2, k.rxn.pdist[1][2] = 4.5f;
    k.rxn.xdist = 0.5f, k.rxn.tmin = 12.25f;
    prtrxn(k, true);
    RxnTrace tr;
    tr.item[0] = {1, 2, 12.3456f, 4.5f};
    tr.n = 1;
    prtdrs(k, tr, 1000, 0);
    prtdrs(k, tr, 0, 2.5f);
    rxndef(k);
    prtrxn(k);
    const std::string head =
        "            Reaction Site Definitions\n"
        "            Protein unit                 Diffusing\n"
        " site restr atom  atom resid resid   *   subunit       Distance  \n"
        "  num  num   num  name  num  name    *   number       (Angstroms)\n"
        " ---- ----  ----- ---- ----- ----    *   -------      -----------\n"
        "    1    1     1  N      12  ALA     *      1            1.000\n";
    EXPECT_EQ(s.out.str(), head +
                               "    1    2     2  CA     12  ALA     *      2            4.500\n"
                               "  Extra distance to ensure reaction is over         :     0.500 A \n"
                               "  Minimum time required between reactions           :    12.250 ps\n"
                               " nsteps     1000  m/n site    1   2  distance   12.346  react    4.500\n"
                               " time      2.500  m/n site    1   2  distance   12.346  react    4.500\n" +
                               head);
}

}  // namespace
}  // namespace kova
