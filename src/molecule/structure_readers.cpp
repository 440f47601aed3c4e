// Structure-file readers: free- and fixed-format PDB, card and charge-card
// files, and trajectory frames.
#include <cstring>
#include <vector>

#include "command/mainloop.hpp"
#include "command/output.hpp"
#include "command/readers.hpp"
#include "command/tokens.hpp"
#include "fortio/format.hpp"
#include "molecule/read.hpp"

namespace kova {

namespace {

// Lower-cases a fixed-width name and moves it to the left of its field:
// " CA " becomes "ca  ".
Name4 fixed_name(std::string_view field) {
    std::string s = lcase(field);
    size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    return Name4(std::string_view(s).substr(i));
}

void check_slot(Kova& k, int slot, const char* routine) {
    if (slot > maxatm) {
        msg(k, std::string("FATAL: ") + routine + "(010) Exceded size of atom list.");
        endrun(k, exit_fatal);
    }
}

std::string current_line(const Kova& k) { return std::string(k.tok.text()); }

}  // namespace

AtomTarget molecule_target(MoleculeStore& m) {
    return {m.x.data(), m.y.data(), m.z.data(), m.resnam.data(), m.atnam.data(),
            m.resnum.data(), m.chain.data(), m.chrg.data(), m.radi.data()};
}

AtomTarget reference_target(MoleculeStore& m) {
    // Reference atoms keep coordinates and names only.
    return {m.xref.data(), m.yref.data(), m.zref.data(), m.refresnam.data(), m.refatnam.data(),
            m.refresnum.data(), nullptr, nullptr, nullptr};
}

int pdb(Kova& k, int unit, int first, const AtomTarget& t, int fmt) {
    int slot = first;
    for (;;) {
        getlin(k, unit, "Pdb");
        std::string word = getnam(k, unit, "Pdb");
        if (word == "eof" || word == "end") break;
        std::string_view w4 = std::string_view(word).substr(0, 4);
        if (w4 != "atom" && w4 != "heta") {
            // Header records, TER, MODEL/ENDMDL ...: shown and skipped, so
            // that the atoms of several models are read one after another.
            k.units.write(k.files.outunit, " " + current_line(k));
            continue;
        }
        check_slot(k, slot, "pdb");
        if (fmt == 0) {
            getint(k, unit, "Pdb");  // serial number
            t.atnam[slot] = Name4(getnam(k, unit, "Pdb", 4));
            t.resnam[slot] = Name4(getnam(k, unit, "Pdb", 4));
            t.resnum[slot] = getint(k, unit, "Pdb");
            t.x[slot] = getnum(k, unit, "Pdb");
            t.y[slot] = getnum(k, unit, "Pdb");
            t.z[slot] = getnum(k, unit, "Pdb");
            if (t.chain) t.chain[slot] = ' ';
            ++slot;
            continue;
        }
        // Fixed columns. The serial number and the columns after the stored
        // fields are not decoded: files written with element symbols or
        // large serial numbers there still read.
        std::string line = current_line(k);
        std::string rec, atom, alt, res, chain, ins;
        int resnum = 0;
        float x = 0, y = 0, z = 0, q = 0, r = 0;
        fortio::ReadResult rr;
        if (fmt == 1) {
            rr = fortio::format_read_record(
                "(a6,5x,1x,a4,a1,a4,a1,i4,a1,3x,3f8.3)", line,
                {fortio::Chars{&rec, 6}, fortio::Chars{&atom, 4}, fortio::Chars{&alt, 1}, fortio::Chars{&res, 4},
                 fortio::Chars{&chain, 1}, &resnum, fortio::Chars{&ins, 1}, &x, &y, &z});
        } else {
            rr = fortio::format_read_record(
                "(a6,5x,1x,a4,1x,a4,1x,i4,4x,3f8.3,2f6.4)", line,
                {fortio::Chars{&rec, 6}, fortio::Chars{&atom, 4}, fortio::Chars{&res, 4}, &resnum, &x, &y, &z,
                 &q, &r});
        }
        if (rr.status != fortio::ReadStatus::ok) {
            msg(k, "SERIOUS: pdb(020) Cannot read atom record: ", trimmed(line));
            kvabort(k, serious);
            continue;  // the record is skipped
        }
        t.atnam[slot] = fixed_name(atom);
        t.resnam[slot] = fixed_name(res);
        t.resnum[slot] = resnum;
        t.x[slot] = x;
        t.y[slot] = y;
        t.z[slot] = z;
        if (fmt == 1) {
            if (t.chain) t.chain[slot] = fixed_name(chain).c[0];
        } else if (t.chrg) {
            t.chrg[slot] = q;
            t.radi[slot] = r;
        }
        ++slot;
    }
    return slot - 1;
}

int card(Kova& k, int unit, int first, const AtomTarget& t) {
    int slot = first;
    bool counted = false;
    for (;;) {
        getlin(k, unit, "Card");
        std::string_view line = k.tok.text();
        if (line.substr(0, 3) == "EOF" || line.substr(0, 5) == "BLANK") break;
        if (line[0] == '*') {
            out(k, "(a80)", line);
            continue;
        }
        if (!counted) {
            // The count is shown; the atoms are read up to the first empty line.
            int n = getint(k, unit, "Card");
            out(k, "(1x,a,i5,a)", "Card: Looking for ", n, " atoms.");
            counted = true;
            continue;
        }
        check_slot(k, slot, "card");
        getint(k, unit, "Card");  // atom number
        t.resnum[slot] = getint(k, unit, "Card");
        t.resnam[slot] = Name4(getnam(k, unit, "Card", 4));
        t.atnam[slot] = Name4(getnam(k, unit, "Card", 4));
        t.x[slot] = getnum(k, unit, "Card");
        t.y[slot] = getnum(k, unit, "Card");
        t.z[slot] = getnum(k, unit, "Card");
        ++slot;
    }
    return slot - 1;
}

int qcard(Kova& k, int unit, int first, const AtomTarget& t, int imol) {
    MoleculeStore& m = k.mol;
    m.qmol[imol] = 0.0f;
    int slot = first;
    for (;;) {
        getlin(k, unit, "Qcard");
        if (getnam(k, unit, "Qcard") != "atom") break;
        check_slot(k, slot, "qcard");
        t.resnum[slot] = getint(k, unit, "Qcard");
        t.resnam[slot] = Name4(getnam(k, unit, "Qcard", 4));
        t.atnam[slot] = Name4(getnam(k, unit, "Qcard", 4));
        t.x[slot] = getnum(k, unit, "Qcard");
        t.y[slot] = getnum(k, unit, "Qcard");
        t.z[slot] = getnum(k, unit, "Qcard");
        float q = getnum(k, unit, "Qcard");
        float r = getnum(k, unit, "Qcard");
        if (t.chrg) {
            t.chrg[slot] = q;
            t.radi[slot] = r;
        }
        m.qmol[imol] += q;
        ++slot;
    }
    out(k, "(1x,a,i2,a,f10.5)", "Total Net Charge for molecule ", imol, " = ", m.qmol[imol]);
    return slot - 1;
}

namespace {

bool take_float(const std::vector<std::byte>& rec, size_t at, float& v) {
    if (rec.size() < at + 4) return false;
    std::memcpy(&v, rec.data() + at, 4);
    return true;
}

}  // namespace

bool rdtrj(Kova& k, int unit, int imol, int skip) {
    MoleculeStore& m = k.mol;
    const int first = m.fstatm[imol];
    const int n = m.count(imol);
    bool formatted = k.units.is_formatted(unit);
    out(k, "(1x,a,a1)", "frmt:", k.units.is_open(unit) ? (formatted ? "Y" : "N") : "U");
    if (skip < 1) skip = 1;
    auto warn = [&](const char* text, int severity) {
        msg(k, text);
        kvabort(k, severity);
        return false;
    };
    // A frame is read into this buffer and only then replaces the
    // coordinates: a frame cut short leaves the molecule as it was.
    std::vector<float> frame(3 * static_cast<size_t>(std::max(n, 0)));

    if (!formatted) {
        std::vector<std::byte> rec;
        if (!k.rd.trjhead) {
            fortio::IoStatus st = k.units.read_unformatted(unit, rec);
            if (st == fortio::IoStatus::eof) return warn("WARNING: rdtrj(003) Inappropriate end of file", warning);
            if (st != fortio::IoStatus::ok || rec.size() < 4)
                return warn("WARNING: rdtrj(002) Error reading traj file.", warning);
            std::int32_t nout;
            std::memcpy(&nout, rec.data(), 4);
            k.rd.trjhead = true;
            if (nout != n) {
                msg(k, "SERIOUS: rdtrj(006) Mismatch                                in atom number in rdtrj.");
                msg(k, "imol, lstatm-fstat, nout: " + std::to_string(imol) + " " + std::to_string(n - 1) + " " +
                           std::to_string(nout));
                kvabort(k, serious);
                return false;  // frames of another size cannot be read into this molecule
            }
        }
        float time = 0;
        for (int f = 1; f <= skip; ++f) {
            fortio::IoStatus st = k.units.read_unformatted(unit, rec);
            if (st == fortio::IoStatus::eof) return warn("WARNING: rdtrj(003) Inappropriate end of file", warning);
            if (st != fortio::IoStatus::ok || !take_float(rec, 0, time))
                return warn("WARNING: rdtrj(002) Error reading traj file.", warning);
            for (int i = 0; i < n; ++i) {
                st = k.units.read_unformatted(unit, rec);
                if (st == fortio::IoStatus::eof) return warn("SERIOUS: rdtrj(005) Inappropriate end of file", serious);
                if (st != fortio::IoStatus::ok || !take_float(rec, 0, frame[3 * i]) ||
                    !take_float(rec, 4, frame[3 * i + 1]) || !take_float(rec, 8, frame[3 * i + 2]))
                    return warn("WARNING: rdtrj(004) Error reading traj file", warning);
            }
        }
        for (int i = 0; i < n; ++i) {
            m.x[first + i] = frame[3 * i];
            m.y[first + i] = frame[3 * i + 1];
            m.z[first + i] = frame[3 * i + 2];
        }
        out(k, "(1x,a,f12.6)", "Current time in rdtrj file:", time);
        return true;
    }

    std::string title, rec;
    for (int f = 1; f <= skip; ++f) {
        fortio::IoStatus st = k.units.read(unit, title);
        if (st == fortio::IoStatus::eof) return warn("WARNING: rdtrj(003) Inappropriate end of file", warning);
        if (st != fortio::IoStatus::ok) return warn("WARNING: rdtrj(002) Error reading traj file.", warning);
        for (int i = 0; i < n; ++i) {
            st = k.units.read(unit, rec);
            if (st == fortio::IoStatus::eof) return warn("SERIOUS: rdtrj(005) Inappropriate end of file", serious);
            fortio::ReadResult rr = fortio::format_read_record(
                "(30x,3f8.3)", rec, {&frame[3 * i], &frame[3 * i + 1], &frame[3 * i + 2]});
            if (st != fortio::IoStatus::ok || rr.status != fortio::ReadStatus::ok)
                return warn("WARNING: rdtrj(004) Error reading traj file", warning);
        }
        st = k.units.read(unit, rec);  // the line closing the frame
        if (st == fortio::IoStatus::error) return warn("WARNING: rdtrj(004) Error reading traj file", warning);
    }
    for (int i = 0; i < n; ++i) {
        m.x[first + i] = frame[3 * i];
        m.y[first + i] = frame[3 * i + 1];
        m.z[first + i] = frame[3 * i + 2];
    }
    out(k, "(a80)", title);
    return true;
}

void calccg(MoleculeStore& mol, int m) {
    int a = mol.fstatm[m], b = mol.lstatm[m];
    if (b < a) return;  // no atoms: the centre stays as it was
    double sx = 0, sy = 0, sz = 0;
    for (int i = a; i <= b; ++i) {
        sx += mol.x[i];
        sy += mol.y[i];
        sz += mol.z[i];
    }
    double n = b - a + 1;
    mol.molcx[m] = static_cast<float>(sx / n);
    mol.molcy[m] = static_cast<float>(sy / n);
    mol.molcz[m] = static_cast<float>(sz / n);
}

}  // namespace kova
