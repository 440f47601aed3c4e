// The print command: reads the choice of atoms and the report wanted up to
// end, then produces the report in the print frame.
#include "molecule/print.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>

#include "command/output.hpp"
#include "command/readers.hpp"
#include "elec/elec.hpp"
#include "molecule/prox.hpp"
#include "molecule/select.hpp"

namespace kova {

namespace {

// Largest centre coordinate and half-width of the energy box, Angstrom.
constexpr float maxbox = 1.0e4f;

// Reports, numbered as the listing knows them.
enum Report { none = 0, apar = 1, rpar = 2, mpar = 3, elec_report = 12 };

int atoms(const Kova& k) { return std::min(k.mol.natom, maxatm); }

// A charge or radius field of a listing: the value in f8.3, or the word
// unset, right-aligned, for a value that still holds the unset marker (set
// never ran for the atom or found no entry for it).
std::string field(float v) {
    return v == unset ? std::string("   unset") : fortio::format_write("(f8.3)", {v})[0];
}

void choose_molecule(Kova& k, int mol) {
    MoleculeStore& m = k.mol;
    if (mol < 1 || mol > m.nmol) {
        fwrite(k, k.files.msgunit, "(1x,'WARNING: prt(020) improper molecule number: ',i10)", mol);
        kvabort(k, warning);
        return;
    }
    m.molsel[mol] = 1;
    for (int a = m.fstatm[mol]; a <= std::min(m.lstatm[mol], maxatm); ++a) m.atsel[a] = 1;
}

void atomic_parameters(Kova& k) {
    const MoleculeStore& m = k.mol;
    out(k, "(1x,4x,'Atom',4x,'Residue',7x,'Coordinates(x,y,z)',6x,'Charge',3x,'Radii')");
    double c[3] = {0, 0, 0}, q = 0;
    int n = 0;
    bool qunset = false;  // a charge of the list is unset: the total is too
    for (int a = 1; a <= atoms(k); ++a) {
        if (m.atsel[a] == 0) continue;
        const std::string head = fortio::format_write(
            "(1x,i5,1x,a4,1x,a4,a1,i5,3(1x,f8.3))",
            {std::int64_t{a}, m.atnam[a].padded(), m.resnam[a].padded(),
             std::string_view(m.chain[a] ? &m.chain[a] : " ", 1), std::int64_t{m.resnum[a]}, m.x[a], m.y[a],
             m.z[a]})[0];
        k.units.write(k.files.outunit, head + " " + field(m.chrg[a]) + " " + field(m.radi[a]));
        c[0] += m.x[a], c[1] += m.y[a], c[2] += m.z[a], q += m.chrg[a];
        qunset = qunset || m.chrg[a] == unset;
        ++n;
    }
    if (n > 0)
        for (double& v : c) v /= n;
    out(k, "(1x,a)", "Center of Geometry of this list of Atoms(x,y,z)");
    out(k, "(1x,22x,3(f8.3,1x))", float(c[0]), float(c[1]), float(c[2]));
    out(k, "(1x,a)", "Total Charge of this list of Atoms");
    out(k, "(1x,22x,a8)", qunset ? field(unset) : field(float(q)));
}

// Residues end at a chosen atom whose next atom has another residue
// number. The sums start afresh at every command: a residue left open by
// the last chosen atom is listed at the end rather than carried into the
// next print command.
void residue_parameters(Kova& k) {
    const MoleculeStore& m = k.mol;
    const int n = atoms(k);
    out(k, "(1x,' Residue   Center of Geometry of Residue(x,y,z)   ','Charge')");
    double s[3] = {0, 0, 0}, q = 0, cc[3] = {0, 0, 0}, qt = 0;
    int in_res = 0, nres = 0, last = 0;
    bool qunset = false, qtunset = false;  // an unset charge in the residue, in the list
    auto flush = [&](int a) {
        if (in_res == 0) return;
        const float c[3] = {float(s[0] / in_res), float(s[1] / in_res), float(s[2] / in_res)};
        const std::string head = fortio::format_write(
            "(1x,a4,a1,i5,3(3x,f8.3))",
            {m.resnam[a].padded(), std::string_view(m.chain[a] ? &m.chain[a] : " ", 1), std::int64_t{m.resnum[a]},
             c[0], c[1], c[2]})[0];
        k.units.write(k.files.outunit, head + "      " + (qunset ? field(unset) : field(float(q))));
        for (int d = 0; d < 3; ++d) cc[d] += c[d];
        qt += q;
        qtunset = qtunset || qunset;
        ++nres;
        s[0] = s[1] = s[2] = q = 0;
        in_res = 0;
        qunset = false;
    };
    for (int a = 1; a <= n; ++a) {
        if (m.atsel[a] == 0) continue;
        s[0] += m.x[a], s[1] += m.y[a], s[2] += m.z[a], q += m.chrg[a];
        qunset = qunset || m.chrg[a] == unset;
        ++in_res;
        last = a;
        if (a == n || m.resnum[a + 1] != m.resnum[a]) flush(a);
    }
    flush(last);
    if (nres > 0)
        for (double& v : cc) v /= nres;
    out(k, "(1x,a)", "Center of Center of Geometry of Residues(x,y,z)");
    out(k, "(1x,10x,3(3x,f8.3))", float(cc[0]), float(cc[1]), float(cc[2]));
    out(k, "(1x,a)", "Total Charge on this list of Residues");
    out(k, "(1x,13x,a8)", qtunset ? field(unset) : field(float(qt)));
}

void molecule_parameters(Kova& k) {
    const MoleculeStore& m = k.mol;
    out(k, "(1x,'Molecule',3x,'Coordinates of Center(x,y,z)',7x,'Charge',6x,'Radius')");
    for (int i = 1; i <= std::min(m.nmol, maxmol); ++i) {
        if (m.molsel[i] == 0) continue;
        // The net charge and size are unset while a charge or radius of one
        // of the molecule's atoms is.
        bool qunset = false, runset = false;
        for (int a = std::max(m.fstatm[i], 1); a <= std::min(m.lstatm[i], maxatm); ++a) {
            qunset = qunset || m.chrg[a] == unset;
            runset = runset || m.radi[a] == unset;
        }
        const std::string head =
            fortio::format_write("(1x,i5,3(4x,f8.3))", {std::int64_t{i}, m.molcx[i], m.molcy[i], m.molcz[i]})[0];
        k.units.write(k.files.outunit, head + "    " + (qunset ? field(unset) : field(m.qmol[i])) + "    " +
                                           (runset ? field(unset) : field(m.molsiz[i])));
    }
}

}  // namespace

void prt(Kova& k) {
    MoleculeStore& m = k.mol;
    GridStore& g = k.mess;
    const int in = k.files.inunit;
    for (int a = 1; a <= maxatm; ++a) m.atsel[a] = 0;
    for (int i = 1; i <= maxmol; ++i) m.molsel[i] = 0;
    int report = none;
    std::string report_word;  // a report this build does not produce
    std::string quantity = "energy";
    bool anal = false;
    bool box_refused = false;  // a mask or imas box was refused: no report

    for (;;) {
        const std::string w = getnam(k, in, "Print");
        if (w == "end") break;
        const std::string_view w4 = std::string_view(w).substr(0, 4);
        if (w4 == "sele") {
            sele(k, m.atsel);
            for (int a = 1; a <= maxatm; ++a) g.isel[a] = m.atsel[a];
        } else if (w4 == "prox") {
            prox(k, m.atsel);
            for (int a = 1; a <= maxatm; ++a) g.isel[a] = m.atsel[a];
        } else if (w4 == "mol1") {
            choose_molecule(k, 1);
        } else if (w4 == "mol2") {
            choose_molecule(k, 2);
        } else if (w == "mol" || w4 == "mole") {
            choose_molecule(k, getint(k, in, "Read"));
        } else if (w.substr(0, 3) == "all") {
            for (int a = 1; a <= atoms(k); ++a) m.atsel[a] = 1;
            for (int i = 1; i <= std::min(m.nmol, maxmol); ++i) m.molsel[i] = 1;
        } else if (w4 == "apar" || w4 == "coor") {
            report = apar;
        } else if (w4 == "rpar") {
            report = rpar;
        } else if (w4 == "mpar") {
            report = mpar;
        } else if (w4 == "elec") {
            report = elec_report;
        } else if (w4 == "spar" || w4 == "upar" || w4 == "amul" || w4 == "smul" || w4 == "bsfc" || w4 == "geom" ||
                   w4 == "sasa" || w4 == "srsr" || w4 == "rxnv" || w4 == "dihe") {
            report = -1;
            report_word = std::string(w4);
        } else if (w4 == "mcou") {
            getint(k, in, "Print");
            getint(k, in, "Print");
            report = -1;
            report_word = "mcou";
        } else if (w4 == "orde" || w4 == "nsph" || w4 == "nphi" || w4 == "ncos") {
            const int v = getint(k, in, "Print");
            if (w4 == "nsph") k.prk.nsph = v;
            if (w4 == "orde") k.prk.order = v;
        } else if (w4 == "cent") {
            for (int d = 0; d < 3; ++d) getnum(k, in, "Print");
        } else if (w4 == "srad" || w4 == "rlow" || w4 == "rhig" || w4 == "rdel" || w4 == "rdeh") {
            getnum(k, in, "Print");
        } else if (w4 == "file" || w4 == "stps") {
            getfil(k, in, "Print");
        } else if (w4 == "dime") {
            for (int d = 0; d < 3; ++d) getint(k, in, "Print");
        } else if (w4 == "atnu") {
            for (int d = 0; d < 4; ++d) getint(k, in, "Print");
        } else if (w4 == "iflx" || w4 == "defr" || w4 == "dihn") {
            // Diffusing units, reaction criteria and the topology's dihedrals
            // do not exist in this build.
            msg(k, "ERROR: prt(040) print option not available yet: ", w);
            kvabort(k, error);
            return;
        } else if (w4 == "ener") {
            quantity = "energy";
        } else if (w4 == "forc" || w4 == "qefo") {
            quantity = "qeforc";
        } else if (w4 == "zfor") {
            quantity = "zforce";
        } else if (w4 == "tfor") {
            quantity = "tforce";
        } else if (w4 == "dfor") {
            quantity = "dforce";
        } else if (w4 == "ifor") {
            quantity = "iforce";
        } else if (w4 == "zene") {
            quantity = "zenerg";
        } else if (w4 == "tene") {
            quantity = "tenerg";
        } else if (w4 == "phiw") {
            quantity = "phiwri";
        } else if (w4 == "phis") {
            quantity = "phisav";
        } else if (w4 == "phiz") {
            quantity = "phizer";
        } else if (w4 == "phin") {
            quantity = "phinrg";
        } else if (w4 == "gfor") {
            quantity = "gforce";
        } else if (w4 == "self") {
            quantity = "self";
        } else if (w4 == "fdco") {
            quantity = "fdco";
        } else if (w4 == "anal") {
            anal = true;
        } else if (w4 == "noan") {
            anal = false;
        } else if (w4 == "mask" || w4 == "imas") {
            // The energy box of the full nonlinear energy: centre and
            // half-widths; mask keeps only the box, imas leaves it out. The
            // values become grid indices: a centre beyond 10000 A or a
            // half-width outside 0 to 10000 A (or not a number) is refused,
            // and so is the report, rather than computed on a box that
            // cannot be meant.
            float v[6];
            for (float& d : v) d = getnum(k, in, "Print");
            bool ok = true;
            for (int d = 0; d < 6 && ok; ++d) {
                const bool centre = d < 3;
                if (centre ? std::fabs(v[d]) <= maxbox : v[d] >= 0.0f && v[d] <= maxbox) continue;
                char text[32];
                std::snprintf(text, sizeof text, "%g", static_cast<double>(v[d]));
                msg(k, centre ? "SERIOUS: prt(050) Energy box centre must lie within 10000 A of the origin: "
                              : "SERIOUS: prt(051) Energy box half-width must lie between 0 and 10000 A: ",
                    text);
                ok = false;
            }
            if (!ok) {
                g.energy_switches = {false, false};
                box_refused = true;
                kvabort(k, serious);
                continue;
            }
            for (int d = 0; d < 6; ++d) g.energies[d] = v[d];
            g.energy_switches = {w4 == "mask", w4 == "imas"};
        } else {
            msg(k, "SERIOUS: prt(010) unknown keyword: ", w);
            if (k.flags.bomb <= 3) kvabort(k, serious);
        }
    }

    if (box_refused) return;
    if (report == -1) {
        msg(k, "ERROR: prt(040) report not available yet: ", report_word);
        kvabort(k, error);
        return;
    }
    static const char* const titles[13] = {"",
                                           "PRINTING ATOMIC PARAMETER INFORMATION",
                                           "PRINTING ATOMIC PARAMETER INFORMATION BY RESIDUE",
                                           "PRINTING MOLECULAR PARAMETER INFORMATION",
                                           "", "", "", "", "", "", "", "",
                                           "PRINTING ELECTROSTATICS"};
    out(k, "(1x)");
    out(k, "(1x,a)", "PRINT MODULE");
    if (report != none) out(k, "(1x,a)", titles[report]);
    switch (report) {
        case apar: atomic_parameters(k); break;
        case rpar: residue_parameters(k); break;
        case mpar: molecule_parameters(k); break;
        case elec_report: {
            // The analytic switch of the report chooses the analytic energy
            // for this listing only.
            const bool keep = g.anal;
            g.anal = anal;
            try {
                prtele(k, quantity, k.prk.nsph, m.atsel);
            } catch (...) {
                g.anal = keep;
                throw;
            }
            g.anal = keep;
            break;
        }
        default: break;
    }
    out(k, "(1x)");
    out(k, "(1x)");
}

}  // namespace kova
