#include "molecule/params.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <vector>

#include "command/mainloop.hpp"
#include "command/output.hpp"
#include "command/readers.hpp"
#include "command/tokens.hpp"
#include "fortio/format.hpp"

namespace kova {

namespace {

std::string label(std::string_view text) { return pad(text, 52) + ":"; }

bool blank_or_eof(const Kova& k) {
    std::string_view l = k.tok.text();
    return k.tok.ateof || (k.tok.ilen == 5 && trimmed(l) == "BLANK");
}

// A line whose first word starts with ! or * is a remark.
bool remark_line(const Kova& k) {
    std::string_view l = trimmed(k.tok.text());
    size_t i = l.find_first_not_of(" \t");
    return i != std::string_view::npos && (l[i] == '!' || l[i] == '*');
}

// Pair comparison of the sorted tables: residue name, then atom name, as
// blank-padded byte strings.
int compare(const Name4& ra, const Name4& aa, const Name4& rb, const Name4& ab) {
    int c = std::string_view(ra.c.data(), 4).compare(std::string_view(rb.c.data(), 4));
    if (c != 0) return c;
    return std::string_view(aa.c.data(), 4).compare(std::string_view(ab.c.data(), 4));
}

}  // namespace

std::string installed_table() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    buf[n] = '\0';
    std::filesystem::path dir = std::filesystem::path(buf).parent_path();
    for (const auto& p : {dir / "share" / "kova" / "qtable.dat", dir / ".." / "share" / "kova" / "qtable.dat"}) {
        std::error_code ec;
        if (std::filesystem::is_regular_file(p, ec)) return std::filesystem::weakly_canonical(p, ec).string();
    }
    return {};
}

void srttab(Name4* res, Name4* atm, int n, int* perm) {
    if (n < 2) return;
    auto less = [&](int i, int j) { return compare(res[i], atm[i], res[j], atm[j]) < 0; };
    auto swap = [&](int i, int j) {
        std::swap(res[i], res[j]);
        std::swap(atm[i], atm[j]);
        std::swap(perm[i], perm[j]);
    };
    // Sift the element at root down the heap of size size (1-based).
    auto sift = [&](int root, int size) {
        for (;;) {
            int child = 2 * root;
            if (child > size) return;
            if (child < size && less(child, child + 1)) ++child;
            if (!less(root, child)) return;
            swap(root, child);
            root = child;
        }
    };
    for (int i = n / 2; i >= 1; --i) sift(i, n);
    for (int size = n; size > 1; --size) {
        swap(1, size);
        sift(1, size - 1);
    }
}

void hnttab(const Name4& res, const Name4& atm, const Name4* sres, const Name4* satm, int n, int& pos) {
    if (n <= 0) {
        pos = 0;
        return;
    }
    auto cmp = [&](int p) { return compare(res, atm, sres[p], satm[p]); };  // key vs pair at p
    if (pos >= 1 && pos <= n && cmp(pos) == 0) return;
    int lo, hi;
    if (pos < 1 || pos > n) {
        lo = 0;
        hi = n + 1;
        pos = 1;
    } else if (cmp(pos) > 0) {
        // Hunt upwards with steps 1, 2, 4, ...
        lo = pos;
        int step = 1;
        for (;;) {
            hi = lo + step;
            if (hi > n) {
                hi = n + 1;
                break;
            }
            int c = cmp(hi);
            if (c == 0) {
                pos = hi;  // the probe itself holds the key
                return;
            }
            if (c < 0) break;
            lo = hi;
            step *= 2;
        }
    } else {
        hi = pos;
        int step = 1;
        for (;;) {
            lo = hi - step;
            if (lo < 1) {
                lo = 0;
                break;
            }
            int c = cmp(lo);
            if (c == 0) {
                pos = lo;
                return;
            }
            if (c > 0) break;
            hi = lo;
            step *= 2;
        }
    }
    // Bisect inside (lo, hi).
    pos = (lo + hi) / 2;
    if (pos < 1) pos = 1;
    if (pos > n) pos = n;
    while (cmp(pos) != 0) {
        if (hi - lo <= 1) {
            pos = 0;
            return;
        }
        pos = (lo + hi) / 2;
        if (pos < 1 || pos > n) {
            pos = 0;
            return;
        }
        int c = cmp(pos);
        if (c < 0)
            hi = pos;
        else if (c > 0)
            lo = pos;
    }
}

