// Structure-file readers: free- and fixed-format PDB, card and charge-card
// files, and trajectory frames.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
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
        msg(k, std::string("FATAL: ") + routine + "(010) The limit is " + std::to_string(maxatm) +
                   " atoms; build with -DKOVA_MAXATM=<larger number> to raise it.");
        endrun(k, exit_fatal);
    }
}

std::string current_line(const Kova& k) { return std::string(k.tok.text()); }

// The name a reader's messages give its input.
std::string source_name(const Kova& k, int unit) {
    std::string name = k.units.name(unit);
    if (!name.empty()) return name;
    return unit == k.files.inunit ? "#standard input#" : "unit " + std::to_string(unit);
}

// Words of a free-format record, separated by blanks, tabs or commas.
std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> w;
    size_t i = 0;
    auto sep = [](char c) { return c == ' ' || c == '\t' || c == ','; };
    while (i < line.size()) {
        while (i < line.size() && sep(line[i])) ++i;
        size_t j = i;
        while (j < line.size() && !sep(line[j])) ++j;
        if (j > i) w.push_back(line.substr(i, j - i));
        i = j;
    }
    return w;
}

// A word that reads as a number, but not as a finite single-precision one:
// nan, inf, 1e39.
bool nonfinite_word(std::string_view w) {
    std::string s(w);
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || *end != '\0') return false;
    return !std::isfinite(v) || std::fabs(v) > std::numeric_limits<float>::max();
}

// Refuses a value that is not a finite number: names the reader, the file,
// the atom record (or frame) and the value, and applies the SERIOUS stop
// rule. The caller then leaves the record out.
void refuse_nonfinite(Kova& k, const char* routine, const std::string& where, const char* field,
                      std::string_view value) {
    const size_t b = std::min(value.find_first_not_of(' '), value.size());
    msg(k, std::string("SERIOUS: ") + routine + "(030) Non-finite " + field + " in " + where + ": ",
        trimmed(value.substr(b)));
    kvabort(k, serious);
}

// Checks the numeric words of a free-format record, from word `at` (1-based)
// on, named by fields; false (after the message) when one is not finite.
bool finite_words(Kova& k, const char* routine, const std::string& where, std::string_view line, size_t at,
                  std::initializer_list<const char*> fields) {
    const auto w = words(line);
    size_t n = at - 1;
    for (const char* f : fields) {
        if (n < w.size() && nonfinite_word(w[n])) {
            refuse_nonfinite(k, routine, where, f, w[n]);
            return false;
        }
        ++n;
    }
    return true;
}

// Where a value was met: the file and the atom record (counted from 1).
std::string at_record(const std::string& file, int n) { return file + ", atom record " + std::to_string(n); }

// Occupancy of a fixed-format record (columns 55-60); 0 when blank or not a
// finite number. It only ranks alternate locations.
float occupancy(std::string_view line) {
    if (line.size() < 55) return 0.0f;
    std::string s(trimmed(line.substr(54, 6)));
    size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos) return 0.0f;
    char* end = nullptr;
    const float v = std::strtof(s.c_str() + b, &end);
    return *end == '\0' && std::isfinite(v) ? v : 0.0f;
}

// A decoded fixed-format atom record waiting for the choice of alternate
// locations of its residue.
struct FixedAtom {
    AltRecord alt;
    Name4 resnam;
    float x, y, z;
};

}  // namespace

bool same_residue(const AltRecord& a, const AltRecord& b) {
    return a.chain == b.chain && a.resnum == b.resnum && a.icode == b.icode;
}

