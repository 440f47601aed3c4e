// The subunit-definition editor and the construction of subunits. A unit is
// taken from one molecule (from molecule 2 on: unit n from molecule n+1), or,
// with subp, from the atoms of one PDB segment of those molecules. Without
// resn it is one subunit; with resn r1 r2 it has one subunit per residue.
// The force-field editor then sets the bonds, angles, excluded-volume and
// side-chain/solvent terms, constraints and hydrodynamics of one unit.
#include "bd/units.hpp"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "bd/bdrun.hpp"
#include "command/output.hpp"
#include "command/readers.hpp"

namespace kova {

namespace {

constexpr float kcal = 418.4f;            // kcal/mol to amu*A**2/ps**2
constexpr int mobile = 64;                // type code of a subunit that moves
constexpr int fixed_type = 31;            // a fixed subunit of a tethered unit
constexpr int tethered_type = 32;         // the other subunits of that unit

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
    int nexp = 0;                 // subunits given explicitly (nums)
    bool by_res = false, by_atom = false, list = false, refused = false;
    char seg = ' ';
    std::string cent = "cm";
    // Per explicit subunit: first and last residue (resn) or atom (atnu),
    // and the centre atom (cent atnu).
    std::array<int, maxsub + 1> e1{}, e2{}, catom{};
    int ncat = 0;                 // centre atoms read
    bool fix_res = false;         // fixed subunits named by residue (else atom)
    std::vector<int> fixed;       // the atoms or residues that fix a subunit
    auto bad = [&](std::string_view text, long a, long b = LONG_MIN) {
        refuse(k, text, a, b);
        refused = true;
    };
    // Subunits known so far: explicit ones, or one per residue of resn r1 r2.
    auto known = [&]() -> long {
        if (nexp > 0) return nexp;
        if (by_res) return r2 >= r1 ? static_cast<long>(r2) - r1 + 1 : 0;
        return 0;
    };
    for (;;) {
        const std::string w = getnam(k, in, "Sedit");
        const std::string_view w4 = std::string_view(w).substr(0, 4);
        if (w4 == "end") break;
        if (w4 == "iflx") {
            n = getint(k, in, "Sedit");
        } else if (w4 == "nums") {
            const int v = getint(k, in, "Sedit");
            // A count the store cannot hold is refused before any range is read.
            if (v < 1 || v > maxsub) bad("SERIOUS: sedit (015) number of subunits outside 1 to 40: ", v);
            else nexp = v;
        } else if (w4 == "subp") {
            const std::string c = getnam(k, in, "Sedit", 1);
            seg = c.empty() ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(c[0])));
        } else if (w4 == "resn" || w4 == "atnu") {
            const bool res = w4 == "resn";
            if (nexp == 0 && !res) {
                // One range read, so that the numbers are not taken as keywords.
                const int x1 = getint(k, in, "Sedit"), x2 = getint(k, in, "Sedit");
                bad("SERIOUS: sedit (016) atnu needs the number of subunits (nums) first: ", x1, x2);
                continue;
            }
            if (nexp == 0) {
                r1 = getint(k, in, "Sedit");
                r2 = getint(k, in, "Sedit");
            } else {
                for (int s = 1; s <= nexp; ++s) e1[s] = getint(k, in, "Sedit"), e2[s] = getint(k, in, "Sedit");
            }
            by_res = res, by_atom = !res;
        } else if (w4 == "cent" || w4 == "cm") {
            cent = w4 == "cm" ? std::string("cm") : getnam(k, in, "Sedit", 4);
            if (cent == "atnu") {
                const long c = known();
                if (c == 0 || c > maxsub) {
                    bad("SERIOUS: sedit (017) cent atnu needs the subunits (nums, resn or atnu) first: ", n);
                    continue;
                }
                ncat = static_cast<int>(c);
                for (int s = 1; s <= ncat; ++s) catom[s] = getint(k, in, "Sedit");
            }
        } else if (w4 == "fix") {
            int nf = 0;
            do nf = getint(k, in, "Sedit"); while (nf < 1);
            const std::string how = getnam(k, in, "Sedit", 4);
            if (nf > maxatm) {
                bad("SERIOUS: sedit (019) more fixed atoms or residues than atoms: ", nf);
                continue;
            }
            fix_res = how == "resn";
            fixed.assign(static_cast<std::size_t>(nf), 0);
            for (int& f : fixed) f = getint(k, in, "Sedit");
            if (how != "atnu" && how != "resn") {
                // The numbers are read all the same, so that reading goes on
                // with the next keyword.
                msg(k, "SERIOUS: sedit (018) specify atnu or resn after fix: ", how);
                kvabort(k, serious);
                refused = true;
            }
        } else if (w4 == "prts") {
            list = true;
        } else {
            msg(k, "SERIOUS: sedit (001) unknown keyword: ", w);
            kvabort(k, serious);
        }
    }
    if (refused) return false;
    if (cent != "cb" && cent != "cm" && cent != "atnu") cent = "cm";  // any other word: centre of geometry
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
    if (nexp == 0 && by_res && r2 < r1) return refuse(k, "SERIOUS: sedit (020) empty residue range: ", r1, r2);
    const long long span = nexp > 0 ? nexp : by_res ? static_cast<long long>(r2) - r1 + 1 : 1;  // no overflow
    if (first + span - 1 > maxsub)
        return refuse(k, "SERIOUS: sedit (030) more than 40 subunits in all: ", static_cast<long>(first + span - 1));
    const int count = static_cast<int>(span);
    const bool split = nexp > 0 || by_res;  // more than the one whole-unit subunit
    if (nexp > 0 && !by_res && !by_atom)
        return refuse(k, "SERIOUS: sedit (016) nums needs the subunits' residues (resn) or atoms (atnu): ", nexp);

    // Atom ranges of the subunits, checked before anything is stored.
    std::array<int, maxsub + 1> fa{}, la{};
    for (int s = 0; s < count; ++s) {
        if (!split) {
            fa[s] = a1, la[s] = a2;
        } else if (by_atom) {
            fa[s] = e1[s + 1], la[s] = e2[s + 1];
            if (fa[s] > la[s] || fa[s] < a1 || la[s] > a2)
                return refuse(k, "SERIOUS: sedit (024) subunit atoms outside the unit: ", fa[s], la[s]);
        } else {
            // Residues lo..hi: their atoms must be one contiguous run.
            const int lo = nexp > 0 ? e1[s + 1] : r1 + s, hi = nexp > 0 ? e2[s + 1] : r1 + s;
            if (hi < lo) return refuse(k, "SERIOUS: sedit (020) empty residue range: ", lo, hi);
            fa[s] = la[s] = 0;
            for (int a = a1; a <= a2; ++a) {
                if (m.resnum[a] < lo || m.resnum[a] > hi) continue;
                if (fa[s] == 0) fa[s] = a;
                else if (a != la[s] + 1) return refuse(k, "SERIOUS: sedit (022) residue atoms not contiguous: ", m.resnum[a]);
                la[s] = a;
            }
            if (fa[s] == 0) {
                if (lo == hi) return refuse(k, "SERIOUS: sedit (021) residue range has no atoms for residue ", lo);
                return refuse(k, "SERIOUS: sedit (021) residue range has no atoms for residues ", lo, hi);
            }
        }
    }
    // A subunit's charge is the sum of its atoms' charges: every one must be set.
    for (int s = 0; s < count; ++s)
        for (int a = fa[s]; a <= la[s]; ++a)
            if (m.chrg[a] == unset) return refuse(k, "SERIOUS: sedit (023) atom without a charge in the unit: ", a);
    // Centre atoms, one per subunit and inside it.
    if (cent == "atnu") {
        if (ncat != count) return refuse(k, "SERIOUS: sedit (017) centre atoms given for a different number of subunits: ", ncat);
        for (int s = 0; s < count; ++s)
            if (catom[s + 1] < fa[s] || catom[s + 1] > la[s])
                return refuse(k, "SERIOUS: sedit (025) centre atom not in its subunit: ", first + s, catom[s + 1]);
    }
    // Fixed subunits: those holding one of the named atoms (residues).
    std::array<int, maxsub + 1> fix{};
    int nfix = 0;
    for (const int f : fixed) {
        bool found = false;
        for (int s = 0; s < count; ++s)
            for (int a = fa[s]; a <= la[s] && !found; ++a)
                if (fix_res ? m.resnum[a] == f : a == f) {
                    found = true;
                    nfix += fix[s] == 0;
                    fix[s] = 1;
                }
        if (!found)
            return refuse(k, fix_res ? "SERIOUS: sedit (026) fixed residue not in the unit: "
                                     : "SERIOUS: sedit (026) fixed atom not in the unit: ", f);
    }
    int home = mol;  // the molecule whose size is the radius of a one-subunit unit
    for (int i = 2; i <= m.nmol; ++i)
        if (a1 >= m.fstatm[i] && a1 <= m.lstatm[i]) home = i;

    u.nunit = std::max(u.nunit, n);
    u.ifsub[n] = first;
    u.ilsub[n] = first + count - 1;
    u.nsubu[n] = count;
    u.nfixs[n] = nfix;
    u.subpc[n] = seg;
    u.cntyp[n] = Name4(split ? cent : std::string("cm"));
    u.cncor[n] = 0;
    u.bndon[n] = 1;
    u.angon[n] = 1;
    for (int s = 0; s < count; ++s) {
        const int i = first + s;
        m.sbfat[i] = fa[s];
        m.sblat[i] = la[s];
        m.sbtype[i] = nfix == 0 ? mobile : fix[s] ? fixed_type : tethered_type;
        m.sbfix[i] = fix[s];
        m.sbunit[i] = n;
        m.sbrad[i] = split ? 0.0f : m.molsiz[home];
        u.sbcen[i] = cent == "atnu" ? catom[s + 1] : 0;
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
    const bool atnu = u.cntyp[n] == Name4("atnu");
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
        if (atnu) at = u.sbcen[i];
        if ((cb || atnu) && at != 0) {
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

std::vector<std::string> subunit_records(const MoleculeStore& m, int n) {
    const UnitStore& u = m.units;
    std::vector<std::string> recs = fortio::format_write("(a,a)", {std::string_view("  Subunit  Residue Unit"),
                                                                   std::string_view("    x        y       z      Charge    Radius")});
    for (int i = u.ifsub[n]; i <= u.ilsub[n]; ++i) {
        const std::string_view res = m.sbres[i].padded();
        const auto r = fortio::format_write("(3x,i4,6x,a4,2x,i4,5f9.3)",
                                            {std::int64_t{i}, res, std::int64_t{n}, m.sbx[i], m.sby[i],
                                             m.sbz[i], m.sbchg[i], m.sbrad[i]});
        recs.insert(recs.end(), r.begin(), r.end());
    }
    return recs;
}

void prtsub(Kova& k, int n) { k.units.write(k.files.outunit, subunit_records(k.mol, n)); }

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
    // A rebuilt unit keeps nothing of the terms set for its former subunits.
    u.exvmod[n] = u.solmod[n] = u.nnnbon[n] = u.hinum[n] = 0;
    for (int i = u.ifsub[n]; i <= u.ilsub[n]; ++i) u.eval[i] = u.rexv[i] = u.sval[i] = u.rsol[i] = 0.0f;
    // A tethered unit (one with fixed subunits) repels itself and feels the
    // solvent with the standard residue values, and keeps its dihedrals.
    if (u.nfixs[n] > 0) {
        u.exvmod[n] = u.solmod[n] = 1;
        for (int i = u.ifsub[n]; i <= u.ilsub[n]; ++i) {
            u.eval[i] = 0.33f * kcal;
            u.rexv[i] = 6.3f;
            u.sval[i] = -0.8f * kcal;
            u.rsol[i] = 9.0f;
        }
        u.nnnbon[n] = 1;
    }
    if (u.nnnbon[n] == 1) predih(k, n);
}

namespace {

constexpr float deg = 0.017453292f;      // degrees to radians
constexpr float tokcal = 0.0023900573f;  // amu*A**2/ps**2 to kcal/mol

// Excluded-volume and side-chain/solvent parameters of the amino acids:
// distances in Angstrom, energies in kcal/mol.
struct Peptide {
    const char* res;
    float rexv, eval, rsol, sval;
};
constexpr Peptide peptide[] = {
    {"ala", 5.5f, 0.21f, 9.0f, -0.5f},  {"val", 6.5f, 0.33f, 9.0f, -1.5f}, {"leu", 6.9f, 0.39f, 9.0f, -1.8f},
    {"ile", 6.9f, 0.39f, 9.0f, -1.8f},  {"cys", 5.9f, 0.27f, 9.0f, -1.0f}, {"met", 6.8f, 0.39f, 9.0f, -1.3f},
    {"pro", 6.3f, 0.33f, 9.0f, -1.4f},  {"phe", 7.35f, 0.56f, 9.0f, -2.5f}, {"tyr", 7.4f, 0.62f, 9.0f, -2.3f},
    {"trp", 7.7f, 0.73f, 9.0f, -3.4f},  {"asp", 6.3f, 0.39f, 9.0f, 2.5f},  {"asn", 6.4f, 0.39f, 9.0f, 0.2f},
    {"glu", 6.7f, 0.45f, 9.0f, 2.5f},   {"gln", 6.7f, 0.45f, 9.0f, 0.2f},  {"his", 6.8f, 0.51f, 9.0f, -0.5f},
    {"ser", 5.7f, 0.27f, 9.0f, 0.3f},   {"thr", 6.3f, 0.33f, 9.0f, -0.4f}, {"arg", 7.35f, 0.56f, 9.0f, 3.0f},
    {"lys", 6.9f, 0.45f, 9.0f, 3.0f},   {"gly", 5.0f, 0.16f, 9.0f, 0.0f},
};

// The table entry of a residue name (cyx shares cys, hie and hid share his),
// or null for a name not in the table.
const Peptide* peptide_entry(const Name4& r) {
    std::string name(r.padded());
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == "cyx ") name = "cys ";
    if (name == "hie " || name == "hid ") name = "his ";
    for (const Peptide& p : peptide)
        if (Name4(p.res) == Name4(name)) return &p;
    return nullptr;
}

std::string fmtval(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%g", v);
    return b;
}

const char* mode_name(int mode) {
    switch (mode) {
    case 1: return " identical";
    case 2: return " not identical";
    case 3: return " peptide";
    default: return " excluded";
    }
}

// Peptide assignments over the subunits of unit n, by residue name: the
// excluded-volume values (exv) and the side-chain/solvent values (sol).
void assign_peptide(Kova& k, UnitStore& u, int n, bool exv, bool sol) {
    const MoleculeStore& m = k.mol;
    for (int i = u.ifsub[n]; (exv || sol) && i <= u.ilsub[n]; ++i) {
        const Peptide* p = peptide_entry(m.sbres[i]);
        if (exv) {
            if (p) u.rexv[i] = p->rexv, u.eval[i] = p->eval * kcal;
            else
                out(k, "(a,a,a)", " Warning: (preexv) residue type ", m.sbres[i].padded(),
                    " not recognised on assigning exv parameters");
        }
        if (sol) {
            if (p) u.rsol[i] = p->rsol, u.sval[i] = p->sval * kcal;
            else
                out(k, "(a,a,a)", " Warning: (presol) residue type ", m.sbres[i].padded(),
                    " not recognised on assigning soli parameters");
        }
    }
}

}  // namespace

