// Runs of a simulation with independent streams (bd indrnd) done apart from
// the listing: on the threads of this process or on other processes. Each
// run leaves its records and its counts; the caller writes them out in run
// order, so that the listing and the files are the same whoever ran what.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "bd/hydro.hpp"
#include "bd/rates.hpp"

namespace kova {

struct Kova;
struct BdRun;

// What one run writes: records in the order written, each for its unit (a
// negative unit: an unformatted record of unit -unit); and the severity
// that stopped the run, if one did.
struct RunLog {
    struct Rec {
        int unit;
        std::string text;
    };
    std::vector<Rec> recs;
    int fault = 0;
};

// The counts one run leaves for the gathering in run order.
struct RunResult {
    int nrxn = 0;
    long steps = 0, bumps = 0, escaped = 0, limited = 0, unconverged = 0;
    double time = 0;
    DiffusionBins bins;
    long cn_calls = 0;
    double cn_sum = 0, cn_sq = 0;
    std::array<float, maxdof> last{};  // positions at the end of the run
};

// Everything a share of the runs needs beyond the run state: the start
// positions read ahead from the start file (run by run, trajectory by
// trajectory, mobile subunit by subunit; empty without one) and the count
// of mobile subunits.
struct RunStarts {
    std::vector<float> pos;
    int mobile = 0;
};

// Does the runs listed in mine (1-based run numbers) over the threads of
// this process, each with its own stream, into logs[r-1] and res[r-1]
// (sized nrun). done, when given, is told of each finished trajectory (its
// run and whether it reacted), one call at a time.
void run_share(Kova& k, BdRun& run, const RunStarts& starts, const std::vector<int>& mine,
               std::vector<RunLog>& logs, std::vector<RunResult>& res,
               const std::function<void(int run, int reacted)>& done);

// Threads this process runs its share on.
int run_threads();

}  // namespace kova
