// energy: one force-field evaluation of the molecules in the store at their
// present coordinates, with the listing of its terms.
#include <cmath>
#include <string>
#include <string_view>

#include "command/output.hpp"
#include "command/readers.hpp"
#include "command/tokens.hpp"
#include "elec/grid.hpp"
#include "fortio/format.hpp"
#include "mech/mech.hpp"
#include "molecule/prox.hpp"
#include "molecule/select.hpp"

namespace kova {

namespace {

constexpr int stdout_unit = fortio::UnitTable::stdout_unit;

// A value read for a keyword, refused (with the message) outside [lo, hi]
// or when not finite; the keyword is then ignored if the run goes on.
bool admit(Kova& k, float v, float lo, float hi, bool lo_excluded, std::string_view code, std::string_view what) {
    if (std::isfinite(v) && (lo_excluded ? v > lo : v >= lo) && v <= hi) return true;
    msg(k, "SERIOUS: Energy(" + std::string(code) + ") ", what, ": " + value_text(v));
    kvabort(k, serious);
    return false;
}

void terms(EvalState& ev, bool on) {
    ev.lbnd = ev.lang = ev.ldih = ev.limp = ev.lvdw = ev.leel = ev.ldbf = ev.lqe = on;
}

}  // namespace

bool term_word(EvalState& ev, std::string_view w) {
    const bool on = w.empty() || w[0] != 'n';
    const std::string_view t = on ? w : w.substr(1);
    bool* sw = t == "bnd" ? &ev.lbnd : t == "ang" ? &ev.lang : t == "dih" ? &ev.ldih : t == "imp" ? &ev.limp
             : t == "vdw" ? &ev.lvdw : t == "eel" ? &ev.leel : t == "dbf" ? &ev.ldbf : t == "qe" ? &ev.lqe : nullptr;
    if (sw) *sw = on;
    return sw != nullptr;
}

void energy(Kova& k) {
    ForceField& ff = k.ff;
    EvalState& ev = ff.ev;
    MoleculeStore& m = k.mol;
    const int in = k.files.inunit;
    ev.fdstep = 1.0e-5f;
    ev.gfrac = 0.7f;
    terms(ev, true);
    ev.lanal = true;
    ev.nofrc = false;
    ev.lfirst = true;
    ev.pbspc = 0.0f;
    ev.isrf = 0;
    ev.nsphe = 50;
    ev.srfprb = 1.4f;
    ev.srff = 0.025f;

    if (k.env.pdie == 999.0f) {
        fwrite(k, stdout_unit, "(1x,a)", "DIELCI defaulting to 1 in ENERGY.");
        k.env.pdie = 1.0f;
    } else {
        fwrite(k, stdout_unit, "(1x,'DIELCI value is ',f12.6,' in ENERGY.')", k.env.pdie);
    }

    bool first = true;
    for (;;) {
        const std::string w = getnam(k, in, first ? "Emdrv" : "Energy");
        first = false;
        if (w == "end") break;
        const std::string_view v(w), v4 = v.substr(0, 4);
        const char* P = "Energy";
        if (w == "anal") ev.lanal = true;
        else if (w == "numer") ev.lanal = false;
        else if (w == "del") {
            const float d = getfp(k, in, P);
            if (admit(k, d, 0.0f, 1.0f, true, "061", "finite-difference step (del) must be above 0 and at most 1 A"))
                ev.fdstep = d;
        }
        else if (term_word(ev, w)) {}
        else if (v4 == "srff") {
            const float d = getnum(k, in, P);
            if (admit(k, d, -1.0e4f, 1.0e4f, false, "062", "surface energy per area (srff) must lie between -10000 and 10000 kcal/mol/A^2"))
                ev.srff = d;
        }
        else if (v.substr(0, 3) == "srf" || v4 == "surf") ev.isrf = 2;
        else if (v4 == "nsph") {
            const float d = getnum(k, in, P);
            if (admit(k, d, 0.5f, 1.0e5f, false, "063", "points per sphere (nsph) must be between 1 and 100000"))
                ev.nsphe = int(std::lround(d));
        }
        else if (v4 == "rsol" || v4 == "rpro") {
            const float d = getnum(k, in, P);
            if (admit(k, d, 0.0f, 100.0f, false, "064", "probe radius (rsol) must be between 0 and 100 A")) ev.srfprb = d;
        }
        else if (v4 == "sele") sele(k, k.mess.isel);
        else if (v4 == "prox") prox(k, k.mess.isel);
        else if (v4 == "rdie") {
            const float d = getfp(k, in, P);
            if (admit(k, d, 0.0f, 1.0e5f, true, "065",
                      "distance-dependent dielectric factor (rdie) must be above 0 and at most 100000")) {
                ff.nb.irdie = 1;
                ff.nb.rdie = d;
            }
        }
        else if (w == "all") terms(ev, true), ev.isrf = 2;
        else if (w == "none") terms(ev, false), ev.isrf = 0;
        else if (w == "gfrac") {
            // The share of the grid's width the molecule takes: above 1 the
            // atoms would lie off the Poisson-Boltzmann grid.
            const float d = getfp(k, in, P);
            if (admit(k, d, 0.0f, 1.0f, true, "066", "grid fill factor (gfrac) must be above 0 and at most 1"))
                ev.gfrac = d;
        }
        else {
            msg(k, "WARNING: Energy(100) unknown keyword: ", pad(w, 80));
            kvabort(k, warning);
        }
    }

    // Without a topology there is nothing to evaluate.
    bool top = false;
    for (int mol = 1; mol <= m.nmol; ++mol) top = top || ff.top.toprd[mol];
    if (m.natom < 1 || (!top && ff.top.nbnd + ff.top.nang + ff.top.ndih + ff.top.nimp + ff.top.npair == 0)) {
        msg(k, "SERIOUS: Energy(010) no topology has been read (rdtop)");
        kvabort(k, serious);
        return;
    }

    for (int i = 1; i <= m.natom; ++i) ff.xd[i] = m.x[i], ff.yd[i] = m.y[i], ff.zd[i] = m.z[i];
    ev.istep = 1;
    ev.npbupd = 1;
    if (!forces(k)) return;

    const auto& e = ff.e;
    if (ev.ldbf || ev.lqe) out(k, "(1x,'Used grid spacing of ',f8.6,' Angstroms')", ev.pbspc);
    out(k, "(1x,a)", "NOTE: Total Energy excludes ball constrnt energy.");
    out(k, "(1x,'Total Energy = ',f12.4)", e[etot] - e[eball]);
    out(k, "(1x,'Bond Energy = ',f12.4)", e[ebnd]);
    out(k, "(1x,'Angle Energy = ',f12.4)", e[eang]);
    out(k, "(1x,'Dihedral Energy = ',f12.4)", e[edih]);
    out(k, "(1x,'Improper Dihedral Energy = ',f12.4)", e[eimp]);
    out(k, "(1x,'VDW Energy = ',f12.4)", e[evdw]);
    out(k, "(1x,'Coulombic Energy = ',f12.4)", e[eelec]);
    out(k, "(1x,'Poisson-Boltzmann Solvation Energy = ',f12.4)", e[epbsol]);
    out(k, "(1x,'Dihed Constraint Energy = ',f12.4)", e[edcon]);
    out(k, "(1x,'Improper Constraint Energy = ',f12.4)", e[eicon]);
    out(k, "(1x,'Ball Constraint Energy = ',f12.4)", e[eball]);
    out(k, "(1x,'VDW Energy from grid (components) = ',f12.4,3x,f12.4,3x,f12.4)", e[egrdrep] + e[egrdatt],
        e[egrdrep], e[egrdatt]);
    out(k, "(1x,'Coul. Energy from grid = ',f12.4)", e[egrdele]);
    out(k, "(1x,'Surface Energy contribution = ',f12.4)", e[esurf]);

    k.units.write(k.files.outunit, fortio::list_write({std::string_view(" xcrd(1) "), ff.xd[1]}));
    k.units.write(k.files.outunit, fortio::list_write({std::string_view(" xcrd(85) "), ff.xd[85]}));
    out(k, "(a)", "");
    out(k, "(1x,'Size scale of mol 1:  ',f12.4)", ev.slig);

    double s[3] = {0, 0, 0};
    const int l1 = m.nmol >= 1 ? m.lstatm[1] : 0;
    for (int i = 1; i <= l1; ++i)
        for (int x = 0; x < 3; ++x) s[x] += ff.f(i, x);
    out(k, "(1x,'Net forces on molecule 1:',3(f12.4,3x),5x,f12.4)", s[0], s[1], s[2],
        std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]));
}

}  // namespace kova
