// Formatted I/O: parsing of format strings, the numeric edit conversions
// (shared with list-directed I/O) and the formatted WRITE and READ drivers.
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <system_error>
#include <type_traits>

#include "fortio/format.hpp"
#include "fortio/format_detail.hpp"

namespace fortio {
namespace detail {

// ===========================================================================
// Format parsing
// ===========================================================================

namespace {

// Largest number accepted in a format (widths, counts); keeps every size
// computation far from integer overflow.
constexpr std::int64_t max_format_number = 1'000'000;

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

class Parser {
public:
    Parser(std::string_view s, Format& f) : s_(s), f_(f) {}

    void parse() {
        if (peek() != '(') fail("a format must begin with '('");
        ++i_;
        list(1);
        if (peek() != ')') fail("missing ')'");
        ++i_;
        if (peek() != '\0') fail("text after the closing ')'");
        f_.reversion = last_top_open_;
        // Reversion must reach a data descriptor, or a list longer than the
        // format would write empty records for ever.
        for (std::size_t k = f_.reversion; k < f_.nodes.size(); ++k)
            if (is_data(f_.nodes[k].op)) f_.has_data = true;
    }

private:
    std::string_view s_;
    Format& f_;
    std::size_t i_ = 0;
    std::size_t last_top_open_ = 0;

    [[noreturn]] void fail(const std::string& why) const {
        throw FormatError("bad format \"" + std::string(s_) + "\": " + why + " (at character " +
                          std::to_string(std::min(i_, s_.size()) + 1) + ")");
    }

    // Next significant character in upper case, or '\0' at the end. Blanks
    // are insignificant in a format outside literals.
    char peek() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t')) ++i_;
        return i_ < s_.size() ? upper(s_[i_]) : '\0';
    }

    // Peeks at the significant character after the next one.
    char peek2() {
        peek();
        std::size_t j = i_ + 1;
        while (j < s_.size() && (s_[j] == ' ' || s_[j] == '\t')) ++j;
        return j < s_.size() ? upper(s_[j]) : '\0';
    }

    bool at_digit() { return is_digit(peek()); }

    // An unsigned number; blanks between its digits are ignored.
    std::int32_t number(const char* what) {
        if (!at_digit()) fail(std::string("expected ") + what);
        std::int64_t v = 0;
        while (at_digit()) {
            v = v * 10 + (s_[i_] - '0');
            if (v > max_format_number) fail(std::string(what) + " too large");
            ++i_;
        }
        return static_cast<std::int32_t>(v);
    }

    std::int32_t width(const char* what) { return number(what); }

    void push(Node n) { f_.nodes.push_back(n); }

    void list(int depth) {
        for (;;) {
            char c = peek();
            if (c == ')' || c == '\0') return;
            if (c == ',') {
                ++i_;
                continue;
            }
            item(depth);
        }
    }

    void group(int depth, std::int32_t rep) {
        if (depth + 1 > max_group_depth) fail("groups nested too deeply");
        ++i_;  // '('
        std::size_t open = f_.nodes.size();
        if (depth == 1) last_top_open_ = open;
        push(Node{Op::Open, rep});
        list(depth + 1);
        if (peek() != ')') fail("missing ')'");
        ++i_;
        Node close{Op::Close, 1};
        close.link = static_cast<std::int32_t>(open);
        f_.nodes[open].link = static_cast<std::int32_t>(f_.nodes.size());
        push(close);
    }

    void literal() {
        char q = s_[i_++];
        Node n{Op::Lit, 1};
        n.link = static_cast<std::int32_t>(f_.text.size());
        for (;;) {
            if (i_ >= s_.size()) fail("unterminated character literal");
            char c = s_[i_++];
            if (c == q) {
                if (i_ < s_.size() && s_[i_] == q) {
                    f_.text.push_back(q);
                    ++i_;
                    continue;
                }
                break;
            }
            f_.text.push_back(c);
        }
        n.len = static_cast<std::int32_t>(f_.text.size()) - n.link;
        push(n);
    }

    void hollerith(std::int32_t count) {
        ++i_;  // 'H'
        if (count <= 0 || s_.size() - i_ < static_cast<std::size_t>(count))
            fail("Hollerith literal runs past the end of the format");
        Node n{Op::Lit, 1};
        n.link = static_cast<std::int32_t>(f_.text.size());
        n.len = count;
        f_.text.append(s_.substr(i_, static_cast<std::size_t>(count)));
        i_ += static_cast<std::size_t>(count);
        push(n);
    }

    // A data edit descriptor; the letter(s) have been consumed.
    void data(Op op, std::int32_t rep) {
        Node n{op, rep};
        switch (op) {
        case Op::A:
            if (at_digit()) {
                n.w = width("field width");
                if (n.w == 0) fail("A needs a positive width");
            }
            break;
        case Op::L:
            n.w = width("field width after L");
            if (n.w == 0) fail("L needs a positive width");
            break;
        case Op::I:
            n.w = width("field width after I");
            if (peek() == '.') {
                ++i_;
                n.d = number("minimum digits after I");
                if (n.w > 0 && n.d > n.w) fail("minimum digits exceed the field width");
            }
            break;
        case Op::F:
            n.w = width("field width after F");
            if (peek() != '.') fail("F needs a '.' and digit count");
            ++i_;
            n.d = number("digit count after F");
            break;
        case Op::E:
        case Op::D:
        case Op::ES:
        case Op::EN:
            n.w = width("field width");
            if (n.w == 0) fail("E, D, ES and EN need a positive width");
            if (peek() != '.') fail("E, D, ES and EN need a '.' and digit count");
            ++i_;
            n.d = number("digit count");
            if (op != Op::D && peek() == 'E' && is_digit(peek2())) {
                ++i_;
                n.e = number("exponent digits");
                if (n.e == 0) fail("exponent width must be positive");
            }
            break;
        case Op::G:
            n.w = width("field width after G");
            if (peek() == '.') {
                ++i_;
                n.d = number("digit count after G");
                if (peek() == 'E' && is_digit(peek2())) {
                    ++i_;
                    n.e = number("exponent digits");
                    if (n.e == 0) fail("exponent width must be positive");
                }
            }
            break;
        default:
            break;
        }
        push(n);
    }

