// The write command (right): coordinates, grid maps, surface points and the
// bricked field-direction map of the potential.
#include "molecule/write.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "command/commands.hpp"
#include "command/output.hpp"
#include "command/readers.hpp"
#include "command/tokens.hpp"
#include "elec/gridfile.hpp"
#include "elec/gridfile_dx.hpp"
#include "molecule/prox.hpp"
#include "molecule/read_formats.hpp"
#include "molecule/select.hpp"

namespace kova {

namespace {

constexpr float kcal = 0.0023900573f;       // internal energy units to kcal/mol
constexpr float epsfac = 1745898.875f;      // permittivity to dielectric constant (1/eps0)
constexpr int maxbrk = 300;                 // longest axis of a bricked map
constexpr int brkrec = 108;                 // bytes per record of a bricked map

// Settings of one write command.
struct WriteCommand {
    std::string type = "grid";  // grid, coord, vector, surf, rama, trama
    std::string grid = "phi";   // phi, epsc, epsi, epsj, epsk, rho, exgrid
    int form = 1;               // 1 ascii (formatted), 0 binary, 2 OpenDX
    std::string file;           // blank: the type's default name
    int intv = 1;
    float setint = 0.0f;
    bool excl = false;
    bool qrad = false;
    bool standard = false;      // standard-aligned PDB (PQR with qrad) records
    bool useunit = false;
    int unit = 0;
};

// A grid map of the electrostatics store as the grid writer receives it.
struct GridKind {
    std::string_view word;
    const char* file;
    const char* title;
    int code;
    int shift;  // axis (1 x, 2 y, 3 z) whose origin is moved up half a spacing; 0 none
};

constexpr GridKind gridkinds[] = {
    {"phi", "phi.grd", "Potential Grid", 1, 0},
    {"epsc", "epsc.grd", "EPSC - Dielectric and Ionic Grid", 2, 0},
    {"epsi", "epsi.grd", "EPSI - X-shifted Dielectric Grid", 3, 1},
    {"epsj", "epsj.grd", "EPSJ - Y-shifted Dielectric Grid", 4, 2},
    {"epsk", "epsk.grd", "EPSK - Z-shifted Dielectric Grid", 5, 3},
    {"rho", "rho.grd", "RHO - Charge Grid", 6, 0},
    {"exgrid", "exgrid.grd", "EXGRID - Solvent Exclusion Grid", 7, 0},
};

const std::vector<float>& gridmap(const GridStore& g, std::string_view word) {
    if (word == "phi") return g.phi;
    if (word == "epsc") return g.diagm;
    if (word == "epsi") return g.epsi;
    if (word == "epsj") return g.epsj;
    if (word == "epsk") return g.epsk;
    if (word == "rho") return g.rhs;
    return g.iacs;
}

float gridscale(const GridStore& g, std::string_view word) {
    if (word == "phi") return kcal;
    if (word == "rho") return g.h;
    if (word == "exgrid") return 1.0f;
    return epsfac;
}

// Units the program keeps for the command input, stream files and loop
// copies: coordinates are never written to them.
bool reserved_unit(int unit) { return unit <= 0 || unit == 5 || (unit >= 51 && unit <= 70); }

void warn(Kova& k, std::string_view text, std::string_view word) {
    msg(k, text, word);
    kvabort(k, warning);
}

// Before any elec command (or grid read) the maps hold their start-up
// values: there is nothing to write. A permittivity map read from a file
// (read epsi, epsj, epsk) is data of its own.
bool grid_exists(Kova& k, std::string_view word) {
    const GridStore& g = k.mess;
    if (g.hold >= 0.0f) return true;
    if ((word == "epsi" || word == "epsj" || word == "epsk") && g.hrep > 0.0f) return true;
    msg(k, "WARNING: write(120) No grid has been set up by elec or read; nothing written.");
    kvabort(k, warning);
    return false;
}

// The geometry of the grid store must describe maps it can hold.
bool grid_usable(Kova& k) {
    if (fits_grid(k.mess)) return true;
    msg(k, "WARNING: write(130) The grid geometry is not usable; nothing written.");
    kvabort(k, warning);
    return false;
}

// The name the file opener will give a new file: the name itself, or the
// first of name1 ... name99 that does not exist yet (shown in the listing;
// the grid writer keeps the name it used to itself).
std::string free_name(const std::string& name) {
    std::error_code ec;
    if (!std::filesystem::exists(name, ec)) return name;
    for (int i = 1; i <= 99; ++i) {
        std::string n = name + std::to_string(i);
        if (!std::filesystem::exists(n, ec)) return n;
    }
    return name;
}

// Atoms flagged for the coordinate writer, among the loaded ones.
int picked(const Kova& k) {
    const MoleculeStore& m = k.mol;
    if (m.nmol < 1) return 0;
    int n = 0;
    for (int i = std::max(m.fstatm[1], 1); i <= std::min(m.lstatm[m.nmol], maxatm); ++i) n += k.wr.picwrt[i] == 1;
    return n;
}

void write_coord(Kova& k, const WriteCommand& c) {
    std::string name = c.file;
    int unit = k.files.wrunit;
    if (c.useunit) {
        unit = c.unit;
        if (reserved_unit(unit)) {
            warn(k, "WARNING: write(035) unit number reserved by the program: ", std::to_string(unit));
            return;
        }
        if (!k.units.is_open(unit) || !k.units.is_formatted(unit)) {
            warn(k, "WARNING: write(040) unit not open for formatted writing: ", std::to_string(unit));
            return;
        }
        name = k.units.name(unit);
    }
    // A file holding only the END record would report on nothing: refused.
    if (picked(k) == 0) {
        msg(k, "WARNING: write(050) No atoms selected; no coordinates written.");
        kvabort(k, warning);
        return;
    }
    if (!c.useunit) kvopen(k, unit, name, true);
    const int unset_atoms = c.standard ? outstd(k, unit, c.qrad) : outpdb(k, unit, c.qrad);
    if (!c.useunit) k.units.close(unit);
    out(k, "(1x,'  Write type                           (grid,coord) :',a20)", pad("coordinate", linlen));
    out(k, "(1x,'  Output file name                           (file) :',a20)", pad(name, linlen));
    if (unset_atoms > 0) {
        msg(k, "WARNING: write(060) Atoms written with charge or radius unset: ", std::to_string(unset_atoms));
        kvabort(k, warning);
    }
}

// The dihedral histograms of the last trajectory analysis (anal traj with
// dihedrals), then the Ramachandran registrations of dynamics: per histogram the bin values over the frames counted (rama)
// or the raw counts (trama); bins of 10 degrees from -180.
void write_rama(Kova& k, const WriteCommand& c) {
    const std::vector<RamaHist>& hs = k.anal.rama;
    const std::vector<RamaPair>& md = k.ff.md.rama;
    if (hs.empty() && md.empty()) {
        // No trajectory analysis with dihedrals has been run: nothing to write.
        msg(k, "WARNING: write(300) No dihedral histograms exist; nothing written for: ", c.type);
        kvabort(k, warning);
        return;
    }
    std::string name = c.file.empty() ? c.type + ".dat" : c.file;
    const int unit = k.files.wrunit;
    kvopen(k, unit, name, true);
    for (size_t p = 0; p < hs.size(); ++p) {
        const RamaHist& h = hs[p];
        const bool one = h.d1 == h.d2;
        auto value = [&](size_t b) { return h.norm > 0 ? double(h.count[b]) / double(h.norm) : 99999.0; };
        if (c.type == "rama") {
            fwrite(k, unit, "(1x,'Temp Rama # ',i5,'  For dihedrals ',2(i5,3x))", int(p + 1), h.d1, h.d2);
            for (size_t b = 0; b < size_t(nrama); ++b) {
                if (one) {
                    fwrite(k, unit, "(1x,f8.3,5x,f12.6)", -180.0 + 10.0 * double(b), value(b));
                    continue;
                }
                for (size_t b2 = 0; b2 < size_t(nrama); ++b2)
                    fwrite(k, unit, "(1x,f8.3,5x,f8.3,2x,f12.6)", -180.0 + 10.0 * double(b),
                           -180.0 + 10.0 * double(b2), value(b * nrama + b2));
            }
        } else {
            k.units.write(unit, fortio::list_write({std::int64_t(nrama), std::int64_t(nrama)}));
            for (size_t b = 0; b < h.count.size(); ++b) {
                if (one)
                    fwrite(k, unit, "(1x,f8.3,5x,i10)", -180.0 + 10.0 * double(b), h.count[b]);
                else
                    k.units.write(unit, fortio::list_write({std::int64_t(h.count[b])}));
            }
        }
    }
    // The Ramachandran registrations of dynamics follow, numbered on. rama
    // gives, for the last registered pair, the mean instantaneous
    // temperature of the evaluations that fell in each bin, and for the
    // others the fraction of the evaluations in each bin; a bin without
    // evaluations (or a pair without any) gives 99999.0.
    for (size_t p = 0; p < md.size(); ++p) {
        const RamaPair& r = md[p];
        const bool one = r.d1 == r.d2, last = p + 1 == md.size();
        long total = 0;
        for (long c : r.count) total += c;
        auto at = [&](size_t b, size_t b2) { return size_t(b * nramab + b2); };
        auto value = [&](size_t b, size_t b2) {
            const long c = r.count[at(b, b2)];
            if (last) return c > 0 ? k.ff.md.ramat[at(b, b2)] / double(c) : 99999.0;
            return total > 0 ? double(c) / double(total) : 99999.0;
        };
        const int number = int(hs.size() + p + 1);
        if (c.type == "rama") {
            fwrite(k, unit, "(1x,'Temp Rama # ',i5,'  For dihedrals ',2(i5,3x))", number, r.d1, r.d2);
            for (size_t b = 0; b < size_t(nramab); ++b) {
                if (one) {
                    fwrite(k, unit, "(1x,f8.3,5x,f12.6)", -180.0 + 10.0 * double(b), value(b, b));
                    continue;
                }
                for (size_t b2 = 0; b2 < size_t(nramab); ++b2)
                    fwrite(k, unit, "(1x,f8.3,5x,f8.3,2x,f12.6)", -180.0 + 10.0 * double(b),
                           -180.0 + 10.0 * double(b2), value(b, b2));
            }
        } else {
            k.units.write(unit, fortio::list_write({std::int64_t(nramab), std::int64_t(nramab)}));
            for (size_t b = 0; b < size_t(nramab); ++b) {
                if (one) {
                    fwrite(k, unit, "(1x,f8.3,5x,i10)", -180.0 + 10.0 * double(b), r.count[at(b, b)]);
                    continue;
                }
                for (size_t b2 = 0; b2 < size_t(nramab); ++b2)
                    k.units.write(unit, fortio::list_write({std::int64_t(r.count[at(b, b2)])}));
            }
        }
    }
    k.units.close(unit);
    out(k, "(1x,'  Write type                           (grid,coord) :',a20)", pad(c.type, linlen));
    out(k, "(1x,'  Output file name                           (file) :',a20)", pad(name, linlen));
}

void write_grid(Kova& k, const WriteCommand& c) {
    GridStore& g = k.mess;
    const GridKind* kind = nullptr;
    for (const GridKind& t : gridkinds)
        if (t.word == c.grid) kind = &t;
    if (!kind) {
        warn(k, "WARNING: write(100) Unknown grid type: ", c.grid);
        return;
    }
    if (!grid_usable(k)) return;
    const int smallest = std::min({g.nx, g.ny, g.nz});
    if (c.intv < 1 || c.intv > smallest) {
        msg(k, "WARNING: write(110) Interval must lie between 1 and the smallest grid dimension: ",
            std::to_string(c.intv));
        kvabort(k, warning);
        return;
    }
    if (!grid_exists(k, kind->word)) return;
    const float scale = gridscale(g, kind->word);
    // The staggered permittivities lie half a spacing up their axis.
    const float half = g.h / 2.0f;
    const float ox = g.xo + (kind->shift == 1 ? half : 0.0f);
    const float oy = g.yo + (kind->shift == 2 ? half : 0.0f);
    const float oz = g.zo + (kind->shift == 3 ? half : 0.0f);
    // The interior value is brought to the units of the map so that, times
    // the map's scale, the file holds it times 0.0023900573 whatever the
    // map (for the potential that factor is the scale itself).
    float inside = c.setint;
    if (kind->word == "exgrid")
        inside = c.setint * kcal;
    else if (kind->word != "phi")
        inside = c.setint * kcal / scale;
    std::string name = c.file.empty() ? kind->file : c.file;
    if (c.form == 2 && c.file.empty()) name = name.substr(0, name.size() - 3) + "dx";
    const std::string used = free_name(name);
    const float* map = gridmap(g, kind->word).data();
    if (c.form == 2)  // OpenDX: the potential in kT/e, the other maps as in the native files
        outdx(k, name, k.files.wrunit, kind->title, g.nx, g.ny, g.nz, g.h, ox, oy, oz, map,
              kind->word == "phi" ? 1.0 / (double(gasconst) * k.env.temp) : double(scale),
              c.excl ? g.iacs.data() : nullptr, inside, c.intv);
    else if (c.excl)
        outxgr(k, name, k.files.wrunit, c.form, kind->title, g.nx, g.ny, g.nz, g.h, ox, oy, oz, kind->code, map,
               scale, g.iacs.data(), inside, c.intv);
    else
        outgrd(k, name, k.files.wrunit, c.form, kind->title, g.nx, g.ny, g.nz, g.h, ox, oy, oz, kind->code, map,
               scale, c.intv);
    out(k, "(1x,'  Write type                           (grid,coord) :',a20)", pad("grid", linlen));
    out(k, "(1x,'  Grid type        (phi,epsc,epsi,epsj,epsk,exgrid) :',a20)", pad(c.grid, linlen));
    out(k, "(1x,'  Output file name                           (file) :',a20)", pad(used, linlen));
    out(k, "(1x,'  Points written at intervals of           (intv #) :',i10)", c.intv);
    out(k, "(1x,'  Output file format                 (binary,ascii) :',a20)",
        pad(c.form == 0 ? "binary" : c.form == 2 ? "OpenDX" : "ascii", linlen));
    if (c.excl) out(k, "(1x,'  Interior points set to               (setint #.#) :',e10.4)", inside * scale);
}

void write_surf(Kova& k, const WriteCommand& c) {
    if (!grid_usable(k) || !grid_exists(k, "phi")) return;
    std::string name = c.file.empty() ? "kova.srf" : c.file;
    const int unit = k.files.wrunit;
    kvopen(k, unit, name, false);
    outsrf(k, unit);
    k.units.close(unit);
}

void write_vector(Kova& k, const WriteCommand& c) {
    if (!grid_usable(k) || !grid_exists(k, "phi")) return;
    std::string name = c.file.empty() ? "phi.grd" : c.file;
    outvec(k, name, "Potential Field Vector", kcal);
}

template <class T>
void put(std::string& buf, T v) {
    char b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));
    buf.append(b, sizeof(T));
}