bool uedit(Kova& k) {
    MoleculeStore& m = k.mol;
    const int in = k.files.inunit;
    // Everything is edited on copies and stored at end only when no value
    // was refused, so that a refused edit leaves the units as they were.
    UnitStore u = m.units;
    auto q = m.sbchg;
    auto r = m.sbrad;
    int n = u.nunit >= 1 ? 1 : 0;
    bool refused = false, list = false, explicit_cons = false, print_setup = false;
    auto bad = [&](std::string_view text, const std::string& v) {
        msg(k, text, v);
        kvabort(k, serious);
        refused = true;
    };
    auto first = [&] { return n > 0 ? u.ifsub[n] : 1; };
    auto count = [&] { return n > 0 ? u.nsubu[n] : 0; };
    // A number scaled to internal units; a value that is not finite there is
    // refused.
    auto num = [&](float scale) {
        const float v = getnum(k, in, "Uedit");
        const float s = v * scale;
        if (!std::isfinite(s)) {
            bad("SERIOUS: uedit (020) value is not a finite number: ", fmtval(v));
            return 0.0f;
        }
        return s;
    };
    auto distance = [&](float& to) {
        const float v = num(1.0f);
        if (v < 0.0f) bad("SERIOUS: uedit (024) negative distance: ", fmtval(v));
        else to = v;
    };
    auto bond = [&](int b) {
        const float b0 = num(1.0f), cb = num(kcal);
        if (!(b0 > 0.0f)) return bad("SERIOUS: uedit (021) bond length not positive: ", fmtval(b0));
        if (cb < 0.0f) return bad("SERIOUS: uedit (022) negative force constant: ", fmtval(cb * tokcal));
        if (b > maxubd) return;
        u.b0[n][b] = b0, u.cb[n][b] = cb, u.bdef[n][b] = 1;
    };
    auto angle = [&](int t) {
        const float t0 = num(1.0f), ct = num(kcal);
        if (!(t0 >= 0.0f && t0 <= 180.0f))
            return bad("SERIOUS: uedit (023) bond angle outside 0 to 180 degrees: ", fmtval(t0));
        if (ct < 0.0f) return bad("SERIOUS: uedit (022) negative force constant: ", fmtval(ct * tokcal));
        if (t > maxubd) return;
        u.t0[n][t] = t0 * deg, u.ct[n][t] = ct, u.adef[n][t] = 1;
    };
    // A subunit number of the unit: global, or relative to the unit's first
    // subunit when outside the unit's range; 0 when neither fits.
    auto subunit = [&](int s) {
        if (n == 0) return 0;
        if (s >= u.ifsub[n] && s <= u.ilsub[n]) return s;
        const long g = static_cast<long>(u.ifsub[n]) + s - 1;
        return s >= 1 && g <= u.ilsub[n] ? static_cast<int>(g) : 0;
    };
    // eval/rexv (sval/rsol): one value for the unit, or one per subunit when
    // the term's parameters are not identical.
    auto per_subunit = [&](int mode, Arr1<float, maxsub>& to, float scale, bool dist) {
        const int each = mode == 2 ? count() : 1;
        for (int s = 0; s < each; ++s) {
            float v = num(scale);
            if (dist && v < 0.0f) {
                bad("SERIOUS: uedit (024) negative distance: ", fmtval(v));
                v = 0.0f;
            }
            if (mode == 2)
                to[first() + s] = v;
            else
                for (int i = 0; i < count(); ++i) to[first() + i] = v;
        }
    };
    auto term_mode = [&](int& to) {
        const std::string w = getnam(k, in, "Uedit", 4);
        if (w == "iden") to = 1;
        else if (w == "nide") to = 2;
        else if (w == "pept") to = 3;
        else {
            msg(k, "SERIOUS: uedit (002) unknown keyword: ", w,
                " For this version, specify iden(tical), nide(ntical), or pept(ide)");
            kvabort(k, serious);
        }
    };
    int dummy_mode = 0;
    auto mode = [&](Arr1<int, maxdfu>& a) -> int& { return n > 0 ? a[n] : dummy_mode; };

    for (;;) {
        const std::string w = getnam(k, in, "Uedit");
        const std::string_view w4 = std::string_view(w).substr(0, 4);
        if (w4 == "end") break;
        if (w4 == "iflx") {
            const int v = getint(k, in, "Uedit");
            if (v < 1 || v > u.nunit) {
                bad("SERIOUS: uedit (010) no such unit: ", std::to_string(v));
                n = 0;
            } else {
                n = v;
                u.cncor[n] = 0, u.bndon[n] = 1, u.angon[n] = 1;
            }
        } else if (w4 == "bide") {
            // Read once, stored in every bond of the unit.
            const float b0 = num(1.0f), cb = num(kcal);
            if (!(b0 > 0.0f)) bad("SERIOUS: uedit (021) bond length not positive: ", fmtval(b0));
            else if (cb < 0.0f) bad("SERIOUS: uedit (022) negative force constant: ", fmtval(cb * tokcal));
            else if (n > 0) {
                for (int b = 1; b <= std::min(u.nbond[n], maxubd); ++b) u.b0[n][b] = b0, u.cb[n][b] = cb, u.bdef[n][b] = 1;
                u.bndon[n] = 1;
            }
        } else if (w4 == "nbid") {
            for (int b = 1; n > 0 && b <= u.nbond[n]; ++b) bond(b);
            if (n > 0) u.bndon[n] = 1;
        } else if (w4 == "nbon") {
            mode(u.bndon) = 0;
        } else if (w4 == "tide") {
            const float t0 = num(1.0f), ct = num(kcal);
            if (!(t0 >= 0.0f && t0 <= 180.0f)) bad("SERIOUS: uedit (023) bond angle outside 0 to 180 degrees: ", fmtval(t0));
            else if (ct < 0.0f) bad("SERIOUS: uedit (022) negative force constant: ", fmtval(ct * tokcal));
            else if (n > 0) {
                for (int t = 1; t <= std::min(u.nangl[n], maxubd); ++t)
                    u.t0[n][t] = t0 * deg, u.ct[n][t] = ct, u.adef[n][t] = 1;
                u.angon[n] = 1;
            }
        } else if (w4 == "ntid") {
            for (int t = 1; n > 0 && t <= u.nangl[n]; ++t) angle(t);
            if (n > 0) u.angon[n] = 1;
        } else if (w4 == "nang") {
            mode(u.angon) = 0;
        } else if (w4 == "exv") {
            term_mode(mode(u.exvmod));
        } else if (w4 == "soli") {
            term_mode(mode(u.solmod));
        } else if (w4 == "nexv") {
            mode(u.exvmod) = 0;
        } else if (w4 == "nsol") {
            mode(u.solmod) = 0;
        } else if (w4 == "eval") {
            if (mode(u.exvmod) == 3) {
                num(kcal);  // read and left out: the peptide table decides
                msg(k, "SERIOUS: uedit(003) eval should not be", " specified together with peptide assignments");
                kvabort(k, serious);
            } else {
                per_subunit(mode(u.exvmod), u.eval, kcal, false);
            }
        } else if (w4 == "rexv") {
            if (mode(u.exvmod) == 3) {
                num(1.0f);
                out(k, "(a)", "  Warning: uedit(004) rexv should not be");
                out(k, "(a)", "  specified together with peptide assignments");
                kvabort(k, warning);
            } else {
                per_subunit(mode(u.exvmod), u.rexv, 1.0f, true);
            }
        } else if (w4 == "sval") {
            if (mode(u.solmod) == 3) {
                num(kcal);
                msg(k, "SERIOUS: uedit(005) sval should not be specified together with peptide assignments");
                kvabort(k, serious);
            } else {
                per_subunit(mode(u.solmod), u.sval, kcal, false);
            }
            msg(k, "Warning: uedit(006) sval should be specified", " per subunit i.e. half of value in previous version ");
        } else if (w4 == "rsol") {
            if (mode(u.solmod) == 3) {
                num(1.0f);
                out(k, "(a)", "  Warning: rsol should not be specified together with");
                out(k, "(a)", "  peptide assignments");
                kvabort(k, warning);
            } else {
                per_subunit(mode(u.solmod), u.rsol, 1.0f, true);
            }
        } else if (w4 == "nnnb" || w4 == "nonn") {
            mode(u.nnnbon) = w4 == "nnnb" ? 1 : 0;
        } else if (w4 == "foco" || w4 == "locc") {
            mode(u.cncor) = w4 == "foco" ? 1 : 2;
        } else if (w4 == "tole") {
            distance(u.toler);
        } else if (w4 == "bcon") {
            const float v = num(1.0f);
            if (!(v > 0.0f)) bad("SERIOUS: uedit (025) constraint distance not positive: ", fmtval(v));
            else u.bcon = v;
        } else if (w4 == "dfcn") {
            // Explicit constraints replace the unit's earlier ones; all are
            // read before the count is checked against the store.
            explicit_cons = true;
            const int nc = getint(k, in, "cnumb: Number of constraints ?");
            if (nc < 0) bad("SERIOUS: uedit (030) negative number of constraints: ", std::to_string(nc));
            int used = 0;
            for (int i = 1; i <= u.ncnstr; ++i)
                if (n == 0 || u.cnsub1[i] < u.ifsub[n] || u.cnsub1[i] > u.ilsub[n])
                    u.cnsub1[++used] = u.cnsub1[i], u.cnsub2[used] = u.cnsub2[i], u.cndist[used] = u.cndist[i];
            u.ncnstr = used;
            for (int c = 1; c <= nc; ++c) {
                const int s1 = getint(k, in, "csub1: First subunit of constraint ?");
                const int s2 = getint(k, in, "csub2: Second subunit of constraint ?");
                const float d = num(1.0f);
                const int g1 = subunit(s1), g2 = subunit(s2);
                if (g1 == 0) bad("SERIOUS: uedit (031) constraint subunit outside the unit: ", std::to_string(s1));
                else if (g2 == 0) bad("SERIOUS: uedit (031) constraint subunit outside the unit: ", std::to_string(s2));
                else if (!(d > 0.0f)) bad("SERIOUS: uedit (025) constraint distance not positive: ", fmtval(d));
                else if (u.ncnstr < maxcon) {
                    ++u.ncnstr;
                    u.cnsub1[u.ncnstr] = g1, u.cnsub2[u.ncnstr] = g2, u.cndist[u.ncnstr] = d;
                }
            }
            if (used + std::max(nc, 0) > maxcon)
                bad("SERIOUS: uedit (032) more than 30 distance constraints: ", std::to_string(used + nc));
        } else if (w4 == "oldb") {
            if (n > 0) u.oldbmp[n] = true;
        } else if (w4 == "char") {
            const int nq = getint(k, in, "Uedit");
            if (nq < 0) bad("SERIOUS: uedit (026) negative number of charges: ", std::to_string(nq));
            for (int c = 0; c < nq; ++c) {
                const int s = getint(k, in, "Uedit");
                const float v = num(1.0f);
                if (s < 1 || s > count()) bad("SERIOUS: uedit (027) subunit outside the unit: ", std::to_string(s));
                else q[first() + s - 1] = v;
            }
        } else if (w4 == "nohi" || w4 == "osee" || w4 == "mdos") {
            mode(u.himod) = w4 == "nohi" ? 0 : w4 == "osee" ? 1 : 2;
        } else if (w4 == "stic" || w4 == "slip") {
            if (n > 0) u.hibc[n] = w4 == "stic" ? 0.75f : 0.5f;
        } else if (w4 == "hrid") {
            const float a = num(1.0f);
            if (!(a > 0.0f)) bad("SERIOUS: uedit (028) hydrodynamic radius not positive: ", fmtval(a));
            else
                for (int i = 0; i < count(); ++i) r[first() + i] = a;
        } else if (w4 == "nhri") {
            for (int i = 0; i < count(); ++i) {
                const float a = num(1.0f);
                if (!(a > 0.0f)) bad("SERIOUS: uedit (028) hydrodynamic radius not positive: ", fmtval(a));
                else r[first() + i] = a;
            }
        } else if (w4 == "prts") {
            list = true;
        } else if (w4 == "prnt" || w4 == "prin") {
            print_setup = true;
        } else if (w4 == "debu") {
            // No debug output belongs to this editor; accepted for old decks.
        } else if (w4.substr(0, 2) == "hi" && w4.size() == 2) {
            // Pairs read in full before the count is checked against the store.
            const int np = getint(k, in, "Uedit");
            if (np < 0) bad("SERIOUS: uedit (033) negative number of hydrodynamic pairs: ", std::to_string(np));
            for (int p = 1; p <= np; ++p) {
                const int a = getint(k, in, "Uedit"), b = getint(k, in, "Uedit");
                const int ga = subunit(a), gb = subunit(b);
                if (ga == 0) bad("SERIOUS: uedit (034) hydrodynamic pair subunit outside the unit: ", std::to_string(a));
                else if (gb == 0) bad("SERIOUS: uedit (034) hydrodynamic pair subunit outside the unit: ", std::to_string(b));
                else if (p <= maxhip) u.hif[n][p] = ga, u.hil[n][p] = gb;
            }
            if (np > maxhip) bad("SERIOUS: uedit (035) more than 15 hydrodynamic pairs in a unit: ", std::to_string(np));
            else if (n > 0 && np >= 0) u.hinum[n] = np;
        } else {
            msg(k, "SERIOUS: uedit (001) unknown keyword: ", w);
            kvabort(k, serious);
        }
    }
    // Without iflx the editor works on unit 1, which must exist.
    if (n == 0 && !refused) bad("SERIOUS: uedit (010) no such unit: ", "1");
    if (refused) return false;

    assign_peptide(k, u, n, u.exvmod[n] == 3, u.solmod[n] == 3);
    // Automatic constraints between consecutive subunits, at bcon (or at the
    // sum of the two radii while bcon is not given), replacing the unit's
    // earlier ones; two fixed neighbours get none.
    if (u.bndon[n] == 1 && u.cncor[n] > 0 && !explicit_cons) {
        int used = 0;
        for (int i = 1; i <= u.ncnstr; ++i)
            if (u.cnsub1[i] < u.ifsub[n] || u.cnsub1[i] > u.ilsub[n])
                u.cnsub1[++used] = u.cnsub1[i], u.cnsub2[used] = u.cnsub2[i], u.cndist[used] = u.cndist[i];
        int need = 0;
        for (int i = u.ifsub[n]; i < u.ilsub[n]; ++i) need += !(m.sbfix[i] == 1 && m.sbfix[i + 1] == 1);
        if (used + need > maxcon) {
            bad("SERIOUS: uedit (032) more than 30 distance constraints: ", std::to_string(used + need));
            return false;
        }
        u.ncnstr = used;
        for (int i = u.ifsub[n]; i < u.ilsub[n]; ++i) {
            if (m.sbfix[i] == 1 && m.sbfix[i + 1] == 1) continue;
            ++u.ncnstr;
            u.cnsub1[u.ncnstr] = i, u.cnsub2[u.ncnstr] = i + 1;
            u.cndist[u.ncnstr] = u.bcon > 0.0f ? u.bcon : r[i] + r[i + 1];
        }
    }
    m.units = u;
    m.sbchg = q;
    m.sbrad = r;
    if (m.units.nnnbon[n] == 1) predih(k, n);
    prtunit(k, n);
    if (list) prtsub(k, n);
    if (print_setup) banner(k, k.bdrun);  // the run set-up with the units as edited
    return true;
}

