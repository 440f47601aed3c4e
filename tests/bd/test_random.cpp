// The random-number generator: its sequence against published check values
// and an integer rewrite of the recurrence, seeding at start-up and
// re-seeding, the unseeded stop, the range of the uniform deviates, the
// statistics of both draws, and the Gaussian table against the normal
// quantile.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "../command/harness.hpp"
#include "bd/random.hpp"
#include "command/mainloop.hpp"
#include "command/output.hpp"

namespace kova {
namespace {

// The same generator in exact integer arithmetic: every lag value and the
// arithmetic sequence as integers in units of 2**-24, subtraction modulo
// 2**24 (and modulo 16777213 for the sequence). Written independently of the
// single-precision code; the two must agree draw for draw, because every
// single-precision difference of multiples of 2**-24 in (-1, 1) is exact.
struct IntegerGenerator {
    static constexpr std::int32_t one = 1 << 24;
    std::array<std::int32_t, 98> lag{};
    std::int32_t c = 362436;
    int i = 97, j = 33;

    IntegerGenerator(int ij, int kl) {
        int a = (ij / 177) % 177 + 2, b = ij % 177 + 2, d = (kl / 169) % 178 + 1, e = kl % 169;
        for (int n = 1; n <= 97; ++n) {
            std::int32_t bits = 0;
            for (int bit = 23; bit >= 0; --bit) {  // most significant bit first
                int m = (((a * b) % 179) * d) % 179;
                a = b;
                b = d;
                d = m;
                e = (53 * e + 1) % 169;
                if ((e * m) % 64 >= 32) bits |= std::int32_t{1} << bit;
            }
            lag[n] = bits;
        }
    }

