// Association rate constants from Brownian-dynamics reaction counts.
#include "bd/rates.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "command/output.hpp"

namespace kova {

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double rgas = 0.83144647;

// The open midpoint rule on [a, b] that triples its points at each stage:
// stage 1 is one point at the middle; stage n adds the 2*3**(n-2) points
// that lie between those of the stage before.
struct Midpoint {
    std::function<double(double)> g;
    double a, b, s = 0;
    int n = 0;
    double next() {
        ++n;
        if (n == 1) return s = (b - a) * g(0.5 * (a + b));
        double it = 1;
        for (int j = 1; j < n - 1; ++j) it *= 3;
        const double del = (b - a) / (3.0 * it), ddel = del + del;
        double x = a + 0.5 * del, sum = 0;
        for (long j = 1; j <= long(it); ++j) {
            sum += g(x);
            x += ddel;
            sum += g(x);
            x += del;
        }
        return s = (s + (b - a) * sum / it) / 3.0;
    }
};

// Neville's interpolation of (xa, ya) evaluated at 0, with the last
// correction as its error estimate.
double extrapolate(const double* xa, const double* ya, int n, double& dy) {
    double c[8], d[8];
    int ns = 0;
    double dif = std::fabs(xa[0]);
    for (int i = 0; i < n; ++i) {
        if (std::fabs(xa[i]) < dif) ns = i, dif = std::fabs(xa[i]);
        c[i] = d[i] = ya[i];
    }
    double y = ya[ns--];
    for (int m = 1; m < n; ++m) {
        for (int i = 0; i < n - m; ++i) {
            const double ho = xa[i], hp = xa[i + m], w = c[i + 1] - d[i], den = ho - hp;
            const double f = w / den;
            d[i] = hp * f;
            c[i] = ho * f;
        }
        dy = 2 * (ns + 1) < n - m ? c[ns + 1] : d[ns--];
        y += dy;
    }
    return y;
}

}  // namespace

double qromo_midinf(const std::function<double(double)>& f, double a, double b, bool& ok, int& stages) {
    constexpr int jmax = 30, k = 5;
    // r = 1/t: the integral of f(1/t)/t**2 over [1/b, 1/a].
    Midpoint m{[&](double t) { return f(1.0 / t) / (t * t); }, 1.0 / b, 1.0 / a};
    double s[jmax + 2], h[jmax + 2];
    h[1] = 1.0;
    ok = false;
    for (int j = 1; j <= jmax; ++j) {
        stages = j;
        s[j] = m.next();
        if (!std::isfinite(s[j])) return s[j];
        if (j >= k) {
            double dss = 0;
            const double ss = extrapolate(&h[j - k + 1], &s[j - k + 1], k, dss);
            if (std::fabs(dss) <= 1.0e-6 * std::fabs(ss)) {
                ok = std::isfinite(ss);
                return ss;
            }
        }
        h[j + 1] = h[j] / 9.0;
    }
    return s[jmax];
}

void dfcr_add(DiffusionBins& b, const float centre[3], float rcen, float qsurf, float dt, bool first_step) {
    if (!b.cleared) {
        b.bcnt.fill(0);
        b.bsum.fill(0);
        b.bsq.fill(0);
        b.cleared = true;
    } else if (!first_step) {
        const int nb = std::clamp(b.nbins, 1, maxrbin);
        const int k = std::min(int(rcen / qsurf * nb) + 1, nb);
        if (k >= 1) {
            const double dx = centre[0] - b.prevc[0], dy = centre[1] - b.prevc[1], dz = centre[2] - b.prevc[2];
            const double v = (dx * dx + dy * dy + dz * dz) / (6.0 * dt);
            b.bcnt[k] += 1;
            b.bsum[k] += v;
            b.bsq[k] += v * v;
        }
    }
    b.prevc = {centre[0], centre[1], centre[2]};
}

