// Writing and reading grid files (outgrd, outxgr, inpgrd).
#include "elec/gridfile.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "command/commands.hpp"
#include "command/output.hpp"
#include "fortio/format.hpp"

namespace kova {

namespace {

constexpr int maxplane = 8450;   // values of one plane a binary file may hold
constexpr int header_bytes = 160;  // 72 title characters and 22 four-byte items
constexpr int title_len = 72;

constexpr std::string_view header_fmt = "(a72/2e12.6,5i7/3i7,4e12.6/4e12.6/2e12.6,2i7)";
constexpr std::string_view plane_fmt = "(3i7)";
constexpr std::string_view values_fmt = "((6(1x,e12.6)))";

// Little-endian four-byte items of the binary records.
void put_i32(std::byte*& p, std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    for (int b = 0; b < 4; ++b) *p++ = static_cast<std::byte>(u >> (8 * b));
}
void put_f32(std::byte*& p, float v) {
    std::uint32_t u;
    std::memcpy(&u, &v, 4);
    put_i32(p, static_cast<std::int32_t>(u));
}
std::int32_t get_i32(const std::byte*& p) {
    std::uint32_t u = 0;
    for (int b = 0; b < 4; ++b) u |= static_cast<std::uint32_t>(*p++) << (8 * b);
    return static_cast<std::int32_t>(u);
}
float get_f32(const std::byte*& p) {
    const std::uint32_t u = static_cast<std::uint32_t>(get_i32(p));
    float v;
    std::memcpy(&v, &u, 4);
    return v;
}

// The geometry a file describes: the stored grid, or its sample at every
// step-th point.
struct Layout {
    int nx, ny, nz;  // stored grid
    int q;           // sampling step
    int mx, my, mz;  // grid in the file
    // Stored index of file point (i, j, k).
    int stored(int i, int j, int k) const {
        return 1 + (i - 1) * q + nx * (j - 1) * q + nx * ny * (k - 1) * q;
    }
};

struct Header {
    std::string title;
    float scale = 0;
    int grdflg = 0;
    int nx = 0, ny = 0, nz = 0;
    float h = 0, ox = 0, oy = 0, oz = 0;
};

bool write_text(Kova& k, int unit, const Header& hd, const Layout& lay, const auto& value) {
    k.units.write(unit, fortio::format_write(header_fmt,
                                             {pad(hd.title, title_len), hd.scale, 0.0f, hd.grdflg, 0, hd.nz, 1,
                                              hd.nz, hd.nx, hd.ny, hd.nz, hd.h, hd.ox, hd.oy, hd.oz, 0.0f, 0.0f,
                                              0.0f, 0.0f, 0.0f, 0.0f, 0, 0}));
    std::vector<fortio::OutItem> items(static_cast<size_t>(lay.mx) * lay.my);
    for (int kk = 1; kk <= lay.mz; ++kk) {
        k.units.write(unit, fortio::format_write(plane_fmt, {kk, lay.mx, lay.my}));
        size_t n = 0;
        for (int j = 1; j <= lay.my; ++j)
            for (int i = 1; i <= lay.mx; ++i) items[n++] = value(lay.stored(i, j, kk));
        k.units.write(unit, fortio::format_write(values_fmt, items));
    }
    return true;
}

bool write_binary(Kova& k, int unit, const Header& hd, const Layout& lay, const auto& value) {
    std::vector<std::byte> rec(std::max<size_t>(header_bytes, 4 * static_cast<size_t>(lay.mx) * lay.my));
    std::byte* p = rec.data();
    const std::string title = pad(hd.title, title_len);
    std::memcpy(p, title.data(), title_len);
    p += title_len;
    put_f32(p, hd.scale);
    put_f32(p, 0.0f);  // dum2
    put_i32(p, hd.grdflg);
    put_i32(p, 0);  // idum2
    put_i32(p, hd.nz);
    put_i32(p, 1);
    put_i32(p, hd.nz);
    put_i32(p, hd.nx);
    put_i32(p, hd.ny);
    put_i32(p, hd.nz);
    put_f32(p, hd.h);
    put_f32(p, hd.ox);
    put_f32(p, hd.oy);
    put_f32(p, hd.oz);
    for (int d = 3; d <= 8; ++d) put_f32(p, 0.0f);  // dum3 .. dum8
    put_i32(p, 0);                                 // idum3
    put_i32(p, 0);                                 // idum4
    bool ok = k.units.write_unformatted(unit, {rec.data(), header_bytes}) == fortio::IoStatus::ok;
    for (int kk = 1; kk <= lay.mz && ok; ++kk) {
        std::byte plane[12];
        std::byte* q = plane;
        put_i32(q, kk);
        put_i32(q, lay.mx);
        put_i32(q, lay.my);
        ok = k.units.write_unformatted(unit, {plane, 12}) == fortio::IoStatus::ok;
        p = rec.data();
        for (int j = 1; j <= lay.my; ++j)
            for (int i = 1; i <= lay.mx; ++i) put_f32(p, value(lay.stored(i, j, kk)));
        ok = ok && k.units.write_unformatted(unit, {rec.data(), static_cast<size_t>(p - rec.data())}) ==
                       fortio::IoStatus::ok;
    }
    return ok;
}

// Writes a grid file whose value at stored index l is value(l).
bool write_grid(Kova& k, const std::string& file, int unit, int form, const std::string& title, int nx, int ny,
                int nz, float h, float ox, float oy, float oz, int grdflg, float scale, int step,
                const auto& value) {
    Layout lay{nx, ny, nz, step > 1 ? step : 1, 0, 0, 0};
    lay.mx = nx / lay.q, lay.my = ny / lay.q, lay.mz = nz / lay.q;
    if (lay.mx < 1 || lay.my < 1 || lay.mz < 1) {
        // A step longer than an edge of the grid samples no point there.
        fwrite(k, k.files.msgunit, "(1x,'SERIOUS: outgrd(010) no grid points to write with step ',i5,'.')", lay.q);
        kvabort(k, serious);
        return false;
    }
    Header hd{title, scale, grdflg, lay.mx, lay.my, lay.mz, static_cast<float>(lay.q) * h, ox, oy, oz};
    std::string name = file;
    kvopen(k, unit, name, form == 1);
    const bool ok = form == 1 ? write_text(k, unit, hd, lay, value) : write_binary(k, unit, hd, lay, value);
    k.units.close(unit);
    if (!ok) {
        msg(k, "ERROR: outgrd(020) error writing grid file: ", name);
        kvabort(k, error);
    }
    return ok;
}

// ---------------------------------------------------------------------------
// Reading

enum class Fail { none, corrupt, too_large, plane_too_large };

// What a reader found: the header and the values as written in the file.
struct Parsed {
    Header hd;
    std::vector<float> values;  // 0-based, nx ny nz
    Fail fail = Fail::none;
    std::string what;  // for a corrupt file: what is wrong, and where
};

bool finite(float v) { return std::isfinite(v); }

// Checks the header items every later step relies on.
bool check_header(Parsed& r, long long capacity) {
    const Header& hd = r.hd;
    if (hd.nx < 1 || hd.ny < 1 || hd.nz < 1) {
        r.fail = Fail::corrupt;
        r.what = "grid dimensions " + std::to_string(hd.nx) + ", " + std::to_string(hd.ny) + ", " +
                 std::to_string(hd.nz) + " in the header";
        return false;
    }
    if (!grid_fits(hd.nx, hd.ny, hd.nz, capacity)) {
        r.fail = Fail::too_large;
        return false;
    }
    if (!finite(hd.scale) || !finite(hd.h) || hd.h <= 0 || !finite(hd.ox) || !finite(hd.oy) || !finite(hd.oz)) {
        r.fail = Fail::corrupt;
        r.what = "scale, spacing or origin in the header not valid";
        return false;
    }
    return true;
}

// Checks a plane record against the header; false (with the reason) when
// the plane does not belong to the grid the header describes.
bool check_plane(Parsed& r, int kk, int pnx, int pny, bool binary) {
    if (binary && pnx >= 1 && pny >= 1 && static_cast<long long>(pnx) * pny > maxplane) {
        r.fail = Fail::plane_too_large;
        return false;
    }
    if (pnx != r.hd.nx || pny != r.hd.ny) {
        r.fail = Fail::corrupt;
        r.what = "plane " + std::to_string(kk) + " is " + std::to_string(pnx) + " by " + std::to_string(pny) +
                 " points, the header says " + std::to_string(r.hd.nx) + " by " + std::to_string(r.hd.ny);
        return false;
    }
    return true;
}

void corrupt(Parsed& r, std::string what) {
    r.fail = Fail::corrupt;
    r.what = std::move(what);
}

void read_binary(Kova& k, int unit, Parsed& r, long long capacity) {
    std::vector<std::byte> rec;
    rec.reserve(4 * maxplane);
    auto record = [&](const char* what, int kk) {
        const fortio::IoStatus st = k.units.read_unformatted(unit, rec);
        if (st == fortio::IoStatus::ok) return true;
        std::string where = kk > 0 ? " of plane " + std::to_string(kk) : "";
        corrupt(r, std::string(st == fortio::IoStatus::eof ? "end of file before the " : "unreadable ") + what +
                       " record" + where + " (truncated file or wrong record markers)");
        return false;
    };
    if (!record("header", 0)) return;
    if (rec.size() != header_bytes) {
        corrupt(r, "header record of " + std::to_string(rec.size()) + " bytes, not " +
                       std::to_string(header_bytes));
        return;
    }
    Header& hd = r.hd;
    const std::byte* p = rec.data();
    hd.title.assign(reinterpret_cast<const char*>(p), title_len);
    p += title_len;
    hd.scale = get_f32(p);
    get_f32(p);  // dum2
    hd.grdflg = get_i32(p);
    p += 4 * 4;  // idum2, km, one, km
    hd.nx = get_i32(p);
    hd.ny = get_i32(p);
    hd.nz = get_i32(p);
    hd.h = get_f32(p);
    hd.ox = get_f32(p);
    hd.oy = get_f32(p);
    hd.oz = get_f32(p);
    if (!check_header(r, capacity)) return;
    const size_t nxy = static_cast<size_t>(hd.nx) * hd.ny;
    r.values.resize(nxy * hd.nz);
    for (int kk = 1; kk <= hd.nz; ++kk) {
        if (!record("plane", kk)) return;
        if (rec.size() != 12) {
            corrupt(r, "plane record " + std::to_string(kk) + " of " + std::to_string(rec.size()) +
                           " bytes, not 12");
            return;
        }
        p = rec.data();
        get_i32(p);  // the plane number is not used
        const int pnx = get_i32(p), pny = get_i32(p);
        if (!check_plane(r, kk, pnx, pny, true)) return;
        if (!record("value", kk)) return;
        if (rec.size() != 4 * nxy) {
            corrupt(r, "plane " + std::to_string(kk) + " holds " + std::to_string(rec.size() / 4) +
                           " values, not " + std::to_string(nxy));
            return;
        }
        p = rec.data();
        float* v = r.values.data() + (kk - 1) * nxy;
        for (size_t l = 0; l < nxy; ++l) v[l] = get_f32(p);
    }
}

void read_text(Kova& k, int unit, Parsed& r, long long capacity) {
    int line = 0;  // records read so far
    fortio::IoStatus last = fortio::IoStatus::ok;
    auto next = [&](std::string& rec) {
        last = k.units.read(unit, rec);
        if (last != fortio::IoStatus::ok) return false;
        ++line;
        return true;
    };
    // Names what failed in a format_read: the end of the file or the record.
    auto failed = [&](const fortio::ReadResult& rr, const std::string& what) {
        if (rr.status == fortio::ReadStatus::eof && last == fortio::IoStatus::eof)
            corrupt(r, "end of file in the " + what + " after line " + std::to_string(line));
        else
            corrupt(r, "unreadable " + what + " at line " + std::to_string(line) +
                           (rr.message.empty() ? std::string() : " (" + rr.message + ")"));
    };
    Header& hd = r.hd;
    int idum = 0;
    float dum = 0;
    auto hr = fortio::format_read(header_fmt, next,
                                  {fortio::Chars{&hd.title, title_len}, &hd.scale, &dum, &hd.grdflg, &idum, &idum,
                                   &idum, &idum, &hd.nx, &hd.ny, &hd.nz, &hd.h, &hd.ox, &hd.oy, &hd.oz, &dum, &dum,
                                   &dum, &dum, &dum, &dum, &idum, &idum});
    if (hr.status != fortio::ReadStatus::ok) return failed(hr, "header");
    if (!check_header(r, capacity)) return;
    const size_t nxy = static_cast<size_t>(hd.nx) * hd.ny;
    r.values.resize(nxy * hd.nz);
    std::vector<float> plane(nxy);
    std::vector<fortio::InItem> items(nxy);
    for (size_t l = 0; l < nxy; ++l) items[l] = &plane[l];
    for (int kk = 1; kk <= hd.nz; ++kk) {
        int pk = 0, pnx = 0, pny = 0;
        auto pr = fortio::format_read(plane_fmt, next, {&pk, &pnx, &pny});
        if (pr.status != fortio::ReadStatus::ok) return failed(pr, "record of plane " + std::to_string(kk));
        if (!check_plane(r, kk, pnx, pny, false)) return;
        // Every value line must hold its six values (fewer on the last line
        // of a plane): a line cut short would otherwise read as zeros.
        size_t left = nxy;
        bool short_line = false;
        auto values_line = [&](std::string& rec) {
            if (!next(rec)) return false;
            const size_t want = std::min<size_t>(6, left);
            size_t len = rec.find_last_not_of(' ');
            len = len == std::string::npos ? 0 : len + 1;
            if (len < 13 * want) {
                short_line = true;
                return false;
            }
            left -= want;
            return true;
        };
        auto vr = fortio::format_read(values_fmt, values_line, items);
        if (short_line) {
            corrupt(r, "line " + std::to_string(line) + " of plane " + std::to_string(kk) + " holds fewer values" +
                           " than the plane needs");
            return;
        }
        if (vr.status != fortio::ReadStatus::ok) return failed(vr, "values of plane " + std::to_string(kk));
        std::copy(plane.begin(), plane.end(), r.values.begin() + static_cast<std::ptrdiff_t>((kk - 1) * nxy));
    }
}

}  // namespace

bool outgrd(Kova& k, const std::string& file, int unit, int form, const std::string& title, int nx, int ny,
            int nz, float h, float ox, float oy, float oz, int grdflg, const float* grid, float scale, int step) {
    return write_grid(k, file, unit, form, title, nx, ny, nz, h, ox, oy, oz, grdflg, scale, step,
                      [&](int l) { return scale * grid[l]; });
}

bool outxgr(Kova& k, const std::string& file, int unit, int form, const std::string& title, int nx, int ny,
            int nz, float h, float ox, float oy, float oz, int grdflg, const float* grid, float scale,
            const float* exmap, float inside, int step) {
    // Points of the ion-exclusion interior (map value 6) take the inside value.
    return write_grid(k, file, unit, form, title, nx, ny, nz, h, ox, oy, oz, grdflg, scale, step, [&](int l) {
        return std::lround(exmap[l] / 6.0f) == 1 ? scale * inside : scale * grid[l];
    });
}

bool inpgrd(Kova& k, const std::string& file, int unit, int form, std::string& title, int& nx, int& ny, int& nz,
            float& h, float& ox, float& oy, float& oz, int& grdflg, float* grid, int capacity, float scale,
            int msgunit) {
    auto say = [&](const std::string& text) { k.units.write(msgunit, " " + text); };
    if (form != 0 && form != 1) {
        say("ERROR: inpgrd(005) unknown grid file form " + std::to_string(form) + " for file: " + file);
        return false;
    }
    std::string why;
    if (!k.units.open(unit, file, fortio::OpenStatus::old_file,
                      form == 1 ? fortio::Form::formatted : fortio::Form::unformatted, &why)) {
        say("ERROR: inpgrd(010) unable to open grid file: " + file + " (" + why + ")");
        return false;
    }
    Parsed r;
    if (form == 1)
        read_text(k, unit, r, capacity);
    else
        read_binary(k, unit, r, capacity);
    k.units.close(unit);

    if (r.fail == Fail::too_large || r.fail == Fail::plane_too_large) {
        if (r.fail == Fail::too_large)
            fwrite(k, msgunit, "(1x,'FATAL: inpgrd(002) grid too large. ','recompile with larger IM_MAX value.')");
        else
            fwrite(k, msgunit, "(1x,'FATAL: inpgrd(001) buffer too small.')");
        say("FATAL: inpgrd(00" + std::string(r.fail == Fail::too_large ? "2" : "1") + ") grid file: " + file);
        kvabort(k, fatal);
    }
    if (r.fail == Fail::none) {
        // Values are divided by the factor the file says they were written
        // with. A text header holds it to six digits only: when it agrees
        // with the caller's factor to that precision, the caller's exact
        // factor is the one the values were multiplied by.
        float div = r.hd.scale != 0.0f ? r.hd.scale : scale;
        if (form == 1 && scale != 0.0f && std::fabs(r.hd.scale - scale) <= 5.0e-6f * std::fabs(scale)) div = scale;
        for (size_t l = 0; l < r.values.size(); ++l) {
            r.values[l] /= div;
            if (!finite(r.values[l])) {
                const size_t nxy = static_cast<size_t>(r.hd.nx) * r.hd.ny;
                corrupt(r, "value " + std::to_string(l % nxy + 1) + " of plane " + std::to_string(l / nxy + 1) +
                               " is not a finite number");
                break;
            }
        }
    }
    if (r.fail != Fail::none) {
        say("ERROR: inpgrd(020) corrupt grid file: " + file);
        say("ERROR: inpgrd(020) " + r.what + ".");
        return false;
    }
    std::copy(r.values.begin(), r.values.end(), grid + 1);
    if (grid == k.mess.phi.data()) k.mess.phiset = true, k.mess.phibad = false;  // a potential read from a file
    std::string t = r.hd.title;
    t.erase(t.find_last_not_of(' ') + 1);
    title = t;
    nx = r.hd.nx, ny = r.hd.ny, nz = r.hd.nz;
    h = r.hd.h, ox = r.hd.ox, oy = r.hd.oy, oz = r.hd.oz;
    grdflg = r.hd.grdflg;
    return true;
}

}  // namespace kova
