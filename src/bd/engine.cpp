// The Brownian-dynamics trajectory engine.
//
// The engine works on flat copies of the subunit centres (pos[3*i + c] for
// subunit i + 1): the accepted positions, the trial positions of the step,
// the forces and the random displacements, and the diffusion tensor with its
// factor. The subunit table holds the accepted positions between
// trajectories (a later trajectory with nstrpos starts from them, the
// restart file records them).
#include "bd/engine.hpp"

#include <unistd.h>
#ifdef _OPENMP
#include <omp.h>
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "bd/bdjob.hpp"
#include "bd/bdrun.hpp"
#include "bd/constraints.hpp"
#include "bd/forces.hpp"
#include "bd/hydro.hpp"
#include "bd/procs.hpp"
#include "bd/reaction.hpp"
#include "bd/runshare.hpp"
#include "bd/units.hpp"
#include "command/commands.hpp"
#include "command/output.hpp"
#include "fortio/format.hpp"

namespace kova {

namespace {

constexpr float tokcal = 0.0023900573f;  // internal force units to kcal/mol/A
constexpr int denunit = 41;               // the reaction-density file

}  // namespace

bool bump_excluded(const GridStore& g, const float p[3]) {
    if (g.iacs.empty()) return false;
    // Off the grid (or not a number): no bump, and no integer conversion of
    // a value it cannot hold.
    const float fx = (p[0] - g.xo) / g.h, fy = (p[1] - g.yo) / g.h, fz = (p[2] - g.zo) / g.h;
    if (!(fx > 0 && fx < float(g.nx) && fy > 0 && fy < float(g.ny) && fz > 0 && fz < float(g.nz))) return false;
    const int i = int(std::floor((p[0] - g.xo) / g.h + 0.5f));
    const int j = int(std::floor((p[1] - g.yo) / g.h + 0.5f));
    const int kk = int(std::floor((p[2] - g.zo) / g.h + 0.5f));
    if (i <= 1 || i >= g.nx || j <= 1 || j >= g.ny || kk <= 1 || kk >= g.nz) return false;
    return g.iacs[size_t(i + g.nx * (j - 1) + g.nx * g.ny * (kk - 1))] > 0;
}

bool bkbump(const GridStore& g, float srad, const float cur[3], float trial[3]) {
    if (!bump_excluded(g, cur)) return false;
    float d[3] = {trial[0] - cur[0], trial[1] - cur[1], trial[2] - cur[2]};
    const float len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    if (!(len > 0)) return false;
    const int steps = int(srad / len) + 1;
    for (int way = 0; way < 2; ++way) {
        for (int s = 1; s <= steps; ++s) {
            for (int c = 0; c < 3; ++c) trial[c] += d[c];
            if (!bump_excluded(g, trial)) return true;
        }
        // Back to the start of this search, then the other way.
        for (int c = 0; c < 3; ++c) trial[c] -= steps * d[c], d[c] = -d[c];
    }
    return false;
}

namespace {

struct RunFault {};

struct Engine {
    Kova& k;
    BdRun& b;
    MoleculeStore& m;
    const UnitStore& u;
    int n = 0;  // subunits
    std::array<float, maxdof> cur{}, trial{}, frc{}, disp{}, prevf{};
    std::array<unsigned char, maxsub> bumped{}, active{};
    std::array<int, maxdfu + 1> unitbump{};
    std::unique_ptr<Tensor> t = std::make_unique<Tensor>();
    HydroModel hm;
    ConstraintSet cs;
    bool constrained = false;  // some unit has a correction type
    bool frozen = false;
    float epsout = 0, kappa = 0;
    bool grid_ok = false;
    // Trajectory state.
    float rcen = 0, tim = 0, dt = 0;
    int nstep = 0, nbump = 0, run = 0, traj = 0;
    bool reacted = false, first_bump = true, warned_unequal = false;
    int unsatisfied = 0;
    // Statistics.
    DiffusionBins bins;
    long cn_calls = 0;
    double cn_sum = 0, cn_sq = 0;
    bool cn_started = false;
    std::array<double, maxsub> fsum{}, fsq{}, fchg{};
    std::array<int, maxsub> fchgstep{};
    std::string rstused, denused;
    BdTotals totals;
    // The random stream and the reaction state the trajectories use: the
    // run's own in a run with independent streams, else the program's.
    RandomState* rs = nullptr;
    ReactionStore* rx = nullptr;
    // Where the records go: straight to their units, or, for a run done on
    // a thread of its own, into the run's log, written out in run order.
    RunLog* log = nullptr;
    const std::vector<float>* starts = nullptr;  // start positions read ahead
    size_t next_start = 0;
    int reacted_count_last = 0;  // 1 when the last trajectory reacted

    Engine(Kova& kk, BdRun& bb) : k(kk), b(bb), m(kk.mol), u(kk.mol.units), rs(&kk.rnd.raset1), rx(&kk.rxn) {}

    template <class... A>
    void emit(int unit, std::string_view fmt, const A&... a) {
        if (!log) return kova::fwrite(k, unit, fmt, a...);
        for (std::string& r : fortio::format_write(fmt, {detail::item(a)...})) log->recs.push_back({unit, std::move(r)});
    }
    template <class... A>
    void lst(std::string_view fmt, const A&... a) {
        emit(k.files.outunit, fmt, a...);
    }
    void emit_records(int unit, std::vector<std::string> recs) {
        if (!log) return k.units.write(unit, recs);
        for (std::string& r : recs) log->recs.push_back({unit, std::move(r)});
    }
    void emit_binary(int unit, std::span<const std::byte> data) {
        if (!log) {
            k.units.write_unformatted(unit, data);
            return;
        }
        log->recs.push_back({-unit, std::string(reinterpret_cast<const char*>(data.data()), data.size())});
    }
    // Ends the run at this severity when the abort level says so: at once
    // on the main path; on a thread, the run stops and the program ends
    // once the runs before it are written out.
    void fail(int severity) {
        if (!log) return kvabort(k, severity);
        if (severity >= fatal || k.flags.bomb <= severity) {
            log->fault = severity;
            throw RunFault{};
        }
    }

