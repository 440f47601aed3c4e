// The electrostatics report of the print command: energies of the selected
// charges, their sum over successive print commands, forces (charge in
// field, dielectric boundary, ionic boundary, grid Coulomb) accumulated
// between zero-force calls, and potentials saved at the atoms.
#include <algorithm>
#include <cmath>
#include <iterator>
#include <string>
#include <string_view>

#include "command/commands.hpp"
#include "command/output.hpp"
#include "elec/elec.hpp"

namespace kova {

namespace {

int atoms(const Kova& k) { return std::min(k.mol.natom, maxatm); }

void energy_line(Kova& k, std::string_view fmt, double e) { out(k, fmt, static_cast<float>(e * to_kcal)); }

// Lists forces of the selected atoms (internal units) in kcal/mol/A with
// heading, per-atom lines tagged `tag` and the total.
template <class F>
void force_listing(Kova& k, const Arr1<int, maxatm>& sel, std::string_view what, std::string_view tag,
                   std::string_view total, const F& fx, const F& fy, const F& fz) {
    const MoleculeStore& m = k.mol;
    out(k, std::string("(1x,'  Electrostatic ") + std::string(what) +
               "',/,1x,4x,'Atom',4x,'Residue',7x,'Force(x,y,z) (kcal/mol/A)')");
    const std::string line = "('" + std::string(tag) + " ',1x,i5,1x,a4,1x,a4,1x,i5,1x,e12.6,1x,e12.6,1x,e12.6,1x,e12.6)";
    double t[3] = {0, 0, 0};
    for (int a = 1; a <= atoms(k); ++a) {
        if (sel[a] == 0) continue;
        const double f[3] = {double(fx[a]) * to_kcal, double(fy[a]) * to_kcal, double(fz[a]) * to_kcal};
        const double mag = std::sqrt(f[0] * f[0] + f[1] * f[1] + f[2] * f[2]);
        out(k, line, a, m.atnam[a].padded(), m.resnam[a].padded(), m.resnum[a], float(f[0]), float(f[1]),
            float(f[2]), float(mag));
        for (int d = 0; d < 3; ++d) t[d] += f[d];
    }
    out(k, "(1x,2x,'TOTAL " + std::string(total) + " FORCE',4x,'(',e12.6,',',e12.6,',',e12.6,')',': ',e12.6)",
        float(t[0]), float(t[1]), float(t[2]), float(std::sqrt(t[0] * t[0] + t[1] * t[1] + t[2] * t[2])));
}

// Adds (sign 1) or subtracts (sign -1) forces to the accumulated ones.
void accumulate(Kova& k, const Arr1<int, maxatm>& sel, const Arr1<float, maxatm>& fx, const Arr1<float, maxatm>& fy,
                const Arr1<float, maxatm>& fz, double sign) {
    ElecReport& r = k.erep;
    for (int a = 1; a <= atoms(k); ++a) {
        if (sel[a] == 0) continue;
        r.fx[a] += sign * fx[a], r.fy[a] += sign * fy[a], r.fz[a] += sign * fz[a];
    }
}

// The table of saved potentials (with the per-atom lines when `lines`) and
// the energy 1/2 sum q phi of the selected saved atoms, published as the
// variable "energy".
void phisite_table(Kova& k, const Arr1<int, maxatm>& sel, bool lines) {
    const MoleculeStore& m = k.mol;
    const ElecReport& r = k.erep;
    out(k, "(1x,'  Electrostatic Potential',/,1x,9x,'Atom',4x,'Residue',9x,'X',7x,'Y',7x,'Z',7x,'Q',6x,"
           "'Potential')");
    double e = 0;
    for (int a = 1; a <= atoms(k); ++a) {
        if (sel[a] == 0 || r.phiflag[a] == 0) continue;
        if (lines)
            out(k, "('PHI ',2x,i5,1x,a4,1x,a3,2x,i4,4x,4f8.3,2x,e14.8)", a, m.atnam[a].padded(),
                m.resnam[a].padded(), m.resnum[a], m.x[a], m.y[a], m.z[a], m.chrg[a], r.phisite[a] * to_kcal);
        e += 0.5 * double(m.chrg[a]) * r.phisite[a];
    }
    const double kcal = e * to_kcal;
    out(k, "(1x,2x,'TOTAL PHISITE ENERGY (SUM (1/2)(Q)(PHI)):',4x,e12.6)", float(kcal));
    setvar(k, "energy", 0, kcal);
}

// Whether an elec command has set the permittivities the energies divide by;
// otherwise a WARNING that there is nothing to report.
bool environment_set(Kova& k, std::string_view what) {
    if (k.env.epsint > 0.0f && k.env.epsout > 0.0f) return true;
    msg(k, "WARNING: prtele(020) no elec command run yet: no ", what, ".");
    kvabort(k, warning);
    return false;
}

}  // namespace

void prtele(Kova& k, const std::string& option, int nsph, const Arr1<int, maxatm>& sel) {
    const std::string o6 = option.substr(0, 6), o4 = option.substr(0, 4);
    GridStore& g = k.mess;
    ElecReport& r = k.erep;
    const int n = atoms(k);
    // The options that read charges or radii of the selected atoms refuse
    // atoms whose parameters were never set.
    static const char* const uses_params[] = {"energy", "qeforc", "dforce", "iforce", "gforce",
                                              "phisav", "phiwri", "phinrg"};
    const bool params = o4 == "self" || o4 == "fdco" ||
                        std::find(std::begin(uses_params), std::end(uses_params), o6) != std::end(uses_params);
    if (params && !params_set(k, sel, false, "prtele(040)")) return;
    if (o6 == "energy") {
        if (g.anal) {
            if (!environment_set(k, "analytic energy")) return;
        } else if (!g.phiset || g.phibad) {
            msg(k, "WARNING: prtele(010) no potential on the grid (no elec calculation, no potential read,",
                " or the last solve failed): no energy.");
            kvabort(k, warning);
            return;
        }
        const double e = g.anal ? nrgana(k, sel) : g.nonl == -1 ? nrggrd(k) : nrgrho(k, sel);
        r.ensum += e;
        energy_line(k, "(1x,'  Electrostatic energy for selected atoms           :',e12.6,' kcal/mol')", e);
        setvar(k, "energy", 0, e * to_kcal);
    } else if (o6 == "zenerg") {
        r.ensum = 0;
    } else if (o6 == "tenerg") {
        energy_line(k, "(1x,'  Summed energy terms for selected atoms            :',e12.6,' kcal/mol')", r.ensum);
    } else if (o6 == "zforce") {
        for (int a = 0; a <= maxatm; ++a) r.fx[a] = r.fy[a] = r.fz[a] = 0.0;
    } else if (o4 == "self") {
        if (!environment_set(k, "self energy")) return;
        const double e = self2(k, sel);
        r.ensum -= e;
        energy_line(k, "(1x,'  Electrostatic self energy for selected atoms      :',e12.6,' kcal/mol')", e);
    } else if (o4 == "fdco") {
        if (!environment_set(k, "finite-difference Coulombic energy")) return;
        const double e = fdcoul(k, sel);
        r.ensum -= e;
        energy_line(k, "(1x,'  Electrostatic finite-difference Coulombic energy  :',e12.6,' kcal/mol')", e);
    } else if (o6 == "qeforc" || o6 == "dforce" || o6 == "iforce" || o6 == "gforce") {
        Arr1<float, maxatm> fx{}, fy{}, fz{};
        if (o6 == "qeforc") {
            qefrc(k, sel, fx, fy, fz);
            accumulate(k, sel, fx, fy, fz, 1.0);
            force_listing(k, sel, "charge-field force", "QEF", "QE", fx, fy, fz);
        } else if (o6 == "dforce") {
            dbfrc(k, fx, fy, fz);
            accumulate(k, sel, fx, fy, fz, 1.0);
            force_listing(k, sel, "dielectric boundary force", "DBF", "DB", fx, fy, fz);
        } else if (o6 == "iforce") {
            ibfrc(k, nsph, sel, fx, fy, fz);
            accumulate(k, sel, fx, fy, fz, 1.0);
            force_listing(k, sel, "ionic boundary force", "IBF", "IB", fx, fy, fz);
        } else {
            gfrc(k, sel, fx, fy, fz);
            accumulate(k, sel, fx, fy, fz, -1.0);
            force_listing(k, sel, "fd grid coulomb force", "GCF", "GC", fx, fy, fz);
        }
    } else if (o6 == "tforce") {
        force_listing(k, sel, "Net force since last zero force call", "TOT", "TOT", r.fx, r.fy, r.fz);
    } else if (o6 == "phizer") {
        for (int a = 1; a <= n; ++a)
            if (sel[a] != 0) r.phisite[a] = 0.0f, r.phiflag[a] = 0;
    } else if (o6 == "phisav") {
        for (int a = 1; a <= n; ++a) {
            if (sel[a] == 0) continue;
            const GridCoord c = xyzijk(k.mol.x[a], k.mol.y[a], k.mol.z[a], g.h, g.xo, g.yo, g.zo);
            if (!(c.gx >= 1.0f && c.gy >= 1.0f && c.gz >= 1.0f)) continue;
            if (c.i < 1 || c.i > g.nx - 1 || c.j < 1 || c.j > g.ny - 1 || c.k < 1 || c.k > g.nz - 1) continue;
            r.phisite[a] = phi_get(g, c.i, c.j, c.k, c.fx, c.fy, c.fz);
            r.phiflag[a] = 1;
        }
    } else if (o6 == "phiwri") {
        phisite_table(k, sel, true);
    } else if (o6 == "phinrg") {
        phisite_table(k, sel, false);
    }
}

}  // namespace kova
