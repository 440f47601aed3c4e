// Reaction criteria re-evaluated along a recorded trajectory: reactive
// trajectories, repeated reactions, reaction times and the rate constant;
// or the distance of the unit from a point.
#include <algorithm>
#include <cmath>
#include <string>

#include "bd/anal.hpp"
#include "bd/random.hpp"
#include "bd/rates.hpp"
#include "bd/reaction.hpp"
#include "command/kova.hpp"
#include "command/output.hpp"
#include "command/readers.hpp"
#include "elec/grid.hpp"

namespace kova {

RxnsResults rxnclc(Kova& k, const TrjData& d, int n, bool moni, bool drsite) {
    const MoleculeStore& m = k.mol;
    const UnitStore& u = m.units;
    RxnsResults res;
    const int f0 = u.ifsub[n], ns = d.nsub;
    const int c = std::clamp(u.icsub[n] - f0, 0, ns - 1);
    // Subunit centres: the unit's from the record, the others as the
    // subunit table holds them.
    Arr1<float, maxsub> sx = m.sbx, sy = m.sby, sz = m.sbz;
    const XyzView atoms{std::span<const float>(m.x), std::span<const float>(m.y), std::span<const float>(m.z)};
    const XyzView sub{std::span<const float>(sx), std::span<const float>(sy), std::span<const float>(sz)};
    ReactionStore r = k.rxn;
    r.mrxn = false;
    ReactionStore wide = r;  // each distance enlarged by xdist: the reaction is over outside it
    for (int i = 1; i <= wide.nsite; ++i)
        for (int j = 1; j <= wide.ncrit[i]; ++j) wide.pdist[i][j] += k.rxn.xdist;
    RandomState rng;  // not drawn from: no gated reaction here
    RxnTrace trace;
    res.avgpos.assign(size_t(ns), {0, 0, 0});
    std::vector<int> runs;
    std::vector<int> pertraj;
    for (const TrjData::Traj& t : d.trajs) {
        RxnsTraj o;
        o.run = t.run, o.traj = t.traj;
        rxnclr(r), rxnclr(wide);
        bool in = false;
        for (size_t i = 0; i < t.nframe; ++i) {
            const size_t f = t.first + i;
            for (int s = 0; s < ns; ++s) {
                const float* p = d.pos(f, s);
                sx[size_t(f0 + s)] = p[0], sy[size_t(f0 + s)] = p[1], sz[size_t(f0 + s)] = p[2];
            }
            const float tim = d.t[f];
            if (in) {
                // Still within the enlarged criteria: the same reaction.
                const bool still = rxntst(wide, atoms, sub, 0, false, rng, drsite ? &trace : nullptr);
                if (drsite) prtdrs(k, trace, 0, tim);
                if (!still) o.events.back().exit = tim, in = false;
                continue;
            }
            const bool hit = rxntst(r, atoms, sub, 0, false, rng, drsite ? &trace : nullptr);
            if (drsite) prtdrs(k, trace, 0, tim);
            if (!hit) continue;
            if (!o.reactive) {
                o.reactive = true, o.time = tim;
                const float* p = d.pos(f, c);
                o.pos = {p[0], p[1], p[2]};
                for (int s = 0; s < ns; ++s)
                    for (int e = 0; e < 3; ++e) res.avgpos[size_t(s)][size_t(e)] += d.pos(f, s)[e];
                if (!moni) break;
            }
            // A reaction within tmin of the end of the last one continues it.
            if (!o.events.empty() && tim - o.events.back().exit <= k.rxn.tmin)
                o.events.back().exit = -1;
            else
                o.events.push_back({tim, -1});
            in = true;
        }
        if (!o.reactive && t.nframe > 0) {
            const size_t f = t.first + t.nframe - 1;
            o.time = d.t[f];
            const float* p = d.pos(f, c);
            o.pos = {p[0], p[1], p[2]};
        }
        auto it = std::find(runs.begin(), runs.end(), t.run);
        if (it == runs.end()) runs.push_back(t.run), pertraj.push_back(0), res.nrxn.push_back(0), it = runs.end() - 1;
        const size_t ri = size_t(it - runs.begin());
        ++pertraj[ri];
        if (o.reactive) ++res.nrxn[ri];
        res.trajs.push_back(std::move(o));
    }
    res.nrun = int(runs.size());
    res.ntraj = pertraj.empty() ? 0 : *std::max_element(pertraj.begin(), pertraj.end());
    double s1 = 0, s2 = 0, n1 = 0, q1 = 0, q2 = 0, m1 = 0;
    for (const RxnsTraj& o : res.trajs)
        if (o.reactive)
            s1 += o.time, s2 += double(o.time) * o.time, ++n1;
        else
            q1 += o.time, q2 += double(o.time) * o.time, ++m1;
    auto ms = [](double s, double sq, double n) {
        MeanSd x;
        x.n = long(n);
        if (n > 0) x.mean = s / n;
        if (n > 1) x.sd = std::sqrt(std::max(0.0, (sq - x.mean * x.mean * n) / (n - 1)));
        return x;
    };
    res.trxn = ms(s1, s2, n1), res.tnon = ms(q1, q2, m1);
    if (n1 > 0)
        for (auto& p : res.avgpos)
            for (double& e : p) e /= n1;
    return res;
}

void rxndrv(Kova& k) {
    const int in = k.files.inunit;
    RxnsSettings s;
    bool bad = false;
    for (;;) {
        const std::string w = getnam(k, in, "RxnDrv");
        const std::string w4 = w.substr(0, 4);
        if (w4 == "end") break;
        if (w4 == "iflx") {
            s.unit = getint(k, in, "RxnDrv");
        } else if (w4 == "file") {
            s.file = getfil(k, in, "RxnDrv");
        } else if (w == "defrxn" || w4 == "defr") {
            if (dfrxst(k)) s.react = true;
            else bad = true;
        } else if (w4 == "time" || w4 == "plus" || w == "dfc") {
            const float v = getnum(k, in, "RxnDrv");
            if (!(v >= 0.0f && v < 1.0e9f)) {
                msg(k, "SERIOUS: rxndrv(060) value must not be negative: ", w + " " + std::to_string(v));
                bad = true;
                kvabort(k, serious);
            } else if (w4 == "time") {
                k.rxn.tmin = v;
            } else if (w4 == "plus") {
                k.rxn.xdist = v;
            } else {
                s.dfc = v;
            }
        } else if (w4 == "dist") {
            for (float& x : s.point) x = getnum(k, in, "RxnDrv");
            s.dist = true;
        } else if (w4 == "moni") {
            s.moni = true;
        } else if (w4 == "drsi") {
            s.drsite = true;
        } else if (w4 == "sumd") {
            s.sumd = true;
        } else {
            msg(k, "SERIOUS: rxndrv(050) unknown keyword: ", w);
            kvabort(k, serious);
        }
    }
    if (bad) return;
    const UnitStore& u = k.mol.units;
    const int n = s.unit;
    if (n < 1 || n > u.nunit || u.nsubu[n] < 1) {
        msg(k, "SERIOUS: rxndrv(070) unit not defined: ", std::to_string(n));
        kvabort(k, serious);
        return;
    }
    if (!s.dist) s.react = true;
    const std::string file = s.file.empty() ? k.files.flxname[std::min(n, maxflx)] : s.file;
    const int unit = k.files.flxunit[std::min(n, maxflx)];
    out(k, "(a,i5,a,a)", "  Trajectory read from unit no.: ", unit, " file         :", file);
    TrjData d;
    if (!trjopen(k, unit, file, u.nsubu[n], "ERROR : rnxclc(010) - problem with trj file", d)) return;

    if (s.dist) {
        const int c = std::clamp(u.icsub[n] - u.ifsub[n], 0, d.nsub - 1);
        out(k, "(/,1x,'  Distance of subunit ',i4,' from the point ',3f9.3)", u.ifsub[n] + c, s.point[0], s.point[1],
            s.point[2]);
        for (const TrjData::Traj& t : d.trajs) {
            double sum = 0, lo = 0, hi = 0, last = 0;
            for (size_t i = 0; i < t.nframe; ++i) {
                const float* p = d.pos(t.first + i, c);
                const double dx = double(p[0]) - s.point[0], dy = double(p[1]) - s.point[1],
                             dz = double(p[2]) - s.point[2];
                const double r = std::sqrt(dx * dx + dy * dy + dz * dz);
                if (!s.sumd)
                    out(k, "(1x,'Run',i3,' Trj',i3,' Time',f12.3,'  distance ',f10.3)", t.run, t.traj,
                        d.t[t.first + i], r);
                sum += r, last = r;
                lo = i == 0 ? r : std::min(lo, r), hi = std::max(hi, r);
            }
            out(k, "(1x,'Run',i3,' Trj',i3,' frames',i8,'  distance min',f10.3,' mean',f10.3,' max',f10.3,' last',"
                   "f10.3)",
                t.run, t.traj, long(t.nframe), lo, t.nframe > 0 ? sum / double(t.nframe) : 0.0, hi, last);
        }
    }
    if (!s.react) return;

    prtrxn(k, s.moni);
    const RxnsResults res = rxnclc(k, d, n, s.moni, s.drsite);
    for (const RxnsTraj& o : res.trajs) {
        out(k, "('Run',i3,' Trj',i3,' Time',f12.3,'  X Y Z ',3(f8.3,1x),a)", o.run, o.traj, o.time, o.pos[0], o.pos[1],
            o.pos[2], o.reactive ? " REACTION" : " NO REACTION");
        if (!s.moni) continue;
        long done = 0;
        for (const RxnEvent& e : o.events) done += e.exit >= 0;
        out(k, "(1x,'  Completed reactions                               :',i10)", done);
        for (size_t i = 0; i < o.events.size(); ++i) {
            if (o.events[i].exit >= 0)
                out(k, "(1x,'  Reaction ',i5,' at ',f12.3,' ps, complete exit at ',f12.3,' ps')", int(i + 1),
                    o.events[i].start, o.events[i].exit);
            else
                out(k, "(1x,'  Reaction ',i5,' at ',f12.3,' ps, not complete at the end')", int(i + 1),
                    o.events[i].start);
        }
    }
    out(k, "(/,1x,'Mean reaction time     ',f12.3,' s.d. ',f12.3,' ps   (',i8,' trajectories)')", res.trxn.mean,
        res.trxn.sd, res.trxn.n);
    out(k, "(1x,'Mean non-reaction time ',f12.3,' s.d. ',f12.3,' ps   (',i8,' trajectories)')", res.tnon.mean,
        res.tnon.sd, res.tnon.n);
    if (res.trxn.n > 0)
        for (int i = 0; i < d.nsub; ++i)
            out(k, "(1x,'  Average position at reaction of subunit ',i4,' :',3f9.3)", u.ifsub[n] + i,
                res.avgpos[size_t(i)][0], res.avgpos[size_t(i)][1], res.avgpos[size_t(i)][2]);
    out(k, "(1x,'Total number of trajectories analyzed',i10)", long(res.trajs.size()));
    for (int i = 0; i < res.nrun; ++i)
        out(k, "(1x,'Run ',i5,'   reactive trajectories ',i8)", i + 1, res.nrxn[size_t(i)]);
    if (res.trajs.empty()) {
        out(k, "(1x,'No trajectories in the file: no rate constant')");
        return;
    }
    const BdRun& b = k.bdrun;
    const MoleculeStore& m = k.mol;
    RateInputs ri;
    ri.nrun = res.nrun, ri.ntraj = res.ntraj, ri.nrxn = res.nrxn;
    ri.bsurf = b.bsurf, ri.qsurf = b.qsurf, ri.hifac = b.hifac, ri.rad1 = b.rad1;
    ri.rad2 = m.sbrad[1];
    ri.q1 = m.nmol >= 1 ? m.qmol[1] : 0.0f, ri.q2 = m.nmol >= 2 ? m.qmol[2] : 0.0f;
    ri.epsout = k.env.sdie * eps0, ri.kappa = k.env.kappa, ri.temp = k.env.temp;
    ri.sphere1 = m.nsbtot == 1;
    ri.dfc = s.dfc;
    if (!(ri.rad1 > 0) || !(ri.rad2 > 0)) {
        msg(k, "WARNING: rxndrv(080) no rate constant: the radii of molecule 1 (bd rad1) and subunit 1 are not set");
        kvabort(k, warning);
        return;
    }
    result(k, ri);
}

}  // namespace kova
