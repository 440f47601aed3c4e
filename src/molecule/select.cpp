// Atom selection by bit planes: every atom carries a 32-bit word whose bits
// form the operand stack, so each operator acts on all atoms at once.
#include "molecule/select.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <memory>

#include "command/output.hpp"
#include "command/readers.hpp"
#include "command/tokens.hpp"
#include "elec/elec.hpp"
#include "fortio/format.hpp"

namespace kova {

namespace {

enum Op { op_and = 1, op_or = 2, op_not = 3, op_thru = 4 };

constexpr int maxops = 32;

struct Selection {
    Kova& k;
    MoleculeStore& m;
    std::array<std::uint32_t, maxatm + 1> bitary{};
    std::array<std::uint32_t, maxatm + 1> bittmp{};
    int bitlst = 0;
    int curbit = 0;
    bool flush = false;
    std::array<int, maxops + 1> op{}, iop{};
    int curop = 0;
    int offse = 0;
    int molnum = 1;
    bool failed = false;  // a limit was passed: the selection is refused
    // The loaded atoms, 1 to natom: every term and operator acts on these
    // slots only, so that not and thru never pick up empty slots.
    const int n;

    explicit Selection(Kova& kk) : k(kk), m(kk.mol), n(std::clamp(kk.mol.natom, 0, maxatm)) {}

    bool valid_molecule(int n) const { return n >= 1 && n <= m.nmol; }

    // Marks the atoms satisfying a term as one more term of the current group.
    template <class Pred>
    void term(int first, int last, Pred&& sat) {
        if (bitlst >= 31) {
            msg(k, "SERIOUS: sele(050) More than 31 terms in one group; selection refused.");
            kvabort(k, serious);
            failed = true;
            return;
        }
        const std::uint32_t bit = 1u << bitlst;
        for (int i = std::max(first, 1); i <= std::min(last, n); ++i)
            if (sat(i)) bittmp[i] |= bit;
        ++bitlst;
        flush = true;
    }
    void no_atom_term() {
        term(1, 0, [](int) { return false; });
    }

    void flush_group() {
        if (!flush) return;
        if (curbit >= 32) {
            msg(k, "SERIOUS: sele(060) More than 32 operands; selection refused.");
            kvabort(k, serious);
            failed = true;
            bittmp.fill(0);
            bitlst = 0;
            flush = false;
            return;
        }
        const std::uint32_t all = bitlst >= 32 ? ~0u : (1u << bitlst) - 1u;
        const std::uint32_t bit = 1u << curbit;
        for (int i = 1; i <= n; ++i) {
            if (bittmp[i] == all)
                bitary[i] |= bit;
            else
                bitary[i] &= ~bit;
            bittmp[i] = 0;
        }
        ++curbit;
        bitlst = 0;
        flush = false;
    }

    void apply(int code) {
        const int need = code == op_not ? 1 : 2;
        if (curbit < need) {
            msg(k, "SERIOUS: sele(070) Operator without operand; selection refused.");
            kvabort(k, serious);
            failed = true;
            return;
        }
        if (code == op_not) {
            const std::uint32_t bit = 1u << (curbit - 1);
            for (int i = 1; i <= n; ++i) bitary[i] ^= bit;
            return;
        }
        --curbit;
        const std::uint32_t top = 1u << curbit, below = 1u << (curbit - 1);
        if (code == op_thru) {
            // From the first atom of the lower operand to the first atom of
            // the upper one after it; empty when either is missing.
            int f = 0, l = 0;
            for (int i = 1; i <= n && !f; ++i)
                if (bitary[i] & below) f = i;
            for (int i = f + 1; f && i <= n && !l; ++i)
                if (bitary[i] & top) l = i;
            for (int i = 1; i <= n; ++i) {
                bool in = f && l && i >= f && i <= l;
                bitary[i] = in ? (bitary[i] | below) : (bitary[i] & ~below);
                bitary[i] &= ~top;
            }
            return;
        }
        for (int i = 1; i <= n; ++i) {
            bool a = bitary[i] & below, b = bitary[i] & top;
            bool r = code == op_and ? (a && b) : (a || b);
            bitary[i] = r ? (bitary[i] | below) : (bitary[i] & ~below);
            bitary[i] &= ~top;
        }
    }

    void push(int code, int prio) {
        flush_group();
        if (curop >= maxops) {
            msg(k, "SERIOUS: sele(080) More than 32 operators; selection refused.");
            kvabort(k, serious);
            failed = true;
            return;
        }
        ++curop;
        op[curop] = code;
        iop[curop] = prio;
        if (curop >= 2 && iop[curop - 1] >= prio) {
            apply(op[curop - 1]);
            op[curop - 1] = op[curop];
            iop[curop - 1] = iop[curop];
            --curop;
        }
    }