// Pads buf with zero bytes up to the end of its current record.
void endrec(std::string& buf) {
    const size_t r = buf.size() % brkrec;
    if (r) buf.append(brkrec - r, '\0');
}

}  // namespace

int outpdb(Kova& k, int unit, bool qrad) {
    const MoleculeStore& m = k.mol;
    const auto& pic = k.wr.picwrt;
    int unset_atoms = 0;
    if (m.nmol >= 1) {
        const int first = std::max(m.fstatm[1], 1), last = std::min(m.lstatm[m.nmol], maxatm);
        // A charge or radius still holding the unset marker is written as
        // the word unset, right-aligned in its columns.
        auto field = [](float v) {
            return v == unset ? std::string("   unset") : fortio::format_write("(f8.3)", {v})[0];
        };
        for (int i = first; i <= last; ++i) {
            if (pic[i] != 1) continue;
            if (qrad) {
                const std::string head =
                    fortio::format_write("('ATOM',2x,i5,1x,a4,1x,a3,2x,i4,4x,3f8.3)",
                                         {std::int64_t{i}, m.atnam[i].padded(), m.resnam[i].padded(),
                                          std::int64_t{m.resnum[i]}, m.x[i], m.y[i], m.z[i]})[0];
                k.units.write(unit, head + "  " + field(m.chrg[i]) + field(m.radi[i]));
                unset_atoms += m.chrg[i] == unset || m.radi[i] == unset;
            } else {
                fwrite(k, unit, "('ATOM',2x,i5,1x,a4,1x,a3,2x,i4,4x,3f8.3)", i, m.atnam[i].padded(),
                       m.resnam[i].padded(), m.resnum[i], m.x[i], m.y[i], m.z[i]);
            }
        }
    }
    fwrite(k, unit, "('END   ')");
    return unset_atoms;
}

