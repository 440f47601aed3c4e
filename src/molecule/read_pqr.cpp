// The PQR reader: atom records with a charge and a radius, as
// structure-preparation tools write them. Fields are separated by blanks;
// the chain identifier may be missing; the charge and the radius are the
// last two numbers, after the three coordinates.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include "command/mainloop.hpp"
#include "command/output.hpp"
#include "command/tokens.hpp"
#include "molecule/read.hpp"
#include "molecule/read_formats.hpp"

namespace kova {

namespace {

// Words of a record, separated by blanks or tabs, with where each starts.
struct Word {
    std::string_view text;
    size_t at;
};
std::vector<Word> blank_words(std::string_view line) {
    std::vector<Word> w;
    size_t i = 0;
    auto sep = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (i < line.size()) {
        while (i < line.size() && sep(line[i])) ++i;
        size_t j = i;
        while (j < line.size() && !sep(line[j])) ++j;
        if (j > i) w.push_back({line.substr(i, j - i), i});
        i = j;
    }
    return w;
}

// A word that is a whole number: true with its value in v.
bool whole_number(std::string_view s, double& v) {
    if (s.empty()) return false;
    std::string t(s);
    char* end = nullptr;
    v = std::strtod(t.c_str(), &end);
    return end != t.c_str() && *end == '\0';
}

bool all_digits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

// Residue number with an optional insertion code after it ("52", "52A",
// "-3"); false when the word is neither.
bool residue_number(std::string_view s, int& num, char& icode) {
    icode = ' ';
    if (!s.empty() && std::isalpha(static_cast<unsigned char>(s.back()))) {
        icode = s.back();
        s.remove_suffix(1);
    }
    std::string_view digits = s;
    if (!digits.empty() && digits[0] == '-') digits.remove_prefix(1);
    if (!all_digits(digits) || digits.size() > 9) return false;
    num = std::atoi(std::string(s).c_str());
    return true;
}

// The record of a residue waiting for the choice of alternate locations.
struct PqrAtom {
    AltRecord alt;
    Name4 resnam;
    float x, y, z, q, r;
};

}  // namespace

bool pqr_fields(std::string_view line, PqrRecord& p) {
    std::vector<Word> w = blank_words(line);
    if (w.empty()) return false;
    std::string rec = lcase(w[0].text);
    size_t next = 1;
    // HETATM10000: a serial number of five digits joins the record name.
    for (const char* name : {"atom", "hetatm"}) {
        const std::string_view n(name);
        if (rec.size() > n.size() && rec.compare(0, n.size(), n) == 0 && all_digits(rec.substr(n.size()))) {
            rec = std::string(n);
            --next;  // the serial number is part of the first word
        }
    }
    if (rec != "atom" && rec != "hetatm") return false;
    next += 1;  // the serial number
    if (w.size() < next + 3 + 5) return false;
    const size_t nhead = w.size() - next - 5;  // name, residue, [chain], number
    if (nhead != 3 && nhead != 4) return false;
    const Word& name = w[next];
    Word res = w[next + 1];
    p.alt = ' ';
    // A location letter in column 17 joins the residue name that follows it.
    if (res.text.size() == 4 && res.at == 16 && std::isalpha(static_cast<unsigned char>(res.text[0]))) {
        p.alt = res.text[0];
        res.text.remove_prefix(1);
    }
    if (name.text.size() > 4 || res.text.size() > 4) return false;
    p.atom = std::string(name.text);
    p.resnam = std::string(res.text);
    p.chain = ' ';
    std::string_view num = w[next + 2].text;
    if (nhead == 4) {
        if (w[next + 2].text.size() != 1) return false;
        p.chain = w[next + 2].text[0];
        num = w[next + 3].text;
    } else if (num.size() > 1 && std::isalpha(static_cast<unsigned char>(num[0])) &&
               std::isdigit(static_cast<unsigned char>(num[1]))) {
        // A chain letter joined to a residue number of four digits: "A1000".
        p.chain = num[0];
        num.remove_prefix(1);
    }
    if (!residue_number(num, p.resnum, p.icode)) return false;
    const size_t at = w.size() - 5;
    for (size_t c = 0; c < 5; ++c) {
        p.text[c] = w[at + c].text;
        if (!whole_number(p.text[c], p.value[c])) return false;
    }
    return true;
}

int pqr(Kova& k, int unit, int first, const AtomTarget& t, int imol, int* skipped) {
    MoleculeStore& m = k.mol;
    if (imol > 0) m.qmol[imol] = 0.0f;
    int slot = first;
    int atomno = 0;
    int nskip = 0;
    const std::string file = reader_source(k, unit);
    std::vector<PqrAtom> group;
    std::vector<AltRecord> alts;
    std::vector<char> keep;
    auto flush = [&] {
        if (group.empty()) return;
        nskip += choose_altlocs(alts, keep);
        for (size_t i = 0; i < group.size(); ++i) {
            if (!keep[i]) continue;
            const PqrAtom& a = group[i];
            reader_slot(k, slot, "pqr");
            t.atnam[slot] = a.alt.atom;
            t.resnam[slot] = a.resnam;
            t.resnum[slot] = a.alt.resnum;
            t.x[slot] = a.x;
            t.y[slot] = a.y;
            t.z[slot] = a.z;
            if (t.chain) t.chain[slot] = static_cast<char>(std::tolower(static_cast<unsigned char>(a.alt.chain)));
            if (t.chrg) {
                t.chrg[slot] = a.q;
                t.radi[slot] = a.r;
            }
            if (imol > 0) m.qmol[imol] += a.q;
            ++slot;
        }
        group.clear();
        alts.clear();
    };
    for (;;) {
        getlin(k, unit, "Pqr");
        const std::string line(k.tok.text());
        if (k.tok.ateof) break;
        std::vector<Word> w = blank_words(line);
        if (w.empty()) continue;
        const std::string w1 = lcase(w[0].text);
        if (w1 == "end" || w1 == "eof") break;
        if (w1.compare(0, 4, "atom") != 0 && w1.compare(0, 6, "hetatm") != 0) {
            // Remarks, TER, MODEL/ENDMDL ...: shown and skipped, as the PDB
            // readers do.
            flush();
            k.units.write(k.files.outunit, " " + std::string(trimmed(line)));
            continue;
        }
        ++atomno;
        PqrRecord p;
        if (!pqr_fields(line, p)) {
            msg(k, "SERIOUS: pqr(020) Cannot read atom record: ", trimmed(line));
            kvabort(k, serious);
            continue;  // the record is skipped
        }
        static const char* const field[5] = {"x", "y", "z", "charge", "radius"};
        bool finite = true;
        for (size_t c = 0; c < 5 && finite; ++c)
            if (!std::isfinite(p.value[c]) || std::fabs(p.value[c]) > std::numeric_limits<float>::max()) {
                reader_nonfinite(k, "pqr", file + ", atom record " + std::to_string(atomno), field[c], p.text[c]);
                finite = false;
            }
        if (!finite) continue;
        PqrAtom a{};
        a.alt.atom = Name4(lcase(p.atom));
        a.alt.alt = p.alt;
        a.alt.chain = p.chain;
        a.alt.resnum = p.resnum;
        a.alt.icode = p.icode;
        a.alt.occ = 0.0f;  // no occupancy column: the first location letter wins
        a.resnam = Name4(lcase(p.resnam));
        a.x = static_cast<float>(p.value[0]);
        a.y = static_cast<float>(p.value[1]);
        a.z = static_cast<float>(p.value[2]);
        a.q = static_cast<float>(p.value[3]);
        a.r = static_cast<float>(p.value[4]);
        if (!group.empty() && (!same_residue(alts.back(), a.alt) || group.size() > static_cast<size_t>(maxatm)))
            flush();
        group.push_back(a);
        alts.push_back(a.alt);
    }
    flush();
    if (skipped) *skipped = nskip;
    if (imol > 0)
        out(k, "(1x,a,i2,a,f10.5)", "Total Net Charge for molecule ", imol, " = ", m.qmol[imol]);
    return slot - 1;
}

// Shared by the readers of this file and of the mmCIF reader.
std::string reader_source(const Kova& k, int unit) {
    std::string name = k.units.name(unit);
    if (!name.empty()) return name;
    return unit == k.files.inunit ? "#standard input#" : "unit " + std::to_string(unit);
}

void reader_slot(Kova& k, int slot, const char* routine) {
    if (slot > maxatm) {
        msg(k, std::string("FATAL: ") + routine + "(010) Exceded size of atom list.");
        msg(k, std::string("FATAL: ") + routine + "(010) The limit is " + std::to_string(maxatm) +
                   " atoms; build with -DKOVA_MAXATM=<larger number> to raise it.");
        endrun(k, exit_fatal);
    }
}

void reader_nonfinite(Kova& k, const char* routine, const std::string& where, const char* field,
                      std::string_view value) {
    msg(k, std::string("SERIOUS: ") + routine + "(030) Non-finite " + field + " in " + where + ": ", trimmed(value));
    kvabort(k, serious);
}


// ---------------------------------------------------------------------------
// Standard-aligned PDB records (and PQR records) of the atoms chosen for the
// coordinate writer.

namespace {

// Residues written as ATOM records; every other residue (water, ions,
// ligands, modified residues) as HETATM.
bool standard_residue(std::string_view r) {
    static const char* const names[] = {"ALA", "ARG", "ASN", "ASP", "CYS", "GLN", "GLU", "GLY", "HIS", "ILE",
                                        "LEU", "LYS", "MET", "PHE", "PRO", "SER", "THR", "TRP", "TYR", "VAL",
                                        "HID", "HIE", "HIP", "HSD", "HSE", "HSP", "CYX", "ASH", "GLH", "LYN",
                                        "DA",  "DC",  "DG",  "DT",  "A",   "C",   "G",   "U"};
    for (const char* n : names)
        if (r == n) return true;
    return false;
}

// Element symbol of an atom (upper case, 1 or 2 letters): a two-letter
// element for ions named like their residue (ZN in ZN, CA in CA) and for
// the metals and halogens that no residue of a protein or a nucleic acid
// starts an atom name with; otherwise the first letter of the name.
std::string element_of(std::string_view atom, std::string_view res) {
    static const char* const two[] = {"SE", "FE", "ZN", "MG", "MN", "CU", "BR", "CL", "NA", "CA", "CO", "NI", "CD",
                                      "HG", "LI", "RB", "CS", "SR", "BA", "AL"};
    size_t b = 0;
    while (b < atom.size() && std::isdigit(static_cast<unsigned char>(atom[b]))) ++b;
    atom.remove_prefix(b);
    if (atom.empty()) return "";
    if (atom.size() >= 2) {
        const std::string_view e = atom.substr(0, 2);
        const bool named_ion = atom.size() == 2 && atom == res;
        const bool metal = e == "SE" || e == "FE" || e == "ZN" || e == "MG" || e == "MN" || e == "CU" || e == "BR";
        for (const char* t : two)
            if (e == t && (named_ion || metal)) return std::string(e);
    }
    return std::string(1, atom[0]);
}

std::string upper(std::string_view s) {
    std::string u(s);
    for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

}  // namespace

std::string standard_record(int serial, std::string_view atom, std::string_view res, char chain, int resnum,
                            float x, float y, float z, const float* qr) {
    const std::string a = upper(atom), r = upper(res), e = element_of(a, r);
    // Names of four characters and two-letter elements start in column 13,
    // the others in column 14.
    const std::string name = a.size() >= 4 || e.size() == 2 ? a : " " + a;
    const char ch = static_cast<char>(std::toupper(static_cast<unsigned char>(chain)));
    char b[128];
    std::snprintf(b, sizeof b, "%-6s%5d %-4.4s %-4.4s%c%4d    %8.3f%8.3f%8.3f", standard_residue(r) ? "ATOM" : "HETATM",
                  serial % 100000, name.c_str(), r.c_str(), ch, resnum, x, y, z);
    std::string line(b);
    if (qr) {
        std::snprintf(b, sizeof b, " %7.4f %6.4f", qr[0], qr[1]);
    } else {
        std::snprintf(b, sizeof b, "%6.2f%6.2f          %2s", 1.0, 0.0, e.c_str());
    }
    return line + b;
}

int outstd(Kova& k, int unit, bool qrad) {
    const MoleculeStore& m = k.mol;
    const auto& pic = k.wr.picwrt;
    int unset_atoms = 0, serial = 0;
    if (m.nmol >= 1) {
        const int first = std::max(m.fstatm[1], 1), last = std::min(m.lstatm[m.nmol], maxatm);
        for (int i = first; i <= last; ++i) {
            if (pic[i] != 1) continue;
            ++serial;
            float qr[2] = {m.chrg[i], m.radi[i]};
            // An unset charge or radius is written as 0: the count is returned
            // for the writer's warning.
            if (qrad && (m.chrg[i] == unset || m.radi[i] == unset)) {
                ++unset_atoms;
                if (qr[0] == unset) qr[0] = 0.0f;
                if (qr[1] == unset) qr[1] = 0.0f;
            }
            k.units.write(unit, standard_record(serial, m.atnam[i].view(), m.resnam[i].view(), m.chain[i],
                                                m.resnum[i], m.x[i], m.y[i], m.z[i], qrad ? qr : nullptr));
        }
    }
    k.units.write(unit, "END");
    return unset_atoms;
}

}  // namespace kova
