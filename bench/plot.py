#!/usr/bin/env python3
"""Plots calls per second against the number of threads for the three
clients, from the CSV that zelvo_bench --csv writes.

    python3 bench/plot.py scaling.csv scaling.png ["machine description"]
"""
import csv
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    rows = list(csv.DictReader(open(sys.argv[1])))
    threads = [int(r["threads"]) for r in rows]
    fig, ax = plt.subplots(figsize=(7, 4.5), dpi=100)
    for key, label, style in [("sendSMS2", "sendSMS2 (libzelvonet)", "o-"),
                              ("raw", "raw socket (floor)", "s--"),
                              ("libcurl", "libcurl", "^-.")]:
        ax.plot(threads, [float(r[key]) for r in rows], style, label=label)
    ax.set_xlabel("client threads")
    ax.set_ylabel("calls per second")
    ax.set_xticks(threads)
    ax.set_ylim(bottom=0)
    ax.grid(True, alpha=0.3)
    ax.legend()
    title = "One send per new loopback connection, peer answers at once"
    if len(sys.argv) > 3:
        title += "\n" + sys.argv[3]
    ax.set_title(title, fontsize=9)
    fig.tight_layout()
    fig.savefig(sys.argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main())
