// One evaluation of the force field: energy slots and forces cleared, each
// enabled term added, the total formed in single precision, and the step
// bookkeeping that the minimiser and the dynamics read (lowest energy seen,
// convergence test, not-a-number test). Also the surface term.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "command/output.hpp"
#include "elec/elec.hpp"
#include "fortio/format.hpp"
#include "mech/mech.hpp"

namespace kova {

namespace {
constexpr int stdout_unit = fortio::UnitTable::stdout_unit;
}  // namespace

void esrf(Kova& k) {
    EvalState& ev = k.ff.ev;
    const int keep = ev.nsphe;
    srsrf(k, ev.nsphe, ev.srfprb);
    ev.nsphe = keep;
    k.ff.e[esurf] = ev.srff * k.mol.srfnrg[ev.isrf == 1 ? 0 : 1];
}

bool forces(Kova& k) {
    ForceField& ff = k.ff;
    EvalState& ev = ff.ev;
    const MoleculeStore& m = k.mol;
    ff.e.fill(0.0f);
    if (!ev.nofrc) std::fill(ff.frc.begin(), ff.frc.end(), 0.0);

    // Coordinates that are not numbers would spread through every term.
    for (int i = 1; i <= m.natom; ++i)
        if (!std::isfinite(ff.xd[i]) || !std::isfinite(ff.yd[i]) || !std::isfinite(ff.zd[i])) {
            ev.iconv = 2;
            msg(k, "SERIOUS: forces(010) coordinates of atom ", std::to_string(i), " are not finite");
            kvabort(k, serious);
            return false;
        }

    if (ev.lball) ebal(k);
    if (ev.lbnd) ebond(k);
    if (ev.lang) eangle(k);
    if (ev.ldih) edihed(k);
    if (ev.limp) eimpro(k);
    if (ev.ldbf || ev.lqe) {
        if (ev.nofrc) {
            ev.lpbnew = false;
        } else if (ev.lfirst) {
            ev.lpbnew = true;
            ev.lfirst = false;
        } else if (ev.npbupd > 0 && ev.istep % ev.npbupd == 0) {
            ev.lpbnew = true;
        } else {
            ev.lpbnew = false;
            for (int i = 1; i <= m.natom && !ev.lpbnew; ++i) {
                const double dx = ff.xd[i] - ff.xpb[i], dy = ff.yd[i] - ff.ypb[i], dz = ff.zd[i] - ff.zpb[i];
                ev.lpbnew = dx * dx + dy * dy + dz * dz > ev.pbmove;
            }
        }
        if (!epb(k)) return false;
    }
    if (ev.lvdw || ev.leel) epair(k);
    if (ff.gb.usegb) egbn(k);
    if (ff.grid.lgrid) egrid(k);
    if (ev.isrf != 0) esrf(k);

    float t = 0.0f;
    for (EnergyTerm s : {ebnd, eang, eimp, edih, evdw, eelec, epbsol, edcon, eicon, eball, egrd, esurf, egb})
        t += ff.e[s];
    ff.e[etot] = t;

    // Lowest energy of the first steps of a run.
    if (ev.istep == 1) ev.emin = 99999.0f;
    if (ev.istep <= 1249) ev.emin = std::min(ev.emin, t - ff.e[eball]);
    if (ev.istep == 1250)
        k.units.write(stdout_unit, fortio::list_write({std::string_view("FIRST MINIMUM "), ev.emin}));

    if (ev.istep > 0 && ev.nconv > 0 && ev.iconv != 0 && ev.istep % ev.nconv == 0) {
        if (ev.istep > ev.minstp && std::fabs(t - ev.elast) < ev.detol) ev.iconv = 2;
        ev.elast = t;
    }
    // A total that is not a number (atoms on one spot, a runaway step) ends
    // the series: the drivers stop on iconv 2, and no caller gets it.
    if (!std::isfinite(t)) {
        ev.iconv = 2;
        msg(k, "SERIOUS: forces(020) total energy is not finite at step ", std::to_string(ev.istep));
        kvabort(k, serious);
        return false;
    }
    return true;
}

}  // namespace kova
