// Internal-coordinate statistics, radius of gyration, correlation functions
// and diffusion constants of a diffusing unit from its trajectory record.
#include <algorithm>
#include <cmath>
#include <string>

#include "bd/anal.hpp"
#include "command/commands.hpp"
#include "command/kova.hpp"
#include "command/output.hpp"
#include "command/readers.hpp"

namespace kova {

namespace {

constexpr double rad2deg = 57.29577951308232;

// Running sums of one quantity.
struct Acc {
    double s = 0, s2 = 0;
    long n = 0;
    void add(double v) { s += v, s2 += v * v, ++n; }
    MeanSd get() const {
        MeanSd m;
        m.n = n;
        if (n > 0) m.mean = s / n;
        if (n > 1) m.sd = std::sqrt(std::max(0.0, (s2 - m.mean * m.mean * n) / (n - 1)));
        return m;
    }
};

double dist(const float* a, const float* b) {
    const double dx = double(a[0]) - b[0], dy = double(a[1]) - b[1], dz = double(a[2]) - b[2];
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

double angle(const float* a, const float* b, const float* c) {
    double u[3], v[3];
    for (int i = 0; i < 3; ++i) u[i] = double(a[i]) - b[i], v[i] = double(c[i]) - b[i];
    const double cu = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
    const double cv = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    if (cu == 0 || cv == 0) return 0;
    const double c0 = std::clamp((u[0] * v[0] + u[1] * v[1] + u[2] * v[2]) / (cu * cv), -1.0, 1.0);
    return std::acos(c0) * rad2deg;
}

// Unit vector from subunit i to j; false when they coincide.
bool unitvec(const float* a, const float* b, double u[3]) {
    for (int i = 0; i < 3; ++i) u[i] = double(b[i]) - a[i];
    const double l = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
    if (l == 0) return false;
    for (int i = 0; i < 3; ++i) u[i] /= l;
    return true;
}

double wrap180(double a) {
    while (a > 180) a -= 360;
    while (a <= -180) a += 360;
    return a;
}

// Circular statistics of a dihedral: the mean direction and the spread of
// the deviations from it (so that values either side of 180 degrees average
// to 180, not 0).
struct CircAcc {
    std::vector<double> v;
    MeanSd get() const {
        MeanSd m;
        m.n = long(v.size());
        if (v.empty()) return m;
        double sn = 0, cs = 0;
        for (double a : v) sn += std::sin(a / rad2deg), cs += std::cos(a / rad2deg);
        m.mean = std::atan2(sn, cs) * rad2deg;
        if (v.size() > 1) {
            double s2 = 0;
            for (double a : v) s2 += wrap180(a - m.mean) * wrap180(a - m.mean);
            m.sd = std::sqrt(s2 / double(v.size() - 1));
        }
        return m;
    }
};

int ramabin(double phi) { return std::clamp(int(std::floor((phi + 180.0) / 10.0)), 0, nrama - 1); }

}  // namespace

int dihestate(double x, int m) {
    const double w = 360.0 / m;
    double a = std::fmod(180.0 - x + w / 2, 360.0);
    if (a < 0) a += 360.0;
    return std::min(int(a / w), m - 1);
}

CorFit corfit(const std::vector<double>& t, const std::vector<double>& c) {
    CorFit f;
    double st = 0, sl = 0, stt = 0, sll = 0, stl = 0;
    for (size_t i = 0; i < t.size() && i < c.size(); ++i) {
        if (!(c[i] > 0)) break;  // the logarithm stops at the first non-positive value
        const double l = std::log(c[i]);
        st += t[i], sl += l, stt += t[i] * t[i], sll += l * l, stl += t[i] * l;
        ++f.npts;
    }
    const double n = f.npts;
    if (f.npts < 2) return f;
    const double vt = stt / n - (st / n) * (st / n), vl = sll / n - (sl / n) * (sl / n);
    const double cov = stl / n - (st / n) * (sl / n);
    // A correlation constant to rounding (a rigid vector) has no decay.
    if (vt <= 0 || vl < 1e-12) return f;
    const double g = cov / vt;
    f.icpt = sl / n - g * st / n;
    if (g >= 0) return f;  // no decay: no relaxation time
    f.tau = -1 / g;
    f.dev = vl > 0 ? g * std::sqrt(vt / vl) : -1;
    f.ok = true;
    return f;
}

TrajResults anltrj(const TrjData& d, const TrajSettings& s) {
    TrajResults r;
    const int nb = int(s.bonds.size()), na = int(s.angles.size()), nd = int(s.dihes.size());
    const int nv = int(s.vectors.size()), nc = int(s.dcc.size());
    auto P = [&](size_t f, int sub) { return d.pos(f, sub - 1); };
    const int ndb = std::clamp(int(std::ceil(360.0 / s.bin - 1e-9)), 1, maxdbn);
    r.dist.assign(size_t(nd), std::vector<long>(size_t(ndb), 0));

    // The frames analysed, per trajectory.
    std::vector<std::vector<size_t>> sel(d.trajs.size());
    for (size_t j = 0; j < d.trajs.size(); ++j) {
        const TrjData::Traj& t = d.trajs[j];
        float last = 0;
        for (size_t i = 0; i < t.nframe; ++i) {
            const size_t f = t.first + i;
            bool take = s.dtim > 0 ? (sel[j].empty() || d.t[f] - last >= s.dtim - 0.0005f) : i % size_t(s.step) == 0;
            if (take) sel[j].push_back(f), last = d.t[f];
        }
        if (r.dt == 0 && sel[j].size() >= 2) r.dt = d.t[sel[j][1]] - d.t[sel[j][0]];
    }
    r.ncor = s.rtim > 0 && r.dt > 0 ? int(s.rtim / r.dt + 0.5) + 1 : maxcor;

    std::vector<Acc> ab(nb), aa(na), av(nv);
    std::vector<CircAcc> ad(nd);
    Acc argy, argb;
    std::vector<Acc> rmin(nv), rmax(nv), dmin(nc), dmax(nc);
    Acc tmin, tmax;
    const int nsub = d.nsub;
    // Correlation sums per lag.
    std::vector<std::vector<Acc>> creo(nv, std::vector<Acc>(size_t(r.ncor))), clen = creo;
    std::vector<std::vector<Acc>> cdih(nc, std::vector<Acc>(size_t(r.ncor)));
    std::vector<std::vector<Acc>> cross(nc > 1 ? nc - 1 : 0, std::vector<Acc>(size_t(r.ncor)));
    std::vector<double> phi0(static_cast<size_t>(nc)), phi1(static_cast<size_t>(nc));  // dihedrals of the two frames of a lag
    std::vector<Acc> cosend(nv);
    // Conformational states of the typed dihedrals (index into dihes per entry).
    std::vector<int> typed;
    for (int i = 0; i < nd && i < int(s.types.size()); ++i)
        if (s.types[size_t(i)] >= 2) {
            typed.push_back(i);
            DiheStates st;
            st.dihe = s.dihes[size_t(i)], st.m = s.types[size_t(i)];
            st.frames.assign(size_t(st.m), 0), st.visits = st.exits = st.frames;
            st.time.assign(size_t(st.m), 0.0);
            r.states.push_back(std::move(st));
        }
    if (s.lft) r.lifetimes.assign(size_t(nv), VecLifetimes{});
    size_t nsel = 0;
    for (const auto& fr : sel) nsel += fr.size();
    for (CircAcc& c : ad) c.v.reserve(nsel);

    for (size_t j = 0; j < d.trajs.size(); ++j) {
        const std::vector<size_t>& fr = sel[j];
        TrajValues tv;
        tv.run = d.trajs[j].run, tv.traj = d.trajs[j].traj, tv.frames = long(fr.size());
        std::vector<Acc> b(nb), a(na), v(nv);
        std::vector<CircAcc> dh(nd);
        for (CircAcc& c : dh) c.v.reserve(fr.size());
        Acc rg, rb;
        for (size_t f : fr) {
            for (int i = 0; i < nb; ++i) {
                const double x = dist(P(f, s.bonds[i][0]), P(f, s.bonds[i][1]));
                b[i].add(x), ab[i].add(x);
            }
            for (int i = 0; i < na; ++i) {
                const double x = angle(P(f, s.angles[i][0]), P(f, s.angles[i][1]), P(f, s.angles[i][2]));
                a[i].add(x), aa[i].add(x);
            }
            for (int i = 0; i < nd; ++i) {
                const int q = s.dihes[i];
                const double x = dihedral(P(f, q), P(f, q + 1), P(f, q + 2), P(f, q + 3));
                dh[i].v.push_back(x), ad[i].v.push_back(x);
                r.dist[i][std::min(size_t(ndb - 1), size_t((x + 180.0) / s.bin))] += 1;
            }
            for (int i = 0; i < nv; ++i) {
                const double x = dist(P(f, s.vectors[i][0]), P(f, s.vectors[i][1]));
                v[i].add(x), av[i].add(x);
            }
            if (s.rgyr) {
                double c[3] = {0, 0, 0};
                for (int q = 1; q <= nsub; ++q)
                    for (int e = 0; e < 3; ++e) c[e] += P(f, q)[e];
                for (double& e : c) e /= nsub;
                double g2 = 0, bb = 0;
                for (int q = 1; q <= nsub; ++q)
                    for (int e = 0; e < 3; ++e) g2 += (P(f, q)[e] - c[e]) * (P(f, q)[e] - c[e]);
                g2 /= nsub;
                for (int q = 1; q < nsub; ++q) bb += dist(P(f, q), P(f, q + 1)) * dist(P(f, q), P(f, q + 1));
                rg.add(std::sqrt(g2)), argy.add(std::sqrt(g2));
                if (bb > 0) {
                    const double x = g2 / (bb / (nsub - 1));
                    rb.add(x), argb.add(x);
                }
            }
        }
        for (int i = 0; i < nb; ++i) tv.bond.push_back(b[i].get());
        for (int i = 0; i < na; ++i) tv.angle.push_back(a[i].get());
        for (int i = 0; i < nd; ++i) tv.dihe.push_back(dh[i].get());
        for (int i = 0; i < nv; ++i) tv.vec.push_back(v[i].get());
        tv.rgyr = rg.get(), tv.rgb = rb.get();

        // Time spent in each conformational state, visits and exits.
        for (size_t e = 0; e < typed.size(); ++e) {
            DiheStates& st = r.states[e];
            const std::vector<double>& x = dh[size_t(typed[e])].v;
            int prev = -1;
            for (size_t i = 0; i < x.size(); ++i) {
                const int j = dihestate(x[i], st.m);
                st.frames[size_t(j)] += 1;
                if (j != prev) st.visits[size_t(j)] += 1;
                if (prev >= 0) {
                    const double dtt = double(d.t[fr[i]]) - d.t[fr[i - 1]];
                    st.time[size_t(prev)] += dtt, st.ttot += dtt;
                    if (j != prev) st.exits[size_t(prev)] += 1, st.transitions += 1;
                }
                prev = j;
            }
        }
        // Orientation lifetimes: each begins with the vector's direction at
        // its first frame and ends at the first frame the vector has turned
        // past 90 degrees from it; the next begins there.
        for (size_t q = 0; q < r.lifetimes.size(); ++q) {
            VecLifetimes& lv = r.lifetimes[q];
            double ref[3];
            bool open = false;
            double t0 = 0, tl = 0;
            for (size_t f : fr) {
                double u[3];
                if (!unitvec(P(f, s.vectors[q][0]), P(f, s.vectors[q][1]), u)) continue;
                tl = d.t[f];
                if (!open) {
                    std::copy(u, u + 3, ref), t0 = d.t[f], open = true;
                } else if (ref[0] * u[0] + ref[1] * u[1] + ref[2] * u[2] < 0) {
                    lv.lives.push_back({tv.run, tv.traj, t0, double(d.t[f]) - t0});
                    std::copy(u, u + 3, ref), t0 = d.t[f];
                }
            }
            if (open && tl > t0) lv.unfinished += 1;
        }

        // Diffusion constants: consecutive analysed frames (minimum time)
        // and first to last (maximum time).
        const size_t m = fr.size();
        const double span = m >= 2 ? double(d.t[fr[m - 1]]) - d.t[fr[0]] : 0;
        if (m >= 2 && span > 0) {
            tv.rdcmin.assign(size_t(nv), 0), tv.rdcmax.assign(size_t(nv), 0);
            tv.dccmin.assign(size_t(nc), 0), tv.dccmax.assign(size_t(nc), 0);
            std::vector<double> u0(3 * size_t(nv)), u1(3 * size_t(nv)), uf(3 * size_t(nv));
            Acc tm;
            std::vector<Acc> rm(nv), dm(nc);
            for (size_t i = 0; i + 1 < m; ++i) {
                const size_t f0 = fr[i], f1 = fr[i + 1];
                const double dtt = double(d.t[f1]) - d.t[f0];
                if (dtt <= 0) continue;
                const double dr = dist(P(f0, s.centre), P(f1, s.centre));
                tm.add(dr * dr / (6 * dtt));
                for (int q = 0; q < nv; ++q) {
                    double a0[3], a1[3];
                    if (!unitvec(P(f0, s.vectors[q][0]), P(f0, s.vectors[q][1]), a0) ||
                        !unitvec(P(f1, s.vectors[q][0]), P(f1, s.vectors[q][1]), a1))
                        continue;
                    rm[q].add((1 - (a0[0] * a1[0] + a0[1] * a1[1] + a0[2] * a1[2])) / (2 * dtt));
                }
                for (int q = 0; q < nc; ++q) {
                    const int h = s.dcc[q];
                    const double p0 = dihedral(P(f0, h), P(f0, h + 1), P(f0, h + 2), P(f0, h + 3));
                    const double p1 = dihedral(P(f1, h), P(f1, h + 1), P(f1, h + 2), P(f1, h + 3));
                    dm[q].add((1 - std::cos((p1 - p0) / rad2deg)) / (2 * dtt));
                }
            }
            const size_t fa = fr[0], fb = fr[m - 1];
            const double dr = dist(P(fa, s.centre), P(fb, s.centre));
            tv.tdcmin = tm.get().mean, tv.tdcmax = dr * dr / (6 * span);
            tmin.add(tv.tdcmin), tmax.add(tv.tdcmax);
            for (int q = 0; q < nv; ++q) {
                double a0[3], a1[3];
                tv.rdcmin[q] = rm[q].get().mean;
                if (unitvec(P(fa, s.vectors[q][0]), P(fa, s.vectors[q][1]), a0) &&
                    unitvec(P(fb, s.vectors[q][0]), P(fb, s.vectors[q][1]), a1)) {
                    const double c = a0[0] * a1[0] + a0[1] * a1[1] + a0[2] * a1[2];
                    tv.rdcmax[q] = (1 - c) / (2 * span);
                    cosend[q].add(c);
                }
                rmin[q].add(tv.rdcmin[q]), rmax[q].add(tv.rdcmax[q]);
            }
            for (int q = 0; q < nc; ++q) {
                const int h = s.dcc[q];
                const double p0 = dihedral(P(fa, h), P(fa, h + 1), P(fa, h + 2), P(fa, h + 3));
                const double p1 = dihedral(P(fb, h), P(fb, h + 1), P(fb, h + 2), P(fb, h + 3));
                tv.dccmin[q] = dm[q].get().mean;
                tv.dccmax[q] = (1 - std::cos((p1 - p0) / rad2deg)) / (2 * span);
                dmin[q].add(tv.dccmin[q]), dmax[q].add(tv.dccmax[q]);
            }
        }
        r.per.push_back(std::move(tv));

        // Correlation functions over every time origin of this trajectory.
        for (int lag = 0; lag < r.ncor; ++lag)
            for (size_t i = 0; i + size_t(lag) < m; ++i) {
                const size_t f0 = fr[i], f1 = fr[i + size_t(lag)];
                for (int q = 0; q < nv; ++q) {
                    double a0[3], a1[3];
                    const float *p = P(f0, s.vectors[q][0]), *pe = P(f0, s.vectors[q][1]);
                    const float *o = P(f1, s.vectors[q][0]), *oe = P(f1, s.vectors[q][1]);
                    if (unitvec(p, pe, a0) && unitvec(o, oe, a1))
                        creo[q][lag].add(a0[0] * a1[0] + a0[1] * a1[1] + a0[2] * a1[2]);
                    clen[q][lag].add(dist(p, pe) * dist(o, oe));
                }
                for (int q = 0; q < nc; ++q) {
                    const int h = s.dcc[q];
                    phi0[size_t(q)] = dihedral(P(f0, h), P(f0, h + 1), P(f0, h + 2), P(f0, h + 3));
                    phi1[size_t(q)] = dihedral(P(f1, h), P(f1, h + 1), P(f1, h + 2), P(f1, h + 3));
                    cdih[q][lag].add(std::cos((phi1[size_t(q)] - phi0[size_t(q)]) / rad2deg));
                }
                // Cross-correlation of each dihedral with the next one listed.
                for (int q = 0; q + 1 < nc; ++q)
                    cross[q][lag].add(std::cos((phi1[size_t(q + 1)] - phi0[size_t(q)]) / rad2deg));
            }
    }
    // Histograms for write rama: each dihedral, then consecutive pairs.
    for (int i = 0; i < nd; ++i) {
        RamaHist h;
        h.d1 = h.d2 = s.dihes[i];
        h.count.assign(nrama, 0);
        for (double x : ad[i].v) h.count[size_t(ramabin(x))] += 1, ++h.norm;
        r.rama.push_back(std::move(h));
    }
    for (int i = 0; i + 1 < nd; ++i) {
        RamaHist h;
        h.d1 = s.dihes[i], h.d2 = s.dihes[i + 1];
        h.count.assign(nrama * nrama, 0);
        for (size_t f = 0; f < ad[i].v.size(); ++f)
            h.count[size_t(ramabin(ad[i].v[f]) * nrama + ramabin(ad[i + 1].v[f]))] += 1, ++h.norm;
        r.rama.push_back(std::move(h));
    }
    for (RamaHist& h : r.rama) h.unit = s.unit;
    r.sel = sel;
    // Over all frames.
    TrajValues& all = r.all;
    for (const auto& fr : sel) all.frames += long(fr.size());
    for (int i = 0; i < nb; ++i) all.bond.push_back(ab[i].get());
    for (int i = 0; i < na; ++i) all.angle.push_back(aa[i].get());
    for (int i = 0; i < nd; ++i) all.dihe.push_back(ad[i].get());
    for (int i = 0; i < nv; ++i) all.vec.push_back(av[i].get());
    all.rgyr = argy.get(), all.rgb = argb.get();
    for (int q = 0; q < nv; ++q) {
        r.rdcmin.push_back(rmin[q].get()), r.rdcmax.push_back(rmax[q].get());
        r.cosend.push_back(cosend[q].get().mean);
        Corr ro, ln;
        const double l2 = clen[q][0].get().mean;
        for (int lag = 0; lag < r.ncor; ++lag) {
            ro.c.push_back(creo[q][lag].get());
            MeanSd x = clen[q][lag].get();
            if (l2 > 0) x.mean /= l2, x.sd /= l2;
            ln.c.push_back(x);
        }
        r.reor.push_back(ro), r.vlen.push_back(ln);
    }
    for (int q = 0; q < nc; ++q) {
        r.dccmin.push_back(dmin[q].get()), r.dccmax.push_back(dmax[q].get());
        Corr c;
        for (int lag = 0; lag < r.ncor; ++lag) c.c.push_back(cdih[q][lag].get());
        r.dcor.push_back(c);
    }
    for (int q = 0; q + 1 < nc; ++q) {
        Corr c;
        for (int lag = 0; lag < r.ncor; ++lag) c.c.push_back(cross[q][lag].get());
        r.dcross.push_back(c);
    }
    r.tdcmin = tmin.get(), r.tdcmax = tmax.get();
    return r;
}

namespace {

void prtval(Kova& k, const TrajValues& v, const TrajSettings& s) {
    for (size_t i = 0; i < v.bond.size(); ++i)
        out(k, "(1x,'  Bond     ',i5,' is ',f10.3,' s.d. ',f10.3,' Angstroms')", int(i + 1), v.bond[i].mean,
            v.bond[i].sd);
    for (size_t i = 0; i < v.angle.size(); ++i)
        out(k, "(1x,'  Angle    ',i5,' is ',f10.3,' s.d. ',f10.3,' degrees')", int(i + 1), v.angle[i].mean,
            v.angle[i].sd);
    for (size_t i = 0; i < v.dihe.size(); ++i)
        out(k, "(1x,'  Dihedral ',i5,' is ',f10.3,' s.d. ',f10.3,' degrees')", s.dihes[i], v.dihe[i].mean,
            v.dihe[i].sd);
    for (size_t i = 0; i < v.vec.size(); ++i)
        out(k, "(1x,'  Vector   ',i5,' is ',f10.3,' s.d. ',f10.3,' Angstroms')", int(i + 1), v.vec[i].mean,
            v.vec[i].sd);
    if (s.rgyr) {
        out(k, "(1x,'  Radius of gyration          ',f10.3,' s.d. ',f10.3,' Angstroms')", v.rgyr.mean, v.rgyr.sd);
        out(k, "(1x,'  Rgyr**2 / bond length**2    ',f10.3,' s.d. ',f10.3)", v.rgb.mean, v.rgb.sd);
    }
}

void prtcor(Kova& k, const Corr& c, double dt, std::string_view title, int item, bool fit) {
    out(k, "(/,1x,a,i5)", std::string(title), item);
    out(k, "(1x,'          time       value   deviation')");
    std::vector<double> t, v;
    for (size_t i = 0; i < c.c.size(); ++i) {
        if (c.c[i].n == 0) break;
        out(k, "(1x,f14.3,2x,2f12.3)", dt * double(i), c.c[i].mean, c.c[i].sd);
        t.push_back(dt * double(i)), v.push_back(c.c[i].mean);
    }
    if (!fit) return;
    const CorFit f = corfit(t, v);
    out(k, "(1x,'  No. of points used for least squares fit (ncor #) :',i10)", f.npts);
    if (f.ok) {
        out(k, "(1x,'  Relaxation time                              (ps) :',f10.3)", f.tau);
        out(k, "(1x,'  Fitted initial ln(corr fn)                        :',f10.3)", f.icpt);
        out(k, "(1x,'  Goodness of fit                                   :',f10.3)", f.dev);
    } else {
        out(k, "(1x,'  Relaxation time not determined: no decay over positive values')");
    }
}

// The listing of one unit's analysis (anruns).
void anruns(Kova& k, const TrajResults& r, const TrajSettings& s) {
    out(k, "(/,1x,'  ANALYSIS RESULTS')");
    out(k, "(1x,'  Time interval between analysed coordinates  (ps) :',f10.3)", r.dt);
    out(k, "(1x,'  Unit                                              :',i10)", s.unit);
    const bool rot = s.rdc;
    for (const TrajValues& v : r.per) {
        out(k, "(/,1x,'  Run ',i5,' Trajectory ',i5,'   frames analysed ',i8)", v.run, v.traj, v.frames);
        prtval(k, v, s);
        if (v.frames >= 2 && s.tdc) {
            out(k, "(1x,'  Translational diffusion constant (min) ',f12.5,' A**2/ps')", v.tdcmin);
            out(k, "(1x,'  Translational diffusion constant (max) ',f12.5,' A**2/ps')", v.tdcmax);
        }
        for (size_t q = 0; rot && q < v.rdcmin.size(); ++q) {
            out(k, "(1x,'  Vector ',i5,' rotational diffusion (min) ',f12.5,' 1/ps')", int(q + 1), v.rdcmin[q]);
            out(k, "(1x,'  Vector ',i5,' rotational diffusion (max) ',f12.5,' 1/ps')", int(q + 1), v.rdcmax[q]);
        }
        for (size_t q = 0; q < v.dccmin.size(); ++q) {
            out(k, "(1x,'  Dihedral ',i5,' diffusion constant (min) ',f12.5,' 1/ps')", s.dcc[q], v.dccmin[q]);
            out(k, "(1x,'  Dihedral ',i5,' diffusion constant (max) ',f12.5,' 1/ps')", s.dcc[q], v.dccmax[q]);
        }
    }
    out(k, "(/,1x,'  All trajectories: ',i5,'   frames analysed ',i8)", int(r.per.size()), r.all.frames);
    prtval(k, r.all, s);
    if (s.tdc) {
        out(k, "(1x,'  Translational diffusion constant (min) ',f12.5,' s.d. ',f12.5,' A**2/ps')", r.tdcmin.mean,
            r.tdcmin.sd);
        out(k, "(1x,'  Translational diffusion constant (max) ',f12.5,' s.d. ',f12.5,' A**2/ps')", r.tdcmax.mean,
            r.tdcmax.sd);
    }
    for (size_t q = 0; q < r.dccmin.size(); ++q) {
        out(k, "(1x,'  Dihedral ',i5,' diffusion constant (min) ',f12.5,' s.d. ',f12.5,' 1/ps')", s.dcc[q],
            r.dccmin[q].mean, r.dccmin[q].sd);
        out(k, "(1x,'  Dihedral ',i5,' diffusion constant (max) ',f12.5,' s.d. ',f12.5,' 1/ps')", s.dcc[q],
            r.dccmax[q].mean, r.dccmax[q].sd);
    }
    for (size_t q = 0; q < r.dcor.size(); ++q) {
        const bool fit = std::find(s.drt.begin(), s.drt.end(), s.dcc[q]) != s.drt.end();
        prtcor(k, r.dcor[q], r.dt, "  Dihedral autocorrelation <cos(phi(t)-phi(0))> of dihedral", s.dcc[q], fit);
    }
    for (size_t q = 0; q < r.dcross.size(); ++q) {
        const std::string title = "  Cross-correlation <cos(phi2(t)-phi1(0))>, phi2 dihedral " +
                                  std::to_string(s.dcc[q + 1]) + ", phi1 dihedral";
        prtcor(k, r.dcross[q], r.dt, title, s.dcc[q], false);
    }
    for (size_t q = 0; q < r.reor.size(); ++q) {
        if (s.leng || s.lrt) prtcor(k, r.vlen[q], r.dt, "  Length correlation of vector", int(q + 1), s.lrt);
        if (s.rdc || s.rrt) {
            prtcor(k, r.reor[q], r.dt, "  Reorientation correlation of vector", int(q + 1), s.rrt);
            out(k, "(1x,'  Mean cosine first to last frame                  :',f10.3)", r.cosend[q]);
        }
        if (s.rdc) {
            out(k, "(1x,'  Rotational diffusion constant (min) ',f12.5,' s.d. ',f12.5,' 1/ps')", r.rdcmin[q].mean,
                r.rdcmin[q].sd);
            out(k, "(1x,'  Rotational diffusion constant (max) ',f12.5,' s.d. ',f12.5,' 1/ps')", r.rdcmax[q].mean,
                r.rdcmax[q].sd);
        }
    }
    for (const DiheStates& st : r.states) {
        out(k, "(/,1x,'  Conformational states of dihedral ',i5,':',i3,' states of ',f8.3,' degrees')", st.dihe, st.m,
            360.0 / st.m);
        out(k, "(1x,'  State  centre (deg)  population    visits  mean lifetime (ps)')");
        long nf = 0;
        for (long f : st.frames) nf += f;
        for (int j = 0; j < st.m; ++j) {
            double c = 180.0 - j * 360.0 / st.m;
            if (c <= -180.0) c += 360.0;
            const double pop = nf > 0 ? double(st.frames[size_t(j)]) / double(nf) : 0.0;
            if (st.exits[size_t(j)] > 0)
                out(k, "(1x,i7,f14.3,f12.6,i10,f20.3)", j + 1, c, pop, st.visits[size_t(j)],
                    st.time[size_t(j)] / double(st.exits[size_t(j)]));
            else
                out(k, "(1x,i7,f14.3,f12.6,i10,'            not left')", j + 1, c, pop, st.visits[size_t(j)]);
        }
        out(k, "(1x,'  Transitions ',i10,'   per ps ',f12.5)", st.transitions,
            st.ttot > 0 ? double(st.transitions) / st.ttot : 0.0);
    }
    for (size_t q = 0; q < r.lifetimes.size(); ++q) {
        Acc a;
        for (const VecLifetimes::Life& l : r.lifetimes[q].lives) a.add(l.life);
        const MeanSd m = a.get();
        out(k, "(/,1x,'  Vector ',i5,' orientation lifetime (turn past 90 degrees)')", int(q + 1));
        out(k, "(1x,'  Mean lifetime ',f12.3,' s.d. ',f12.3,' ps; ',i8,' lifetimes, ',i5,' unfinished')", m.mean,
            m.sd, m.n, r.lifetimes[q].unfinished);
    }
    if (s.bin_listed) {
        for (size_t i = 0; i < r.dist.size(); ++i) {
            const double tot = double(r.all.frames);
            out(k, "(/,1x,'  Distribution of dihedral ',i5,', bins of ',f8.3,' degrees')", s.dihes[i], s.bin);
            for (size_t b = 0; b < r.dist[i].size(); ++b)
                out(k, "(1x,f8.3,5x,i10,5x,f10.6)", -180.0 + s.bin * double(b), r.dist[i][b],
                    tot > 0 ? double(r.dist[i][b]) / tot : 0.0);
        }
    }
}

// Reads a list after bond, angl, dihe, veca, dcc or drt: numb n then n
// groups of m numbers, or all (ee for vectors). Returns false for all.
bool readlist(Kova& k, int m, std::vector<int>& vals, bool& all, bool& bad) {
    const int in = k.files.inunit;
    const std::string w = getnam(k, in, "Trjdrv");
    vals.clear();
    all = false;
    if (w.substr(0, 4) == "numb") {
        const int n = getint(k, in, "Trjdrv");
        if (n < 0 || n > maxanl) {
            msg(k, "SERIOUS: trjdrv (040) number of items outside 0 to 40: ", std::to_string(n));
            bad = true;
            kvabort(k, serious);
            return false;
        }
        for (int i = 0; i < n * m; ++i) vals.push_back(getint(k, in, "Trjdrv"));
        return true;
    }
    if (w == "all" || w == "ee") {
        all = true;
        return true;
    }
    msg(k, "SERIOUS: trjdrv (041) specify numb or all after the item keyword: ", w);
    bad = true;
    kvabort(k, serious);
    return false;
}

}  // namespace

void trjdrv(Kova& k) {
    const int in = k.files.inunit;
    const MoleculeStore& m = k.mol;
    const UnitStore& u = m.units;
    struct Req {
        TrajSettings s;
        std::vector<int> bonds, angles, dihes, vectors, dcc, drt;
        bool ab = false, aa = false, ad = false, av = false, adcc = false, adrt = false;
        bool gotd = false, gotv = false, gotc = false, wantd = false, wantv = false, wantc = false;
        bool named = false;  // selected by iflx (else unit 1 by default)
    };
    std::vector<Req> reqs;
    bool bad = false;
    auto cur = [&]() -> Req& {
        if (reqs.empty()) reqs.emplace_back(), reqs.back().s.unit = 1;
        return reqs.back();
    };
    for (;;) {
        const std::string w = getnam(k, in, "Trjdrv");
        const std::string w4 = w.substr(0, 4);
        if (w4 == "end") break;
        if (w4 == "iflx") {
            const int n = getint(k, in, "Trjdrv");
            if (!reqs.empty() && !reqs.back().named) {
                // Keywords given before the first iflx belong to the unit it names.
                reqs.back().s.unit = n, reqs.back().named = true;
            } else if (int(reqs.size()) >= maxanu) {
                msg(k, "SERIOUS: trjdrv (042) more than 5 units listed");
                bad = true;
                kvabort(k, serious);
            } else {
                reqs.emplace_back();
                reqs.back().s.unit = n, reqs.back().named = true;
            }
        } else if (w4 == "file") {
            cur().s.file = getfil(k, in, "Trjdrv");
        } else if (w4 == "step") {
            const int n = getint(k, in, "Trjdrv");
            if (n < 1) {
                msg(k, "SERIOUS: trjdrv (043) step must be 1 or more: ", std::to_string(n));
                bad = true;
                kvabort(k, serious);
            } else {
                cur().s.step = n;
            }
        } else if (w4 == "bond") {
            Req& r = cur();
            readlist(k, 2, r.bonds, r.ab, bad);
        } else if (w4 == "angl") {
            Req& r = cur();
            readlist(k, 3, r.angles, r.aa, bad);
        } else if (w4 == "dihe") {
            Req& r = cur();
            r.gotd = true;
            readlist(k, 1, r.dihes, r.ad, bad);
        } else if (w4 == "veca") {
            Req& r = cur();
            r.gotv = true;
            readlist(k, 2, r.vectors, r.av, bad);
        } else if (w4 == "dcc") {
            Req& r = cur();
            r.gotc = true;
            readlist(k, 1, r.dcc, r.adcc, bad);
        } else if (w4 == "drt") {
            Req& r = cur();
            r.wantc = true;
            readlist(k, 1, r.drt, r.adrt, bad);
        } else if (w4 == "bin") {
            const float b = getnum(k, in, "Trjdrv");
            if (!(b >= 1.0f && b <= 360.0f)) {
                msg(k, "SERIOUS: trjdrv (044) bin width outside 1 to 360 degrees: ", std::to_string(b));
                bad = true;
                kvabort(k, serious);
            } else {
                cur().s.bin = b, cur().s.bin_listed = true, cur().wantd = true;
            }
        } else if (w4 == "rgyr") {
            cur().s.rgyr = true;
        } else if (w4 == "rtim" || w4 == "dtim") {
            const float t = getnum(k, in, "Trjdrv");
            if (!(t > 0.0f && t < 1.0e9f)) {
                msg(k, "SERIOUS: trjdrv (045) time must be positive: ", std::to_string(t));
                bad = true;
                kvabort(k, serious);
            } else {
                (w4 == "rtim" ? cur().s.rtim : cur().s.dtim) = t;
            }
        } else if (w4 == "tdc") {
            cur().s.tdc = true;
        } else if (w4 == "type") {
            const int n = getint(k, in, "Trjdrv");
            if (n < 0 || n > maxanl) {
                msg(k, "SERIOUS: trjdrv (046) number of dihedral types outside 0 to 40: ", std::to_string(n));
                bad = true;
                kvabort(k, serious);
                continue;
            }
            std::vector<int>& t = cur().s.types;
            t.clear();
            for (int i = 0; i < n; ++i) {
                const int m = getint(k, in, "Trjdrv");
                if (m < 0 || m > 36) {
                    msg(k, "SERIOUS: trjdrv (047) dihedral type outside 0 to 36 states: ", std::to_string(m));
                    bad = true;
                    kvabort(k, serious);
                }
                t.push_back(m);
            }
            cur().wantd = true;
        } else if (w4 == "rdc" || w4 == "rrt" || w4 == "leng" || w4 == "lrt") {
            Req& r = cur();
            r.wantv = true;
            (w4 == "rdc" ? r.s.rdc : w4 == "rrt" ? r.s.rrt : w4 == "leng" ? r.s.leng : r.s.lrt) = true;
        } else if (w4 == "lft") {
            cur().wantv = true;
            cur().s.lft = true;
        } else if (w4 == "wtra") {
            cur().s.wtra = true;
        } else {
            out(k, "(a,1x,a)", "  WARNING: trjdrv (001) - unknown keyword", w);
            kvabort(k, warning);
        }
    }
    if (bad) return;
    for (Req& q : reqs) {
        if (q.wantd && !q.gotd) out(k, "(a,a)", "  WARNING: trjdrv (005) -", "Dihedrals to be analysed not specified");
        if (q.wantv && !q.gotv) out(k, "(a,a)", "  WARNING: trjdrv (010) ", "Vectors for analysis not specified");
        if (q.wantc && !q.gotc) out(k, "(a,a)", "  WARNING: trjdrv (020) ", "Dihedrals for corln analysis not specified");
        const int n = q.s.unit;
        if (n < 1 || n > u.nunit || u.nsubu[n] < 1) {
            msg(k, "SERIOUS: trjdrv (050) unit not defined: ", std::to_string(n));
            kvabort(k, serious);
            continue;
        }
        const int ns = u.nsubu[n];
        TrajSettings& s = q.s;
        s.centre = std::clamp(u.icsub[n] - u.ifsub[n] + 1, 1, ns);
        auto all_of = [&](int m, std::vector<int>& v) {
            v.clear();
            for (int i = 1; i + m - 1 <= ns; ++i)
                for (int j = 0; j < m; ++j) v.push_back(i + j);
        };
        if (q.ab) all_of(2, q.bonds);
        if (q.aa) all_of(3, q.angles);
        if (q.av) q.vectors = {1, ns};
        std::vector<int> alld;
        for (int i = 1; i + 3 <= ns; ++i) alld.push_back(i);
        if (q.ad) q.dihes = alld;
        if (q.adcc) q.dcc = alld;
        if (q.adrt) q.drt = alld;
        if (q.wantc && !q.gotc) q.dcc = q.drt;
        bool range = true;
        auto check = [&](const std::vector<int>& v, int hi) {
            for (int x : v)
                if (x < 1 || x > hi) {
                    msg(k, "SERIOUS: trjdrv (051) subunit or dihedral outside unit ", std::to_string(n) + ": " +
                                                                                          std::to_string(x));
                    range = false;
                    return;
                }
        };
        check(q.bonds, ns), check(q.angles, ns), check(q.vectors, ns);
        check(q.dihes, ns - 3), check(q.dcc, ns - 3), check(q.drt, ns - 3);
        if (!range) {
            kvabort(k, serious);
            continue;
        }
        for (size_t i = 0; i + 1 < q.bonds.size(); i += 2) s.bonds.push_back({q.bonds[i], q.bonds[i + 1]});
        for (size_t i = 0; i + 2 < q.angles.size(); i += 3)
            s.angles.push_back({q.angles[i], q.angles[i + 1], q.angles[i + 2]});
        for (size_t i = 0; i + 1 < q.vectors.size(); i += 2) s.vectors.push_back({q.vectors[i], q.vectors[i + 1]});
        s.dihes = q.dihes, s.dcc = q.dcc, s.drt = q.drt;

        const std::string file = s.file.empty() ? k.files.flxname[std::min(n, maxflx)] : s.file;
        const int unit = k.files.flxunit[std::min(n, maxflx)];
        out(k, "(a,i5,a,a)", "  Trajectory read from unit no.: ", unit, " file         :", file);
        TrjData d;
        if (!trjopen(k, unit, file, ns, "ERROR : anstep(010) - problem with trj file", d)) continue;
        TrajResults r = anltrj(d, s);
        if (r.ncor > maxcor) {
            out(k, "(a)", "  ERROR: anstep (001) - no. of pts for correlation");
            out(k, "(a,i5)", " analysis exceeds", maxcor);
            out(k, "(a)", "  Reduce max. corr. time or change maxcor in size");
            kvabort(k, error);
            continue;
        }
        if (s.types.size() > s.dihes.size())
            out(k, "(a,i5,a,i5,a)", "  WARNING: trjdrv (032) ", int(s.types.size()), " dihedral types for ",
                int(s.dihes.size()), " dihedrals; the extra types are not used");
        anruns(k, r, s);
        if (!s.dihes.empty()) k.anal.rama = r.rama;
        // One lifetime file per vector: run, trajectory, the time the
        // lifetime began and its length, ps.
        for (size_t q = 0; q < r.lifetimes.size(); ++q) {
            std::string name = "lft" + std::to_string(n) + "_" + std::to_string(q + 1) + ".dat";
            const int lu = 83;
            kvopen(k, lu, name, true);
            for (const VecLifetimes::Life& l : r.lifetimes[q].lives)
                fwrite(k, lu, "(1x,i5,1x,i5,2x,f12.3,2x,f12.3)", l.run, l.traj, l.start, l.life);
            k.units.close(lu);
            out(k, "(a,i5,a,a)", "  Lifetimes of vector ", int(q + 1), " written to file :", name);
        }
        if (s.wtra) {
            std::string name = "anl" + std::to_string(n) + ".trj";
            const int wu = 82;
            kvopen(k, wu, name, true);
            for (const TrjData::Traj& t : d.trajs) {
                fwrite(k, wu, "(1x,f12.3,3(2x,f8.3))", -1.0f, float(t.run), float(t.traj), 0.0f);
                for (size_t f : r.sel[size_t(&t - d.trajs.data())])
                    for (int sb = 0; sb < ns; ++sb) {
                        const float* p = d.pos(f, sb);
                        fwrite(k, wu, "(1x,f12.3,3(2x,f8.3))", d.t[f], p[0], p[1], p[2]);
                    }
            }
            fwrite(k, wu, "(1x,f12.3,3(2x,f8.3))", -999.0f, float(d.endrun), float(d.endtraj), 0.0f);
            k.units.close(wu);
            out(k, "(a,a)", "  Analysed trajectory written to file :", name);
        }
    }
}

}  // namespace kova
