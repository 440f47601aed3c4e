// Least-squares superposition (Fit and its steps) and the rms and lsqfit
// commands.
#include "molecule/superpose.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "command/output.hpp"
#include "command/readers.hpp"
#include "fortio/format.hpp"

namespace kova {

namespace {

constexpr double det_min = 1.0e-3;    // |det U| below this: no unique rotation
constexpr double jacobi_tol = 1.0e-3; // largest off-diagonal element left
constexpr int jacobi_max = 500;       // rotations of the diagonalisation
constexpr int max_rotated = 2000;     // atoms of a rotated comparison
constexpr int max_combinations = 100000;
constexpr int max_crystal_lines = 50000;

void list_line(Kova& k, std::initializer_list<fortio::OutItem> items) {
    k.units.write(fortio::UnitTable::stdout_unit, fortio::list_write(items));
}

// Centre of geometry of n points, subtracted from them.
void CenterGeomLsq(int n, double* p, double c[3]) {
    c[0] = c[1] = c[2] = 0;
    for (int i = 0; i < n; ++i)
        for (int d = 0; d < 3; ++d) c[d] += p[3 * i + d];
    for (int d = 0; d < 3; ++d) c[d] /= n;
    for (int i = 0; i < n; ++i)
        for (int d = 0; d < 3; ++d) p[3 * i + d] -= c[d];
}

// U = sum over points of y x^T.
void Umat(int n, const double* x, const double* y, double u[3][3]) {
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) u[a][b] = 0;
    for (int i = 0; i < n; ++i)
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) u[a][b] += y[3 * i + a] * x[3 * i + b];
}

// Omega = [[0, U], [U^T, 0]].
void Omega(const double u[3][3], double om[6][6]) {
    for (int a = 0; a < 6; ++a)
        for (int b = 0; b < 6; ++b) om[a][b] = 0;
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) om[a][3 + b] = om[3 + b][a] = u[a][b];
}

// Jacobi diagonalisation of the symmetric a: each rotation annihilates the
// largest off-diagonal element. Eigenvalues on a's diagonal, eigenvectors
// in the columns of v. False when the rotation limit was reached first.
bool jacobi(double a[6][6], double v[6][6]) {
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 6; ++j) v[i][j] = i == j ? 1.0 : 0.0;
    for (int rot = 0;; ++rot) {
        int p = 0, q = 1;
        for (int i = 0; i < 6; ++i)
            for (int j = i + 1; j < 6; ++j)
                if (std::fabs(a[i][j]) > std::fabs(a[p][q])) p = i, q = j;
        if (std::fabs(a[p][q]) <= jacobi_tol) return true;
        if (rot >= jacobi_max) return false;
        // Rotation angle that zeroes a[p][q]: tan 2t = 2 a_pq / (a_qq - a_pp).
        const double theta = 0.5 * std::atan2(2.0 * a[p][q], a[q][q] - a[p][p]);
        const double c = std::cos(theta), s = std::sin(theta);
        for (int r = 0; r < 6; ++r) {  // columns p, q
            const double arp = a[r][p], arq = a[r][q];
            a[r][p] = c * arp - s * arq;
            a[r][q] = s * arp + c * arq;
        }
        for (int r = 0; r < 6; ++r) {  // rows p, q
            const double apr = a[p][r], aqr = a[q][r];
            a[p][r] = c * apr - s * aqr;
            a[q][r] = s * apr + c * aqr;
        }
        a[p][q] = a[q][p] = 0.0;
        for (int r = 0; r < 6; ++r) {
            const double vrp = v[r][p], vrq = v[r][q];
            v[r][p] = c * vrp - s * vrq;
            v[r][q] = s * vrp + c * vrq;
        }
    }
}

// Order of the eigenpairs by decreasing eigenvalue.
void Eigensort(const double a[6][6], int order[6]) {
    for (int i = 0; i < 6; ++i) order[i] = i;
    std::stable_sort(order, order + 6, [&](int i, int j) { return a[i][i] > a[j][j]; });
}

// R = 2 sum_k k_k h_k^T over the first three eigenvectors (h the upper,
// k the lower half); the third term is subtracted when det U < 0, which
// keeps R a proper rotation instead of a reflection.
void Rcalc(const double v[6][6], const int order[6], double det, double r[3][3]) {
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) r[a][b] = 0;
    for (int e = 0; e < 3; ++e) {
        const int c = order[e];
        const double sign = (e == 2 && det < 0) ? -2.0 : 2.0;
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) r[a][b] += sign * v[3 + a][c] * v[b][c];
    }
}

