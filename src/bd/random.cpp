#include "bd/random.hpp"

#include <cmath>
#include <string_view>

#include "command/kova.hpp"
#include "command/output.hpp"
#include "fortio/format.hpp"

namespace kova {

void RandomState::seed(int ij, int kl) {
    // Four small lagged sequences (three multiplicative mod 179, one linear
    // congruential mod 169) give the 24 bits of each of the 97 lag values.
    int i = (ij / 177) % 177 + 2;
    int j = ij % 177 + 2;
    int k = (kl / 169) % 178 + 1;
    int l = kl % 169;
    for (int n = 1; n <= 97; ++n) {
        float s = 0.0f, t = 0.5f;
        for (int bit = 1; bit <= 24; ++bit) {
            int m = (((i * j) % 179) * k) % 179;
            i = j;
            j = k;
            k = m;
            l = (53 * l + 1) % 169;
            if ((l * m) % 64 >= 32) s += t;
            t *= 0.5f;
        }
        u[n] = s;
    }
    // The arithmetic sequence: start, step and modulus as multiples of 2**-24.
    ca = 362436.0f / 16777216.0f;
    cd = 7654321.0f / 16777216.0f;
    cm = 16777213.0f / 16777216.0f;
    i97 = 97;
    j97 = 33;
    ready = true;
}

void gauss(GaussTable& gtab) {
    const float pi = 3.14159265f;
    // Probability step 0.0005 times the constant factor sqrt(2 pi) of the slope.
    const float ds = 0.0005f * std::sqrt(2.0f * pi);
    gtab[0] = 0.0f;
    for (int i = 1; i <= ngtab; ++i) {
        float g = gtab[i - 1];
        float f = g + (ds / 2.0f) * std::exp(g * g / 2.0f);  // half step
        gtab[i] = g + ds * std::exp(f * f / 2.0f);           // full step with the midpoint slope
    }
}

void rndini(Kova& k) {
    RandomStore& r = k.rnd;
    r.raset1.seed(r.ijsd1, r.klsd1);  // rndin1
    r.raset2.seed(r.ijsd2, r.klsd2);  // rndin2
    gauss(r.gtab);
}

namespace {
// The process-wide stream was never seeded: say so and stop.
[[noreturn, gnu::cold, gnu::noinline]] void unseeded(Kova& k) {
    k.units.write(fortio::UnitTable::stdout_unit, fortio::list_write({std::string_view("didnt init rnd1 ")}));
    endrun(k, exit_fatal);
}
}  // namespace

float rnd1(Kova& k) {
    if (!k.rnd.raset1.ready) unseeded(k);
    return k.rnd.raset1.uniform();
}

float rndgau(Kova& k) {
    if (!k.rnd.raset1.ready) unseeded(k);
    return k.rnd.raset1.gaussian(k.rnd.gtab);
}

void rndvec(Kova& k, std::span<float> g, float sqdt) {
    if (g.empty()) return;
    if (!k.rnd.raset1.ready) unseeded(k);
    k.rnd.raset1.gaussians(k.rnd.gtab, g, sqdt);
}

}  // namespace kova
