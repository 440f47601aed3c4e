// gbn: generalized-Born solvation energy of the selected atoms. The Born
// radius of each atom follows from its own radius and the volumes of its
// neighbours, weighted by 1/r^4: bonded (1-2) and angle (1-3) neighbours
// through the equilibrium geometry at initialisation, every other pair at
// each calculation. Energies in kcal/mol, lengths in A, charges in e; 166 is
// half of the Coulomb constant 332 in these units.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "command/output.hpp"
#include "command/readers.hpp"
#include "elec/grid.hpp"
#include "fortio/format.hpp"
#include "mech/mech.hpp"
#include "molecule/select.hpp"

namespace kova {

namespace {

constexpr int stdout_unit = fortio::UnitTable::stdout_unit;
constexpr double pi = 3.1415927;
constexpr double fourpi = 12.566371;
constexpr double half_coulomb = 166.0;
// Parameters of the second column (vdws).
constexpr float vdws[6] = {0.0f, 0.09958396f, 0.826315f, 3.909587f, 7.312671f, 1.72664f};

void line(Kova& k, std::string_view text) { fwrite(k, stdout_unit, "(a)", text); }

bool admit(Kova& k, float v, float lo, float hi, bool lo_excluded, std::string_view code, std::string_view what) {
    if (std::isfinite(v) && (lo_excluded ? v > lo : v >= lo) && v <= hi) return true;
    msg(k, "SERIOUS: gbndrv(" + std::string(code) + ") ", what, ": " + value_text(v));
    kvabort(k, serious);
    return false;
}

// Close-contact function of a pair, x = r^2/(R_i + R_j)^2: the full weight
// P4 beyond 1/P5, switched smoothly to 0 at contact.
double correct_gbn(const GBStore& gb, double x) {
    const double p4 = gb.p[4], p5 = gb.p[5];
    if (x > 1.0 / p5) return p4;
    const double h = 0.5 * (1.0 - std::cos(x * p5 * pi));
    return p4 * h * h;
}

void param_block(Kova& k) {
    const GBStore& gb = k.ff.gb;
    const char* labels[6] = {" Dielectric offset", " Single atom scaling factor", " 1-2 scaling factor",
                             " 1-3 scaling factor", " 1-4 and greater scaling factor", " 1-4 and greater cutoff"};
    for (int p = 0; p < 6; ++p)
        fwrite(k, stdout_unit, "(a,f10.4)", pad(labels[p], 32), p == 0 ? GBStore::phi : gb.p[size_t(p)]);
}
void table_head(Kova& k) {
    fwrite(k, stdout_unit, "(a,a)", "   Atom       VDW Radius       Volume", "     Born Radius   Self Energy");
    fwrite(k, stdout_unit, "(a,a)", "  Number        (Ang)         (Ang^3)", "       (Ang)        (kcal/mol)");
}

// Squared distance of a bonded pair: from the equilibrium length (ideal
// geometry, stretched by 1 %) or from the working coordinates.
double bond_r2(const ForceField& ff, int b) {
    const Topology& t = ff.top;
    if (ff.gb.ideal) {
        const double r = 1.01 * t.bnd0[b];
        return r * r;
    }
    const int n = t.ibnd[b], l = t.jbnd[b];
    const double dx = ff.xd[n] - ff.xd[l], dy = ff.yd[n] - ff.yd[l], dz = ff.zd[n] - ff.zd[l];
    return dx * dx + dy * dy + dz * dz;
}

// Volume of each selected atom's sphere less the caps cut off by its bonded
// neighbours.
void getvolumes(Kova& k) {
    ForceField& ff = k.ff;
    GBStore& gb = ff.gb;
    const Topology& t = ff.top;
    const MoleculeStore& m = k.mol;
    const auto& sel = k.mess.isel;
    for (int i = 1; i <= m.natom; ++i) {
        const double r = m.radi[i];
        gb.vol[i] = sel[i] ? fourpi / 3.0 * r * r * r : 0.0;  // 4/3 pi R^3
    }
    // Cap of a sphere of radius R cut at R c from its centre:
    // (pi/3) (2 R^3 (1 - c) - (R^2 - (R c)^2) R c).
    auto cap = [](double r, double c) {
        c = std::clamp(c, -1.0, 1.0);  // one sphere wholly inside the other
        return pi / 3.0 * (2.0 * r * r * r * (1.0 - c) - (r * r - (r * c) * (r * c)) * r * c);
    };
    for (int b = 1; b <= t.nbnd; ++b) {
        const int n = t.ibnd[b], l = t.jbnd[b];
        if (!sel[n] && !sel[l]) continue;
        const double r = std::sqrt(bond_r2(ff, b));
        const double rn = m.radi[n], rl = m.radi[l];
        if (r >= rn + rl) continue;
        if (r < 0.0001) {
            gb.vol[n] *= 0.5, gb.vol[l] *= 0.5;
            continue;
        }
        const double cn = (rn * rn + r * r - rl * rl) / (2.0 * rn * r);
        const double cl = (rl * rl + r * r - rn * rn) / (2.0 * rl * r);
        gb.vol[n] = std::max(0.0, gb.vol[n] - cap(rn, cn));
        gb.vol[l] = std::max(0.0, gb.vol[l] - cap(rl, cl));
    }
}

// Descreening sums of the pairs i < j that are not excluded and pass the
// filter, added into sum (1-based, natom + 1 entries).
template <class Filter>
void pair_sums(Kova& k, std::vector<double>& sum, Filter&& take) {
    const ForceField& ff = k.ff;
    const GBStore& gb = ff.gb;
    const Topology& t = ff.top;
    const MoleculeStore& m = k.mol;
    const int n = m.natom;
    std::vector<int> markx(size_t(n) + 1, 0);
    for (int i = 1; i < n; ++i) {
        for (int p = 1; p <= t.nexcl[i]; ++p) markx[size_t(t.iexcl[i][p])] = i;
        const double xi = ff.xd[i], yi = ff.yd[i], zi = ff.zd[i], ri = m.radi[i], vi = gb.vol[i];
        double si = 0.0;
        for (int j = i + 1; j <= n; ++j) {
            if (markx[size_t(j)] == i || !take(i, j)) continue;
            const double dx = ff.xd[j] - xi, dy = ff.yd[j] - yi, dz = ff.zd[j] - zi;
            const double r2 = dx * dx + dy * dy + dz * dz;
            if (r2 < 1.0e-8) continue;  // two atoms at one place: no defined weight
            const double rr = ri + m.radi[j];
            const double w = correct_gbn(gb, r2 / (rr * rr)) / (r2 * r2);  // C(x)/r^4
            si += gb.vol[j] * w;
            sum[size_t(j)] += vi * w;
        }
        sum[size_t(i)] += si;
    }
}

// Single-atom terms: the Born energy of the atom alone, less the
// descreening by its bonded and angle neighbours (fixed by the geometry).
void init_self2(Kova& k) {
    ForceField& ff = k.ff;
    GBStore& gb = ff.gb;
    const Topology& t = ff.top;
    const MoleculeStore& m = k.mol;
    const auto& sel = k.mess.isel;
    for (int i = 1; i <= m.natom; ++i)
        gb.self[i] = sel[i] ? -half_coulomb / (double(m.radi[i]) + GBStore::phi + gb.p[1]) : 0.0;  // -166/(R + phi + P1)
    auto add = [&](int n, int l, double r2, double p) {
        if (r2 < 1.0e-8) return;  // coincident neighbours: no defined weight
        const double r4 = r2 * r2;
        if (m.chrg[n] != 0.0f) gb.self[n] += p * gb.vol[l] / r4;  // P V(l)/r^4
        if (m.chrg[l] != 0.0f) gb.self[l] += p * gb.vol[n] / r4;
    };
    std::map<std::pair<int, int>, int> bond;
    for (int b = 1; b <= t.nbnd; ++b) {
        const int n = t.ibnd[b], l = t.jbnd[b];
        bond.emplace(std::minmax(n, l), b);
        if (sel[n] || sel[l]) add(n, l, bond_r2(ff, b), gb.p[2]);
    }
    for (int a = 1; a <= t.nang; ++a) {
        const int n = t.iang[a], v = t.jang[a], l = t.kang[a];
        if (!sel[n] && !sel[l]) continue;
        double r2;
        auto b1 = bond.find(std::minmax(n, v)), b2 = bond.find(std::minmax(l, v));
        if (gb.ideal && b1 != bond.end() && b2 != bond.end()) {
            // Law of cosines on the two stretched equilibrium bonds.
            const double l1 = 1.01 * t.bnd0[b1->second], l2 = 1.01 * t.bnd0[b2->second];
            r2 = l1 * l1 + l2 * l2 - 2.0 * l1 * l2 * std::cos(double(t.th0[a]));
        } else {
            // Actual geometry (also for an angle whose bonds are not listed).
            const double dx = ff.xd[n] - ff.xd[l], dy = ff.yd[n] - ff.yd[l], dz = ff.zd[n] - ff.zd[l];
            r2 = dx * dx + dy * dy + dz * dz;
        }
        add(n, l, r2, gb.p[3]);
    }
    if (gb.live) {
        // Pairs of fixed atoms keep their contribution: folded in once.
        std::vector<double> sum(size_t(m.natom) + 1, 0.0);
        pair_sums(k, sum, [&](int i, int j) { return m.live[i] != 1 && m.live[j] != 1; });
        for (int i = 1; i <= m.natom; ++i)
            if (m.live[i] != 1) gb.self[i] += sum[size_t(i)];
    }
    if (gb.detail) {
        param_block(k);
        line(k, "At initialization:");
        table_head(k);
        for (int i = 1; i <= m.natom; ++i)
            if (sel[i])
                fwrite(k, stdout_unit, "(i10,f14.4,f14.4,f14.4,f14.4)", i, m.radi[i], gb.vol[i], gb.alpha[i],
                       double(m.chrg[i]) * m.chrg[i] * gb.self[i]);
    }
}

// Every selected atom needs a radius that keeps R + phi + P1 above 0 (an
// atom without parameters holds the unset marker).
bool radii_usable(Kova& k) {
    const MoleculeStore& m = k.mol;
    for (int i = 1; i <= m.natom; ++i)
        if (k.mess.isel[i] && !(double(m.radi[i]) + GBStore::phi + k.ff.gb.p[1] > 0.0 && m.radi[i] < 1.0e4f)) {
            fwrite(k, k.files.msgunit,
                   "(1x,'SERIOUS: gbndrv(020) atom radius unset or too small for a Born radius, atom: ',i10)", i);
            kvabort(k, serious);
            return false;
        }
    return true;
}

// Born radii: alpha = -166 / (S + sum of the non-bonded descreening).
void getradii2(Kova& k, std::vector<double>& total) {
    ForceField& ff = k.ff;
    GBStore& gb = ff.gb;
    const MoleculeStore& m = k.mol;
    const int n = m.natom;
    total.assign(size_t(n) + 1, 0.0);
    if (gb.live)
        pair_sums(k, total, [&](int i, int j) { return m.live[i] == 1 || m.live[j] == 1; });
    else
        pair_sums(k, total, [](int, int) { return true; });
    for (int i = 1; i <= n; ++i) {
        total[size_t(i)] += gb.self[i];
        // A sum of 0 (an atom without volume or self term, e.g. before any
        // initialisation) is an infinite radius, kept as 0: the atom then
        // takes no part in the energy.
        const double a = -half_coulomb / total[size_t(i)];
        gb.alpha[i] = total[size_t(i)] == 0.0 || std::fabs(a) > 1.0e30 ? 0.0f : float(a);
    }
    if (gb.detail) {
        const double f = 1.0 / k.env.pdie - 1.0 / k.env.sdie;
        param_block(k);
        table_head(k);
        for (int i = 1; i <= n; ++i)
            fwrite(k, stdout_unit, "(i10,f14.4,f14.4,f14.4,f14.4)", i, m.radi[i], gb.vol[i], gb.alpha[i],
                   f * total[size_t(i)] * m.chrg[i] * m.chrg[i]);
    }
}

// E = -166 (1/eps_in - 1/eps_out) sum_ij q_i q_j / sqrt(r^2 + a_i a_j exp(-r^2/(4 a_i a_j)))
// over the selected charged atoms, all ordered pairs and i = j.
bool sgbn(Kova& k) {
    ForceField& ff = k.ff;
    const GBStore& gb = ff.gb;
    const MoleculeStore& m = k.mol;
    const auto& sel = k.mess.isel;
    std::vector<int> at;
    for (int i = 1; i <= m.natom; ++i)
        if (sel[i] && std::fabs(m.chrg[i]) > 0.0001f && gb.alpha[i] != 0.0f) at.push_back(i);
    for (int i : at)
        if (!(gb.alpha[i] > 0.0f)) {
            fwrite(k, k.files.msgunit,
                   "(1x,'SERIOUS: gbndrv(030) Born radius not positive (descreening exceeds the self term), atom: ',"
                   "i10)",
                   i);
            ff.e[egb] = 0.0f;
            kvabort(k, serious);
            return false;
        }
    double e = 0.0;
    for (size_t a = 0; a < at.size(); ++a) {
        const int i = at[a];
        const double qi = m.chrg[i], ai = gb.alpha[i];
        e += qi * qi / ai;  // i = j: r = 0
        for (size_t b = a + 1; b < at.size(); ++b) {
            const int j = at[b];
            const double dx = ff.xd[i] - ff.xd[j], dy = ff.yd[i] - ff.yd[j], dz = ff.zd[i] - ff.zd[j];
            const double r2 = dx * dx + dy * dy + dz * dz, aa = ai * gb.alpha[j];
            e += 2.0 * qi * m.chrg[j] / std::sqrt(r2 + aa * std::exp(-r2 / (4.0 * aa)));
        }
    }
    ff.e[egb] = e == 0.0 ? 0.0f : float(-half_coulomb * (1.0 / k.env.pdie - 1.0 / k.env.sdie) * e);
    return true;
}

}  // namespace

bool egbn(Kova& k) {
    GBStore& gb = k.ff.gb;
    if (gb.mode == "init") {
        line(k, "");
        fwrite(k, stdout_unit, "(a,2f10.3)", " dielcs dielci passed to egbn:", k.env.sdie, k.env.pdie);
        if (gb.detail) line(k, " requires detail informations output");
        line(k, gb.ideal ? " use ideal geometry in radi_brn calculations" : " use actual geometry in radi_brn calculations");
        line(k, gb.live ? " Initialize self energy using nonlive nbpairs" : " calculate interaction energy using all pairs");
        if (!radii_usable(k)) return false;
        getvolumes(k);
        init_self2(k);
        gb.mode.clear();
        return true;
    }
    std::vector<double> total;
    getradii2(k, total);
    return sgbn(k);
}

void gbndrv(Kova& k) {
    ForceField& ff = k.ff;
    GBStore& gb = ff.gb;
    GridStore& g = k.mess;
    Environment& env = k.env;
    const MoleculeStore& m = k.mol;
    const int in = k.files.inunit;
    const char* P = "Gbn";
    gb.defaults();
    gb.usegb = false;
    for (int i = 1; i <= maxatm; ++i) g.isel[i] = 0;
    bool explicit_sel = false;
    auto select_molecule = [&](int mol) {
        if (mol >= 1 && mol <= m.nmol) {
            for (int i = m.fstatm[mol]; i <= m.lstatm[mol]; ++i) g.isel[i] = 1;
            return;
        }
        fwrite(k, k.files.msgunit, "(1x,'WARNING: gbndrv(000) improper molecule number: ',i10)", mol);
        kvabort(k, warning);
    };
    for (;;) {
        std::string w = getnam(k, in, P);
        if (w == "end") break;
        const std::string_view w4 = std::string_view(w).substr(0, 4);
        if (w4 == "pdie") {
            const float d = getnum(k, in, P);
            if (admit(k, d, 1.0f, 1.0e5f, false, "061", "interior dielectric constant (pdie) must be between 1 and 100000"))
                env.pdie = d, env.epsint = d * eps0;
        } else if (w4 == "sdie") {
            const float d = getnum(k, in, P);
            if (admit(k, d, 1.0f, 1.0e5f, false, "062", "solvent dielectric constant (sdie) must be between 1 and 100000"))
                env.sdie = d, env.epsout = d * eps0;
        } else if (w4 == "temp") {
            const float d = getnum(k, in, P);
            if (admit(k, d, 0.0f, std::numeric_limits<float>::max(), true, "065",
                      "temperature (temp) must be finite and above 0 K"))
                env.temp = d;
        } else if (w4 == "calc" || w4 == "init") {
            gb.mode = std::string(w4);
        } else if (w4 == "vdws") {
            for (int p = 1; p <= 5; ++p) gb.p[size_t(p)] = vdws[p];
        } else if (w4 == "nmap") {
        } else if (w.size() >= 2 && w[0] == 'p' && w[1] >= '1' && w[1] <= '5') {
            const int p = w[1] - '0';
            const float d = getnum(k, in, P);
            // The cutoff is a reciprocal distance ratio: above 0.
            if (admit(k, d, p == 5 ? 0.0f : -1.0e6f, 1.0e6f, p == 5, "063",
                      p == 5 ? "1-4 and greater cutoff (P5) must be above 0 and at most 1000000"
                             : "scaling factor (P1 to P4) must be within 1000000 of 0"))
                gb.p[size_t(p)] = d;
        } else if (w4 == "idea") {
            gb.ideal = true;
        } else if (w4 == "nide") {
            gb.ideal = false;
        } else if (w4 == "deta") {
            gb.detail = true;
        } else if (w4 == "ndet") {
            gb.detail = false;
        } else if (w4 == "live") {
            gb.live = true;
        } else if (w4 == "sele") {
            sele(k, g.isel);
            explicit_sel = true;
        } else if (w4.substr(0, 3) == "mol") {
            int mol;
            if (w == "mol1") mol = 1;
            else if (w == "mol2") mol = 2;
            else mol = getint(k, in, P);
            select_molecule(mol);
            explicit_sel = true;
        } else if (w4 == "all") {
            for (int i = 1; i <= m.natom; ++i) g.isel[i] = 1;
            explicit_sel = true;
        } else if (w4 == "fixe") {
            for (int s = 1; s <= m.nsbtot; ++s)
                if (m.sbfix[s] == 0)
                    for (int i = std::max(m.sbfat[s], 1); i <= std::min(m.sblat[s], maxatm); ++i) g.isel[i] = 0;
        } else {
            fwrite(k, k.files.msgunit, "(1x,'SERIOUS: gbndrv(010) unknown keyword: ',a)", w);
            kvabort(k, serious);
        }
    }
    if (!explicit_sel) select_molecule(1);
    // The interior dielectric of the mechanics terms defaults to 1 until an
    // elec or nblist command sets it.
    if (env.pdie == 999.0f) {
        line(k, " DIELCI defaulting to 1 in GBNDRV.");
        env.pdie = 1.0f;
        env.epsint = eps0;
    }

    g.nsel = 0;
    double sx = 0, sy = 0, sz = 0, q = 0;
    for (int i = 1; i <= m.natom; ++i) {
        if (!g.isel[i]) continue;
        ++g.nsel;
        sx += m.x[i], sy += m.y[i], sz += m.z[i], q += m.chrg[i];
        ff.xd[i] = m.x[i], ff.yd[i] = m.y[i], ff.zd[i] = m.z[i];
    }
    g.xcen = g.ycen = g.zcen = 0.0f;
    if (g.nsel > 0) g.xcen = float(sx / g.nsel), g.ycen = float(sy / g.nsel), g.zcen = float(sz / g.nsel);
    g.qnet = float(q);

    if (gb.mode == "calc") line(k, " PERFORMING SETUP AND CALCULATION");
    if (gb.mode == "init") line(k, " PERFORMING SETUP ONLY");
    line(k, " ORIGINAL VERSION GBN");
    const bool calc = gb.mode != "init";
    if (egbn(k) && calc) fwrite(k, stdout_unit, "(1x,'Generalized Born solvation energy  :',f14.4,'  kcal/mol')", ff.e[egb]);
}

}  // namespace kova
