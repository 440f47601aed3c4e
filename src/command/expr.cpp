// Variables, arrays and the postfix expression evaluator.
#include <array>
#include <cmath>

#include "command/commands.hpp"
#include "command/output.hpp"
#include "command/readers.hpp"
#include "command/tokens.hpp"

namespace kova {

void setvar(Kova& k, std::string_view name, int index, double value) {
    SymbolTable& s = k.sym;
    out(k, "(a)", "ASSIGNMENT");
    std::string nm(trimmed(name));
    long pos = s.find(nm);
    if (index > 0) pos += index - 1;
    if (pos > s.vari) {
        if (index != 0) {
            msg(k, "ERROR: setvar(100) array not previously dimensioned: ", nm);
        } else if (s.vari < maxsym) {
            ++s.vari;
            s.varc[s.vari] = nm;
            s.vardp[s.vari] = value;
            out(k, "(a,a20,a,e20.14)", "  Set the variable: ", pad(nm, linlen), "             = ", value);
            return;
        } else {
            msg(k, "ERROR: setvar(000) exceded symbol table size (maxsym)");
        }
        if (k.flags.bomb > 4) return;
        endrun(k, exit_abort);
    }
    s.vardp[pos] = value;
    if (index <= 0)
        out(k, "(a,a20,a,e20.14)", "  Set the variable: ", pad(nm, linlen), "             = ", value);
    else
        out(k, "(a,a20,a,i5,a,e20.14)", "  Set the variable: ", pad(nm, linlen), "(", index, ")      = ", value);
}

void kvdime(Kova& k) {
    SymbolTable& s = k.sym;
    out(k, "(a)", "DIMENSION");
    for (;;) {
        std::string name = getnam(k, k.files.inunit, "Dimension");
        if (name == "end") return;
        int size = getint(k, k.files.inunit, "Dimension");
        // A size of 0 or below would leave the name outside the counted
        // entries (or shrink the table under entries in use): refused, and
        // the array of that name, if any, stays as it was.
        if (size <= 0) {
            msg(k, "SERIOUS: kvdime(010) array size must be positive: ", name);
            kvabort(k, serious);
            continue;
        }
        for (int i = 1; i <= s.vari; ++i)
            if (s.varc[i] == name) s.varc[i].clear();
        if (static_cast<long>(s.vari) + size > maxsym) {
            msg(k, "SERIOUS: kvdime(000) user memory exceded: ", name);
            kvabort(k, serious);
            continue;
        }
        for (int i = s.vari + 1; i <= s.vari + size; ++i) {
            s.varc[i].clear();
            s.vardp[i] = 0.0;
        }
        s.varc[s.vari + 1] = name;
        s.vari += size;
        out(k, "(a,a20)", "  Array name                                        :", pad(name, linlen));
        out(k, "(a,i20)", "  Dimensioned to size                               :", size);
    }
}

void assign(Kova& k) {
    const int in = k.files.inunit;
    auto improper = [&](std::string_view missing) {
        msg(k, "SERIOUS: assign (000) improper usage: missing: ", missing);
        kvabort(k, serious);
    };
    std::string name = getnam(k, in, "Assign");
    char c = getchr(k, in, "Assign");
    if (c == '=') {
        setvar(k, name, 0, eval(k));
        return;
    }
    if (c != '(') {
        improper("=");
        return;
    }
    int lo = getint(k, in, "Assign");
    int hi = lo;
    c = getchr(k, in, "Assign");
    if (c == ':') {
        hi = getint(k, in, "Assign");
        if (getchr(k, in, "Assign") != ')') {
            improper(")");
            return;
        }
    } else if (c != ')') {
        improper(")");
        return;
    }
    if (getchr(k, in, "Assign") != '=') improper("=");
    for (long i = lo; i <= hi; ++i) setvar(k, name, static_cast<int>(i), eval(k));
}

double eval(Kova& k) {
    constexpr int depth = 20;
    std::array<double, depth + 1> st{};  // st[1..n]
    int n = 0;
    const int in = k.files.inunit;
    auto fail = [&](std::string_view text) {
        msg(k, text);
        if (k.flags.bomb > 4) return true;
        endrun(k, exit_abort);
    };
    for (;;) {
        Token tk = gettok(k);
        std::string w = lcase(tk.text);
        bool number = tk.kind == TokKind::integer || tk.kind == TokKind::real;
        bool is_chr = tk.kind == TokKind::chr;
        bool dollar = is_chr && w == "$";
        bool two = (is_chr && (w == "+" || w == "-" || w == "*" || w == "/" || w == "=" || w == ">" ||
                               w == "<")) ||
                   (!is_chr && !number && (w == "and" || w == "or" || w == "swap"));
        bool one = !is_chr && !number &&
                   (w == "not" || w == "dup" || w == "ln" || w == "exp" || w == "sqrt" || w == "pop");
        bool pushes = number || dollar || (!is_chr && w == "dup");

        if (pushes && n >= depth) {
            if (fail("ERROR: eval (000) stack overflow")) return 0.0;
        }
        if (two && n <= 1) {
            if (fail("ERROR: eval (010) insufficient entries for operation")) return 0.0;
        }
        if (one && n == 0) {
            if (fail("ERROR: eval (020) stack empty")) return 0.0;
        }

        if (number) {
            st[++n] = tk.rval;
        } else if (dollar) {
            std::string name = getnam(k, in, "Eval");
            int index = 0;
            int next = k.tok.ipos + 1;
            if (next <= k.tok.ilen && k.tok.line[next] == '(') {
                getchr(k, in, "Eval");
                index = getin1(k, in, "Eval");
                getchr(k, in, "Eval");
            }
            int status = 0;
            double v = getvar(k, name, index, status);
            if (status == 0) {
                st[++n] = v;
            } else {
                msg(k, "PARSE_ERROR: eval (025) unable to get variable: ", pad(name, linlen));
                errlin(k);
                getlin(k, in, "Eval");
            }
        } else if (two) {
            double b = st[n], a = st[n - 1];
            double r = 0.0;
            if (w == "swap") {
                st[n - 1] = b;
                st[n] = a;
                continue;
            }
            if (w == "+") r = a + b;
            else if (w == "-") r = a - b;
            else if (w == "*") r = a * b;
            else if (w == "/") r = a / b;
            else if (w == "=") r = a == b ? 1.0 : 0.0;
            else if (w == ">") r = a > b ? 1.0 : 0.0;
            else if (w == "<") r = a < b ? 1.0 : 0.0;
            else if (w == "and") r = (a == 0.0 || b == 0.0) ? 0.0 : 1.0;
            else if (w == "or") r = (a != 0.0 || b != 0.0) ? 1.0 : 0.0;
            st[--n] = r;
        } else if (one) {
            if (w == "exp") st[n] = std::exp(st[n]);
            else if (w == "ln") st[n] = std::log(st[n]);
            else if (w == "sqrt") st[n] = std::sqrt(st[n]);
            else if (w == "not") st[n] = st[n] == 0.0 ? 1.0 : 0.0;
            else if (w == "dup") { st[n + 1] = st[n]; ++n; }
            else if (w == "pop") --n;
        } else if ((!is_chr && (w == "end" || w == "do" || w == "then")) || (is_chr && w == ",")) {
            if (n > 0) return st[n];
            // An empty expression has no value: reported rather than taken as 0.
            if (fail("ERROR: eval (040) expression has no value")) return 0.0;
        } else if (tk.kind == TokKind::linend || (is_chr && w == "!")) {
            getlin(k, in, "Eval");
        } else {
            msg(k, "PARSE_ERROR: eval (030) unknown token: ", tk.text);
            errlin(k);
            getlin(k, in, "Eval");
        }
    }
}

}  // namespace kova
