// Fixed-column and list-directed fields, written and read as a standard
// Fortran run-time does, so that the listings keep their column layouts.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hbmatch.hpp"

namespace hbmatch {

std::string fmt_f(double v, int w, int d) {
    if (!std::isfinite(v)) {
        std::string s = std::isnan(v) ? "NaN" : (v < 0 ? "-Infinity" : "Infinity");
        if (static_cast<int>(s.size()) > w) s = std::isnan(v) ? "NaN" : (v < 0 ? "-Inf" : "Inf");
        if (static_cast<int>(s.size()) > w) return std::string(w, '*');
        return std::string(w - s.size(), ' ') + s;
    }
    // printf rounds the exact binary value to nearest, ties to even, as the
    // Fortran run-time does.
    char buf[512];
    std::snprintf(buf, sizeof buf, "%.*f", d, v);
    std::string s = buf;
    if (static_cast<int>(s.size()) > w) {
        // The leading zero before the decimal point is optional.
        if (s.rfind("0.", 0) == 0) s.erase(0, 1);
        else if (s.rfind("-0.", 0) == 0) s.erase(1, 1);
    }
    if (static_cast<int>(s.size()) > w) return std::string(w, '*');
    return std::string(w - s.size(), ' ') + s;
}

std::string fmt_i(long v, int w) {
    std::string s = std::to_string(v);
    if (static_cast<int>(s.size()) > w) return std::string(w, '*');
    return std::string(w - s.size(), ' ') + s;
}

std::string list_double(double v) {
    // Seventeen significant digits; fixed form for 0.1 <= |v| < 1e17 (and
    // zero) with blanks in place of the exponent, exponent form otherwise;
    // right-aligned in 25 columns after the separating blank.
    char buf[64];
    std::string s;
    std::snprintf(buf, sizeof buf, "%.16e", v);
    const char* e = std::strchr(buf, 'e');
    int exp10 = e ? std::atoi(e + 1) : 0;
    if (!std::isfinite(v)) {
        s = buf;
    } else if (v == 0.0 || (exp10 >= -1 && exp10 <= 16)) {
        int decimals = v == 0.0 ? 16 : 16 - exp10;
        std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
        s = std::string(buf) + "     ";
    } else {
        std::string mant(buf, static_cast<std::size_t>(e - buf));
        std::snprintf(buf, sizeof buf, "E%c%03d", exp10 < 0 ? '-' : '+', std::abs(exp10));
        s = mant + buf;
    }
    if (s.size() < 25) s.insert(0, 25 - s.size(), ' ');
    return " " + s;
}

std::string list_int(long v) {
    std::string s = std::to_string(v);
    if (s.size() < 11) s.insert(0, 11 - s.size(), ' ');
    return " " + s;
}

namespace {

// Checks the Fortran form of a real number: sign, digits with an optional
// decimal point, optional exponent (E, D or Q with an optional sign, or a
// bare sign). Returns the same number in the form strtod reads, or "" when
// the text is not a real number.
std::string normalise_real(std::string_view t) {
    std::string out;
    std::size_t i = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) out += t[i++];
    int digits = 0;
    bool point = false;
    for (; i < t.size(); ++i) {
        char c = t[i];
        if (std::isdigit(static_cast<unsigned char>(c))) {
            ++digits;
            out += c;
        } else if (c == '.' && !point) {
            point = true;
            out += c;
        } else {
            break;
        }
    }
    if (digits == 0) return "";
    if (i == t.size()) return out;
    char c = static_cast<char>(std::toupper(static_cast<unsigned char>(t[i])));
    if (c == 'E' || c == 'D' || c == 'Q') ++i;
    else if (c != '+' && c != '-') return "";
    out += 'e';
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) out += t[i++];
    int edigits = 0;
    for (; i < t.size() && std::isdigit(static_cast<unsigned char>(t[i])); ++i, ++edigits) out += t[i];
    if (edigits == 0 || i != t.size()) return "";
    return out;
}

bool is_special(std::string_view t, double& v) {
    std::string u;
    for (char c : t) u += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    bool neg = !u.empty() && u[0] == '-';
    if (!u.empty() && (u[0] == '-' || u[0] == '+')) u.erase(0, 1);
    if (u == "inf" || u == "infinity") {
        v = neg ? -HUGE_VAL : HUGE_VAL;
        return true;
    }
    if (u == "nan") {
        v = std::nan("");
        return true;
    }
    return false;
}

bool to_real(std::string_view t, double& v) {
    if (is_special(t, v)) return true;
    std::string n = normalise_real(t);
    if (n.empty()) return false;
    v = std::strtod(n.c_str(), nullptr);  // overflow gives +-HUGE_VAL
    return true;
}

}  // namespace

bool read_f(std::string_view field, int d, double& v) {
    std::string t;
    for (char c : field)
        if (c != ' ') t += c;
    if (t.empty()) return false;
    std::string n = normalise_real(t);
    if (n.empty()) return false;
    if (n.find('.') == std::string::npos) {
        // No decimal point written: the last d digits of the mantissa are decimals.
        std::size_t mant_end = n.find('e');
        if (mant_end == std::string::npos) mant_end = n.size();
        std::size_t first = (n[0] == '+' || n[0] == '-') ? 1 : 0;
        std::string mant = n.substr(first, mant_end - first);
        if (static_cast<int>(mant.size()) <= d) mant = std::string(d + 1 - mant.size(), '0') + mant;
        const std::size_t point = mant.size() - d;
        n = n.substr(0, first) + mant.substr(0, point) + "." + mant.substr(point) + n.substr(mant_end);
    }
    v = std::strtod(n.c_str(), nullptr);
    return std::isfinite(v);
}

bool list_read_real(std::string_view text, double& v) {
    std::size_t i = 0;
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (i < text.size() && blank(text[i])) ++i;
    if (i == text.size()) return false;              // end of file: no value
    if (text[i] == ',' || text[i] == '/') return false;  // null value or end of list
    std::size_t j = i;
    while (j < text.size() && !blank(text[j]) && text[j] != ',' && text[j] != '/') ++j;
    std::string_view tok = text.substr(i, j - i);
    // r*c: a repeat count before the value; r* alone is a null value.
    if (std::size_t star = tok.find('*'); star != std::string_view::npos) {
        std::string_view count = tok.substr(0, star);
        if (count.empty()) return false;
        for (char c : count)
            if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        if (std::strtol(std::string(count).c_str(), nullptr, 10) < 1) return false;
        tok = tok.substr(star + 1);
        if (tok.empty()) return false;
    }
    return to_real(tok, v);
}

}  // namespace hbmatch