int outsrf(Kova& k, int unit) {
    const GridStore& g = k.mess;
    std::byte rec[28];
    const std::int32_t zero = 0, one = 1;
    std::memcpy(rec, &zero, 4);
    k.units.write_unformatted(unit, std::span<const std::byte>(rec, 4));
    std::memcpy(rec + 4, &zero, 4);
    std::memcpy(rec + 8, &one, 4);
    int n = 0;
    // Records run with k fastest, as the surface file is read.
    for (int i = 1; i <= g.nx; ++i)
        for (int j = 1; j <= g.ny; ++j)
            for (int kk = 1; kk <= g.nz; ++kk) {
                const int l = g.index(i, j, kk);
                if (!(g.iacs[l] < 6.0f)) continue;
                const float v[4] = {g.xo + static_cast<float>(i) * g.h, g.yo + static_cast<float>(j) * g.h,
                                    g.zo + static_cast<float>(kk) * g.h, g.phi[l] * kcal};
                std::memcpy(rec + 12, v, 16);
                k.units.write_unformatted(unit, std::span<const std::byte>(rec, 28));
                ++n;
            }
    return n;
}

int nblen(std::string_view s) {
    size_t n = s.size();
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\0')) --n;
    return static_cast<int>(n);
}

bool mnstd(int n, double sum, double sumsq, double& mean, double& sd) {
    mean = sd = 0;
    if (n < 3) return false;
    mean = sum / n;
    // var = (sum x^2 - n mean^2) / (n - 1); rounding may leave it just below 0.
    sd = std::sqrt(std::max(0.0, (sumsq - n * mean * mean) / (n - 1)));
    return true;
}

