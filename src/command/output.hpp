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

// Ends the run when the abort level is at or below the severity's number;
// fatal severity always ends it.
void kvabort(Kova& k, int severity);

// Ends the run now with the given exit status (no termination report).
[[noreturn]] void endrun(Kova& k, int status = 0);

// Text padded with blanks (or cut) to n columns, as an aN field of a
// CHARACTER*n variable prints.
std::string pad(std::string_view s, size_t n);

}  // namespace kova