    // Reads the letters of a data descriptor at the cursor, if one is there.
    bool data_letter(Op& op) {
        switch (peek()) {
        case 'I': op = Op::I; break;
        case 'F': op = Op::F; break;
        case 'D': op = Op::D; break;
        case 'G': op = Op::G; break;
        case 'L': op = Op::L; break;
        case 'A': op = Op::A; break;
        case 'E': {
            char c2 = peek2();
            ++i_;
            if (c2 == 'S') {
                peek();
                ++i_;
                op = Op::ES;
            } else if (c2 == 'N') {
                peek();
                ++i_;
                op = Op::EN;
            } else {
                op = Op::E;
            }
            return true;
        }
        default: return false;
        }
        ++i_;
        return true;
    }

    void item(int depth) {
        char c = peek();
        if (c == '\'' || c == '"') {
            literal();
            return;
        }
        if (c == '+' || c == '-') {
            ++i_;
            std::int32_t k = number("scale factor");
            if (peek() != 'P') fail("a signed number must be a scale factor (kP)");
            ++i_;
            push(Node{Op::P, c == '-' ? -k : k});
            return;
        }
        if (is_digit(c)) {
            std::int32_t n = number("repeat count");
            c = peek();
            switch (c) {
            case 'P': ++i_; push(Node{Op::P, n}); return;
            case 'X': ++i_; push(Node{Op::X, n}); return;
            case 'H': hollerith(n); return;
            default: break;
            }
            if (n == 0) fail("repeat count must be positive");
            if (c == '(') {
                group(depth, n);
                return;
            }
            if (c == '/') {
                ++i_;
                push(Node{Op::Slash, n});
                return;
            }
            Op op;
            if (!data_letter(op)) fail("expected an edit descriptor after the repeat count");
            data(op, n);
            return;
        }
        switch (c) {
        case '(': group(depth, 1); return;
        case '/': ++i_; push(Node{Op::Slash, 1}); return;
        case ':': ++i_; push(Node{Op::Colon, 1}); return;
        case 'X': ++i_; push(Node{Op::X, 1}); return;
        case 'T': {
            ++i_;
            Op op = Op::T;
            char c2 = peek();
            if (c2 == 'L') {
                op = Op::TL;
                ++i_;
            } else if (c2 == 'R') {
                op = Op::TR;
                ++i_;
            }
            std::int32_t n = number("position after T, TL or TR");
            if (op == Op::T && n == 0) fail("T needs a positive column");
            push(Node{op, n});
            return;
        }
        case 'B': {
            ++i_;
            char c2 = peek();
            if (c2 == 'N' || c2 == 'Z') {
                ++i_;
                push(Node{c2 == 'N' ? Op::BN : Op::BZ, 1});
                return;
            }
            fail("expected BN or BZ");
        }
        case 'S': {
            ++i_;
            char c2 = peek();
            if (c2 == 'P') {
                ++i_;
                push(Node{Op::SP, 1});
            } else if (c2 == 'S') {
                ++i_;
                push(Node{Op::SS, 1});
            } else {
                push(Node{Op::S, 1});
            }
            return;
        }
        default: break;
        }
        Op op;
        if (!data_letter(op)) fail(std::string("unknown edit descriptor '") + c + "'");
        data(op, 1);
    }
};

struct CacheEntry {
    std::string key;
    std::shared_ptr<const Format> format;
};

}  // namespace

std::shared_ptr<const Format> parsed_format(std::string_view fmt) {
    // Programs use a handful of formats over and over; a small per-thread
    // cache keeps each one parsed once, without locking.
    constexpr std::size_t slots = 32;
    thread_local std::array<CacheEntry, slots> cache;
    thread_local std::size_t last = 0;
    thread_local std::size_t next_slot = 0;

    if (cache[last].format && cache[last].key == fmt) return cache[last].format;
    for (std::size_t k = 0; k < slots; ++k) {
        if (cache[k].format && cache[k].key == fmt) {
            last = k;
            return cache[k].format;
        }
    }
    auto f = std::make_shared<Format>();
    Parser(fmt, *f).parse();
    std::size_t k = next_slot;
    next_slot = (next_slot + 1) % slots;
    cache[k].key.assign(fmt);
    cache[k].format = f;
    last = k;
    return f;
}

std::string describe(const Node& n) {
    std::string s;
    switch (n.op) {
    case Op::I: s = "I"; break;
    case Op::F: s = "F"; break;
    case Op::E: s = "E"; break;
    case Op::D: s = "D"; break;
    case Op::ES: s = "ES"; break;
    case Op::EN: s = "EN"; break;
    case Op::G: s = "G"; break;
    case Op::L: s = "L"; break;
    case Op::A: s = "A"; break;
    default: return "?";
    }
    if (n.w >= 0) s += std::to_string(n.w);
    if (n.d >= 0) s += "." + std::to_string(n.d);
    if (n.e >= 0) s += "E" + std::to_string(n.e);
    return s;
}

// ===========================================================================
// Output conversions
// ===========================================================================

char* scratch(std::size_t n) {
    thread_local std::string buf;
    if (buf.size() < n) buf.resize(std::max(n, 2 * buf.size()));
    return buf.data();
}

int significant_digits(double v, int sig, char* digits) {
    // std::to_chars with a precision gives the correctly rounded digits of
    // the exact binary value, ties to even: what the run-time prints.
    thread_local std::string buf;
    std::size_t need = static_cast<std::size_t>(sig) + 16;
    if (buf.size() < need) buf.resize(need);
    char* b = buf.data();
    auto r = std::to_chars(b, b + buf.size(), std::fabs(v), std::chars_format::scientific, sig - 1);
    // b holds d[.ddd]e(+|-)xx
    digits[0] = b[0];
    const char* p = b + 1;
    if (*p == '.') {
        std::memcpy(digits + 1, p + 1, static_cast<std::size_t>(sig - 1));
        p += sig;
    }
    ++p;  // 'e'
    bool neg = *p == '-';
    int x = 0;
    for (++p; p < r.ptr; ++p) x = x * 10 + (*p - '0');
    return (neg ? -x : x) + 1;
}

namespace {

void stars(std::string& out, int w) { out.append(static_cast<std::size_t>(std::max(w, 0)), '*'); }

// Appends body right-justified in w (w == 0: minimal width), or w asterisks
// when it does not fit. Returns whether it fitted.
bool justify(std::string& out, std::string_view body, int w) {
    if (w == 0) {
        out.append(body);
        return true;
    }
    if (body.size() > static_cast<std::size_t>(w)) {
        stars(out, w);
        return false;
    }
    out.append(static_cast<std::size_t>(w) - body.size(), ' ');
    out.append(body);
    return true;
}

template <class T>
T power_of_ten(int n) {
    static constexpr double exact[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                       1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (n <= 22) return static_cast<T>(exact[n]);
    if (std::is_same_v<T, float> && n > 38) return std::numeric_limits<T>::infinity();
    return static_cast<T>(std::pow(10.0, n));
}

// F editing core. minimal: a width of 0 means "as narrow as possible"
// (F0.d). G editing passes a computed width, which must be honoured even
// when it is 0 or less.
bool fixed(std::string& out, double v, int w, int d, int scale, bool plus, bool minimal) {
    if (!std::isfinite(v)) {
        put_nonfinite(out, v, w, plus);
        return true;
    }
    const bool free_width = minimal && w == 0;
    if (!free_width && w <= 0) {
        stars(out, w);
        return false;
    }
    const bool neg = std::signbit(v);
    const double a = std::fabs(v);
    const int digits_after = d + scale;
    if (digits_after < 0) throw FormatError("scale factor too negative for F editing");
    // A value with more integer digits than the field is wide cannot fit;
    // no need to convert it.
    if (!free_width && w - scale >= 0 && w - scale < 309 && a >= power_of_ten<double>(w - scale)) {
        stars(out, w);
        return false;
    }
    const std::size_t cap = static_cast<std::size_t>(digits_after) + 330;
    char* buf = scratch(cap);
    auto r = std::to_chars(buf, buf + cap, a, std::chars_format::fixed, digits_after);
    // Take the point out of the digits and note where it goes after scaling.
    char* end = r.ptr;
    char* dot = std::find(buf, end, '.');
    long point = dot - buf;
    if (dot != end) {
        std::memmove(dot, dot + 1, static_cast<std::size_t>(end - dot - 1));
        --end;
    }
    point += scale;
    // Integer part: buf[int_begin, point) without leading zeros. The
    // fraction is the d digits from `point` on, with zeros before the
    // digits when point < 0.
    long int_begin = 0;
    while (int_begin < point && buf[int_begin] == '0') ++int_begin;
    const long int_len = std::max(point - int_begin, 0L);
    const bool zero_int = int_len == 0;

    std::size_t body = (neg || plus ? 1u : 0u) + static_cast<std::size_t>(int_len) + 1u + static_cast<std::size_t>(d);
    bool with_zero = false;
    if (zero_int) {
        if (d == 0)
            with_zero = true;  // "0.": a lone point is no number
        else if (!free_width)
            with_zero = body + 1 <= static_cast<std::size_t>(w);  // the zero is optional
        if (with_zero) ++body;
    }
    if (!free_width) {
        if (body > static_cast<std::size_t>(w)) {
            stars(out, w);
            return false;
        }
        out.append(static_cast<std::size_t>(w) - body, ' ');
    }
    if (neg)
        out.push_back('-');
    else if (plus)
        out.push_back('+');
    if (zero_int) {
        if (with_zero) out.push_back('0');
    } else {
        out.append(buf + int_begin, static_cast<std::size_t>(int_len));
    }
    out.push_back('.');
    for (long k = point; k < point + d; ++k) out.push_back(k < 0 ? '0' : buf[k]);
    return true;
}

// Appends the exponent part of an E-type field ("E+05", "+105", "E+0005").
// Returns false when the exponent does not fit.
bool exponent(std::string& out, int x, int e, char letter) {
    const int ax = std::abs(x);
    char digits[16];
    auto r = std::to_chars(digits, digits + sizeof digits, ax);
    const int nd = static_cast<int>(r.ptr - digits);
    int width;
    if (e < 0) {
        if (ax <= 99) {
            out.push_back(letter);
            width = 2;
        } else if (ax <= 999) {
            width = 3;
        } else {
            return false;
        }
    } else {
        if (nd > e) return false;
        out.push_back(letter);
        width = e;
    }
    out.push_back(x < 0 ? '-' : '+');
    out.append(static_cast<std::size_t>(width - nd), '0');
    out.append(digits, static_cast<std::size_t>(nd));
    return true;
}

// Assembles sign, mantissa and exponent right-justified in w. The mantissa
// may start with an optional "0" (when opt_zero), dropped if the field is
// too narrow for it.
bool assemble(std::string& out, bool neg, bool plus, std::string_view mantissa, bool opt_zero,
              std::string_view expo, int w) {
    std::size_t len = (neg || plus ? 1u : 0u) + mantissa.size() + expo.size();
    if (opt_zero && len > static_cast<std::size_t>(w)) {
        mantissa.remove_prefix(1);
        --len;
    }
    if (len > static_cast<std::size_t>(w)) {
        stars(out, w);
        return false;
    }
    out.append(static_cast<std::size_t>(w) - len, ' ');
    if (neg)
        out.push_back('-');
    else if (plus)
        out.push_back('+');
    out.append(mantissa);
    out.append(expo);
    return true;
}

// Builds "int.frac" mantissas for the E family from significant digits.
struct Mantissa {
    std::string text;
    void build(const char* digits, int int_digits, int frac_digits, int lead_zeros, bool zero_before_point) {
        text.clear();
        if (zero_before_point) text.push_back('0');
        text.append(digits, static_cast<std::size_t>(int_digits));
        text.push_back('.');
        text.append(static_cast<std::size_t>(lead_zeros), '0');
        text.append(digits + int_digits, static_cast<std::size_t>(frac_digits));
    }
};

thread_local Mantissa tl_mantissa;
thread_local std::string tl_expo;

}  // namespace

void put_nonfinite(std::string& out, double v, int w, bool plus) {
    if (std::isnan(v)) {
        if (w == 0 || w >= 3)
            justify(out, "NaN", w);
        else
            stars(out, w);
        return;
    }
    const bool neg = v < 0;
    const bool sign = neg || plus;
    std::string_view text;
    if (w == 0)
        text = neg ? "-Inf" : plus ? "+Inf" : "Inf";
    else if (w >= 8 + (sign ? 1 : 0))
        text = neg ? "-Infinity" : plus ? "+Infinity" : "Infinity";
    else if (w >= 3 + (sign ? 1 : 0))
        text = neg ? "-Inf" : plus ? "+Inf" : "Inf";
    else if (!neg && w >= 3)
        text = "Inf";  // the '+' of SP is dropped before the field overflows
    if (text.empty())
        stars(out, w);
    else
        justify(out, text, w);
}

void put_int(std::string& out, std::int64_t v, int w, int m, bool plus) {
    if (m == 0 && v == 0) {
        // Iw.0 writes nothing but blanks for zero (one blank for I0.0).
        out.append(static_cast<std::size_t>(w == 0 ? 1 : w), ' ');
        return;
    }
    char buf[24];
    const std::uint64_t mag = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    const int nd = static_cast<int>(std::to_chars(buf, buf + sizeof buf, mag).ptr - buf);
    const int ndig = std::max(nd, m);
    const int len = ndig + ((v < 0 || plus) ? 1 : 0);
    if (w > 0 && len > w) {
        stars(out, w);
        return;
    }
    if (w > 0) out.append(static_cast<std::size_t>(w - len), ' ');
    if (v < 0)
        out.push_back('-');
    else if (plus)
        out.push_back('+');
    out.append(static_cast<std::size_t>(ndig - nd), '0');
    out.append(buf, static_cast<std::size_t>(nd));
}

void put_f(std::string& out, double v, int w, int d, int scale, bool plus) {
    fixed(out, v, w, d, scale, plus, true);
}

void put_e(std::string& out, double v, int w, int d, int e, int scale, char letter, bool plus) {
    if (!(-d < scale && scale < d + 2))
        throw FormatError("scale factor " + std::to_string(scale) + " out of range for " +
                          std::string(1, letter) + std::to_string(w) + "." + std::to_string(d) + " editing");
    if (!std::isfinite(v)) {
        put_nonfinite(out, v, w, plus);
        return;
    }
    const bool neg = std::signbit(v);
    const int sig = scale > 0 ? d + 1 : d + scale;
    char* digits = scratch(static_cast<std::size_t>(sig) + 1);
    int x = 0;
    if (v == 0) {
        std::memset(digits, '0', static_cast<std::size_t>(sig));
    } else {
        x = significant_digits(v, sig, digits) - scale;
    }
    Mantissa& m = tl_mantissa;
    if (scale > 0)
        m.build(digits, scale, d - scale + 1, 0, false);
    else
        m.build(digits, 0, sig, -scale, true);
    std::string& ex = tl_expo;
    ex.clear();
    if (!exponent(ex, x, e, letter)) {
        stars(out, w);
        return;
    }
    assemble(out, neg, plus, m.text, scale <= 0, ex, w);
}

void put_es(std::string& out, double v, int w, int d, int e, bool plus) {
    if (!std::isfinite(v)) {
        put_nonfinite(out, v, w, plus);
        return;
    }
    const bool neg = std::signbit(v);
    char* digits = scratch(static_cast<std::size_t>(d) + 2);
    int x = 0;
    if (v == 0)
        std::memset(digits, '0', static_cast<std::size_t>(d) + 1);
    else
        x = significant_digits(v, d + 1, digits) - 1;
    Mantissa& m = tl_mantissa;
    m.build(digits, 1, d, 0, false);
    std::string& ex = tl_expo;
    ex.clear();
    if (!exponent(ex, x, e, 'E')) {
        stars(out, w);
        return;
    }
    assemble(out, neg, plus, m.text, false, ex, w);
}

namespace {

// The layout G editing picks for a nonzero magnitude a: the number of
// digits before the point in the F layout (0 for 0.1 <= a < 1), or -1 for
// the E layout. The run-time compares a with the bounds of the standard's
// table, 0.1 - 0.5*10^(-d-1), 10^k - 0.5*10^(k-d) and 10^d - 0.5, each
// computed in the item's own precision as
//     0.1 - 0.05/10^d,   (1 - 0.5/10^d) * 10^k,   10^d - 0.5
// so values within an ulp or two of a bound go the way that arithmetic
// says, not the way their exact decimal value would.
template <class T>
int g_layout(T a, int d) {
    const T p = power_of_ten<T>(d);
    const T lower = T(0.1) - T(0.05) / p;
    if (!(a >= lower)) return -1;
    const T top = p - T(0.5);
    if (a >= top) return -1;
    const T rsc = T(1) - T(0.5) / p;
    // a >= 10^(e-1) exceeds every bound below k = e - 1.
    int e = 0;
    std::frexp(static_cast<double>(a), &e);
    int k = std::max(0, static_cast<int>(std::floor((e - 1) * 0.30102999566398120)) - 1);
    for (; k < d; ++k)
        if (a < rsc * power_of_ten<T>(k)) return k;
    return d;
}

}  // namespace

void put_g(std::string& out, double v, int w, int d, int e, int scale, bool plus, bool single) {
    if (d <= 0) throw FormatError("G editing of a real needs a positive digit count, e.g. G15.7");
    if (!std::isfinite(v)) {
        put_nonfinite(out, v, w, plus);
        return;
    }
    const int blanks = e < 0 ? 4 : e + 2;
    const int k = v == 0 ? 0 : single ? g_layout(static_cast<float>(std::fabs(v)), d) : g_layout(std::fabs(v), d);
    if (v == 0 || k >= 0) {
        // F layout with d significant digits and the exponent's room left
        // blank; the scale factor does not apply.
        const std::size_t start = out.size();
        const int decimals = v == 0 ? d - 1 : d - k;
        if (!fixed(out, v, w - blanks, decimals, 0, plus, false)) {
            out.resize(start);
            stars(out, w);
            return;
        }
        out.append(static_cast<std::size_t>(blanks), ' ');
        return;
    }
    put_e(out, v, w, d, e, scale, 'E', plus);
}

// ===========================================================================
// Input conversions
// ===========================================================================

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Case-insensitive match of text (after trailing blanks) against word.
bool equals_word(std::string_view text, std::string_view word) {
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    if (text.size() != word.size()) return false;
    for (std::size_t k = 0; k < word.size(); ++k)
        if (lower(text[k]) != word[k]) return false;
    return true;
}

// Decimal form of a real text: significant digits (no leading zeros) and
// the power of ten to apply to them as an integer.
struct Decimal {
    enum Kind { finite, zero, inf, nan } kind = zero;
    bool neg = false;
    std::string_view digits;  // into a scratch buffer
    std::int64_t exp10 = 0;
};

Parse scan_real(std::string_view t, bool blank_zero, int implied, int scale, Decimal& out) {
    std::size_t i = 0;
    const std::size_t n = t.size();
    while (i < n && is_blank(t[i])) ++i;
    if (i == n) {
        out.kind = Decimal::zero;
        return Parse::ok;
    }
    if (t[i] == '+' || t[i] == '-') {
        out.neg = t[i] == '-';
        ++i;
    }
    // Infinities and NaN as the run-time writes them.
    if (i < n && (lower(t[i]) == 'i' || lower(t[i]) == 'n')) {
        std::string_view rest = t.substr(i);
        if (equals_word(rest, "inf") || equals_word(rest, "infinity")) {
            out.kind = Decimal::inf;
            return Parse::ok;
        }
        if (equals_word(rest, "nan")) {
            out.kind = Decimal::nan;
            return Parse::ok;
        }
        return Parse::bad;
    }
    char* buf = scratch(n + 1);
    std::size_t nd = 0;        // significant digits stored
    std::int64_t frac = 0;     // digits seen after the point
    bool point = false;
    bool any_digit = false;
    for (; i < n; ++i) {
        char c = t[i];
        if (is_blank(c)) {
            if (!blank_zero) continue;
            c = '0';
        }
        if (c == '.') {
            if (point) return Parse::bad;
            point = true;
            continue;
        }
        if (!is_digit(c)) break;
        any_digit = true;
        if (point) ++frac;
        if (nd == 0 && c == '0') continue;  // leading zero
        buf[nd++] = c;
    }
    if (!any_digit) return Parse::bad;
    std::int64_t ex = 0;
    bool has_exp = false;
    if (i < n) {
        char c = lower(t[i]);
        if (c == 'e' || c == 'd' || c == 'q') {
            ++i;
            while (i < n && is_blank(t[i]) && !blank_zero) ++i;
        } else if (c != '+' && c != '-') {
            return Parse::bad;
        }
        bool eneg = false;
        if (i < n && (t[i] == '+' || t[i] == '-')) {
            eneg = t[i] == '-';
            ++i;
        }
        bool exp_digit = false;
        for (; i < n; ++i) {
            char ec = t[i];
            if (is_blank(ec)) {
                if (!blank_zero) continue;
                ec = '0';
            }
            if (!is_digit(ec)) return Parse::bad;
            exp_digit = true;
            if (ex < 100'000'000) ex = ex * 10 + (ec - '0');
        }
        if (!exp_digit) return Parse::bad;
        has_exp = true;
        if (eneg) ex = -ex;
    }
    if (nd == 0) {
        out.kind = Decimal::zero;
        return Parse::ok;
    }
    // Position of the point: after the integer digits. Without a point in
    // the field, the last `implied` digits are the fraction.
    std::int64_t after = point ? frac : implied;
    if (!has_exp) ex = -scale;
    out.kind = Decimal::finite;
    out.digits = std::string_view(buf, nd);
    out.exp10 = ex - after;
    return Parse::ok;
}

template <class T>
Parse convert_real(const Decimal& dec, T& out) {
    switch (dec.kind) {
    case Decimal::zero: out = dec.neg ? -T(0) : T(0); return Parse::ok;
    case Decimal::inf:
        out = dec.neg ? -std::numeric_limits<T>::infinity() : std::numeric_limits<T>::infinity();
        return Parse::ok;
    case Decimal::nan: out = std::numeric_limits<T>::quiet_NaN(); return Parse::ok;
    case Decimal::finite: break;
    }
    // Decimal magnitude: the value lies in [10^(mag-1), 10^mag).
    const std::int64_t mag = static_cast<std::int64_t>(dec.digits.size()) + dec.exp10;
    if (mag > 400) return Parse::range;
    if (mag < -400) {
        out = dec.neg ? -T(0) : T(0);
        return Parse::ok;
    }
    // digits "e" exponent, converted with correct rounding straight to T.
    thread_local std::string text;
    text.assign(dec.digits);
    char ebuf[24];
    ebuf[0] = 'e';
    auto r = std::to_chars(ebuf + 1, ebuf + sizeof ebuf, dec.exp10);
    text.append(ebuf, static_cast<std::size_t>(r.ptr - ebuf));
    T v{};
    auto res = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::scientific);
    if (res.ec == std::errc::result_out_of_range) {
        if (mag > 0) return Parse::range;
        v = T(0);
    } else if (res.ec != std::errc() || !std::isfinite(v)) {
        return Parse::range;
    }
    out = dec.neg ? -v : v;
    return Parse::ok;
}

}  // namespace