    std::int32_t next() {
        std::int32_t x = (lag[i] - lag[j] + one) % one;
        lag[i] = x;
        i = i == 1 ? 97 : i - 1;
        j = j == 1 ? 97 : j - 1;
        c = (c - 7654321 + 16777213) % 16777213;
        return (x - c + one) % one;
    }
};

constexpr double two24 = 16777216.0;

// The standard normal quantile at p (> 0.5), by bisection on erfc.
double quantile(double p) {
    double lo = 0.0, hi = 40.0;
    for (int it = 0; it < 200 && hi - lo > 1e-15; ++it) {
        double m = 0.5 * (lo + hi);
        (0.5 * std::erfc(-m / std::sqrt(2.0)) < p ? lo : hi) = m;
    }
    return 0.5 * (lo + hi);
}

// E[X**n] of the distribution rndgau draws: |X| is the table interpolated
// linearly at a uniform position in [0, 1000), with a random sign; for even n
// the mean of the integral of the interpolant's n-th power over each row.
double table_moment(const GaussTable& g, int n) {
    double sum = 0.0;
    for (int b = 1; b <= ngtab; ++b) {
        double g0 = g[b - 1], g1 = g[b];
        sum += (std::pow(g1, n + 1) - std::pow(g0, n + 1)) / ((n + 1) * (g1 - g0));
    }
    return sum / ngtab;
}

TEST(Random, SequenceMatchesPublishedCheckValuesAndAnIntegerRewrite) {
    // The check published with the generator: seeds 1802 and 9373, 20000
    // draws, then six draws times 2**24.
    RandomState r(1802, 9373);
    for (int n = 0; n < 20000; ++n) r.uniform();
    const double expect[] = {6533892.0, 14220222.0, 7275067.0, 6172232.0, 8354498.0, 10633180.0};
    for (double e : expect) EXPECT_EQ(r.uniform() * two24, e);

    // 10**6 draws from the start-up seeds and the ends of the seed ranges,
    // exactly equal to the integer rewrite.
    const int seeds[][2] = {{2193, 3283}, {1, 1}, {31327, 30080}};
    for (auto [ij, kl] : seeds) {
        RandomState s(ij, kl);
        IntegerGenerator o(ij, kl);
        for (int n = 1; n < 98; ++n) ASSERT_EQ(double(s.u[n]) * two24, o.lag[n]) << ij << " " << kl;
        int bad = 0;
        for (int n = 0; n < 1000000; ++n) bad += s.uniform() * two24 != o.next();
        EXPECT_EQ(bad, 0) << ij << " " << kl;
    }

    // The Gaussian draw against interpolation in double from the integer
    // uniforms: equal to within the rounding of the table position
    // 1000*(2u - 1) (half a unit in the last place of 1000, 3.1e-5) times
    // the row's slope, plus a few units in the last place of the value.
    GaussTable g;
    gauss(g);
    RandomState s(2193, 3283);
    IntegerGenerator o(2193, 3283);
    double worst = 0.0;
    for (int n = 0; n < 1000000; ++n) {
        double sgn = 1000.0 * (2.0 * o.next() / two24 - 1.0), a = std::fabs(sgn);
        int b = std::min(int(a) + 1, ngtab);
        double v = g[b - 1] + (double(g[b]) - g[b - 1]) * (a - b + 1);
        if (sgn < 0) v = -v;
        double err = std::fabs(s.gaussian(g) - v) / (4e-7 * (1.0 + std::fabs(v)) + 3.1e-5 * (g[b] - g[b - 1]));
        worst = std::max(worst, err);
    }
    EXPECT_LE(worst, 1.0);
}

TEST(Random, StartUpSeedsReseedingAndIndependentStreams) {
    test::Session t;
    Kova& k = t.k;
    inidef(k);
    EXPECT_EQ(k.rnd.ijsd1, 2193);
    EXPECT_EQ(k.rnd.klsd1, 3283);
    EXPECT_EQ(k.rnd.ijsd2, 8247);
    EXPECT_EQ(k.rnd.klsd2, 7536);
    // State A is seeded from (ijsd1, klsd1), state B from (ijsd2, klsd2).
    RandomState a(2193, 3283), b(8247, 7536);
    EXPECT_EQ(k.rnd.raset1.u, a.u);
    EXPECT_EQ(k.rnd.raset2.u, b.u);
    EXPECT_TRUE(k.rnd.raset2.ready);

    auto draw = [&k] {
        std::vector<float> v;
        for (int n = 0; n < 500; ++n) {
            v.push_back(rnd1(k));
            v.push_back(rndgau(k));
        }
        std::vector<float> g(30);
        rndvec(k, g, 0.5f);
        v.insert(v.end(), g.begin(), g.end());
        return v;
    };
    std::vector<float> first = draw();
    EXPECT_NE(draw(), first);
    rndini(k);
    EXPECT_EQ(draw(), first);

    // The seeds of state B change state B and nothing drawn.
    k.rnd.ijsd2 = 17;
    k.rnd.klsd2 = 4;
    rndini(k);
    EXPECT_NE(k.rnd.raset2.u, b.u);
    EXPECT_EQ(draw(), first);

    // A copy of the state is a stream of its own: the copy repeats the
    // sequence without advancing the run's stream, and rndvec is rndgau
    // times sqdt in order.
    rndini(k);
    RandomState fork = k.rnd.raset1;
    std::vector<float> from_fork;
    for (int n = 0; n < 500; ++n) {
        from_fork.push_back(fork.uniform());
        from_fork.push_back(fork.gaussian(k.rnd.gtab));
    }
    for (int n = 0; n < 30; ++n) from_fork.push_back(fork.gaussian(k.rnd.gtab) * 0.5f);
    EXPECT_EQ(draw(), from_fork);
    EXPECT_EQ(t.listing().find("didnt"), std::string::npos);
}

TEST(Random, DrawingBeforeSeedingStopsTheRun) {
    auto draws = {+[](Kova& k) { rnd1(k); }, +[](Kova& k) { rndgau(k); },
                  +[](Kova& k) {
                      float g[3];
                      rndvec(k, g, 1.0f);
                  }};
    for (auto f : draws) {
        test::Session t;
        EXPECT_TRUE(t.ends([&] { f(t.k); }));
        EXPECT_EQ(t.status, exit_fatal);
        EXPECT_EQ(t.listing(), " didnt init rnd1 \n");
    }
    // Nothing to draw: no stop.
    test::Session t;
    EXPECT_FALSE(t.ends([&] { rndvec(t.k, {}, 1.0f); }));
}

TEST(Random, UniformRangeIncludesZeroNeverOne) {
    GaussTable g;
    gauss(g);
    // A state whose next draw is exactly 0: the lag difference 0.25 equals
    // the arithmetic sequence's next value.
    RandomState zero(2193, 3283);
    zero.u[97] = 0.25f;
    zero.u[33] = 0.0f;
    zero.ca = zero.cd + 0.25f;
    RandomState z2 = zero;
    EXPECT_EQ(zero.uniform(), 0.0f);
    // A uniform 0 is the far end of the table: -gtab(1000), read within the
    // table.
    EXPECT_EQ(z2.gaussian(g), -g[ngtab]);

    // The largest value: the difference one unit below the sequence's value
    // wraps to 1 - 2**-24.
    RandomState top(2193, 3283);
    top.u[97] = 0.25f;
    top.u[33] = 0.0f;
    top.ca = top.cd + 0.25f + 1.0f / 16777216.0f;
    RandomState t2 = top;
    EXPECT_EQ(top.uniform(), 1.0f - 1.0f / 16777216.0f);
    EXPECT_LT(std::fabs(t2.gaussian(g)), g[ngtab]);
}

TEST(Random, UniformStatistics) {
    // 10**7 draws from the start-up seeds. Bounds are 5 standard deviations
    // of each estimate for independent uniform deviates:
    //   mean:     sqrt(1/12/N)      = 9.1e-5  -> 4.6e-4
    //   variance: sqrt((1/80 - 1/144)/N) = 2.4e-5 -> 1.2e-4
    //   lag-1 correlation: 1/sqrt(N) = 3.2e-4 -> 1.6e-3
    //   chi-square over 1000 equal bins (999 degrees of freedom):
    //             999 +- 5*sqrt(2*999) = 999 +- 224
    constexpr int n = 10000000;
    RandomState r(2193, 3283);
    double s1 = 0, s2 = 0, s11 = 0, lo = 1, hi = 0;
    std::vector<int> bins(1000, 0);
    double prev = r.uniform() - 0.5;
    for (int i = 0; i < n; ++i) {
        float u = r.uniform();
        lo = std::min<double>(lo, u);
        hi = std::max<double>(hi, u);
        ++bins[static_cast<int>(u * 1000.0)];
        double x = u - 0.5;
        s1 += x;
        s2 += x * x;
        s11 += x * prev;
        prev = x;
    }
    double mean = s1 / n, var = s2 / n - mean * mean, cor = (s11 / n - mean * mean) / var;
    EXPECT_GE(lo, 0.0);
    EXPECT_LT(hi, 1.0);
    EXPECT_NEAR(mean, 0.0, 4.6e-4);
    EXPECT_NEAR(var, 1.0 / 12.0, 1.2e-4);
    EXPECT_NEAR(cor, 0.0, 1.6e-3);
    double chi2 = 0, e = n / 1000.0;
    for (int c : bins) chi2 += (c - e) * (c - e) / e;
    EXPECT_NEAR(chi2, 999.0, 224.0);
}

TEST(Random, GaussianTableIsTheNormalQuantileToMidpointAccuracy) {
    GaussTable g;
    gauss(g);
    EXPECT_EQ(g[0], 0.0f);
    for (int i = 1; i <= ngtab; ++i) ASSERT_GT(g[i], g[i - 1]) << i;

    // The midpoint rule for x' = F(x) = sqrt(2 pi) exp(x**2/2) in steps
    // h = 0.0005 falls behind the exact quantile q by, to leading order,
    //   E(q) = h**2/24 * F(q) * integral from 0 to q of F(s) (1 + 5 s**2) ds
    // (local error h**3 F**3 (1 + 5 x**2)/24, carried forward in proportion
    // to F). Up to p = 0.995 the error must be -E to within a quarter of E
    // plus the single-precision rounding of the steps (1e-6); above it, where
    // the step is no longer small against the curvature, the table lies
    // below the quantile by no more than E.
    const double h = 0.0005, c = std::sqrt(2.0 * M_PI);
    auto slope = [c](double s) { return c * std::exp(s * s / 2.0) * (1.0 + 5.0 * s * s); };
    double integral = 0.0, qprev = 0.0;
    for (int i = 1; i < ngtab; ++i) {
        double q = quantile(0.5 + h * i);
        integral += (q - qprev) / 6.0 * (slope(qprev) + 4.0 * slope(0.5 * (qprev + q)) + slope(q));
        qprev = q;
        double e = h * h / 24.0 * c * std::exp(q * q / 2.0) * integral;
        double err = g[i] - q;
        if (i <= 990)
            EXPECT_NEAR(err, -e, 0.25 * e + 1e-6) << "row " << i;
        else
            EXPECT_TRUE(err < 0 && -err <= e) << "row " << i << " error " << err << " bound " << e;
    }
    // The last row stands for the probability 1: finite, past q(0.9995).
    EXPECT_GT(g[ngtab], quantile(0.9995));
    EXPECT_LT(g[ngtab], 4.0f);
}

TEST(Random, GaussianStatistics) {
    // 10**7 draws. The table truncates the normal at gtab(1000) and
    // interpolates linearly, so the moments compared are those of the
    // distribution the table defines, computed from the table. They are near
    // the normal's 1 and 3: the lost tail beyond gtab(1000) and the long
    // last row nearly balance (0.9991 and 2.976). Bounds are 5 standard
    // deviations of each estimate:
    //   mean sqrt(m2/N), second moment sqrt((m4 - m2**2)/N), fourth moment
    //   sqrt((m8 - m4**2)/N).
    GaussTable g;
    gauss(g);
    const double m2 = table_moment(g, 2), m4 = table_moment(g, 4), m8 = table_moment(g, 8);
    EXPECT_NEAR(m2, 1.0, 0.002);
    EXPECT_NEAR(m4, 3.0, 0.05);

    constexpr int n = 10000000;
    RandomState r(2193, 3283);
    double s1 = 0, s2 = 0, s4 = 0, big = 0;
    int negative = 0;
    for (int i = 0; i < n; ++i) {
        double x = r.gaussian(g);
        s1 += x;
        s2 += x * x;
        s4 += x * x * x * x;
        big = std::max(big, std::fabs(x));
        negative += x < 0;
    }
    EXPECT_LE(big, g[ngtab]);
    EXPECT_NEAR(s1 / n, 0.0, 5 * std::sqrt(m2 / n));
    EXPECT_NEAR(s2 / n, m2, 5 * std::sqrt((m4 - m2 * m2) / n));
    EXPECT_NEAR(s4 / n, m4, 5 * std::sqrt((m8 - m4 * m4) / n));
    // The sign: a binomial count, 5 sigma = 5*sqrt(N/4).
    EXPECT_NEAR(negative, n / 2.0, 5 * std::sqrt(n / 4.0));
}

}  // namespace
}  // namespace kova
