// The man command and the routines center and trq.
#include "molecule/transform.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <string>

#include "command/output.hpp"
#include "bd/random.hpp"
#include "command/readers.hpp"
#include "fortio/format.hpp"
#include "mech/mech.hpp"
#include "molecule/matvec.hpp"
#include "molecule/prox.hpp"
#include "molecule/read.hpp"
#include "molecule/select.hpp"

namespace kova {

namespace {

constexpr float deg2rad = 0.017453292f;
constexpr float rad2deg = 57.29578f;
// Default bond criterion of dihedral turning: atoms closer than this are
// bonded (A); longer than any covalent bond, shorter than a 1-3 distance.
constexpr float bond_cutoff = 2.1f;
// Squared length (A^2) below which a bond vector or a plane normal counts
// as zero.
constexpr double tiny = 1.0e-10;

void list_line(Kova& k, std::initializer_list<fortio::OutItem> items) {
    k.units.write(fortio::UnitTable::stdout_unit, fortio::list_write(items));
}

void position(const MoleculeStore& m, int a, double* r) { r[0] = m.x[a], r[1] = m.y[a], r[2] = m.z[a]; }

// Atoms on atom kk's side of the j-kk bond: every atom reached from kk over
// bonds without passing through j. Bonds come from the topology or, with
// cutoff > 0, from the distances between the atoms of kk's molecule.
// False when j is reached the other way round (the bond lies in a ring).
bool torsion_side(const Kova& k, int j, int kk, bool topology, float cutoff, std::vector<int>& side) {
    const MoleculeStore& m = k.mol;
    const Topology& t = k.ff.top;
    const int n = std::min(m.natom, maxatm);
    std::vector<std::vector<int>> nbr(size_t(n) + 1);
    if (topology) {
        for (int b = 1; b <= t.nbnd; ++b) {
            const int p = t.ibnd[b], q = t.jbnd[b];
            if (p < 1 || q < 1 || p > n || q > n) continue;
            nbr[size_t(p)].push_back(q);
            nbr[size_t(q)].push_back(p);
        }
    } else {
        int lo = 1, hi = n;
        for (int i = 1; i <= m.nmol; ++i)
            if (kk >= m.fstatm[i] && kk <= m.lstatm[i]) lo = m.fstatm[i], hi = std::min(m.lstatm[i], n);
        const double c2 = double(cutoff) * cutoff;
        for (int p = lo; p <= hi; ++p)
            for (int q = p + 1; q <= hi; ++q) {
                const double dx = m.x[p] - m.x[q], dy = m.y[p] - m.y[q], dz = m.z[p] - m.z[q];
                if (dx * dx + dy * dy + dz * dz < c2) {
                    nbr[size_t(p)].push_back(q);
                    nbr[size_t(q)].push_back(p);
                }
            }
    }
    std::vector<char> seen(size_t(n) + 1, 0);
    seen[size_t(kk)] = 1;
    std::vector<int> todo{kk};
    side.clear();
    while (!todo.empty()) {
        const int a = todo.back();
        todo.pop_back();
        for (int b : nbr[size_t(a)]) {
            if (b == j) {
                if (a == kk) continue;  // the bond being turned
                return false;
            }
            if (seen[size_t(b)]) continue;
            seen[size_t(b)] = 1;
            side.push_back(b);
            todo.push_back(b);
        }
    }
    return true;
}

int molecule_of(const MoleculeStore& m, int a) {
    for (int i = 1; i <= m.nmol; ++i)
        if (a >= m.fstatm[i] && a <= m.lstatm[i]) return i;
    return 0;
}

}  // namespace

bool dihedral_defined(const Kova& k, int i, int j, int kk, int l) {
    const MoleculeStore& m = k.mol;
    double ri[3], rj[3], rk[3], rl[3], b1[3], b2[3], b3[3], mm[3], nn[3];
    position(m, i, ri), position(m, j, rj), position(m, kk, rk), position(m, l, rl);
    diff(rj, ri, b1), diff(rj, rk, b2), diff(rl, rk, b3);
    cross(b1, b2, mm), cross(b2, b3, nn);
    return dot(mm, mm) > tiny * dot(b1, b1) * dot(b2, b2) && dot(nn, nn) > tiny * dot(b2, b2) * dot(b3, b3) &&
           dot(b2, b2) > tiny;
}

void center(Kova& k, int first, int last, float x0, float y0, float z0) {
    MoleculeStore& m = k.mol;
    if (!(first > 0 && first <= last && m.nmol >= 1 && last <= std::min(m.lstatm[m.nmol], maxatm))) {
        out(k, "(' *** CENTER *** Error in atom list specification. ',' No centering performed.')");
        return;
    }
    double c[3] = {0, 0, 0};
    for (int a = first; a <= last; ++a) c[0] += m.x[a], c[1] += m.y[a], c[2] += m.z[a];
    const int n = last - first + 1;
    for (double& v : c) v /= n;
    for (int a = first; a <= last; ++a) {
        m.x[a] = float(m.x[a] - c[0] + x0);
        m.y[a] = float(m.y[a] - c[1] + y0);
        m.z[a] = float(m.z[a] - c[2] + z0);
    }
    for (int i = 1; i <= m.nmol; ++i) calccg(m, i);
}

bool trq(Kova& k, const std::vector<int>& list, int j, int kk, double angle) {
    MoleculeStore& m = k.mol;
    double rj[3], rk[3], u[3];
    position(m, j, rj), position(m, kk, rk);
    diff(rk, rj, u);
    const double len = mag(u);
    if (!(len * len > tiny)) return false;
    vmult(1.0 / len, u, u);
    Mat3 r;
    make_matrix5(angle, u, r);
    for (int a : list) {
        if (a == j || a == kk) continue;
        double p[3], d[3];
        position(m, a, p);
        diff(p, rj, d);
        matrix_mult(r, d);
        m.x[a] = float(rj[0] + d[0]), m.y[a] = float(rj[1] + d[1]), m.z[a] = float(rj[2] + d[2]);
    }
    return true;
}

void man(Kova& k) {
    MoleculeStore& m = k.mol;
    const int in = k.files.inunit;
    const int natom = std::min(m.natom, maxatm);
    Arr1<int, maxatm> picman;
    picman.fill(1);
    bool picked = false;  // sele or prox filled picman
    std::string func;     // the last function word given
    float tr[3] = {0, 0, 0}, rot[3] = {0, 0, 0}, orig[3] = {0, 0, 0};
    int first = 0, last = 0;
    std::string label = "    ";
    int dat[4] = {0, 0, 0, 0};
    float target = 0, cutoff = bond_cutoff;
    bool topology = false;

    for (;;) {
        const std::string w = getnam(k, in, "Man");
        if (w == "end") break;
        const std::string w3 = w.substr(0, 3), w4 = w.substr(0, 4);
        if (w == "sele") {
            sele(k, std::span<int>(picman.data(), picman.size()));
            picked = true;
        } else if (w == "prox") {
            prox(k, picman);
            picked = true;
        } else if (w3 == "mol") {
            int i;
            if (w.size() >= 4 && std::isdigit(static_cast<unsigned char>(w[3])))
                i = w[3] - '0';
            else
                i = getint(k, in, "Man");
            if (i < 1 || i > m.nmol) {
                msg(k, "SERIOUS: Man(030) improper molecule number: ", std::to_string(i));
                kvabort(k, serious);
                first = last = 0;
                continue;
            }
            first = m.fstatm[i], last = std::min(m.lstatm[i], natom);
            label = ("mol" + std::to_string(i)).substr(0, 4);
        } else if (w == "all") {
            first = natom > 0 ? 1 : 0, last = natom;
            label = "all ";
        } else if (w == "coord") {
        } else if (w == "orig") {
            for (float& v : orig) v = getfp(k, in, "Man");
        } else if (w == "xtrans" || w == "ytrans" || w == "ztrans") {
            func = w;
            tr[w[0] - 'x'] = getfp(k, in, "Man");
        } else if (w == "xrot" || w == "yrot" || w == "zrot") {
            func = w;
            rot[w[0] - 'x'] = getfp(k, in, "Man") * deg2rad;
        } else if (w == "center") {
            center(k, first, last, 0.0f, 0.0f, 0.0f);
        } else if (w == "dim") {
            out(k, "(1x,'WARNING: Man(010) dim function moved to geometry',' analysis subroutine')");
        } else if (w4 == "dihe") {
            func = "dihed";
        } else if (w4 == "atnu") {
            for (int& a : dat) a = getint(k, in, "Man");
        } else if (w4 == "dihn") {
            const int d = getint(k, in, "Man");
            const Topology& t = k.ff.top;
            if (d < 1 || d > t.ndih) {
                msg(k, "SERIOUS: Man(070) dihedral number not in the topology: ", std::to_string(d));
                kvabort(k, serious);
                continue;
            }
            dat[0] = t.idih[d], dat[1] = t.jdih[d], dat[2] = t.kdih[d], dat[3] = t.ldih[d];
        } else if (w4 == "angl") {
            target = getnum(k, in, "Man");
        } else if (w4 == "dist") {
            cutoff = getnum(k, in, "Man");
            topology = false;
        } else if (w3 == "top") {
            topology = true;
        } else {
            msg(k, "SERIOUS: Man(020) unknown keyword: ", w);
            if (k.flags.bomb <= 3) kvabort(k, serious);
        }
    }

    bool finite = std::isfinite(target);
    for (int d = 0; d < 3; ++d) finite = finite && std::isfinite(tr[d]) && std::isfinite(rot[d]) && std::isfinite(orig[d]);
    if (!finite) {
        msg(k, "SERIOUS: Man(090) a distance, angle or origin is not a finite number: nothing moved");
        kvabort(k, serious);
        return;
    }
    if (func == "dihed") {
        if (picked) {
            out(k, "(1x,'Cannot yet use selection routines with ','dihed rotation.')");
            if (k.flags.bomb <= 2) kvabort(k, serious);
            return;
        }
        double phi = 0;
        if (!dhdclc(k, dat[0], dat[1], dat[2], dat[3], 1, phi)) return;
        if (!dihedral_defined(k, dat[0], dat[1], dat[2], dat[3])) {
            msg(k, "SERIOUS: Man(040) dihedral angle undefined: three of its atoms coincide or lie on one line");
            kvabort(k, serious);
            return;
        }
        if (!topology && !(cutoff > 0.0f && cutoff < 1.0e3f)) {
            msg(k, "SERIOUS: Man(050) bond cut-off must lie between 0 and 1000 A: ", value_text(cutoff));
            kvabort(k, serious);
            return;
        }
        if (topology && k.ff.top.nbnd == 0) {
            msg(k, "SERIOUS: Man(060) no bonds in the topology: read one or give dist");
            kvabort(k, serious);
            return;
        }
        out(k, "(1x,'Starting dihedral angle in degrees:',f8.3)", float(phi * rad2deg));
        std::vector<int> side;
        if (!torsion_side(k, dat[1], dat[2], topology, cutoff, side)) {
            msg(k, "SERIOUS: Man(080) the bond of the dihedral lies in a ring: no atoms turned");
            kvabort(k, serious);
            return;
        }
        trq(k, side, dat[1], dat[2], double(target) * deg2rad - phi);
        if (const int i = molecule_of(m, dat[2]); i > 0) calccg(m, i);
        return;
    }

    out(k, "(1x,'Manipulating the coordinates of ',a4)", label);
    out(k, "(1x,'  first atom in list',i10)", first);
    out(k, "(1x,'  last atom in list',i10)", last);
    // V: x' = V11 x + V12 y + V13 z + V14, and likewise for y' and z'.
    double v[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};
    const double x0 = orig[0], y0 = orig[1], z0 = orig[2];
    if (func == "xtrans" || func == "ytrans" || func == "ztrans") {
        const int d = func[0] - 'x';
        v[d][3] = tr[d];
        out(k, "(1x,'  Translating in the ',a1,'-direction by',f10.3,' A')", std::string(1, func[0]), tr[d]);
    } else if (func == "xrot" || func == "yrot" || func == "zrot") {
        const int d = func[0] - 'x';
        out(k, "(1x,'  x coordinate of origin for rotation',f10.3)", orig[0]);
        out(k, "(1x,'  y coordinate of origin for rotation',f10.3)", orig[1]);
        out(k, "(1x,'  z coordinate of origin for rotation',f10.3)", orig[2]);
        out(k, "(1x,'  Rotating about the ',a1,'-axis by',f10.3)", std::string(1, func[0]), rot[d] * rad2deg);
        const double cs = std::cos(double(rot[d])), sn = std::sin(double(rot[d]));
        if (d == 0) {
            v[1][1] = v[2][2] = cs, v[2][1] = sn, v[1][2] = -sn;
            v[1][3] = y0 - cs * y0 + sn * z0, v[2][3] = z0 - cs * z0 - sn * y0;
        } else if (d == 1) {
            v[0][0] = v[2][2] = cs, v[0][2] = sn, v[2][0] = -sn;
            v[0][3] = x0 - cs * x0 - sn * z0, v[2][3] = z0 - cs * z0 + sn * x0;
        } else {
            v[0][0] = v[1][1] = cs, v[1][0] = sn, v[0][1] = -sn;
            v[0][3] = x0 - cs * x0 + sn * y0, v[1][3] = y0 - cs * y0 - sn * x0;
        }
    }
    int lo = first, hi = last;
    if (first == 0 && picked) lo = 1, hi = natom;
    if (lo < 1) return;
    std::vector<char> touched(size_t(m.nmol) + 1, 0);
    for (int a = lo; a <= hi; ++a) {
        if (picman[a] != 1) continue;
        const double p[3] = {m.x[a], m.y[a], m.z[a]};
        m.x[a] = float(v[0][0] * p[0] + v[0][1] * p[1] + v[0][2] * p[2] + v[0][3]);
        m.y[a] = float(v[1][0] * p[0] + v[1][1] * p[1] + v[1][2] * p[2] + v[1][3]);
        m.z[a] = float(v[2][0] * p[0] + v[2][1] * p[1] + v[2][2] * p[2] + v[2][3]);
        touched[size_t(molecule_of(m, a))] = 1;
    }
    // The centres of the molecules moved follow their atoms.
    for (int i = 1; i <= m.nmol; ++i)
        if (touched[size_t(i)]) calccg(m, i);
}

}  // namespace kova