    // Reads a $variable reference (the $ already taken); false when unknown.
    bool variable(double& value, std::string& name) {
        const int in = k.files.inunit;
        name = getnam(k, in, "Sele");
        int index = 0;
        int next = k.tok.ipos + 1;
        if (next <= k.tok.ilen && k.tok.line[next] == '(') {
            getchr(k, in, "Sele");
            index = getin1(k, in, "Sele");
            getchr(k, in, "Sele");
        }
        int status = 0;
        value = getvar(k, name, index, status);
        return status == 0;
    }

    // The next token, reading further lines at a line end.
    Token next() {
        for (;;) {
            Token t = gettok(k);
            if (t.kind != TokKind::linend) return t;
            getlin(k, k.files.inunit, "Sele");
        }
    }

    static bool integral(double v) { return std::isfinite(v) && std::fabs(v) < 2e9; }

    void residue_term() {
        Token t = next();
        const int mol = molnum;
        if (!valid_molecule(mol)) return no_atom_term();
        const int a = m.fstatm[mol], b = m.lstatm[mol];
        if (t.kind == TokKind::integer) {
            int num = t.ival;
            return term(a, b, [&](int i) { return m.resnum[i] == num; });
        }
        if (t.kind == TokKind::chr && t.text == "$") {
            double v;
            std::string name;
            if (!variable(v, name) || !integral(v)) {
                msg(k, "PARSE_ERROR: sele (000) unknown variable: ", name);
                return no_atom_term();
            }
            long num = std::lround(v);
            return term(a, b, [&](int i) { return m.resnum[i] == num; });
        }
        Name4 nm(lcase(t.text));
        term(a, b, [&](int i) { return m.resnam[i] == nm; });
    }

    void atom_term() {
        Token t = next();
        const int mol = molnum;
        if (!valid_molecule(mol)) return no_atom_term();
        const int a = m.fstatm[mol], b = m.lstatm[mol];
        long num = 0;
        if (t.kind == TokKind::integer) {
            num = t.ival;
        } else if (t.kind == TokKind::chr && t.text == "$") {
            double v;
            std::string name;
            if (!variable(v, name) || !integral(v)) {
                msg(k, "PARSE_ERROR: sele (010) unknown variable: ", name);
                return no_atom_term();
            }
            num = std::lround(v);
        } else {
            Name4 nm(lcase(t.text));
            return term(a, b, [&](int i) { return m.atnam[i] == nm; });
        }
        long slot = a + num - 1;
        term(1, n, [&](int i) { return num >= 1 && i == slot; });
    }

    void inbox_term() {
        const int in = k.files.inunit;
        float lo[3], hi[3];
        for (float& v : lo) v = getnum(k, in, "Select");
        for (float& v : hi) v = getnum(k, in, "Select");
        term(1, n, [&](int i) {
            return m.x[i] > lo[0] && m.x[i] < hi[0] && m.y[i] > lo[1] && m.y[i] < hi[1] && m.z[i] > lo[2] &&
                   m.z[i] < hi[2];
        });
    }

    // Returns false when the selection must stop at once (all flags 0).
    bool sphere_term() {
        const int in = k.files.inunit;
        double cx = 0, cy = 0, cz = 0, r = 0;
        bool centre = false, radius = false;
        for (int tries = 0; !(centre && radius); ++tries) {
            if (tries == 3) {
                fwrite(k, k.files.msgunit,
                       "(1x,'WARNING: boxfit(1002)',' Unable to find needed sphere specification.')");
                kvabort(k, warning);
                return false;
            }
            std::string w = getnam(k, in, "Select");
            if (w.substr(0, 6) == "atomce") {
                const float v = getnum(k, in, "Select");
                const long a = std::fabs(v) < 2e9f ? std::lround(v) : 0;
                if (a >= 1 && a <= n) {
                    cx = m.x[a], cy = m.y[a], cz = m.z[a];
                    centre = true;
                } else {
                    msg(k, "SERIOUS: sele(040) Sphere centre atom is not in the atom list: ", std::to_string(a));
                    kvabort(k, serious);
                }
            } else if (w.substr(0, 4) == "dist") {
                r = getnum(k, in, "Select");
                radius = true;
            } else {
                cx = getnum(k, in, "Select");
                cy = getnum(k, in, "Select");
                cz = getnum(k, in, "Select");
                centre = true;
            }
        }
        const double r2 = r * r;
        term(1, n, [&](int i) {
            double dx = m.x[i] - cx, dy = m.y[i] - cy, dz = m.z[i] - cz;
            return dx * dx + dy * dy + dz * dz <= r2;
        });
        return true;
    }