Parse parse_int(std::string_view t, bool blank_zero, std::int64_t lo, std::int64_t hi, std::int64_t& out) {
    std::size_t i = 0;
    const std::size_t n = t.size();
    while (i < n && is_blank(t[i])) ++i;
    if (i == n) {
        out = 0;
        return Parse::ok;
    }
    bool neg = false;
    if (t[i] == '+' || t[i] == '-') {
        neg = t[i] == '-';
        ++i;
    }
    std::uint64_t mag = 0;
    bool any = false;
    bool overflow = false;
    for (; i < n; ++i) {
        char c = t[i];
        if (is_blank(c)) {
            if (!blank_zero) continue;
            c = '0';
        }
        if (!is_digit(c)) return Parse::bad;
        any = true;
        const auto dgt = static_cast<std::uint64_t>(c - '0');
        if (mag > (std::numeric_limits<std::uint64_t>::max() - dgt) / 10)
            overflow = true;
        else
            mag = mag * 10 + dgt;
    }
    if (!any) return Parse::bad;
    if (overflow) return Parse::range;
    if (neg) {
        const std::uint64_t limit = lo < 0 ? 0 - static_cast<std::uint64_t>(lo) : 0;
        if (mag > limit) return Parse::range;
        out = mag == 0 ? 0 : static_cast<std::int64_t>(0 - mag);
    } else {
        if (mag > static_cast<std::uint64_t>(hi)) return Parse::range;
        out = static_cast<std::int64_t>(mag);
    }
    if (out < lo || out > hi) return Parse::range;
    return Parse::ok;
}