void FitRotate(int n, const double r[3][3], double* y) {
    for (int i = 0; i < n; ++i) {
        const double p[3] = {y[3 * i], y[3 * i + 1], y[3 * i + 2]};
        for (int a = 0; a < 3; ++a) y[3 * i + a] = r[a][0] * p[0] + r[a][1] * p[1] + r[a][2] * p[2];
    }
}

double RMSDeviation(int n, const double* x, const double* y) {
    double s = 0;
    for (int i = 0; i < 3 * n; ++i) s += (x[i] - y[i]) * (x[i] - y[i]);
    return std::sqrt(s / n);
}

}  // namespace

FitResult Fit(int n, const double* x, double* y) {
    FitResult f;
    if (n < 1) return f;
    std::vector<double> xc(x, x + 3 * n), yc(y, y + 3 * n);
    double cx[3], cy[3];
    CenterGeomLsq(n, xc.data(), cx);
    CenterGeomLsq(n, yc.data(), cy);
    double u[3][3];
    Umat(n, xc.data(), yc.data(), u);
    f.det = u[0][0] * (u[1][1] * u[2][2] - u[1][2] * u[2][1]) - u[0][1] * (u[1][0] * u[2][2] - u[1][2] * u[2][0]) +
            u[0][2] * (u[1][0] * u[2][1] - u[1][1] * u[2][0]);
    if (!(std::fabs(f.det) >= det_min)) return f;
    double om[6][6], v[6][6];
    Omega(u, om);
    f.converged = jacobi(om, v);
    int order[6];
    Eigensort(om, order);
    double r[3][3];
    Rcalc(v, order, f.det, r);
    FitRotate(n, r, yc.data());
    f.rms = RMSDeviation(n, xc.data(), yc.data());
    // The moved points in the frame of x: R (y - cy) + cx.
    for (int i = 0; i < n; ++i)
        for (int d = 0; d < 3; ++d) y[3 * i + d] = yc[3 * i + d] + cx[d];
    for (int a = 0; a < 3; ++a) {
        for (int b = 0; b < 3; ++b) f.v[a][b] = r[a][b];
        f.v[a][3] = cx[a] - (r[a][0] * cy[0] + r[a][1] * cy[1] + r[a][2] * cy[2]);
    }
    f.v[3][3] = 1.0;
    f.ok = true;
    return f;
}

void symmetry_permutation(const std::vector<Symmetry>& syms, const std::vector<int>& j, int natom,
                          std::vector<int>& perm) {
    perm.resize(size_t(natom) + 1);
    for (int i = 0; i <= natom; ++i) perm[size_t(i)] = i;
    std::vector<int> old;
    for (size_t s = 0; s < syms.size(); ++s) {
        const int o = syms[s].order, shift = j[s] % o;
        if (shift == 0) continue;
        old = perm;
        for (const std::vector<int>& c : syms[s].cycles)
            for (int t = 0; t < o; ++t) perm[size_t(c[size_t(t)])] = old[size_t(c[size_t((t + shift) % o)])];
    }
}

void rms(Kova& k) {
    MoleculeStore& m = k.mol;
    const int in = k.files.inunit;
    std::string file;
    for (;;) {
        const std::string w = getnam(k, in, "Rms");
        if (w == "end") break;
        if (w == "file") {
            file = getfil(k, in, "Rms");
        } else {
            msg(k, "SERIOUS: Rms(2307) unknown keyword: ", w);
            if (k.flags.bomb <= 2) kvabort(k, serious);
            return;
        }
    }
    const int n = m.nmol >= 1 ? std::min(m.lstatm[1], maxatm) : 0;
    if (n < 1) {
        msg(k, "SERIOUS: Rms(2306) no molecule 1 to take as reference");
        kvabort(k, serious);
        return;
    }
    if (file.empty()) {
        for (int a = 1; a <= n; ++a) m.xref[a] = m.x[a], m.yref[a] = m.y[a], m.zref[a] = m.z[a];
        k.geo.nrms = n;
        return;
    }
    std::ifstream f(file);
    if (!f) {
        msg(k, "SERIOUS: Rms(2305) Unable to open crystal file: ", file);
        kvabort(k, serious);
        return;
    }
    // The reference atoms are read into a scratch list first, so that a
    // file that is refused leaves the stored reference as it was.
    std::vector<float> c;
    std::string line;
    int na = 0;
    for (int lines = 0; lines < max_crystal_lines && std::getline(f, line); ++lines) {
        std::istringstream words(line);
        std::string w[8];
        int nw = 0;
        while (nw < 8 && words >> w[nw]) ++nw;
        if (nw == 0 || w[0] != "ATOM") continue;
        ++na;
        for (int d = 5; d < 8; ++d) {
            float v = 0;
            size_t used = 0;
            bool ok = d < nw;
            if (ok) {
                try {
                    v = std::stof(w[d], &used);
                } catch (...) {
                    ok = false;
                }
            }
            if (!ok || used != w[d].size() || !std::isfinite(v)) {
                msg(k, "SERIOUS: Rms(2308) cannot read a coordinate of crystal atom: ", std::to_string(na));
                kvabort(k, serious);
                return;
            }
            c.push_back(v);
        }
    }
    if (na != n) {
        list_line(k, {std::string_view("wrong number "), std::int64_t{na}, std::string_view(" of atoms in crystal")});
        endrun(k, exit_abort);
    }
    for (int a = 1; a <= n; ++a)
        m.xref[a] = c[size_t(3 * (a - 1))], m.yref[a] = c[size_t(3 * a - 2)], m.zref[a] = c[size_t(3 * a - 1)];
    k.geo.nrms = n;
}

