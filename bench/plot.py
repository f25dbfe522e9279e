#!/usr/bin/env python3
"""Plots calls per second against the number of threads for the three
clients, from the CSV that zelvo_bench --csv writes; or, from the CSV of
zelvo_queue_bench --csv, the send queue's messages per second against the
number of runner processes on PostgreSQL, beside SQLite with one runner and
the bare loops of sends.

    python3 bench/plot.py scaling.csv scaling.png ["machine description"]
    python3 bench/plot.py queue.csv queue.png ["machine description"]
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
    fig, ax = plt.subplots(figsize=(7, 4.5), dpi=100)
    title = queue(rows, ax) if "engine" in rows[0] else clients(rows, ax)
    if len(sys.argv) > 3:
        title += "\n" + sys.argv[3]
    ax.set_ylim(bottom=0)
    ax.grid(True, alpha=0.3)
    ax.legend(fontsize=8)
    ax.set_title(title, fontsize=9)
    fig.tight_layout()
    fig.savefig(sys.argv[2])
    return 0


def clients(rows, ax):
    threads = [int(r["threads"]) for r in rows]
    for key, label, style in [("sendSMS2", "sendSMS2 (libzelvonet)", "o-"),
                              ("raw", "raw socket (floor)", "s--"),
                              ("libcurl", "libcurl", "^-.")]:
        ax.plot(threads, [float(r[key]) for r in rows], style, label=label)
    ax.set_xlabel("client threads")
    ax.set_ylabel("calls per second")
    ax.set_xticks(threads)
    return "One send per new loopback connection, peer answers at once"


def queue(rows, ax):
    rate = {(r["engine"], int(r["runners"])): float(r["messages_per_second"]) for r in rows}
    pg = sorted((n, v) for (e, n), v in rate.items() if e == "postgresql")
    if pg:
        ax.plot([n for n, _ in pg], [v for _, v in pg], "o-", label="PostgreSQL, 4 workers per runner")
    for key, label, style in [(("sqlite", 1), "SQLite, 1 runner, 4 workers", "--"),
                              (("bare4", 1), "bare loop of sends, 4 threads", ":"),
                              (("bare1", 1), "bare loop of sends, 1 thread", "-.")]:
        if key in rate:
            ax.axhline(rate[key], linestyle=style, color="gray" if "bare" in label else "C1", label=label)
    ax.set_xlabel("runner processes")
    ax.set_ylabel("messages per second")
    ax.set_xticks([n for n, _ in pg] or [1])
    return "zelvo-queue end to end through zelvo-gateway (outbox forced to disk)"


if __name__ == "__main__":
    sys.exit(main())