namespace {

// Most fields hold a plain number such as "  -6.134" or "1.5E-03": with a
// point, no blanks inside, an E exponent if any. Those go straight to
// from_chars; everything else (and anything out of range) takes the
// general path. Returns false when the fast path does not apply.
template <class T>
bool plain_real(std::string_view t, int scale, T& out) {
    while (!t.empty() && is_blank(t.front())) t.remove_prefix(1);
    while (!t.empty() && is_blank(t.back())) t.remove_suffix(1);
    if (t.empty()) return false;
    if (t.front() == '+') t.remove_prefix(1);
    std::size_t i = t.empty() || t.front() != '-' ? 0 : 1;
    bool point = false, digit = false;
    for (; i < t.size(); ++i) {
        const char c = t[i];
        if (is_digit(c)) {
            digit = true;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (!point || !digit) return false;
    if (i < t.size()) {
        if (t[i] != 'e' && t[i] != 'E') return false;
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        if (i == t.size()) return false;
        for (; i < t.size(); ++i)
            if (!is_digit(t[i])) return false;
    } else if (scale != 0) {
        return false;  // the scale factor applies
    }
    T v{};
    auto r = std::from_chars(t.data(), t.data() + t.size(), v, std::chars_format::general);
    if (r.ec != std::errc() || r.ptr != t.data() + t.size() || !std::isfinite(v)) return false;
    out = v;
    return true;
}

}  // namespace

Parse parse_real(std::string_view text, bool blank_zero, int implied, int scale, double& out) {
    if (!blank_zero && plain_real(text, scale, out)) return Parse::ok;
    Decimal dec;
    Parse p = scan_real(text, blank_zero, implied, scale, dec);
    return p == Parse::ok ? convert_real(dec, out) : p;
}

Parse parse_real(std::string_view text, bool blank_zero, int implied, int scale, float& out) {
    if (!blank_zero && plain_real(text, scale, out)) return Parse::ok;
    Decimal dec;
    Parse p = scan_real(text, blank_zero, implied, scale, dec);
    return p == Parse::ok ? convert_real(dec, out) : p;
}

Parse parse_logical(std::string_view t, bool& out) {
    std::size_t i = 0;
    while (i < t.size() && is_blank(t[i])) ++i;
    if (i < t.size() && t[i] == '.') ++i;
    if (i >= t.size()) return Parse::bad;
    char c = lower(t[i]);
    if (c == 't') {
        out = true;
        return Parse::ok;
    }
    if (c == 'f') {
        out = false;
        return Parse::ok;
    }
    return Parse::bad;
}

void assign_chars(const Chars& c, std::string_view text) {
    const std::size_t len = static_cast<std::size_t>(std::max(c.len, 0));
    if (text.size() >= len) {
        c.s->assign(text.substr(0, len));
    } else {
        c.s->assign(text);
        c.s->append(len - text.size(), ' ');
    }
}

}  // namespace detail

// ===========================================================================
// Formatted WRITE
// ===========================================================================

namespace {

using detail::Node;
using detail::Op;

const char* type_name(const OutItem& item) {
    switch (item.index()) {
    case 0: return "INTEGER";
    case 1: return "REAL";
    case 2: return "DOUBLE PRECISION";
    case 3: return "CHARACTER";
    default: return "LOGICAL";
    }
}

const char* type_name(const InItem& item) {
    switch (item.index()) {
    case 0:
    case 1: return "INTEGER";
    case 2: return "REAL";
    case 3: return "DOUBLE PRECISION";
    case 4: return "LOGICAL";
    default: return "CHARACTER";
    }
}

[[noreturn]] void mismatch(const char* type, const Node& n, std::size_t index) {
    throw FormatError(std::string("item ") + std::to_string(index + 1) + " (" + type +
                      ") does not match edit descriptor " + detail::describe(n));
}

class Writer {
public:
    explicit Writer(const detail::Format& f) : f_(f) { rec_.reserve(128); }

