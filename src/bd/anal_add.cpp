// Concatenation of unit trajectory record files, the times of each file
// continuing from the last time of the file before.
#include <algorithm>
#include <string>

#include "bd/anal.hpp"
#include "command/commands.hpp"
#include "command/kova.hpp"
#include "command/output.hpp"
#include "command/readers.hpp"
#include "fortio/units.hpp"

namespace kova {

namespace {

constexpr int addout = 81, addin = 89;
constexpr const char* layout = "(1x,f12.3,3(2x,f8.3))";

struct AddJob {
    int unit = 0;
    std::string out;
    std::vector<std::string> in;
    bool named = false;  // selected by iflx (else unit 1 by default)
};

// Reads every record of file; false (after the messages) when it cannot
// be opened or is not a sound record file of nsub subunits.
bool slurp(Kova& k, const std::string& file, int nsub, std::vector<std::string>& lines) {
    std::string why;
    if (!k.units.open(addin, file, fortio::OpenStatus::old_file, fortio::Form::formatted, &why)) {
        msg(k, "ERROR : anldrv(020) cannot open trajectory file: ", file, " (" + why + ")");
        kvabort(k, error);
        return false;
    }
    lines.clear();
    std::string rec;
    fortio::IoStatus st;
    while ((st = k.units.read(addin, rec)) == fortio::IoStatus::ok) lines.push_back(rec);
    k.units.close(addin);
    TrjData d;
    TrjError e;
    if (st == fortio::IoStatus::error) e.record = long(lines.size()) + 1, e.why = "the file cannot be read";
    if (st == fortio::IoStatus::error || !trjload_lines(lines, nsub, d, e)) {
        msg(k, "ERROR : trjadd(010) - problem with trj file");
        msg(k, "  file " + file + ", record " + std::to_string(e.record) + ": ", e.why);
        kvabort(k, error);
        return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> trjcat(const std::vector<std::vector<std::string>>& files) {
    std::vector<std::string> out;
    double offset = 0;
    int mrun = 0, mtraj = 0;
    TrjRecord end;
    bool seen = false;
    for (const auto& lines : files) {
        double last = offset;
        for (const std::string& l : lines) {
            TrjRecord r;
            if (!trjrec(l, r)) continue;  // blank records after the end record
            if (r.a == -999.0) {
                end = r;
                continue;
            }
            if (r.a == -1.0) {
                mrun = std::max(mrun, int(r.x)), mtraj = std::max(mtraj, int(r.y)), seen = true;
                out.push_back(l);
                continue;
            }
            if (offset == 0) {
                out.push_back(l);
            } else {
                auto rec = fortio::format_write(layout, {r.a + offset, r.x, r.y, r.z});
                out.push_back(rec.at(0));
            }
            last = r.a + offset;
        }
        offset = last;
    }
    if (seen) end.x = float(mrun), end.y = float(mtraj);
    out.push_back(fortio::format_write(layout, {-999.0, end.x, end.y, 0.0f}).at(0));
    return out;
}

void trjadd(Kova& k) {
    const int in = k.files.inunit;
    std::vector<AddJob> jobs;
    bool bad = false;
    auto cur = [&]() -> AddJob& {
        if (jobs.empty()) jobs.emplace_back(), jobs.back().unit = 1;
        return jobs.back();
    };
    for (;;) {
        const std::string w = getnam(k, in, "Trjdrv");
        const std::string w4 = w.substr(0, 4);
        if (w4 == "end") break;
        if (w4 == "iflx") {
            const int n = getint(k, in, "Trjdrv");
            // Keywords given before the first iflx belong to the unit it names.
            if (jobs.empty() || jobs.back().named) jobs.emplace_back();
            jobs.back().unit = n, jobs.back().named = true;
        } else if (w4 == "file") {
            cur().out = getfil(k, in, "Trjdrv");
        } else if (w4 == "tot") {
            cur().out.clear();
        } else if (w4 == "numb") {
            const int n = getint(k, in, "Trjdrv");
            if (n < 1 || n > maxadd) {
                msg(k, "SERIOUS: trjadd (002) number of files to concatenate outside 1 to 10: ", std::to_string(n));
                bad = true;
                kvabort(k, serious);
                continue;
            }
            AddJob& j = cur();
            j.in.clear();
            for (int i = 0; i < n; ++i) j.in.push_back(getfil(k, in, "Trjdrv"));
        } else {
            out(k, "(a,1x,a)", "  WARNING: trjadd (001) - unknown keyword", w);
            kvabort(k, warning);
        }
    }
    if (bad) return;
    const UnitStore& u = k.mol.units;
    for (AddJob& j : jobs) {
        const int n = j.unit;
        if (n < 1 || n > u.nunit || u.nsubu[n] < 1) {
            msg(k, "SERIOUS: trjadd (003) unit not defined: ", std::to_string(n));
            kvabort(k, serious);
            continue;
        }
        if (j.in.empty()) {
            msg(k, "SERIOUS: trjadd (004) no files to concatenate for unit ", std::to_string(n));
            kvabort(k, serious);
            continue;
        }
        // Every input is read and checked before the output is made.
        std::vector<std::vector<std::string>> files(j.in.size());
        bool ok = true;
        for (size_t i = 0; ok && i < j.in.size(); ++i) ok = slurp(k, j.in[i], u.nsubu[n], files[i]);
        if (!ok) continue;
        std::string name = j.out.empty() ? "tot" + std::to_string(n) + ".trj" : j.out;
        kvopen(k, addout, name, true);
        out(k, "(a,i5,a,a)", "  Trajectory written to unit no.:", addout, " file         :", name);
        k.units.write(addout, trjcat(files));
        k.units.close(addout);
        out(k, "(a)", " completed");
    }
}

}  // namespace kova
