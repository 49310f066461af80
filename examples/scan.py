#!/usr/bin/env python3
"""Run one mass scan and save it as an SVG plot.

    python3 examples/scan.py --sim                    # the simulated instrument, scan.svg
    python3 examples/scan.py --from 1000 --to 60000 --time 500 --plot spectrum.svg
"""
import argparse
import sys

import numpy as np
import zyl


def round_ticks(lo, hi, wanted=6):
    """Round tick values (1, 2 or 5 times a power of ten apart) from lo to hi."""
    raw = (hi - lo) / wanted
    power = 10 ** np.floor(np.log10(raw)) if raw > 0 else 1
    step = next(m * power for m in (1, 2, 5, 10) if m * power >= raw)
    return np.arange(np.ceil(lo / step) * step, hi + step / 1e9, step)


def svg(positions, counts, title):
    """A self-contained SVG line plot with labelled axes (no plotting library needed)."""
    w, h, left, right, top, bottom = 900, 420, 84, 20, 30, 50
    x0, x1 = float(positions[0]), float(max(positions[-1], positions[0] + 1))
    peak = max(float(counts.max()), 1.0)
    sx = lambda x: left + (x - x0) / (x1 - x0) * (w - left - right)
    sy = lambda y: h - bottom - y / peak * (h - top - bottom)
    ticks = []
    for x in round_ticks(x0, x1):
        ticks.append(f'<line x1="{sx(x):.1f}" y1="{top}" x2="{sx(x):.1f}" y2="{h - bottom + 5}" '
                     'stroke="#e4e4e4"/>')
        ticks.append(f'<text x="{sx(x):.1f}" y="{h - bottom + 18}" text-anchor="middle">{x:.0f}</text>')
    for y in round_ticks(0, peak, 5):
        ticks.append(f'<line x1="{left - 5}" y1="{sy(y):.1f}" x2="{w - right}" y2="{sy(y):.1f}" '
                     'stroke="#e4e4e4"/>')
        ticks.append(f'<text x="{left - 8}" y="{sy(y) + 4:.1f}" text-anchor="end">{y:.0f}</text>')
    points = " ".join(f"{sx(a):.1f},{sy(b):.1f}" for a, b in zip(positions, counts))
    return "\n".join([
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{w}" height="{h}" '
        'font-family="sans-serif" font-size="12">',
        '<rect width="100%" height="100%" fill="white"/>',
        f'<text x="{left}" y="18">{title}</text>',
        *ticks,
        f'<line x1="{left}" y1="{h - bottom}" x2="{w - right}" y2="{h - bottom}" stroke="black"/>',
        f'<line x1="{left}" y1="{top}" x2="{left}" y2="{h - bottom}" stroke="black"/>',
        f'<text x="{(left + w - right) / 2}" y="{h - 8}" text-anchor="middle">'
        "scan position (fraction of the full sweep, 0-65535)</text>",
        f'<text transform="translate(16,{(top + h - bottom) / 2}) rotate(-90)" '
        'text-anchor="middle">ion counts per point</text>',
        f'<polyline fill="none" stroke="#1f5fa8" stroke-width="1" points="{points}"/>',
        "</svg>\n",
    ])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", action="store_true", help="use the simulated instrument")
    parser.add_argument("--from", dest="start", type=int, default=1000)
    parser.add_argument("--to", dest="end", type=int, default=60000)
    parser.add_argument("--time", type=int, default=500, help="scan time in ms")
    parser.add_argument("--plot", default="scan.svg", help="the SVG file to write")
    args = parser.parse_args()

    with zyl.Instrument(sim=args.sim) as inst:
        if not inst.connected:
            sys.exit("no instrument answered; connect one or use --sim")
        counts = inst.scan(args.start, args.end, args.time)
    n = len(counts)
    positions = args.start + (args.end - args.start) * np.arange(n) / max(n, 1)
    title = f"scan {args.start} to {args.end} in {args.time} ms, {n} points"
    with open(args.plot, "w") as out:
        out.write(svg(positions, counts.astype(float), title))
    top = int(counts.argmax())
    print(f"{n} points, largest peak {counts[top]} counts at position {positions[top]:.0f}; "
          f"plot in {args.plot}")


if __name__ == "__main__":
    main()
