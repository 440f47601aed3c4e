// The bd command: the run defaults, units for the molecules not yet in any
// unit, the keywords of a run, and the preparation at end (random seeds,
// the substrate exclusion grid, the run's files, the particle model).
//
// A value that cannot describe a run (a non-positive time step, surface,
// temperature or count, angles outside their range, a unit without a
// record) is refused naming it; when the run goes on (abort level above
// SERIOUS) the keyword is ignored. Settings that cannot work together (the
// b surface outside the q surface, region bounds out of order) are checked
// at end: the command is then refused as a whole and the set-up of the
// previous bd command stays.
#include "bd/bdrun.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <vector>

#include "bd/engine.hpp"
#include "bd/reaction.hpp"
#include "bd/units.hpp"
#include "command/commands.hpp"
#include "command/output.hpp"
#include "command/readers.hpp"
#include "elec/elec.hpp"

namespace kova {

namespace {

constexpr int mobile = 64;  // type code of a subunit that moves
constexpr float kcal = 418.4f;  // kcal/mol to amu*A**2/ps**2
constexpr char prompt[] = "Bddrv";
// Angles are read in radians; a bound typed as 3.1416 or 6.2832 means pi
// and 2 pi.
constexpr float pi_typed = 3.1416f, twopi_typed = 6.2832f;

void refused(Kova& k, std::string_view code, std::string_view what, const std::string& value) {
    msg(k, "SERIOUS: bddrv(" + std::string(code) + ") ", what, ": " + value);
    kvabort(k, serious);
}

// Admits a real in [lo, hi] (above lo when lo is excluded); NaN fails.
bool admit(Kova& k, float v, float lo, float hi, bool lo_excluded, std::string_view code, std::string_view what) {
    if (std::isfinite(v) && (lo_excluded ? v > lo : v >= lo) && v <= hi) return true;
    refused(k, code, what, value_text(v));
    return false;
}

bool admit_int(Kova& k, int v, int lo, int hi, std::string_view code, std::string_view what) {
    if (v >= lo && v <= hi) return true;
    refused(k, code, what, std::to_string(v));
    return false;
}

constexpr float big = 3.0e38f;
constexpr int bigint = 2147483647;

// Keywords that match any token beginning with their four letters.
bool prefix4(std::string_view w, std::string_view key) { return w.size() >= 4 && w.substr(0, 4) == key; }

void retired_hydro(Kova& k, const std::string& w) {
    msg(k, "SERIOUS: bddrv(100) unknown keyword: ", w);
    msg(k, "Hydrodynamic interactions should now be specified using:");
    msg(k, "edit funi iflx # nohi|oseen|mdosen slip|stick end");
    kvabort(k, serious);
}

void retired_radii(Kova& k, const std::string& w, bool with_mol1) {
    msg(k, with_mol1 ? "SERIOUS: bddrv(300) unknown keyword: " : "SERIOUS: bddrv(200) unknown keyword: ", w);
    msg(k, "Hydrodynamic radii for subunits in units ", "(including molecule 2) should now be specified using:");
    msg(k, "edit funi iflx # hrid #.# |nhrid (#.#) end");
    if (with_mol1) {
        msg(k, "The radius of mol1 should be set using:");
        msg(k, "bd rad1 #.# end");
    }
    kvabort(k, serious);
}

// What the command reads into places outside the run store; stored only
// when the command is accepted.
struct Pending {
    float temp = 0;
    int ijsd1 = 0, ijsd2 = 0, klsd1 = 0, klsd2 = 0;
    float toler = 0;
    bool toler_given = false;
    bool debug = false;
    std::array<std::string, maxflx + 1> flxname{};
    std::string strname, hxzname, rstname;
    std::vector<std::array<float, 3>> constraints;  // subunit, subunit, distance
};

// Variable time-step regions: n, then n pairs (upper bound, multiplier).
// Regions beyond those given reach to the q surface with multiplier 1.
// Returns false when a value was refused (the regions are then unchanged).
bool dfvtim(Kova& k, BdRun& b) {
    const int in = k.files.inunit;
    int n = getint(k, in, prompt);
    const int given = n;
    if (n > maxreg) {
        fwrite(k, k.files.msgunit, "(1x,'WARNING: only allowed ',i6,' regions')", maxreg);
        kvabort(k, note);
        n = maxreg;
    }
    bool ok = admit_int(k, n, 1, maxreg, "070", "number of time-step regions (vtim) must be at least 1");
    std::array<float, maxreg + 1> ub{}, mul{};
    // Every pair typed is read, so that the words after them are keywords
    // again; pairs beyond the fifth are left out.
    for (int i = 1; i <= std::max(given, 0); ++i) {
        const float u = getnum(k, in, prompt);
        const float m = getnum(k, in, prompt);
        if (i > maxreg) continue;
        ok = admit(k, u, 0.0f, big, true, "071", "time-step region bound (vtim) must be above 0 A") && ok;
        ok = admit(k, m, 0.0f, big, true, "071", "time-step multiplier (vtim) must be above 0") && ok;
        ub[i] = u, mul[i] = m;
    }
    if (!ok) return false;
    b.ctim = false;
    b.nreg = n;
    for (int i = 1; i <= maxreg; ++i) {
        b.regub[i] = i <= n ? ub[i] : b.qsurf;
        b.regmul[i] = i <= n ? mul[i] : 1.0f;
    }
    return true;
}

// Distance constraints between subunits (global numbers): the count, then
// for each the two subunits and the distance.
void dfcnsr(Kova& k, Pending& p) {
    const int in = k.files.inunit;
    const int nc = getint(k, in, "cnumb: Number of constraints ?");
    admit_int(k, nc, 0, maxcon, "083", "number of constraints must lie between 0 and 30");
    const int nsub = std::max(k.mol.nsbtot, 0);
    for (int c = 1; c <= std::max(nc, 0); ++c) {
        const int s1 = getint(k, in, "csub1: First subunit of constraint ?");
        const int s2 = getint(k, in, "csub2: Second subunit of constraint ?");
        const float d = getnum(k, in, "cdist: Constraint distance ?");
        bool ok = nc <= maxcon;
        ok = admit_int(k, s1, 1, nsub, "083", "constraint subunit must be a defined subunit") && ok;
        ok = admit_int(k, s2, 1, nsub, "083", "constraint subunit must be a defined subunit") && ok;
        if (ok && s1 == s2) {
            refused(k, "083", "constraint joins a subunit to itself", std::to_string(s1));
            ok = false;
        }
        ok = admit(k, d, 0.0f, big, true, "083", "constraint distance must be above 0 A") && ok;
        const int room = maxcon - k.mol.units.ncnstr - static_cast<int>(p.constraints.size());
        if (ok && room < 1) {
            refused(k, "083", "more than 30 constraints; left out: constraint", std::to_string(c));
            ok = false;
        }
        if (ok) p.constraints.push_back({static_cast<float>(s1), static_cast<float>(s2), d});
    }
}

// Sub-keywords of the trajectory record of unit n, up to end.
void rcrd(Kova& k, BdRun& b, Pending& p) {
    const int in = k.files.inunit;
    const int n = getint(k, in, prompt);
    const int nunit = k.mol.units.nunit;
    const bool ok = admit_int(k, n, 1, std::min(nunit, maxflx), "080",
                              "trajectory record (rcrd) must name a defined unit (1 to " +
                                  std::to_string(std::min(nunit, maxflx)) + ")");
    int every = 1000;
    bool zone = false, every_ok = true;
    std::string name;
    for (;;) {
        const std::string w = getnam(k, in, prompt);
        if (w == "end") break;
        if (w == "rxnz") {
            zone = true;
        } else if (w == "intr") {
            every = getint(k, in, prompt);
            every_ok = admit_int(k, every, 1, bigint, "081", "record interval (intr) must be at least 1 step");
        } else if (w == "file") {
            name = getfil(k, in, prompt);
        } else {
            msg(k, "SERIOUS: bddrv(010) unknown keyword: ", w);
            kvabort(k, serious);
        }
    }
    if (!ok) return;
    b.rcrd[n] = true;
    if (every_ok) b.intr[n] = every;
    if (!name.empty()) p.flxname[n] = name;
    if (zone) b.rxnz = true, b.rxnzun = n;
}

void rest(Kova& k, BdRun& b, Pending& p) {
    const int in = k.files.inunit;
    b.rest = true;
    for (;;) {
        const std::string w = getnam(k, in, prompt);
        if (w == "end") break;
        if (w == "file") {
            p.rstname = getfil(k, in, prompt);
        } else if (w == "prts") {
            b.restprts = true;
        } else {
            msg(k, "SERIOUS: bddrv(010) unknown keyword: ", w);
            kvabort(k, serious);
        }
    }
}

// Opens a file of the run without overwriting; the name used is kept.
std::string open_new(Kova& k, int unit, const std::string& name) {
    std::string used = name;
    kvopen(k, unit, used, true);
    return used;
}

}  // namespace

BdRun::BdRun() {
    intr.fill(1000);
    regub.fill(qsurf);
    regmul.fill(1.0f);
    beta = bdbeta(300.0f);
    hifac = bdhifac(300.0f, svis);
}

float bdbeta(float temp) { return 1.0f / (gask * temp); }

float bdhifac(float temp, float svis) { return gask * temp / (svis * eight_pi); }

void bddef(Kova& k) {
    const float rad1 = k.bdrun.rad1;
    k.bdrun = BdRun{};
    k.bdrun.rad1 = rad1;
    k.bdrun.beta = bdbeta(k.env.temp);
    k.bdrun.hifac = bdhifac(k.env.temp, k.bdrun.svis);
    rxndef(k);
}

void scrd(Kova& k) {
    MoleculeStore& m = k.mol;
    UnitStore& u = m.units;
    if (m.nmol <= 1) return;
    const int last = m.lstatm[m.nmol];
    const int out_unit = k.files.msgunit;
    int n = 1, first = m.fstatm[2];
    if (m.nsbtot == -9999) {
        msg(k, "WARNING - scrd (100) :");
        fwrite(k, out_unit, "(a,a)", "  No. of units specified                         :", " none");
        fwrite(k, out_unit, "(a,a)", "  No. of subunits specified                      :", " none");
        fwrite(k, out_unit, "(a,i5)", "  No. of molecules                               :", m.nmol);
        fwrite(k, out_unit, "(a,i4,a)", "  All atoms in molecules 2 thru ", m.nmol, " assigned to :");
        fwrite(k, out_unit, "(a,i5)", "    subunit                                      :", 1);
        fwrite(k, out_unit, "(a,i5)", "    unit                                         :", 1);
        kvabort(k, warning);
    } else {
        const int covered = u.nunit >= 1 ? m.sblat[u.ilsub[u.nunit]] : 0;
        if (covered >= last) return;
        n = u.nunit + 1;
        first = std::max(covered + 1, m.fstatm[2]);
        fwrite(k, out_unit, "(a)",
               "  WARNING: scrd (001) - Not all atoms in  molecules 2 thru nmol are assigned to units.");
        fwrite(k, out_unit, "(a,i5,a,i6,a,i6)", "  Unit ", n, " is defined for atoms ", first, " thru ", last);
        fwrite(k, out_unit, "(a)", "  which will consist of one subunit only");
        kvabort(k, warning);
        if (n > maxdfu) {
            msg(k, "SERIOUS: scrd (010) no room for a further unit; units defined: ", std::to_string(u.nunit));
            kvabort(k, serious);
            return;
        }
    }
    const int s = n == 1 ? 1 : u.ilsub[n - 1] + 1;
    if (s > maxsub) {
        msg(k, "SERIOUS: scrd (011) no room for a further subunit; subunits defined: ", std::to_string(s - 1));
        kvabort(k, serious);
        return;
    }
    // The subunit's charge is the sum of its atoms' charges.
    for (int a = first; a <= last; ++a)
        if (m.chrg[a] == unset) {
            msg(k, "SERIOUS: scrd (020) atom without a charge; no unit built. Atom: ", std::to_string(a));
            kvabort(k, serious);
            return;
        }
    int home = 2;  // the molecule whose size is the subunit's radius
    for (int i = 2; i <= m.nmol; ++i)
        if (first >= m.fstatm[i] && first <= m.lstatm[i]) home = i;
    u.nunit = n;
    u.ifsub[n] = u.ilsub[n] = s;
    u.nsubu[n] = 1;
    u.nfixs[n] = 0;
    u.subpc[n] = ' ';
    u.cntyp[n] = Name4("cm");
    u.cncor[n] = 2;
    u.bndon[n] = 1;
    u.angon[n] = 0;
    m.sbfat[s] = first;
    m.sblat[s] = last;
    m.sbtype[s] = mobile;
    m.sbfix[s] = 0;
    m.sbunit[s] = n;
    m.sbrad[s] = m.molsiz[home];
    m.nsbtot = s;
    spdb(k, n);  // builds and lists the subunit
    udef(k, n);
}

void chbxbd(Kova& k) {
    const MoleculeStore& m = k.mol;
    const GridStore& g = k.mess;
    if (m.nmol < 1) return;
    const float srad = k.bdrun.srad;
    const float lo[3] = {g.xo + g.h, g.yo + g.h, g.zo + g.h};
    const float hi[3] = {g.xo + static_cast<float>(g.nx) * g.h, g.yo + static_cast<float>(g.ny) * g.h,
                         g.zo + static_cast<float>(g.nz) * g.h};
    for (int a = m.fstatm[1]; a <= std::min(m.lstatm[1], maxatm); ++a) {
        if (a < 1 || g.isel[a] == 0) continue;
        const float r = std::max(m.radi[a], 0.0f) + srad;
        const float c[3] = {m.x[a], m.y[a], m.z[a]};
        bool inside = true;
        for (int d = 0; d < 3; ++d) inside = inside && c[d] - r >= lo[d] && c[d] + r <= hi[d];
        if (!inside)
            fwrite(k, k.files.msgunit, "(1x,'Error: Atom ',i5,' substrate exclusion region extends ','beyond the grid.')",
                   a);
    }
}

void excbd(Kova& k) {
    GridStore& g = k.mess;
    if (!fits_grid(g)) return;
    std::fill(g.iacs.begin() + 1, g.iacs.begin() + 1 + g.nxyz, 0.0f);
    for (int a = 1; a <= std::min(k.mol.natom, maxatm); ++a)
        if (g.isel[a] != 0) excbd(k, a, k.bdrun.srad);
}

void bddrv(Kova& k) {
    const int in = k.files.inunit;
    // The set-up in force before the command, restored when the command is
    // refused as a whole.
    const BdRun before = k.bdrun;
    const ReactionStore rxn_before = k.rxn;
    bddef(k);
    scrd(k);
    BdRun& b = k.bdrun;
    Pending p;
    p.temp = k.env.temp;
    p.ijsd1 = k.rnd.ijsd1, p.ijsd2 = k.rnd.ijsd2, p.klsd1 = k.rnd.klsd1, p.klsd2 = k.rnd.klsd2;
    p.debug = k.flags.debug;
    p.flxname = k.files.flxname;
    p.strname = k.files.strname;
    p.hxzname = k.files.hxzname;
    p.rstname = k.files.rstname;
    bool listing = false;

    auto real = [&] { return getnum(k, in, prompt); };
    auto integer = [&] { return getint(k, in, prompt); };
    auto positive = [&](float& to, std::string_view code, std::string_view what) {
        const float v = real();
        if (admit(k, v, 0.0f, big, true, code, what)) to = v;
    };
    auto seed = [&](int& to, int hi, std::string_view what) {
        const int v = integer();
        if (admit_int(k, v, 1, hi, "079", what)) to = v, b.seeded = true;
    };
    auto angle = [&](float& to, float hi, std::string_view code, std::string_view what) {
        const float v = real();
        if (admit(k, v, 0.0f, hi, false, code, what)) to = v;
    };

    for (;;) {
        const std::string w = getnam(k, in, prompt);
        if (w == "end") break;
        if (w == "calc" || w == "setup") {
            b.calctp = w;
        } else if (w == "temp") {
            const float t = real();
            if (admit(k, t, 0.0f, big, true, "060", "temperature (temp) must be finite and above 0 K")) {
                p.temp = t;
                b.beta = bdbeta(t);
                b.hifac = bdhifac(t, b.svis);
            }
        } else if (w == "svis") {
            const float v = real();
            if (admit(k, v, 0.0f, big / cp_to_internal, true, "061", "viscosity (svis) must be finite and above 0 cP")) {
                b.svis = v * cp_to_internal;
                b.hifac = bdhifac(p.temp, b.svis);
            }
        } else if (w == "ijsd1") {
            seed(p.ijsd1, 31327, "random seed (ijsd1) must lie between 1 and 31327");
        } else if (w == "ijsd2") {
            seed(p.ijsd2, 31327, "random seed (ijsd2) must lie between 1 and 31327");
        } else if (w == "klsd1") {
            seed(p.klsd1, 30080, "random seed (klsd1) must lie between 1 and 30080");
        } else if (w == "klsd2") {
            seed(p.klsd2, 30080, "random seed (klsd2) must lie between 1 and 30080");
        } else if (prefix4(w, "nrun")) {
            const int v = integer();
            if (admit_int(k, v, 1, maxrun, "062",
                          "number of runs (nrun) must lie between 1 and " + std::to_string(maxrun)))
                b.nrun = v;
        } else if (w == "ntraj") {
            const int v = integer();
            if (admit_int(k, v, 1, bigint, "063", "trajectories per run (ntraj) must be at least 1")) b.ntraj = v;
        } else if (w == "steps") {
            const int v = integer();
            if (admit_int(k, v, 1, bigint, "064", "step limit (steps) must be at least 1")) b.maxstp = v;
        } else if (w == "time") {
            positive(b.maxtim, "065", "time limit (time) must be finite and above 0 ps");
        } else if (w == "bsurf") {
            positive(b.bsurf, "066", "b surface (bsurf) must be finite and above 0 A");
        } else if (w == "qsurf") {
            const float v = real();
            if (admit(k, v, 0.0f, big, true, "066", "q surface (qsurf) must be finite and above 0 A")) {
                b.qsurf = v;
                if (!b.ctim)
                    for (int i = b.nreg + 1; i <= maxreg; ++i) b.regub[i] = v, b.regmul[i] = 1.0f;
            }
        } else if (w == "psurf") {
            positive(b.psurf, "066", "p surface (psurf) must be finite and above 0 A");
        } else if (w == "msurf") {
            positive(b.msurf, "066", "m surface (msurf) must be finite and above 0 A");
        } else if (w == "thth") {
            angle(b.thth, pi_typed, "067", "polar angle (thth) must lie between 0 and pi (3.1416) rad");
        } else if (w == "thtl") {
            angle(b.thtl, pi_typed, "067", "polar angle (thtl) must lie between 0 and pi (3.1416) rad");
        } else if (w == "phih") {
            angle(b.phih, twopi_typed, "068", "azimuth (phih) must lie between 0 and 2 pi (6.2832) rad");
        } else if (w == "phil") {
            angle(b.phil, twopi_typed, "068", "azimuth (phil) must lie between 0 and 2 pi (6.2832) rad");
        } else if (w == "delt") {
            positive(b.delt, "069", "time step (delt) must be finite and above 0 ps");
        } else if (w == "ctim") {
            b.ctim = true;
        } else if (w == "vtim") {
            dfvtim(k, b);
        } else if (w == "rad1") {
            positive(b.rad1, "072", "radius of molecule 1 (rad1) must be finite and above 0 A");
        } else if (w == "noforce" || w == "force") {
            b.frcon = w == "force";
        } else if (prefix4(w, "nora") || prefix4(w, "rand")) {
            b.rndon = prefix4(w, "rand");
        } else if (w == "focor") {
            b.focor = true;
        } else if (w == "loccor") {
            b.loccor = true;
        } else if (w == "toler") {
            const float v = real();
            if (admit(k, v, 0.0f, big, true, "073", "constraint tolerance (toler) must be finite and above 0 A"))
                p.toler = v, p.toler_given = true;
        } else if (w == "dfcnsr") {
            dfcnsr(k, p);
        } else if (w == "srad") {
            const float v = real();
            if (admit(k, v, 0.0f, big, false, "074", "substrate exclusion radius (srad) must be finite and at least 0 A"))
                b.srad = v;
        } else if (w == "defrxn") {
            dfrxst(k);
        } else if (w == "mrxn") {
            k.rxn.mrxn = true;
        } else if (w == "stpst" || w == "nstpst") {
            b.stpst = w == "stpst";
        } else if (w == "stpat") {
            const int v = integer();
            if (admit_int(k, v, 1, bigint, "075", "printing interval (stpat) must be at least 1 step")) b.stpat = v;
        } else if (w == "trjst" || w == "ntrjst") {
            b.trjst = w == "trjst";
        } else if (w == "rnst" || w == "nrnst") {
            b.rnst = w == "rnst";
        } else if (w == "imfrce") {
            b.imfrce = true;
        } else if (w == "maxfrc") {
            const float v = real();
            if (admit(k, v, 0.0f, big / kcal, true, "076", "force threshold (maxfrc) must be finite and above 0 kcal/mol/A"))
                b.maxfrc = v * kcal;
        } else if (w == "bkbmp") {
            b.bkbmp = true;
        } else if (w == "mcyccn") {
            const int v = integer();
            if (admit_int(k, v, 0, bigint, "077", "constraint cycles (mcyccn) must be at least 0")) b.mcyccn = v;
        } else if (w == "impd" || w == "nimpd") {
            b.impd = w == "impd";
        } else if (w == "drsite" || w == "ndrsite") {
            b.drsite = w == "drsite";
        } else if (w == "nofrze") {
            b.frzon = false;
        } else if (w == "freeze") {
            b.frzon = true;
            const std::string o = getnam(k, in, prompt);
            if (o == "old" || o == "new") {
                b.frznew = o == "new";
            } else {
                msg(k, "SERIOUS: bddrv(050) unknown keyword: ", o + " Specify 'new' or 'old' after 'freeze' ");
                kvabort(k, serious);
            }
        } else if (w == "nstrpos" || w == "strpos") {
            b.nstrpos = w == "nstrpos";
        } else if (w == "stps") {
            p.strname = getfil(k, in, prompt);
            b.stpson = true;
        } else if (w == "dfcr") {
            int v = integer();
            if (v > maxnbin) {
                msg(k, "WARNING: only allowed 300 bins ");
                kvabort(k, warning);
                v = maxnbin;
            }
            if (admit_int(k, v, 1, maxnbin, "078", "number of bins (dfcr) must be at least 1"))
                b.dfcr = true, b.nbins = v;
        } else if (w == "ndfcr") {
            b.dfcr = false;
        } else if (w == "cnsr" || w == "ncnsr") {
            b.cnsr = w == "cnsr";
        } else if (w == "indrnd" || w == "nindrnd") {
            b.indrnd = w == "indrnd";
        } else if (prefix4(w, "rate") || prefix4(w, "nrat")) {
            b.rateon = prefix4(w, "rate");
        } else if (prefix4(w, "zhou")) {
            b.zhou = true;
        } else if (prefix4(w, "zfil")) {
            p.hxzname = getfil(k, in, prompt);
        } else if (prefix4(w, "zkap")) {
            const float v = real();
            if (admit(k, v, 0.0f, big, false, "082", "gate rate (zkap) must be finite and at least 0 1/ps"))
                k.rxn.zkap = v;
        } else if (w == "rcrd") {
            rcrd(k, b, p);
        } else if (prefix4(w, "rest")) {
            rest(k, b, p);
        } else if (w == "prnt" || w == "print") {
            listing = true;
        } else if (w == "debug") {
            p.debug = true;
        } else if (w == "disp") {
            // Plot output is not written; the prefix names the
            // reaction-density file.
            const int v = getint(k, in, "Brndyn");
            b.disppfx = getfil(k, in, "Bryndyn", 10);
            if (admit_int(k, v, 1, bigint, "087", "plot interval (disp) must be at least 1 step")) b.dispn = v;
        } else if (w == "nohi" || w == "oseen" || w == "mdosen" || w == "stick" || w == "slip") {
            retired_hydro(k, w);
        } else if (w == "rad2") {
            retired_radii(k, w, false);
        } else if (w == "sethr") {
            retired_radii(k, w, true);
        } else {
            msg(k, "SERIOUS: bddrv(010) unknown keyword: ", w);
            kvabort(k, serious);
        }
    }

    // Settings that cannot work together.
    bool whole = true;
    if (!(b.bsurf < b.qsurf)) {
        msg(k, "SERIOUS: bddrv(084) the b surface must lie inside the q surface (bsurf < qsurf): ",
            value_text(b.bsurf) + " " + value_text(b.qsurf));
        kvabort(k, serious);
        whole = false;
    }
    if (!b.ctim)
        for (int i = 2; i <= b.nreg; ++i)
            if (!(b.regub[i] > b.regub[i - 1])) {
                msg(k, "SERIOUS: bddrv(085) time-step region bounds (vtim) must increase: ",
                    value_text(b.regub[i - 1]) + " " + value_text(b.regub[i]));
                kvabort(k, serious);
                whole = false;
                break;
            }
    if (!whole) {
        msg(k, "NOTE: bddrv(086) bd command refused; the earlier run set-up stays");
        k.bdrun = before;
        k.rxn = rxn_before;
        return;
    }

    // The command is accepted: the values kept outside the run store.
    k.env.temp = p.temp;
    k.rnd.ijsd1 = p.ijsd1, k.rnd.ijsd2 = p.ijsd2, k.rnd.klsd1 = p.klsd1, k.rnd.klsd2 = p.klsd2;
    k.flags.debug = p.debug;
    k.files.flxname = p.flxname;
    k.files.strname = p.strname;
    k.files.hxzname = p.hxzname;
    k.files.rstname = p.rstname;
    UnitStore& u = k.mol.units;
    if (p.toler_given) u.toler = p.toler;
    for (const auto& c : p.constraints) {
        ++u.ncnstr;
        u.cnsub1[u.ncnstr] = static_cast<int>(c[0]);
        u.cnsub2[u.ncnstr] = static_cast<int>(c[1]);
        u.cndist[u.ncnstr] = c[2];
    }

    // Preparation of the run.
    if (b.seeded) rndini(k);
    chbxbd(k);
    excbd(k);
    for (int n = 1; n <= maxflx; ++n)
        if (b.rcrd[n]) b.flxopen[n] = open_new(k, k.files.flxunit[n], k.files.flxname[n]);
    if (k.rxn.mrxn) b.rxnopen = open_new(k, k.files.rxnunit, k.files.rxnname);
    if (b.stpson) {
        if (!k.units.open(k.files.strunit, k.files.strname, fortio::OpenStatus::old_file, fortio::Form::formatted)) {
            fwrite(k, k.files.msgunit, "(1x,'ERROR  : bddrv (001) - no start position file ',a20)",
                   pad(k.files.strname, 20));
            kvabort(k, error);
            return;  // the command ends without simulating
        }
        b.stropen = k.files.strname;
    }
    if (b.zhou) b.hxzopen = open_new(k, k.files.hxzunit, k.files.hxzname);
    const int nsb = k.mol.nsbtot;
    b.sphere1 = nsb == 1;
    b.sphere2 = nsb == 2 && u.nunit == 1;
    b.frozen = b.frzon && b.bsurf > b.psurf;

    if (listing || b.calctp == "calc") banner(k, b);
    if (b.calctp != "calc") return;
    // What a simulation cannot do without.
    if (nsb < 1) {
        msg(k, "SERIOUS: bd (001) no diffusing subunits; load molecule 2 or define units with edit suni");
        kvabort(k, serious);
        return;
    }
    if (!(b.rad1 > 0.0f)) {
        msg(k, "SERIOUS: bd (002) the radius of molecule 1 is not given; set it with bd rad1 #.#");
        kvabort(k, serious);
        return;
    }
    const GridStore& g = k.mess;
    if (b.frcon && !(g.phiset && !g.phibad) && g.bcfl != 1 && g.bcfl != 2) {
        msg(k, "SERIOUS: bd (003) no potential of molecule 1; solve one with elec, or switch the force off (noforce)");
        kvabort(k, serious);  // reading on: the run goes without the force of molecule 1
    }
    bd(k, b);
}

}  // namespace kova
