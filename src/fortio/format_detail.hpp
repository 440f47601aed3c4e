// Internals shared by the formatted (format.cpp) and list-directed
// (listdir.cpp) interpreters: the parsed form of a format string, the
// walker that hands out edit descriptors in Fortran order, and the number
// conversions both kinds of I/O use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fortio/format.hpp"

namespace fortio::detail {

// Edit descriptors and the structure of a format.
enum class Op : std::uint8_t {
    // data edit descriptors
    I, F, E, D, ES, EN, G, L, A,
    // control and character-string edit descriptors
    X, T, TL, TR, Slash, Colon, Lit, P, BN, BZ, SP, SS, S,
    // parentheses of a group
    Open, Close,
};

inline bool is_data(Op op) { return op <= Op::A; }

struct Node {
    Op op;
    std::int32_t rep = 1;   // repeat count; for X/T/TL/TR the position count, for P the scale factor
    std::int32_t w = -1;    // field width, -1 when not given
    std::int32_t d = -1;    // digits after the point (Iw.m: minimum digits), -1 when not given
    std::int32_t e = -1;    // exponent digits (Ew.dEe), -1 when not given
    std::int32_t link = 0;  // Open: index of its Close; Close: index of its Open; Lit: offset in Format::text
    std::int32_t len = 0;   // Lit: number of characters
};

struct Format {
    std::vector<Node> nodes;     // the contents of the outermost parentheses
    std::string text;            // characters of the literals, quotes undoubled
    std::size_t reversion = 0;   // where control resumes when the items outrun the format
    bool has_data = false;       // a data edit descriptor from the reversion point on
};

// Parses fmt, or returns it from a small per-thread cache of recent formats.
// Throws FormatError for a malformed format.
std::shared_ptr<const Format> parsed_format(std::string_view fmt);

// Name of a descriptor for messages, e.g. "F8.3" or "I5".
std::string describe(const Node& n);

// Walks a format in Fortran order. next() returns the next data edit
// descriptor, passing every control descriptor met on the way to the host,
// and returns nullptr when format control ends: at a data descriptor or ':'
// with no items left, at the end of the format with no items left, or when
// the host reports failure. Reaching the end of the format with items left
// starts a new record (host.new_record()) and resumes at the reversion point.
//
// Host interface: bool control(const Node&), bool new_record().
inline constexpr int max_group_depth = 32;

class Walker {
public:
    explicit Walker(const Format& f) : f_(f) {}

    template <class Host>
    const Node* next(Host& host, bool items_left);

private:
    struct Frame {
        std::int32_t open;
        std::int32_t left;
    };
    const Format& f_;
    std::size_t pc_ = 0;
    std::int32_t rep_left_ = 0;  // repeats still due from the data descriptor at pc_
    Frame stack_[max_group_depth];
    int depth_ = 0;
};

template <class Host>
const Node* Walker::next(Host& host, bool items_left) {
    const std::vector<Node>& nodes = f_.nodes;
    for (;;) {
        if (pc_ == nodes.size()) {
            if (!items_left) return nullptr;
            if (!f_.has_data)
                throw FormatError("format has no data edit descriptor (after its reversion point) for the remaining items");
            if (!host.new_record()) return nullptr;
            pc_ = f_.reversion;
            continue;
        }
        const Node& n = nodes[pc_];
        if (is_data(n.op)) {
            if (!items_left) return nullptr;
            if (rep_left_ == 0) rep_left_ = n.rep;
            if (--rep_left_ == 0) ++pc_;
            return &n;
        }
        switch (n.op) {
        case Op::Open:
            // Nesting depth is checked when the format is parsed.
            stack_[depth_++] = Frame{static_cast<std::int32_t>(pc_), n.rep};
            ++pc_;
            break;
        case Op::Close: {
            Frame& top = stack_[depth_ - 1];
            if (--top.left > 0) {
                pc_ = static_cast<std::size_t>(top.open) + 1;
            } else {
                --depth_;
                ++pc_;
            }
            break;
        }
        case Op::Colon:
            if (!items_left) return nullptr;
            ++pc_;
            break;
        default:
            ++pc_;
            if (!host.control(n)) return nullptr;
            break;
        }
    }
}

// ---- output conversions ---------------------------------------------------
// Each appends one field to out. plus: SP mode (write '+' on positives).

void put_int(std::string& out, std::int64_t v, int w, int m, bool plus);
void put_f(std::string& out, double v, int w, int d, int scale, bool plus);
// E and D editing; letter is 'E' or 'D'.
void put_e(std::string& out, double v, int w, int d, int e, int scale, char letter, bool plus);
void put_es(std::string& out, double v, int w, int d, int e, bool plus);
// G editing of a real; single: the item is a REAL (float), whose own
// precision decides between the F and E layouts near their boundaries.
void put_g(std::string& out, double v, int w, int d, int e, int scale, bool plus, bool single);
// NaN and infinities as the run-time writes them in a field of width w.
void put_nonfinite(std::string& out, double v, int w, bool plus);

// Significant digits of |v| (finite, nonzero), rounded to sig digits the way
// the run-time rounds (nearest, ties to even, on the exact binary value).
// digits receives sig characters '0'..'9'; returns x with
// |v| ~ 0.d1d2...dsig * 10^x.
int significant_digits(double v, int sig, char* digits);

// A per-thread scratch buffer of at least n characters.
char* scratch(std::size_t n);

// ---- input conversions ----------------------------------------------------

enum class Parse { ok, bad, range };

// Integer field or value: optional sign and digits. Blanks are ignored, or
// read as zeros when blank_zero. An all-blank text is 0. The result must lie
// in [lo, hi].
Parse parse_int(std::string_view text, bool blank_zero, std::int64_t lo, std::int64_t hi,
                std::int64_t& out);

// Real field or value. implied: digits after the implied decimal point when
// the mantissa has no point; scale: kP scale factor, applied when there is no
// exponent. The exponent may start with E, D or Q or be a bare sign ("1.5+3").
// "Inf", "Infinity" and "NaN" are accepted. A finite text whose value
// overflows the target type is a range error; underflow gives zero.
Parse parse_real(std::string_view text, bool blank_zero, int implied, int scale, double& out);
Parse parse_real(std::string_view text, bool blank_zero, int implied, int scale, float& out);

// Logical value: optional '.', then T or F; the rest is ignored.
Parse parse_logical(std::string_view text, bool& out);

// Assigns text to a CHARACTER*len variable: truncated or blank-padded to len.
void assign_chars(const Chars& c, std::string_view text);

}  // namespace fortio::detail
