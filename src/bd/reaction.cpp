// Reaction criteria: the default set, its entry from the command input, its
// listing, the per-step test (plain, monitored over the whole trajectory, or
// gated) and the records of the order in which sites were met.
#include "bd/reaction.hpp"

#include <cmath>
#include <cstdio>
#include <string>

#include "bd/random.hpp"
#include "command/output.hpp"
#include "command/readers.hpp"
#include "fortio/format.hpp"

namespace kova {

namespace {

std::string num(long v) { return std::to_string(v); }

std::string real(float v) {
    char b[32];
    std::snprintf(b, sizeof b, "%g", static_cast<double>(v));
    return b;
}

}  // namespace

void rxndef(Kova& k) { k.rxn = ReactionStore{}; }

bool dfrxst(Kova& k) { return dfrxst(k, true); }

// The set is read into a copy and committed only when every number was
// accepted. How much of the input a refused set takes:
// - a refused site or criterion count ends the reading at once (what follows
//   cannot be told apart from the next keywords without trusting the count);
// - a refused atom, subunit or distance leaves the counts valid, so the rest
//   of the set is still read, keeping the command input in step.
bool dfrxst(Kova& k, bool need_units) {
    const int in = k.files.inunit;
    const MoleculeStore& m = k.mol;
    bool good = true;
    auto refuse = [&](const std::string& text) {
        msg(k, text);
        good = false;
        kvabort(k, serious);
    };

    ReactionStore set = k.rxn;
    const int nsite = getint(k, in, "msite: no. of physical rxn sites ?");
    if (nsite < 1 || nsite > maxsit) {
        refuse("SERIOUS: dfrxst (010) number of reaction sites outside 1 to 40: " + num(nsite));
        return false;
    }
    set.nsite = nsite;

    // Target atoms are atoms of molecule 1: the atoms of later molecules
    // belong to the diffusing units, whose atom coordinates do not move
    // with their subunits.
    const bool target = m.nmol >= 1;
    const int a1 = target ? m.fstatm[1] : 0, a2 = target ? m.lstatm[1] : -1;
    const bool units = m.nsbtot > 0;
    const int s2 = units ? m.nsbtot : (need_units ? 0 : maxsub);

    for (int i = 1; i <= nsite; ++i) {
        const int nc = getint(k, in, "msite: no. of distance criteria ?");
        if (nc < 1 || nc > maxcrt) {
            refuse("SERIOUS: dfrxst (020) number of distance criteria of site " + num(i) +
                   " outside 1 to 10: " + num(nc));
            return false;
        }
        set.ncrit[i] = nc;
        for (int j = 1; j <= nc; ++j) {
            const int a = getint(k, in, "msite: atom of target ?");
            const int s = getint(k, in, "msite: atom of substrate ?");
            const float d = getfp(k, in, "msite: distance ?");
            if (!target)
                refuse("SERIOUS: dfrxst (030) target atom with no molecule loaded: " + num(a));
            else if (a < a1 || a > a2)
                refuse("SERIOUS: dfrxst (030) target atom outside the atoms of molecule 1 (" + num(a1) +
                       " to " + num(a2) + "): " + num(a));
            if (s2 == 0)
                refuse("SERIOUS: dfrxst (040) substrate subunit with no subunit defined: " + num(s));
            else if (s < 1 || s > s2)
                refuse("SERIOUS: dfrxst (040) substrate subunit outside 1 to " + num(s2) + ": " + num(s));
            if (!(std::isfinite(d) && d > 0.0f))
                refuse("SERIOUS: dfrxst (050) reaction distance not positive: " + real(d));
            set.patom[i][j] = a;
            set.psub[i][j] = s;
            set.pdist[i][j] = d;
        }
    }
    if (!good) return false;
    k.rxn.nsite = set.nsite;
    k.rxn.ncrit = set.ncrit;
    k.rxn.patom = set.patom;
    k.rxn.psub = set.psub;
    k.rxn.pdist = set.pdist;
    return true;
}

void prtrxn(Kova& k) { prtrxn(k, false); }

void prtrxn(Kova& k, bool analysis) {
    const ReactionStore& r = k.rxn;
    const MoleculeStore& m = k.mol;
    out(k, "(1x,11x,'Reaction Site Definitions')");
    out(k, "(1x,11x,'Protein unit',17x,'Diffusing')");
    out(k, "(1x,'site restr atom  atom resid resid   *   subunit',6x,' Distance  ')");
    out(k, "(1x,' num  num   num  name  num  name    *   number ',6x,'(Angstroms)')");
    out(k, "(1x,'---- ----  ----- ---- ----- ----    *   -------',6x,'-----------')");
    for (int i = 1; i <= r.nsite; ++i)
        for (int j = 1; j <= r.ncrit[i]; ++j) {
            const int a = r.patom[i][j];
            out(k, "(1x,i4,1x,i4,2x,i4,2x,a4,1x,i4,2x,a4,4x,'*',3x,i4,9x,f8.3)", i, j, a, m.atnam[a].padded(),
                m.resnum[a], m.resnam[a].padded(), r.psub[i][j], r.pdist[i][j]);
        }
    if (analysis) {
        out(k, "(1x,' Extra distance to ensure reaction is over         :',f10.3,' A ')", r.xdist);
        out(k, "(1x,' Minimum time required between reactions           :',f10.3,' ps')", r.tmin);
    }
}

bool rxntst(ReactionStore& r, XyzView atoms, XyzView sub, float dt, bool zhou, RandomState& rng,
            RxnTrace* trace) noexcept {
    if (trace) trace->n = 0;
    bool reacted = false;
    for (int i = 1; i <= r.nsite && !reacted; ++i) {
        reacted = true;
        const int nc = r.ncrit[i];
        for (int j = 1; j <= nc && reacted; ++j) {
            const int a = r.patom[i][j], s = r.psub[i][j];
            const float dx = atoms.x[a] - sub.x[s];
            const float dy = atoms.y[a] - sub.y[s];
            const float dz = atoms.z[a] - sub.z[s];
            const float dist = std::sqrt(dx * dx + dy * dy + dz * dz);
            // Met only strictly inside the limit.
            if (r.pdist[i][j] <= dist) reacted = false;
            if (trace) trace->item[trace->n++] = {i, j, dist, r.pdist[i][j]};
        }
        // Monitoring: record the first time each site is met; the trajectory
        // goes on until every site has been met once, in any order.
        if (r.mrxn && reacted) {
            if (r.siteord[i] == 0) r.siteord[i] = ++r.nsord;
            if (r.nsord < r.nsite) reacted = false;
        }
    }
    if (zhou) {
        // Gated reaction: the survival factor over the step from the zone
        // flags of this and the previous step; 2 outside (no reaction).
        const bool z = reacted;
        float f = 2.0f;
        if (z && r.inzone)
            f = std::exp(-dt * r.zkap);
        else if (z || r.inzone)
            f = std::exp(-dt * r.zkap / 2.0f);
        const float u = rng.uniform();
        if (u <= f) {
            r.inzone = z;
            reacted = false;
        } else {
            reacted = true;
        }
    }
    r.reacted = reacted;
    return reacted;
}

void rxnclr(ReactionStore& r) noexcept {
    r.reacted = false;
    r.inzone = false;
    r.siteord.fill(0);
    r.nsord = 0;
}

std::vector<std::string> drsite_records(const RxnTrace& trace, int nstep, float tim) {
    std::vector<std::string> recs;
    for (int n = 0; n < trace.n; ++n) {
        const RxnTested& t = trace.item[n];
        const std::vector<std::string> r =
            nstep > 0 ? fortio::format_write("(1x,'nsteps ',i8,'  m/n site ',i4,i4,'  distance ',f8.3,'  react ',f8.3)",
                                             {std::int64_t{nstep}, std::int64_t{t.site}, std::int64_t{t.crit}, t.dist, t.limit})
                      : fortio::format_write("(1x,'time   ',f8.3,'  m/n site ',i4,i4,'  distance ',f8.3,'  react ',f8.3)",
                                             {tim, std::int64_t{t.site}, std::int64_t{t.crit}, t.dist, t.limit});
        recs.insert(recs.end(), r.begin(), r.end());
    }
    return recs;
}

void prtdrs(Kova& k, const RxnTrace& trace, int nstep, float tim) {
    k.units.write(k.files.outunit, drsite_records(trace, nstep, tim));
}

std::vector<std::string> sitord_records(const ReactionStore& r) {
    std::vector<fortio::OutItem> v;
    v.reserve(static_cast<size_t>(r.nsite));
    for (int i = 1; i <= r.nsite; ++i) v.emplace_back(std::int64_t{r.siteord[i]});
    return fortio::format_write("(1x,25(i2,1x))", v);
}

void wrsord(::fortio::UnitTable& units, int unit, ReactionStore& r) {
    units.write(unit, sitord_records(r));
    r.siteord.fill(0);
    r.nsord = 0;
}

}  // namespace kova
