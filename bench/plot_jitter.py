"""Plots the inter-frame intervals of paced sends next to the ideal loop."""
import csv
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main(source, target):
    index, paced, ideal = [], [], []
    with open(source, newline="") as f:
        for row in csv.DictReader(f):
            index.append(int(row["index"]))
            paced.append(float(row["paced_ms"]))
            ideal.append(float(row["ideal_ms"]))
    fig, ax = plt.subplots(figsize=(9, 4), dpi=100)
    ax.plot(index, paced, linewidth=0.8, label="paced sends")
    ax.plot(index, ideal, linewidth=0.8, label="ideal sleep loop")
    ax.axhline(1001 / 30, color="grey", linewidth=0.5, linestyle="--", label="33.367 ms")
    ax.set_xlabel("frame")
    ax.set_ylabel("interval (ms)")
    ax.set_title("Inter-frame intervals at 30000/1001")
    ax.legend(loc="upper right")
    fig.tight_layout()
    fig.savefig(target)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
