// Writing listings and messages through the unit table, with layouts given
// as Fortran format strings.
#pragma once

#include <string>
#include <string_view>
#include <type_traits>

#include "command/kova.hpp"
#include "fortio/format.hpp"

namespace kova {

namespace detail {
template <class T>
fortio::OutItem item(const T& v) {
    if constexpr (std::is_same_v<T, bool>)
        return v;
    else if constexpr (std::is_integral_v<T>)
        return static_cast<std::int64_t>(v);
    else if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double>)
        return v;
    else
        return std::string_view(v);
}
}  // namespace detail

// Writes one formatted output statement to unit.
template <class... A>
void fwrite(Kova& k, int unit, std::string_view fmt, const A&... a) {
    k.units.write(unit, fortio::format_write(fmt, {detail::item(a)...}));
}

// Writes to the output unit (listings, reports).
template <class... A>
void out(Kova& k, std::string_view fmt, const A&... a) {
    fwrite(k, k.files.outunit, fmt, a...);
}

// Writes one message line, " " followed by the text, to the message unit.
void msg(Kova& k, std::string_view text);
// The same for a text given in parts, written one after another.
void msg(Kova& k, std::string_view a, std::string_view b);
void msg(Kova& k, std::string_view a, std::string_view b, std::string_view c);

// Exit statuses of the program. A script tells a good run (0) from one that
// was stopped; the README lists them.
enum ExitStatus {
    exit_ok = 0,        // stop, exit, quit, bye, or the end of the outermost input
    exit_abort = 1,     // a note, warning, serious or error message at the abort level
    exit_fatal = 2,     // a FATAL message (limits, files that cannot be made, ...)
    exit_input = 3,     // a wrong token or value in batch mode (the readers' error path)
    exit_internal = 4,  // an internal failure caught by the main program
};

// Ends the run when the abort level is at or below the severity's number
// (exit_abort); fatal severity always ends it (exit_fatal).
void kvabort(Kova& k, int severity);

// Ends the run now: writes the termination report (with the exit status when
// it is not 0) and unwinds to the main program, which returns the status.
[[noreturn]] void endrun(Kova& k, int status);

// A value as the messages quote it: the shortest decimal that reads back as
// the same single-precision number, with a decimal point or exponent
// ("NaN", "Infinity" and "-Infinity" for the values that are not finite).
std::string value_text(float v);

// Text padded with blanks (or cut) to n columns, as an aN field of a
// CHARACTER*n variable prints.
std::string pad(std::string_view s, size_t n);

}  // namespace kova
