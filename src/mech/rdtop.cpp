// rdtop: reads the molecular-mechanics topology of one molecule (the "!N"
// sectioned layout) or of the whole system (the old list-directed layout)
// into the topology store, and builds the exclusion and 1-4 lists.
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "command/output.hpp"
#include "command/readers.hpp"
#include "command/tokens.hpp"
#include "fortio/format.hpp"
#include "mech/mech.hpp"

namespace kova {

namespace {

constexpr int stdout_unit = fortio::UnitTable::stdout_unit;

// What a read of the file came to.
enum class Outcome { done, eof, bad_record, bad_header, bad_atom, missing, refused };

// Number read with getnum and taken toward zero; what cannot be an atom or
// molecule number (not finite, out of the integer range) becomes 0.
int truncated(float v) {
    if (!std::isfinite(v) || std::fabs(v) > 1.0e9f) return 0;
    return static_cast<int>(v);
}

// Strict conversions of one word: the whole word must be the number. A
// Fortran D exponent is accepted.
bool word_int(std::string_view w, int& v) {
    std::string s(w);
    if (s.empty()) return false;
    char* end = nullptr;
    long x = std::strtol(s.c_str(), &end, 10);
    if (*end != '\0' || x < -1000000000L || x > 1000000000L) return false;
    v = static_cast<int>(x);
    return true;
}
bool word_real(std::string_view w, float& v) {
    std::string s(w);
    if (s.empty()) return false;
    for (char& c : s)
        if (c == 'd' || c == 'D') c = 'e';
    char* end = nullptr;
    double x = std::strtod(s.c_str(), &end);
    if (*end != '\0' || !std::isfinite(x) || std::fabs(x) > 1.0e30) return false;
    v = static_cast<float>(x);
    return true;
}

struct TopReader {
    TopReader(Kova& kv, int u) : k(kv), unit(u) {}
    Kova& k;
    int unit;
    std::string rec;
    int badnum = 0;  // the atom number refused (bad_atom)
    std::string missing;  // the section not found (missing)