    bool is_fixed(int i) const { return m.sbfix[i + 1] == 1 || m.sbtype[i + 1] < 32; }
    // A subunit that moves in this step.
    bool moves(int i) const {
        const int type = m.sbtype[i + 1];
        if (frozen && type < 64) return false;
        return type >= 32 || m.sbfix[i + 1] != 1;
    }
    bool unit_has_fixed(int un) const { return u.nfixs[un] > 0; }

    [[noreturn]] void stop_fault(const ForceFault& f) {
        switch (f.kind) {
        case ForceFault::pair:
            lst("(1x,'  ERROR:clcfrc(103)- at step ',i5,' squared distance between subunits',i5,' and ',i5,' is ',f8.3)",
                nstep, f.i, f.j, f.value);
            break;
        case ForceFault::interunit:
            lst("(1x,'  ERROR:iunfrc(103)- at step ',i5,' squared distance between subunits',i5,' and ',i5,' is ',f8.3)",
                nstep, f.i, f.j, f.value);
            break;
        case ForceFault::bond:
            lst("(1x,'  ERROR: fbond (108) - Bond between subunits',i5,' and ',i5,' shorter than 0.0001 A at step ',i10)",
                f.i, f.j, nstep);
            break;
        case ForceFault::angle:
            lst("(1x,'  ERROR: fangle (103) - at step ',i10,' angle arm between subunits',i5,' and ',i5,' shorter than 0.0001 A')",
                nstep, f.i, f.j);
            break;
        default:
            lst("(1x,'ERROR: fnnb (001) - at step ',i10,' distance between subunits is less than SMALL')", nstep);
        }
        fail(fatal);
        throw RunFault{};  // never reached: a fatal fault always ends the run
    }

    // The model of the run and the positions it starts from.
    void prepare() {
        n = m.nsbtot;
        epsout = k.env.sdie * eps0;
        kappa = k.env.kappa;
        grid_ok = k.mess.phiset && !k.mess.phibad && !k.mess.phi.empty();
        hm = hydro_model(m, b.hifac, b.rad1);
        iniqmt(hm, *t);
        cs = cconst(m, b.focor, b.loccor);
        constrained = cs.n > 0;
        bins.nbins = b.nbins;
        for (int i = 0; i < n; ++i) {
            cur[3 * i] = m.sbx[i + 1], cur[3 * i + 1] = m.sby[i + 1], cur[3 * i + 2] = m.sbz[i + 1];
        }
        totals.nrxn.assign(static_cast<size_t>(b.nrun), 0);
    }

    // The files of the whole simulation, opened once.
    void open_files() {
        if (b.imfrce) {
            std::string name = k.files.frcname;
            kvopen(k, k.files.frcunit, name, true);
        }
        if (b.rest) {
            rstused = k.files.rstname;
            kvopen(k, k.files.rstunit, rstused, true);
            k.units.close(k.files.rstunit);
        }
        denused = b.disppfx.empty() ? std::string("kova_den.srf") : b.disppfx + "_den.srf";
        kvopen(k, denunit, denused, false);
        const std::int32_t zero = 0;
        k.units.write_unformatted(denunit, std::as_bytes(std::span(&zero, 1)));
    }

    // Start positions of every mobile unit: centroid on the b surface within
    // the angle ranges, orientation uniform.
    void strpos() {
        const float cx = m.molcx[1], cy = m.molcy[1], cz = m.molcz[1];
        int i = 0;
        while (i < n) {
            if (m.sbtype[i + 1] < 64) {
                ++i;
                continue;
            }
            int j = i;
            while (j + 1 < n && m.sbtype[j + 2] == m.sbtype[i + 1] && m.sbunit[j + 2] == m.sbunit[i + 1]) ++j;
            double g[3] = {0, 0, 0};
            for (int s = i; s <= j; ++s)
                for (int c = 0; c < 3; ++c) g[c] += cur[3 * s + c];
            for (int c = 0; c < 3; ++c) g[c] /= (j - i + 1);
            const float phi = b.phil + (b.phih - b.phil) * rs->uniform();
            const float ct = std::cos(b.thth) + (std::cos(b.thtl) - std::cos(b.thth)) * rs->uniform();
            const float st = std::sqrt(std::max(0.0f, 1 - ct * ct));
            const float centre[3] = {cx + b.bsurf * st * std::cos(phi), cy + b.bsurf * st * std::sin(phi), cz + b.bsurf * ct};
            // Three random directions made orthonormal in order.
            double e[3][3];
            for (int v = 0; v < 3; ++v) {
                for (int tries = 0;; ++tries) {
                    const double ph = 2 * 3.14159265358979 * rs->uniform(), c = 1 - 2 * double(rs->uniform()), sn = std::sqrt(std::max(0.0, 1 - c * c));
                    double w[3] = {sn * std::cos(ph), sn * std::sin(ph), c};
                    for (int p = 0; p < v; ++p) {
                        const double d = w[0] * e[p][0] + w[1] * e[p][1] + w[2] * e[p][2];
                        for (int q = 0; q < 3; ++q) w[q] -= d * e[p][q];
                    }
                    const double len = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
                    if (len > 1e-6 || tries > 100) {
                        for (int q = 0; q < 3; ++q) e[v][q] = len > 1e-6 ? w[q] / len : (q == v);
                        break;
                    }
                }
            }
            for (int s = i; s <= j; ++s) {
                const double o[3] = {cur[3 * s] - g[0], cur[3 * s + 1] - g[1], cur[3 * s + 2] - g[2]};
                for (int c = 0; c < 3; ++c) cur[3 * s + c] = float(o[0] * e[0][c] + o[1] * e[1][c] + o[2] * e[2][c] + centre[c]);
            }
            i = j + 1;
        }
    }