    std::vector<std::string> records;

    bool new_record() {
        records.push_back(std::move(rec_));
        rec_ = std::string();
        rec_.reserve(128);
        pos_ = 0;
        return true;
    }

    bool control(const Node& n) {
        switch (n.op) {
        case Op::X:
        case Op::TR: pos_ += static_cast<std::size_t>(n.rep); break;
        case Op::T: pos_ = static_cast<std::size_t>(n.rep) - 1; break;
        case Op::TL: pos_ = pos_ > static_cast<std::size_t>(n.rep) ? pos_ - static_cast<std::size_t>(n.rep) : 0; break;
        case Op::Slash:
            for (int k = 0; k < n.rep; ++k) new_record();
            break;
        case Op::Lit: put(std::string_view(f_.text).substr(static_cast<std::size_t>(n.link), static_cast<std::size_t>(n.len))); break;
        case Op::P: scale_ = n.rep; break;
        case Op::SP: plus_ = true; break;
        case Op::SS:
        case Op::S: plus_ = false; break;
        default: break;  // BN, BZ: input only
        }
        return true;
    }

    void item(const Node& n, const OutItem& it, std::size_t index) {
        // Fields are formatted straight onto the end of the record, or into
        // a scratch string when a tab has moved the position elsewhere.
        const bool at_end = pos_ == rec_.size();
        std::string& s = at_end ? rec_ : field_;
        if (!at_end) s.clear();
        const std::size_t start = s.size();
        switch (it.index()) {
        case 0: {
            const std::int64_t v = std::get<0>(it);
            if (n.op == Op::I)
                detail::put_int(s, v, n.w, n.d, plus_);
            else if (n.op == Op::G)
                detail::put_int(s, v, n.w, -1, plus_);
            else
                mismatch(type_name(it), n, index);
            break;
        }
        case 1: real(s, n, static_cast<double>(std::get<1>(it)), it, index); break;
        case 2: real(s, n, std::get<2>(it), it, index); break;
        case 3: {
            if (n.op != Op::A && n.op != Op::G) mismatch(type_name(it), n, index);
            std::string_view v = std::get<3>(it);
            const int w = n.op == Op::G && n.w == 0 ? -1 : n.w;
            if (w < 0 || v.size() >= static_cast<std::size_t>(w)) {
                s.append(w < 0 ? v : v.substr(0, static_cast<std::size_t>(w)));
            } else {
                s.append(static_cast<std::size_t>(w) - v.size(), ' ');
                s.append(v);
            }
            break;
        }
        default: {
            if (n.op != Op::L && n.op != Op::G) mismatch(type_name(it), n, index);
            const int w = n.w <= 0 ? 1 : n.w;
            s.append(static_cast<std::size_t>(w - 1), ' ');
            s.push_back(std::get<4>(it) ? 'T' : 'F');
            break;
        }
        }
        if (at_end)
            pos_ += rec_.size() - start;
        else
            put(s);
    }