int mbrwrh(std::string& buf, const VectorMap& v, std::string_view title) {
    const std::string_view text[] = {
        "HEADERTITLE ",
        "HEADERENERGY              S2                          ",
        "HEADER VECTOR  ORIENTATIONV2 1.270000E+02 0.000000E+00",
    };
    const int ntext = 3;
    // Identification: version, number of text records, map kind.
    buf.append("mbk_1.0");
    put(buf, std::int32_t{ntext});
    buf.push_back('V');
    endrec(buf);
    for (int t = 0; t < ntext; ++t) {
        std::string line(text[t]);
        if (t == 0) line.append(title.substr(0, static_cast<size_t>(nblen(title))));
        line.resize(100, ' ');
        buf.append(line);
        endrec(buf);
    }
    // Geometry: sections (potential, direction), bricks, points, origin
    // (point (i, j, k) at origin + (i, j, k) h), cell size, and the code's
    // scale and offset (potential = code / scale + offset).
    put(buf, std::int32_t{2});
    for (int n : {nbrick(v.nx), nbrick(v.ny), nbrick(v.nz), v.nx, v.ny, v.nz}) put(buf, std::int32_t{n});
    for (float f : {v.ox, v.oy, v.oz, v.h, v.scale, v.amin}) put(buf, f);
    endrec(buf);
    return 2 + ntext;
}

