// The anal command and the reading of unit trajectory record files.
#include "bd/anal.hpp"

#include <charconv>
#include <cmath>
#include <functional>
#include <string>

#include "command/kova.hpp"
#include "command/output.hpp"
#include "command/readers.hpp"
#include "fortio/units.hpp"

namespace kova {

namespace {

// One fixed-width numeric field: blanks around one number.
template <class T>
bool field(std::string_view rec, size_t at, size_t width, T& v) {
    if (rec.size() < at + width) return false;
    std::string_view f = rec.substr(at, width);
    while (!f.empty() && f.front() == ' ') f.remove_prefix(1);
    while (!f.empty() && f.back() == ' ') f.remove_suffix(1);
    if (f.empty()) return false;
    if (f.front() == '+') f.remove_prefix(1);
    auto [p, ec] = std::from_chars(f.data(), f.data() + f.size(), v);
    return ec == std::errc() && p == f.data() + f.size() && std::isfinite(v);
}

std::string num(long v) { return std::to_string(v); }

bool whole_positive(double v) { return v >= 1 && v < 1.0e7 && v == std::floor(v); }

}  // namespace

bool trjrec(std::string_view rec, TrjRecord& r) {
    if (rec.empty() || rec[0] != ' ') return false;
    for (size_t i = 43; i < rec.size(); ++i)
        if (rec[i] != ' ') return false;
    return field(rec, 1, 12, r.a) && field(rec, 13, 10, r.x) && field(rec, 23, 10, r.y) && field(rec, 33, 10, r.z);
}

namespace {

bool trjload(const std::function<bool(std::string&)>& next, int nsub, TrjData& d, TrjError& e) {
    d = TrjData{};
    d.nsub = nsub;
    std::string rec;
    long n = 0;
    bool started = false, ended = false;
    int infr = 0;  // records of the current frame read so far
    double frt = 0, last = 0;
    auto fail = [&](std::string why) {
        e.record = n;
        e.why = std::move(why);
        return false;
    };
    auto cut = [&]() {
        return fail("a frame of " + num(nsub) + " subunit records is cut short after " + num(infr) +
                    " (does the file belong to this unit?)");
    };
    while (next(rec)) {
        ++n;
        TrjRecord r;
        if (ended) {
            if (rec.find_first_not_of(' ') == std::string::npos) continue;
            return fail("records after the end record");
        }
        if (!trjrec(rec, r)) return fail("not a trajectory record");
        if (r.a == -1.0 || r.a == -999.0) {
            if (infr != 0) return cut();
            if (!whole_positive(r.x) || !whole_positive(r.y))
                return fail(r.a == -1.0 ? "trajectory header without a run and trajectory number"
                                         : "end record without the run and trajectory counts");
            if (r.a == -999.0) {
                ended = true;
                d.endrun = int(r.x), d.endtraj = int(r.y);
                continue;
            }
            started = true;
            TrjData::Traj t;
            t.run = int(r.x), t.traj = int(r.y), t.first = d.t.size();
            d.trajs.push_back(t);
            continue;
        }
        if (!started) continue;  // records before the first header
        if (r.a < 0) return fail("negative time");
        if (infr == 0) {
            TrjData::Traj& t = d.trajs.back();
            if (t.nframe > 0 && r.a < last) return fail("time goes back within the trajectory");
            // Frames are steps apart: one time twice means records of more
            // subunits than the unit has.
            if (t.nframe > 0 && r.a == last)
                return fail("two frames at the same time (does the file belong to this unit?)");
            frt = r.a, last = r.a;
            d.t.push_back(float(r.a));
            ++t.nframe;
        } else if (r.a != frt) {
            return fail("the time changes inside a frame of " + num(nsub) +
                        " subunit records (does the file belong to this unit?)");
        }
        d.xyz.push_back(r.x), d.xyz.push_back(r.y), d.xyz.push_back(r.z);
        if (++infr == nsub) infr = 0;
    }
    ++n;
    if (infr != 0) return cut();
    if (!ended) return fail("the file ends without its end record (cut short?)");
    return true;
}

}  // namespace

bool trjload_lines(const std::vector<std::string>& lines, int nsub, TrjData& d, TrjError& e) {
    size_t i = 0;
    return trjload(
        [&](std::string& r) {
            if (i == lines.size()) return false;
            r = lines[i++];
            return true;
        },
        nsub, d, e);
}

bool trjload_unit(fortio::UnitTable& u, int unit, int nsub, TrjData& d, TrjError& e) {
    bool bad = false;
    const bool ok = trjload(
        [&](std::string& r) {
            fortio::IoStatus s = u.read(unit, r);
            if (s == fortio::IoStatus::error) bad = true;
            return s == fortio::IoStatus::ok;
        },
        nsub, d, e);
    if (bad) {
        e.why = "the file cannot be read";
        return false;
    }
    return ok;
}

bool trjopen(Kova& k, int unit, const std::string& file, int nsub, std::string_view head, TrjData& d) {
    std::string why;
    if (!k.units.open(unit, file, fortio::OpenStatus::old_file, fortio::Form::formatted, &why)) {
        msg(k, "ERROR : anldrv(020) cannot open trajectory file: ", file, " (" + why + ")");
        kvabort(k, error);
        return false;
    }
    TrjError e;
    const bool ok = trjload_unit(k.units, unit, nsub, d, e);
    k.units.close(unit);
    if (!ok) {
        msg(k, head);
        msg(k, "  file " + file + ", record " + num(e.record) + ": ", e.why);
        kvabort(k, error);
    }
    return ok;
}

double dihedral(const float* a, const float* b, const float* c, const float* d) {
    double b1[3], b2[3], b3[3];
    for (int i = 0; i < 3; ++i) b1[i] = double(b[i]) - a[i], b2[i] = double(c[i]) - b[i], b3[i] = double(d[i]) - c[i];
    auto cross = [](const double* u, const double* v, double* w) {
        w[0] = u[1] * v[2] - u[2] * v[1];
        w[1] = u[2] * v[0] - u[0] * v[2];
        w[2] = u[0] * v[1] - u[1] * v[0];
    };
    double n1[3], n2[3], m[3];
    cross(b1, b2, n1);
    cross(b2, b3, n2);
    cross(n1, n2, m);
    const double lb2 = std::sqrt(b2[0] * b2[0] + b2[1] * b2[1] + b2[2] * b2[2]);
    const double x = n1[0] * n2[0] + n1[1] * n2[1] + n1[2] * n2[2];
    const double y = lb2 > 0 ? (m[0] * b2[0] + m[1] * b2[1] + m[2] * b2[2]) / lb2 : 0;
    return std::atan2(y, x) * 57.29577951308232;
}

void anldrv(Kova& k) {
    const int in = k.files.inunit;
    for (;;) {
        const std::string w = getnam(k, in, "Anldrv");
        if (w == "end") return;
        if (w == "traj") {
            trjdrv(k);
        } else if (w == "rxns") {
            rxndrv(k);
        } else if (w == "add") {
            trjadd(k);
        } else {
            msg(k, "SERIOUS: Anldrv(010) unknown keyword: ", w);
            kvabort(k, serious);
        }
    }
}

}  // namespace kova
