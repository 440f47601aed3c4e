#include "command/tokens.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "command/readers.hpp"
#include "command/output.hpp"

namespace kova {

std::string_view kind_name(TokKind kind) {
    switch (kind) {
        case TokKind::error: return "ERROR";
        case TokKind::end: return "END";
        case TokKind::start: return "START";
        case TokKind::linend: return "LINEND";
        case TokKind::separator: return "SEPARATOR";
        case TokKind::integer: return "INTEGER";
        case TokKind::name: return "NAME";
        case TokKind::chr: return "CHAR";
        case TokKind::strbeg: return "STRBEG";
        case TokKind::string: return "STRING";
        case TokKind::real: return "REAL";
    }
    return "";
}

bool isletr(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isnumb(char c) { return c >= '0' && c <= '9'; }
bool iswhyt(char c) { return c == ' ' || c == '\t' || c == '\n'; }

int kvlen(std::string_view s) {
    int n = static_cast<int>(s.size());
    while (n > 0 && iswhyt(s[n - 1])) --n;
    return n;
}

std::string_view trimmed(std::string_view s) { return s.substr(0, kvlen(s)); }

std::string lcase(std::string_view in) {
    std::string out(in);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string lcase(Kova& k, std::string_view in, size_t outlen) {
    if (in.size() > outlen && kvlen(in.substr(outlen)) > 0) {
        std::string m = "String too big\" ";
        m += in.substr(0, std::min<size_t>(40, in.size()));
        ermsg(k, "LCASE", m, "WARNING");
    }
    return lcase(in.substr(0, std::min(outlen, in.size())));
}

std::string ljust(std::string_view in) {
    size_t i = 0;
    while (i < in.size() && iswhyt(in[i])) ++i;
    std::string out(in.substr(i, std::min<size_t>(linlen, in.size() - i)));
    out.resize(linlen, ' ');
    return out;
}

std::vector<std::pair<int, int>> split(std::string_view line) {
    std::vector<std::pair<int, int>> words;
    int n = static_cast<int>(std::min<size_t>(line.size(), linlen));
    char prev = ' ';
    for (int col = 1; col <= n; ++col) {
        char c = line[col - 1];
        if (c != ' ' && prev == ' ') words.push_back({col, 0});
        if (c == ' ' && prev != ' ') words.back().second = col - 1;
        prev = c;
    }
    if (!words.empty() && words.back().second == 0) words.back().second = n;
    return words;
}

// ---------------------------------------------------------------------------
// Reading a line.

// Reads of the end of one input tolerated in a row: the "EOF" line is handed
// out once; a command that asks for another line after it is still reading
// its values and can never get them.
constexpr int maxeof = 1;

namespace {

// Whether columns 1 to 80 of a command line end in a comment: a "!"
// outside quotes, or a "*" at the start of a word, makes the rest of the
// line a comment, so text beyond column 80 is part of it.
bool ends_in_comment(std::string_view cols) {
    char quote = 0;
    for (size_t i = 0; i < cols.size(); ++i) {
        char c = cols[i];
        if (quote) {
            if (c == quote) quote = 0;
            continue;
        }
        if (c == '\'' || c == '"') quote = c;
        else if (c == '!') return true;
        else if (c == '*' && (i == 0 || iswhyt(cols[i - 1]))) return true;
    }
    return false;
}

// A command line longer than 80 columns: the language reads 80, so text
// beyond them would be lost without a word (ions 150.0 read as ions 1).
void check_long_line(Kova& k, const std::string& record) {
    if (record.size() <= static_cast<size_t>(linlen)) return;
    std::string_view rest(record);
    rest.remove_prefix(linlen);
    if (kvlen(rest) == 0) return;
    if (ends_in_comment(std::string_view(record).substr(0, linlen))) return;
    msg(k, "SERIOUS: getlin(030) text beyond column 80 is not read:");
    // Enough of the line to see what was cut off, not a whole binary file.
    std::string_view shown = trimmed(record);
    k.units.write(k.files.msgunit, " > " + std::string(shown.substr(0, 2 * linlen)) +
                                       (shown.size() > 2 * linlen ? " ..." : ""));
    std::string caret(3 + linlen + 1, ' ');
    caret.back() = '^';
    k.units.write(k.files.msgunit, caret);
    kvabort(k, serious);
}

}  // namespace

void getlin(Kova& k, int unit, std::string_view prompt) {
    LineStore& t = k.tok;
    // A loop copy is never prompted or echoed; the tenth stream file shares
    // the loop marker's unit number, so only an active loop counts here.
    bool command_input = unit == k.files.inunit &&
                         !(k.files.loopunit > 60 && unit == k.files.loopunit);
    if (command_input) {
        std::string p(prompt);
        p += " > ";
        k.units.write_noadvance(k.files.outunit, p);
    }
    std::string record;
    fortio::IoStatus st = k.units.read(unit, record);
    t.line.fill(' ');
    t.ipos = 0;
    t.ateof = st != fortio::IoStatus::ok;
    if (t.ateof) {
        t.eofreads = t.eofunit == unit ? t.eofreads + 1 : 1;
        t.eofunit = unit;
        if (t.eofreads > maxeof) {
            msg(k, "FATAL: getlin(020) input ended while a command was still reading.");
            endrun(k, exit_input);
        }
        // End of file; a read error is treated the same way: the input ends.
        t.line[1] = 'E', t.line[2] = 'O', t.line[3] = 'F';
        t.ilen = 3;
        return;
    }
    t.eofreads = 0;
    t.eofunit = 0;
    size_t n = std::min<size_t>(record.size(), linlen);
    for (size_t i = 0; i < n; ++i) t.line[i + 1] = record[i];
    // Lines typed at a terminal are on the screen already.
    if (command_input && !(k.flags.terminal && unit == fortio::UnitTable::stdin_unit)) {
        std::string echo = " ";
        echo += trimmed(t.text());
        k.units.write(k.files.outunit, echo);
    }
    int len = linlen;
    while (len > 0 && t.line[len] == ' ') --len;
    t.ilen = len;
    if (len == 0) {
        const char* b = "BLANK";
        for (int i = 0; i < 5; ++i) t.line[i + 1] = b[i];
        t.ilen = 5;
    }
    if (unit == k.files.inunit) check_long_line(k, record);
}

// ---------------------------------------------------------------------------
// The scanner: 21 states, 12 character classes.

namespace {

// Character classes.
int classify(int pos, int len, char c) {
    if (pos > len) return 1;
    if (c == ' ' || c == '\t' || c == '\n') return 2;
    if (c >= '0' && c <= '9') return 3;
    if (c == 'e' || c == 'd' || c == 'E' || c == 'D') return 4;
    if (isletr(c)) return 5;
    if (c == '_') return 6;
    if (c == '.') return 7;
    if (c == '-') return 8;
    if (c == '\'') return 9;
    if (c == '"') return 10;
    if (c == '*') return 12;
    return 11;
}

constexpr TokKind none = TokKind::start;  // states without a kind of their own

constexpr TokKind state_kind[22] = {
    none,              // (unused 0)
    TokKind::error,    // 1
    TokKind::end,      // 2
    none,              // 3 START: never entered by a move
    TokKind::linend,   // 4
    TokKind::separator,// 5
    TokKind::integer,  // 6
    TokKind::name,     // 7
    TokKind::chr,      // 8
    TokKind::chr,      // 9
    TokKind::chr,      // 10
    TokKind::strbeg,   // 11
    TokKind::strbeg,   // 12
    none,              // 13
    TokKind::real,     // 14
    none,              // 15
    none,              // 16
    TokKind::string,   // 17
    none,              // 18
    TokKind::string,   // 19
    TokKind::real,     // 20
    none,              // 21
};

constexpr unsigned char next_state[22][13] = {
    //     1  2  3  4  5  6  7  8  9 10 11 12
    {0},
    {0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},                 // 1
    {0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},                 // 2
    {0, 4, 5, 6, 7, 7, 8, 9, 10, 11, 12, 8, 8},              // 3
    {0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},                 // 4
    {0, 1, 5, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},                 // 5
    {0, 1, 1, 6, 13, 1, 1, 14, 1, 1, 1, 1, 1},               // 6
    {0, 1, 1, 7, 7, 7, 7, 7, 1, 7, 1, 1, 7},                 // 7
    {0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},                 // 8
    {0, 1, 1, 14, 1, 1, 1, 1, 1, 1, 1, 1, 1},                // 9
    {0, 1, 1, 6, 1, 1, 1, 15, 1, 1, 1, 1, 1},                // 10
    {0, 1, 16, 16, 16, 16, 16, 16, 16, 17, 16, 16, 16},      // 11
    {0, 1, 18, 18, 18, 18, 18, 18, 18, 18, 19, 18, 18},      // 12
    {0, 1, 1, 20, 1, 1, 1, 1, 21, 1, 1, 1, 1},               // 13
    {0, 1, 1, 14, 13, 1, 1, 1, 1, 1, 1, 1, 1},               // 14
    {0, 1, 1, 14, 1, 1, 1, 1, 1, 1, 1, 1, 1},                // 15
    {0, 1, 16, 16, 16, 16, 16, 16, 16, 17, 16, 16, 16},      // 16
    {0, 1, 1, 1, 1, 1, 1, 1, 1, 16, 1, 1, 1},                // 17
    {0, 1, 18, 18, 18, 18, 18, 18, 18, 18, 19, 18, 18},      // 18
    {0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 18, 1, 1},                // 19
    {0, 1, 1, 20, 1, 1, 1, 1, 1, 1, 1, 1, 1},                // 20
    {0, 1, 1, 20, 1, 1, 1, 1, 1, 1, 1, 1, 1},                // 21
};

// Converts the text of a number token. An integer outside the 32-bit range
// becomes a REAL of the same value; a number too large for single precision
// is an ERROR token, which every reader rejects with its caret display.
void convert_number(Token& tk) {
    if (tk.kind == TokKind::integer) {
        long long v = 0;
        bool fits = true;
        const char* p = tk.text.c_str();
        bool neg = *p == '-';
        if (neg) ++p;
        for (; *p; ++p) {
            v = v * 10 + (*p - '0');
            if (v > 2147483648LL) {
                fits = false;
                break;
            }
        }
        if (neg) v = -v;
        if (fits && v >= std::numeric_limits<int>::min() && v <= std::numeric_limits<int>::max()) {
            tk.ival = static_cast<int>(v);
            tk.rval = static_cast<float>(tk.ival);
            return;
        }
        tk.kind = TokKind::real;  // falls through to the real conversion
    }
    if (tk.kind == TokKind::real) {
        std::string s = tk.text;
        for (char& c : s)
            if (c == 'd' || c == 'D') c = 'e';
        errno = 0;
        char* end = nullptr;
        float v = std::strtof(s.c_str(), &end);
        tk.ival = 0;
        if (std::isinf(v)) {
            tk.kind = TokKind::error;
            tk.rval = 0;
            return;
        }
        tk.rval = v;
    }
}

}  // namespace

Token gettok(Kova& k) { return gettok(k, k.tok.line.data(), k.tok.ilen, k.tok.ipos); }

Token gettok(Kova& k, const char* line1, int len, int& pos) {
    Token tk;
    char text[linlen + 1];
    TokKind kind = TokKind::separator;
    while (kind == TokKind::separator) {
        int count = 0, accepted = 0, state = 3;
        kind = TokKind::separator;
        int code = 0;
        for (;;) {
            ++pos;
            char c = (pos <= len && pos <= linlen) ? line1[pos] : ' ';
            ++count;
            if (count > linlen) {
                std::string m = "String too big:";
                m.append(text + 1, linlen);
                ermsg(k, "GETTOK", m, "WARNING");
            } else {
                text[count] = c;
            }
            state = next_state[state][classify(pos, len, c)];
            if (state == 1) break;
            TokKind sk = state_kind[state];
            if (sk == TokKind::strbeg || sk == TokKind::string) {
                --count;  // a delimiting quote is not part of the text
                code = static_cast<unsigned char>(c);
            }
            if (sk != none) {
                kind = sk;
                accepted = count;
            }
        }
        // Give back what was read after the last acceptance.
        pos -= count - accepted;
        if (kind != TokKind::separator) {
            tk.kind = kind;
            tk.text.assign(text + 1, std::min(accepted, linlen));
            if (kind == TokKind::string || kind == TokKind::strbeg) tk.ival = code;
        }
    }
    switch (tk.kind) {
        case TokKind::integer:
        case TokKind::real: convert_number(tk); break;
        case TokKind::string: break;
        case TokKind::strbeg: tk.text.clear(); tk.ival = 0; break;
        case TokKind::linend: tk.text.clear(); break;
        default: tk.ival = 0; tk.rval = 0; break;
    }
    return tk;
}

}  // namespace kova