    void surface_term(bool rind) {
        const int in = k.files.inunit;
        float rprobe = getnum(k, in, "Select");
        const float vspha = getnum(k, in, "Select");
        long nspha = std::fabs(vspha) < 2e9f ? std::lround(vspha) : 0;
        float thick = rind ? getnum(k, in, "Select") : 0.0f;
        k.units.write(k.files.outunit, fortio::list_write({std::string_view("rprobe, nspha:"), rprobe,
                                                           static_cast<std::int64_t>(nspha)}));
        if (m.nmol < 2) {
            k.units.write(k.files.msgunit, std::string("FATAL_ERROR: attempt to use ") + (rind ? "rind" : "surf") +
                                               "selection with .lt. 2 mols.");
            if (k.flags.bomb < 6) endrun(k, exit_fatal);
            return no_atom_term();
        }
        // The exposed contact area of the atoms of molecule 2.
        GridStore& g = k.mess;
        for (int i = 1; i <= m.natom; ++i) g.isel[i] = 0;
        const int a = m.fstatm[2], b = m.lstatm[2];
        for (int i = a; i <= b; ++i) g.isel[i] = 1;
        srsrf(k, static_cast<int>(std::clamp<long>(nspha, 1, maxsph)), rprobe);
        if (!rind) {
            term(1, n, [&](int i) { return m.vdwsa[i] > 0.0f; });
        } else {
            // Surface atoms of molecule 2, and its buried atoms within the
            // thickness of one of them.
            const double t2 = static_cast<double>(thick) * thick;
            term(a, b, [&](int i) {
                if (m.vdwsa[i] > 0.0f) return true;
                for (int j = a; j <= b; ++j) {
                    if (m.vdwsa[j] <= 0.0f) continue;
                    double dx = m.x[i] - m.x[j], dy = m.y[i] - m.y[j], dz = m.z[i] - m.z[j];
                    if (dx * dx + dy * dy + dz * dz <= t2) return true;
                }
                return false;
            });
        }
        for (int i = a; i <= b; ++i)
            k.units.write(k.files.outunit,
                          fortio::list_write({m.resnam[i].padded(), static_cast<std::int64_t>(m.resnum[i]),
                                              m.atnam[i].padded(), m.vdwsa[i]}));
    }
};

}  // namespace

int sele(Kova& k, std::span<int> flags) {
    auto s = std::make_unique<Selection>(k);
    MoleculeStore& m = k.mol;
    const int in = k.files.inunit;
    size_t nflags = std::min<size_t>(flags.size(), maxatm + 1);
    for (size_t i = 1; i < nflags; ++i) flags[i] = 0;
    for (;;) {
        Token t = s->next();
        std::string w = lcase(t.text);
        bool word = t.kind == TokKind::name || t.kind == TokKind::chr;
        if (!word || w == "end" || (k.tok.ateof && w == "eof")) break;
        if (t.kind == TokKind::name) {
            if (w == "molecule") {
                int n = getint(k, in, "Test");
                s->molnum = n;
                if (s->valid_molecule(n))
                    s->term(m.fstatm[n], m.lstatm[n], [](int) { return true; });
                else
                    s->no_atom_term();
            } else if (w == "segment") {
                getint(k, in, "Test");
            } else if (w == "residue") {
                s->residue_term();
            } else if (w == "atom") {
                s->atom_term();
            } else if (w == "inbox") {
                s->inbox_term();
            } else if (w == "live") {
                s->term(1, s->n, [&](int i) { return m.live[i] == 1; });
            } else if (w == "surf" || w == "rind") {
                s->surface_term(w == "rind");
            } else if (w == "sphere") {
                if (!s->sphere_term()) return 0;
            } else if (w == "and") {
                s->push(op_and, s->offse + 1);
            } else if (w == "or") {
                s->push(op_or, s->offse + 1);
            } else if (w == "not") {
                s->push(op_not, s->offse + 2);
            } else if (w == "thru") {
                s->push(op_thru, s->offse + 3);
            } else {
                fwrite(k, k.files.outunit, "(' Token ',a10,' not valid')", pad(kind_name(t.kind), 10));
            }
        } else if (w == "(") {
            s->offse += 10;
        } else if (w == ")") {
            s->offse -= 10;
            s->flush_group();
            if (s->curop >= 1) s->apply(s->op[s->curop--]);
        } else {
            fwrite(k, k.files.outunit, "(' Token ',a10,' not valid')", pad(kind_name(t.kind), 10));
        }
    }
    s->flush_group();
    while (s->curop > 0) s->apply(s->op[s->curop--]);

    // Only loaded atoms are counted and flagged; the slots beyond natom stay 0.
    int count = 0;
    if (!s->failed) {
        const size_t loaded = std::min(nflags, static_cast<size_t>(s->n) + 1);
        for (size_t i = 1; i < loaded; ++i) {
            flags[i] = s->bitary[i] != 0 ? 1 : 0;
            count += flags[i];
        }
    }
    k.units.write(k.files.outunit,
                  fortio::list_write({std::int64_t{count}, std::string_view(" atoms found in selection routine")}));
    return count;
}

}  // namespace kova