// Alternate locations. A disordered atom appears once per location, marked
// by a letter in column 17 (with its occupancy); only one location of each
// atom may enter the molecule, or its charge would count several times.
// The choice is made per residue (the consecutive records of one chain,
// residue number and insertion code; the residue name is not part of the
// key, so the variants of a microheterogeneous residue, say SER at location
// A and THR at location B, are alternates of one residue):
//  - a residue without any location letter keeps all its records;
//  - otherwise one location L is chosen for the whole residue: the letter
//    with the highest occupancy (the largest among its records), on equal
//    occupancy the letter that sorts first (A before B);
//  - each atom name then keeps one record: its first record at location L,
//    or, when it has none there, its first record without a letter (atoms
//    common to all locations); records at other locations are skipped.
// So the residue keeps one consistent conformation (or one variant, whole,
// of a microheterogeneous residue) and each atom appears once.
int choose_altlocs(const std::vector<AltRecord>& group, std::vector<char>& keep) {
    const size_t n = group.size();
    keep.assign(n, 1);
    bool any = false;
    float best[256];
    bool seen[256] = {};
    for (const AltRecord& r : group) {
        if (r.alt == ' ') continue;
        const auto c = static_cast<unsigned char>(r.alt);
        if (!seen[c] || r.occ > best[c]) best[c] = r.occ;
        seen[c] = true;
        any = true;
    }
    if (!any) return 0;
    int chosen = -1;
    for (int c = 0; c < 256; ++c)
        if (seen[c] && (chosen < 0 || best[c] > best[chosen])) chosen = c;
    const char loc = static_cast<char>(chosen);
    int skipped = 0;
    for (size_t i = 0; i < n; ++i) {
        const AltRecord& r = group[i];
        bool k = r.alt == loc || r.alt == ' ';
        for (size_t j = 0; k && j < n; ++j) {
            if (j == i || !(group[j].atom == r.atom)) continue;
            if (group[j].alt == loc && (r.alt == ' ' || j < i)) k = false;  // the location L record wins
            if (r.alt == ' ' && group[j].alt == ' ' && j < i) k = false;     // a repeated common record
        }
        keep[i] = k ? 1 : 0;
        skipped += k ? 0 : 1;
    }
    return skipped;
}

bool altloc_fields(std::string_view line, AltRecord& r) {
    std::string rec, atom, alt, res, chain, ins;
    int resnum = 0;
    fortio::ReadResult rr = fortio::format_read_record(
        "(a6,5x,1x,a4,a1,a4,a1,i4,a1)", line,
        {fortio::Chars{&rec, 6}, fortio::Chars{&atom, 4}, fortio::Chars{&alt, 1}, fortio::Chars{&res, 4},
         fortio::Chars{&chain, 1}, &resnum, fortio::Chars{&ins, 1}});
    if (rr.status != fortio::ReadStatus::ok) return false;
    r.atom = fixed_name(atom);
    r.alt = alt.empty() ? ' ' : alt[0];
    r.chain = chain.empty() ? ' ' : chain[0];
    r.resnum = resnum;
    r.icode = ins.empty() ? ' ' : ins[0];
    r.occ = r.alt == ' ' ? 0.0f : occupancy(line);
    return true;
}

AtomTarget molecule_target(MoleculeStore& m) {
    return {m.x.data(), m.y.data(), m.z.data(), m.resnam.data(), m.atnam.data(),
            m.resnum.data(), m.chain.data(), m.chrg.data(), m.radi.data()};
}

AtomTarget reference_target(MoleculeStore& m) {
    // Reference atoms keep coordinates and names only.
    return {m.xref.data(), m.yref.data(), m.zref.data(), m.refresnam.data(), m.refatnam.data(),
            m.refresnum.data(), nullptr, nullptr, nullptr};
}

