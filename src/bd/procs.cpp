// The process group of an mpirun start: joining it only when the launcher
// says so (its environment variables), so that a plain start never touches
// MPI; collective and point-to-point steps on byte buffers.
#include "bd/procs.hpp"

#include <algorithm>
#include <cstdlib>
#include <limits>

#ifdef KOVA_HAVE_MPI
#include <mpi.h>
#endif

namespace kova {

namespace {
int nproc = 1, myrank = 0;
bool joined = false, finished = false;

#ifdef KOVA_HAVE_MPI
// Started by a launcher: Open MPI, MPICH/Hydra and PMIx set one of these.
bool launched() {
    for (const char* v : {"OMPI_COMM_WORLD_SIZE", "PMIX_RANK", "PMI_SIZE", "PMI_RANK"})
        if (std::getenv(v)) return true;
    return false;
}
#endif
}  // namespace

void procs_init(int& argc, char**& argv) {
#ifdef KOVA_HAVE_MPI
    if (!launched()) return;
    int provided = 0;
    MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
    MPI_Comm_size(MPI_COMM_WORLD, &nproc);
    MPI_Comm_rank(MPI_COMM_WORLD, &myrank);
    joined = true;
#else
    (void)argc, (void)argv;
#endif
}

int procs_count() { return nproc; }
int procs_rank() { return myrank; }

void procs_finish() {
    if (!joined || finished) return;
    if (myrank == 0) {
        ProcRequest r = ProcRequest::stop;
        procs_bcast_request(r);
    }
    finished = true;
#ifdef KOVA_HAVE_MPI
    MPI_Finalize();
#endif
}

void procs_bcast_request(ProcRequest& r) {
#ifdef KOVA_HAVE_MPI
    if (nproc < 2) return;
    int v = static_cast<int>(r);
    MPI_Bcast(&v, 1, MPI_INT, 0, MPI_COMM_WORLD);
    r = static_cast<ProcRequest>(v);
#else
    (void)r;
#endif
}

#ifdef KOVA_HAVE_MPI
namespace {
// Byte buffers go in pieces that an int count can describe.
constexpr size_t piece = size_t(1) << 30;
}  // namespace
#endif

void procs_bcast_bytes(std::vector<char>& bytes) {
#ifdef KOVA_HAVE_MPI
    if (nproc < 2) return;
    unsigned long long n = bytes.size();
    MPI_Bcast(&n, 1, MPI_UNSIGNED_LONG_LONG, 0, MPI_COMM_WORLD);
    bytes.resize(size_t(n));
    for (size_t at = 0; at < bytes.size(); at += piece)
        MPI_Bcast(bytes.data() + at, int(std::min(piece, bytes.size() - at)), MPI_CHAR, 0, MPI_COMM_WORLD);
#else
    (void)bytes;
#endif
}

bool procs_all_ok(bool ok) {
#ifdef KOVA_HAVE_MPI
    if (nproc < 2) return ok;
    int mine = ok ? 1 : 0, all = 0;
    MPI_Allreduce(&mine, &all, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
    return all == 1;
#else
    return ok;
#endif
}

void procs_send_to_root(const std::vector<char>& bytes) {
#ifdef KOVA_HAVE_MPI
    unsigned long long n = bytes.size();
    MPI_Send(&n, 1, MPI_UNSIGNED_LONG_LONG, 0, 1, MPI_COMM_WORLD);
    for (size_t at = 0; at < bytes.size(); at += piece)
        MPI_Send(bytes.data() + at, int(std::min(piece, bytes.size() - at)), MPI_CHAR, 0, 2, MPI_COMM_WORLD);
#else
    (void)bytes;
#endif
}

void procs_recv_from(int rank, std::vector<char>& bytes) {
#ifdef KOVA_HAVE_MPI
    unsigned long long n = 0;
    MPI_Recv(&n, 1, MPI_UNSIGNED_LONG_LONG, rank, 1, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    bytes.resize(size_t(n));
    for (size_t at = 0; at < bytes.size(); at += piece)
        MPI_Recv(bytes.data() + at, int(std::min(piece, bytes.size() - at)), MPI_CHAR, rank, 2, MPI_COMM_WORLD,
                 MPI_STATUS_IGNORE);
#else
    (void)rank, (void)bytes;
#endif
}

}  // namespace kova
