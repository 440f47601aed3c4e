// The processes of one kova run started by mpirun. Process 0 reads the deck
// and writes the listing; the others wait for the Brownian-dynamics runs it
// hands out (bd indrnd), do their share and send back what the runs wrote.
// Without MPI in the build, or when kova is not started by mpirun, there is
// one process and every call here is a no-op.
#pragma once

#include <string>
#include <vector>

namespace kova {

// Joins the process group when started by mpirun (argc/argv as main has
// them). Call once, first thing in main.
void procs_init(int& argc, char**& argv);
// Number of processes and this one's rank (1 and 0 without MPI).
int procs_count();
int procs_rank();
// Process 0 at its end: tells the others to stop; every process: leaves the
// group. Safe to call more than once.
void procs_finish();

// Serves the requests of process 0 until it says stop (processes other
// than 0). Returns the exit status of this process.
int procs_serve();

// What process 0 sends: a request word, then the request's bytes.
enum class ProcRequest : int { stop = 0, bd_runs = 1 };

// Collective steps, on every process (no-ops with one process).
void procs_bcast_request(ProcRequest& r);
void procs_bcast_bytes(std::vector<char>& bytes);  // sized on the others
bool procs_all_ok(bool ok);                          // true when every process says ok
// Point to point: a worker sends its bytes to process 0, which receives
// them from the worker of that rank.
void procs_send_to_root(const std::vector<char>& bytes);
void procs_recv_from(int rank, std::vector<char>& bytes);

}  // namespace kova
