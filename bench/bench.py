#!/usr/bin/env python3
"""Times kvbgm2wav against the kernel-copy baseline on a stand-in kvbgm.dat.

Runs the tool and the baseline alternately, each in a clean folder, reports
the median wall time of each, the ratio of medians, the peak resident memory,
and the fade kernel's speed from the Google Benchmark micro-benchmark. Prints
a table and saves it (default bench/results/latest.md). A shared machine is
noisy, so the targets are checked on ratios of medians.

    bench/bench.py [--build build-bench] [--runs 7] [--only TEXT] [--out FILE]
"""

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
RSS_LIMIT_KIB = 16 * 1024

SCENARIOS = [  # name, arguments, target ratio
    ("default run (31 tracks, 2 passes)", [], 1.05),
    ("default run with --loop-points", ["--loop-points"], 1.05),
    ("1 F30 p0 (once, then 30 s faded)", ["1", "F30", "p0"], 1.10),
    ("--length=1:00:00 t1 (one hour of track 01)", ["--length=1:00:00", "t1"], 1.10),
]


def timed(cmd, cwd):
    """Runs cmd in cwd; returns (wall seconds, CPU seconds, peak RSS in KiB).

    CPU time and peak RSS come from /usr/bin/time: a child of this Python
    process would report Python's own size, which Linux carries across exec."""
    report = cwd / "usage.txt"
    start = time.perf_counter()
    subprocess.run(["/usr/bin/time", "-o", report, "-f", "%M %U %S", *cmd], cwd=cwd,
                   stdout=subprocess.DEVNULL, check=True)
    seconds = time.perf_counter() - start
    kib, user, system = report.read_text().split()[-3:]
    report.unlink()
    return seconds, float(user) + float(system), int(kib)


def clean(folder):
    for entry in folder.iterdir():
        if entry.name != "kvbgm.dat":
            entry.unlink()


def same_outputs(a, b):
    names = sorted(p.name for p in a.iterdir())
    if names != sorted(p.name for p in b.iterdir()):
        return False
    return all(subprocess.run(["cmp", "-s", a / n, b / n]).returncode == 0 for n in names)


def fade_kernel(build):
    out = subprocess.run([build / "bench" / "fade_bench", "--benchmark_format=json",
                          "--benchmark_min_time=0.2"],
                         check=True, capture_output=True, text=True).stdout
    rows = {}
    for b in json.loads(out)["benchmarks"]:
        name, curve = b["name"].split("/")
        rows.setdefault(int(curve), {})[name] = b["items_per_second"] / 1e6
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=str(ROOT / "build-bench"))
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--verbose", action="store_true", help="print every run's time")
    parser.add_argument("--out", default=str(ROOT / "bench" / "results" / "latest.md"))
    parser.add_argument("--only", help="only the rows whose name holds this text "
                        "(and not the fade kernel)")
    args = parser.parse_args()
    build = Path(args.build).resolve()
    tool, baseline = build / "kvbgm2wav", build / "bench" / "copy_baseline"

    work = build / "bench-work"
    data = work / "kvbgm.dat"
    if not data.exists():
        work.mkdir(parents=True, exist_ok=True)
        subprocess.run([build / "make_standin", data], check=True)
    folders = {}
    for who in ("tool", "baseline"):
        folders[who] = work / who
        shutil.rmtree(folders[who], ignore_errors=True)
        folders[who].mkdir()
        os.link(data, folders[who] / "kvbgm.dat")

    lines = [f"# kvbgm2wav benchmark, {time.strftime('%Y-%m-%d')}",
             "",
             f"Machine: {platform.machine()}, {os.cpu_count()} cores, "
             f"Linux {platform.release()}; {args.runs} alternating runs per program, "
             "stand-in kvbgm.dat (492,019,608 bytes) in the page cache.",
             "",
             "| Run | kvbgm2wav median | copy baseline median | ratio | target | "
             "CPU time ratio | peak RSS kvbgm2wav | peak RSS baseline |",
             "|---|---|---|---|---|---|---|---|"]
    ok = True
    for name, settings, target in SCENARIOS:
        if args.only and args.only not in name:
            continue
        times = {"tool": [], "baseline": []}
        cpu = {"tool": [], "baseline": []}
        rss = {"tool": 0, "baseline": 0}
        for i in range(args.runs + 1):
            # Alternate which goes first. Every run starts from an empty output
            # folder and no dirty pages; the files of the run before are gone,
            # so neither program pays for reclaiming the other's page cache.
            order = [("tool", tool), ("baseline", baseline)]
            for who, program in order if i % 2 else order[::-1]:
                os.sync()
                seconds, cpu_seconds, kib = timed([program, *settings], folders[who])
                if i > 0:  # the first round warms the page cache
                    times[who].append(seconds)
                    cpu[who].append(cpu_seconds)
                rss[who] = max(rss[who], kib)
                if args.verbose:
                    print(f"{who} {' '.join(settings) or '(defaults)'} round {i}: {seconds:.3f} s",
                          file=sys.stderr)
                if i > 0:
                    clean(folders[who])
            if i == 0:
                unfaded = not any(a[0] in "fF" for a in settings)
                if unfaded and not same_outputs(folders["tool"], folders["baseline"]):
                    sys.exit("the tool and the baseline wrote different files")
                for folder in folders.values():
                    clean(folder)
        mt, mb = statistics.median(times["tool"]), statistics.median(times["baseline"])
        ratio = mt / mb
        cpu_ratio = statistics.median(cpu["tool"]) / statistics.median(cpu["baseline"])
        met = ratio <= target and rss["tool"] < RSS_LIMIT_KIB
        ok = ok and met
        lines.append(f"| {name} | {mt:.3f} s | {mb:.3f} s | {ratio:.2f}x | "
                     f"<= {target:.2f}x {'met' if ratio <= target else 'MISSED'} | "
                     f"{cpu_ratio:.2f}x | {rss['tool'] / 1024:.1f} MiB | {rss['baseline'] / 1024:.1f} MiB |")
    lines += ["", f"Wall-time medians decide the targets; the CPU time ratio (user + system, "
              f"medians) is steadier on a busy machine. Peak RSS target: under "
              f"{RSS_LIMIT_KIB // 1024} MiB."]
    if not args.only:
        lines += ["", "Fade kernel (bench/fade_bench), million frames per second:", "",
                  "| Curve | gains kept (warm) | gains computed (cold) | formula per frame |",
                  "|---|---|---|---|"]
        curves = ["0 exponential", "1 linear", "2 blend", "3 raised cosine"]
        for curve, row in sorted(fade_kernel(build).items()):
            lines.append(f"| {curves[curve]} | {row['BM_FadeWarm']:.0f} | "
                         f"{row['BM_FadeCold']:.0f} | {row['BM_FadeGainFormula']:.0f} |")
    lines += ["", "All targets met." if ok else "Some target was MISSED."]
    text = "\n".join(lines) + "\n"
    print(text)
    Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    Path(args.out).write_text(text)
    shutil.rmtree(folders["tool"]), shutil.rmtree(folders["baseline"])


if __name__ == "__main__":
    main()