namespace {

// The estimate from the bins at or beyond the b surface.
void bin_estimate(const RateInputs& in, double& dbrel, double& sd, long& n) {
    const DiffusionBins& b = *in.bins;
    double sw = 0, sq = 0;
    n = 0;
    for (int k = 1; k <= b.nbins; ++k) {
        if ((k - 1) * double(in.qsurf) / b.nbins < in.bsurf || b.bcnt[k] == 0) continue;
        n += b.bcnt[k];
        sw += b.bsum[k];
        sq += b.bsq[k];
    }
    if (n < 2) {
        dbrel = sd = 0;
        return;
    }
    dbrel = sw / n;
    sd = std::sqrt(std::max(0.0, (sq - dbrel * dbrel * n) / (n - 1)));
}

}  // namespace

RateResult rate_constant(const RateInputs& in) {
    RateResult r;
    const int nrun = std::max(in.nrun, 0), ntraj = std::max(in.ntraj, 1);
    long total = 0;
    double s = 0, s2 = 0;
    for (int i = 0; i < nrun; ++i) {
        const double beta = double(in.nrxn[i]) / ntraj;
        s += beta, s2 += beta * beta;
        total += in.nrxn[i];
    }
    if (nrun > 0) {
        r.beta_mean = s / nrun;
        r.beta_rms = std::sqrt(std::max(0.0, s2 / nrun - r.beta_mean * r.beta_mean));
    }
    const double ntot = double(nrun) * ntraj;
    r.phat = ntot > 0 ? total / ntot : 0;
    r.confl = ntot > 0 ? 1.645 * std::sqrt(r.phat * (1 - r.phat) / ntot) : 0;
    if (in.bins) {
        double sd = 0;
        long n = 0;
        bin_estimate(in, r.dbrel, sd, n);
    }
    if (in.dfc > 0) r.dbrel = in.dfc;
    if (r.dbrel == 0) r.dbrel = in.sphere1 ? (1.0 / in.rad2 + 1.0 / in.rad1) * in.hifac / 0.75 : 1.0;
    if (!in.force_off && std::fabs(in.q1) > 0.0001f && std::fabs(in.q2) > 0.0001f) {
        r.lb = double(in.q1) * in.q2 / (4 * pi * double(in.epsout) * rgas * in.temp);
        const double lb = r.lb, kappa = in.kappa;
        auto f = [lb, kappa](double x) {
            return kappa == 0 ? std::exp(lb / x) / (x * x) : std::exp(lb * std::exp(-kappa * x) / x) / (x * x);
        };
        bool okb = false, okq = false;
        int sb = 0, sq = 0;
        const double ib = qromo_midinf(f, in.bsurf, 1.0e20, okb, sb);
        const double iq = qromo_midinf(f, in.qsurf, 1.0e20, okq, sq);
        r.integral_ok = okb && okq;
        r.stages = std::max(sb, sq);
        r.kdb = 4 * pi * r.dbrel / ib;
        r.omg = iq / ib;
    } else {
        r.kdb = 4 * pi * r.dbrel * in.bsurf;
        r.omg = double(in.bsurf) / in.qsurf;
    }
    r.rate = r.kdb * r.phat / (1 - (1 - r.phat) * r.omg);
    r.smoul = 4 * pi * (1.0 / in.rad2 + 1.0 / in.rad1) * (in.hifac / 0.75) * (double(in.rad1) + in.rad2);
    r.kred = r.rate / r.smoul;
    const double p = r.phat, c = r.confl, w = r.omg;
    r.kerr = r.kdb / 2 * ((p + c) / (1 - (1 - p - c) * w) - (p - c) / (1 - (1 - p + c) * w)) / r.smoul;
    return r;
}

