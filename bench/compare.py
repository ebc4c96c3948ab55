"""Side by side: quorlin's ratio to each peer in two result files of bench/run.py.

    python bench/compare.py bench/results/before.json bench/results/latest.json

Prints a markdown table, one row per workload and quorlin contender, with the primary metric's
ratio quorlin/peer in each file (for a "higher is better" metric above 1 is ahead, otherwise
below 1 is ahead).
"""

import json
import sys


def ratios(results):
    table = {}
    for workload, data in results.items():
        metric, medians = data["metric"], data["medians"]
        peers = [c for c in medians if not c.startswith("quorlin")]
        for contender in (c for c in medians if c.startswith("quorlin")):
            for peer in peers:
                value, base = medians[contender][metric], medians[peer][metric]
                table[(workload, metric, data["higher_better"], contender, peer)] = value / base if base else None
    return table


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    before, after = (ratios(json.load(open(path))) for path in sys.argv[1:])
    print("| workload | metric | quorlin | peer | before | after |")
    print("|---|---|---|---|---|---|")
    for key in sorted(set(before) | set(after), key=lambda k: (k[0], k[3], k[4])):
        workload, metric, higher_better, contender, peer = key
        cells = []
        for table in (before, after):
            ratio = table.get(key)
            cells.append("—" if ratio is None else f"{ratio:.2f}x")
        better = "higher" if higher_better else "lower"
        print(f"| {workload} | {metric} ({better} is better) | {contender} | {peer} | {cells[0]} | {cells[1]} |")


if __name__ == "__main__":
    main()
