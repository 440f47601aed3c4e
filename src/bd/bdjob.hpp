// What process 0 sends the other processes of an mpirun start for their
// share of a Brownian-dynamics simulation with independent streams, and
// what they send back; and the two ends of that exchange.
//
// The request carries the subunit and atom tables, the units, the reaction
// criteria, the potential grid with its exclusion map and far-field
// description, the environment, the run settings, the seeds and Gaussian
// table, the abort level, the unit numbers the records go to and the start
// positions read ahead. Before it goes, every process compares the build
// limits that size those stores: a process built with other limits cannot
// take the request, and every process stops with a message instead of
// waiting for data it could not read.
#pragma once

#include <string>
#include <vector>

#include "bd/runshare.hpp"

namespace kova {

struct Kova;
struct BdRun;

// The build limits and store sizes of this program, and the check of
// another process's against them (why: what differs).
std::vector<char> pack_limits();
bool limits_match(const std::vector<char>& theirs, std::string& why);

std::vector<char> pack_bd_job(const Kova& k, const BdRun& run, const RunStarts& st);
// False (k and run partly written) for bytes that are not a whole request.
bool unpack_bd_job(const std::vector<char>& bytes, Kova& k, BdRun& run, RunStarts& st);

// The runs listed in mine, from logs and res (indexed run - 1); and back
// into them, checking that each run is one the sender was given.
std::vector<char> pack_run_results(bool ok, const std::vector<int>& mine, const std::vector<RunLog>& logs,
                                   const std::vector<RunResult>& res);
bool unpack_run_results(const std::vector<char>& bytes, const std::vector<int>& theirs, std::vector<RunLog>& logs,
                        std::vector<RunResult>& res);

// The runs process p of np takes: every np-th, starting with run p + 1.
std::vector<int> runs_of(int p, int np, int nrun);

// Process 0: hands the other processes their runs (false, after the
// message, when one of them cannot take them); then, after its own share,
// gathers theirs into logs and res (false when a reply is damaged).
bool spread_runs(Kova& k, const BdRun& run, const RunStarts& st);
bool gather_runs(Kova& k, int nrun, std::vector<RunLog>& logs, std::vector<RunResult>& res);

}  // namespace kova