void vecmap(VectorMap& v, const float* phi, const float* exmap, float c, std::int16_t* code, std::int8_t* dir) {
    const int nx = v.nx, ny = v.ny, nz = v.nz, nxy = nx * ny, n = nxy * nz;
    // Range and statistics of the kept potentials.
    float amax = 0, amin = 0;
    bool any = false;
    v.kept = v.excluded = 0;
    v.sum = v.sumsq = 0;
    for (int l = 1; l <= n; ++l) {
        if (!(exmap[l] < 6.0f)) {
            ++v.excluded;
            continue;
        }
        const float p = c * phi[l], a = std::fabs(p);
        if (!any || a > amax) amax = a;
        if (!any || a < amin) amin = a;
        any = true;
        ++v.kept;
        v.sum += p;
        v.sumsq += static_cast<double>(p) * p;
    }
    v.amax = amax, v.amin = amin;
    // code = nint((c phi - amin) h / amax 1000); a potential that is zero
    // everywhere codes as 0.
    v.scale = amax > 0 ? v.h / amax * 1000.0f : 0.0f;
    // Finite-difference derivative of phi along an axis of m points with
    // stride s at position q, times -c: central inside, one-sided on the
    // end planes.
    const float one = -c / v.h, two = -c / (2.0f * v.h);
    auto deriv = [&](int l, int q, int m, int s) -> float {
        if (m < 2) return 0.0f;
        if (q == 1) return (phi[l + s] - phi[l]) * one;
        if (q == m) return (phi[l] - phi[l - s]) * one;
        return (phi[l + s] - phi[l - s]) * two;
    };
    for (int k = 1; k <= nz; ++k)
        for (int j = 1; j <= ny; ++j) {
            int l = 1 + nx * (j - 1) + nxy * (k - 1);
            for (int i = 1; i <= nx; ++i, ++l) {
                std::int8_t* d = dir + 3 * static_cast<size_t>(l);
                if (!(exmap[l] < 6.0f)) {
                    code[l] = 0;
                    d[0] = d[1] = d[2] = 0;
                    continue;
                }
                // Nearest integer, halves away from zero, kept within 16 bits.
                const float q = std::clamp((c * phi[l] - amin) * v.scale, -32768.0f, 32767.0f);
                code[l] = static_cast<std::int16_t>(q >= 0.0f ? static_cast<int>(q + 0.5f)
                                                              : -static_cast<int>(0.5f - q));
                // Field = -c grad phi; its direction scaled to 127,
                // truncated toward zero.
                const float ex = deriv(l, i, nx, 1);
                const float ey = deriv(l, j, ny, nx);
                const float ez = deriv(l, k, nz, nxy);
                const float len2 = ex * ex + ey * ey + ez * ez;
                if (!(len2 > 0.0f) || !(len2 < INFINITY)) {
                    d[0] = d[1] = d[2] = 0;
                    continue;
                }
                // Divided by the length itself (not multiplied by its
                // inverse) so that an axis-parallel field gives 127 exactly.
                const float len = std::sqrt(len2);
                d[0] = static_cast<std::int8_t>(static_cast<int>(ex / len * 127.0f));
                d[1] = static_cast<std::int8_t>(static_cast<int>(ey / len * 127.0f));
                d[2] = static_cast<std::int8_t>(static_cast<int>(ez / len * 127.0f));
            }
        }
    v.code = code;
    v.dir = dir;
}