namespace {

// Reads the description of nsym basic symmetries and the closing end.
// False (after the message) when it is malformed or out of bounds.
bool read_symmetries(Kova& k, int n, int natom, std::vector<Symmetry>& syms) {
    const int in = k.files.inunit;
    auto malformed = [&] {
        out(k, "(1x,'SERIOUS: Lsqfit(997) ','error parsing line of SYMMETRY  file.')");
        if (k.flags.bomb <= 3) kvabort(k, serious);
        return false;
    };
    auto refuse = [&](const std::string& text) {
        msg(k, "SERIOUS: Lsqfit(998) ", text);
        if (k.flags.bomb <= 3) kvabort(k, serious);
        return false;
    };
    list_line(k, {std::string_view("There are "), std::int64_t{n}, std::string_view(" BASIC  symmetries in mol. 1")});
    if (n < 0 || n > maxsym_basic)
        return refuse("number of basic symmetries must lie between 0 and 10: " + std::to_string(n));
    for (int s = 0; s < n; ++s) {
        const std::string t = getnam(k, in, "Lsqfit");
        list_line(k, {std::string_view("  t1  =  "), std::string_view(t)});
        Symmetry sym;
        int ncyc = 0;
        if (t == "set") {
            ncyc = getint(k, in, "Lsqfit");
            list_line(k, {std::int64_t{ncyc}, std::string_view(" pairs in symmetry ")});
            sym.order = 2;
        } else if (t == "groups") {
            ncyc = getint(k, in, "Lsqfit");
            list_line(k, {std::string_view("ngroup = "), std::int64_t{ncyc}});
            if (getnam(k, in, "Lsqfit") != "order") return malformed();
            sym.order = getint(k, in, "Lsqfit");
        } else {
            return malformed();
        }
        if (ncyc < 1 || sym.order < 2) return malformed();
        if (long(ncyc) * sym.order > maxsym_atoms)
            return refuse("more than 100 atom numbers in one symmetry: " + std::to_string(long(ncyc) * sym.order));
        std::vector<int> seen(size_t(natom) + 1, 0);
        for (int c = 0; c < ncyc; ++c) {
            std::vector<int> cyc;
            for (int o = 0; o < sym.order; ++o) {
                const int a = getint(k, in, "Lsqfit");
                if (a < 1 || a > natom)
                    return refuse("symmetry atom not in molecule 1: " + std::to_string(a));
                if (seen[size_t(a)]++)
                    return refuse("symmetry atom given twice in one symmetry: " + std::to_string(a));
                cyc.push_back(a);
            }
            sym.cycles.push_back(std::move(cyc));
        }
        syms.push_back(std::move(sym));
    }
    if (getnam(k, in, "Lsqfit") != "end") return malformed();
    return true;
}

}  // namespace