    std::vector<std::string> finish() {
        records.push_back(std::move(rec_));
        return std::move(records);
    }

private:
    const detail::Format& f_;
    std::string rec_;
    std::size_t pos_ = 0;
    int scale_ = 0;
    bool plus_ = false;
    std::string field_;

    void real(std::string& s, const Node& n, double v, const OutItem& it, std::size_t index) {
        switch (n.op) {
        case Op::F: detail::put_f(s, v, n.w, n.d, scale_, plus_); break;
        case Op::E: detail::put_e(s, v, n.w, n.d, n.e, scale_, 'E', plus_); break;
        case Op::D: detail::put_e(s, v, n.w, n.d, n.e, scale_, 'D', plus_); break;
        case Op::ES: detail::put_es(s, v, n.w, n.d, n.e, plus_); break;
        case Op::EN:
            // gfortran's EN output does not round the exact value (it keeps
            // d+1 digits and pads, or cuts digits off); no layout here uses
            // EN, so it is refused rather than written differently.
            throw FormatError("EN editing is supported for input only");
        case Op::G:
            if (n.w == 0) throw FormatError("G0 editing of a real is not supported; use F, E or list-directed output");
            detail::put_g(s, v, n.w, n.d, n.e, scale_, plus_, it.index() == 1);
            break;
        default: mismatch(type_name(it), n, index);
        }
    }

