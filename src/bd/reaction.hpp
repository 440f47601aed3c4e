// Reaction criteria of Brownian dynamics: reaction sites, each a conjunction
// of distance criteria between an atom of the target molecule and a subunit
// centre of the diffusing units; their entry, listing and test.
//
// The store is a plain value. It holds the criteria (read by every step of a
// run, never changed during it) and the state of the trajectory being tested
// (reacted, inzone, siteord, nsord). A trajectory run on a thread of its own
// works on its own copy of the store, as it does on its own RandomState.
#pragma once

#include <array>
#include <span>
#include <string>
#include <vector>

#include "kova_config.hpp"

namespace fortio {
class UnitTable;
}

namespace kova {

struct Kova;
struct RandomState;

inline constexpr int maxsit = maxrxn;  // reaction sites (maxcrt: distance criteria per site)

struct ReactionStore {
    int nsite = 1;
    std::array<int, maxsit + 1> ncrit{};                               // ncrit[site]
    std::array<std::array<int, maxcrt + 1>, maxsit + 1> patom{};       // patom[site][crit]
    std::array<std::array<int, maxcrt + 1>, maxsit + 1> psub{};
    std::array<std::array<float, maxcrt + 1>, maxsit + 1> pdist{};
    bool reacted = false;
    bool mrxn = false;
    bool inzone = false;
    std::array<int, maxsit + 1> siteord{};
    int nsord = 0;
    float xdist = 0.0f, tmin = 0.0f;
    float zkap = 1.0f;

    // The default set holds from the start: site 1 with one criterion,
    // target atom 1 within 1.0 A of subunit 1.
    ReactionStore() {
        ncrit[1] = 1;
        patom[1][1] = 1;
        psub[1][1] = 1;
        pdist[1][1] = 1.0f;
    }
};

// The default criterion set: one site, target atom 1 within 1.0 A of
// subunit 1; monitoring and gating off.
void rxndef(Kova& k);

// Reads a criteria set from the command input (defrxn). Returns false when
// a number was refused; the earlier criteria are then kept.
bool dfrxst(Kova& k);
// The same; with need_units false a subunit number is checked only against
// the subunit limit while no unit is defined yet (for callers that use the
// target atoms and distances alone, such as the reaction-volume report).
bool dfrxst(Kova& k, bool need_units);

// Lists the criteria (part of the run set-up listing).
void prtrxn(Kova& k);
// The same; with analysis on (the reaction analysis of recorded
// trajectories) the extra distance and minimum time between reactions
// follow.
void prtrxn(Kova& k, bool analysis);

// Coordinates as three flat arrays indexed 1-based (element 0 unused), as
// the atom store and the subunit tables hold them.
struct XyzView {
    std::span<const float> x, y, z;
};

// One tested criterion: site, criterion, distance and its limit.
struct RxnTested {
    int site, crit;
    float dist, limit;
};

// The criteria tested by the last call of rxntst, in order, for the
// site-distance printout. Fixed capacity: every criterion is tested at most
// once per call.
struct RxnTrace {
    std::array<RxnTested, maxsit * maxcrt> item;
    int n = 0;
};

// The per-step test of the criteria on the trial subunit centres sub
// against the target atoms atoms; sets and returns r.reacted. A site is met
// when every one of its distances is strictly below its limit; the first
// unmet criterion ends the site. With r.mrxn the trajectory reacts only once
// every site has been met (siteord records the order). With zhou the result
// is the zone flag of the gated reaction: one uniform draw from rng per call
// decides survival over the step dt. When trace is given, it is refilled
// with the criteria tested by this call. No allocation, no I/O.
bool rxntst(ReactionStore& r, XyzView atoms, XyzView sub, float dt, bool zhou, RandomState& rng,
            RxnTrace* trace = nullptr) noexcept;

// Clears the state of the trajectory (reaction and zone flags, the order in
// which sites were met) before a new trajectory is tested.
void rxnclr(ReactionStore& r) noexcept;

// Prints the criteria recorded in trace (drsite): with nstep > 0 one line
// per criterion labelled with the step count; with nstep 0 labelled with
// the time tim instead (a recorded trajectory has times, no steps).
void prtdrs(Kova& k, const RxnTrace& trace, int nstep, float tim);
// The same lines as records, for a caller that gathers its output.
std::vector<std::string> drsite_records(const RxnTrace& trace, int nstep, float tim);

// The records giving the order in which the sites were met,
// siteord(1..nsite) as "(1x,25(i2,1x))".
std::vector<std::string> sitord_records(const ReactionStore& r);
// Writes them to unit (the reaction-site monitor file) and clears the order
// for the next trajectory.
void wrsord(::fortio::UnitTable& units, int unit, ReactionStore& r);

}  // namespace kova