void prtunit(Kova& k, int n) {
    const MoleculeStore& m = k.mol;
    const UnitStore& u = m.units;
    auto line = [&](const char* label, const char* value) { out(k, "(a,a)", label, value); };
    auto on = [](int v) { return v ? " included" : " excluded"; };
    out(k, "(a,i4)", "  Force field and hydrodynamics of unit ", n);
    line("  Bond term                                         : ", on(u.bndon[n]));
    line("  Bond angle term                                   : ", on(u.angon[n]));
    line("  Excluded volume term                              : ", mode_name(u.exvmod[n]));
    line("  Side chain/solvent term                           : ", mode_name(u.solmod[n]));
    line("  Nearest neighbour nonbonded term                  : ", on(u.nnnbon[n]));
    const char* cor[] = {" none", " first order", " line of centres"};
    line("  Constraint correction                             : ", cor[std::clamp(u.cncor[n], 0, 2)]);
    const char* hi[] = {" none", " Oseen", " modified Oseen"};
    line("  Hydrodynamic interactions                         : ", hi[std::clamp(u.himod[n], 0, 2)]);
    out(k, "(a,f10.3)", "  Boundary factor                                   : ", u.hibc[n]);
    line("  Return to old positions after a bump              : ", u.oldbmp[n] ? " yes" : " no");
    if (u.bndon[n] == 1 && u.cncor[n] == 0)
        for (int b = 1; b <= std::min(u.nbond[n], maxubd); ++b)
            out(k, "(a,i4,a,f9.3,a,f10.3)", "  Bond ", b, "  b0 =", u.b0[n][b], "  cb =", u.cb[n][b] * tokcal);
    if (u.angon[n] == 1)
        for (int t = 1; t <= std::min(u.nangl[n], maxubd); ++t)
            out(k, "(a,i4,a,f9.3,a,f10.3)", "  Angle", t, "  t0 =", u.t0[n][t] / deg, "  ct =", u.ct[n][t] * tokcal);
    for (int c = 1; c <= u.ncnstr; ++c)
        if (u.cnsub1[c] >= u.ifsub[n] && u.cnsub1[c] <= u.ilsub[n])
            out(k, "(a,2i5,a,f9.3)", "  Constraint", u.cnsub1[c], u.cnsub2[c], "  distance =", u.cndist[c]);
    for (int p = 1; p <= u.hinum[n]; ++p) out(k, "(a,2i5)", "  Hydrodynamic pair", u.hif[n][p], u.hil[n][p]);
    out(k, "(a)", "  Subunit  Residue   Charge    Radius      Eval      Rexv      Sval      Rsol");
    for (int i = u.ifsub[n]; i <= u.ilsub[n]; ++i)
        out(k, "(3x,i4,6x,a4,6f10.3)", i, m.sbres[i].padded(), m.sbchg[i], m.sbrad[i], u.eval[i] * tokcal, u.rexv[i],
            u.sval[i] * tokcal, u.rsol[i]);
}

