// The request a process of an mpirun start receives for its share of the
// runs, and its reply: a fresh run state that unpacks the request runs a
// run exactly as the sender does; damaged, cut or mismatched bytes are
// refused without a crash; other build limits are named.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "../command/harness.hpp"
#include "../command/scratch.hpp"
#include "bd/bdjob.hpp"
#include "bd/bdrun.hpp"
#include "command/mainloop.hpp"
#include "command/output.hpp"

namespace kova {
namespace {

class BdJob : public test::ScratchFolder {
protected:
    BdJob() : ScratchFolder("kova_bdjob_") {}
};

// A two-subunit unit on a solved grid with a reaction criterion and
// settings away from their defaults, ready for a bd run.
void setup(test::Session& s) {
    std::ofstream("a.qcrd") << "atom 1 ion i 0 0 0 2 3.0\natom 2 ion i 4 0 0 -1 2.0\nend\n";
    std::ofstream("b.qcrd") << "atom 1 ion i 30 0 0 -1 2.0\natom 2 ion i 34 0 0 -1 2.0\nend\n";
    ASSERT_EQ(run_kova(s.k), exit_ok) << s.listing();
}

const char* deck =
    "read mol 1 qcard file a.qcrd end read mol 2 qcard file b.qcrd end\n"
    "edit suni iflx 1 nums 2 atnu 3 3 4 4 end edit funi iflx 1 hrid 2.0 end\n"
    "elec mol1 cent grid 1.5 dime 33 33 33 pdie 2 sdie 78 ions 100 bcfl 2 calc end\n"
    "bd rad1 4.0 bsurf 20.0 qsurf 40.0 psurf 30.0 delt 0.02 nrun 3 ntraj 2 indrnd\n"
    "  rcrd 1 intr 50 end defrxn 1 1 1 2 9.0 end\n"
    "stop\n";

TEST_F(BdJob, AFreshRunStateRunsTheSameRunsFromTheRequest) {
    test::Session s(deck);
    setup(s);
    BdRun& run = s.k.bdrun;
    ASSERT_TRUE(run.indrnd);
    run.disppfx = "dens", run.flxopen[1] = "flx1.trj";
    RunStarts st;
    st.mobile = 2;
    const std::vector<char> job = pack_bd_job(s.k, run, st);
    ASSERT_GT(job.size(), s.k.mess.phi.size() * sizeof(float));

    test::Session w;
    BdRun got;
    RunStarts gst;
    ASSERT_TRUE(unpack_bd_job(job, w.k, got, gst));
    // Every field made the trip: the receiver packs the same bytes.
    EXPECT_EQ(pack_bd_job(w.k, got, gst), job);
    EXPECT_EQ(got.disppfx, "dens");
    EXPECT_EQ(got.nrun, 3);
    EXPECT_EQ(gst.mobile, 2);

    // Run 2 done here and there: the same records and counts.
    std::vector<RunLog> la(3), lb(3);
    std::vector<RunResult> ra(3), rb(3);
    run_share(s.k, run, st, {2}, la, ra, nullptr);
    run_share(w.k, got, gst, {2}, lb, rb, nullptr);
    ASSERT_FALSE(la[1].recs.empty());
    ASSERT_EQ(la[1].recs.size(), lb[1].recs.size());
    for (size_t i = 0; i < la[1].recs.size(); ++i) {
        EXPECT_EQ(la[1].recs[i].unit, lb[1].recs[i].unit);
        EXPECT_EQ(la[1].recs[i].text, lb[1].recs[i].text);
    }
    EXPECT_EQ(ra[1].steps, rb[1].steps);
    EXPECT_GT(ra[1].steps, 0);
    EXPECT_EQ(ra[1].nrxn, rb[1].nrxn);
    EXPECT_EQ(ra[1].last, rb[1].last);
    EXPECT_TRUE(la[0].recs.empty());  // runs not listed are not done

    // The reply carries them back into the run's place.
    const std::vector<char> reply = pack_run_results(true, {2}, la, ra);
    std::vector<RunLog> lc(3);
    std::vector<RunResult> rc(3);
    ASSERT_TRUE(unpack_run_results(reply, {2}, lc, rc));
    EXPECT_EQ(lc[1].recs.size(), la[1].recs.size());
    EXPECT_EQ(rc[1].steps, ra[1].steps);
    // A reply for runs the sender was not given, or a failed one, is refused.
    EXPECT_FALSE(unpack_run_results(reply, {3}, lc, rc));
    EXPECT_FALSE(unpack_run_results(pack_run_results(false, {}, la, ra), {}, lc, rc));

    // Cut or damaged anywhere: refused, never read past the end.
    for (size_t cut : {size_t(0), size_t(3), size_t(100), job.size() / 2, job.size() - 1}) {
        test::Session x;
        BdRun xr;
        RunStarts xs;
        EXPECT_FALSE(unpack_bd_job(std::vector<char>(job.begin(), job.begin() + long(cut)), x.k, xr, xs)) << cut;
    }
    std::vector<char> bad = job;
    bad[0] ^= 1;
    test::Session x;
    BdRun xr;
    RunStarts xs;
    EXPECT_FALSE(unpack_bd_job(bad, x.k, xr, xs));
    for (size_t cut : {size_t(0), size_t(10), reply.size() - 1})
        EXPECT_FALSE(unpack_run_results(std::vector<char>(reply.begin(), reply.begin() + long(cut)), {2}, lc, rc));
}

TEST_F(BdJob, ARunWhosePositionsBlowUpEndsWithAMessage) {
    // Ten times the step: the bond (80 kcal/mol/A**2 on beads of radius 2)
    // makes D dt k/kT about 3, beyond the stable limit of 2, and the
    // positions grow without bound. The run stops at the first position
    // that is not finite, never reading the grid at it.
    test::Session s(deck);
    setup(s);
    BdRun stiff = s.k.bdrun;
    stiff.delt = 0.2f;
    std::vector<RunLog> logs(3);
    std::vector<RunResult> res(3);
    run_share(s.k, stiff, RunStarts{{}, 2}, {1}, logs, res, nullptr);
    EXPECT_EQ(logs[0].fault, fatal);
    ASSERT_FALSE(logs[0].recs.empty());
    EXPECT_NE(logs[0].recs.back().text.find("ERROR: bd (007) at step"), std::string::npos) << logs[0].recs.back().text;
    EXPECT_NE(logs[0].recs.back().text.find("is not finite: the time step is too long for the forces"),
              std::string::npos);
}

TEST(BdJobLimits, OtherBuildLimitsAreNamed) {
    std::string why;
    const std::vector<char> mine = pack_limits();
    EXPECT_TRUE(limits_match(mine, why)) << why;
    // The grid limit is the second number after the version.
    std::vector<char> other = mine;
    const int grd = maxgrd + 96;
    std::memcpy(other.data() + 2 * sizeof(int), &grd, sizeof grd);
    EXPECT_FALSE(limits_match(other, why));
    EXPECT_NE(why.find("maxgrd " + std::to_string(maxgrd) + " here, " + std::to_string(grd) + " on process 0"),
              std::string::npos)
        << why;
    EXPECT_FALSE(limits_match(std::vector<char>(mine.begin(), mine.end() - 1), why));
    EXPECT_FALSE(limits_match({}, why));
    // Every process takes every np-th run.
    EXPECT_EQ(runs_of(0, 2, 5), (std::vector<int>{1, 3, 5}));
    EXPECT_EQ(runs_of(1, 2, 5), (std::vector<int>{2, 4}));
    EXPECT_EQ(runs_of(3, 4, 2), (std::vector<int>{}));
}

}  // namespace
}  // namespace kova