int pdb(Kova& k, int unit, int first, const AtomTarget& t, int fmt, int* skipped) {
    int slot = first;
    int atomno = 0;
    int nskip = 0;
    const std::string file = source_name(k, unit);
    // Fixed format: the records of the current residue, held until its last
    // record so that one alternate location can be chosen for it.
    std::vector<FixedAtom> group;
    std::vector<AltRecord> alts;
    std::vector<char> keep;
    auto flush = [&] {
        if (group.empty()) return;
        nskip += choose_altlocs(alts, keep);
        for (size_t i = 0; i < group.size(); ++i) {
            if (!keep[i]) continue;
            const FixedAtom& a = group[i];
            check_slot(k, slot, "pdb");
            t.atnam[slot] = a.alt.atom;
            t.resnam[slot] = a.resnam;
            t.resnum[slot] = a.alt.resnum;
            t.x[slot] = a.x;
            t.y[slot] = a.y;
            t.z[slot] = a.z;
            if (t.chain) t.chain[slot] = fixed_name(std::string_view(&a.alt.chain, 1)).c[0];
            ++slot;
        }
        group.clear();
        alts.clear();
    };
    for (;;) {
        getlin(k, unit, "Pdb");
        std::string word = getnam(k, unit, "Pdb");
        if (word == "eof" || word == "end") break;
        std::string_view w4 = std::string_view(word).substr(0, 4);
        if (w4 != "atom" && w4 != "heta") {
            // Header records, TER, MODEL/ENDMDL ...: shown and skipped, so
            // that the atoms of several models are read one after another.
            flush();
            k.units.write(k.files.outunit, " " + current_line(k));
            continue;
        }
        ++atomno;
        if (fmt == 0) {
            check_slot(k, slot, "pdb");
            if (!finite_words(k, "pdb", at_record(file, atomno), k.tok.text(), 6, {"x", "y", "z"})) continue;
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
        if (fmt == 4) check_slot(k, slot, "pdb");
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
        // Columns of each value, for the message that refuses it.
        struct Col {
            float v;
            const char* name;
            size_t at, width;
        };
        const Col cols[] = {{x, "x", 30, 8}, {y, "y", 38, 8}, {z, "z", 46, 8}, {q, "charge", 54, 6}, {r, "radius", 60, 6}};
        bool finite = true;
        for (size_t c = 0; c < (fmt == 4 ? 5u : 3u) && finite; ++c)
            if (!std::isfinite(cols[c].v)) {
                refuse_nonfinite(k, "pdb", at_record(file, atomno), cols[c].name,
                                 std::string_view(line).substr(std::min(cols[c].at, line.size()), cols[c].width));
                finite = false;
            }
        if (!finite) continue;  // the record is skipped
        if (fmt == 1) {
            FixedAtom a{};
            a.alt.atom = fixed_name(atom);
            a.alt.alt = alt.empty() ? ' ' : alt[0];
            a.alt.chain = chain.empty() ? ' ' : chain[0];
            a.alt.resnum = resnum;
            a.alt.icode = ins.empty() ? ' ' : ins[0];
            a.alt.occ = a.alt.alt == ' ' ? 0.0f : occupancy(line);
            a.resnam = fixed_name(res);
            a.x = x, a.y = y, a.z = z;
            // A new residue closes the previous one; a group larger than the
            // atom list cannot fit whatever is chosen from it.
            if (!group.empty() && (!same_residue(alts.back(), a.alt) || group.size() > static_cast<size_t>(maxatm)))
                flush();
            group.push_back(a);
            alts.push_back(a.alt);
            continue;
        }
        t.atnam[slot] = fixed_name(atom);
        t.resnam[slot] = fixed_name(res);
        t.resnum[slot] = resnum;
        t.x[slot] = x;
        t.y[slot] = y;
        t.z[slot] = z;
        if (t.chrg) {
            t.chrg[slot] = q;
            t.radi[slot] = r;
        }
        ++slot;
    }
    flush();
    if (skipped) *skipped = nskip;
    return slot - 1;
}

int card(Kova& k, int unit, int first, const AtomTarget& t) {
    int slot = first;
    bool counted = false;
    int atomno = 0;
    const std::string file = source_name(k, unit);
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
        ++atomno;
        if (!finite_words(k, "card", at_record(file, atomno), line, 5, {"x", "y", "z"})) continue;
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
    int atomno = 0;
    const std::string file = source_name(k, unit);
    for (;;) {
        getlin(k, unit, "Qcard");
        if (getnam(k, unit, "Qcard") != "atom") break;
        check_slot(k, slot, "qcard");
        ++atomno;
        if (!finite_words(k, "qcard", at_record(file, atomno), k.tok.text(), 5, {"x", "y", "z", "charge", "radius"}))
            continue;
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
    // A frame holding a value that is not a finite number is refused whole.
    const std::string file = source_name(k, unit);
    auto finite_frame = [&] {
        static const char* const axis[3] = {"x", "y", "z"};
        for (size_t v = 0; v < frame.size(); ++v) {
            if (std::isfinite(frame[v])) continue;
            const float bad = frame[v];
            const std::string where = file + ", atom " + std::to_string(v / 3 + 1) + " of the frame read";
            refuse_nonfinite(k, "rdtrj", where, axis[v % 3], std::isnan(bad) ? "nan" : bad > 0 ? "inf" : "-inf");
            return false;
        }
        return true;
    };

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
        // Only the frame kept is checked: the frames skipped over are not used.
        if (!std::isfinite(time)) {
            refuse_nonfinite(k, "rdtrj", file + ", the frame read", "time",
                             std::isnan(time) ? "nan" : time > 0 ? "inf" : "-inf");
            return false;
        }
        if (!finite_frame()) return false;
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
    if (!finite_frame()) return false;
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
