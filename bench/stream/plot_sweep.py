#!/usr/bin/python3
"""Draws the sweep of `bench_stream --sweep` as two heat maps, library / raw loop for throughput
and for host CPU per GiB, over transfer size and transfers in flight.

Usage: bench_stream 2 3 --sweep | bench/stream/plot_sweep.py OUT.png
Needs Debian's python3-matplotlib."""
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

cells = {}
for line in sys.stdin:
    if line.startswith("sweep_cell:"):
        size, depth, _, _, tput, _, _, cpu = line.split()[1:9]
        cells[(int(size), int(depth))] = (float(tput), float(cpu))
if not cells:
    sys.exit("no sweep_cell lines on standard input (run bench_stream with --sweep)")
sizes = sorted({s for s, _ in cells})
depths = sorted({d for _, d in cells})

fig, axes = plt.subplots(1, 2, figsize=(11, 4.2))
for ax, index, title in ((axes[0], 0, "throughput, library / raw loop"),
                         (axes[1], 1, "host CPU per GiB, library / raw loop")):
    grid = [[cells.get((s, d), (float("nan"),) * 2)[index] for s in sizes] for d in depths]
    image = ax.imshow(grid, cmap="RdYlGn" if index == 0 else "RdYlGn_r", vmin=0.5, vmax=1.5,
                      origin="lower", aspect="auto")
    for y, d in enumerate(depths):
        for x, s in enumerate(sizes):
            if (s, d) in cells:
                ax.text(x, y, f"{cells[(s, d)][index]:.2f}", ha="center", va="center", fontsize=9)
    ax.set_xticks(range(len(sizes)), [f"{s} KiB" for s in sizes])
    ax.set_yticks(range(len(depths)), [str(d) for d in depths])
    ax.set_xlabel("transfer size")
    ax.set_ylabel("transfers in flight per endpoint")
    ax.set_title(title)
    fig.colorbar(image, ax=ax)
fig.tight_layout()
fig.savefig(sys.argv[1] if len(sys.argv) > 1 else "sweep.png", dpi=100)
