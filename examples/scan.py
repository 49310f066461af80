#!/usr/bin/env python3
"""Run one mass scan and save it as an SVG plot.

    python3 examples/scan.py --sim                    # the simulated instrument, scan.svg
    python3 examples/scan.py --from 1000 --to 60000 --time 500 --plot spectrum.svg
"""
import argparse
import sys

import numpy as np
import zyl


def svg(positions, counts, title):
    """A self-contained SVG line plot with labelled axes (no plotting library needed)."""
    w, h, left, right, top, bottom = 900, 420, 84, 20, 30, 50
    x0, x1 = float(positions[0]), float(max(positions[-1], positions[0] + 1))
    peak = max(int(counts.max()), 1)
    px = left + (positions - x0) / (x1 - x0) * (w - left - right)
    py = h - bottom - counts / peak * (h - top - bottom)
    ticks = []
    for t in range(5):
        x, y = x0 + (x1 - x0) * t / 4, peak * t / 4
        ticks.append(f'<text x="{left + t / 4 * (w - left - right):.1f}" y="{h - bottom + 18}" '
                     f'text-anchor="middle">{x:.0f}</text>')
        ticks.append(f'<text x="{left - 6}" y="{h - bottom - t / 4 * (h - top - bottom) + 4:.1f}" '
                     f'text-anchor="end">{y:.0f}</text>')
    points = " ".join(f"{a:.1f},{b:.1f}" for a, b in zip(px, py))
    return "\n".join([
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{w}" height="{h}" '
        'font-family="sans-serif" font-size="12">',
        '<rect width="100%" height="100%" fill="white"/>',
        f'<text x="{left}" y="18">{title}</text>',
        f'<line x1="{left}" y1="{h - bottom}" x2="{w - right}" y2="{h - bottom}" stroke="black"/>',
        f'<line x1="{left}" y1="{top}" x2="{left}" y2="{h - bottom}" stroke="black"/>',
        *ticks,
        f'<text x="{(left + w - right) / 2}" y="{h - 8}" text-anchor="middle">scan position</text>',
        f'<text transform="translate(16,{(top + h - bottom) / 2}) rotate(-90)" '
        'text-anchor="middle">counts</text>',
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