    // Writes text at the current position: blanks fill any gap left by X or
    // T, and text written after a leftward tab replaces what was there.
    void put(std::string_view text) {
        if (pos_ > rec_.size()) rec_.append(pos_ - rec_.size(), ' ');
        if (pos_ == rec_.size()) {
            rec_.append(text);
        } else {
            const std::size_t over = std::min(text.size(), rec_.size() - pos_);
            rec_.replace(pos_, over, text.data(), over);
            rec_.append(text.substr(over));
        }
        pos_ += text.size();
    }
};

std::vector<std::string> write_items(std::string_view fmt, const OutItem* items, std::size_t count) {
    auto f = detail::parsed_format(fmt);
    detail::Walker walk(*f);
    Writer wr(*f);
    std::size_t i = 0;
    while (const Node* n = walk.next(wr, i < count)) {
        wr.item(*n, items[i], i);
        ++i;
    }
    return wr.finish();
}

// ===========================================================================
// Formatted READ
// ===========================================================================

class Reader {
public:
    Reader(const detail::Format& f, const RecordSource& src) : f_(f), src_(src) {}

    ReadResult result;

    bool new_record() {
        if (!src_(rec_)) {
            result.status = ReadStatus::eof;
            result.message = "end of file";
            return false;
        }
        ++records_;
        pos_ = 0;
        return true;
    }

    bool control(const Node& n) {
        switch (n.op) {
        case Op::X:
        case Op::TR: pos_ += static_cast<std::size_t>(n.rep); break;
        case Op::T: pos_ = static_cast<std::size_t>(n.rep) - 1; break;
        case Op::TL: pos_ = pos_ > static_cast<std::size_t>(n.rep) ? pos_ - static_cast<std::size_t>(n.rep) : 0; break;
        case Op::Slash:
            for (int k = 0; k < n.rep; ++k)
                if (!new_record()) return false;
            break;
        case Op::Lit: throw FormatError("character literal in a format used for input");
        case Op::P: scale_ = n.rep; break;
        case Op::BN: blank_zero_ = false; break;
        case Op::BZ: blank_zero_ = true; break;
        default: break;  // SP, SS, S: output only
        }
        return true;
    }

