"""quorlin's benchmark suite: each contender and workload in a fresh process, rounds alternated,
medians and the quorlin/peer ratio side by side.

    python bench/run.py [--rounds 5] [--scale 1.0] [--only W1,W2]

Writes bench/results/latest.md, latest.json and latest.png.  Wall time, CPU time, voluntary context
switches and peak memory come from the child's own resource usage.
"""

import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"

# workload -> (primary metric, True if higher is better, contenders)
PLAN = {
    "W1": ("tasks_per_s", True, ["quorlin-1", "quorlin-2", "asyncio-1", "asyncio-2", "uvloop-2", "trio-1"]),
    "W2": ("p50_us", False, ["quorlin-1", "quorlin-2", "asyncio-1", "uvloop-1", "trio-1"]),
    "W3": ("cpu_s", False, ["quorlin-1", "quorlin-2", "asyncio-1", "uvloop-1"]),
    "W4": ("wall_s", False, ["quorlin-1", "quorlin-2", "asyncio-1", "asyncio-2"]),
    "W4-shared": ("wall_s", False, ["quorlin-2", "asyncio-1", "asyncio-2"]),
    "W5": ("round_trips_per_s", True, ["quorlin-1", "quorlin-2", "asyncio-1", "uvloop-1"]),
    "W5-1KiB": ("round_trips_per_s", True, ["quorlin-2", "asyncio-1", "uvloop-1"]),
    "W5-1conn": ("round_trips_per_s", True, ["quorlin-1", "quorlin-2", "asyncio-1", "uvloop-1"]),
    "W6": ("round_trip_p50_us", False, ["quorlin-2", "asyncio-1"]),
    "W7": ("requests_per_s", True, ["quorlin-2", "asyncio-1", "uvloop-1"]),
    "W8": ("rest_cpu_ms", False, ["quorlin-2", "asyncio-1"]),
}


def available(contender):
    family = contender.partition("-")[0]
    if family in ("quorlin", "asyncio"):
        return True
    try:
        __import__(family)
        return True
    except ImportError:
        return False


def run_with_usage(workload, contender, scale):
    """Runs one workload in a fresh process; returns its metrics plus its own resource usage."""
    import tempfile

    with tempfile.TemporaryFile(mode="w+") as errors:
        start = time.perf_counter()
        process = subprocess.Popen(
            [sys.executable, str(HERE / "workloads.py"), workload, contender, "--scale", str(scale)],
            stdout=subprocess.PIPE,
            stderr=errors,
            text=True,
        )
        out = process.stdout.read()
        _, status, usage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(status)
        wall = time.perf_counter() - start
        if process.returncode != 0:
            errors.seek(0)
            raise RuntimeError(f"{workload} {contender} failed:\n{errors.read()[-3000:]}")
    metrics = json.loads(out.strip().splitlines()[-1])
    metrics["wall_total_s"] = wall
    metrics["cpu_s"] = usage.ru_utime + usage.ru_stime
    metrics["voluntary_switches"] = usage.ru_nvcsw
    metrics["peak_rss_mb"] = usage.ru_maxrss / 1024
    return metrics


def median_metrics(samples):
    keys = samples[0].keys()
    return {key: statistics.median(sample[key] for sample in samples) for key in keys}