    // Next record cut to 80 columns; false at the end of the file. A record
    // that cannot be read is an error of the record.
    fortio::IoStatus next() {
        auto st = k.units.read(unit, rec);
        if (rec.size() > static_cast<size_t>(linlen)) rec.resize(linlen);
        return st;
    }
    std::vector<std::string_view> words() const {
        std::vector<std::string_view> w;
        for (auto [a, b] : split(rec)) w.push_back(std::string_view(rec).substr(size_t(a - 1), size_t(b - a + 1)));
        return w;
    }
    // Items read list-directed from one record: a record that runs out of
    // values, or holds a value of the wrong kind or one that is not finite,
    // is a bad record.
    Outcome record(const std::vector<fortio::InItem>& items) {
        auto st = next();
        if (st == fortio::IoStatus::eof) return Outcome::eof;
        if (st == fortio::IoStatus::error) return Outcome::bad_record;
        bool given = false;
        auto r = fortio::list_read(
            [&](std::string& s) {
                if (given) return false;
                s = rec;
                given = true;
                return true;
            },
            items);
        if (r.status != fortio::ReadStatus::ok) return Outcome::bad_record;
        for (const auto& it : items)
            if (auto p = std::get_if<float*>(&it); p && !std::isfinite(**p)) return Outcome::bad_record;
        return Outcome::done;
    }
};

// Enters partner in atom's list (count n, capacity cap) unless it is there;
// a full list ends the run after the list-directed line named by what.
template <int Cap>
void enter(Kova& k, int atom, int partner, int& n, Arr1<int, Cap>& list, const char* what) {
    for (int p = 1; p <= n; ++p)
        if (list[p] == partner) return;
    if (n >= Cap) {
        k.units.write(k.files.outunit, fortio::list_write({std::string_view(what), std::int64_t{atom}}));
        endrun(k, exit_fatal);
    }
    list[++n] = partner;
}
void exclude(Kova& k, int a, int b) {
    Topology& t = k.ff.top;
    enter<maxxcl>(k, a, b, t.nexcl[a], t.iexcl[a], "exceeded maxxcl for atom:");
    enter<maxxcl>(k, b, a, t.nexcl[b], t.iexcl[b], "exceeded maxxcl for atom:");
}
void pair14(Kova& k, int a, int b) {
    Topology& t = k.ff.top;
    enter<max14>(k, a, b, t.nb14[a], t.i14[a], "exceeded max14 for atom:");
    enter<max14>(k, b, a, t.nb14[b], t.i14[b], "exceeded max14 for atom:");
}

// Capacity of each interaction list against the counts a file brings;
// false (after the messages) when one would overflow.
bool room(Kova& k, int nb, int na, int nd, int ni, int np, bool pairs) {
    struct Check {
        const char* text;
        int count, cap;
    };
    const Check checks[] = {
        {"SERIOUS: RDTOP(91) Too many bonds: ", nb, maxbnd},
        {"SERIOUS: RDTOP(92) Too many angles: ", na, maxang},
        {"SERIOUS: RDTOP(93) Too many diheds: ", nd, maxdih},
        {"SERIOUS: RDTOP(94) Too many impropers: ", ni, maximp},
        {"SERIOUS: RDTOP(95) Too many pairs: ", np, maxpair},
    };
    bool fits = true;
    for (int c = 0; c < (pairs ? 5 : 4); ++c)
        if (checks[c].count > checks[c].cap) {
            fwrite(k, k.files.msgunit, "(1x,a,i8,2x,i8)", checks[c].text, checks[c].count, checks[c].cap);
            fits = false;
        }
    return fits;
}

bool starts(std::string_view w, std::string_view head) { return w.substr(0, head.size()) == head; }

// The "!N" layout for molecule mol.
Outcome read_new(Kova& k, TopReader& f, int mol) {
    Topology& t = k.ff.top;
    MoleculeStore& m = k.mol;
    const int off = m.fstatm[mol] - 1;  // atoms of the molecules before
    const int cnt = m.count(mol);

    // Pass 1: the six counts after the "!NFINAL:" header.
    for (;;) {
        auto st = f.next();
        if (st == fortio::IoStatus::eof) return Outcome::eof;
        if (st == fortio::IoStatus::error) return Outcome::bad_record;
        auto w = f.words();
        if (!w.empty() && w[0] == "!NFINAL:") break;
    }
    int nat = 0, nb = 0, na = 0, nd = 0, ni = 0, np = 0;
    if (Outcome o = f.record({&nat, &nb, &na, &nd, &ni, &np}); o != Outcome::done) return o;
    if (nat < 0 || nb < 0 || na < 0 || nd < 0 || ni < 0 || np < 0) return Outcome::bad_record;
    if (!room(k, t.nbnd + nb, t.nang + na, t.ndih + nd, t.nimp + ni, 0, false)) return Outcome::refused;
    k.units.rewind(f.unit);

    // Pass 2: the sections, by their headers.
    bool gotb = false, gota = false, gotd = false, goti = false;
    Arr1<Name4, maxfix> ft1{}, ft2{};
    Arr1<float, maxfix> feps{}, frmin{};
    bool gotfix = false;
    auto atom_ok = [&](int a) {
        if (a >= 1 && a <= cnt) return true;
        f.badnum = a;
        return false;
    };
    for (;;) {
        auto st = f.next();
        if (st == fortio::IoStatus::eof) return Outcome::eof;
        if (st == fortio::IoStatus::error) return Outcome::bad_record;
        auto w = f.words();
        if (w.empty() || !starts(w[0], "!N")) continue;
        int n = 0;
        if (w.size() < 2 || !word_int(w[1], n) || n < 0) return Outcome::bad_header;
        const std::string_view h = w[0];
        if (starts(h, "!NTITLE")) {
            continue;
        } else if (starts(h, "!NATOM")) {
            for (int a = 1; a <= n; ++a) {
                auto s = f.next();
                if (s == fortio::IoStatus::eof) return Outcome::eof;
                if (s == fortio::IoStatus::error) return Outcome::bad_record;
                auto aw = f.words();
                int serial = 0;
                float mass = 0, q = 0;
                std::array<float, 5> lj{};
                if (aw.size() < 6 || !word_int(aw[0], serial) || !word_real(aw[2], mass) ||
                    !word_real(aw[3], q) || !word_real(aw[4], lj[1]) || !word_real(aw[5], lj[2]))
                    return Outcome::bad_record;
                if (aw.size() == 8 && (!word_real(aw[6], lj[3]) || !word_real(aw[7], lj[4])))
                    return Outcome::bad_record;
                // The second and fourth values are distances (Rmin/2).
                if (lj[2] < 0.0f || lj[4] < 0.0f) return Outcome::bad_record;
                if (a > cnt) continue;  // beyond the molecule: counted in the mismatch below
                const int i = off + a;
                t.attyp[i] = Name4(aw[1]);
                m.mass[i] = mass;
                m.chrg[i] = q;
                for (int v = 1; v <= 4; ++v) t.ljpar[v][i] = lj[size_t(v)];
                const char c0 = aw[1][0];
                m.radi[i] = c0 == 'H' || c0 == 'h' ? 1.2f : lj[2];
            }
            out(k, "(1x,a)", "WARNING: ASSIGNING RADII IN RDTOP!!");
            if (n != cnt) {
                fwrite(k, k.files.msgunit, "(1x,a,/,a,i5,2x,i5)", "SERIOUS: RDTOP(992) mismatch in number ",
                       " of atoms in .top file and in .pdb file: ", n, m.natom);
                kvabort(k, serious);
            }
        } else if (starts(h, "!NBONDS") || starts(h, "!NBOND:")) {
            for (int b = 1; b <= nb; ++b) {
                int i = 0, j = 0;
                float kb = 0, b0 = 0;
                if (Outcome o = f.record({&i, &j, &kb, &b0}); o != Outcome::done) return o;
                if (!atom_ok(i) || !atom_ok(j)) return Outcome::bad_atom;
                const int e = t.nbnd + b;
                t.ibnd[e] = i + off, t.jbnd[e] = j + off, t.kbnd[e] = kb, t.bnd0[e] = b0;
                exclude(k, i + off, j + off);
            }
            gotb = true;
        } else if (starts(h, "!NTHETA")) {
            for (int b = 1; b <= na; ++b) {
                int i = 0, j = 0, l = 0;
                float kt = 0, t0 = 0;
                if (Outcome o = f.record({&i, &j, &l, &kt, &t0}); o != Outcome::done) return o;
                if (!atom_ok(i) || !atom_ok(j) || !atom_ok(l)) return Outcome::bad_atom;
                const int e = t.nang + b;
                t.iang[e] = i + off, t.jang[e] = j + off, t.kang[e] = l + off, t.kth[e] = kt, t.th0[e] = t0;
                exclude(k, i + off, l + off);
            }
            gota = true;
        } else if (starts(h, "!NPHI:")) {
            for (int b = 1; b <= nd; ++b) {
                int i = 0, j = 0, l = 0, p = 0;
                float kp = 0, pn = 0, ph = 0;
                if (Outcome o = f.record({&i, &j, &l, &p, &kp, &pn, &ph}); o != Outcome::done) return o;
                if (!atom_ok(i) || !atom_ok(j) || !atom_ok(l) || !atom_ok(p)) return Outcome::bad_atom;
                const int e = t.ndih + b;
                t.idih[e] = i + off, t.jdih[e] = j + off, t.kdih[e] = l + off, t.ldih[e] = p + off;
                t.kphi[e] = kp, t.kphi2[e] = 0.0f, t.kphi3[e] = 0.0f, t.pn[e] = pn, t.phase[e] = ph;
                pair14(k, i + off, p + off);
            }
            gotd = true;
        } else if (starts(h, "!NIMPHI")) {
            for (int b = 1; b <= ni; ++b) {
                int i = 0, j = 0, l = 0, p = 0;
                float kp = 0, p0 = 0;
                if (Outcome o = f.record({&i, &j, &l, &p, &kp, &p0}); o != Outcome::done) return o;
                if (!atom_ok(i) || !atom_ok(j) || !atom_ok(l) || !atom_ok(p)) return Outcome::bad_atom;
                const int e = t.nimp + b;
                t.iimp[e] = i + off, t.jimp[e] = j + off, t.kimp[e] = l + off, t.limp[e] = p + off;
                t.kpsi[e] = kp, t.psi0[e] = p0;
            }
            goti = true;
        } else if (starts(h, "!NFINAL")) {
            continue;
        } else if (starts(h, "!NBFIX")) {
            for (int r = 1; r <= maxfix; ++r) {
                auto s = f.next();
                if (s == fortio::IoStatus::eof) return Outcome::eof;
                if (s == fortio::IoStatus::error) return Outcome::bad_record;
                auto fw = f.words();
                if (fw.size() < 4 || !word_real(fw[2], feps[r]) || !word_real(fw[3], frmin[r]) || frmin[r] < 0.0f)
                    return Outcome::bad_record;
                ft1[r] = Name4(fw[0]), ft2[r] = Name4(fw[1]);
            }
            gotfix = true;
            break;
        } else if (starts(h, "!NDON")) {
            break;
        }
    }

    // A count of the final record whose section never came would add
    // entries that were not read.
    const struct {
        bool got;
        int count;
        const char* name;
    } sections[] = {{gotb, nb, "!NBONDS"}, {gota, na, "!NTHETA"}, {gotd, nd, "!NPHI:"}, {goti, ni, "!NIMPHI"}};
    for (const auto& s : sections)
        if (!s.got && s.count > 0) {
            f.missing = s.name;
            return Outcome::missing;
        }
    t.nbnd += nb, t.nang += na, t.ndih += nd, t.nimp += ni;
    // Molecule 1's dihedrals come first; the energy splits them off by count.
    if (mol == 1) t.ndih1 = t.ndih;
    // The correction table of this file replaces the one before.
    if (gotfix) {
        t.fixt1 = ft1, t.fixt2 = ft2, t.fixeps = feps, t.fixrmin = frmin;
        t.nfix = maxfix;
    }
    t.toprd[mol] = true;
    return Outcome::done;
}

// The old layout: the five counts, then bonds, angles, dihedrals,
// impropers and pairs of the whole system with absolute atom numbers.
Outcome read_old(Kova& k, TopReader& f) {
    Topology& t = k.ff.top;
    const int natom = k.mol.natom;
    int nb = 0, na = 0, nd = 0, ni = 0, np = 0;
    if (Outcome o = f.record({&nb, &na, &nd, &ni, &np}); o != Outcome::done) return o;
    if (nb < 0 || na < 0 || nd < 0 || ni < 0 || np < 0) return Outcome::bad_record;
    k.units.write(k.files.outunit,
                  fortio::list_write({std::string_view("nbond, nangl, ndihed, nimpro, npair:"), std::int64_t{nb},
                                      std::int64_t{na}, std::int64_t{nd}, std::int64_t{ni}, std::int64_t{np}}));
    if (!room(k, nb, na, nd, ni, np, true)) return Outcome::refused;
    // From here on the entries are overwritten from the first: a file that
    // fails leaves no interaction in use.
    t.nbnd = t.nang = t.ndih = t.nimp = t.npair = 0;
    auto atom_ok = [&](int a) {
        if (a >= 1 && a <= natom) return true;
        f.badnum = a;
        return false;
    };
    for (int e = 1; e <= nb; ++e) {
        if (Outcome o = f.record({&t.ibnd[e], &t.jbnd[e], &t.kbnd[e], &t.bnd0[e]}); o != Outcome::done) return o;
        if (!atom_ok(t.ibnd[e]) || !atom_ok(t.jbnd[e])) return Outcome::bad_atom;
    }
    for (int e = 1; e <= na; ++e) {
        if (Outcome o = f.record({&t.iang[e], &t.jang[e], &t.kang[e], &t.kth[e], &t.th0[e]}); o != Outcome::done)
            return o;
        if (!atom_ok(t.iang[e]) || !atom_ok(t.jang[e]) || !atom_ok(t.kang[e])) return Outcome::bad_atom;
    }
    for (int e = 1; e <= nd; ++e) {
        t.kphi2[e] = t.kphi3[e] = 0.0f;
        if (Outcome o = f.record({&t.idih[e], &t.jdih[e], &t.kdih[e], &t.ldih[e], &t.kphi[e], &t.pn[e], &t.phase[e]});
            o != Outcome::done)
            return o;
        if (!atom_ok(t.idih[e]) || !atom_ok(t.jdih[e]) || !atom_ok(t.kdih[e]) || !atom_ok(t.ldih[e]))
            return Outcome::bad_atom;
    }
    for (int e = 1; e <= ni; ++e) {
        if (Outcome o = f.record({&t.iimp[e], &t.jimp[e], &t.kimp[e], &t.limp[e], &t.kpsi[e], &t.psi0[e]});
            o != Outcome::done)
            return o;
        if (!atom_ok(t.iimp[e]) || !atom_ok(t.jimp[e]) || !atom_ok(t.kimp[e]) || !atom_ok(t.limp[e]))
            return Outcome::bad_atom;
    }
    for (int e = 1; e <= np; ++e) {
        if (Outcome o = f.record({&t.ipr[e], &t.jpr[e], &t.prqq[e], &t.prsig[e], &t.preps[e]}); o != Outcome::done)
            return o;
        if (!atom_ok(t.ipr[e]) || !atom_ok(t.jpr[e])) return Outcome::bad_atom;
    }
    t.nbnd = nb, t.nang = na, t.ndih = nd, t.nimp = ni, t.npair = np;
    return Outcome::done;
}

}  // namespace

void rdtop(Kova& k) {
    Topology& t = k.ff.top;
    MoleculeStore& m = k.mol;
    const int in = k.files.inunit;
    bool newfmt = true;
    for (;;) {
        std::string w = getnam(k, in, "RDTOP");
        if (w == "end") break;
        const std::string_view w3 = std::string_view(w).substr(0, 3);
        if (std::string_view(w).substr(0, 4) == "file") {
            k.rd.file = getfil(k, in, "RDTOP");
            fwrite(k, stdout_unit, "(a80)", pad(k.rd.file, linlen));
        } else if (w3 == "new") {
            newfmt = true;
        } else if (w3 == "old") {
            newfmt = false;
        } else if (w3 == "mol") {
            t.rdmol = truncated(getnum(k, in, "RDTOP"));
        } else {
            k.units.write(k.files.outunit, fortio::list_write({std::string_view("unacceptable key word")}));
        }
    }

    const int mol = t.rdmol;
    if (newfmt) {
        if (mol < 1 || mol > m.nmol) {
            fwrite(k, k.files.msgunit, "(1x,'SERIOUS: RDTOP(990) improper molecule number: ',i10)", mol);
            kvabort(k, serious);
            return;
        }
        // Entries of a second reading would be added to the first ones.
        if (t.toprd[mol]) {
            fwrite(k, k.files.msgunit, "(1x,'SERIOUS: RDTOP(989) topology already read for molecule: ',i10)", mol);
            kvabort(k, serious);
            return;
        }
        for (int i = m.fstatm[mol]; i <= m.lstatm[mol]; ++i) t.nexcl[i] = t.nb14[i] = 0;
    }

    const std::string file(trimmed(k.rd.file));
    TopReader f(k, k.files.rdunit);
    std::string why;
    if (file.empty() || !k.units.open(f.unit, file, fortio::OpenStatus::old_file, fortio::Form::formatted, &why)) {
        msg(k, "SERIOUS: RDTOP(998) Unable to open topology file: ", file.empty() ? "(no file named)" : file,
            why.empty() ? "" : " (" + why + ")");
        kvabort(k, serious);
        return;
    }
    const Outcome o = newfmt ? read_new(k, f, mol) : read_old(k, f);
    k.units.close(f.unit);
    switch (o) {
        case Outcome::done:
        case Outcome::refused:
            if (o == Outcome::refused) kvabort(k, serious);
            return;
        case Outcome::eof:
            out(k, "(1x,a)", "Terminating top read on end-of-file");
            return;
        case Outcome::bad_record:
            msg(k, "SERIOUS: RDTOP(999) error reading top file.");
            break;
        case Outcome::bad_header:
            msg(k, "SERIOUS: RDTOP(997) ", "error parsing !N line in top file.");
            break;
        case Outcome::bad_atom:
            fwrite(k, k.files.msgunit, "(1x,'SERIOUS: RDTOP(996) atom number out of range in top file: ',i10)",
                   f.badnum);
            break;
        case Outcome::missing:
            msg(k, "SERIOUS: RDTOP(994) section missing from top file: ", f.missing);
            break;
    }
    kvabort(k, serious);
}

}  // namespace kova
