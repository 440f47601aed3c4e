// cons and check_cons: harmonic restraints on proper dihedrals of the
// topology and on improper dihedrals of four atoms, held by the dihedral and
// improper terms of the energy; and the present restrained angles published
// as command-language variables.
#include <cmath>
#include <string>
#include <vector>

#include "command/commands.hpp"
#include "command/output.hpp"
#include "command/readers.hpp"
#include "command/symbols.hpp"
#include "command/tokens.hpp"
#include "fortio/format.hpp"
#include "mech/mech.hpp"

namespace kova {

namespace {

constexpr int stdout_unit = fortio::UnitTable::stdout_unit;
constexpr float todeg = 0.017453292f;        // degrees to radians
constexpr float perdeg2 = 57.29578f * 57.29578f;  // per degree^2 to per radian^2
constexpr int maxcons = 1500;                // the restraints the variable store can publish

// Elements of the variable name: 0 when there is none, else the entries
// from the name to the next named one.
int extent(const SymbolTable& s, std::string_view name) {
    const int p = s.find(name);
    if (p < 1 || p > s.vari) return 0;
    int n = 1;
    while (p + n <= s.vari && s.varc[size_t(p + n)].empty()) ++n;
    return n;
}

}  // namespace

void cons(Kova& k) {
    Topology& t = k.ff.top;
    const int in = k.files.inunit;
    const char* P = "Cons";
    t.ndcon = t.nicon = 0;
    bool dgiven = false, igiven = false;
    // The angles as entered, for the listing.
    std::vector<float> dang(1), iang(1);
    auto refuse = [&](const std::string& text) {
        msg(k, text);
        kvabort(k, serious);
    };
    for (;;) {
        const std::string w = getnam(k, in, P);
        if (w == "end") break;
        if (w == "dihe") {
            const int n = getint(k, in, P);
            const float fk = getfp(k, in, P), a = getfp(k, in, P);
            if (n < 1 || n > t.ndih) {
                refuse("SERIOUS: CONS(010) dihedral number outside the topology: " + std::to_string(n));
            } else if (!std::isfinite(fk) || !std::isfinite(a) || std::fabs(a) > 1.0e6f) {
                refuse("SERIOUS: CONS(030) force constant and angle must be finite numbers");
            } else if (t.ndcon >= maxdih) {
                refuse("SERIOUS: CONS(040) too many dihedral restraints: " + std::to_string(maxdih));
            } else {
                const int r = ++t.ndcon;
                t.idcon[r] = n, t.kdcon[r] = fk, t.phcon[r] = a * todeg;
                if (int(dang.size()) <= r) dang.resize(size_t(r) + 1);
                dang[size_t(r)] = a;
                dgiven = true;
            }
        } else if (w.substr(0, 4) == "impr") {
            int at[4];
            for (int& a : at) a = getint(k, in, P);
            const float fk = getfp(k, in, P), a = getfp(k, in, P);
            int bad = 0;
            for (int x : at)
                if (bad == 0 && (x < 1 || x > k.mol.natom)) bad = x == 0 ? -1 : x;
            if (bad != 0) {
                refuse("SERIOUS: CONS(020) improper restraint atom outside the molecules: " +
                       std::to_string(bad == -1 ? 0 : bad));
            } else if (!std::isfinite(fk) || !std::isfinite(a) || std::fabs(a) > 1.0e6f) {
                refuse("SERIOUS: CONS(030) force constant and angle must be finite numbers");
            } else if (t.nicon >= maximp) {
                refuse("SERIOUS: CONS(040) too many improper restraints: " + std::to_string(maximp));
            } else {
                const int r = ++t.nicon;
                t.iicon[r] = at[0], t.jicon[r] = at[1], t.kicon[r] = at[2], t.licon[r] = at[3];
                t.kicn[r] = fk, t.psicon[r] = a * todeg;
                if (int(iang.size()) <= r) iang.resize(size_t(r) + 1);
                iang[size_t(r)] = a;
                igiven = true;
            }
        } else if (w == "clear") {
            t.ndcon = t.nicon = 0;
        } else {
            msg(k, "WARNING: CONS(100) unknown keyword: ", w);
            kvabort(k, warning);
        }
    }

    if (dgiven) {
        out(k, "(1x,'Dihedral Constraint Force Constant in kcal/mol/deg**2',' and angle in deg.')");
        out(k, "(5x,'atom',2x,'atom',2x,'atom',2x,'atom',4x,'force   ',4x,'angle',/,5x,' number ',2x,' 1  ',2x,"
               "' 2  ',2x,' 3  ',2x,' 4  ',4x,'constant',/)");
    }
    for (int r = 1; r <= t.ndcon; ++r) {
        const int n = t.idcon[r];
        fwrite(k, stdout_unit, "(1x,a4,3x,i4,3x,i4,2x,i4,2x,i4,2x,i4,2x,f10.5,2x,f10.5)", "Dihe", n, t.idih[n],
               t.jdih[n], t.kdih[n], t.ldih[n], t.kdcon[r], dang[size_t(r)]);
        t.kdcon[r] *= perdeg2;
    }
    if (igiven) {
        out(k, "(1x,'Improper Dihedral constraints, kcal/mol/deg**2')");
        out(k, "(9x,'atom1',2x,'atom2',2x,'atom3',2x,'atom4',3x,'force cnst ',3x,'angle')");
    }
    for (int r = 1; r <= t.nicon; ++r) {
        fwrite(k, stdout_unit, "(1x,a4,3x,i4,3x,i4,3x,i4,3x,i4,3x,f10.5,3x,f10.5)", "Impr", t.iicon[r], t.jicon[r],
               t.kicon[r], t.licon[r], t.kicn[r], iang[size_t(r)]);
        t.kicn[r] *= perdeg2;
    }
    setvar(k, "impr", 0, 0.0);
    setvar(k, "dihe", 0, 0.0);
    if (t.ndcon + t.nicon > maxcons) {
        msg(k, "SERIOUS: cons(000) too many impro constraintsto fit in symbol table");
        kvabort(k, serious);
    }
}

void chkcns(Kova& k) {
    ForceField& ff = k.ff;
    const Topology& t = ff.top;
    // Elements beyond an array's end would land on other variables.
    auto fits = [&](const char* name, int n) {
        if (n == 0 || extent(k.sym, name) >= n) return true;
        msg(k, "SERIOUS: chkcns(010) array not dimensioned to the number of restraints: ", name);
        kvabort(k, serious);
        return false;
    };
    if (fits("impr", t.nicon))
        for (int r = 1; r <= t.nicon; ++r) {
            const int at[4] = {t.iicon[r], t.jicon[r], t.kicon[r], t.licon[r]};
            double c[4][3];
            for (int a = 0; a < 4; ++a) c[a][0] = ff.xd[at[a]], c[a][1] = ff.yd[at[a]], c[a][2] = ff.zd[at[a]];
            setvar(k, "impr", r, cimpro(c[0], c[1], c[2], c[3]));
        }
    if (fits("dihe", t.ndcon))
        for (int r = 1; r <= t.ndcon; ++r) {
            const int n = t.idcon[r];
            double phi;
            if (dhdclc(k, t.idih[n], t.jdih[n], t.kdih[n], t.ldih[n], 2, phi)) setvar(k, "dihe", r, phi);
        }
}

}  // namespace kova