float calca(const MoleculeStore& m, int first, int last) {
    if (last < first) return 0.0f;
    // Every pair term |r_i - r_j| + radi(i) + radi(j) is bounded by
    // e_i + e_j, with e = |r - c| + radi the reach of an atom from the
    // centroid c. Taking atoms by decreasing reach, the search over partners
    // stops as soon as that bound cannot beat the best term found: the exact
    // maximum, without visiting most pairs of a compact molecule.
    const int n = last - first + 1;
    double cx = 0, cy = 0, cz = 0;
    for (int i = first; i <= last; ++i) cx += m.x[i], cy += m.y[i], cz += m.z[i];
    cx /= n, cy /= n, cz /= n;
    std::vector<std::pair<double, int>> reach(static_cast<size_t>(n));
    for (int i = first; i <= last; ++i) {
        double dx = m.x[i] - cx, dy = m.y[i] - cy, dz = m.z[i] - cz;
        reach[static_cast<size_t>(i - first)] = {std::sqrt(dx * dx + dy * dy + dz * dz) + m.radi[i], i};
    }
    std::sort(reach.begin(), reach.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    double best = 0.0;
    bool any = false;
    for (size_t p = 0; p < reach.size(); ++p) {
        const int i = reach[p].second;
        // The pair i = i contributes the atom's diameter.
        const double self = 2.0 * m.radi[i];
        if (!any || self > best) best = self, any = true;
        if (reach[p].first + reach[p].first <= best) break;  // no later pair can do better
        const double xi = m.x[i], yi = m.y[i], zi = m.z[i], ri = m.radi[i];
        for (size_t q = p + 1; q < reach.size(); ++q) {
            if (reach[p].first + reach[q].first <= best) break;
            const int j = reach[q].second;
            double dx = xi - m.x[j], dy = yi - m.y[j], dz = zi - m.z[j];
            double e = std::sqrt(dx * dx + dy * dy + dz * dz) + ri + m.radi[j];
            if (e > best) best = e;
        }
    }
    // Diameters of atoms not visited above cannot exceed the best term: an
    // atom's diameter is at most twice its reach.
    return static_cast<float>(0.5 * best);
}

void inpqtb(Kova& k, const std::string& file, int unit) {
    ParamStore& q = k.qtb;
    q.nentry = 0;
    q.nequiv = 0;
    const bool from_input = unit == k.files.inunit;
    if (!from_input) {
        std::string why;
        if (!k.units.open(unit, file, fortio::OpenStatus::old_file, fortio::Form::formatted, &why)) {
            msg(k, "SERIOUS: inpqtb(020) Unable to open parameter file: ", file, " (" + why + ")");
            kvabort(k, serious);
            return;
        }
        pushgt(k);
    }
    auto finish = [&] {
        if (!from_input) {
            popgt(k);
            k.units.close(unit);
        }
    };
    const char* P = "inpqtb";
    std::string word = getnam(k, unit, P);
    if (word == "equivalence") {
        bool full = false;
        for (;;) {
            getlin(k, unit, P);
            if (blank_or_eof(k)) break;
            if (remark_line(k)) continue;
            if (q.nequiv >= maxeqv) {
                if (!full) {
                    msg(k, "SERIOUS: inpqtb(030) More than 1000 equivalences; the rest are ignored.");
                    kvabort(k, serious);
                    full = true;
                }
                continue;
            }
            int e = ++q.nequiv;
            q.eqsres[e] = Name4(getnam(k, unit, P, 4));
            q.eqsatm[e] = Name4(getnam(k, unit, P, 4));
            q.eqtres[e] = Name4(getnam(k, unit, P, 4));
            q.eqtatm[e] = Name4(getnam(k, unit, P, 4));
        }
        word = getnam(k, unit, P);
    }
    // Find the set: other sets are skipped up to their blank line.
    for (;;) {
        if (word == "eof" && k.tok.ateof) {
            msg(k, "WARNING: inpqtb(010) unable to locate parameter set: ", q.setname);
            q.nentry = 0;
            finish();
            kvabort(k, warning);
            return;
        }
        if (word == q.setname) break;
        for (;;) {
            getlin(k, unit, P);
            if (blank_or_eof(k)) break;
        }
        word = getnam(k, unit, P);
    }
    // Column keywords up to end.
    enum Col { c_resi, c_atom, c_chrg, c_radi, c_epsi, c_sigm, c_alph, c_mass, c_eden, c_lja, c_ljc, c_skip };
    std::vector<Col> cols;
    for (;;) {
        std::string c = getnam(k, unit, P);
        if (c == "end" || (c == "eof" && k.tok.ateof)) break;
        if (cols.size() >= static_cast<size_t>(maxcol)) {
            msg(k, "SERIOUS: inpqtb(040) More than 16 columns in parameter set: ", q.setname);
            kvabort(k, serious);
            finish();
            return;
        }
        std::string_view c4 = std::string_view(c).substr(0, 4);
        Col col = c_skip;
        if (c4 == "resi") col = c_resi;
        else if (c4 == "atom") col = c_atom;
        else if (c4 == "chrg") col = c_chrg;
        else if (c4 == "radi") col = c_radi;
        else if (c4 == "epsi") col = c_epsi;
        else if (c4 == "sigm") col = c_sigm;
        else if (c4 == "alph") col = c_alph;
        else if (c4 == "mass" || c4 == "vdwr") col = c_mass;
        else if (c4 == "eden") col = c_eden;
        else if (c == "lja") col = c_lja;
        else if (c == "ljc") col = c_ljc;
        cols.push_back(col);
    }
    // Entries up to a blank line or the end of the file.
    for (;;) {
        getlin(k, unit, P);
        if (blank_or_eof(k)) break;
        if (remark_line(k)) continue;
        if (q.nentry >= maxqtb) {
            msg(k, "SERIOUS: inpqtb(050) More than 1000 entries in parameter set ", q.setname,
                "; the rest are ignored.");
            kvabort(k, serious);
            break;
        }
        int e = ++q.nentry;
        for (Col c : cols) {
            switch (c) {
                case c_resi: q.resnam[e] = Name4(getnam(k, unit, P, 4)); break;
                case c_atom: q.atnam[e] = Name4(getnam(k, unit, P, 4)); break;
                default: {
                    float v = getnum(k, unit, P);
                    float* dst[] = {nullptr, nullptr, q.chrg.data(), q.radi.data(), q.epsi.data(), q.sigm.data(),
                                    q.alph.data(), q.mass.data(), q.eden.data(), q.lja.data(), q.ljc.data(),
                                    nullptr};
                    if (dst[c]) dst[c][e] = v;
                }
            }
        }
    }
    q.fileread = file;
    finish();
}

void set(Kova& k) {
    ParamStore& q = k.qtb;
    MoleculeStore& m = k.mol;
    const int in = k.files.inunit;
    std::vector<std::string> types;
    int jmol = 999, jres = 999, jatom = 999999;
    bool mustread = q.nentry <= 0;
    auto truncated = [](float v) {
        if (!std::isfinite(v) || std::fabs(v) > 1e9f) return 999999;
        return static_cast<int>(v);
    };
    for (;;) {
        std::string w = getnam(k, in, "Set");
        if (w == "end") break;
        std::string_view w4 = std::string_view(w).substr(0, 4), w3 = w4.substr(0, 3);
        // The set names are tried first: "charmm" would otherwise be taken
        // for the set type "char" and could never be chosen.
        if (w == "opls" || w == "gromos" || w == "amber" || w == "charmm") {
            if (w != q.setname) mustread = true;
            q.setname = w;
        } else if (w4 == "char" || w4 == "radi" || w4 == "mass" || w4 == "sigm" || w4 == "epsi") {
            if (types.size() < 5) types.emplace_back(w4);
        } else if (w4 == "file") {
            std::string f = getfil(k, in, "Set");
            if (f != k.files.qtbname) mustread = true;
            k.files.qtbname = f;
        } else if (w4 == "para") {
            std::string s = getnam(k, in, "Set");
            if (s != q.setname) mustread = true;
            q.setname = s;
        } else if (w3 == "mol") {
            jmol = truncated(getnum(k, in, "Set"));
            k.units.write(k.files.outunit, fortio::list_write({std::string_view("jmol:"), std::int64_t{jmol}}));
            if (jmol < 1 || jmol > m.nmol) {
                fwrite(k, k.files.msgunit, "(1x,a,i8)", "WARNING: set(060) jmol < 1 or > nmol: ", jmol);
                jmol = 1;
                if (k.flags.bomb <= 4) endrun(k, exit_abort);
            }
        } else if (w3 == "res") {
            jres = truncated(getnum(k, in, "Set"));
        } else if (w3 == "ato" || w3 == "atn") {
            jatom = truncated(getnum(k, in, "Set"));
        } else {
            msg(k, "SERIOUS: set(010) unknown keyword: ", w);
            kvabort(k, serious);
        }
    }

    out(k, "(1x,a)", "SET MODULE");
    if (types.empty()) {
        msg(k, "WARNING: set(020) no set type specified.");
        kvabort(k, warning);
        return;
    }
    for (const std::string& t : types) {
        const char* word = t == "char" ? "charges" : t == "radi" ? "radii" : t == "mass" ? "masses"
                         : t == "sigm" ? "sigmas" : "epsilons";
        out(k, "(1x,a,a20)", label("  Setting"), pad(word, 20));
    }
    out(k, "(1x,a,a20)", label("  Parameter set"), pad(q.setname, linlen));
    out(k, "(1x,a,a20)", label("  Database file"), pad(k.files.qtbname, linlen));

    if (mustread) {
        std::string file = k.files.qtbname;
        if (file == "qtable.dat" && !std::filesystem::exists(file)) {
            // The default table, not in the working folder: the one installed
            // with the program.
            std::string inst = installed_table();
            if (!inst.empty()) {
                file = inst;
                out(k, "(1x,a,a)", label("  Database file read"), file);
            }
        }
        inpqtb(k, file, q.unit);
        if (q.nentry <= 0) return;
        for (int i = 1; i <= q.nentry; ++i) q.perm[i] = i;
        srttab(q.resnam.data(), q.atnam.data(), q.nentry, q.perm.data());
        if (q.nequiv > 0) {
            for (int i = 1; i <= q.nequiv; ++i) q.eqperm[i] = i;
            srttab(q.eqsres.data(), q.eqsatm.data(), q.nequiv, q.eqperm.data());
        }
        out(k, "(1x,a)", "  Reading of database completed");
    } else {
        out(k, "(1x,a)", "  Using previously read database");
    }
    out(k, "(1x,a,i10)", label("  Number of entries"), q.nentry);
    out(k, "(1x,a,i10)", label("  Number of equivalences"), q.nequiv);

    // Choose the atoms.
    std::fill(m.atsel.begin(), m.atsel.end(), 0);
    auto choose = [&](int first, int last) {
        for (int i = std::max(first, 1); i <= std::min(last, maxatm); ++i) m.atsel[i] = 1;
    };
    auto choose_residue = [&](int mol, int res) {
        if (mol < 1 || mol > m.nmol) return;
        for (int i = m.fstatm[mol]; i <= m.lstatm[mol]; ++i)
            if (m.resnum[i] == res) m.atsel[i] = 1;
    };
    const bool gm = jmol != 999, gr = jres != 999, ga = jatom != 999999;
    if (gr && ga) {
        msg(k, "ERROR: set(040) No way to set both jres and jatom.");
        kvabort(k, error);
    } else if (!gm && !gr && !ga) {
        if (m.nmol > 0) choose(1, m.lstatm[m.nmol]);
    } else if (gm && gr) {
        choose_residue(jmol, jres);
    } else if (gm && ga) {
        int a = m.fstatm[jmol] + jatom - 1;
        if (jatom >= 1 && a <= m.lstatm[jmol]) choose(a, a);
    } else if (gm) {
        if (jmol >= 1 && jmol <= m.nmol) choose(m.fstatm[jmol], m.lstatm[jmol]);
    } else {
        msg(k, "WARNING: set(050) Setting unspecified jmol to 1.");
        kvabort(k, warning);
        if (gr)
            choose_residue(1, jres);
        else if (jatom >= 1 && jatom <= m.natom)
            choose(jatom, jatom);
    }

    // Look every chosen atom up; the previous position starts the next search.
    int pos = 0, made = 0, missing = 0;
    for (int i = 1; i <= m.natom; ++i) {
        if (!m.atsel[i]) continue;
        hnttab(m.resnam[i], m.atnam[i], q.resnam.data(), q.atnam.data(), q.nentry, pos);
        if (pos == 0 && q.nequiv > 0) {
            int e = 0;
            hnttab(m.resnam[i], m.atnam[i], q.eqsres.data(), q.eqsatm.data(), q.nequiv, e);
            if (e > 0) {
                int src = q.eqperm[e];
                hnttab(q.eqtres[src], q.eqtatm[src], q.resnam.data(), q.atnam.data(), q.nentry, pos);
            }
        }
        if (pos == 0) {
            // Every atom left without parameters is reported, so that a
            // scientist sees which atoms got nothing.
            ++missing;
            out(k, "(1x,'NOTE: set(030) Can not find entry for \"',i5,1x,a4,1x,a4,'\"  No parameters set.')", i,
                m.resnam[i].padded(), m.atnam[i].padded());
            kvabort(k, note);
            continue;
        }
        ++made;
        int e = q.perm[pos];
        for (const std::string& t : types) {
            if (t == "char") m.chrg[i] = q.chrg[e];
            else if (t == "radi") m.radi[i] = q.radi[e];
            else if (t == "mass") m.mass[i] = q.mass[e];
            else if (t == "sigm") m.ljsig[i] = q.sigm[e];
            else if (t == "epsi") m.ljeps[i] = q.epsi[e];
        }
    }
    out(k, "(1x,a,i10)", label("  Assignments made"), made);
    if (missing > 0) out(k, "(1x,a,i10)", label("  Atoms without parameters"), missing);

    for (int mol = 1; mol <= m.nmol; ++mol) {
        m.molsiz[mol] = calca(m, m.fstatm[mol], m.lstatm[mol]);
        double qsum = 0;
        for (int i = m.fstatm[mol]; i <= m.lstatm[mol]; ++i) qsum += m.chrg[i];
        m.qmol[mol] = static_cast<float>(qsum);
    }
}

}  // namespace kova
