// The edit command. Its words come straight from the tokenizer, so a number
// may stand anywhere among the keywords: it becomes the value used by equa,
// scal and shif (and is kept for the next edit command).
#include "molecule/edit.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "command/output.hpp"
#include "command/readers.hpp"
#include "command/symbols.hpp"
#include "command/tokens.hpp"
#include "bd/units.hpp"
#include "molecule/params.hpp"

namespace kova {

double eval(Kova& k);  // the postfix evaluator (expressions)

namespace {

enum class Op { equa, scal, shif, reas };

std::string number_text(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

// A $variable, optionally indexed, read after its $ sign. Returns false (and
// has asked for the line again) when there is no such variable or it holds
// no finite number.
bool variable_value(Kova& k, int in, float& value) {
    const std::string name = getnam(k, in, "Edit");
    int index = 0;
    const int next = k.tok.ipos + 1;
    if (next <= k.tok.ilen && k.tok.line[next] == '(') {
        getchr(k, in, "Edit");
        index = getin1(k, in, "Edit");
        getchr(k, in, "Edit");
    }
    int status = 0;
    const double v = getvar(k, name, index, status);
    if (status == 0 && std::isfinite(v) && std::fabs(v) <= 3.4e38) {
        value = static_cast<float>(v);
        return true;
    }
    if (status == 0)
        msg(k, "PARSE_ERROR: edit(026) value is not a finite single-precision number: ", name);
    else
        msg(k, "PARSE_ERROR: edit(025) unable to get variable: ", name);
    errlin(k);
    getlin(k, in, "Edit");
    return false;
}

// Net charges of every molecule, and the sizes of the molecules whose radii
// changed, from the atoms as they now are.
void refresh_molecules(Kova& k, bool charges, const std::vector<char>& resized) {
    MoleculeStore& m = k.mol;
    for (int i = 1; i <= std::min(m.nmol, maxmol); ++i) {
        const int first = std::max(m.fstatm[i], 1), last = std::min(m.lstatm[i], maxatm);
        if (charges) {
            double q = 0;
            for (int a = first; a <= last; ++a) q += m.chrg[a];
            m.qmol[i] = static_cast<float>(q);
        }
        if (resized[i]) m.molsiz[i] = calca(m, first, last);
    }
}

int molecule_of(const MoleculeStore& m, int atom) {
    for (int i = 1; i <= std::min(m.nmol, maxmol); ++i)
        if (atom >= m.fstatm[i] && atom <= m.lstatm[i]) return i;
    return 0;
}

}  // namespace

void edit(Kova& k) {
    MoleculeStore& m = k.mol;
    const ParamStore& q = k.qtb;
    const int in = k.files.inunit;

    std::string quantity;  // "char" or "radi"
    Op op = Op::equa;
    int first = m.nmol > 0 ? m.fstatm[1] : 1;
    int last = m.nmol > 0 ? m.lstatm[std::min(m.nmol, maxmol)] : 0;
    std::string resi, atna, effname;
    int resn = 0, atnu = 0;
    bool by_resi = false, by_resn = false, by_atna = false, by_atnu = false;
    bool refused = false;  // a value was refused: the command reads on to end and does nothing

    for (;;) {
        const int at = k.tok.ipos;
        const Token tk = gettok(k);
        if (tk.kind == TokKind::integer) {
            m.edtval = static_cast<float>(tk.ival);
            continue;
        }
        if (tk.kind == TokKind::real) {
            m.edtval = tk.rval;
            continue;
        }
        if (tk.kind == TokKind::chr && tk.text == "$") {
            variable_value(k, in, m.edtval);
            continue;
        }
        if ((tk.kind == TokKind::name || tk.kind == TokKind::string) && lcase(tk.text) == "eval") {
            const double v = eval(k);
            if (std::isfinite(v) && std::fabs(v) <= 3.4e38) {
                m.edtval = static_cast<float>(v);
            } else {
                msg(k, "PARSE_ERROR: edit(026) expression value is not a finite single-precision number.");
                errlin(k);
                getlin(k, in, "Edit");
            }
            continue;
        }
        // Everything else is read as a word, with the name reader's handling
        // of line ends, comment lines and wrong tokens.
        k.tok.ipos = at;
        const std::string w = getnam(k, in, "Edit");
        const std::string_view w4 = std::string_view(w).substr(0, 4);
        const std::string_view w3 = w4.substr(0, 3);

        if (w3 == "end") break;
        if (w4 == "suni") {
            if (sedit(k)) out(k, "(a)", " Edit: Subunit definition in units were modified");
            return;
        }
        if (w4 == "funi") {
            uedit(k);
            return;
        }
        if (w4 == "fiun") {
            iuedit(k);
            return;
        }
        if (w4 == "genc") {
            if (gencrd(k)) out(k, "(a)", " Edit: Subunit coordinates in units were modified");
            return;
        }
        if (w4 == "char" || w4 == "radi") {
            quantity = std::string(w4);
        } else if (w4 == "equa" || w4 == "scal" || w4 == "shif") {
            op = w4 == "equa" ? Op::equa : w4 == "scal" ? Op::scal : Op::shif;
            m.edtval = getnum(k, in, "Edit");
        } else if (w4 == "reas") {
            op = Op::reas;
        } else if (w4.substr(0, 2) == "as") {
            effname = getnam(k, in, "Edit", 4);
        } else if (w3 == "mol") {
            const int n = w.size() >= 4 && std::isdigit(static_cast<unsigned char>(w[3])) ? w[3] - '0'
                                                                                        : getint(k, in, "Edit");
            if (n < 1 || n > std::min(m.nmol, maxmol)) {
                fwrite(k, k.files.msgunit, "(1x,'WARNING: edit(030) improper molecule number: ',i10)", n);
                kvabort(k, warning);
                refused = true;
            } else {
                first = m.fstatm[n];
                last = m.lstatm[n];
            }
        } else if (w3 == "all") {
            first = m.nmol > 0 ? m.fstatm[1] : 1;
            last = m.nmol > 0 ? m.lstatm[std::min(m.nmol, maxmol)] : 0;
        } else if (w4 == "resi") {
            resi = getnam(k, in, "Edit", 4);
            by_resi = true;
        } else if (w4 == "resn") {
            resn = getint(k, in, "Edit");
            by_resn = true;
        } else if (w4 == "atna") {
            atna = getnam(k, in, "Edit", 4);
            by_atna = true;
        } else if (w4 == "atnu") {
            atnu = getint(k, in, "Edit");
            by_atnu = true;
        } else {
            msg(k, "SERIOUS: edit(050) unknown keyword: ", w);
            kvabort(k, serious);
        }
    }
    if (refused) return;

    // What is to be done must be complete.
    if (op == Op::reas) {
        quantity.clear();
        if (effname.empty()) {
            fwrite(k, k.files.msgunit, "(' WARNING: edit(020)  must specify effective name with',' reassign sub-command.')");
            kvabort(k, warning);
            return;
        }
    } else if (quantity.empty()) {
        fwrite(k, k.files.msgunit, "(' WARNING: edit(000)  must specify quantity to be edited')");
        kvabort(k, warning);
        return;
    }
    if (by_atnu && (by_resi || by_resn)) {
        fwrite(k, k.files.msgunit, "(' WARNING: edit(010)  atnum should not be specified with',' resid or resnum.')");
        kvabort(k, warning);
        return;
    }
    if (by_atnu) {
        if (atnu < 1 || atnu > std::min(m.natom, maxatm)) {
            fwrite(k, k.files.msgunit, "(1x,'WARNING: edit(035) atom number outside the atoms read: ',i10)", atnu);
            kvabort(k, warning);
            return;
        }
        first = last = atnu;
    }
    first = std::max(first, 1);
    last = std::min({last, m.natom, maxatm});

    const Name4 rname(resi), aname(atna);
    auto chosen = [&](int i) {
        if (by_atnu) return true;
        if (by_atna && !(m.atnam[i] == aname)) return false;
        if (by_resi && !(m.resnam[i] == rname)) return false;
        if (by_resn && m.resnum[i] != resn) return false;
        return true;
    };

    std::vector<char> resized(maxmol + 1, 0);
    if (op == Op::reas) {
        const Name4 eff(effname);
        int pos = 0;
        for (int i = first; i <= last; ++i) {
            if (!chosen(i)) continue;
            hnttab(eff, m.atnam[i], q.resnam.data(), q.atnam.data(), q.nentry, pos);
            if (pos == 0 && q.nequiv > 0) {
                int e = 0;
                hnttab(eff, m.atnam[i], q.eqsres.data(), q.eqsatm.data(), q.nequiv, e);
                if (e > 0) {
                    const int src = q.eqperm[e];
                    hnttab(q.eqtres[src], q.eqtatm[src], q.resnam.data(), q.atnam.data(), q.nentry, pos);
                }
            }
            if (pos == 0) {
                out(k, "(5x,'atom ',i5,1x,a4,1x,a4,' was NOT reassigned')", i, m.resnam[i].padded(),
                    m.atnam[i].padded());
                continue;
            }
            const int e = q.perm[pos];
            m.chrg[i] = q.chrg[e];
            m.radi[i] = q.radi[e];
            resized[molecule_of(m, i)] = 1;
            out(k, "(5x,'atom ',i5,1x,a4,1x,a4,' assigned charge=',f10.4,2x,'radius=',f10.4)", i,
                m.resnam[i].padded(), m.atnam[i].padded(), m.chrg[i], m.radi[i]);
        }
        out(k, "(1x)");
        // The molecule summaries follow the new charges and radii at once.
        refresh_molecules(k, true, resized);
        out(k, "(1x)");
        return;
    }

    // Every new value is checked before any is stored: a radius may not
    // become negative, and no number may overflow. A charge or radius still
    // unset is only ever set (equa), never scaled or shifted.
    const bool charge = quantity == "char";
    const float v = m.edtval;
    auto result = [&](float old) {
        return op == Op::equa ? v : op == Op::scal ? old * v : old + v;
    };
    for (int i = first; i <= last; ++i) {
        if (!chosen(i)) continue;
        const float old = charge ? m.chrg[i] : m.radi[i];
        if (op != Op::equa && old == unset) continue;
        const float r = result(old);
        if (!std::isfinite(r)) {
            msg(k, "SERIOUS: edit(060) new value is not a finite number for atom ", std::to_string(i));
            kvabort(k, serious);
            return;
        }
        if (!charge && r < 0.0f) {
            msg(k, "SERIOUS: edit(061) radius may not be negative: ", number_text(r));
            kvabort(k, serious);
            return;
        }
    }
    int count = 0, left_unset = 0;
    for (int i = first; i <= last; ++i) {
        if (!chosen(i)) continue;
        float& slot = charge ? m.chrg[i] : m.radi[i];
        if (op != Op::equa && slot == unset) {
            ++left_unset;
            continue;
        }
        const float r = result(slot);
        if (r == slot) continue;
        slot = r;
        ++count;
        resized[molecule_of(m, i)] = 1;
    }
    out(k, "(1x)");
    if (left_unset > 0) {
        fwrite(k, k.files.msgunit, "(1x,'NOTE: edit(070) values never set left unset: ',i6)", left_unset);
        kvabort(k, note);
    }
    if (count > 0) refresh_molecules(k, charge, charge ? std::vector<char>(maxmol + 1, 0) : resized);
    if (charge)
        out(k, "(' Edit: ',i6,' charge modifications were done')", count);
    else
        out(k, "(' Edit: ',i6,' radius modifications were done')", count);
    out(k, "(1x)");
}

}  // namespace kova