    // Returns false (with result set) on a bad field.
    bool item(const Node& n, const InItem& it, std::size_t index) {
        switch (it.index()) {
        case 0:
        case 1: {
            if (n.op != Op::I && n.op != Op::G) mismatch(type_name(it), n, index);
            const bool narrow = it.index() == 0;
            std::string_view t = field(n, index);
            std::int64_t v = 0;
            const std::int64_t lo = narrow ? INT32_MIN : std::numeric_limits<std::int64_t>::min();
            const std::int64_t hi = narrow ? INT32_MAX : std::numeric_limits<std::int64_t>::max();
            detail::Parse p = detail::parse_int(t, blank_zero_, lo, hi, v);
            if (p != detail::Parse::ok) return fail(p, "integer", t, n, index);
            if (narrow)
                *std::get<0>(it) = static_cast<int>(v);
            else
                *std::get<1>(it) = v;
            return true;
        }
        case 2:
        case 3: {
            if (n.op != Op::F && n.op != Op::E && n.op != Op::D && n.op != Op::ES && n.op != Op::EN && n.op != Op::G)
                mismatch(type_name(it), n, index);
            std::string_view t = field(n, index);
            const int implied = std::max(n.d, 0);
            detail::Parse p = it.index() == 2
                                  ? detail::parse_real(t, blank_zero_, implied, scale_, *std::get<2>(it))
                                  : detail::parse_real(t, blank_zero_, implied, scale_, *std::get<3>(it));
            if (p != detail::Parse::ok) return fail(p, "real number", t, n, index);
            return true;
        }
        case 4: {
            if (n.op != Op::L && n.op != Op::G) mismatch(type_name(it), n, index);
            std::string_view t = field(n, index);
            bool v = false;
            if (detail::parse_logical(t, v) != detail::Parse::ok)
                return fail(detail::Parse::bad, "logical value", t, n, index);
            *std::get<4>(it) = v;
            return true;
        }
        default: {
            if (n.op != Op::A && n.op != Op::G) mismatch(type_name(it), n, index);
            const Chars& c = std::get<5>(it);
            const std::size_t len = static_cast<std::size_t>(std::max(c.len, 0));
            const std::size_t w = n.w > 0 ? static_cast<std::size_t>(n.w) : len;
            std::string_view t = take(w);
            const std::size_t pad = w - t.size();  // columns past the end of the record read as blanks
            if (w >= len) {
                // The rightmost len characters of the field.
                if (pad >= len) {
                    c.s->assign(len, ' ');
                } else {
                    c.s->assign(t.substr(t.size() - (len - pad)));
                    c.s->append(pad, ' ');
                }
            } else {
                c.s->assign(t);
                c.s->append(len - t.size(), ' ');
            }
            return true;
        }
        }
    }

private:
    const detail::Format& f_;
    const RecordSource& src_;
    std::string rec_;
    std::size_t pos_ = 0;
    std::size_t records_ = 0;
    int scale_ = 0;
    bool blank_zero_ = false;

    // The next w columns of the record; columns past its end are blanks and
    // are left out of the view.
    std::string_view take(std::size_t w) {
        std::string_view t;
        if (pos_ < rec_.size()) t = std::string_view(rec_).substr(pos_, w);
        pos_ += w;
        return t;
    }

    std::string_view field(const Node& n, std::size_t index) {
        (void)index;
        if (n.w <= 0) throw FormatError("input edit descriptor " + detail::describe(n) + " needs a positive width");
        return take(static_cast<std::size_t>(n.w));
    }

    bool fail(detail::Parse p, const char* what, std::string_view t, const Node& n, std::size_t index) {
        result.status = ReadStatus::error;
        std::string msg = p == detail::Parse::range ? std::string(what) + " out of range" : "bad " + std::string(what);
        msg += " '" + std::string(t) + "' in field " + detail::describe(n) + " for item " + std::to_string(index + 1) +
               " (record " + std::to_string(records_) + ", columns " + std::to_string(pos_ - static_cast<std::size_t>(n.w) + 1) +
               "-" + std::to_string(pos_) + ")";
        result.message = std::move(msg);
        return false;
    }
};

ReadResult read_items(std::string_view fmt, const RecordSource& src, const InItem* items, std::size_t count) {
    auto f = detail::parsed_format(fmt);
    detail::Walker walk(*f);
    Reader rd(*f, src);
    if (!rd.new_record()) return rd.result;
    std::size_t i = 0;
    while (const Node* n = walk.next(rd, i < count)) {
        if (!rd.item(*n, items[i], i)) return rd.result;
        ++i;
    }
    return rd.result;
}

}  // namespace

std::vector<std::string> format_write(std::string_view fmt, std::initializer_list<OutItem> items) {
    return write_items(fmt, items.begin(), items.size());
}

std::vector<std::string> format_write(std::string_view fmt, const std::vector<OutItem>& items) {
    return write_items(fmt, items.data(), items.size());
}

ReadResult format_read(std::string_view fmt, const RecordSource& next_record, std::initializer_list<InItem> items) {
    return read_items(fmt, next_record, items.begin(), items.size());
}

ReadResult format_read(std::string_view fmt, const RecordSource& next_record, const std::vector<InItem>& items) {
    return read_items(fmt, next_record, items.data(), items.size());
}

ReadResult format_read_record(std::string_view fmt, std::string_view record, std::initializer_list<InItem> items) {
    bool given = false;
    RecordSource one = [&](std::string& out) {
        if (given) return false;
        given = true;
        out.assign(record);
        return true;
    };
    return read_items(fmt, one, items.begin(), items.size());
}

}  // namespace fortio
