// sitescan: picks a site from a per-site listing.
//
// Reads the listing on standard input, finds the header "## of sites:" with
// the site count in columns 13-17, skips two lines and reads one line per
// site (a site number and four values); prints the number of the first site
// whose third value lies strictly within the threshold of zero.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace sitescan {

// Exit status for a missing or malformed command-line argument.
inline constexpr int usage_status = 2;
// Exit status for a malformed listing.
inline constexpr int input_status = 1;

struct SiteLine {
    long number = 0;
    float values[4] = {0, 0, 0, 0};
};

// The whole filter: args are the command-line arguments after the program
// name. Returns the exit status.
int run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
        std::ostream& err);

// Reads the threshold: one real number, blanks around it allowed. False for
// anything else (nothing, a word, two numbers, not-a-number).
bool read_threshold(std::string_view text, float& v);

// Reads the site count of a header line from columns 13-17 (an unsigned
// integer, right- or left-aligned in the field). False when the field is
// blank, holds anything but one integer, or the number runs on past
// column 17.
bool read_count(std::string_view header, long& n);

// Reads a site line free-format: an integer and four reals separated by
// blanks or commas (r*c repeats a value; values after the fifth and after a
// slash are ignored). All five values must be on the line. False when they
// are not, or one is not a number of its kind.
bool read_site(std::string_view line, SiteLine& site);

}  // namespace sitescan