std::string brkmap(const VectorMap& v, std::string_view title) {
    const int nbx = nbrick(v.nx), nby = nbrick(v.ny), nbz = nbrick(v.nz);
    std::string buf;
    buf.reserve(static_cast<size_t>(brkrec) * (8 + 10 * static_cast<size_t>(nbx) * nby * nbz));
    mbrwrh(buf, v, title);
    // Each brick: 216 potential codes (2 bytes, 4 records), then 216
    // directions (3 signed bytes, 6 records); points i fastest, then j, k.
    // Points beyond the grid (the last brick of an axis) hold zeros.
    std::int16_t codes[216];
    std::int8_t dirs[648];
    const int nxy = v.nx * v.ny;
    for (int kb = 0; kb < nbz; ++kb)
        for (int jb = 0; jb < nby; ++jb)
            for (int ib = 0; ib < nbx; ++ib) {
                int p = 0;
                for (int kk = 1 + 5 * kb; kk <= 6 + 5 * kb; ++kk)
                    for (int j = 1 + 5 * jb; j <= 6 + 5 * jb; ++j)
                        for (int i = 1 + 5 * ib; i <= 6 + 5 * ib; ++i, ++p) {
                            if (i > v.nx || j > v.ny || kk > v.nz) {
                                codes[p] = 0;
                                dirs[3 * p] = dirs[3 * p + 1] = dirs[3 * p + 2] = 0;
                                continue;
                            }
                            const size_t l = static_cast<size_t>(i + v.nx * (j - 1) + nxy * (kk - 1));
                            codes[p] = v.code[l];
                            std::memcpy(dirs + 3 * p, v.dir + 3 * l, 3);
                        }
                buf.append(reinterpret_cast<const char*>(codes), sizeof codes);
                buf.append(reinterpret_cast<const char*>(dirs), sizeof dirs);
            }
    return buf;
}

