#!/usr/bin/env python3
"""Times `kvbgm2wav --format=flac` and `--format=ogg` against the obvious
pipelines, WAV files first and then `flac -5` or `oggenc -q5` over them on
every core, on a stand-in kvbgm.dat; reports medians of alternating runs,
their ratio, the CPU time, the wall time against CPU time divided by the
cores (the most that threads can get out of this machine), peak memory,
and the size of the 31 files against the WAV files (the Ogg files' also
against the FLAC files); and `--format=flac --replaygain` and
`--format=ogg --replaygain` against the
same run without it; and one hour of one track (`--length`) as FLAC and Ogg
against `--length` WAV and the encoder. Appends its tables to the benchmark results
(bench/results/latest.md, which bench.py writes).

    bench/flac_bench.py [--build build-bench] [--runs 5] [--ogg-runs 3] [--hour-runs 3]
                        [--only-hour] [--out FILE]
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
CORES = os.cpu_count() or 1


def timed(command, cwd):
    """Runs a shell command in cwd; returns (wall seconds, CPU seconds of
    everything it ran, peak RSS in KiB of the largest process it ran)."""
    report = cwd / "usage.txt"
    start = time.perf_counter()
    subprocess.run(["/usr/bin/time", "-o", report, "-f", "%U %S %M", "sh", "-c", command],
                   cwd=cwd, stdout=subprocess.DEVNULL, check=True)
    seconds = time.perf_counter() - start
    user, system, kib = report.read_text().split()[-3:]
    report.unlink()
    return seconds, float(user) + float(system), int(kib)


def clean(folder):
    for entry in folder.iterdir():
        if entry.name != "kvbgm.dat":
            entry.unlink()


def total_size(folder, suffix):
    return sum(p.stat().st_size for p in folder.iterdir() if p.name.endswith(suffix))


def compare(work, data, runs, commands, suffix):
    """Alternating runs of each command in a folder of its own; returns
    {who: (wall medians, CPU medians, peak RSS KiB)} and the size of the
    files of `suffix` that the first command wrote."""
    folders = {}
    for who in commands:
        folders[who] = work / f"run-{who}"
        shutil.rmtree(folders[who], ignore_errors=True)
        folders[who].mkdir()
        os.link(data, folders[who] / "kvbgm.dat")
    walls = {who: [] for who in commands}
    cpus = {who: [] for who in commands}
    rss = {who: 0 for who in commands}
    first = next(iter(commands))
    size = 0
    for i in range(runs):
        order = list(commands.items())
        for who, command in order if i % 2 else order[::-1]:
            os.sync()
            seconds, cpu, kib = timed(command, folders[who])
            walls[who].append(seconds)
            cpus[who].append(cpu)
            rss[who] = max(rss[who], kib)
            if who == first:
                size = total_size(folders[who], suffix)
            clean(folders[who])
    for folder in folders.values():
        shutil.rmtree(folder)
    return {who: (statistics.median(walls[who]), statistics.median(cpus[who]), rss[who])
            for who in commands}, size


def codec_rows(name, tool, work, data, runs, encoder, target, rss_limit_mib, wav_bytes,
               extra_rows=(), shown=None, threads_target=None, other_sizes=()):
    """The table of one format: the default run against the pipeline, and
    the peak memory of `extra_rows` (settings, RSS limit in MiB). `shown`
    names the encoder in the table (default `encoder`); `threads_target`,
    where given, is the target for the default run's wall time against its
    CPU time divided by the cores; `other_sizes` are (format, bytes) to
    set the files' size against besides the WAV files'."""
    commands = {
        "tool": f"'{tool}' --format={name}",
        "pipeline": f"'{tool}' && ls *.wav | xargs -d '\\n' -P{CORES} -n1 {encoder}",
    }
    result, size = compare(work, data, runs, commands, f".{name}")
    (wt, ct, rt), (wp, cp, _) = result["tool"], result["pipeline"]
    ratio = wt / wp
    limit = ct / CORES
    threads = wt / limit
    threads_ok = threads_target is None or threads <= threads_target
    ok = ratio <= target and rt < rss_limit_mib * 1024 and threads_ok
    threads_text = f"{threads:.2f}x"
    if threads_target is not None:
        threads_text += f" (target <= {threads_target:.2f}x {'met' if threads_ok else 'MISSED'})"
    lines = ["", f"{name.upper()} output, {runs} alternating runs each, {CORES} cores:", "",
             f"| Run | kvbgm2wav --format={name} | kvbgm2wav, then `{shown or encoder}` on "
             f"{CORES} cores | ratio | target | CPU kvbgm2wav | CPU pipeline "
             "| wall / (CPU / cores) | peak RSS |",
             "|---|---|---|---|---|---|---|---|---|",
             f"| default settings | {wt:.2f} s | {wp:.2f} s | {ratio:.2f}x | "
             f"<= {target:.2f}x {'met' if ratio <= target else 'MISSED'} | {ct:.2f} s | "
             f"{cp:.2f} s | {threads_text} | {rt / 1024:.1f} MiB "
             f"(target under {rss_limit_mib} MiB) |"]
    for settings, limit_mib in extra_rows:
        _, _, kib = timed(f"'{tool}' --format={name} {settings}", work / "extra")
        clean(work / "extra")
        ok = ok and kib < limit_mib * 1024
        lines.append(f"| {settings} | | | | | | | | {kib / 1024:.1f} MiB (target under "
                     f"{limit_mib} MiB) |")
    against = "".join(f", the {other.upper()} files {other_bytes / 2**20:.0f} MiB "
                      f"({100 * size / other_bytes:.0f}% of them)"
                      for other, other_bytes in other_sizes)
    lines += ["", f"The 31 {name.upper()} files take {size / 2**20:.0f} MiB, the WAV files "
              f"{wav_bytes / 2**20:.0f} MiB ({100 * size / wav_bytes:.0f}%){against}; the "
              "stand-in's synthetic music compresses differently from real music.", "",
              f"{name.upper()} targets met." if ok else f"{name.upper()} target MISSED."]
    return lines, size


def replaygain_rows(tool, work, data, runs, targets):
    """`--format=F --replaygain` against the same run without it, for each
    format F of `targets` (format: (target ratio, runs or None)): what the
    measuring pass costs, and for Ogg Vorbis the decoding of every packet
    that the decoded peaks take."""
    lines = ["", f"ReplayGain, alternating runs, {CORES} cores:", "",
             "| Run | with --replaygain | without | ratio | target "
             "| CPU with | CPU without | peak RSS |",
             "|---|---|---|---|---|---|---|---|"]
    missed = False
    for fmt, (target, fmt_runs) in targets.items():
        commands = {"replaygain": f"'{tool}' --format={fmt} --replaygain",
                    "plain": f"'{tool}' --format={fmt}"}
        result, _ = compare(work, data, fmt_runs or runs, commands, f".{fmt}")
        (wr, cr, rr), (wp, cp, _) = result["replaygain"], result["plain"]
        ratio = wr / wp
        met = ratio <= target
        missed = missed or not met
        lines.append(f"| --format={fmt}, {fmt_runs or runs} runs | {wr:.2f} s | {wp:.2f} s | "
                     f"{ratio:.2f}x | <= {target:.2f}x {'met' if met else 'MISSED'} | "
                     f"{cr:.2f} s | {cp:.2f} s | {rr / 1024:.1f} MiB |")
    return lines + ["", "ReplayGain target MISSED." if missed else "ReplayGain targets met."]


def hour_rows(tool, work, data, runs):
    """One hour of track 01 as one FLAC and one Ogg Vorbis file (one
    encoder, one core) against the same hour written as WAV with
    `--length` and then encoded by `flac -5` or `oggenc -q5`."""
    lines = ["", f"One hour of one track (`--length=1:00:00 t1`), {runs} alternating runs each:",
             "", "| Run | kvbgm2wav | kvbgm2wav --length, then the encoder | ratio "
             "| CPU kvbgm2wav | CPU pipeline | peak RSS |", "|---|---|---|---|---|---|---|"]
    hour = "--length=1:00:00 t1"
    encoders = {"flac": "flac -5 -s --delete-input-file *.wav",
                "ogg": "oggenc -Q -q5 *.wav && rm *.wav"}
    for fmt, encoder in encoders.items():
        commands = {"tool": f"'{tool}' --format={fmt} {hour}",
                    "pipeline": f"'{tool}' {hour} && {encoder}"}
        result, _ = compare(work, data, runs, commands, f".{fmt}")
        (wt, ct, rt), (wp, cp, _) = result["tool"], result["pipeline"]
        lines.append(f"| --format={fmt} against `{encoder.split(' *')[0]}` | {wt:.2f} s | "
                     f"{wp:.2f} s | {wt / wp:.2f}x | {ct:.2f} s | {cp:.2f} s | "
                     f"{rt / 1024:.1f} MiB |")
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=str(ROOT / "build-bench"))
    parser.add_argument("--runs", type=int, default=5, help="alternating runs for FLAC")
    parser.add_argument("--ogg-runs", type=int, default=3, help="alternating runs for Ogg")
    parser.add_argument("--hour-runs", type=int, default=3,
                        help="alternating runs of the one-hour rows")
    parser.add_argument("--only-hour", action="store_true", help="only the one-hour rows")
    parser.add_argument("--out", default=str(ROOT / "bench" / "results" / "latest.md"))
    args = parser.parse_args()
    build = Path(args.build).resolve()
    tool = build / "kvbgm2wav"
    work = build / "bench-work"
    data = work / "kvbgm.dat"
    if not data.exists():
        work.mkdir(parents=True, exist_ok=True)
        subprocess.run([build / "make_standin", data], check=True)
    if args.only_hour:
        text = "\n".join(hour_rows(tool, work, data, args.hour_runs)) + "\n"
        print(text)
        with open(args.out, "a") as out:
            out.write(text)
        return 0
    extra = work / "extra"
    shutil.rmtree(extra, ignore_errors=True)
    extra.mkdir()
    os.link(data, extra / "kvbgm.dat")
    subprocess.run([tool], cwd=extra, stdout=subprocess.DEVNULL, check=True)
    wav_bytes = total_size(extra, ".wav")
    clean(extra)

    lines, flac_bytes = codec_rows("flac", tool, work, data, args.runs,
                                   "flac -5 -s --delete-input-file", 0.90, 32, wav_bytes,
                                   [("1 F30", 20)])
    # oggenc keeps its input: each WAV file is removed once encoded, as flac
    # does with --delete-input-file.
    ogg_lines, _ = codec_rows("ogg", tool, work, data, args.ogg_runs,
                              "sh -c 'oggenc -Q -q5 \"$0\" && rm \"$0\"'", 0.98, 48,
                              wav_bytes, shown="oggenc -Q -q5", threads_target=1.04,
                              other_sizes=[("flac", flac_bytes)])
    lines += ogg_lines
    lines += replaygain_rows(tool, work, data, args.runs,
                             {"flac": (1.45, None), "ogg": (1.15, args.ogg_runs)})
    lines += hour_rows(tool, work, data, args.hour_runs)
    text = "\n".join(lines) + "\n"
    print(text)
    with open(args.out, "a") as out:
        out.write(text)
    shutil.rmtree(extra)
    return 0


if __name__ == "__main__":
    sys.exit(main())
