#!/usr/bin/python3
"""Effective distances of the finite-difference Coulomb interaction.

The seven-point finite-difference Laplacian on an infinite cubic lattice has
the Green's function

    G(u, v, w) = int_0^inf exp(-6t) I_u(2t) I_v(2t) I_w(2t) dt,

(I_n the modified Bessel functions), the potential at lattice offset
(u, v, w) of a unit source when the operator is 6 phi_0 - sum of the six
neighbours. The effective distance d of that offset is the one whose
continuum Coulomb interaction 1/(4 pi d) equals G: d = 1/(4 pi G).

This script computes d for every offset u >= v >= w >= 0 with u <= 10 (286
values, ordered by u(u+1)(u+2)/6 + v(v+1)/2 + w) and writes them as a C++
table to src/elec/deff_table.inc. Run it with Debian's python3 and
python3-numpy:   /usr/bin/python3 tools/lattice/gen_deff.py

These are the infinite-lattice values, stable to 8 digits under doubling of
every resolution below (G(0,0,0) = 0.2527310099, Watson's constant over 2).
Tables computed on finite lattices differ from them by up to a few parts in
1e4 at the largest offsets (e.g. 0.31487563 rather than 0.31487023 at the
origin): a choice the finite-difference Coulomb energy has to make.

Numerics: e^-x I_n(x) = (1/pi) int_0^pi exp(x (cos q - 1)) cos(n q) dq by the
trapezoidal rule (spectrally accurate for this periodic integrand); the
t-integral by Gauss-Legendre panels up to T, and beyond T by integrating the
asymptotic expansion of the three Bessel factors term by term.
"""
import math
import os

import numpy as np

NMAX = 10
T = 2000.0  # x = 2t up to 4000


def scaled_bessel(x, nq=8192):
    """e^-x I_n(x) for n = 0..NMAX at the points x (array): shape (len(x), NMAX+1)."""
    q = np.linspace(0.0, math.pi, nq + 1)
    w = np.full(nq + 1, math.pi / nq)
    w[0] = w[-1] = 0.5 * math.pi / nq
    e = np.exp(np.outer(x, np.cos(q) - 1.0))  # (len(x), nq+1)
    c = np.cos(np.outer(np.arange(NMAX + 1), q))  # (NMAX+1, nq+1)
    return (e * w) @ c.T / math.pi


def gauss_panels(a, b, panels, order=40, log=False):
    xg, wg = np.polynomial.legendre.leggauss(order)
    nodes, weights = [], []
    lo, hi = (math.log(a), math.log(b)) if log else (a, b)
    edges = np.linspace(lo, hi, panels + 1)
    for p in range(panels):
        s = 0.5 * (edges[p + 1] - edges[p]) * xg + 0.5 * (edges[p + 1] + edges[p])
        ws = 0.5 * (edges[p + 1] - edges[p]) * wg
        if log:
            t = np.exp(s)
            nodes.append(t)
            weights.append(ws * t)
        else:
            nodes.append(s)
            weights.append(ws)
    return np.concatenate(nodes), np.concatenate(weights)


def asymptotic_coefficients(n, terms):
    """e^-x I_n(x) ~ (2 pi x)^-1/2 sum_k c_k x^-k."""
    mu = 4.0 * n * n
    c = [1.0]
    for k in range(1, terms):
        c.append(-c[-1] * (mu - (2 * k - 1) ** 2) / (k * 8.0))
    return c


def green():
    t1, w1 = gauss_panels(0.0, 1.0, 4)
    t2, w2 = gauss_panels(1.0, T, 40, log=True)
    t = np.concatenate([t1, t2])
    w = np.concatenate([w1, w2])
    f = scaled_bessel(2.0 * t)
    terms = 6
    asym = [asymptotic_coefficients(n, terms) for n in range(NMAX + 1)]
    X = 2.0 * T
    table = {}
    for u in range(NMAX + 1):
        for v in range(u + 1):
            for ww in range(v + 1):
                inner = float(np.sum(w * f[:, u] * f[:, v] * f[:, ww]))
                # Tail: (1/2) int_X^inf (2 pi x)^-3/2 prod(series) dx.
                prod = np.polymul(np.polymul(asym[u][::-1], asym[v][::-1]), asym[ww][::-1])[::-1]
                tail = 0.0
                for m, cm in enumerate(prod[: 2 * terms]):
                    tail += cm * X ** (-(m + 0.5)) / (m + 0.5)
                tail *= 0.5 * (2.0 * math.pi) ** -1.5
                table[(u, v, ww)] = inner + tail
    return table


def main():
    g = green()
    values = []
    for u in range(NMAX + 1):
        for v in range(u + 1):
            for w in range(v + 1):
                values.append(1.0 / (4.0 * math.pi * g[(u, v, w)]))
    assert len(values) == 286
    here = os.path.dirname(os.path.abspath(__file__))
    out = os.path.join(here, "..", "..", "src", "elec", "deff_table.inc")
    with open(out, "w") as f:
        f.write("// Effective distances of the lattice Coulomb interaction, offsets u >= v >= w >= 0,\n")
        f.write("// u <= 10, index u(u+1)(u+2)/6 + v(v+1)/2 + w. Written by tools/lattice/gen_deff.py.\n")
        for i in range(0, 286, 4):
            f.write("    " + " ".join("%.8ef," % x for x in values[i:i + 4]) + "\n")
    print("G(0,0,0) =", g[(0, 0, 0)], " G(1,0,0) =", g[(1, 0, 0)], " G(1,1,0) =", g[(1, 1, 0)],
          " G(1,1,1) =", g[(1, 1, 1)])
    for key in [(0, 0, 0), (1, 0, 0), (1, 1, 0), (1, 1, 1), (2, 0, 0), (3, 0, 0), (5, 0, 0), (10, 0, 0), (10, 10, 10)]:
        u, v, w = key
        print(key, "%.8f" % values[u * (u + 1) * (u + 2) // 6 + v * (v + 1) // 2 + w])


if __name__ == "__main__":
    main()