namespace kova {

namespace {

// Candidate cubes of the binding-site mesh: every cube holding an atom of
// molecule 2 or later (other than the ligand's own) or lying on a face that
// is not a door is blocked; free cubes get their layer, the number of steps
// to the nearest blocked cube through face neighbours (cubes with no
// blocked cube in reach get the deepest layer found plus one); the cubes of
// the top layers form the candidates.
constexpr int candidate_levels = 2;

void build_mesh(Kova& k, int lig, const float lo[3], const int n[3], const bool door[6]) {
    const MoleculeStore& m = k.mol;
    GeomKeep& geo = k.geo;
    const int nx = n[0], ny = n[1], nz = n[2], total = nx * ny * nz;
    auto id = [&](int i, int j, int kk) { return i + nx * (j + ny * kk); };
    std::vector<int> layer(size_t(total), -1);
    std::vector<int> todo;
    auto block = [&](int c) {
        if (layer[size_t(c)] != 0) layer[size_t(c)] = 0, todo.push_back(c);
    };
    for (int mol = 2; mol <= m.nmol; ++mol) {
        if (mol == lig) continue;
        for (int a = m.fstatm[mol]; a <= std::min(m.lstatm[mol], maxatm); ++a) {
            const float p[3] = {m.x[a], m.y[a], m.z[a]};
            int c[3];
            bool in = true;
            for (int d = 0; d < 3 && in; ++d) {
                const float g = std::round(p[d] - lo[d]);
                in = g >= 0.0f && g < float(n[d]);
                c[d] = in ? int(g) : 0;
            }
            if (in) block(id(c[0], c[1], c[2]));
        }
    }
    for (int kk = 0; kk < nz; ++kk)
        for (int j = 0; j < ny; ++j)
            for (int i = 0; i < nx; ++i) {
                const bool face = (!door[0] && i == nx - 1) || (!door[1] && i == 0) || (!door[2] && j == ny - 1) ||
                                  (!door[3] && j == 0) || (!door[4] && kk == nz - 1) || (!door[5] && kk == 0);
                if (face) block(id(i, j, kk));
            }
    int deepest = 0;
    for (size_t h = 0; h < todo.size(); ++h) {
        const int c = todo[h], i = c % nx, j = (c / nx) % ny, kk = c / (nx * ny);
        const int nb[6][3] = {{i + 1, j, kk}, {i - 1, j, kk}, {i, j + 1, kk}, {i, j - 1, kk}, {i, j, kk + 1}, {i, j, kk - 1}};
        for (const auto& q : nb) {
            if (q[0] < 0 || q[1] < 0 || q[2] < 0 || q[0] >= nx || q[1] >= ny || q[2] >= nz) continue;
            const int e = id(q[0], q[1], q[2]);
            if (layer[size_t(e)] >= 0) continue;
            layer[size_t(e)] = layer[size_t(c)] + 1;
            deepest = std::max(deepest, layer[size_t(e)]);
            todo.push_back(e);
        }
    }
    for (int& l : layer)
        if (l < 0) l = deepest + 1, deepest = std::max(deepest, l);
    const int levels = std::min(candidate_levels, deepest);
    geo.candidates.clear();
    for (int c = 0; c < total; ++c)
        if (layer[size_t(c)] > 0 && layer[size_t(c)] > deepest - levels) geo.candidates.push_back(c);
    geo.nx = nx, geo.ny = ny, geo.nz = nz;
    for (int d = 0; d < 3; ++d) geo.lo[d] = lo[d];
    geo.mesh = true;
    list_line(k, {std::string_view("Use top "), std::int64_t{levels}, std::string_view(" levels of candidate sites ")});
    list_line(k, {std::string_view("Use "), std::int64_t(geo.candidates.size()),
                  std::string_view(" candidate sites total ")});
}

}  // namespace

void trans(Kova& k) {
    MoleculeStore& m = k.mol;
    const int in = k.files.inunit;
    int lig = 1;
    float cen[3] = {0, 0, 0}, fix[3] = {0, 0, 0}, lim[3][2] = {{0, 0}, {0, 0}, {0, 0}};
    int given[3] = {0, 0, 0};
    bool fixed = false, door[6] = {false, false, false, false, false, false};
    for (;;) {
        const std::string w = getnam(k, in, "TRANS");
        if (w == "end") break;
        if (w.substr(0, 3) == "mol") {
            lig = getint(k, in, "TRANS");
            list_line(k, {std::string_view(" Translate ligand, which is molecule# "), std::int64_t{lig}});
        } else if (w.substr(0, 7) == "fixcent") {
            for (float& v : fix) v = getnum(k, in, "TRANS");
            fixed = true;
        } else if (w.substr(0, 6) == "center") {
            for (float& v : cen) v = getnum(k, in, "TRANS");
        } else if (w.size() >= 4 && w.substr(1, 3) == "lim" && w[0] >= 'x' && w[0] <= 'z') {
            const int d = w[0] - 'x';
            lim[d][0] = getnum(k, in, "TRANS");
            lim[d][1] = getnum(k, in, "TRANS");
            ++given[d];
        } else if (w.substr(0, 5) == "doors") {
            const int nd = getint(k, in, "TRANS");
            for (int i = 0; i < nd; ++i) {
                const std::string f = getnam(k, in, "TRANS").substr(0, 2);
                static const char* const faces[6] = {"xp", "xm", "yp", "ym", "zp", "zm"};
                bool known = false;
                for (int q = 0; q < 6; ++q)
                    if (f == faces[q]) door[q] = known = true;
                if (!known) list_line(k, {std::string_view("unacceptable key word")});
            }
        } else {
            list_line(k, {std::string_view("unacceptable key word")});
        }
    }
    bool finite = true;
    for (int d = 0; d < 3; ++d)
        finite = finite && std::isfinite(cen[d]) && std::isfinite(fix[d]) && std::isfinite(lim[d][0]) &&
                 std::isfinite(lim[d][1]);
    if (!finite) {
        msg(k, "SERIOUS: TRANS(040) a centre, point or limit is not a finite number: ligand not moved");
        kvabort(k, serious);
        return;
    }
    if (lig < 1 || lig > m.nmol || m.lstatm[lig] < m.fstatm[lig]) {
        msg(k, "SERIOUS: TRANS(020) improper ligand molecule number: ", std::to_string(lig));
        kvabort(k, serious);
        return;
    }
    float place[3];
    if (fixed) {
        for (int d = 0; d < 3; ++d) place[d] = fix[d];
    } else {
        GeomKeep& geo = k.geo;
        if (!geo.mesh) {
            if (given[0] != 1 || given[1] != 1 || given[2] != 1) {
                list_line(k, {std::string_view(" BINDING SITE NOT FULLY SPECIFIED ! ")});
                endrun(k, exit_abort);
            }
            float lo[3];
            int n[3];
            for (int d = 0; d < 3; ++d) {
                lo[d] = lim[d][0] + cen[d];
                const float span = lim[d][1] - lim[d][0];
                if (!(span >= 0.0f && span < 1.0e4f)) {
                    msg(k, "SERIOUS: TRANS(030) binding-site limits must run from low to high: ",
                        value_text(lim[d][0]) + " " + value_text(lim[d][1]));
                    kvabort(k, serious);
                    return;
                }
                n[d] = int(std::lround(span)) + 1;
            }
            list_line(k, {std::string_view("*** MESH IS "), std::int64_t{n[0]}, std::string_view(" by "),
                          std::int64_t{n[1]}, std::string_view(" by "), std::int64_t{n[2]}});
            const long cubes = long(n[0]) * n[1] * n[2];
            if (cubes > 10000) {
                list_line(k, {std::string_view("MESH TOO BIG - "), std::int64_t{cubes}, std::string_view(" CUBES ")});
                endrun(k, exit_abort);
            }
            build_mesh(k, lig, lo, n, door);
        }
        if (geo.candidates.empty()) {
            msg(k, "SERIOUS: TRANS(010) no free cube in the binding site: ligand not moved");
            kvabort(k, serious);
            return;
        }
        const size_t nc = geo.candidates.size();
        const size_t pick = std::min(nc - 1, size_t(double(rnd1(k)) * double(nc)));
        const int c = geo.candidates[pick], i = c % geo.nx, j = (c / geo.nx) % geo.ny, kk = c / (geo.nx * geo.ny);
        list_line(k, {std::string_view("Place ligand at ( "), std::int64_t{i + 1}, std::int64_t{j + 1},
                      std::int64_t{kk + 1}, std::string_view(" )")});
        // The centre of the chosen cube.
        place[0] = geo.lo[0] + float(i), place[1] = geo.lo[1] + float(j), place[2] = geo.lo[2] + float(kk);
    }
    const int f = m.fstatm[lig], l = std::min(m.lstatm[lig], maxatm);
    auto centre = [&] {
        double s[3] = {0, 0, 0};
        for (int a = f; a <= l; ++a) s[0] += m.x[a], s[1] += m.y[a], s[2] += m.z[a];
        for (int d = 0; d < 3; ++d) m.ligcen[size_t(d)] = float(s[d] / (l - f + 1));
    };
    centre();
    list_line(k, {std::string_view("Ligand COM Before TRANS: ( "), m.ligcen[0], m.ligcen[1], m.ligcen[2],
                  std::string_view(" )")});
    const float shift[3] = {place[0] - m.ligcen[0], place[1] - m.ligcen[1], place[2] - m.ligcen[2]};
    for (int a = f; a <= l; ++a) m.x[a] += shift[0], m.y[a] += shift[1], m.z[a] += shift[2];
    centre();
    list_line(k, {std::string_view("TRANS. 2nd time. COM "), m.ligcen[0], m.ligcen[1], m.ligcen[2]});
    calccg(m, lig);
}

}  // namespace kova
