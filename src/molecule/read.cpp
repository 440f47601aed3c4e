// The read command: loads molecules, reference structures, B-factor
// weights and grid maps.
#include <cmath>
#include <cstdio>
#include <vector>

#include "command/mainloop.hpp"
#include "command/output.hpp"
#include "command/readers.hpp"
#include "command/tokens.hpp"
#include "elec/gridfile.hpp"
#include "fortio/format.hpp"
#include "molecule/read.hpp"
#include "molecule/read_formats.hpp"
#include "elec/gridfile_dx.hpp"

namespace kova {

namespace {

// Formats 0-4 and 6-7 (5 is a trajectory frame, listed otherwise).
const char* const format_label[8] = {"free format PDB     ", "fixed format PDB    ", "card format         ",
                                     "qcard format        ", "fixed CHARMM PDB    ", "",
                                     "PQR format          ", "mmCIF format        "};
constexpr int fmt_pqr = 6, fmt_cif = 7;

std::string label(std::string_view text) { return pad(text, 52) + ":"; }

bool reserved_unit(int unit) { return unit <= 0 || unit == 5 || unit == 6 || (unit >= 51 && unit <= 70); }

// Settings of one read command.
struct ReadCommand {
    int imol = -1;
    int iref = -1;
    int fmt = 0;
    int unit = 0;
    int skip = 1;
    bool binary = false;
    float meanb = 999.0f;
    int bcol = 2;
    bool exclh = true;
    bool inter = false;
    bool dx = false;  // grid maps in the OpenDX layout
};

// Opens the structure file on the command's unit, unless the lines come from
// the command input. False (after a message) when the file cannot be read.
bool open_input(Kova& k, const ReadCommand& c, const std::string& file) {
    if (c.fmt == fmt_cif && !cif_available()) {
        msg(k, "WARNING: reed(110) mmCIF files cannot be read: the mmCIF reader is not available in this build.",
            " Read command aborted.");
        kvabort(k, warning);
        return false;
    }
    if (c.fmt == fmt_cif && c.inter) {
        msg(k, "WARNING: reed(115) mmCIF structures are read from a file, not from the command input.",
            " Read command aborted.");
        kvabort(k, warning);
        return false;
    }
    if (c.inter) return true;
    if (reserved_unit(c.unit)) {
        msg(k, "SERIOUS: reed(035) unit number reserved by the program: ", std::to_string(c.unit));
        kvabort(k, serious);
        return false;
    }
    std::string why;
    if (!k.units.open(c.unit, file, fortio::OpenStatus::old_file, fortio::Form::formatted, &why)) {
        msg(k, "SERIOUS: reed(030) Unable to open file: ", file, " (" + why + "). Read command aborted.");
        kvabort(k, serious);
        return false;
    }
    return true;
}

// Runs a reader on the command's unit with the command tokenizer state saved.
template <class F>
int with_input(Kova& k, const ReadCommand& c, F&& reader) {
    if (c.inter) return reader(k.files.inunit);
    pushgt(k);
    int last = reader(c.unit);
    popgt(k);
    k.units.close(c.unit);
    return last;
}

void listing_head(Kova& k, const char* what, const char* number_label, int number, const std::string& file,
                  int fmt) {
    k.units.write(k.files.outunit, "");
    out(k, "(1x,a)", "READ MODULE");
    out(k, "(1x,a)", what);
    out(k, "(1x,a,i10)", label(number_label), number);
    out(k, "(1x,a,a20)", label("  Coordinate file"), pad(file, linlen));
    if (fmt >= 0 && fmt <= 7 && fmt != 5) out(k, "(1x,a,a20)", label("  File format"), format_label[fmt]);
}

// The count of alternate-location records left out, shown only when there
// were some.
void skipped_line(Kova& k, int skipped) {
    if (skipped > 0) out(k, "(1x,a,i10)", label("  Alternate locations skipped"), skipped);
}

void read_molecule(Kova& k, const ReadCommand& c, const std::string& file) {
    MoleculeStore& m = k.mol;
    const int imol = c.imol;
    if (imol < 0) {
        msg(k, "Cannot use imol < 0");
        endrun(k, exit_fatal);
    }
    if (imol == 0) {
        // Molecules are numbered from 1: slot 0 does not exist.
        msg(k, "Cannot use imol < 1");
        endrun(k, exit_fatal);
    }
    bool reread = imol <= m.nmol;
    if (reread) {
        msg(k, "NOTE: reed(050) Overwriting molecule ", fortio::format_write("(i1)", {std::int64_t{imol}})[0]);
        kvabort(k, note);
    } else if (imol > m.nmol + 1) {
        fwrite(k, k.files.msgunit, "(1x,'WARNING: reed(040) Only ',i1,' molecules previously read.',' Read command aborted.')",
            m.nmol);
        kvabort(k, warning);
        return;
    } else if (m.nmol == maxmol) {
        fwrite(k, k.files.msgunit, "(1x,'WARNING: reed(060) Maximum number of molecules reached','. Read command aborted.')");
        kvabort(k, warning);
        return;
    }
    if (c.fmt == 5 && !reread) {
        // A frame can only replace the coordinates of a molecule already read.
        msg(k, "WARNING: rdtrj(001) imol exceeds nmol.");
        kvabort(k, warning);
        return;
    }
    if (c.fmt == 3 && imol > 2) {
        msg(k, "WARNING: reed(090) Charge card files are read for molecules 1 and 2 only.",
            " Read command aborted.");
        kvabort(k, warning);
        return;
    }
    if (c.fmt != 5 && !open_input(k, c, file)) return;

    listing_head(k, "READ COORDINATES", "  Molecule number", imol, file, c.fmt);
    k.files.molfile[imol] = file;
    if (!reread) {
        ++m.nmol;
        m.fstatm[m.nmol] = m.nmol == 1 ? 1 : m.lstatm[m.nmol - 1] + 1;
    }
    const int first = m.fstatm[imol];
    AtomTarget t = molecule_target(m);
    int last = first - 1;
    int skipped = 0;
    switch (c.fmt) {
        case 0:
        case 1:
        case 4: last = with_input(k, c, [&](int u) { return pdb(k, u, first, t, c.fmt, &skipped); }); break;
        case 2: last = with_input(k, c, [&](int u) { return card(k, u, first, t); }); break;
        case 3: last = with_input(k, c, [&](int u) { return qcard(k, u, first, t, imol); }); break;
        case fmt_pqr: last = with_input(k, c, [&](int u) { return pqr(k, u, first, t, imol, &skipped); }); break;
        case fmt_cif: last = with_input(k, c, [&](int) { return cif(k, file, first, t, &skipped); }); break;
        case 5:
            if (reserved_unit(c.unit)) {
                msg(k, "SERIOUS: reed(035) unit number reserved by the program: ", std::to_string(c.unit));
                kvabort(k, serious);
                return;
            }
            if (!rdtrj(k, c.unit, imol, c.skip)) return;
            last = m.lstatm[imol];
            break;
    }

    if (reread) {
        if (last != m.lstatm[imol]) {
            auto num = [](int v) { return std::to_string(v); };
            msg(k, "discrepancy in molecule reread.");
            msg(k, "re-reading molecule " + num(imol));
            msg(k, "fstatm(" + num(imol) + "): " + num(m.fstatm[imol]));
            msg(k, "lstatm(" + num(imol) + "): " + num(m.lstatm[imol]));
            msg(k, "starting atom for reread: " + num(first));
            msg(k, "ending atom for reread: " + num(last));
            endrun(k, exit_fatal);
        }
        skipped_line(k, skipped);
        return;
    }
    // A new molecule; a file without atoms leaves an empty range.
    m.lstatm[imol] = last;
    m.natom = last;
    m.natmd = last;
    if (last >= first) {
        out(k, "(1x,a,i10)", label("  Atoms read"), last - first + 1);
        skipped_line(k, skipped);
        calccg(m, imol);
    } else {
        msg(k, "WARNING: reed(100) No atoms found in file: ", file);
        kvabort(k, warning);
    }
    k.units.write(k.files.outunit, "");
    k.units.write(k.files.outunit, "");
}

void read_reference(Kova& k, const ReadCommand& c, const std::string& file) {
    MoleculeStore& m = k.mol;
    const int iref = c.iref;
    if (iref < 0) {
        msg(k, "Cannot use iref < 0");
        endrun(k, exit_fatal);
    }
    if (iref == 0) {
        msg(k, "Cannot use iref < 1");
        endrun(k, exit_fatal);
    }
    if (iref <= m.nref) {
        msg(k, "Cannot overwrite reference structure " + std::to_string(iref));
        endrun(k, exit_fatal);
    }
    if (iref > m.nref + 1) {
        out(k,
            "(1x,'WARNING: reed(040) Only ',i1,' reference structures previously read.',' Read command aborted.')",
            m.nref);
        kvabort(k, warning);
        return;
    }
    if (m.nref == maxref) {
        fwrite(k, k.files.msgunit, "(1x,'WARNING: reed(060) Maximum number of molecules reached','. Read command aborted.')");
        kvabort(k, warning);
        return;
    }
    if (c.fmt == 5) {
        msg(k, "Cannot read reference structure from traj file.");
        endrun(k, exit_fatal);
    }
    if (c.fmt == 3) {
        msg(k, "WARNING: reed(095) A reference structure cannot be read from a charge card file.",
            " Read command aborted.");
        kvabort(k, warning);
        return;
    }
    if (!open_input(k, c, file)) return;
    listing_head(k, "READ COORDINATES", "  Reference number", iref, file, c.fmt);
    ++m.nref;
    m.reffst[m.nref] = m.nref == 1 ? 1 : m.reflst[m.nref - 1] + 1;
    const int first = m.reffst[m.nref];
    AtomTarget t = reference_target(m);
    int last;
    int skipped = 0;
    if (c.fmt == 2)
        last = with_input(k, c, [&](int u) { return card(k, u, first, t); });
    else if (c.fmt == fmt_pqr)
        last = with_input(k, c, [&](int u) { return pqr(k, u, first, t, 0, &skipped); });
    else if (c.fmt == fmt_cif)
        last = with_input(k, c, [&](int) { return cif(k, file, first, t, &skipped); });
    else
        last = with_input(k, c, [&](int u) { return pdb(k, u, first, t, c.fmt, &skipped); });
    m.reflst[m.nref] = last;
    m.refalt[m.nref] = skipped;
    for (int i = first; i <= last; ++i) m.bfac[i] = 1.0f;
    if (last >= first) out(k, "(1x,a,i10)", label("  Atoms read"), last - first + 1);
    skipped_line(k, skipped);
    k.units.write(k.files.outunit, "");
    k.units.write(k.files.outunit, "");
}

void read_bfactors(Kova& k, const ReadCommand& c, const std::string& file) {
    MoleculeStore& m = k.mol;
    const int iref = c.iref;
    if (iref < 1) {
        msg(k, "Cannot read bfactors for iref < " + std::string(iref < 0 ? "0" : "1"));
        endrun(k, exit_fatal);
    }
    if (iref > m.nref) {
        msg(k, "Must read coordinates for reference " + std::to_string(iref));
        msg(k, "before reading b factors.");
        endrun(k, exit_fatal);
    }
    if (!open_input(k, c, file)) return;
    const int first = m.reffst[iref], last = m.reflst[iref];
    int atoms = 0, counted = 0;
    double sum = 0;
    std::vector<float> b;  // the B-factors (0 for excluded hydrogens) in reference order
    // When alternate locations were left out of the reference, the same
    // records are left out here: the lines of each residue are held and
    // chosen by the rule of the structure reader.
    const bool altlocs = m.refalt[iref] > 0;
    struct Pending {
        float v;
        bool counted;
    };
    std::vector<Pending> held;
    std::vector<AltRecord> alts;
    std::vector<char> keep;
    auto take = [&](float v, bool count) {
        ++atoms;
        if (count) {
            ++counted;
            sum += v;
        }
        b.push_back(v);
    };
    auto flush = [&] {
        if (held.empty()) return;
        choose_altlocs(alts, keep);
        for (size_t i = 0; i < held.size(); ++i)
            if (keep[i]) take(held[i].v, held[i].counted);
        held.clear();
        alts.clear();
    };
    auto add = [&](const std::string& line, float v, bool count) {
        if (!altlocs) return take(v, count);
        AltRecord r;
        if (!altloc_fields(line, r)) {
            // Not a fixed-format record: a residue of its own.
            flush();
            return take(v, count);
        }
        if (!held.empty() && !same_residue(alts.back(), r)) flush();
        held.push_back({v, count});
        alts.push_back(r);
    };
    auto read_lines = [&](int unit) {
        for (;;) {
            getlin(k, unit, "Bfac");
            std::string line(k.tok.text());
            auto words = split(line);
            if (words.empty()) continue;
            auto word = [&](size_t n) {
                auto [a, z] = words[n - 1];
                return line.substr(a - 1, z - a + 1);
            };
            std::string w1 = lcase(word(1));
            if (w1.substr(0, 3) == "eof" || w1.substr(0, 3) == "end") break;
            if (w1 != "atom" && w1 != "hetatm") {
                flush();
                continue;
            }
            if (words.size() < 3) {
                msg(k, "SERIOUS: reed(3001) Cannot read element name from pdb");
                kvabort(k, serious);
                continue;
            }
            char e = word(3)[0];
            if ((e == 'h' || e == 'H') && c.exclh) {
                add(line, 0.0f, false);
                continue;
            }
            float v = 0;
            size_t col = static_cast<size_t>(c.bcol) + 8;
            bool ok = c.bcol >= 1 && words.size() >= col;
            if (ok) {
                std::string text = word(col);
                auto rr = fortio::list_read(
                    [&, done = false](std::string& r) mutable {
                        if (done) return false;
                        r = text;
                        done = true;
                        return true;
                    },
                    {&v});
                ok = rr.status == fortio::ReadStatus::ok && std::isfinite(v);
            }
            if (!ok) {
                fwrite(k, k.files.msgunit, "(1x,'SERIOUS: reed(2001) Cannot read B-factor ','as requested')");
                kvabort(k, serious);
                continue;
            }
            add(line, v, true);
        }
        flush();
        return 0;
    };
    with_input(k, c, read_lines);
    if (atoms != last - first + 1) {
        msg(k, "Problem reading b factors");
        msg(k, "Number of b factors read does not");
        msg(k, "equal number of atoms in reference");
        msg(k, "structure");
        endrun(k, exit_fatal);
    }
    float meanb = c.meanb;
    // Without any counted atom there is no mean; every weight is then 0.
    if (meanb == 999.0f && counted > 0) meanb = static_cast<float>(sum / counted);
    // A weight that is not a finite number (a B-factor too close to 0 for
    // the mean) refuses the whole set: the weights stay as they were.
    for (int i = first; i <= last; ++i) {
        const float bi = b[static_cast<size_t>(i - first)];
        const float w = bi != 0.0f ? meanb / bi : 0.0f;
        if (!std::isfinite(w)) {
            char text[32];
            std::snprintf(text, sizeof text, "%g", static_cast<double>(bi));
            msg(k, "SERIOUS: reed(2002) B-factor weight not finite for reference atom " +
                       std::to_string(i - first + 1) + " in " + file + ": B = ",
                text);
            kvabort(k, serious);
            return;
        }
    }
    for (int i = first; i <= last; ++i) {
        float bi = b[static_cast<size_t>(i - first)];
        m.bfac[i] = bi != 0.0f ? meanb / bi : 0.0f;
        out(k, "(3f8.3,2x,e8.2)", m.xref[i], m.yref[i], m.zref[i], m.bfac[i]);
    }
}

// Reads a potential (type grid) or a staggered permittivity map (epsi,
// epsj, epsk) and installs the geometry of the file as the current grid.
void read_grid(Kova& k, const ReadCommand& c, const std::string& type, const std::string& file) {
    GridStore& g = k.mess;
    // Which map, and the factor its file values were written with.
    const bool phi = type == "grid";
    float* map = phi ? g.phi.data() : type == "epsi" ? g.epsi.data() : type == "epsj" ? g.epsj.data() : g.epsk.data();
    const float scale = phi ? 0.0023900573f : 1745898.875f;
    const std::string& kind = phi ? k.rd.gridkind : type;
    k.units.write(k.files.outunit, "");
    out(k, "(1x,a)", "READ MODULE");
    out(k, "(1x,a)", "READ GRID");
    out(k, "(1x,a,a20)", label("  Grid type"), pad(kind, linlen));
    out(k, "(1x,a,a20)", label("  Grid file"), pad(file, linlen));
    if (c.dx) out(k, "(1x,a,a20)", label("  Grid file format"), pad("OpenDX", linlen));
    std::string title;
    int grdflg = 0;
    // An OpenDX potential is in kT/e at the temperature of the elec settings.
    const bool read = c.dx ? inpdx(k, file, k.files.rdunit, g.nx, g.ny, g.nz, g.h, g.xo, g.yo, g.zo, map, maxgrid,
                                   phi ? 1.0 / (double(gasconst) * k.env.temp) : double(scale), k.files.msgunit)
                           : inpgrd(k, file, k.files.rdunit, c.binary ? 0 : 1, title, g.nx, g.ny, g.nz, g.h, g.xo,
                                    g.yo, g.zo, grdflg, map, maxgrid, scale, k.files.msgunit);
    if (!read) {
        msg(k, "ERROR: reed(075) Grid not read; the grid store is unchanged.");
        kvabort(k, error);
        return;
    }
    g.update_counts();
    if (phi) {
        g.hold = g.h;
        g.xoold = g.xo, g.yoold = g.yo, g.zoold = g.zo;
        g.nxold = g.nx, g.nyold = g.ny, g.nzold = g.nz;
    } else {
        // The file places the staggered values at their true positions, half
        // a step along the map's axis; the grid itself starts half a step
        // earlier.
        float& o = type == "epsi" ? g.xo : type == "epsj" ? g.yo : g.zo;
        o -= g.h / 2.0f;
        g.hrep = g.h;
        g.xorep = g.xo, g.yorep = g.yo, g.zorep = g.zo;
        g.nxrep = g.nx, g.nyrep = g.ny, g.nzrep = g.nz;
    }
    out(k, "(1x,a,i3,',',i3,',',i3)", label("  Grid dimensions"), g.nx, g.ny, g.nz);
    out(k, "(1x,a,f10.3,'  A'/54x,f10.3,'  A'/54x,f10.3,'  A')", label("  Grid origin"), g.xo, g.yo, g.zo);
    out(k, "(1x,a,f10.3,'  A')", label("  Grid spacing"), g.h);
    if (phi) {
        fwrite(k, k.files.msgunit,
               "(1x,'NOTE: reed(070) Run \"elec setup samegrid\" ','to complete grid setup.')");
    } else {
        msg(k, "NOTE: reed(070) Use samegrid on elec command line");
        msg(k, "to complete grid setup, or use reps keyword on elec ");
        msg(k, "command line to reuse epsilon grids.");
    }
    kvabort(k, note);
}

}  // namespace

void reed(Kova& k) {
    ReadCommand c;
    c.unit = k.files.rdunit;
    ReadState& s = k.rd;
    const int in = k.files.inunit;
    for (;;) {
        std::string w = getnam(k, in, "Read");
        if (w == "end") break;
        std::string_view w4 = std::string_view(w).substr(0, 4);
        if (w4 == "mol1" || w4 == "mol2") {
            s.type = "coor";
            c.imol = w4[3] - '0';
        } else if (w4 == "mol" || w4 == "mole") {
            s.type = "coor";
            c.imol = getint(k, in, "Read");
        } else if (w4 == "coor") {
            s.type = "coor";
        } else if (w4.substr(0, 3) == "ref") {
            s.type = "ref";
            c.iref = getint(k, in, "Read");
        } else if (w4 == "bfac") {
            s.type = "bfac";
            c.iref = getint(k, in, "Read");
        } else if (w4 == "bsca" || w4 == "bmea") {
            s.type = "bfac";
            c.meanb = getnum(k, in, "Read");
        } else if (w4 == "bcol") {
            c.bcol = getint(k, in, "Read");
        } else if (w4 == "hinc") {
            c.exclh = false;
        } else if (w4 == "grid") {
            s.type = "grid";
        } else if (w == "phi") {
            s.type = "grid";
            s.gridkind = "phi";
        } else if (w == "epsi" || w == "epsj" || w == "epsk") {
            s.type = w;
        } else if (w == "ascii" || w == "binary") {
            c.binary = w == "binary";
            c.dx = false;
        } else if (w == "dx") {
            c.dx = true;
        } else if (w == "file") {
            s.file = getfil(k, in, "Read");
            c.inter = false;
        } else if (w == "inter") {
            c.inter = true;
            c.unit = in;
            s.file = "#standard input#";
        } else if (w == "pdb" || w == "fpdb" || w == "card" || w == "qcard" || w == "qpdb" || w == "traj" ||
                   w == "pqr" || w == "cif") {
            static const char* const names[8] = {"pdb", "fpdb", "card", "qcard", "qpdb", "traj", "pqr", "cif"};
            for (int f = 0; f < 8; ++f)
                if (w == names[f]) c.fmt = f;
        } else if (w == "skip") {
            c.skip = getint(k, in, "Reed");
        } else if (w == "unit") {
            c.unit = getint(k, in, "Read");
            c.inter = false;
        } else {
            msg(k, "SERIOUS: reed(020) unknown keyword: ", w);
            kvabort(k, serious);
        }
    }

    std::string file(trimmed(s.file));
    if (file.empty()) {
        fwrite(k, k.files.msgunit, "(1x,'WARNING: reed(025) No file specified.',' Read command aborted.')");
        kvabort(k, warning);
        return;
    }
    if (s.type == "coor") {
        read_molecule(k, c, file);
    } else if (s.type == "ref") {
        read_reference(k, c, file);
    } else if (s.type == "bfac") {
        read_bfactors(k, c, file);
    } else if (s.type == "grid" || s.type == "epsi" || s.type == "epsj" || s.type == "epsk") {
        read_grid(k, c, s.type, file);
    } else {
        fwrite(k, k.files.msgunit, "(1x,'WARNING: reed(080) Read type not specified.',' Read command aborted.')");
        kvabort(k, warning);
    }
}

}  // namespace kova
