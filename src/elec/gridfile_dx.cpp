// Writing and reading grid maps in the OpenDX scalar-field layout (outdx,
// inpdx).
#include "elec/gridfile_dx.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "command/commands.hpp"
#include "command/output.hpp"
#include "elec/grid.hpp"

namespace kova {

namespace {

// Words of a line, separated by blanks or tabs.
std::vector<std::string> dx_words(const std::string& line) {
    std::vector<std::string> w;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
        if (j > i) w.push_back(line.substr(i, j - i));
        i = j;
    }
    return w;
}

bool dx_number(const std::string& s, double& v) {
    char* end = nullptr;
    v = std::strtod(s.c_str(), &end);
    return end != s.c_str() && *end == '\0';
}

bool dx_count(const std::string& s, long long& v) {
    char* end = nullptr;
    v = std::strtoll(s.c_str(), &end, 10);
    return end != s.c_str() && *end == '\0';
}

// Header numbers: as many digits as it takes to read back the same value.
std::string fmt_exact(double v) {
    char b[40];
    std::snprintf(b, sizeof b, "%.17g", v);
    return b;
}

std::string fmt_value(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.9e", v);
    return b;
}

}  // namespace

bool outdx(Kova& k, std::string& file, int unit, const std::string& title, int nx, int ny, int nz, float h,
           float ox, float oy, float oz, const float* grid, double scale, const float* exmap, float inside,
           int step) {
    const int q = step > 1 ? step : 1;
    const int mx = nx / q, my = ny / q, mz = nz / q;
    if (mx < 1 || my < 1 || mz < 1) {
        fwrite(k, k.files.msgunit, "(1x,'SERIOUS: outgrd(010) no grid points to write with step ',i5,'.')", q);
        kvabort(k, serious);
        return false;
    }
    kvopen(k, unit, file, true);
    const double d = double(q) * h;
    auto w = [&](const std::string& line) {
        k.units.write(unit, line);
        return true;
    };
    char b[160];
    bool ok = w("# " + title);
    std::snprintf(b, sizeof b, "object 1 class gridpositions counts %d %d %d", mx, my, mz);
    ok = ok && w(b);
    // The origin is the first grid point, one spacing on from the grid's
    // own origin (point i lies at ox + i h).
    ok = ok && w("origin " + fmt_exact(double(ox) + h) + " " + fmt_exact(double(oy) + h) + " " +
                 fmt_exact(double(oz) + h));
    const std::string zero = "0", delta = fmt_exact(d);
    ok = ok && w("delta " + delta + " " + zero + " " + zero);
    ok = ok && w("delta " + zero + " " + delta + " " + zero);
    ok = ok && w("delta " + zero + " " + zero + " " + delta);
    std::snprintf(b, sizeof b, "object 2 class gridconnections counts %d %d %d", mx, my, mz);
    ok = ok && w(b);
    const long long n = static_cast<long long>(mx) * my * mz;
    std::snprintf(b, sizeof b, "object 3 class array type double rank 0 items %lld data follows", n);
    ok = ok && w(b);
    std::string line;
    int on_line = 0;
    for (int i = 1; i <= mx && ok; ++i)
        for (int j = 1; j <= my && ok; ++j)
            for (int kk = 1; kk <= mz && ok; ++kk) {
                const long l = 1 + long(i - 1) * q + long(nx) * (j - 1) * q + long(nx) * ny * (kk - 1) * q;
                const bool in = exmap && std::lround(exmap[l] / 6.0f) == 1;
                const double v = scale * double(in ? inside : grid[l]);
                if (on_line) line += ' ';
                line += fmt_value(v);
                if (++on_line == 3) {
                    ok = w(line);
                    line.clear();
                    on_line = 0;
                }
            }
    if (ok && on_line) ok = w(line);
    ok = ok && w("attribute \"dep\" string \"positions\"");
    ok = ok && w("object \"" + title + "\" class field");
    ok = ok && w("component \"positions\" value 1");
    ok = ok && w("component \"connections\" value 2");
    ok = ok && w("component \"data\" value 3");
    k.units.close(unit);
    if (!ok) {
        msg(k, "ERROR: outgrd(020) error writing grid file: ", file);
        kvabort(k, error);
    }
    return ok;
}