void outvec(Kova& k, std::string& file, std::string_view title, float c) {
    const GridStore& g = k.mess;
    for (int n : {g.nx, g.ny, g.nz})
        if (n > maxbrk) {
            out(k,
                "('One of the dimensions of the map ',i6,' is greated than the program can accept',i6,' edit "
                "mhbmap and change mxrrho ')",
                n, maxbrk);
            endrun(k, exit_fatal);
        }
    VectorMap v;
    v.nx = g.nx, v.ny = g.ny, v.nz = g.nz;
    v.h = g.h, v.ox = g.xo, v.oy = g.yo, v.oz = g.zo;
    const size_t n = static_cast<size_t>(g.nxyz) + 1;
    std::vector<std::int16_t> code(n);
    std::vector<std::int8_t> dir(3 * n);
    vecmap(v, g.phi.data(), g.iacs.data(), c, code.data(), dir.data());

    out(k, "('Maximum and minimum values of density: ',2f15.3)", v.amax, v.amin);
    double mean, sd;
    if (mnstd(v.kept, v.sum, v.sumsq, mean, sd))
        out(k, "('Standard Deviation\t\t     : ',f10.3)", static_cast<float>(sd));
    else
        out(k, "(1x,a)", "No statistics for less than 3 values");
    out(k,
        "(///,' Converting a map to HYDRA brick format',/,'           order of axes:',3i7,/,' number of points "
        "in map:',3i7,/,' number of bricks in map:',3i7)",
        1, 2, 3, v.nx, v.ny, v.nz, nbrick(v.nx), nbrick(v.ny), nbrick(v.nz));

    const std::string image = brkmap(v, title);
    // A new file, never one that exists: the name is claimed through the
    // file opener, then the fixed-length records are written to it.
    const int unit = k.files.wrunit;
    kvopen(k, unit, file, false);
    k.units.close(unit);
    std::ofstream f(file, std::ios::binary | std::ios::trunc);
    if (f) f.write(image.data(), static_cast<std::streamsize>(image.size()));
    if (!f) {
        msg(k, "problems opening file for bricked map output");
        endrun(k, exit_fatal);
    }
}

void right(Kova& k) {
    WriteCommand c;
    const int in = k.files.inunit;
    MoleculeStore& m = k.mol;
    auto clear_picks = [&] {
        const int last = m.nmol >= 1 ? std::min(m.lstatm[m.nmol], maxatm) : 0;
        for (int i = 1; i <= last; ++i) k.wr.picwrt[i] = 0;
    };
    auto outdated = [&](std::string_view w) { warn(k, "WARNING: write(010) Outdated keyword ignored: ", w); };
    for (;;) {
        std::string w = getnam(k, in, "Write");
        if (w == "end") break;
        std::string_view w4 = std::string_view(w).substr(0, 4);
        if (w == "ascii") {
            c.form = 1;
        } else if (w == "binary") {
            c.form = 0;
        } else if (w == "dx") {
            c.form = 2;
        } else if (w4 == "stan") {
            c.standard = true;
        } else if (w == "coord") {
            c.type = "coord";
        } else if (w == "unit") {
            float u = getnum(k, in, "Reed");
            // Rounded to the nearest unit; an absurd value is refused later.
            c.unit = std::fabs(u) < 1.0e6f ? static_cast<int>(std::lround(u)) : -1;
            c.useunit = true;
        } else if (w == "qrad") {
            c.qrad = true;
        } else if (w == "rama" || w == "trama" || w == "grid" || w == "vector" || w == "surf") {
            c.type = w;
        } else if (w == "phi" || w == "exgrid" || w == "epsc" || w == "epsi" || w == "epsj" || w == "epsk" ||
                   w == "rho") {
            c.type = "grid";
            c.grid = w;
        } else if (w == "file") {
            c.file = std::string(trimmed(getfil(k, in, "Write")));
        } else if (w4 == "excl") {
            c.excl = true;
        } else if (w4 == "noex") {
            c.excl = false;
        } else if (w4 == "seti") {
            c.setint = getnum(k, in, "Write");
        } else if (w4 == "intv") {
            c.intv = getint(k, in, "Write");
        } else if (w4 == "sele") {
            clear_picks();
            sele(k, k.wr.picwrt);
        } else if (w4 == "prox") {
            clear_picks();
            prox(k, k.wr.picwrt);
        } else if (w == "contour" || w == "quanta" || w == "pdb" || w == "card") {
            outdated(w);
        } else if (w == "space") {
            getfp(k, in, "Write");
            outdated(w);
        } else if (w == "slice") {
            for (int i = 0; i < 8; ++i) getfp(k, in, "Write");
            outdated(w);
        } else {
            warn(k, "WARNING: write(000) Unknown keyword: ", w);
        }
    }

    k.units.write(k.files.outunit, "");
    out(k, "(1x,a)", "WRITE MODULE");
    if (c.type == "coord") {
        write_coord(k, c);
    } else if (c.type == "grid") {
        write_grid(k, c);
    } else if (c.type == "surf") {
        write_surf(k, c);
    } else if (c.type == "vector") {
        write_vector(k, c);
    } else if (c.type == "rama" || c.type == "trama") {
        write_rama(k, c);
    } else {
        warn(k, "WARNING: write(200) Unknown write type: ", c.type);
    }
}

}  // namespace kova
