#include "command/output.hpp"

#include <charconv>
#include <cmath>

#include "command/mainloop.hpp"

namespace kova {

void msg(Kova& k, std::string_view text) {
    std::string rec;
    rec.reserve(text.size() + 1);
    rec += ' ';
    rec += text;
    k.units.write(k.files.msgunit, rec);
}

void msg(Kova& k, std::string_view a, std::string_view b) {
    std::string t(a);
    t += b;
    msg(k, t);
}

void msg(Kova& k, std::string_view a, std::string_view b, std::string_view c) {
    std::string t(a);
    t += b;
    t += c;
    msg(k, t);
}

void kvabort(Kova& k, int severity) {
    if (severity >= fatal) endrun(k, exit_fatal);
    if (k.flags.bomb <= severity) endrun(k, exit_abort);
}

void endrun(Kova& k, int status) {
    termination_report(k, status);
    k.units.flush();
    throw RunEnd{status};
}

std::string value_text(float v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-Infinity" : "Infinity";
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    std::string t(buf, r.ptr);
    if (t.find_first_of(".e") == std::string::npos) t += ".0";
    return t;
}

std::string pad(std::string_view s, size_t n) {
    std::string r(s.substr(0, std::min(s.size(), n)));
    r.resize(n, ' ');
    return r;
}

}  // namespace kova