bool inpdx(Kova& k, const std::string& file, int unit, int& nx, int& ny, int& nz, float& h, float& ox, float& oy,
           float& oz, float* grid, int capacity, double scale, int msgunit) {
    auto say = [&](const std::string& text) { k.units.write(msgunit, " " + text); };
    std::string why;
    if (!k.units.open(unit, file, fortio::OpenStatus::old_file, fortio::Form::formatted, &why)) {
        say("ERROR: inpdx(010) unable to open grid file: " + file + " (" + why + ")");
        return false;
    }
    int lineno = 0;
    std::string what;  // the fault, empty while the file reads
    bool too_large = false;
    long long cnt[3] = {0, 0, 0}, cnt2[3] = {0, 0, 0}, items = 0;
    double origin[3] = {0, 0, 0}, delta[3][3] = {};
    std::vector<float> values;
    std::string rec;
    // The next line that is not a comment or blank, split into words; false
    // at the end of the file.
    auto next = [&](std::vector<std::string>& w) {
        for (;;) {
            if (k.units.read(unit, rec) != fortio::IoStatus::ok) return false;
            ++lineno;
            w = dx_words(rec);
            if (!w.empty() && w[0][0] != '#') return true;
        }
    };
    auto fail = [&](const std::string& text) {
        if (what.empty()) what = text;
        return false;
    };
    auto at = [&] { return " at line " + std::to_string(lineno); };
    std::vector<std::string> w;
    auto header = [&]() -> bool {
        if (!next(w)) return fail("end of file before the grid positions");
        if (w.size() != 8 || w[0] != "object" || w[2] != "class" || w[3] != "gridpositions" || w[4] != "counts")
            return fail("no gridpositions record with three counts" + at());
        for (int a = 0; a < 3; ++a)
            if (!dx_count(w[5 + a], cnt[a])) return fail("unreadable grid count" + at());
        if (cnt[0] < 1 || cnt[1] < 1 || cnt[2] < 1)
            return fail("grid dimensions " + w[5] + ", " + w[6] + ", " + w[7] + " in the header");
        if (!grid_fits(cnt[0], cnt[1], cnt[2], capacity)) {
            too_large = true;
            return false;
        }
        if (!next(w) || w.size() != 4 || w[0] != "origin") return fail("no origin record with three numbers" + at());
        for (int a = 0; a < 3; ++a)
            if (!dx_number(w[1 + a], origin[a]) || !std::isfinite(origin[a]))
                return fail("origin not valid" + at());
        for (int r = 0; r < 3; ++r) {
            if (!next(w) || w.size() != 4 || w[0] != "delta") return fail("no delta record with three numbers" + at());
            for (int a = 0; a < 3; ++a)
                if (!dx_number(w[1 + a], delta[r][a]) || !std::isfinite(delta[r][a]))
                    return fail("delta not valid" + at());
        }
        // The grids of the program are cubic and aligned with the axes.
        const double d = delta[0][0];
        for (int r = 0; r < 3; ++r)
            for (int a = 0; a < 3; ++a) {
                const double want = r == a ? d : 0.0;
                if (std::fabs(delta[r][a] - want) > 1.0e-5 * std::fabs(d))
                    return fail("grid spacing not the same along x, y and z, or axes not aligned");
            }
        if (!(d > 0) || !std::isfinite(static_cast<float>(d))) return fail("grid spacing not positive");
        if (!next(w) || w.size() != 8 || w[0] != "object" || w[2] != "class" || w[3] != "gridconnections" ||
            w[4] != "counts")
            return fail("no gridconnections record with three counts" + at());
        for (int a = 0; a < 3; ++a)
            if (!dx_count(w[5 + a], cnt2[a]) || cnt2[a] != cnt[a])
                return fail("gridconnections counts differ from the gridpositions counts" + at());
        if (!next(w) || w.size() < 10 || w[0] != "object" || w[2] != "class" || w[3] != "array" || w[4] != "type" ||
            (w[5] != "double" && w[5] != "float") || w[6] != "rank" || w[7] != "0" || w[8] != "items")
            return fail("no scalar array record (class array type double rank 0 items N)" + at());
        if (!dx_count(w[9], items) || items != cnt[0] * cnt[1] * cnt[2])
            return fail("array of " + w[9] + " items for a grid of " + std::to_string(cnt[0] * cnt[1] * cnt[2]) +
                        " points" + at());
        if (!(w.size() == 10 || (w.size() == 12 && w[10] == "data" && w[11] == "follows")))
            return fail("array record not followed by data follows" + at());
        return true;
    };
    if (header()) {
        values.resize(static_cast<size_t>(items));
        size_t got = 0;
        const long long nx_ = cnt[0], ny_ = cnt[1], nz_ = cnt[2];
        while (got < values.size()) {
            if (!next(w)) {
                fail("end of file after " + std::to_string(got) + " of " + std::to_string(items) + " values");
                break;
            }
            bool bad = false;
            for (const std::string& s : w) {
                double v;
                if (got == values.size()) {
                    bad = !fail("more values than the " + std::to_string(items) + " announced" + at());
                    break;
                }
                if (!dx_number(s, v)) {
                    bad = !fail("unreadable value" + at());
                    break;
                }
                const double stored = v / scale;
                if (!std::isfinite(stored) || std::fabs(stored) > 3.4e38) {
                    bad = !fail("value " + std::to_string(got + 1) + " is not a finite number" + at());
                    break;
                }
                // File order: z fastest; stored order: x fastest.
                const long long i = static_cast<long long>(got) / (ny_ * nz_);
                const long long j = static_cast<long long>(got) / nz_ % ny_;
                const long long kk = static_cast<long long>(got) % nz_;
                values[static_cast<size_t>(i + nx_ * (j + ny_ * kk))] = static_cast<float>(stored);
                ++got;
            }
            if (bad) break;
        }
        // What follows the values: the attribute and field records only.
        while (what.empty() && next(w)) {
            double v;
            if (dx_number(w[0], v)) {
                fail("more values than the " + std::to_string(items) + " announced" + at());
            } else if (w[0] != "attribute" && w[0] != "object" && w[0] != "component" && w[0] != "end") {
                fail("unknown record after the values" + at());
            }
        }
    }
    k.units.close(unit);
    if (too_large) {
        fwrite(k, msgunit, "(1x,'FATAL: inpgrd(002) grid too large. ','recompile with larger IM_MAX value.')");
        say("FATAL: inpgrd(002) grid file: " + file);
        kvabort(k, fatal);
        return false;
    }
    if (!what.empty()) {
        say("ERROR: inpdx(020) corrupt grid file: " + file);
        say("ERROR: inpdx(020) " + what + ".");
        return false;
    }
    std::copy(values.begin(), values.end(), grid + 1);
    if (grid == k.mess.phi.data()) k.mess.phiset = true, k.mess.phibad = false;  // a potential read from a file
    nx = static_cast<int>(cnt[0]), ny = static_cast<int>(cnt[1]), nz = static_cast<int>(cnt[2]);
    // Point i of the grid lies at o + i h: the grid's origin is one spacing
    // before the first point.
    const double d = delta[0][0];
    h = static_cast<float>(d);
    ox = static_cast<float>(origin[0] - d), oy = static_cast<float>(origin[1] - d), oz = static_cast<float>(origin[2] - d);
    return true;
}

}  // namespace kova