RateResult result(Kova& k, const RateInputs& in) {
    const RateResult r = rate_constant(in);
    out(k, "(/,' **************************************',/,' * beta = ',f10.5,' rms = ',f10.5,' *',/,"
           "' **************************************')",
        r.beta_mean, r.beta_rms);
    out(k, "(/,' *********************************************',/,' * beta = ',f6.4,'  90% confidence =+/- ',"
           "f6.4,' *',/,' *********************************************')",
        r.phat, r.confl);
    bool estimated = false;
    if (in.bins) {
        const DiffusionBins& b = *in.bins;
        out(k, "(1x,'Diffusion Coefficent Estimation ')");
        out(k, "(1x,'Bin   Distance        Number    Diff Coeff   Std Dev')");
        for (int i = 1; i <= b.nbins; ++i) {
            double mean = 0, sd = 0;
            if (b.bcnt[i] >= 2) {
                mean = b.bsum[i] / b.bcnt[i];
                sd = std::sqrt(std::max(0.0, (b.bsq[i] - mean * mean * b.bcnt[i]) / (b.bcnt[i] - 1)));
            }
            out(k, "(1x,i3,3x,f7.3,5x,i10,6x,f7.3,5x,f7.3)", i, (i - 1) * double(in.qsurf) / b.nbins, b.bcnt[i], mean,
                sd);
        }
        double dbrel = 0, sd = 0;
        long n = 0;
        bin_estimate(in, dbrel, sd, n);
        out(k, "(1x,'Between the b surface ',f8.3,' and q surface ',f8.3)", in.bsurf, in.qsurf);
        out(k, "(1x,'The average relative diffusion coefficent was  ',f8.3,' +/-',f8.3)", dbrel, sd);
        out(k, "(1x,'this is based on ',i10,' values ')", n);
        out(k, "(1x,'This value will be used in ','calculating the rate constant')");
        estimated = dbrel != 0;
    }
    if (!estimated && !(in.dfc > 0)) {
        if (in.sphere1) {
            out(k, "(1x,a)", "Since Single particle diffusing substrate, ASSUME that relative ");
            out(k, "(1x,a)", "diffusion constant outside of b surface is sum of diffusion ");
            out(k, "(1x,a)", "constants for substrate and target using stokes law and ");
            out(k, "(1x,a)", "stick boundary conditions");
        } else {
            out(k, "(1x,a)", "Since Multiparticle Substrate, and there was no estimate of ");
            out(k, "(1x,a)", "the relative diffusion coefficent outside of the b surface ");
            out(k, "(1x,a)", " !! ASSUME A DIFFUSION COEFFICENT TO CONTINUE !!!!! ");
        }
    }
    out(k, "(1x,'Relative diffusion coefficent outside b surface  ',f8.3)", r.dbrel);
    if (r.lb != 0) {
        out(k, "(/,' Bjerum length = ',f10.5,' angstroms',/)", r.lb);
        if (!r.integral_ok) {
            out(k, "(1x,a,i4)", " s(jmax) = ", r.stages);
            msg(k, "FATAL: result (001) Too many steps in QROMO.");
            endrun(k, exit_fatal);
        }
    } else if (in.force_off) {
        out(k, "(/,' Electrostatic force off: arrival rates of uncharged molecules')");
    } else {
        out(k, "(/,' qmol(1) or qmol(2) is zero!')");
    }
    out(k, "(/,' ****************************************************',/,' * rate constant = ',f7.3,'     +/-',"
           "f5.2,'     A^3/ps  *',/,' * kred          = ',f7.3,'     +/-',f5.2,'             *',/,"
           "' * k             = ',e11.3,' +/-',e9.2,' 1/(M s) *',/,"
           "' ****************************************************')",
        r.rate, r.kerr * r.smoul, r.kred, r.kerr, r.rate * 6.022e8, r.kerr * 6.022e8 * r.smoul);
    if (in.cnsr) {
        const double n = double(in.cn_calls), mean = n > 0 ? in.cn_sum / n : 0;
        const double sd = n > 1 ? std::sqrt(std::max(0.0, (in.cn_sq - mean * mean * n) / (n - 1))) : 0;
        out(k, "(1x,'constraint iter.  ',f8.3,'  based on ',i8,' values','   +/-',f8.3)", mean, in.cn_calls, sd);
    }
    return r;
}

}  // namespace kova
