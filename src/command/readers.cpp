#include "command/readers.hpp"

#include <cmath>
#include <limits>

#include "command/output.hpp"
#include "command/symbols.hpp"
#include "command/tokens.hpp"

namespace kova {

double eval(Kova& k);  // the postfix evaluator (expressions)

namespace {

// When a reader rejects the end-of-file line there is nothing left to
// retype: the run ends instead of asking again for ever.
void end_if_no_more_input(Kova& k) {
    if (k.tok.ateof) {
        msg(k, "FATAL: getlin(010) end of input reached while a value was expected.");
        endrun(k, exit_input);
    }
}

// Shows the current line, cut after its last character that is not a blank,
// tab or line feed, and a caret under column ipos (the offending token's
// last character).
void show_caret(Kova& k) {
    const LineStore& t = k.tok;
    std::string shown = " > ";
    shown.append(t.line.data() + 1, static_cast<size_t>(std::max(kvlen(t.text()), 1)));
    k.units.write(k.files.msgunit, shown);
    int col = std::clamp(t.ipos, 1, linlen);
    std::string caret(3 + col, ' ');
    caret[3 + col - 1] = '^';
    k.units.write(k.files.msgunit, caret);
}

// Error path of the name and character readers. In interactive mode a
// command being typed is abandoned whole: its driver is left and the main
// loop reads a new command from a fresh line.
void name_error_path(Kova& k, int unit) {
    show_caret(k);
    if (k.flags.batch) {
        msg(k, "BATCH MODE ABORT!");
        endrun(k, exit_input);
    }
    end_if_no_more_input(k);
    msg(k, "Please retype entire line.");
    if (k.tok.incommand && unit == k.files.inunit) {
        k.tok.line.fill(' ');
        k.tok.ipos = k.tok.ilen = 0;
        throw CommandAbandoned{};
    }
}

enum class Family { nam, fil };

// A file name written without quotes runs from the token just scanned to the
// next blank: 1A8O.pdb scans as an INTEGER and a NAME, ../data/x.pdb as
// several characters, and each is one name. Returns the name and moves the
// scan position to its last character.
std::string adjacent_name(Kova& k, const Token& tk) {
    LineStore& t = k.tok;
    int first = t.ipos - static_cast<int>(tk.text.size()) + 1;
    int last = t.ipos;
    while (last < t.ilen && last < linlen && !iswhyt(t.line[last + 1])) ++last;
    t.ipos = last;
    return std::string(t.line.data() + first, static_cast<size_t>(last - first + 1));
}

std::string read_word(Kova& k, int unit, std::string_view prompt, size_t len, Family f) {
    for (;;) {
        Token tk = gettok(k);
        if (f == Family::fil && tk.kind != TokKind::string && tk.kind != TokKind::linend &&
            tk.kind != TokKind::strbeg && !(tk.kind == TokKind::chr && (tk.text == "*" || tk.text == "!")) &&
            !(tk.kind == TokKind::name && trimmed(lcase(tk.text)) == "blank")) {
            std::string r = adjacent_name(k, tk);
            if (r.size() > len) r.resize(len);
            r.resize(kvlen(r));
            return r;
        }
        if (tk.kind == TokKind::name || tk.kind == TokKind::string) {
            std::string low = lcase(tk.text);
            if (trimmed(low) != "blank") {
                std::string r = (f == Family::nam && tk.kind == TokKind::name) ? low : tk.text;
                if (r.size() > len) r.resize(len);
                r.resize(kvlen(r));
                return r;
            }
            getlin(k, unit, prompt);
            continue;
        }
        if (tk.kind == TokKind::linend) {
            getlin(k, unit, prompt);
            continue;
        }
        if (tk.kind == TokKind::chr && (tk.text == "*" || tk.text == "!")) {
            // A comment: a data file's comment lines are copied to the listing.
            if (unit != k.files.inunit) k.units.write(k.files.outunit, " " + std::string(k.tok.text()));
            getlin(k, unit, prompt);
            continue;
        }
        msg(k, f == Family::nam ? "GetNam ERROR: expecting string token." : "Getfil ERROR: expecting string token.");
        name_error_path(k, unit);
        getlin(k, unit, prompt);
    }
}

// What distinguishes the numeric readers from one another.
struct NumReader {
    std::string_view name;      // routine name, prompt of the variable name
    std::string_view cap;       // prompt of the index reads
    bool want_int;              // INTEGER tokens accepted
    bool want_real;             // REAL tokens accepted
    bool allow_eval;            // eval expressions accepted
    int index_reader;           // 1: index read by getin1, 2: by getin2, 0: no index allowed
    std::string_view wrong;     // wrong-token message
    std::string_view unknown;   // variable-not-found message
    bool integer_result;        // value truncated to an integer
};

constexpr NumReader rd_getint{"getint", "Getint", true, false, true, 1,
                              "PARSE_ERROR: getint (010) expecting integer or real token.",
                              "PARSE_ERROR: getint (000) unknown variable: ", true};
// A real may be written as an integer (grid 1 as well as grid 1.0).
constexpr NumReader rd_getfp{"getfp", "Getfp", true, true, true, 1,
                             "PARSE_ERROR: getfp (010) expecting real token.",
                             "PARSE_ERROR: getfp (000) unknown variable: ", false};
constexpr NumReader rd_getnum{"getnum", "Getnum", true, true, true, 1,
                              "PARSE_ERROR: getnum (010) expecting integer or real token.",
                              "PARSE_ERROR: getnum (000) unknown variable: ", false};
constexpr NumReader rd_getin1{"getin1", "Getin1", true, false, false, 2,
                              "PARSE_ERROR: getint (010) expecting integer or real token.",
                              "PARSE_ERROR: getin1 (000) unknown variable: ", true};
constexpr NumReader rd_getin2{"Getin2", "Getin2", true, false, false, 0,
                              "PARSE_ERROR: getint (010) expecting integer or real token.",
                              "PARSE_ERROR: getin2 (000) unknown variable: ", true};

// A value that cannot stand for the number asked for: an integer reader
// given a variable outside the integer range, a real outside single
// precision, or not a finite number at all (a variable holding the result of
// -1 sqrt or 1 0 /). Every number a command reads is a count, an index or a
// physical quantity, none of which can be infinite or undefined.
bool representable(const NumReader& r, double v) {
    if (!std::isfinite(v)) return false;
    if (r.integer_result)
        return v > static_cast<double>(std::numeric_limits<int>::min()) - 1.0 &&
               v < static_cast<double>(std::numeric_limits<int>::max()) + 1.0;
    return std::fabs(v) <= std::numeric_limits<float>::max();
}

double read_number(Kova& k, int unit, std::string_view prompt, const NumReader& r) {
    for (;;) {
        Token tk = gettok(k);
        // An integer is returned exactly: through single precision,
        // 16777217 would become 16777216.
        if (tk.kind == TokKind::integer && r.want_int)
            return r.integer_result ? static_cast<double>(tk.ival) : static_cast<double>(tk.rval);
        if (tk.kind == TokKind::real && r.want_real) return tk.rval;
        if (tk.kind == TokKind::linend) {
            getlin(k, unit, prompt);
            continue;
        }
        if (tk.kind == TokKind::chr && tk.text == "$") {
            std::string name = getnam(k, unit, r.name);
            int index = 0;
            int next = k.tok.ipos + 1;
            if (next <= k.tok.ilen && k.tok.line[next] == '(') {
                if (r.index_reader == 0) {
                    msg(k, "PARSE_ERROR: getin2(100) exceeded array index nesting");
                    errlin(k);
                    getlin(k, unit, prompt);
                    continue;
                }
                getchr(k, unit, r.cap);
                index = r.index_reader == 1 ? getin1(k, unit, r.cap) : getin2(k, unit, r.cap);
                getchr(k, unit, r.cap);
            }
            int status = 0;
            double v = getvar(k, name, index, status);
            if (status == 0) {
                if (representable(r, v)) return v;
                if (!std::isfinite(v))
                    msg(k, "PARSE_ERROR: ", r.name, " (030) value is not a finite number: " + name);
                else
                    msg(k, "PARSE_ERROR: ", r.name, " (020) value out of range: " + name);
            } else {
                msg(k, r.unknown, name);
            }
            errlin(k);
            getlin(k, unit, prompt);
            continue;
        }
        if (r.allow_eval && (tk.kind == TokKind::name || tk.kind == TokKind::string) &&
            lcase(tk.text) == "eval") {
            double v = eval(k);
            if (representable(r, v)) return v;
            if (!std::isfinite(v))
                msg(k, "PARSE_ERROR: ", r.name, " (030) expression value is not a finite number.");
            else
                msg(k, "PARSE_ERROR: ", r.name, " (020) expression value out of range.");
            errlin(k);
            getlin(k, unit, prompt);
            continue;
        }
        msg(k, r.wrong);
        errlin(k);
        getlin(k, unit, prompt);
    }
}

}  // namespace

std::string getnam(Kova& k, int unit, std::string_view prompt, size_t len) {
    return read_word(k, unit, prompt, len, Family::nam);
}

std::string getfil(Kova& k, int unit, std::string_view prompt, size_t len) {
    return read_word(k, unit, prompt, len, Family::fil);
}

char getchr(Kova& k, int unit, std::string_view prompt) {
    for (;;) {
        Token tk = gettok(k);
        std::string low = lcase(tk.text);
        if (tk.kind == TokKind::chr) return low.empty() ? ' ' : low[0];
        if (tk.kind == TokKind::linend || trimmed(low) == "blank") {
            getlin(k, unit, prompt);
            continue;
        }
        msg(k, "GetChr ERROR: expecting character token.");
        name_error_path(k, unit);
        getlin(k, unit, prompt);
    }
}

int getint(Kova& k, int unit, std::string_view prompt) {
    return static_cast<int>(read_number(k, unit, prompt, rd_getint));
}
float getfp(Kova& k, int unit, std::string_view prompt) {
    return static_cast<float>(read_number(k, unit, prompt, rd_getfp));
}
float getnum(Kova& k, int unit, std::string_view prompt) {
    return static_cast<float>(read_number(k, unit, prompt, rd_getnum));
}
int getin1(Kova& k, int unit, std::string_view prompt) {
    return static_cast<int>(read_number(k, unit, prompt, rd_getin1));
}
int getin2(Kova& k, int unit, std::string_view prompt) {
    return static_cast<int>(read_number(k, unit, prompt, rd_getin2));
}

void errlin(Kova& k) {
    LineStore& t = k.tok;
    show_caret(k);
    if (k.flags.batch) {
        msg(k, "FATAL: getnum (999) parsing error in batch mode!");
        endrun(k, exit_input);
    }
    end_if_no_more_input(k);
    t.line.fill(' ');
    msg(k, "Please retype line from this point.");
}

void ermsg(Kova& k, std::string_view routine, std::string_view message, std::string_view severity) {
    ++k.erm.calls;
    if (severity == "FATAL" || severity == "WARNING") {
        std::string m(trimmed(severity));
        m += ": ";
        m += trimmed(routine);
        m += "(ermsg) ";
        m += trimmed(message);
        msg(k, m);
    }
    if (k.erm.calls >= ErrorCount::limit) {
        std::string m = "FATAL: ermsg(010) exceded max error count = ";
        std::string n = std::to_string(ErrorCount::limit);
        m += std::string(4 - std::min<size_t>(4, n.size()), ' ') + n;
        msg(k, m);
    }
    if (severity == "FATAL" || k.erm.calls >= ErrorCount::limit) {
        k.units.flush();
        k.units.write(fortio::UnitTable::stderr_unit, "STOP Ermsg statement executed");
        endrun(k, exit_fatal);
    }
}

}  // namespace kova
