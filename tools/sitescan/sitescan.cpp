// sitescan: the header search, the site block and the free-format values.
#include "sitescan.hpp"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <istream>
#include <ostream>

namespace sitescan {

namespace {

constexpr std::string_view header_text = "## of sites:";

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool all_digits(std::string_view t) {
    if (t.empty()) return false;
    for (char c : t)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

// A real number as Fortran input writes it: sign, digits with an optional
// decimal point, an optional exponent (E, D or Q with an optional sign, or a
// bare sign). Returns the number in the form strtof reads, or "".
std::string normalise_real(std::string_view t) {
    std::string out;
    std::size_t i = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) out += t[i++];
    int digits = 0;
    bool point = false;
    for (; i < t.size(); ++i) {
        if (std::isdigit(static_cast<unsigned char>(t[i]))) {
            ++digits;
            out += t[i];
        } else if (t[i] == '.' && !point) {
            point = true;
            out += t[i];
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
    std::size_t first = i;
    for (; i < t.size() && std::isdigit(static_cast<unsigned char>(t[i])); ++i) out += t[i];
    if (i == first || i != t.size()) return "";
    return out;
}

// One single-precision value: a Fortran real, or Inf/Infinity/NaN. False for
// anything else and for a number too large for single precision.
bool to_float(std::string_view t, float& v) {
    std::string u;
    for (char c : t) u += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string_view body = u;
    bool neg = !body.empty() && body[0] == '-';
    if (!body.empty() && (body[0] == '-' || body[0] == '+')) body.remove_prefix(1);
    if (body == "inf" || body == "infinity") {
        v = neg ? -HUGE_VALF : HUGE_VALF;
        return true;
    }
    if (body == "nan") {
        v = std::nanf("");
        return true;
    }
    std::string n = normalise_real(t);
    if (n.empty()) return false;
    errno = 0;
    v = std::strtof(n.c_str(), nullptr);
    return !(errno == ERANGE && std::isinf(v));
}

bool to_long(std::string_view t, long& v) {
    std::string_view digits = t;
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) digits.remove_prefix(1);
    if (!all_digits(digits)) return false;
    errno = 0;
    v = std::strtol(std::string(t).c_str(), nullptr, 10);
    return errno != ERANGE;
}

// Splits a record into list-directed values: blanks or one comma separate
// them, r*c stands for r copies of c, a slash ends the list. False for a
// null value (an empty place between commas, or r* alone).
bool split_values(std::string_view line, std::vector<std::string>& values) {
    std::size_t i = 0;
    bool comma_pending = false;  // a comma has closed the previous value
    bool first = true;
    while (true) {
        while (i < line.size() && is_blank(line[i])) ++i;
        if (i == line.size() || line[i] == '/') return true;
        if (line[i] == ',') {
            if (first || comma_pending) return false;
            comma_pending = true;
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < line.size() && !is_blank(line[j]) && line[j] != ',' && line[j] != '/') ++j;
        std::string_view tok = line.substr(i, j - i);
        i = j;
        first = false;
        comma_pending = false;
        std::size_t star = tok.find('*');
        if (star == std::string_view::npos) {
            values.emplace_back(tok);
            continue;
        }
        std::string_view count = tok.substr(0, star), value = tok.substr(star + 1);
        if (!all_digits(count) || value.empty()) return false;
        long r = std::strtol(std::string(count).c_str(), nullptr, 10);
        if (r < 1) return false;
        // Only five values are ever used; a huge count must not allocate.
        for (long k = 0; k < r && values.size() < 16; ++k) values.emplace_back(value);
    }
}

bool blank_line(std::string_view line) {
    for (char c : line)
        if (!is_blank(c)) return false;
    return true;
}

bool next_line(std::istream& in, std::string& line, long& lineno) {
    if (!std::getline(in, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ++lineno;
    return true;
}

void usage(std::ostream& err) {
    err << "usage: sitescan THRESHOLD < listing\n"
           "  prints the number of the first site whose third value lies strictly\n"
           "  within THRESHOLD of zero\n";
}

}  // namespace

bool read_threshold(std::string_view text, float& v) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    if (text.empty()) return false;
    return to_float(text, v) && !std::isnan(v);
}

bool read_count(std::string_view header, long& n) {
    // Layout (12x,i5): the count lies in columns 13-17.
    std::string_view field = header.size() > 12 ? header.substr(12, 5) : std::string_view();
    while (!field.empty() && is_blank(field.front())) field.remove_prefix(1);
    while (!field.empty() && is_blank(field.back())) field.remove_suffix(1);
    std::string_view digits = field;
    if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
    if (!all_digits(digits)) return false;
    if (header.size() > 17 && std::isdigit(static_cast<unsigned char>(header[17]))) return false;
    n = std::strtol(std::string(digits).c_str(), nullptr, 10);
    return true;
}

bool read_site(std::string_view line, SiteLine& site) {
    std::vector<std::string> values;
    if (!split_values(line, values) || values.size() < 5) return false;
    if (!to_long(values[0], site.number)) return false;
    for (int k = 0; k < 4; ++k)
        if (!to_float(values[k + 1], site.values[k])) return false;
    return true;
}

int run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
        std::ostream& err) {
    float threshold = 0;
    if (args.size() != 1) {
        usage(err);
        return usage_status;
    }
    if (!read_threshold(args[0], threshold)) {
        err << " FATAL: sitescan(001) the threshold is not a number: \"" << args[0] << "\"\n";
        usage(err);
        return usage_status;
    }

    // Skip to the first header line; input that has none gives no output.
    std::string line;
    long lineno = 0;
    while (true) {
        if (!next_line(in, line, lineno)) return 0;
        if (std::string_view(line).substr(0, header_text.size()) == header_text) break;
    }
    long n = 0;
    if (!read_count(line, n)) {
        err << " FATAL: sitescan(002) no site count in columns 13-17 of line " << lineno << ": "
            << line << '\n';
        return input_status;
    }
    const long header_line = lineno;

    // Two lines between the header and the sites.
    for (int k = 0; k < 2; ++k) {
        if (!next_line(in, line, lineno)) {
            err << " FATAL: sitescan(003) end of input inside the site block: the header on line "
                << header_line << " announces " << n << " sites\n";
            return input_status;
        }
    }

    for (long i = 1; i <= n; ++i) {
        // A wholly blank line holds no value; the site is on the next one.
        do {
            if (!next_line(in, line, lineno)) {
                err << " FATAL: sitescan(003) end of input inside the site block: site " << i
                    << " of " << n << " is missing\n";
                return input_status;
            }
        } while (blank_line(line));
        SiteLine site;
        if (!read_site(line, site)) {
            err << " FATAL: sitescan(004) site " << i << " of " << n << ", line " << lineno
                << ": expected a site number and four values: " << line << '\n';
            return input_status;
        }
        if (std::fabs(site.values[2]) < threshold) {
            std::string s = std::to_string(site.number);
            if (s.size() < 11) s.insert(0, 11 - s.size(), ' ');
            out << ' ' << s << '\n';
            out.flush();
            return out ? 0 : input_status;
        }
    }
    return 0;
}

}  // namespace sitescan
