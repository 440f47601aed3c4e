// nblist: the non-bonded pair list of the mechanics pair term (atom- or
// residue-based, with exclusions, scaled 1-4 pairs and type-pair
// corrections) and the dielectric model of the Coulomb terms.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "command/output.hpp"
#include "command/readers.hpp"
#include "command/tokens.hpp"
#include "elec/grid.hpp"
#include "fortio/format.hpp"
#include "mech/mech.hpp"

namespace kova {

namespace {

constexpr int stdout_unit = fortio::UnitTable::stdout_unit;

// A value read for a keyword, refused (with the message) when it lies
// outside [lo, hi] or is not finite; the keyword is then ignored if the run
// goes on.
bool admit(Kova& k, float v, float lo, float hi, bool lo_excluded, std::string_view code, std::string_view what) {
    if (std::isfinite(v) && (lo_excluded ? v > lo : v >= lo) && v <= hi) return true;
    msg(k, "SERIOUS: NBLIST(" + std::string(code) + ") ", what, ": " + value_text(v));
    kvabort(k, serious);
    return false;
}

constexpr float dielectric_max = 1.0e5f;
constexpr float length_max = 1.0e6f;  // A: any distance of a real model is far below

void list_line(Kova& k, std::initializer_list<fortio::OutItem> items) {
    k.units.write(stdout_unit, fortio::list_write(items));
}

}  // namespace

void reslim(Kova& k) {
    Topology& t = k.ff.top;
    const MoleculeStore& m = k.mol;
    t.nres = 0;
    for (int mol = 1; mol <= m.nmol; ++mol)
        for (int i = m.fstatm[mol]; i <= m.lstatm[mol]; ++i)
            if (i == m.fstatm[mol] || m.resnum[i] != m.resnum[i - 1]) t.resfst[++t.nres] = i;
    list_line(k, {std::string_view("FOUND "), std::int64_t{t.nres}, std::string_view(" residues in reslim.")});
}

void maknbl(Kova& k, float cutnb, int lresb) {
    ForceField& ff = k.ff;
    Topology& t = ff.top;
    const MoleculeStore& m = k.mol;
    const int n = m.natom;
    // sigma of a pair from the sum of the two Rmin/2 values.
    const double s = 1.0 / std::pow(2.0, 1.0 / 6.0);
    const double cut2 = double(cutnb) * double(cutnb);
    t.npair = 0;
    int nexc = 0, n14 = 0, nspec = 0;

    // Which correction entries each atom's type can take as first and as
    // second type (bit r - 1 for entry r), so that a pair is matched in
    // either order without comparing names inside the pair loop.
    std::vector<std::uint32_t> fix1(size_t(n) + 1, 0), fix2(size_t(n) + 1, 0);
    for (int i = 1; i <= n; ++i)
        for (int r = 1; r <= t.nfix; ++r) {
            if (t.attyp[i] == t.fixt1[r]) fix1[size_t(i)] |= 1u << (r - 1);
            if (t.attyp[i] == t.fixt2[r]) fix2[size_t(i)] |= 1u << (r - 1);
        }
    // Partners of the current atom i: markx[j] == i when j is on i's
    // exclusion list, mark14[j] == i when on its 1-4 list.
    std::vector<int> markx(size_t(n) + 1, 0), mark14(size_t(n) + 1, 0);
    auto stamp = [&](int i) {
        for (int p = 1; p <= t.nexcl[i]; ++p) markx[size_t(t.iexcl[i][p])] = i;
        for (int p = 1; p <= t.nb14[i]; ++p) mark14[size_t(t.i14[i][p])] = i;
    };

    auto consider = [&](int i, int j) {
        if (!((m.live[i] == 1 && t.ireal[j] == 1) || (t.ireal[i] == 1 && m.live[j] == 1))) return;
        if (markx[size_t(j)] == i) {
            ++nexc;
            return;
        }
        const std::uint32_t both = (fix1[size_t(i)] & fix2[size_t(j)]) | (fix1[size_t(j)] & fix2[size_t(i)]);
        int fix = 0;
        if (both != 0) {
            ++nspec;
            fix = 1 + __builtin_ctz(both);  // the first matching entry in table order
        }
        double eps, sig, qq;
        if (mark14[size_t(j)] == i) {
            ++n14;
            if (fix) {
                eps = std::fabs(t.fixeps[fix]);
                sig = t.fixrmin[fix] * s;
            } else {
                // An atom's own 1-4 values when it has them.
                const int vi = t.ljpar[3][i] != 0.0f ? 3 : 1, vj = t.ljpar[3][j] != 0.0f ? 3 : 1;
                eps = std::sqrt(std::fabs(double(t.ljpar[vi][i]) * t.ljpar[vj][j]));
                sig = (double(t.ljpar[vi + 1][i]) + t.ljpar[vj + 1][j]) * s;
            }
            qq = 0.5 * double(m.chrg[i]) * m.chrg[j];
        } else {
            if (fix) {
                eps = std::fabs(t.fixeps[fix]);
                sig = t.fixrmin[fix] * s;
            } else {
                eps = std::sqrt(std::fabs(double(t.ljpar[1][i]) * t.ljpar[1][j]));
                sig = (double(t.ljpar[2][i]) + t.ljpar[2][j]) * s;
            }
            qq = double(m.chrg[i]) * m.chrg[j];
        }
        if (t.npair >= maxpair) {
            list_line(k, {std::string_view("LIMIT ON PAIRS"), std::int64_t{maxpair},
                          std::string_view("EXCEEDED; NPAIR = "), std::int64_t{t.npair}});
            endrun(k, exit_fatal);
        }
        const int p = ++t.npair;
        t.ipr[p] = i, t.jpr[p] = j;
        t.prsig[p] = float(sig), t.preps[p] = float(eps), t.prqq[p] = float(qq);
    };

    if (lresb == 0) {
        for (int i = 1; i < n; ++i) {
            stamp(i);
            const double xi = ff.xd[i], yi = ff.yd[i], zi = ff.zd[i];
            for (int j = i + 1; j <= n; ++j) {
                const double dx = ff.xd[j] - xi, dy = ff.yd[j] - yi, dz = ff.zd[j] - zi;
                if (dx * dx + dy * dy + dz * dz < cut2) consider(i, j);
            }
        }
    } else {
        // Reference point of each residue: its centre of geometry now.
        auto last = [&](int r) { return r < t.nres ? t.resfst[r + 1] - 1 : n; };
        for (int r = 1; r <= t.nres; ++r) {
            double sx = 0, sy = 0, sz = 0;
            const int a = t.resfst[r], b = last(r);
            for (int i = a; i <= b; ++i) sx += ff.xd[i], sy += ff.yd[i], sz += ff.zd[i];
            const double c = b >= a ? b - a + 1 : 1;
            t.resx[r] = float(sx / c), t.resy[r] = float(sy / c), t.resz[r] = float(sz / c);
        }
        // Residues hold consecutive atoms, so pairs i > j come only from
        // residue pairs r2 <= r1.
        for (int r1 = 1; r1 <= t.nres; ++r1)
            for (int r2 = 1; r2 <= r1; ++r2) {
                const double dx = double(t.resx[r1]) - t.resx[r2], dy = double(t.resy[r1]) - t.resy[r2],
                             dz = double(t.resz[r1]) - t.resz[r2];
                if (dx * dx + dy * dy + dz * dz >= cut2) continue;
                for (int i = t.resfst[r1]; i <= last(r1); ++i) {
                    stamp(i);
                    for (int j = t.resfst[r2]; j <= last(r2) && j < i; ++j) consider(i, j);
                }
            }
    }
    out(k, "(1x,'FOUND ',i8,' pairs; ',i8,' exclusions;',i8,' 1-4 pairs; ',i8,' special  pairs.')", t.npair, nexc,
        n14, nspec);
}

void nblist(Kova& k) {
    ForceField& ff = k.ff;
    NonBonded& nb = ff.nb;
    InteractionGrid& g = ff.grid;
    MoleculeStore& m = k.mol;
    const int in = k.files.inunit;
    const char* P = "NBLIST";
    nb.cutnb = 9999.0f;
    g.gxmin = g.gymin = g.gzmin = 99999.0f;
    g.gxmax = g.gymax = g.gzmax = -99999.0f;
    g.gridsp = 0.0f;
    g.boxfil = "none";
    bool grid = true;
    auto unknown = [&](const std::string& w) {
        msg(k, "SERIOUS: NBLIST(050) unknown keyword: ", pad(w, linlen));
        kvabort(k, serious);
    };
    for (;;) {
        std::string w = getnam(k, in, P);
        if (w == "end") break;
        const std::string_view v(w);
        if (v.substr(0, 6) == "gridsp") {
            const float d = getnum(k, in, P);
            if (admit(k, d, 0.0f, length_max, false, "061", "grid spacing (gridsp) must be at least 0 A")) g.gridsp = d;
        } else if (v.substr(0, 4) == "nogr") {
            grid = false;
        } else if (v.substr(0, 4) == "nbup") {
            const float d = getnum(k, in, P);
            nb.nbupd = std::isfinite(d) && std::fabs(d) < 1.0e9f ? int(d) : 0;
        } else if (v.substr(0, 4) == "cdie") {
            const float d = getnum(k, in, P);
            if (admit(k, d, 1.0f, dielectric_max, false, "062",
                      "interior dielectric constant (cdie) must be between 1 and 100000")) {
                nb.irdie = 0;
                k.env.pdie = d;
                k.env.epsint = d * eps0;
            }
        } else if (v.substr(0, 4) == "rdie") {
            const float d = getnum(k, in, P);
            if (admit(k, d, 0.0f, dielectric_max, true,
                      "063", "distance-dependent dielectric factor (rdie) must be above 0 and at most 100000")) {
                nb.irdie = 1;
                nb.rdie = d;
            }
        } else if (v.substr(0, 10) == "gridmargin") {
            const float d = getnum(k, in, P);
            if (admit(k, d, -1.0e4f, 1.0e4f, false, "064", "grid margin (gridmargin) must lie between -10000 and 10000 points")) g.gmargin = d;
        } else if (v.substr(0, 6) == "cornrs") {
            float c[6];
            for (float& x : c) x = getnum(k, in, P);
            bool ok = true;
            for (float x : c) ok = ok && std::isfinite(x) && std::fabs(x) <= length_max;
            if (ok) {
                g.gxmin = c[0], g.gymin = c[1], g.gzmin = c[2], g.gxmax = c[3], g.gymax = c[4], g.gzmax = c[5];
            } else {
                msg(k, "SERIOUS: NBLIST(065) box corners (cornrs) must be finite and within 1000000 A");
                kvabort(k, serious);
            }
        } else if (v.substr(0, 6) == "boxfil") {
            g.boxfil = getfil(k, in, P);
        } else if (v.substr(0, 3) == "cut") {
            std::string mode = getnam(k, in, P);
            if (mode.substr(0, 8) == "atombase") {
                nb.lresb = 0;
            } else if (mode.substr(0, 7) == "resbase") {
                if (ff.top.nres <= 0) {
                    list_line(k, {std::string_view("CANT USE RESBASE IN NBLIST:")});
                    list_line(k, {std::string_view("MUST USE RESBASE IN REAL")});
                    endrun(k, exit_fatal);
                }
                nb.lresb = 1;
            } else {
                unknown(mode);  // the mode stays as it was; the cutoff still follows
            }
            const float d = getnum(k, in, P);
            if (admit(k, d, 0.0f, 1.0e5f, true, "066", "cutoff distance (cut) must be above 0 and at most 100000 A"))
                nb.cutnb = d;
        } else {
            unknown(w);
        }
    }

    for (int i = 1; i <= m.natom; ++i) ff.xd[i] = m.x[i], ff.yd[i] = m.y[i], ff.zd[i] = m.z[i];
    maknbl(k, nb.cutnb, nb.lresb);
    fwrite(k, stdout_unit, "(1x,'FOUND ',i8,' pairs in maknbl.')", ff.top.npair);
    g.lgrid = false;
    if (grid) {
        // Without an atom that is not real there is nothing to put on a grid.
        bool any = false;
        for (int i = 1; i <= m.natom && !any; ++i) any = ff.top.ireal[i] != 1;
        if (any) g.lgrid = makgrid(k, g.boxfil);
    }
}

}  // namespace kova
