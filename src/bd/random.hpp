// Random numbers: the universal uniform generator of Marsaglia, Zaman and
// Tsang (a lagged Fibonacci sequence combined with an arithmetic sequence),
// kept in single precision, and Gaussian deviates read off an inverse-normal
// table by linear interpolation.
//
// The generator state is a plain value: copy it to fork a stream, seed a
// fresh one for an independent stream. The run state holds the process-wide
// stream that every stochastic command draws from; the draws on the run
// state stop the run when that stream was never seeded, the draws on a value
// do no I/O and may run on any thread.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <span>

namespace kova {

struct Kova;

// The Gaussian table: gtab(i), i = 0..1000, is the standard normal quantile
// at probability 0.5 + 0.0005*i (gtab(0) = 0).
constexpr int ngtab = 1000;
using GaussTable = std::array<float, ngtab + 1>;

// One uniform generator (the stores raset1 and raset2).
struct RandomState {
    std::array<float, 98> u{};  // u(1..97), multiples of 2**-24 in [0, 1)
    float ca = 0, cd = 0, cm = 0;
    // Lag positions; valid even before seeding, so that drawing from an
    // unseeded state reads only u(1..97).
    int i97 = 97, j97 = 33;
    bool ready = false;

    RandomState() = default;
    RandomState(int ij, int kl) { seed(ij, kl); }

    // Seeds the state from the pair (ij, kl) (rndin1 for state A, rndin2 for
    // state B). Valid ranges 0 < ij < 31328, 0 < kl < 30081; the arithmetic
    // runs for any integers.
    void seed(int ij, int kl);

    // The next uniform deviate in [0, 1) (rnd1's recurrence). Every value is
    // a multiple of 2**-24, so each subtraction below is exact in single
    // precision. Assumes ready (an unseeded state yields zeros).
    float uniform() noexcept {
        float uni = u[i97] - u[j97];
        uni = wrap(uni, 1.0f);
        u[i97] = uni;
        if (--i97 == 0) i97 = 97;
        if (--j97 == 0) j97 = 97;
        ca -= cd;
        if (ca < 0.0f) ca += cm;  // a regular pattern: the branch predicts well
        return wrap(uni - ca, 1.0f);
    }

    // x, plus m when x is negative. A mask rather than a branch: the sign of
    // a lag difference is random, and a mispredicted branch costs more than
    // the whole draw. Adding 0 changes no value here (no difference of the
    // recurrence is -0).
    static float wrap(float x, float m) noexcept {
        std::uint32_t mask = 0u - static_cast<std::uint32_t>(x < 0.0f);
        return x + std::bit_cast<float>(std::bit_cast<std::uint32_t>(m) & mask);
    }

    // A standard normal deviate from table g (rndgau's interpolation).
    float gaussian(const GaussTable& g) noexcept {
        float s = 1000.0f * (2.0f * uniform() - 1.0f);
        float a = std::fabs(s);
        int b = static_cast<int>(a) + 1;
        // a reaches 1000 only for a uniform deviate of exactly 0: its value
        // is the end of the table (the interpolation weight of a row past
        // the end would be 0).
        float v = b > ngtab ? g[ngtab] : g[b - 1] + (g[b] - g[b - 1]) * (a - static_cast<float>(b) + 1.0f);
        return std::copysign(v, s);  // negative below the median (s is never -0)
    }

    // Fills out with Gaussian deviates times sqdt, in order.
    void gaussians(const GaussTable& g, std::span<float> out, float sqdt) noexcept {
        for (float& x : out) x = gaussian(g) * sqdt;
    }
};

// Builds the Gaussian table (gauss): integrates dx/dp = sqrt(2 pi) exp(x**2/2)
// from x(0.5) = 0 in steps of 0.0005 by the midpoint rule.
void gauss(GaussTable& gtab);

// The process-wide random numbers of the run: generator state A (drawn
// from), state B (seeded, never drawn from), the Gaussian table and the four
// seeds of the environment.
struct RandomStore {
    RandomState raset1;
    RandomState raset2;
    GaussTable gtab{};
    int ijsd1 = 0, klsd1 = 0;  // seed state A
    int ijsd2 = 0, klsd2 = 0;  // seed state B
};

// Seeds state A from (ijsd1, klsd1) and state B from (ijsd2, klsd2), then
// builds the Gaussian table. Re-seeding restarts the sequence.
void rndini(Kova& k);

// Draws from the process-wide stream. Drawing before it was seeded writes
// "didnt init rnd1 " and ends the run.
float rnd1(Kova& k);
float rndgau(Kova& k);
// Fills g (3N values) with Gaussian deviates times sqdt.
void rndvec(Kova& k, std::span<float> g, float sqdt);

}  // namespace kova
