// The subunit-definition editor and the construction of subunits. A unit is
// taken from one molecule (from molecule 2 on: unit n from molecule n+1), or,
// with subp, from the atoms of one PDB segment of those molecules. Without
// resn it is one subunit; with resn r1 r2 it has one subunit per residue.
#include "bd/units.hpp"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <string>

#include "command/output.hpp"
#include "command/readers.hpp"

namespace kova {

namespace {

constexpr float kcal = 418.4f;            // kcal/mol to amu*A**2/ps**2
constexpr int mobile = 64;                // type code of a subunit that moves

// A refused definition: the message names the value, the run stops at the
// abort level, and nothing of the unit is changed.
bool refuse(Kova& k, std::string_view text, long a, long b = LONG_MIN) {
    char v[48];
    if (b != LONG_MIN)
        std::snprintf(v, sizeof v, "%ld %ld", a, b);
    else
        std::snprintf(v, sizeof v, "%ld", a);
    msg(k, text, v);
    kvabort(k, serious);
    return false;
}

}  // namespace

bool sedit(Kova& k) {
    MoleculeStore& m = k.mol;
    UnitStore& u = m.units;
    const int in = k.files.inunit;
    int n = 1, r1 = 0, r2 = 0;
    bool by_res = false, list = false, refused = false;
    char seg = ' ';
    std::string cent = "cm";
    for (;;) {
        const std::string w = getnam(k, in, "Sedit");
        const std::string_view w4 = std::string_view(w).substr(0, 4);
        if (w4 == "end") break;
        if (w4 == "iflx") {
            n = getint(k, in, "Sedit");
        } else if (w4 == "subp") {
            const std::string c = getnam(k, in, "Sedit", 1);
            seg = c.empty() ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(c[0])));
        } else if (w4 == "resn") {
            r1 = getint(k, in, "Sedit");
            r2 = getint(k, in, "Sedit");
            by_res = true;
        } else if (w4 == "cent") {
            cent = getnam(k, in, "Sedit", 4);
            if (cent != "cb" && cent != "cm") {
                msg(k, "ERROR: sedit (040) subunit centre option not available yet: ", cent);
                kvabort(k, error);
                refused = true;
            }
        } else if (w4 == "cm") {
            cent = "cm";
        } else if (w4 == "prts") {
            list = true;
        } else if (w4 == "nums" || w4 == "atnu" || w4 == "fix") {
            msg(k, "ERROR: sedit (040) subunit option not available yet: ", w4);
            kvabort(k, error);
            refused = true;
        } else {
            msg(k, "SERIOUS: sedit (001) unknown keyword: ", w);
            kvabort(k, serious);
        }
    }
    if (refused) return false;
    if (n < 1 || n > maxdfu) return refuse(k, "SERIOUS: sedit (010) unit number outside 1 to 5: ", n);
    if (n > u.nunit + 1) return refuse(k, "SERIOUS: sedit (011) units must be defined in order; next unit is ", u.nunit + 1);
    if (n < u.nunit) return refuse(k, "SERIOUS: sedit (012) only the last unit may be redefined; last unit is ", u.nunit);
    const int mol = n + 1;
    if (mol > m.nmol) return refuse(k, "SERIOUS: sedit (013) no molecule for the unit: ", mol);

    // The unit's atoms: the molecule, or the segment from molecule 2 on.
    int a1 = m.fstatm[mol], a2 = m.lstatm[mol];
    if (seg != ' ') {
        a1 = 0;
        for (int a = m.fstatm[2]; a <= m.lstatm[m.nmol]; ++a) {
            if (std::tolower(static_cast<unsigned char>(m.chain[a])) != seg) continue;
            if (a1 == 0) a1 = a;
            else if (a != a2 + 1) {
                msg(k, "WARNING: sedit (100) unit is not all in one PDB subunit");
                kvabort(k, warning);
                break;
            }
            a2 = a;
        }
        if (a1 == 0) return refuse(k, "SERIOUS: sedit (014) no atoms in segment of unit ", n);
    }
    const int first = n == 1 ? 1 : u.ilsub[n - 1] + 1;
    if (by_res && r2 < r1) return refuse(k, "SERIOUS: sedit (020) empty residue range: ", r1, r2);
    const long long span = by_res ? static_cast<long long>(r2) - r1 + 1 : 1;  // no overflow for any pair
    if (first + span - 1 > maxsub)
        return refuse(k, "SERIOUS: sedit (030) more than 40 subunits in all: ", static_cast<long>(first + span - 1));
    const int count = static_cast<int>(span);

    // Atom ranges of the subunits, checked before anything is stored.
    std::array<int, maxsub + 1> fa{}, la{};
    for (int s = 0; s < count; ++s) {
        if (!by_res) {
            fa[s] = a1, la[s] = a2;
            continue;
        }
        const int r = r1 + s;
        fa[s] = la[s] = 0;
        for (int a = a1; a <= a2; ++a) {
            if (m.resnum[a] != r) continue;
            if (fa[s] == 0) fa[s] = a;
            else if (a != la[s] + 1) return refuse(k, "SERIOUS: sedit (022) residue atoms not contiguous: ", r);
            la[s] = a;
        }
        if (fa[s] == 0) return refuse(k, "SERIOUS: sedit (021) residue range has no atoms for residue ", r);
    }
    // A subunit's charge is the sum of its atoms' charges: every one must be set.
    for (int s = 0; s < count; ++s)
        for (int a = fa[s]; a <= la[s]; ++a)
            if (m.chrg[a] == unset) return refuse(k, "SERIOUS: sedit (023) atom without a charge in the unit: ", a);
    int home = mol;  // the molecule whose size is the radius of a one-subunit unit
    for (int i = 2; i <= m.nmol; ++i)
        if (a1 >= m.fstatm[i] && a1 <= m.lstatm[i]) home = i;

    u.nunit = std::max(u.nunit, n);
    u.ifsub[n] = first;
    u.ilsub[n] = first + count - 1;
    u.nsubu[n] = count;
    u.nfixs[n] = 0;
    u.subpc[n] = seg;
    u.cntyp[n] = Name4(by_res ? cent : std::string("cm"));
    u.cncor[n] = 0;
    u.bndon[n] = 1;
    u.angon[n] = 1;
    for (int s = 0; s < count; ++s) {
        const int i = first + s;
        m.sbfat[i] = fa[s];
        m.sblat[i] = la[s];
        m.sbtype[i] = mobile;
        m.sbfix[i] = 0;
        m.sbunit[i] = n;
        m.sbrad[i] = by_res ? 0.0f : m.molsiz[home];
    }
    m.nsbtot = u.ilsub[n];
    spdb(k, n);
    udef(k, n);
    if (list) prtsub(k, n);
    return true;
}

