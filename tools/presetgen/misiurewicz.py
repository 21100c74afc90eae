#!/usr/bin/env python3
"""Exact centres for the deep factory presets: Misiurewicz points of the Mandelbrot set.

A Misiurewicz point c is where the orbit of 0 under z -> z^2 + c becomes periodic after a few steps
(z_{k+p} = z_k). Its neighbourhood is self-similar, so a view centred on it shows the same spiral or
branch at every depth. Each point is refined by Newton's method from a rough seed at 400 digits and
printed with 130 decimals (more than a view at 1e110 needs).

  python3 tools/presetgen/misiurewicz.py SEED_RE SEED_IM [MAX_PREPERIOD] [MAX_PERIOD] [RADIUS]
"""
import sys
from mpmath import mp, mpc, mpf, nstr

mp.dps = 400


def orbit_and_derivative(c, n):
    z, dz = mpc(0), mpc(0)
    zs, dzs = [z], [dz]
    for _ in range(n):
        dz = 2 * z * dz + 1
        z = z * z + c
        zs.append(z)
        dzs.append(dz)
    return zs, dzs


def newton(c, k, p, steps=200):
    for _ in range(steps):
        zs, dzs = orbit_and_derivative(c, k + p)
        g = zs[k + p] - zs[k]
        dg = dzs[k + p] - dzs[k]
        if dg == 0:
            return None
        step = g / dg
        c = c - step
        if abs(step) < mpf(10) ** -390:
            return c
        if abs(c) > 3:
            return None
    return None


def strictly_preperiodic(c, k, p):
    zs, _ = orbit_and_derivative(c, k + p)
    tol = mpf(10) ** -300
    if abs(zs[k + p] - zs[k]) > tol:
        return False
    # z_{k-1+p} != z_{k-1}: the preperiod is exactly k.
    return k == 0 or abs(zs[k - 1 + p] - zs[k - 1]) > mpf(10) ** -50


def decimal(x, digits=130):
    """Plain decimal text with `digits` fraction digits, the form BigFixed reads."""
    scaled = int(mp.nint(abs(x) * mpf(10) ** digits))
    text = str(scaled).rjust(digits + 1, "0")
    return ("-" if x < 0 else "") + text[:-digits] + "." + text[-digits:]


def main():
    seed = mpc(mpf(sys.argv[1]), mpf(sys.argv[2]))
    max_k = int(sys.argv[3]) if len(sys.argv) > 3 else 30
    max_p = int(sys.argv[4]) if len(sys.argv) > 4 else 4
    radius = mpf(sys.argv[5]) if len(sys.argv) > 5 else mpf(10) ** -6
    for p in range(1, max_p + 1):
        for k in range(1, max_k + 1):
            c = newton(seed, k, p)
            if c is None or abs(c - seed) > radius or not strictly_preperiodic(c, k, p):
                continue
            zs, dzs = orbit_and_derivative(c, k + p)
            multiplier = mpc(1)
            for z in zs[k:k + p]:
                multiplier *= 2 * z
            print(f"M_{{{k},{p}}} |multiplier| {nstr(abs(multiplier), 8)}")
            print("  x", decimal(c.real))
            print("  y", decimal(c.imag))
            return
    print("no Misiurewicz point found near the seed", file=sys.stderr)
    sys.exit(1)


main()
