// Diffusion tensors of Brownian dynamics and the correlated random
// displacements drawn with them.
#include "bd/hydro.hpp"

#include <algorithm>
#include <cmath>

namespace kova {

HydroModel hydro_model(const MoleculeStore& m, float hifac, float rad1) {
    const UnitStore& u = m.units;
    HydroModel h;
    h.n = std::max(m.nsbtot, 0);
    h.hifac = hifac;
    h.rad1 = rad1;
    for (int i = 0; i < h.n; ++i) {
        h.a[i] = m.sbrad[i + 1];
        h.unit[i] = m.sbunit[i + 1];
    }
    for (int n = 1; n <= maxdfu; ++n) h.himod[n] = u.himod[n], h.hibc[n] = u.hibc[n];
    h.npair = u.nfiun;
    for (int p = 0; p < u.nfiun; ++p) {
        h.pu1[p] = u.iupair1[p + 1];
        h.pu2[p] = u.iupair2[p + 1];
        h.pmod[p] = u.hiiu[p + 1];
        h.pbc[p] = u.hibciu[p + 1];
    }
    return h;
}

void iniqmt(const HydroModel& h, Tensor& t) {
    // Only the block of the model's subunits is ever read.
    const int n3 = 3 * h.n;
    for (int r = 0; r < n3; ++r) std::fill_n(&t.d[r * maxdof], n3, 0.0f);
    for (int i = 0; i < h.n; ++i) {
        const float dii = (1.0f / h.a[i] + 1.0f / h.rad1) * h.hifac / h.hibc[h.unit[i]];
        for (int c = 0; c < 3; ++c) t.at(3 * i + c, 3 * i + c) = dii;
    }
}

bool pair_coefficients(int model, float hifac, float rad1, float bc, float ai, float aj, float dist, float& A,
                       float& B) {
    A = B = 0.0f;
    if (model != 1 && model != 2) return false;
    const float d1 = hifac / (bc * rad1);  // molecule 1 moves both subunits alike
    const float s = ai + aj, r = dist;
    if (model == 1) {
        if (r >= s) {
            A = hifac / r + d1;
            B = hifac / (r * r * r);
        } else {
            A = d1 + hifac / s;
            B = hifac / (r * r * s);
        }
        return false;
    }
    if (r >= s) {
        const float q = (ai * ai + aj * aj) / (r * r);
        A = hifac / r * (1.0f + q / 3.0f) + d1;
        B = hifac / (r * r * r) * (1.0f - q);
        return false;
    }
    A = d1 + (1.0f - 9.0f * r / (16.0f * s)) * 2.0f * hifac / (bc * s);
    B = 3.0f * hifac / (8.0f * bc * s * s * r);
    return ai != aj;
}

namespace {

// Model and boundary factor of the coupling between subunits i < j.
void pair_model(const HydroModel& h, int i, int j, int& model, float& bc) {
    const int ui = h.unit[i], uj = h.unit[j];
    if (ui == uj) {
        model = h.himod[ui];
        bc = h.hibc[ui];
        return;
    }
    for (int p = 0; p < h.npair; ++p)
        if (h.pu1[p] == ui && h.pu2[p] == uj && h.pmod[p] > 0) {
            model = h.pmod[p];
            bc = h.pbc[p];
            return;
        }
    model = 0;
    bc = 0.75f;
}

}  // namespace

int calcq(const HydroModel& h, std::span<const float> pos, std::span<const unsigned char> active, Tensor& t) {
    int unequal = 0;
    for (int i = 0; i < h.n; ++i) {
        if (!active.empty() && !active[i]) continue;
        const float dii = (1.0f / h.a[i] + 1.0f / h.rad1) * h.hifac / h.hibc[h.unit[i]];
        for (int c = 0; c < 3; ++c) t.at(3 * i + c, 3 * i + c) = dii;
        for (int j = i + 1; j < h.n; ++j) {
            if (!active.empty() && !active[j]) continue;
            const float r[3] = {pos[3 * i] - pos[3 * j], pos[3 * i + 1] - pos[3 * j + 1], pos[3 * i + 2] - pos[3 * j + 2]};
            const float dist = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
            int model = 0;
            float bc = 0.75f, A = 0.0f, B = 0.0f;
            pair_model(h, i, j, model, bc);
            if (model != 0 && dist > 0.0f) unequal += pair_coefficients(model, h.hifac, h.rad1, bc, h.a[i], h.a[j], dist, A, B);
            for (int a = 0; a < 3; ++a)
                for (int b = 0; b < 3; ++b) {
                    const float v = (a == b ? A : 0.0f) + B * r[a] * r[b];
                    t.at(3 * i + a, 3 * j + b) = v;
                    t.at(3 * j + b, 3 * i + a) = v;
                }
        }
    }
    return unequal;
}

bool cholesky(Tensor& t, int n3, int* failed_row) {
    float* L = t.l.data();
    for (int j = 0; j < n3; ++j) {
        double s = t.at(j, j);
        const float* lj = L + j * maxdof;
        for (int m = 0; m < j; ++m) s -= double(lj[m]) * lj[m];
        if (!(s > 0.0)) {
            if (failed_row) *failed_row = j;
            return false;
        }
        const double ljj = std::sqrt(s);
        L[j * maxdof + j] = float(ljj);
        for (int i = j + 1; i < n3; ++i) {
            const float* li = L + i * maxdof;
            double v = t.at(i, j);
            for (int m = 0; m < j; ++m) v -= double(li[m]) * lj[m];
            L[i * maxdof + j] = float(v / ljj);
        }
        for (int i = 0; i < j; ++i) L[i * maxdof + j] = 0.0f;
    }
    return true;
}

void calcss(const Tensor& t, int n3, RandomState& rs, const GaussTable& g, float sqdt, std::span<float> out) {
    std::array<float, maxdof> dev;
    for (int k = 0; k < n3; ++k) dev[k] = rs.gaussian(g) * sqdt;
    for (int i = 0; i < n3; ++i) {
        const float* li = t.l.data() + i * maxdof;
        float s = 0.0f;
        for (int k = 0; k <= i; ++k) s += li[k] * dev[k];
        out[i] = s;
    }
}

void clcqsm(const Tensor& t, RandomState& rs, const GaussTable& g, float sqdt, std::span<float> out) {
    const float s = std::sqrt(t.at(0, 0));
    for (int c = 0; c < 3; ++c) out[c] = s * rs.gaussian(g) * sqdt;
}

bool clcqsd(const HydroModel& h, std::span<const float> pos, Tensor& t, RandomState& rs, const GaussTable& g,
            float sqdt, std::span<float> out) {
    const float r[3] = {pos[0] - pos[3], pos[1] - pos[4], pos[2] - pos[5]};
    const float dist = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
    int model = 0;
    float bc = 0.75f, A = 0.0f, B = 0.0f;
    pair_model(h, 0, 1, model, bc);
    bool unequal = false;
    if (model != 0 && dist > 0.0f) unequal = pair_coefficients(model, h.hifac, h.rad1, bc, h.a[0], h.a[1], dist, A, B);
    const float d1 = (1.0f / h.a[0] + 1.0f / h.rad1) * h.hifac / h.hibc[h.unit[0]];
    const float d2 = (1.0f / h.a[1] + 1.0f / h.rad1) * h.hifac / h.hibc[h.unit[1]];
    float c12[3][3];
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) c12[a][b] = (a == b ? A : 0.0f) + B * r[a] * r[b];
    for (int a = 0; a < 6; ++a)
        for (int b = 0; b < 6; ++b) t.at(a, b) = 0.0f;
    for (int c = 0; c < 3; ++c) t.at(c, c) = d1, t.at(3 + c, 3 + c) = d2;
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) t.at(a, 3 + b) = t.at(3 + b, a) = c12[a][b];

    // Schur complement d2*I - D12^T D12/d1 and its 3x3 Cholesky factor.
    const double r2 = double(r[0]) * r[0] + double(r[1]) * r[1] + double(r[2]) * r[2];
    const double rr = 2.0 * A * B + double(B) * B * r2;
    double s[3][3], l[3][3] = {};
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) s[a][b] = (a == b ? d2 - double(A) * A / d1 : 0.0) - rr * r[a] * r[b] / d1;
    for (int j = 0; j < 3; ++j) {
        double v = s[j][j];
        for (int m = 0; m < j; ++m) v -= l[j][m] * l[j][m];
        l[j][j] = std::sqrt(std::max(v, 0.0));
        for (int i = j + 1; i < 3; ++i) {
            double w = s[i][j];
            for (int m = 0; m < j; ++m) w -= l[i][m] * l[j][m];
            l[i][j] = l[j][j] > 0.0 ? w / l[j][j] : 0.0;
        }
    }
    float g1[3], g2[3];
    for (int c = 0; c < 3; ++c) g1[c] = rs.gaussian(g) * sqdt;
    for (int c = 0; c < 3; ++c) g2[c] = rs.gaussian(g) * sqdt;
    const float sd1 = std::sqrt(d1);
    for (int c = 0; c < 3; ++c) out[c] = sd1 * g1[c];
    for (int a = 0; a < 3; ++a) {
        double v = 0.0;
        for (int b = 0; b < 3; ++b) v += double(c12[b][a]) * g1[b] / sd1 + l[a][b] * g2[b];
        out[3 + a] = float(v);
    }
    return unequal;
}

}  // namespace kova
