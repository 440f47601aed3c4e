// Packing of a Brownian-dynamics request for the other processes and of
// their replies, and the serving loop of those processes.
#include "bd/bdjob.hpp"

#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <type_traits>

#include "bd/bdrun.hpp"
#include "bd/procs.hpp"
#include "command/kova.hpp"
#include "command/output.hpp"

namespace kova {

namespace {

// Appends values to a byte buffer: plain values as their bytes, strings and
// vectors with their length first.
struct Packer {
    std::vector<char>& b;
    void bytes(const void* p, size_t n) {
        const size_t at = b.size();
        b.resize(at + n);
        if (n) std::memcpy(b.data() + at, p, n);
    }
    template <class T>
    void operator()(const T& v) {
        static_assert(std::is_trivially_copyable_v<T>);
        bytes(&v, sizeof v);
    }
    void operator()(const std::string& s) {
        (*this)(static_cast<unsigned long long>(s.size()));
        bytes(s.data(), s.size());
    }
    template <class T>
    void operator()(const std::vector<T>& v) {
        static_assert(std::is_trivially_copyable_v<T>);
        (*this)(static_cast<unsigned long long>(v.size()));
        bytes(v.data(), v.size() * sizeof(T));
    }
    template <size_t N>
    void operator()(const std::array<std::string, N>& a) {
        for (const std::string& s : a) (*this)(s);
    }
};

// Reads them back in the same order; ok turns false (and stays false) when
// the buffer ends early or a length is impossible.
struct Unpacker {
    const std::vector<char>& b;
    size_t at = 0;
    bool ok = true;
    bool bytes(void* p, size_t n) {
        if (!ok || n > b.size() - at) return ok = false;
        if (n) std::memcpy(p, b.data() + at, n);
        at += n;
        return true;
    }
    template <class T>
    void operator()(T& v) {
        static_assert(std::is_trivially_copyable_v<T>);
        bytes(&v, sizeof v);
    }
    unsigned long long length(size_t elem) {
        unsigned long long n = 0;
        (*this)(n);
        if (!ok || n > (b.size() - at) / elem) return ok = false, 0;
        return n;
    }
    void operator()(std::string& s) {
        const unsigned long long n = length(1);
        s.assign(ok ? b.data() + at : "", ok ? size_t(n) : 0);
        at += ok ? size_t(n) : 0;
    }
    template <class T>
    void operator()(std::vector<T>& v) {
        static_assert(std::is_trivially_copyable_v<T>);
        const unsigned long long n = length(sizeof(T));
        v.resize(ok ? size_t(n) : 0);
        bytes(v.data(), v.size() * sizeof(T));
    }
    template <size_t N>
    void operator()(std::array<std::string, N>& a) {
        for (std::string& s : a) (*this)(s);
    }
};

// The run settings, field by field (the strings among them rule out a copy
// of the bytes). A field added to BdRun must be added here: the size check
// below fails until it is.
template <class A, class B>
void bdrun_fields(A& a, B& b) {
    a(b.beta), a(b.svis), a(b.hifac), a(b.rad1), a(b.nrun), a(b.ntraj), a(b.maxstp), a(b.mcyccn);
    a(b.delt), a(b.bsurf), a(b.qsurf), a(b.psurf), a(b.msurf), a(b.maxtim), a(b.nreg), a(b.regub), a(b.regmul);
    a(b.thtl), a(b.thth), a(b.phil), a(b.phih), a(b.srad), a(b.calctp);
    a(b.ctim), a(b.frcon), a(b.rndon), a(b.bkbmp), a(b.stpson), a(b.zhou), a(b.frzon), a(b.frznew), a(b.frozen);
    a(b.rateon), a(b.focor), a(b.loccor), a(b.indrnd);
    a(b.stpst), a(b.stpat), a(b.trjst), a(b.rnst), a(b.impd), a(b.drsite), a(b.nstrpos), a(b.dfcr), a(b.nbins);
    a(b.cnsr), a(b.imfrce), a(b.maxfrc), a(b.rcrd), a(b.intr), a(b.rxnz), a(b.rxnzun), a(b.rest), a(b.restprts);
    a(b.dispn), a(b.disppfx), a(b.seeded), a(b.sphere1), a(b.sphere2);
    a(b.flxopen), a(b.rxnopen), a(b.hxzopen), a(b.stropen);
}
#if defined(__GLIBCXX__) && defined(__x86_64__)
static_assert(sizeof(BdRun) == 1136, "a field of BdRun changed: update bdrun_fields and this size");
#endif

template <class A, class E>
void env_fields(A& a, E& e) {
    a(e.epsint), a(e.epsout), a(e.kappa), a(e.pdie), a(e.sdie), a(e.cion), a(e.field7), a(e.temp);
    a(e.field9), a(e.field10), a(e.srfd), a(e.srfdeps), a(e.srfdgiven), a(e.action);
}

// What the trajectories read of the grid store: the potential and the
// exclusion map with their geometry, and the far-field description.
template <class A, class G>
void grid_fields(A& a, G& g) {
    a(g.h), a(g.xo), a(g.yo), a(g.zo), a(g.nx), a(g.ny), a(g.nz), a(g.nxy), a(g.nxyz);
    a(g.bcfl), a(g.qnet), a(g.reff), a(g.xcen), a(g.ycen), a(g.zcen), a(g.phiset), a(g.phibad);
    a(g.isel), a(g.phi), a(g.iacs);
}

// The unit numbers the runs' records are logged for.
template <class A, class F>
void unit_fields(A& a, F& f) {
    a(f.inunit), a(f.outunit), a(f.msgunit), a(f.flxunit), a(f.wrunit), a(f.rdunit), a(f.frcunit);
    a(f.efrcunit), a(f.qfrcunit), a(f.rstunit), a(f.rxnunit), a(f.strunit), a(f.hxzunit);
}

constexpr int job_version = 1;
constexpr unsigned job_mark = 0x6b6f7661;  // the request's first word

struct Limits {
    int version = job_version;
    int atm = maxatm, grd = maxgrd, sub = maxsub, mol = maxmol, run = maxrun, sym = maxsym;
    int dfu = maxdfu, flx = maxflx, rxn = maxrxn, crt = maxcrt;
    unsigned long long molsize = sizeof(MoleculeStore), rxnsize = sizeof(ReactionStore);
    unsigned long long rndsize = sizeof(RandomStore), ressize = sizeof(RunResult);
};

}  // namespace

std::vector<char> pack_limits() {
    std::vector<char> b;
    Packer p{b};
    p(Limits{});
    return b;
}

bool limits_match(const std::vector<char>& theirs, std::string& why) {
    Limits t;
    Unpacker u{theirs};
    u(t);
    if (!u.ok || u.at != theirs.size() || t.version != job_version) {
        why = "the request comes from another release of the program";
        return false;
    }
    const Limits m;
    std::ostringstream o;
    auto cmp = [&](const char* name, long long a, long long b) {
        if (a != b) o << (o.tellp() > 0 ? ", " : "") << name << " " << b << " here, " << a << " on process 0";
    };
    cmp("maxatm", t.atm, m.atm), cmp("maxgrd", t.grd, m.grd), cmp("maxsub", t.sub, m.sub);
    cmp("maxmol", t.mol, m.mol), cmp("maxrun", t.run, m.run), cmp("maxsym", t.sym, m.sym);
    cmp("maxdfu", t.dfu, m.dfu), cmp("maxflx", t.flx, m.flx), cmp("maxrxn", t.rxn, m.rxn), cmp("maxcrt", t.crt, m.crt);
    cmp("molecule store bytes", (long long)t.molsize, (long long)m.molsize);
    cmp("reaction store bytes", (long long)t.rxnsize, (long long)m.rxnsize);
    cmp("random store bytes", (long long)t.rndsize, (long long)m.rndsize);
    cmp("run result bytes", (long long)t.ressize, (long long)m.ressize);
    why = o.str();
    return why.empty();
}

std::vector<char> pack_bd_job(const Kova& k, const BdRun& run, const RunStarts& st) {
    std::vector<char> b;
    b.reserve(sizeof(MoleculeStore) + 2 * sizeof(float) * k.mess.phi.size() + 65536);
    Packer p{b};
    p(job_mark);
    // The molecule store is fixed arrays only (its copy is deleted to keep
    // accidental copies out, not because its bytes are not a copy).
    p.bytes(static_cast<const void*>(&k.mol), sizeof(MoleculeStore));
    p(k.rxn), p(k.rnd), p(k.flags);
    grid_fields(p, k.mess);
    env_fields(p, k.env);
    unit_fields(p, k.files);
    bdrun_fields(p, run);
    p(st.pos), p(st.mobile);
    p(job_mark);
    return b;
}

bool unpack_bd_job(const std::vector<char>& bytes, Kova& k, BdRun& run, RunStarts& st) {
    Unpacker u{bytes};
    unsigned mark = 0;
    u(mark);
    if (!u.ok || mark != job_mark) return false;
    u.bytes(static_cast<void*>(&k.mol), sizeof(MoleculeStore));
    u(k.rxn), u(k.rnd), u(k.flags);
    grid_fields(u, k.mess);
    env_fields(u, k.env);
    unit_fields(u, k.files);
    bdrun_fields(u, run);
    u(st.pos), u(st.mobile);
    mark = 0;
    u(mark);
    // The grid maps must hold the grid their sizes describe.
    const GridStore& g = k.mess;
    const size_t need = size_t(g.nx) * size_t(g.ny) * size_t(g.nz);
    const bool grid_ok = g.nx >= 0 && g.ny >= 0 && g.nz >= 0 && (g.phi.empty() || g.phi.size() > need) &&
                         (g.iacs.empty() || g.iacs.size() > need);
    return u.ok && mark == job_mark && u.at == bytes.size() && grid_ok && run.nrun >= 1 && run.nrun <= maxrun &&
           st.mobile >= 0 && st.mobile <= maxsub;
}

std::vector<char> pack_run_results(bool ok, const std::vector<int>& mine, const std::vector<RunLog>& logs,
                                   const std::vector<RunResult>& res) {
    std::vector<char> b;
    Packer p{b};
    p(job_mark), p(ok);
    if (!ok) return b;
    p(static_cast<int>(mine.size()));
    for (int r : mine) {
        const RunLog& l = logs[size_t(r - 1)];
        p(r), p(res[size_t(r - 1)]), p(l.fault), p(static_cast<unsigned long long>(l.recs.size()));
        for (const RunLog::Rec& rec : l.recs) p(rec.unit), p(rec.text);
    }
    p(job_mark);
    return b;
}

bool unpack_run_results(const std::vector<char>& bytes, const std::vector<int>& theirs, std::vector<RunLog>& logs,
                        std::vector<RunResult>& res) {
    Unpacker u{bytes};
    unsigned mark = 0;
    bool ok = false;
    u(mark), u(ok);
    if (!u.ok || mark != job_mark || !ok) return false;
    int n = 0;
    u(n);
    if (!u.ok || n != int(theirs.size())) return false;
    for (int i = 0; i < n; ++i) {
        int r = 0;
        u(r);
        if (!u.ok || r != theirs[size_t(i)] || r < 1 || size_t(r) > logs.size()) return false;
        RunLog& l = logs[size_t(r - 1)];
        u(res[size_t(r - 1)]), u(l.fault);
        const unsigned long long nrec = u.length(sizeof(int) + sizeof(unsigned long long));
        l.recs.resize(size_t(nrec));
        for (RunLog::Rec& rec : l.recs) u(rec.unit), u(rec.text);
    }
    u(mark);
    return u.ok && mark == job_mark && u.at == bytes.size();
}

std::vector<int> runs_of(int p, int np, int nrun) {
    std::vector<int> v;
    for (int r = p + 1; r <= nrun; r += np) v.push_back(r);
    return v;
}

bool spread_runs(Kova& k, const BdRun& run, const RunStarts& st) {
    if (procs_count() < 2) return true;
    ProcRequest req = ProcRequest::bd_runs;
    procs_bcast_request(req);
    std::vector<char> lim = pack_limits();
    procs_bcast_bytes(lim);
    if (!procs_all_ok(true)) {
        msg(k, "FATAL: bd (005) a process of this run was built with other limits and cannot take its runs "
               "(its message is on its standard error)");
        return false;
    }
    std::vector<char> job = pack_bd_job(k, run, st);
    procs_bcast_bytes(job);
    return true;
}

bool gather_runs(Kova& k, int nrun, std::vector<RunLog>& logs, std::vector<RunResult>& res) {
    bool ok = true;
    for (int p = 1; p < procs_count(); ++p) {
        std::vector<char> reply;
        procs_recv_from(p, reply);
        if (!unpack_run_results(reply, runs_of(p, procs_count(), nrun), logs, res)) {
            msg(k, "FATAL: bd (006) the runs of process ", std::to_string(p) + " did not come back whole");
            ok = false;
        }
    }
    return ok;
}

int procs_serve() {
    std::istringstream nothing_in;
    std::ostringstream nothing_out;
    auto k = std::make_unique<Kova>(nothing_in, nothing_out, std::cerr);
    auto run = std::make_unique<BdRun>();
    int status = exit_ok;
    const int me = procs_rank(), np = procs_count();
    for (;;) {
        ProcRequest req = ProcRequest::stop;
        procs_bcast_request(req);
        if (req != ProcRequest::bd_runs) break;
        std::vector<char> lim;
        procs_bcast_bytes(lim);
        std::string why;
        const bool fits = limits_match(lim, why);
        if (!fits) std::cerr << "kova: process " << me << " cannot take its runs: built with " << why << "\n";
        if (!procs_all_ok(fits)) {
            if (!fits) status = exit_fatal;
            continue;
        }
        std::vector<char> job;
        procs_bcast_bytes(job);
        RunStarts st;
        const bool good = unpack_bd_job(job, *k, *run, st);
        if (!good) std::cerr << "kova: process " << me << " received a damaged request\n";
        std::vector<RunLog> logs(good ? size_t(run->nrun) : 0);
        std::vector<RunResult> res(logs.size());
        const std::vector<int> mine = good ? runs_of(me, np, run->nrun) : std::vector<int>{};
        if (good) run_share(*k, *run, st, mine, logs, res, nullptr);
        procs_send_to_root(pack_run_results(good, mine, logs, res));
    }
    procs_finish();
    return status;
}

}  // namespace kova