def ratio_text(value, peer, higher_better):
    if not peer or value != value or peer != peer:
        return "n/a"
    ratio = value / peer
    ahead = ratio > 1 if higher_better else ratio < 1
    return f"{ratio:.2f}x {'(ahead)' if ahead else '(behind)'}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--only", default="")
    options = parser.parse_args()
    only = [w for w in options.only.split(",") if w]
    plan = {w: spec for w, spec in PLAN.items() if not only or w in only}

    results = {}
    for workload, (metric, higher_better, contenders) in plan.items():
        contenders = [c for c in contenders if available(c)]
        samples = {c: [] for c in contenders}
        for round_index in range(options.rounds):
            order = contenders if round_index % 2 == 0 else list(reversed(contenders))
            for contender in order:
                samples[contender].append(run_with_usage(workload, contender, options.scale))
            print(f"{workload}: round {round_index + 1}/{options.rounds} done", file=sys.stderr)
        results[workload] = {
            "metric": metric,
            "higher_better": higher_better,
            "medians": {c: median_metrics(s) for c, s in samples.items()},
        }

    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "latest.json").write_text(json.dumps(results, indent=2))
    lines = [
        "# quorlin benchmarks",
        "",
        f"- date: {datetime.datetime.now().isoformat(timespec='seconds')}",
        f"- machine: {platform.machine()}, {os.cpu_count()} CPUs, {platform.platform()}",
        f"- interpreter: {sys.version.split()[0]} free-threaded={not sys._is_gil_enabled()}",
        f"- rounds: {options.rounds} (alternated), scale {options.scale}; medians shown",
        "",
    ]
    for workload, data in results.items():
        metric, higher_better, medians = data["metric"], data["higher_better"], data["medians"]
        peers = [c for c in medians if not c.startswith("quorlin")]
        quorlins = [c for c in medians if c.startswith("quorlin")]
        lines.append(f"## {workload} — {metric} ({'higher' if higher_better else 'lower'} is better)")
        lines.append("")
        header = "| contender | " + metric + " | wall s | cpu s | vol. switches | peak MB | " + " | ".join(
            f"quorlin/{p}" for p in peers
        ) + " |"
        lines.append(header)
        lines.append("|" + "---|" * (6 + len(peers)))
        for contender, m in medians.items():
            ratios = " | ".join(
                ratio_text(m[metric], medians[p][metric], higher_better) if contender in quorlins else ""
                for p in peers
            )
            lines.append(
                f"| {contender} | {m[metric]:.4g} | {m['wall_total_s']:.3f} | {m['cpu_s']:.3f} | "
                f"{m['voluntary_switches']:.0f} | {m['peak_rss_mb']:.0f} | {ratios} |"
            )
        extra = sorted(set(next(iter(medians.values()))) - {metric, "wall_total_s", "cpu_s", "voluntary_switches", "peak_rss_mb"})
        if extra:
            lines.append("")
            lines.append("Other medians: " + "; ".join(
                f"{c}: " + ", ".join(f"{k}={m[k]:.4g}" for k in extra) for c, m in medians.items()
            ))
        lines.append("")
    (RESULTS / "latest.md").write_text("\n".join(lines))
    print("\n".join(lines))
    draw_chart(results)


def draw_chart(results):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no chart", file=sys.stderr)
        return
    groups, labels, values = [], [], []
    for workload, data in results.items():
        medians, metric, higher_better = data["medians"], data["metric"], data["higher_better"]
        best = max((c for c in medians if c.startswith("quorlin")), key=lambda c: c)  # the most workers
        for peer in (c for c in medians if not c.startswith("quorlin")):
            q, p = medians[best][metric], medians[peer][metric]
            advantage = (q / p if higher_better else p / q) if q and p else 0
            groups.append(workload)
            labels.append(f"{workload}\nvs {peer}")
            values.append(advantage)
    figure, axes = plt.subplots(figsize=(max(8, len(values) * 0.7), 4.5))
    colours = ["tab:green" if v >= 1 else "tab:red" for v in values]
    axes.bar(range(len(values)), values, color=colours)
    axes.axhline(1.0, color="black", linewidth=0.8)
    axes.set_xticks(range(len(values)), [label.replace("\n", " ") for label in labels], fontsize=7, rotation=45,
                    ha="right")
    axes.set_ylabel("quorlin advantage (>1: quorlin ahead)")
    axes.set_title("quorlin (most workers) against each peer, per workload")
    figure.tight_layout()
    figure.savefig(RESULTS / "latest.png", dpi=110)


if __name__ == "__main__":
    main()