    // Start positions read from the start-position file, free format, for
    // every subunit of type 64 or more.
    void read_starts() {
        for (int i = 0; i < n; ++i) {
            if (m.sbtype[i + 1] < 64) continue;
            float p[3] = {0, 0, 0};
            if (starts) {  // read ahead for runs on threads, in run order
                for (int c = 0; c < 3; ++c) cur[3 * i + c] = (*starts)[next_start++];
                continue;
            }
            const int unit = k.files.strunit;
            const fortio::ReadResult rr = fortio::list_read(
                [&](std::string& rec) { return k.units.read(unit, rec) == fortio::IoStatus::ok; }, {&p[0], &p[1], &p[2]});
            if (rr.status != fortio::ReadStatus::ok || !std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) {
                emit(k.files.msgunit, "(1x,'FATAL: bd (002) start position file ',a,' has no position for subunit ',i4,' of trajectory ',i6)",
                       b.stropen, i + 1, traj);
                fail(fatal);
            }
            for (int c = 0; c < 3; ++c) cur[3 * i + c] = p[c];
        }
    }

    void write_record(int unit, float a, float x, float y, float z) { emit(unit, "(1x,f12.3,3(2x,f8.3))", a, x, y, z); }
    void unit_records() {
        for (int un = 1; un <= std::min(u.nunit, maxflx); ++un) {
            if (!b.rcrd[un] || b.intr[un] <= 0 || nstep % b.intr[un] != 0) continue;
            if (frozen && unit_has_fixed(un)) continue;
            if (b.rxnz && un == b.rxnzun) continue;  // that file records the reaction zone only
            for (int s = u.ifsub[un] - 1; s < u.ilsub[un]; ++s)
                write_record(k.files.flxunit[un], tim, cur[3 * s], cur[3 * s + 1], cur[3 * s + 2]);
        }
    }

    void forces() {
        std::fill(frc.begin(), frc.begin() + 3 * n, 0.0f);
        if (b.frcon) {
            felec(m, kappa, epsout, std::span<const float>(cur.data(), 3 * n), std::span<float>(frc.data(), 3 * n));
            for (int i = 0; i < n; ++i) {
                const float q = m.sbchg[i + 1];
                if (is_fixed(i) || std::fabs(q) <= 0.0001f) continue;
                if (frozen && m.sbtype[i + 1] < 64) continue;
                float f[3];
                grid_force(k.mess, m, kappa, epsout, q, &cur[3 * i], f, grid_ok);
                for (int c = 0; c < 3; ++c) frc[3 * i + c] += f[c];
            }
        }
        ForceEnergies e;
        for (int un = 1; un <= u.nunit; ++un) {
            if (u.nsubu[un] < 2 || (frozen && unit_has_fixed(un))) continue;
            const ForceFault f = clcfrc(m, un, std::span<const float>(cur.data(), 3 * n), std::span<float>(frc.data(), 3 * n), e);
            if (f.kind != ForceFault::none) stop_fault(f);
        }
        const ForceFault f = iunfrc(m, std::span<const float>(cur.data(), 3 * n), std::span<float>(frc.data(), 3 * n), e);
        if (f.kind != ForceFault::none) stop_fault(f);
    }

    void diffusion(float sqdt) {
        RandomState& rng = *rs;
        const GaussTable& g = k.rnd.gtab;
        const std::span<float> dsp(disp.data(), 3 * n);
        std::fill(dsp.begin(), dsp.end(), 0.0f);
        if (b.sphere1) {
            if (b.rndon) clcqsm(*t, rng, g, sqdt, dsp);
            return;
        }
        if (b.sphere2 && !frozen) {
            const bool unequal = clcqsd(hm, std::span<const float>(cur.data(), 6), *t, rng, g, sqdt, dsp);
            if (!b.rndon) std::fill(dsp.begin(), dsp.end(), 0.0f);
            if (unequal && !warned_unequal) {
                warned_unequal = true;
                out_text("(1x,'  WARNING: clcqsd(055) modified Oseen tensor',/,' used for subunits with nonidentical hydrodynamic radii')");
                fail(warning);
            }
            return;
        }
        // The full tensor: while frozen only the mobile subunits couple.
        iniqmt(hm, *t);
        for (int i = 0; i < n; ++i) active[i] = !frozen || m.sbtype[i + 1] >= 64;
        const int unequal = calcq(hm, std::span<const float>(cur.data(), 3 * n), std::span<const unsigned char>(active.data(), n), *t);
        if (unequal > 0 && !warned_unequal) {
            warned_unequal = true;
            out_text("(1x,'ERROR: calcq (001) -',' Hydrodynamic radii not equal -',/,20x,'modified Oseen tensor used even though',' subunits overlap')");
        }
        if (!b.rndon) return;
        int row = 0;
        if (!cholesky(*t, 3 * n, &row)) {
            // Name the subunit where the factor failed and its nearest neighbour.
            const int i = row / 3;
            int near = i;
            float best = 0;
            for (int j = 0; j < n; ++j) {
                if (j == i) continue;
                const float dx = cur[3 * i] - cur[3 * j], dy = cur[3 * i + 1] - cur[3 * j + 1], dz = cur[3 * i + 2] - cur[3 * j + 2];
                const float d = std::sqrt(dx * dx + dy * dy + dz * dz);
                if (near == i || d < best) near = j, best = d;
            }
            lst("(1x,'ERROR: calcss (001) diffusion tensor not positive definite at step ',i10,' of trajectory ',i6)", nstep + 1, traj);
            lst("(1x,'  subunit ',i4,', nearest subunit ',i4,' at ',f8.3,' A; overlapping subunits need the modified Oseen tensor')",
                i + 1, near + 1, best);
            fail(fatal);
        }
        calcss(*t, 3 * n, rng, g, sqdt, dsp);
    }
    void out_text(const char* fmt) { lst(fmt); }

