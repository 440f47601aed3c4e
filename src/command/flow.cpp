// Control flow of the command language: if/else/endif blocks run or skipped
// by scanning tokens, and while loops run from a scratch copy of their body
// read again on every pass.
#include "command/commands.hpp"
#include "command/mainloop.hpp"
#include "command/output.hpp"
#include "command/tokens.hpp"

namespace kova {

namespace {

bool comment_or_line_end(const Token& tk) {
    return tk.kind == TokKind::linend || (tk.kind == TokKind::chr && tk.text == "!");
}

bool is_eof_word(const Token& tk) { return tk.kind != TokKind::chr && lcase(tk.text) == "eof"; }

}  // namespace

namespace {

// Skips tokens of a block not taken, counting nested if blocks, up to the
// matching endif (or, when stop_at_else, an else of the same level).
// Returns false when the input ended first.
bool skip_block(Kova& k, int level, bool stop_at_else, std::string_view prompt) {
    for (;;) {
        Token tk = gettok(k);
        if (comment_or_line_end(tk)) {
            getlin(k, k.files.inunit, prompt);
            continue;
        }
        if (tk.kind == TokKind::chr) continue;
        std::string w = lcase(tk.text);
        if (w == "endif") {
            int before = k.flags.iflev--;
            if (level >= before) return true;
        } else if (stop_at_else && w == "else" && level == k.flags.iflev) {
            return true;
        } else if (w == "if") {
            ++k.flags.iflev;
        } else if (is_eof_word(tk)) {
            return false;
        }
    }
}

}  // namespace

void kvif(Kova& k) {
    int level = ++k.flags.iflev;
    if (eval(k) != 0.0) return;
    if (!skip_block(k, level, true, "If")) {
        msg(k, "FATAL: kvif(000) unexpected end of file.");
        endrun(k, exit_fatal);
    }
}

void kvelse(Kova& k) {
    // An else with no if block open has no branch to skip.
    if (k.flags.iflev <= 0) {
        msg(k, "SERIOUS: KOVA(310) else without if encountered");
        kvabort(k, serious);
        return;
    }
    // The if branch has run; the else branch is skipped.
    if (!skip_block(k, k.flags.iflev, false, "Else")) {
        msg(k, "ERROR: kvelse (000) unexpected end of file.");
        if (k.flags.bomb == 5) return;
        endrun(k, exit_abort);
    }
}

void endif(Kova& k) {
    if (k.flags.iflev > 0) {
        --k.flags.iflev;
        return;
    }
    msg(k, "SERIOUS: KOVA(300) extra endif encountered");
    kvabort(k, serious);
}

void kvwhil(Kova& k) {
    FileUnits& f = k.files;
    LineStore& t = k.tok;
    if (f.loopunit >= f.mxloop) {
        msg(k, "FATAL: kvwhil(100) whiles nested too deep.");
        endrun(k, exit_fatal);
    }
    ++f.loopunit;
    int level = ++k.flags.whlev;
    int unit = f.loopunit;
    if (!k.units.open(unit, "", fortio::OpenStatus::scratch, fortio::Form::formatted)) {
        msg(k, "FATAL: kvwhil(200) unable to open a scratch file for the loop.");
        endrun(k, exit_fatal);
    }
    k.units.write(unit, "if ");
    auto columns = [&](int from, int to) {  // line columns from..to, 1-based
        if (to < from) return std::string();
        return std::string(t.line.data() + from, static_cast<size_t>(to - from + 1));
    };
    int start = t.ipos + 1;
    for (;;) {
        Token tk = gettok(k);
        if (comment_or_line_end(tk)) {
            k.units.write(unit, columns(start, std::min(t.ipos - 1, linlen)));
            getlin(k, f.inunit, "While");
            start = 1;
            continue;
        }
        if (tk.kind == TokKind::chr) continue;
        std::string w = lcase(tk.text);
        if (w == "endwhile") {
            if (level >= k.flags.whlev) {
                k.units.write(unit, columns(start, t.ipos));
                k.units.write(unit, "endif");
                k.units.write(unit, columns(t.ipos + 1, kvlen(t.text())));
                k.units.rewind(unit);
                pushgt(k, true);
                f.inunit = unit;
                return;
            }
            --k.flags.whlev;
        } else if (w == "while") {
            ++k.flags.whlev;
        } else if (is_eof_word(tk)) {
            msg(k, "FATAL: kvwhil(000) unexpected end of file.");
            endrun(k, exit_fatal);
        }
    }
}

void endwhile(Kova& k) {
    LineStore& t = k.tok;
    // Only a loop copy can be rewound for the next pass; anywhere else the
    // word has no loop to close.
    if (t.nsave == 0 || !t.svloop[t.nsave] || k.files.inunit != k.files.loopunit) {
        msg(k, "SERIOUS: KOVA(320) endwhile without while encountered");
        kvabort(k, serious);
        return;
    }
    --k.flags.iflev;
    k.units.rewind(k.files.inunit);
    getlin(k, k.files.inunit, "Main> ");
}

}  // namespace kova