void spdb(Kova& k, int n) {
    MoleculeStore& m = k.mol;
    UnitStore& u = m.units;
    const bool cb = u.cntyp[n] == Name4("cb");
    for (int i = u.ifsub[n]; i <= u.ilsub[n]; ++i) {
        double q = 0, c[3] = {0, 0, 0};
        int at = 0;
        for (int a = m.sbfat[i]; a <= m.sblat[i]; ++a) {
            q += m.chrg[a];
            c[0] += m.x[a], c[1] += m.y[a], c[2] += m.z[a];
            if (cb) {
                const Name4 want(m.resnam[a] == Name4("gly") ? "ca" : "cb");
                if (!(m.atnam[a] == want)) continue;
                if (at != 0) {
                    msg(k, "FATAL: spdb(001) center of subunit given by CB,");
                    endrun(k, exit_fatal);
                }
                at = a;
            }
        }
        const int na = m.sblat[i] - m.sbfat[i] + 1;
        if (cb && at != 0) {
            m.sbx[i] = m.x[at], m.sby[i] = m.y[at], m.sbz[i] = m.z[at];
        } else {
            // Centre of geometry (also where a residue has no CB or CA).
            m.sbx[i] = float(c[0] / na), m.sby[i] = float(c[1] / na), m.sbz[i] = float(c[2] / na);
        }
        m.sbchg[i] = float(q);
        m.sbres[i] = m.resnam[m.sbfat[i]];
    }
    const int ns = u.nsubu[n];
    u.nbond[n] = std::max(ns - 1, 0);
    u.nangl[n] = std::max(ns - 2, 0);
    u.ndihe[n] = std::max(ns - 3, 0);
    // The subunit nearest the centre of geometry of the unit.
    double g[3] = {0, 0, 0};
    for (int i = u.ifsub[n]; i <= u.ilsub[n]; ++i) g[0] += m.sbx[i], g[1] += m.sby[i], g[2] += m.sbz[i];
    double best = -1;
    for (int i = u.ifsub[n]; i <= u.ilsub[n]; ++i) {
        const double dx = m.sbx[i] - g[0] / ns, dy = m.sby[i] - g[1] / ns, dz = m.sbz[i] - g[2] / ns;
        const double d = dx * dx + dy * dy + dz * dz;
        if (best < 0 || d < best) best = d, u.icsub[n] = i;
    }
    prtsub(k, n);
}

void prtsub(Kova& k, int n) {
    const MoleculeStore& m = k.mol;
    const UnitStore& u = m.units;
    out(k, "(a,a)", "  Subunit  Residue Unit", "    x        y       z      Charge    Radius");
    for (int i = u.ifsub[n]; i <= u.ilsub[n]; ++i)
        out(k, "(3x,i4,6x,a4,2x,i4,5f9.3)", i, m.sbres[i].padded(), n, m.sbx[i], m.sby[i], m.sbz[i], m.sbchg[i],
            m.sbrad[i]);
}

void udef(Kova& k, int n) {
    MoleculeStore& m = k.mol;
    UnitStore& u = m.units;
    if (u.bndon[n] == 1 && u.cncor[n] == 0)
        for (int b = 1; b <= std::min(u.nbond[n], maxubd); ++b) {
            u.b0[n][b] = 5.14f;
            u.cb[n][b] = 80.0f * kcal;
            u.bdef[n][b] = 1;
        }
    if (u.angon[n] == 1) {
        for (int t = 1; t <= std::min(u.nangl[n], maxubd); ++t) {
            u.t0[n][t] = 1.5219271f;
            u.ct[n][t] = 80.0f * kcal;
            u.adef[n][t] = 1;
        }
        out(k, "(a,a)", "  Bond angle term                                   : ", " included");
    }
    for (int i = u.ifsub[n]; i <= u.ilsub[n]; ++i) {
        if (!(std::isfinite(m.sbchg[i]) && m.sbchg[i] != 0.0f)) m.sbchg[i] = 0.0f;
        if (!(m.sbrad[i] > 0.0f)) m.sbrad[i] = 3.5f;
    }
    u.oldbmp[n] = false;
    u.himod[n] = 0;
    u.hibc[n] = 0.75f;
}

}  // namespace kova