bool iuedit(Kova& k) {
    MoleculeStore& m = k.mol;
    const int in = k.files.inunit;
    UnitStore u = m.units;  // stored at end only when nothing was refused
    bool refused = false, defined = false, print_setup = false;
    int np = 0;
    auto bad = [&](std::string_view text, const std::string& v) {
        msg(k, text, v);
        kvabort(k, serious);
        refused = true;
    };
    auto num = [&](float scale) {
        const float v = getnum(k, in, "Iuedit");
        const float s = v * scale;
        if (!std::isfinite(s)) {
            bad("SERIOUS: iuedit (020) value is not a finite number: ", fmtval(v));
            return 0.0f;
        }
        return s;
    };
    auto term_mode = [&](int& to) {
        const std::string w = getnam(k, in, "Iuedit", 4);
        if (w == "iden") to = 1;
        else if (w == "nide") to = 2;
        else if (w == "pept") to = 3;
        else {
            msg(k, "SERIOUS: iuedit (002) unknown keyword: ", w);
            kvabort(k, serious);
        }
    };
    for (;;) {
        const std::string w = getnam(k, in, "Iuedit");
        const std::string_view w4 = std::string_view(w).substr(0, 4);
        if (w4 == "end") break;
        if (w4 == "prnt" || w4 == "prin") {
            print_setup = true;
            continue;
        }
        if (w4.substr(0, 3) != "num") {
            msg(k, "SERIOUS: iuedit (001) unknown keyword: ", w);
            kvabort(k, serious);
            continue;
        }
        // The pairs given here replace the earlier ones. All are read before
        // the count is checked against the store.
        do np = getint(k, in, "Iuedit"); while (np < 1);
        defined = true;
        for (int p = 1; p <= np; ++p) {
            const int a = getint(k, in, "Iuedit"), b = getint(k, in, "Iuedit");
            if (a < 1 || a > u.nunit || b < 1 || b > u.nunit || a == b)
                bad("SERIOUS: iuedit (021) unit pair is not two different defined units: ",
                    std::to_string(a) + " " + std::to_string(b));
            int hi = 0, exv = 0, sol = 0;
            float hibc = 0.75f, ev = 0.0f, rx = 0.0f, sv = 0.0f, rs = 0.0f;
            for (;;) {
                const std::string s = getnam(k, in, "Iuedit");
                const std::string_view s4 = std::string_view(s).substr(0, 4);
                if (s4 == "end") break;
                if (s4 == "nohi" || s4 == "osee" || s4 == "mdos") {
                    hi = s4 == "nohi" ? 0 : s4 == "osee" ? 1 : 2;
                } else if (s4 == "stic" || s4 == "slip") {
                    hibc = s4 == "stic" ? 0.75f : 0.5f;
                } else if (s4 == "exv") {
                    term_mode(exv);
                } else if (s4 == "soli") {
                    term_mode(sol);
                } else if (s4 == "nexv") {
                    exv = 0;
                } else if (s4 == "nsol") {
                    sol = 0;
                } else if (s4 == "eval") {
                    // Always followed by one value; left out where the
                    // subunits' own values are used.
                    const float v = num(kcal);
                    if (exv >= 2) {
                        msg(k, "SERIOUS: iuedit(003) eval should not be specified",
                            " together with peptide or `nonidentical` assignments");
                        kvabort(k, serious);
                    } else {
                        ev = v;
                    }
                } else if (s4 == "rexv") {
                    const float v = num(1.0f);
                    if (exv >= 2) {
                        msg(k, "Warning: iuedit (004) rexv should not be specified together with peptide or "
                               "`nonidentical` assignments");
                        kvabort(k, warning);
                    } else if (v < 0.0f) {
                        bad("SERIOUS: iuedit (024) negative distance: ", fmtval(v));
                    } else {
                        rx = v;
                    }
                } else if (s4 == "sval") {
                    const float v = num(kcal);
                    if (sol >= 2) {
                        msg(k, "SERIOUS: iuedit(005) sval should not be specified together with peptide or "
                               "`nonidentical` assignments");
                        kvabort(k, serious);
                    } else {
                        sv = v;
                    }
                    msg(k, "Warning: iuedit(006) sval should be specified",
                        " per subunit i.e. half of value in previous version ");
                } else if (s4 == "rsol") {
                    const float v = num(1.0f);
                    if (sol >= 2) {
                        msg(k, "Warning: iuedit(007) rsol should not be specified together with peptide or "
                               "`nonidentical` assignments");
                        kvabort(k, warning);
                    } else if (v < 0.0f) {
                        bad("SERIOUS: iuedit (024) negative distance: ", fmtval(v));
                    } else {
                        rs = v;
                    }
                } else {
                    msg(k, "SERIOUS: Iuedit(010) unknown keyword", s);
                    kvabort(k, serious);
                }
            }
            if (exv >= 2) msg(k, "Excluded volume parameters will be those ", "defined for intraunit interactions");
            if (sol >= 2)
                msg(k, "Side chain/solvent parameters will be those ", "defined for intraunit interactions");
            if (p > maxiup) continue;
            u.iupair1[p] = a, u.iupair2[p] = b, u.hiiu[p] = hi, u.hibciu[p] = hibc;
            u.exviu[p] = exv, u.soliu[p] = sol;
            u.evaliu[p] = ev, u.rexviu[p] = rx, u.svaliu[p] = sv, u.rsoliu[p] = rs;
        }
        if (np > maxiup) bad("SERIOUS: iuedit (022) more than 15 unit pairs: ", std::to_string(np));
    }
    if (refused) return false;
    if (defined) {
        u.nfiun = np;
        // With peptide pair terms, a unit whose own term is off first takes
        // the peptide values for its subunits.
        for (int p = 1; p <= np; ++p)
            for (const int unit : {u.iupair1[p], u.iupair2[p]})
                assign_peptide(k, u, unit, u.exviu[p] == 3 && u.exvmod[unit] == 0,
                               u.soliu[p] == 3 && u.solmod[unit] == 0);
    }
    m.units = u;
    prtiun(k);
    if (print_setup) banner(k, k.bdrun);
    return true;
}

void prtiun(Kova& k) {
    const UnitStore& u = k.mol.units;
    const char* hi[] = {" none", " Oseen", " modified Oseen"};
    for (int p = 1; p <= u.nfiun; ++p) {
        out(k, "(a,i4,a,2i5)", "  Interaction pair", p, " between units", u.iupair1[p], u.iupair2[p]);
        out(k, "(a,a)", "  Hydrodynamic interactions                         : ", hi[std::clamp(u.hiiu[p], 0, 2)]);
        out(k, "(a,f10.3)", "  Boundary factor                                   : ", u.hibciu[p]);
        out(k, "(a,a)", "  Excluded volume term                              : ", mode_name(u.exviu[p]));
        if (u.exviu[p] == 1)
            out(k, "(a,2f10.3)", "  Excluded volume energy and distance               : ", u.evaliu[p] * tokcal,
                u.rexviu[p]);
        out(k, "(a,a)", "  Side chain/solvent term                           : ", mode_name(u.soliu[p]));
        if (u.soliu[p] == 1)
            out(k, "(a,2f10.3)", "  Side chain/solvent energy and distance            : ", u.svaliu[p] * tokcal,
                u.rsoliu[p]);
    }
}

}  // namespace kova