    bool excluded(const float* p) const { return bump_excluded(k.mess, p); }
    bool back_bump(int i) { return bkbump(k.mess, b.srad, &cur[3 * i], &trial[3 * i]); }

    // Bump test and acceptance of the trial positions (steps 12 and 13).
    bool bump_and_accept() {
        std::fill(bumped.begin(), bumped.begin() + n, 0);
        unitbump.fill(0);
        bool any = false;
        if (!(reacted && m.nmol > 1))
            for (int i = 0; i < n; ++i) {
                if (!moves(i) || !excluded(&trial[3 * i])) continue;
                if (b.bkbmp && back_bump(i)) continue;
                bumped[i] = 1;
                ++unitbump[m.sbunit[i + 1]];
                ++nbump;
                any = true;
                if (b.stpst) lst("(1x,'  Bump at subunit:',i10,' of unit                :',i10)", i + 1, m.sbunit[i + 1]);
                if (first_bump && b.stpst) lst("(1x,'  First bump in trajectory at step :',i10,' subunit :',i10)", nstep, i + 1);
                first_bump = false;
            }
        for (int i = 0; i < n; ++i) {
            const int un = m.sbunit[i + 1];
            if (unitbump[un] > 0 && u.oldbmp[un]) continue;  // the whole unit stays
            if (bumped[i]) continue;
            for (int c = 0; c < 3; ++c) cur[3 * i + c] = trial[3 * i + c];
        }
        return any;
    }

    void constrain() {
        const ConstraintResult r = cnstrn(cs, std::span<const float>(cur.data(), 3 * n), std::span<float>(trial.data(), 3 * n));
        if (!r.converged) ++unsatisfied, ++totals.unconverged;
        if (b.cnsr) {
            if (!cn_started) {
                cn_started = true;  // the first call only starts the sums
            } else {
                ++cn_calls;
                cn_sum += r.corrections;
                cn_sq += double(r.corrections) * r.corrections;
            }
        }
    }

    void calcr(bool first_step) {
        if (m.nmol <= 1) return;
        double g[3] = {0, 0, 0};
        int cnt = 0;
        for (int i = 0; i < n; ++i)
            if (m.sbtype[i + 1] >= 64) {
                for (int c = 0; c < 3; ++c) g[c] += trial[3 * i + c];
                ++cnt;
            }
        if (cnt == 0) return;
        const float c3[3] = {float(g[0] / cnt), float(g[1] / cnt), float(g[2] / cnt)};
        const float dx = c3[0] - m.molcx[1], dy = c3[1] - m.molcy[1], dz = c3[2] - m.molcz[1];
        rcen = std::sqrt(dx * dx + dy * dy + dz * dz);
        if (b.frzon) frozen = rcen > b.psurf;
        if (b.dfcr) dfcr_add(bins, c3, rcen, b.qsurf, dt, first_step);
    }

    bool react_test() {
        std::array<float, maxsub + 1> tx{}, ty{}, tz{};
        for (int i = 0; i < n; ++i) tx[i + 1] = trial[3 * i], ty[i + 1] = trial[3 * i + 1], tz[i + 1] = trial[3 * i + 2];
        const XyzView atoms{std::span<const float>(m.x.data(), m.x.size()), std::span<const float>(m.y.data(), m.y.size()),
                            std::span<const float>(m.z.data(), m.z.size())};
        const XyzView sub{tx, ty, tz};
        RxnTrace trace;
        const bool print = b.drsite && b.stpat > 0 && nstep % b.stpat == 0;
        const bool r = rxntst(*rx, atoms, sub, dt, b.zhou, *rs, print ? &trace : nullptr);
        if (print) emit_records(k.files.outunit, drsite_records(trace, nstep, tim));
        return r;
    }

