#!/usr/bin/env python3
"""Pairs the results of the benchmark programs into one table.

    qvBenchTable.py PAIRS RESULTS_DIR CSV_OUT

PAIRS is bench/pairs.txt; RESULTS_DIR holds one Google Benchmark JSON file per program
(<program>.json, from --benchmark_out_format=json). Prints the table (operation, this library's
time, the counterpart and its time, and the ratio ours / counterpart: below 1 means this library
is faster) and writes the same rows as CSV. Exits 1 when a pair names a benchmark that its
program, which did run, did not report (a renamed benchmark), so the table never goes stale
unnoticed.
"""

import csv
import json
import os
import statistics
import sys


def load_results(results_dir):
    """{program: {benchmark name: time in ns}} from every <program>.json: the median of the
    benchmark's repetitions when it ran more than once."""
    results = {}
    for file_name in sorted(os.listdir(results_dir)):
        if not file_name.endswith(".json"):
            continue
        program = file_name[: -len(".json")]
        with open(os.path.join(results_dir, file_name), encoding="utf-8") as stream:
            data = json.load(stream)
        scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
        repetitions = {}
        for entry in data.get("benchmarks", []):
            if entry.get("run_type", "iteration") != "iteration" or entry.get("error_occurred"):
                continue
            name = "/".join(part for part in entry["name"].split("/")
                            if part not in ("real_time", "process_time"))
            repetitions.setdefault(name, []).append(
                entry["real_time"] * scale[entry.get("time_unit", "ns")])
        results[program] = {name: statistics.median(times) for name, times in repetitions.items()}
    return results


def load_pairs(path):
    pairs = []
    with open(path, encoding="utf-8") as stream:
        for number, line in enumerate(stream, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            fields = [field.strip() for field in line.split("|")]
            if len(fields) != 4 or "/" not in fields[1] or "/" not in fields[3]:
                sys.exit(f"{path}:{number}: expected 'operation | program/ours | counterpart | program/theirs'")
            pairs.append(fields)
    return pairs


def format_time(ns):
    for unit, factor in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= factor:
            return f"{ns / factor:.3g} {unit}" if ns / factor < 100 else f"{ns / factor:.0f} {unit}"
    return f"{ns:.3g} ns" if ns < 100 else f"{ns:.0f} ns"


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    pairs_path, results_dir, csv_path = sys.argv[1:]
    results = load_results(results_dir)
    pairs = load_pairs(pairs_path)

    rows, skipped, stale, used = [], [], [], set()
    for operation, ours, label, theirs in pairs:
        figures = []
        for reference in (ours, theirs):
            program, name = reference.split("/", 1)
            used.add((program, name))
            if program not in results:
                figures.append(None)
                skipped.append(f"{operation} / {label}: {program} was not built or did not run")
            elif name not in results[program]:
                figures.append(None)
                stale.append(f"{reference} is not among the results of {program}")
            else:
                figures.append(results[program][name])
        if None not in figures:
            rows.append((operation, figures[0], label, figures[1], figures[0] / figures[1]))

    headers = ("operation", "qvFoundationComponents", "counterpart", "counterpart time", "ratio")
    table = [headers] + [(op, format_time(a), label, format_time(b), f"{ratio:.2f}")
                         for op, a, label, b, ratio in rows]
    widths = [max(len(row[column]) for row in table) for column in range(len(headers))]
    right = {1, 3, 4}

    def line(row):
        return " | ".join(cell.rjust(widths[i]) if i in right else cell.ljust(widths[i])
                          for i, cell in enumerate(row))

    print(line(table[0]))
    print("-+-".join("-" * width for width in widths))
    for row in table[1:]:
        print(line(row))
    print("ratio = this library's time / the counterpart's time (below 1: this library is faster)")
    for note in dict.fromkeys(skipped):
        print(f"not in the table: {note}")
    unpaired = sorted(f"{program}/{name}" for program, times in results.items()
                      for name in times if (program, name) not in used)
    for reference in unpaired:
        print(f"not paired: {reference}")

    with open(csv_path, "w", newline="", encoding="utf-8") as stream:
        writer = csv.writer(stream)
        writer.writerow(["operation", "ours_ns", "counterpart", "counterpart_ns", "ratio"])
        for op, a, label, b, ratio in rows:
            writer.writerow([op, f"{a:.1f}", label, f"{b:.1f}", f"{ratio:.3f}"])
    print(f"written: {csv_path}")

    for message in stale:
        print(f"bench table: {message} (update bench/pairs.txt)", file=sys.stderr)
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main())
