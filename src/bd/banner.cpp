// The set-up listing of a Brownian-dynamics run: files, environment,
// dynamics, analysis, the molecules and units, constraints and the
// reaction criteria. Labelled lines name the keyword that sets each value.
#include <algorithm>
#include <string>

#include "bd/bdrun.hpp"
#include "bd/reaction.hpp"
#include "bd/units.hpp"
#include "command/output.hpp"

namespace kova {

namespace {

constexpr float tokcal = 0.0023900573f;  // amu*A**2/ps**2 to kcal/mol

// "  text ... (key) :" in 53 columns, the keyword hint ending at column 51.
std::string label(std::string_view text, std::string_view key = {}) {
    std::string tail;
    if (!key.empty()) tail.append("(").append(key).append(") ");
    std::string s(2, ' ');
    s.append(text);
    const size_t room = 52 > tail.size() ? 52 - tail.size() : 0;
    s.append(s.size() < room ? room - s.size() : 1, ' ');
    return s + tail + ":";
}

void title(Kova& k, std::string_view t) { out(k, "(1x,a)", t); }

void text(Kova& k, std::string_view l, std::string_view key, std::string_view v) {
    out(k, "(1x,a,1x,a)", label(l, key), v);
}
void flag(Kova& k, std::string_view l, std::string_view key, bool v) { out(k, "(1x,a,l10)", label(l, key), v); }
void count(Kova& k, std::string_view l, std::string_view key, int v) { out(k, "(1x,a,i10)", label(l, key), v); }
void real(Kova& k, std::string_view l, std::string_view key, float v, std::string_view unit) {
    out(k, "(1x,a,f10.3,a)", label(l, key), v, unit);
}

}  // namespace

void banner(Kova& k, const BdRun& b) {
    const MoleculeStore& m = k.mol;
    const UnitStore& u = m.units;
    const FileUnits& f = k.files;

    title(k, "INPUT/OUTPUT");
    int records = 0;
    for (int n = 1; n <= maxflx; ++n) {
        if (!b.rcrd[n]) continue;
        ++records;
        const std::string& name = b.flxopen[n].empty() ? f.flxname[n] : b.flxopen[n];
        const bool zone = b.rxnz && b.rxnzun == n;
        const std::string what = zone ? "Reaction-zone record of unit " + std::to_string(n)
                                      : "Record of unit " + std::to_string(n) + " every " + std::to_string(b.intr[n]) +
                                            " steps";
        text(k, what, zone ? "rcrd rxnz" : "rcrd", name);
    }
    if (records == 0) text(k, "Trajectory records of units", "rcrd", "none");
    if (b.stpson)
        text(k, "Start positions read from file", "stps", b.stropen.empty() ? f.strname : b.stropen);
    else if (b.nstrpos)
        text(k, "Start positions", "nstrpos", "current positions kept");
    else
        text(k, "Start positions", "strpos", "generated on the b surface");
    text(k, "Restart file after each trajectory", "rest", b.rest ? f.rstname : std::string("none"));
    text(k, "Reaction-site monitor file", "mrxn", k.rxn.mrxn ? (b.rxnopen.empty() ? f.rxnname : b.rxnopen) : "none");
    text(k, "Survival-times file", "zfil", b.zhou ? (b.hxzopen.empty() ? f.hxzname : b.hxzopen) : "none");
    text(k, "Reaction-density file", "disp", b.disppfx.empty() ? "kova_den.srf" : b.disppfx + "_den.srf");

    title(k, "ENVIRONMENTAL CONSTANTS");
    real(k, "Temperature", "temp #.#", k.env.temp, "  K");
    real(k, "Solvent viscosity", "svis #.#", b.svis * internal_to_cp, "  cP");
    out(k, "(1x,a,e10.4,a)", label("Diffusion factor kT/(8 pi svis)"), b.hifac, "  A^3/ps");
    count(k, "Random number seed", "0<ijsd1<31328", k.rnd.ijsd1);
    count(k, "Random number seed", "0<ijsd2<31328", k.rnd.ijsd2);
    count(k, "Random number seed", "0<klsd1<30081", k.rnd.klsd1);
    count(k, "Random number seed", "0<klsd2<30081", k.rnd.klsd2);

    title(k, "DYNAMIC FLAGS AND PARAMETERS");
    flag(k, "Electrostatic force", "force/noforce", b.frcon);
    flag(k, "Random force", "rand/nora", b.rndon);
    text(k, "Calculation type", "calc/setup", b.calctp);
    count(k, "Number of runs", "nrun #", b.nrun);
    count(k, "Trajectories per run", "ntraj #", b.ntraj);
    count(k, "Maximum steps per trajectory", "steps #", b.maxstp);
    out(k, "(1x,a,e10.4,a)", label("Maximum time per trajectory", "time #.#"), b.maxtim, "  ps");
    real(k, "b surface (start)", "bsurf #.#", b.bsurf, "  A");
    real(k, "q surface (escape)", "qsurf #.#", b.qsurf, "  A");
    real(k, "p surface (reaction)", "psurf #.#", b.psurf, "  A");
    real(k, "Lower polar angle of start positions", "thtl #.#", b.thtl, "  rad");
    real(k, "Upper polar angle of start positions", "thth #.#", b.thth, "  rad");
    real(k, "Lower azimuth of start positions", "phil #.#", b.phil, "  rad");
    real(k, "Upper azimuth of start positions", "phih #.#", b.phih, "  rad");
    if (b.ctim) {
        out(k, "(1x,a,f10.5,a)", label("Constant time step", "delt #.#"), b.delt, "  ps");
    } else {
        out(k, "(1x,a,f10.5,a)", label("Time step in region 1", "delt #.#"), b.delt, "  ps");
        count(k, "Variable time-step regions", "vtim #", b.nreg);
        out(k, "(1x,5a)", "  Region   ", "Low Bound ", " Up Bound ", "Multiplier", " Time Step");
        // Region 1 always moves by delt; region i from the bound of region
        // i - 1 to its own by delt times its multiplier.
        for (int i = 1; i <= maxreg; ++i) {
            const float low = i == 1 ? 0.0f : b.regub[i - 1];
            const float step = i == 1 ? b.delt : b.delt * b.regmul[i];
            out(k, "(6x,i5,4x,3(4x,f6.2),4x,f6.3)", i, low, b.regub[i], b.regmul[i], step);
        }
    }
    flag(k, "Freeze tethered units", "freeze/nofrze", b.frzon);
    if (b.frzon) {
        text(k, "Tethered units start from", "freeze old/new", b.frznew ? "new" : "old");
        flag(k, "Units start frozen (b surface beyond p)", "", b.frozen);
    }
    flag(k, "Move bumped subunits back to contact", "bkbmp", b.bkbmp);
    flag(k, "Independent random stream per run", "indrnd", b.indrnd);
    count(k, "Constraint cycles after a bump", "mcyccn #", b.mcyccn);

    title(k, "ANALYSIS INFORMATION");
    flag(k, "Rate constant computed", "rate/nrat", b.rateon);
    flag(k, "Reaction criteria monitored", "mrxn", k.rxn.mrxn);
    flag(k, "Relative diffusion estimated in bins", "dfcr #", b.dfcr);
    if (b.dfcr) count(k, "Number of radial bins", "dfcr #", b.nbins);
    flag(k, "Constraint iteration statistics", "cnsr", b.cnsr);
    flag(k, "Force statistics", "imfrce", b.imfrce);
    if (b.imfrce) real(k, "Force printing threshold", "maxfrc #.#", b.maxfrc * tokcal, "  kcal/mol/A");
    flag(k, "Coordinates printed", "stpst", b.stpst);
    flag(k, "Hydrodynamic distances printed", "impd", b.impd);
    flag(k, "Reaction-site distances printed", "drsite", b.drsite);
    count(k, "Printing interval in steps", "stpat #", b.stpat);
    flag(k, "Line per trajectory", "trjst", b.trjst);
    flag(k, "Line per run", "rnst", b.rnst);

    if (b.sphere1)
        out(k, "(1x,a)", "Diffusing unit treated as single particle");
    else if (b.sphere2)
        out(k, "(1x,a)", "Diffusing unit treated as two particles");
    else
        out(k, "(1x,a)", "Diffusing unit treated as multi-particle");
    real(k, "Substrate exclusion radius", "srad #.#", b.srad, "  A");

    title(k, "MOLECULE INFORMATION");
    real(k, "Radius of molecule 1", "rad1 #.#", b.rad1, "  A");
    real(k, "Charge of molecule 1", "", m.nmol >= 1 ? m.qmol[1] : 0.0f, "  e");
    const int nsb = std::max(m.nsbtot, 0);
    count(k, "Number of subunits", "", nsb);
    if (nsb > 0) {
        out(k, "(1x,a)", "Subunit      Radius    Charge    Type     First atom   Last atom");
        for (int s = 1; s <= std::min(nsb, maxsub); ++s)
            out(k, "(1x,i6,4x,f8.3,2x,f8.3,2x,i6,4x,i7,5x,i7,5x)", s, m.sbrad[s], m.sbchg[s], m.sbtype[s], m.sbfat[s],
                m.sblat[s]);
    }

    title(k, "UNIT PARAMETERS");
    count(k, "Number of units", "", u.nunit);
    for (int n = 1; n <= std::min(u.nunit, maxdfu); ++n) prtunit(k, n);

    title(k, "INTERUNIT PARAMETERS");
    count(k, "Number of interunit pairs", "", u.nfiun);
    prtiun(k);

    title(k, "CONSTRAINT INFORMATION");
    flag(k, "First-order correction for all units", "focor", b.focor);
    flag(k, "Line-of-centres correction for all units", "loccor", b.loccor);
    real(k, "Constraint tolerance", "toler #.#", u.toler, "  A");
    count(k, "Number of constraints", "", u.ncnstr);
    if (u.ncnstr > 0) {
        out(k, "(1x,a)", "Sub. 1    Sub. 2    Distance    Radius 1  Radius 2");
        for (int c = 1; c <= std::min(u.ncnstr, maxcon); ++c) {
            const int s1 = u.cnsub1[c], s2 = u.cnsub2[c];
            const bool known = s1 >= 1 && s1 <= maxsub && s2 >= 1 && s2 <= maxsub;
            out(k, "(1x,i6,4x,i6,4x,f8.3,2x,f10.3,f10.3,5x)", s1, s2, u.cndist[c], known ? m.sbrad[s1] : 0.0f,
                known ? m.sbrad[s2] : 0.0f);
        }
    }

    if (b.zhou) {
        title(k, "ANALYZING SURVIVAL PROBABILITIES");
        real(k, "Gate rate kappa/epsilon", "zkap #.#", k.rxn.zkap, "  1/ps");
    }
    prtrxn(k);
}

}  // namespace kova