    void force_stats() {
        double total = 0;
        for (int i = 0; i < n; ++i) {
            const double f2 = double(frc[3 * i]) * frc[3 * i] + double(frc[3 * i + 1]) * frc[3 * i + 1] + double(frc[3 * i + 2]) * frc[3 * i + 2];
            const double f = std::sqrt(f2);
            total += f;
            fsum[i] += f;
            fsq[i] += f2;
            if (nstep > 1) {
                double c2 = 0;
                for (int c = 0; c < 3; ++c) c2 += std::pow(double(frc[3 * i + c]) - prevf[3 * i + c], 2);
                if (c2 > fchg[i]) fchg[i] = c2, fchgstep[i] = nstep;
            }
            if (f * tokcal > 99999)
                lst("(1x,'  WARNING: anfrc (001) -',/,1x,'  Force for subunit ',i4,26x,'  :>99999.000 kcal/mol/A')", i + 1);
        }
        std::copy(frc.begin(), frc.begin() + 3 * n, prevf.begin());
        if (total > b.maxfrc) {
            lst("(1x,'  Total force greater than maxfrc at step           :',i10)", nstep);
            for (int i = 0; i < n; ++i)
                lst("(1x,'  Subunit ',i4,' of unit ',i4,3(2x,f8.3))", i + 1, m.sbunit[i + 1], cur[3 * i], cur[3 * i + 1], cur[3 * i + 2]);
            emit(k.files.frcunit, "(1x,f10.3,2x,f10.3)", tim, float(total * tokcal));
        }
    }

    void trajectory_line(bool header) {
        if (header) lst("(1x,'traj    steps    bumps   time(ps)  rxn    rdist  ')");
        lst("(1x,i4,1x,i8,1x,i8,1x,f10.2,3x,l1,3x,f8.3)", traj, nstep, nbump, tim, reacted, rcen);
    }

    void write_restart() {
        lst("(1x,'  Restart subunit coordinates written to file :',a)", rstused);
        std::remove(rstused.c_str());
        if (!k.units.open(k.files.rstunit, rstused, fortio::OpenStatus::new_file, fortio::Form::formatted)) {
            msg(k, "FATAL: bd (003) unable to rewrite restart file: ", rstused);
            endrun(k, exit_fatal);
        }
        const int ru = k.files.rstunit;
        emit(ru, "(a)", "RESTART FILE");
        for (int un = 1; un <= u.nunit; ++un) {
            for (int s = u.ifsub[un]; s <= u.ilsub[un]; ++s)
                emit(ru, "('ATOM  ',i5,' REST  SUB',i5,3(2x,f8.3))", s, s, m.sbx[s], m.sby[s], m.sbz[s]);
            emit(ru, "(a)", "TER");
        }
        emit(ru, "(a)", "END");
        k.units.close(ru);
    }

