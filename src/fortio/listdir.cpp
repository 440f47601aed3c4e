// List-directed (FMT=*) output and input.
//
// Output follows the gfortran run-time: every record starts with a blank;
// each item is preceded by one blank separator, except a character item
// that follows another character item; one statement writes one record,
// however long. Default INTEGER is I11, INTEGER*8 is I20; REAL is written
// with 9 significant digits in a 16-column field and DOUBLE PRECISION with
// 17 in a 25-column field, in F form (with the exponent's room left blank)
// for magnitudes from 0.1 up to 10^digits and in 1P E form otherwise.
#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <limits>
#include <string>

#include "fortio/format.hpp"
#include "fortio/format_detail.hpp"

namespace fortio {
namespace {

void right(std::string& rec, std::string_view body, std::size_t width) {
    if (body.size() < width) rec.append(width - body.size(), ' ');
    rec.append(body);
}

// A REAL (sig = 9, width = 16, exponent digits 2) or DOUBLE PRECISION
// (17, 25, 3) value in list-directed form.
void list_real(std::string& rec, double v, int sig, std::size_t width, int edigits) {
    if (!std::isfinite(v)) {
        right(rec, std::isnan(v) ? "NaN" : v < 0 ? "-Infinity" : "Infinity", width);
        return;
    }
    const std::size_t trailing = static_cast<std::size_t>(edigits) + 2;
    char body[48];
    std::size_t n = 0;
    if (std::signbit(v)) body[n++] = '-';
    char digits[24];
    int x = 0;
    if (v != 0) x = detail::significant_digits(v, sig, digits);
    if (v == 0 || (x >= 0 && x <= sig)) {
        if (v == 0) {
            body[n++] = '0';
            body[n++] = '.';
            for (int k = 1; k < sig; ++k) body[n++] = '0';
        } else {
            if (x == 0) body[n++] = '0';
            for (int k = 0; k < x; ++k) body[n++] = digits[k];
            body[n++] = '.';
            for (int k = x; k < sig; ++k) body[n++] = digits[k];
        }
        right(rec, std::string_view(body, n), width - trailing);
        rec.append(trailing, ' ');
        return;
    }
    body[n++] = digits[0];
    body[n++] = '.';
    for (int k = 1; k < sig; ++k) body[n++] = digits[k];
    body[n++] = 'E';
    const int ex = x - 1;
    body[n++] = ex < 0 ? '-' : '+';
    char eb[8];
    auto r = std::to_chars(eb, eb + sizeof eb, std::abs(ex));
    const int nd = static_cast<int>(r.ptr - eb);
    for (int k = nd; k < edigits; ++k) body[n++] = '0';
    for (int k = 0; k < nd; ++k) body[n++] = eb[k];
    right(rec, std::string_view(body, n), width);
}

std::vector<std::string> list_items(const OutItem* items, std::size_t count) {
    std::vector<std::string> out(1);
    if (count == 0) return out;  // an empty list writes an empty record
    std::string& rec = out.front();
    bool prev_char = false;
    for (std::size_t i = 0; i < count; ++i) {
        const OutItem& it = items[i];
        const bool is_char = it.index() == 3;
        if (i == 0 || !(is_char && prev_char)) rec.push_back(' ');
        prev_char = is_char;
        switch (it.index()) {
        case 0: {
            const std::int64_t v = std::get<0>(it);
            char buf[24];
            auto r = std::to_chars(buf, buf + sizeof buf, v);
            const bool fits32 = v >= INT32_MIN && v <= INT32_MAX;
            right(rec, std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)), fits32 ? 11 : 20);
            break;
        }
        case 1: list_real(rec, static_cast<double>(std::get<1>(it)), 9, 16, 2); break;
        case 2: list_real(rec, std::get<2>(it), 17, 25, 3); break;
        case 3: rec.append(std::get<3>(it)); break;
        default: rec.push_back(std::get<4>(it) ? 'T' : 'F'); break;
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// List-directed input

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool digit(char c) { return c >= '0' && c <= '9'; }

class ListReader {
public:
    explicit ListReader(const RecordSource& src) : src_(src) {}

    ReadResult read(const InItem* items, std::size_t count) {
        if (count == 0) {
            // Still consumes one record.
            if (!next_record()) return result_;
            return result_;
        }
        for (std::size_t i = 0; i < count; ++i) {
            if (rep_left_ == 0) {
                const Token t = next_value(i);
                if (t == Token::stop) return result_;
                if (t == Token::slash) return result_;
            }
            --rep_left_;
            if (null_) continue;  // a null value leaves the item as it was
            if (!assign(items[i], i)) return result_;
        }
        return result_;
    }

private:
    enum class Token { value, slash, stop };

    const RecordSource& src_;
    std::string rec_;
    std::size_t pos_ = 0;
    std::size_t records_ = 0;
    ReadResult result_;

    // The value in hand, with the repeats of it still due.
    std::string value_;
    bool quoted_ = false;
    bool null_ = false;
    long rep_left_ = 0;

    bool next_record() {
        if (!src_(rec_)) {
            result_.status = ReadStatus::eof;
            result_.message = "end of file";
            return false;
        }
        ++records_;
        pos_ = 0;
        return true;
    }

    bool error(std::string msg) {
        result_.status = ReadStatus::error;
        result_.message = std::move(msg) + " (record " + std::to_string(records_) + ")";
        return false;
    }

    bool separator_at(std::size_t p) const {
        return p >= rec_.size() || blank(rec_[p]) || rec_[p] == ',' || rec_[p] == '/';
    }

    // Skips the blanks after a value and one comma, if there is one; a
    // record end also ends a value.
    void end_of_value() {
        while (pos_ < rec_.size() && blank(rec_[pos_])) ++pos_;
        if (pos_ < rec_.size() && rec_[pos_] == ',') ++pos_;
    }

    Token next_value(std::size_t index) {
        for (;;) {
            while (pos_ < rec_.size() && blank(rec_[pos_])) ++pos_;
            if (pos_ < rec_.size()) break;
            if (!next_record()) return Token::stop;
        }
        null_ = false;
        quoted_ = false;
        rep_left_ = 1;
        const char c = rec_[pos_];
        if (c == ',') {
            ++pos_;
            null_ = true;
            return Token::value;
        }
        if (c == '/') {
            ++pos_;
            return Token::slash;
        }
        // r*c or r*: a repeat count.
        std::size_t j = pos_;
        while (j < rec_.size() && digit(rec_[j])) ++j;
        if (j > pos_ && j < rec_.size() && rec_[j] == '*') {
            long r = 0;
            for (std::size_t k = pos_; k < j; ++k) {
                r = r * 10 + (rec_[k] - '0');
                if (r > INT_MAX) {
                    error("repeat count too large for item " + std::to_string(index + 1));
                    return Token::stop;
                }
            }
            if (r == 0) {
                error("zero repeat count for item " + std::to_string(index + 1));
                return Token::stop;
            }
            rep_left_ = r;
            pos_ = j + 1;
            if (separator_at(pos_)) {
                null_ = true;
                end_of_value();
                return Token::value;
            }
        }
        if (rec_[pos_] == '\'' || rec_[pos_] == '"') {
            if (!quoted_string()) return Token::stop;
            if (!separator_at(pos_)) {
                error("no separator after the character value for item " + std::to_string(index + 1));
                return Token::stop;
            }
        } else {
            std::size_t k = pos_;
            while (!separator_at(k)) ++k;
            value_.assign(rec_, pos_, k - pos_);
            pos_ = k;
        }
        end_of_value();
        return Token::value;
    }

    // A quoted character value; a doubled quote stands for one, and the
    // value may continue on the next record (the record end adds nothing).
    bool quoted_string() {
        const char q = rec_[pos_++];
        quoted_ = true;
        value_.clear();
        for (;;) {
            const std::size_t k = rec_.find(q, pos_);
            if (k == std::string::npos) {
                value_.append(rec_, pos_, std::string::npos);
                if (!next_record()) return false;
                continue;
            }
            value_.append(rec_, pos_, k - pos_);
            pos_ = k + 1;
            if (pos_ < rec_.size() && rec_[pos_] == q) {
                value_.push_back(q);
                ++pos_;
                continue;
            }
            return true;
        }
    }

    bool bad(const char* what, std::size_t index, detail::Parse p) {
        return error(std::string(p == detail::Parse::range ? "" : "bad ") + what + " '" + value_ + "'" +
                     (p == detail::Parse::range ? " out of range" : "") + " for item " + std::to_string(index + 1));
    }

    bool assign(const InItem& it, std::size_t index) {
        if (quoted_ && it.index() != 5)
            return error("character value '" + value_ + "' for non-character item " + std::to_string(index + 1));
        switch (it.index()) {
        case 0:
        case 1: {
            const bool narrow = it.index() == 0;
            std::int64_t v = 0;
            detail::Parse p = detail::parse_int(value_, false, narrow ? INT32_MIN : std::numeric_limits<std::int64_t>::min(),
                                                narrow ? INT32_MAX : std::numeric_limits<std::int64_t>::max(), v);
            if (p != detail::Parse::ok) return bad("integer", index, p);
            if (narrow)
                *std::get<0>(it) = static_cast<int>(v);
            else
                *std::get<1>(it) = v;
            return true;
        }
        case 2: {
            detail::Parse p = detail::parse_real(value_, false, 0, 0, *std::get<2>(it));
            return p == detail::Parse::ok || bad("real number", index, p);
        }
        case 3: {
            detail::Parse p = detail::parse_real(value_, false, 0, 0, *std::get<3>(it));
            return p == detail::Parse::ok || bad("real number", index, p);
        }
        case 4: {
            detail::Parse p = detail::parse_logical(value_, *std::get<4>(it));
            return p == detail::Parse::ok || bad("logical value", index, p);
        }
        default: detail::assign_chars(std::get<5>(it), value_); return true;
        }
    }
};

}  // namespace

std::vector<std::string> list_write(std::initializer_list<OutItem> items) {
    return list_items(items.begin(), items.size());
}

std::vector<std::string> list_write(const std::vector<OutItem>& items) {
    return list_items(items.data(), items.size());
}

ReadResult list_read(const RecordSource& next_record, std::initializer_list<InItem> items) {
    return ListReader(next_record).read(items.begin(), items.size());
}

ReadResult list_read(const RecordSource& next_record, const std::vector<InItem>& items) {
    return ListReader(next_record).read(items.data(), items.size());
}

}  // namespace fortio