void lsqfit(Kova& k) {
    MoleculeStore& m = k.mol;
    const int in = k.files.inunit;
    const int n = m.nmol >= 1 ? std::min(m.lstatm[1], maxatm) : 0;
    bool rotate = false;
    std::vector<Symmetry> syms;
    for (;;) {
        const std::string w = getnam(k, in, "Lsqfit");
        if (w == "end") break;
        if (w == "norotate") {
            rotate = false;
        } else if (w == "rotate") {
            rotate = true;
        } else if (w == "symmetry") {
            syms.clear();
            if (!read_symmetries(k, getint(k, in, "Lsqfit"), std::max(n, 0), syms)) return;
        } else {
            msg(k, "SERIOUS: Lsqfit(1004) unknown keyword: ", w);
            if (k.flags.bomb <= 2) kvabort(k, serious);
            return;
        }
    }
    if (n < 1 || k.geo.nrms != n) {
        msg(k, "SERIOUS: Lsqfit(1006) molecule 1 and the reference differ in size: ",
            std::to_string(std::max(n, 0)) + " and " + std::to_string(k.geo.nrms) + " atoms");
        kvabort(k, serious);
        return;
    }
    m.nsym = int(syms.size());
    long total = 1;
    for (size_t s = 0; s < syms.size(); ++s) {
        total *= syms[s].order;
        if (total > max_combinations) {
            msg(k, "SERIOUS: Lsqfit(999) too many symmetry combinations, more than ", std::to_string(max_combinations));
            kvabort(k, serious);
            return;
        }
        int e = 1;
        for (const auto& c : syms[s].cycles)
            for (int a : c) m.isym[s + 1][size_t(e++)] = a;
    }
    list_line(k, {std::string_view("There are "), std::int64_t{total}, std::string_view(" TOTAL  symmetries in mol. 1")});

    std::vector<double> ref(size_t(3 * n)), cur(size_t(3 * n)), moved(size_t(3 * n));
    for (int a = 1; a <= n; ++a) {
        cur[size_t(3 * a - 3)] = m.x[a], cur[size_t(3 * a - 2)] = m.y[a], cur[size_t(3 * a - 1)] = m.z[a];
    }
    std::vector<int> j(syms.size(), 0), perm;
    // Visits every combination, j_1 counting fastest; f(q, perm).
    auto each = [&](auto&& f) {
        std::fill(j.begin(), j.end(), 0);
        for (long q = 0; q < total; ++q) {
            symmetry_permutation(syms, j, n, perm);
            for (int a = 1; a <= n; ++a) {
                const int p = perm[size_t(a)];
                ref[size_t(3 * a - 3)] = m.xref[p], ref[size_t(3 * a - 2)] = m.yref[p], ref[size_t(3 * a - 1)] = m.zref[p];
            }
            f(q);
            for (size_t s = 0; s < j.size(); ++s) {
                if (++j[s] < syms[s].order) break;
                j[s] = 0;
            }
        }
    };

    double best = 0;
    each([&](long q) {
        double sum = 0;
        for (int i = 0; i < 3 * n; ++i) sum += (ref[size_t(i)] - cur[size_t(i)]) * (ref[size_t(i)] - cur[size_t(i)]);
        const double r = std::sqrt(sum / n);
        if (q == 0) {
            list_line(k, {std::string_view("trivial symmetry,  rms = "), float(r), float(sum)});
            best = r;
            return;
        }
        list_line(k, {std::string_view("symmetry #"), std::int64_t{q}, std::string_view(" rms = "), float(r), float(sum)});
        if (r < best) {
            list_line(k, {std::string_view("Using symmetry #"), std::int64_t{q}});
            best = r;
        }
    });
    list_line(k, {std::string_view("RMS unrotated overlap "), float(best)});
    if (!rotate) return;
    if (n > max_rotated) {
        out(k, "(1x,'WARNING: Lsqfit(1005) cannot ','handle >2000 atoms:',i5)", n);
        if (k.flags.bomb <= 2) kvabort(k, warning);
        return;
    }
    long used = -1;
    best = 0;
    each([&](long q) {
        moved = cur;
        const FitResult f = Fit(n, ref.data(), moved.data());
        if (!f.ok) {
            msg(k, "ERROR ==> U matrix determinant is zero");
            return;
        }
        if (!f.converged) msg(k, "WARNING ==> Abnormal termination of diagonalisation");
        const double sum = f.rms * f.rms * n;
        if (q == 0)
            list_line(k, {std::string_view("trivial symmetry rms = "), float(f.rms), float(sum)});
        else
            list_line(k, {std::string_view("symmetry #"), std::int64_t{q}, std::string_view(" rms = "), float(f.rms),
                          float(sum)});
        if (used < 0 || f.rms < best) {
            if (q > 0) list_line(k, {std::string_view("Using symmetry #"), std::int64_t{q}});
            best = f.rms;
            used = q;
        }
    });
    if (used < 0) return;  // no combination could be superposed
    list_line(k, {std::string_view("RMS rotated overlap "), float(best)});
    list_line(k, {std::string_view("USED SYMMETRY "), std::int64_t{used}});
}

}  // namespace kova