    // One trajectory; returns its time.
    void trajectory(double& run_time) {
        if (b.stpson) read_starts();
        else if (!b.nstrpos) strpos();
        rcen = b.bsurf;
        reacted = false;
        reacted_count_last = 0;
        tim = 0;
        nstep = 0;
        nbump = 0;
        unsatisfied = 0;
        first_bump = true;
        warned_unequal = false;
        frozen = b.frozen;
        rxnclr(*rx);
        fsum.fill(0), fsq.fill(0), fchg.fill(0), fchgstep.fill(0);
        for (int un = 1; un <= std::min(u.nunit, maxflx); ++un)
            if (b.rcrd[un]) write_record(k.files.flxunit[un], -1.0f, float(run), float(traj), 0.0f);
        bool time_limit = false, step_limit = false;
        const bool single = m.nmol == 1;
        const bool sites = rx->nsite > 0;
        while (rcen <= b.qsurf && !reacted) {
            // 1. Time step of the region the unit is in.
            dt = b.delt;
            if (!b.ctim && rcen > b.regub[1]) {
                dt = b.delt * b.regmul[maxreg];
                for (int r = 2; r <= maxreg; ++r)
                    if (b.regub[r - 1] < rcen && rcen <= b.regub[r]) {
                        dt = b.delt * b.regmul[r];
                        break;
                    }
            }
            const float bdt = b.beta * dt, sqdt = std::sqrt(2 * dt);
            // 2. Printing and records.
            if (b.stpst && b.stpat > 0 && nstep % b.stpat == 0) {
                lst("(1x,' Run ',i5,' Trajectory ',i5,' Step ',i9)", run, traj, nstep);
                for (int i = 0; i < n; ++i)
                    lst("(1x,'  Subunit ',i4,3(2x,f8.3))", i + 1, cur[3 * i], cur[3 * i + 1], cur[3 * i + 2]);
            }
            unit_records();
            // 3. Limits.
            if (tim >= b.maxtim) {
                time_limit = true;
                break;
            }
            if (nstep >= b.maxstp) {
                step_limit = true;
                break;
            }
            // 4.-5. Forces, diffusion tensor and random displacements.
            forces();
            diffusion(sqdt);
            // 6. Clock.
            ++nstep;
            tim += dt;
            // 7. Trial move.
            for (int i = 0; i < n; ++i) {
                for (int c = 0; c < 3; ++c) trial[3 * i + c] = cur[3 * i + c];
                if (!moves(i)) continue;
                const int row = 3 * i;
                for (int c = 0; c < 3; ++c) {
                    float s = 0;
                    if (b.sphere1) {
                        s = t->at(row + c, row + c) * frc[row + c];
                    } else {
                        const float* d = &t->d[(row + c) * maxdof];
                        for (int j = 0; j < 3 * n; ++j) s += d[j] * frc[j];
                    }
                    trial[row + c] += bdt * s + (b.rndon ? disp[row + c] : 0.0f);
                }
            }
            // A move that is no longer a number (forces too stiff for the
            // time step) ends the run instead of wandering on.
            for (int i = 0; i < 3 * n; ++i)
                if (!std::isfinite(trial[i])) {
                    lst("(1x,'  ERROR: bd (007) at step ',i10,' the position of subunit ',i5,' is not finite:',"
                        "' the time step is too long for the forces')",
                        nstep, i / 3 + 1);
                    fail(fatal);
                    throw RunFault{};
                }
            // 8. Constraints.
            if (constrained && !frozen && !b.sphere1) constrain();
            // 9. Distance of the units from molecule 1.
            calcr(nstep == 1);
            // 10.-11. Reaction.
            if (rcen <= b.psurf || (single && sites)) reacted = react_test();
            if (reacted && b.rxnz) {
                const int un = b.rxnzun;
                if (un >= 1 && un <= u.nunit)
                    for (int s = u.ifsub[un] - 1; s < u.ilsub[un]; ++s)
                        write_record(k.files.flxunit[un], tim, trial[3 * s], trial[3 * s + 1], trial[3 * s + 2]);
                reacted = false;
            }
            // 12.-14. Bumps, acceptance, constraint cycles.
            bool bumps = bump_and_accept();
            if (b.mcyccn > 0 && bumps && constrained) {
                int cycles = 0;
                while (bumps) {
                    bool in_corrected = false;
                    for (int i = 0; i < n; ++i)
                        if (bumped[i] && u.cncor[m.sbunit[i + 1]] > 0) in_corrected = true;
                    if (!in_corrected) break;
                    if (++cycles > b.mcyccn) {
                        ++unsatisfied;
                        if (b.stpst) {
                            lst("(1x,'  No. of constraint cycles greater than             :',i10)", b.mcyccn);
                            lst("(1x,'  Constraints not satisfied to avoid bumps at step  :',i10)", nstep);
                        }
                        break;
                    }
                    for (int i = 0; i < n; ++i)
                        if (bumped[i])
                            for (int c = 0; c < 3; ++c) trial[3 * i + c] = cur[3 * i + c];
                    constrain();
                    bumps = bump_and_accept();
                }
            }
            // 15. Force statistics.
            if (b.imfrce) force_stats();
        }
        totals.steps += nstep;
        totals.bumps += nbump;
        // The end of the trajectory, in order.
        if (!time_limit && !step_limit) {
            if (reacted) {
                ++totals.nrxn[static_cast<size_t>(run - 1)];
                reacted_count_last = 1;
                // The frame that reacted closes each unit record, so that
                // the analysis of the record meets the same reaction.
                for (int un = 1; un <= std::min(u.nunit, maxflx); ++un)
                    if (b.rcrd[un] && !(b.rxnz && un == b.rxnzun))
                        for (int sub = u.ifsub[un] - 1; sub < u.ilsub[un]; ++sub)
                            write_record(k.files.flxunit[un], tim, cur[3 * sub], cur[3 * sub + 1], cur[3 * sub + 2]);
                if (b.dispn > 0) {
                    const float rec[4] = {float(run), float(traj), float(nstep), 0.0f};
                    const float pos[3] = {cur[0], cur[1], cur[2]};
                    std::array<float, 7> all{rec[0], rec[1], rec[2], rec[3], pos[0], pos[1], pos[2]};
                    emit_binary(denunit, std::as_bytes(std::span(all)));
                }
            } else {
                ++totals.escaped;
            }
            if (rx->mrxn) {
                emit_records(k.files.rxnunit, sitord_records(*rx));
                rx->siteord.fill(0);
                rx->nsord = 0;
            }
            if (b.trjst) trajectory_line(traj == 1 || b.stpst);
        }
        if (!step_limit) {
            if (time_limit) {
                ++totals.limited;
                lst("('   Trajectory time greater than               ',f10.3)", b.maxtim);
                trajectory_line(false);
            }
            if (b.zhou) emit(k.files.hxzunit, "(1x,f10.4)", tim);
        } else {
            ++totals.limited;
            lst("('   Number of steps greater than                 ',i10)", b.maxstp);
            trajectory_line(false);
        }
        if (b.mcyccn > 0) lst("(1x,'  Constraints not satisfied due to bumps at      :',i10,' steps')", unsatisfied);
        else if (unsatisfied > 0)
            lst("(1x,'  WARNING: cnstrn (001) constraints not within tolerance at',i10,' steps')", unsatisfied);
        // The accepted positions go back to the subunit table.
        if (!log) {
            for (int i = 0; i < n; ++i) m.sbx[i + 1] = cur[3 * i], m.sby[i + 1] = cur[3 * i + 1], m.sbz[i + 1] = cur[3 * i + 2];
            if (b.rest) {
                write_restart();
                if (b.restprts)
                    for (int un = 1; un <= u.nunit; ++un) prtsub(k, un);
            }
        }
        if (b.imfrce && nstep > 0)
            for (int i = 0; i < n; ++i) {
                const double mean = fsum[i] / nstep, sd = std::sqrt(std::max(0.0, fsq[i] / nstep - mean * mean));
                lst("(1x,'  Mean force for subunit ',i4,' in trajectory ',i4,4x,' : ',f9.3,' kcal/mol/A')", i + 1, traj, float(mean * tokcal));
                lst("(1x,'  Std. dev. of force for subunit ',i4,' in trajectory ',i4,' : ',f9.3,' kcal/mol/A')", i + 1, traj, float(sd * tokcal));
                lst("(1x,'  Largest change of force of subunit ',i4,' at step ',i10,' : ',f9.3,' kcal/mol/A')", i + 1, fchgstep[i],
                    float(std::sqrt(fchg[i]) * tokcal));
            }
        run_time += tim;
    }
};

// One line on standard error, rewritten in place at most twice a second,
// while a long simulation runs at a terminal: runs and trajectories done,
// reactive so far, elapsed and estimated remaining time.
class Progress {
public:
    explicit Progress(Kova& k) : k_(k), on_(isatty(STDERR_FILENO) == 1), start_(clock::now()), last_(start_) {}
    void update(int run, int nrun, long done, long total, long reactive) {
        if (!on_) return;
        const auto now = clock::now();
        if (now - last_ < std::chrono::milliseconds(500)) return;
        last_ = now;
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        const double left = done > 0 ? elapsed * double(total - done) / double(done) : 0.0;
        char line[160];
        std::snprintf(line, sizeof line, "\r  bd: run %d/%d  trajectories %ld/%ld  reactive %ld  elapsed %.0f s  remaining %.0f s ",
                      run, nrun, done, total, reactive, elapsed, left);
        k_.units.write_noadvance(fortio::UnitTable::stderr_unit, line);
        k_.units.flush();
        shown_ = true;
    }
    ~Progress() {
        if (shown_) {
            k_.units.write_noadvance(fortio::UnitTable::stderr_unit, "\r" + std::string(100, ' ') + "\r");
            k_.units.flush();
        }
    }

private:
    using clock = std::chrono::steady_clock;
    Kova& k_;
    bool on_, shown_ = false;
    clock::time_point start_, last_;
};

}  // namespace

RandomState run_stream(int ijsd1, int klsd1, int r) {
    RandomState s;
    s.seed(1 + (ijsd1 - 1 + 971 * (r - 1)) % 31327, klsd1);
    return s;
}

int run_threads() {
#ifdef _OPENMP
    return omp_get_max_threads();
#else
    return 1;
#endif
}

void run_share(Kova& k, BdRun& run, const RunStarts& starts, const std::vector<int>& mine,
               std::vector<RunLog>& logs, std::vector<RunResult>& res,
               const std::function<void(int run, int reacted)>& done) {
    const int nrun = run.nrun;
#pragma omp parallel
    {
        auto w = std::make_unique<Engine>(k, run);
        w->prepare();
#pragma omp for schedule(dynamic, 1)
        for (int i = 0; i < int(mine.size()); ++i) {
            const int r = mine[size_t(i)];
            RunLog& log = logs[size_t(r - 1)];
            RunResult& out_r = res[size_t(r - 1)];
            RandomState stream = run_stream(k.rnd.ijsd1, k.rnd.klsd1, r);
            ReactionStore rx = k.rxn;
            w->prepare();  // every run starts from the table's positions
            w->bins = DiffusionBins{};
            w->bins.nbins = run.nbins;
            w->cn_calls = 0, w->cn_sum = 0, w->cn_sq = 0, w->cn_started = false;
            w->rs = &stream, w->rx = &rx, w->log = &log;
            w->starts = starts.pos.empty() ? nullptr : &starts.pos;
            w->next_start = size_t(r - 1) * size_t(run.ntraj) * size_t(starts.mobile) * 3;
            w->run = r;
            try {
                for (int t = 1; t <= run.ntraj; ++t) {
                    w->traj = t;
                    w->trajectory(out_r.time);
                    if (done) {
#pragma omp critical(bd_progress)
                        done(r, w->reacted_count_last);
                    }
                }
            } catch (const RunFault&) {
            } catch (...) {
                log.fault = fatal;
                log.recs.push_back({k.files.msgunit, " FATAL: bd (004) a run failed on its thread"});
            }
            out_r.nrxn = w->totals.nrxn[size_t(r - 1)];
            out_r.steps = w->totals.steps, out_r.bumps = w->totals.bumps, out_r.escaped = w->totals.escaped;
            out_r.limited = w->totals.limited, out_r.unconverged = w->totals.unconverged;
            out_r.bins = w->bins;
            out_r.cn_calls = w->cn_calls, out_r.cn_sum = w->cn_sum, out_r.cn_sq = w->cn_sq;
            out_r.last = w->cur;
            w->totals = BdTotals{};
            w->totals.nrxn.assign(size_t(nrun), 0);
        }
    }
}

namespace {

// The runs of a simulation with independent streams, spread over the
// processes of an mpirun start and over the threads of each. Each run
// writes into its own log; the logs and run lines are written out in run
// order, so the listing and files do not depend on who ran what.
void threaded_runs(Kova& k, BdRun& run, Engine& main, Progress& progress) {
    const int nrun = run.nrun;
    std::vector<RunLog> logs(static_cast<size_t>(nrun));
    std::vector<RunResult> res(static_cast<size_t>(nrun));
    // Start positions from a file are read ahead, in run and trajectory order.
    RunStarts starts;
    for (int i = 1; i <= k.mol.nsbtot; ++i) starts.mobile += k.mol.sbtype[i] >= 64;
    if (run.stpson) {
        for (long t = 0; t < long(nrun) * run.ntraj; ++t)
            for (int s = 0; s < starts.mobile; ++s) {
                float p[3] = {0, 0, 0};
                const int unit = k.files.strunit;
                const fortio::ReadResult rr = fortio::list_read(
                    [&](std::string& rec) { return k.units.read(unit, rec) == fortio::IoStatus::ok; }, {&p[0], &p[1], &p[2]});
                if (rr.status != fortio::ReadStatus::ok || !std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) {
                    fwrite(k, k.files.msgunit, "(1x,'FATAL: bd (002) start position file ',a,' has no position for subunit ',i4,' of trajectory ',i6)",
                           run.stropen, s + 1, int(t % run.ntraj) + 1);
                    kvabort(k, fatal);
                }
                starts.pos.insert(starts.pos.end(), {p[0], p[1], p[2]});
            }
    }
    const int np = procs_count();
    out(k, "(1x,'  Runs spread over threads, one stream per run         :',i10)", run_threads());
    out(k, "(1x,'  Runs spread over processes                           :',i10)", np);
    if (!spread_runs(k, run, starts)) kvabort(k, fatal);
    long done = 0, reactive = 0;
    const long total = long(runs_of(0, np, nrun).size()) * run.ntraj;
    run_share(k, run, starts, runs_of(0, np, nrun), logs, res, [&](int r, int reacted) {
        ++done;
        reactive += reacted;
        progress.update(r, nrun, done, total, reactive);
    });
    if (!gather_runs(k, nrun, logs, res)) kvabort(k, fatal);
    // Written out in run order, with each run's line after its records.
    for (int r = 1; r <= nrun; ++r) {
        const RunLog& log = logs[size_t(r - 1)];
        const RunResult& o = res[size_t(r - 1)];
        for (const RunLog::Rec& rec : log.recs) {
            if (rec.unit < 0)
                k.units.write_unformatted(-rec.unit, std::as_bytes(std::span(rec.text.data(), rec.text.size())));
            else
                k.units.write(rec.unit, rec.text);
        }
        if (log.fault) kvabort(k, log.fault);
        main.totals.nrxn[size_t(r - 1)] = o.nrxn;
        main.totals.steps += o.steps, main.totals.bumps += o.bumps, main.totals.escaped += o.escaped;
        main.totals.limited += o.limited, main.totals.unconverged += o.unconverged;
        for (int bin = 1; bin <= maxrbin; ++bin) {
            main.bins.bcnt[bin] += o.bins.bcnt[bin];
            main.bins.bsum[bin] += o.bins.bsum[bin];
            main.bins.bsq[bin] += o.bins.bsq[bin];
        }
        main.cn_calls += o.cn_calls, main.cn_sum += o.cn_sum, main.cn_sq += o.cn_sq;
        if (run.rnst) {
            out(k, "(1x,'run   ntraj  time/traj(ps)   beta')");
            out(k, "(1x,i3,2x,i5,4x,f10.2,5x,f6.3)", r, run.ntraj, float(o.time / run.ntraj), float(double(o.nrxn) / run.ntraj));
        }
    }
    // The subunit table and the restart file hold the last run's end.
    const RunResult& last = res[size_t(nrun - 1)];
    for (int i = 0; i < main.n; ++i)
        k.mol.sbx[i + 1] = last.last[3 * i], k.mol.sby[i + 1] = last.last[3 * i + 1], k.mol.sbz[i + 1] = last.last[3 * i + 2];
    if (run.rest) {
        main.write_restart();
        if (run.restprts)
            for (int un = 1; un <= k.mol.units.nunit; ++un) prtsub(k, un);
    }
}

}  // namespace

BdTotals bd(Kova& k, BdRun& run) {
    auto e = std::make_unique<Engine>(k, run);
    e->prepare();
    e->open_files();
    Progress progress(k);
    if (run.indrnd) {
        threaded_runs(k, run, *e, progress);
    } else {
        long reactive = 0;
        for (int r = 1; r <= run.nrun; ++r) {
            e->run = r;
            double run_time = 0;
            for (int t = 1; t <= run.ntraj; ++t) {
                e->traj = t;
                e->trajectory(run_time);
                reactive += e->reacted_count_last;
                progress.update(r, run.nrun, long(r - 1) * run.ntraj + t, long(run.nrun) * run.ntraj, reactive);
            }
            if (run.rnst) {
                out(k, "(1x,'run   ntraj  time/traj(ps)   beta')");
                out(k, "(1x,i3,2x,i5,4x,f10.2,5x,f6.3)", r, run.ntraj, float(run_time / run.ntraj),
                    float(double(e->totals.nrxn[size_t(r - 1)]) / run.ntraj));
            }
        }
    }
    // Run end.
    if (run.zhou) k.units.close(k.files.hxzunit);
    for (int un = 1; un <= maxflx; ++un)
        if (run.rcrd[un]) {
            e->write_record(k.files.flxunit[un], -999.0f, float(run.nrun), float(run.ntraj), 0.0f);
            k.units.close(k.files.flxunit[un]);
        }
    if (k.rxn.mrxn) k.units.close(k.files.rxnunit);
    if (run.imfrce) k.units.close(k.files.frcunit);
    if (run.rateon) {
        RateInputs in;
        in.nrun = run.nrun, in.ntraj = run.ntraj, in.nrxn = e->totals.nrxn;
        in.bsurf = run.bsurf, in.qsurf = run.qsurf, in.hifac = run.hifac, in.rad1 = run.rad1;
        in.rad2 = k.mol.sbrad[1];
        in.q1 = k.mol.qmol[1], in.q2 = k.mol.nmol >= 2 ? k.mol.qmol[2] : 0.0f;
        in.epsout = e->epsout, in.kappa = e->kappa, in.temp = k.env.temp;
        // The analytic part must describe the same forces as the trajectories.
        in.force_off = !run.frcon || (!e->grid_ok && k.mess.bcfl != 1 && k.mess.bcfl != 2);
        in.sphere1 = run.sphere1;
        in.bins = run.dfcr ? &e->bins : nullptr;
        in.cnsr = run.cnsr, in.cn_calls = e->cn_calls, in.cn_sum = e->cn_sum, in.cn_sq = e->cn_sq;
        e->totals.rate = result(k, in);
    }
    k.units.close(denunit);
    return e->totals;
}

}  // namespace kova
