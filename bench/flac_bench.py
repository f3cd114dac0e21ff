#!/usr/bin/env python3
"""Times a default `kvbgm2wav --format=flac` run against the obvious
pipeline, WAV files first and then `flac -5` over them, on a stand-in
kvbgm.dat; reports medians of alternating runs, their ratio, peak memory and
the size of the 31 FLAC files against the WAV files. Appends its table to
the benchmark results (bench/results/latest.md, which bench.py writes).

    bench/flac_bench.py [--build build-bench] [--runs 5] [--out FILE]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TARGET = 0.60
RSS_LIMIT_KIB = 32 * 1024


def timed(command, cwd):
    """Runs a shell command in cwd; returns (wall seconds, peak RSS in KiB of
    the largest process it ran)."""
    report = cwd / "usage.txt"
    start = time.perf_counter()
    subprocess.run(["/usr/bin/time", "-o", report, "-f", "%M", "sh", "-c", command], cwd=cwd,
                   stdout=subprocess.DEVNULL, check=True)
    seconds = time.perf_counter() - start
    kib = int(report.read_text().split()[-1])
    report.unlink()
    return seconds, kib


def clean(folder):
    for entry in folder.iterdir():
        if entry.name != "kvbgm.dat":
            entry.unlink()


def total_size(folder, suffix):
    return sum(p.stat().st_size for p in folder.iterdir() if p.name.endswith(suffix))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=str(ROOT / "build-bench"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--out", default=str(ROOT / "bench" / "results" / "latest.md"))
    args = parser.parse_args()
    build = Path(args.build).resolve()
    tool = build / "kvbgm2wav"
    work = build / "bench-work"
    data = work / "kvbgm.dat"
    if not data.exists():
        work.mkdir(parents=True, exist_ok=True)
        subprocess.run([build / "make_standin", data], check=True)
    commands = {
        "tool": f"'{tool}' --format=flac",
        "pipeline": f"'{tool}' && flac -5 -s --delete-input-file *.wav",
    }
    folders = {}
    for who in commands:
        folders[who] = work / f"flac-{who}"
        shutil.rmtree(folders[who], ignore_errors=True)
        folders[who].mkdir()
        os.link(data, folders[who] / "kvbgm.dat")

    subprocess.run([tool], cwd=folders["tool"], stdout=subprocess.DEVNULL, check=True)
    wav_bytes = total_size(folders["tool"], ".wav")
    clean(folders["tool"])

    times = {who: [] for who in commands}
    rss = {who: 0 for who in commands}
    flac_bytes = 0
    for i in range(args.runs):
        order = list(commands.items())
        for who, command in order if i % 2 else order[::-1]:
            os.sync()
            seconds, kib = timed(command, folders[who])
            times[who].append(seconds)
            rss[who] = max(rss[who], kib)
            if who == "tool":
                flac_bytes = total_size(folders[who], ".flac")
            clean(folders[who])
    mt, mp = statistics.median(times["tool"]), statistics.median(times["pipeline"])
    ratio = mt / mp
    met = ratio <= TARGET and rss["tool"] < RSS_LIMIT_KIB
    lines = ["", f"FLAC output, {args.runs} alternating runs each, {os.cpu_count()} cores:", "",
             "| Run | kvbgm2wav --format=flac | kvbgm2wav, then flac -5 | ratio | target | "
             "peak RSS kvbgm2wav |",
             "|---|---|---|---|---|---|",
             f"| default settings | {mt:.2f} s | {mp:.2f} s | {ratio:.2f}x | "
             f"<= {TARGET:.2f}x {'met' if ratio <= TARGET else 'MISSED'} | "
             f"{rss['tool'] / 1024:.1f} MiB (target under {RSS_LIMIT_KIB // 1024} MiB) |",
             "",
             f"The 31 FLAC files take {flac_bytes / 2**20:.0f} MiB, the WAV files "
             f"{wav_bytes / 2**20:.0f} MiB ({100 * flac_bytes / wav_bytes:.0f}%; the stand-in's "
             "synthetic music compresses differently from real music).",
             "", "FLAC target met." if met else "FLAC target MISSED."]
    text = "\n".join(lines) + "\n"
    print(text)
    with open(args.out, "a") as out:
        out.write(text)
    for folder in folders.values():
        shutil.rmtree(folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())
