#include "command/output.hpp"

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

std::string pad(std::string_view s, size_t n) {
    std::string r(s.substr(0, std::min(s.size(), n)));
    r.resize(n, ' ');
    return r;
}

}  // namespace kova
