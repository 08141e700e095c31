#!/usr/bin/env python3
"""One summary of every benchmark binary's run: `make bench` calls this with
the Google Benchmark JSON files it collected.

Benchmarks are named "<case>/<side>/<args>": the side "ours" (or a build
name L0-L3) is ours, "base" and "L0" are the baseline build, every other side
is a peer or a variant; a side starts with a letter, so "<case>/<args>" (e.g.
"PeakLimiter/2ch") has none. The level benchmarks name their cases
"<case>.L<k>" with the sides "ours" and "base"; they are read as case <case>,
side L<k> against side L0. The FFT level benchmarks already name the build as
the side, "<Forward|Inverse>/<L0..L3|fftw|kissfft>/<order>": L1-L3 are held
against L0 and every build against the peers. Repetitions are reduced to
their median (the "median" aggregate where the run reported only
aggregates); the time is the CPU time unless the benchmark measures real time
(its name then ends in "/real_time").

Writes a markdown table per binary (time ours / time other, below 1: ours is
faster) and a chart with one bar group per case, bars on a logarithmic axis
around a line at 1.0.

    summarize.py [--md out/bench.md] [--svg out/bench.svg] FILE.json ...
"""

import argparse
import json
import math
import os
import re
import statistics
import sys
from collections import OrderedDict, defaultdict

BASELINE_SIDES = ("base", "L0")
# Sides that are our own path with a part left out: shown, never a target.
VARIANT_SIDES = ("room_off", "bare", "effect_off", "engine")
OURS_SIDES = ("ours", "L0", "L1", "L2", "L3")
# The soxr recipes from the cheapest up; the rate conversion is held against
# the first whose measured SNR is at or above ours.
SOXR_LADDER = ("soxr_qq", "soxr_lq", "soxr_mq", "soxr_hq", "soxr_vhq")
# How much slower than the other side a row may be before it counts as a miss.
LIMIT_BASELINE = 1.05
LIMIT_PEER = 1.00


def median(values):
    return statistics.median(values) if values else None


def split_name(name):
    """(case, side, args) of a benchmark name; side is None without one."""
    parts = [p for p in name.split("/") if not re.match(r"^(real_time|manual_time|min_time:.*|repeats:.*)$", p)]
    if len(parts) < 2:
        return parts[0], None, ""
    case, side, args = parts[0], parts[1], "/".join(parts[2:])
    level = re.match(r"^(.*)\.(L[0-3])$", case)
    if level and side in ("ours", "base"):
        case, side = level.group(1), level.group(2) if side == "ours" else "L0"
    if not re.match(r"^[A-Za-z_]", side):
        # "<case>/<args>": no side at all.
        return case, None, "/".join(parts[1:])
    return case, side, args


def load(path):
    """{(case, args): {side: {"time": t, "unit": u, counters...}}} in file order."""
    with open(path) as f:
        data = json.load(f)
    # The repetitions themselves where the file has them; a run that
    # reported only aggregates (--benchmark_report_aggregates_only) gives
    # its medians instead.
    by_kind = {"iteration": OrderedDict(), "median": OrderedDict()}
    for run in data.get("benchmarks", []):
        kind = run.get("run_type", "iteration")
        if kind == "aggregate":
            kind = run.get("aggregate_name")
        if kind not in by_kind or run.get("error_occurred"):
            continue
        name = run.get("run_name", run["name"])
        real = "/real_time" in name or "/manual_time" in name
        case, side, args = split_name(name)
        # The level benchmarks time the baseline once per level: one pool.
        entry = by_kind[kind].setdefault((case, args, side or "ours"),
                                         {"unit": run.get("time_unit", "ns"), "times": [],
                                          "counters": defaultdict(list)})
        entry["times"].append(run["real_time"] if real else run["cpu_time"])
        for key, value in run.items():
            if key in ("SNR_dB", "bytes_per_second") and isinstance(value, (int, float)):
                entry["counters"][key].append(value)
    samples = by_kind["iteration"] or by_kind["median"]
    cases = OrderedDict()
    rank = {s: i for i, s in enumerate(OURS_SIDES)}
    for (case, args, side), entry in sorted(samples.items(), key=lambda kv: (kv[0][0], arg_key(kv[0][1]),
                                                                             rank.get(kv[0][2], 99), kv[0][2])):
        record = {"time": median(entry["times"]), "unit": entry["unit"]}
        for key, values in entry["counters"].items():
            record[key] = median(values)
        cases.setdefault((case, args), OrderedDict())[side] = record
    return data.get("context", {}), cases


def arg_key(args):
    keys = []
    for part in args.split("/"):
        keys.append((0, int(part), "") if part.isdigit() else (1, 0, part))
    return keys


class Comparison:
    """One bar: time(ours side) / time(other side)."""

    def __init__(self, ours, other, ratio, limit, note=""):
        self.ours, self.other, self.ratio, self.limit, self.note = ours, other, ratio, limit, note

    @property
    def label(self):
        return self.other_label if self.ours in ("ours",) else f"{self.ours}/{self.other_label}"

    @property
    def other_label(self):
        return "base" if self.other in BASELINE_SIDES else self.other

    @property
    def missed(self):
        return self.limit is not None and self.ratio > self.limit


def compare(case, sides, copy=None):
    """The comparisons of one row, and notes (SNRs, bandwidth) to print beside
    it. `copy` is the copy bandwidth measured at the row's size, if any."""
    result, notes = [], []
    ours_sides = [s for s in sides if s in OURS_SIDES]
    peers = [s for s in sides if s not in OURS_SIDES and s not in BASELINE_SIDES]
    has_baseline = any(s in BASELINE_SIDES for s in sides)
    for ours in ours_sides:
        t = sides[ours]["time"]
        if not t:
            continue
        if has_baseline and ours not in BASELINE_SIDES:
            base = next(s for s in BASELINE_SIDES if s in sides)
            result.append(Comparison(ours, base, t / sides[base]["time"], LIMIT_BASELINE))
        for peer in peers:
            if sides[peer]["time"]:
                limit = None if peer.startswith("soxr_") or peer in VARIANT_SIDES else LIMIT_PEER
                result.append(Comparison(ours, peer, t / sides[peer]["time"], limit))
    # Sample conversions out of cache: at least half the copy bandwidth, as
    # the time a copy at half its bandwidth would take for the same bytes.
    ours_bps = sides.get("ours", {}).get("bytes_per_second")
    if copy and ours_bps and case.startswith("Conv"):
        result.append(Comparison("ours", "copy bw/2", 0.5 * copy / ours_bps, LIMIT_PEER))
        notes.append(f"{ours_bps / copy:.2f} of copy bandwidth")
    # Rate conversion: the soxr recipe that matches our quality.
    if "ours" in sides and "SNR_dB" in sides["ours"]:
        ours_snr = sides["ours"]["SNR_dB"]
        notes.append(f"SNR ours {ours_snr:.1f} dB")
        for recipe in SOXR_LADDER:
            if recipe in sides and sides[recipe].get("SNR_dB") is not None:
                notes.append(f"{recipe} {sides[recipe]['SNR_dB']:.1f} dB")
        match = next((r for r in SOXR_LADDER if r in sides and sides[r].get("SNR_dB", -1e9) >= ours_snr), None)
        if match:
            ratio = sides["ours"]["time"] / sides[match]["time"]
            result.insert(0, Comparison("ours", "soxr@SNR", ratio, LIMIT_PEER, match))
            notes.append(f"matched recipe {match}")
    return result, notes


def fmt_time(record):
    t, unit = record["time"], record["unit"]
    return f"{t:.3g} {unit}"


def collect(files):
    sections = []
    for path in files:
        try:
            context, cases = load(path)
        except (OSError, ValueError) as error:
            print(f"summarize: skipping {path}: {error}", file=sys.stderr)
            continue
        binary = os.path.splitext(os.path.basename(path))[0]
        rows = []
        for (case, args), sides in cases.items():
            copy = cases.get(("CopyBandwidth", args), {}).get("memcpy", {}).get("bytes_per_second")
            comparisons, notes = compare(case, sides, copy)
            rows.append({"case": case, "args": args, "sides": sides, "comparisons": comparisons, "notes": notes})
        sections.append({"binary": binary, "context": context, "rows": rows})
    return sections


def write_markdown(sections, path):
    lines = ["# Benchmark summary", ""]
    lines.append("Time ours / time other (below 1: ours is faster), the median of the repetitions. "
                 f"A row misses when it is slower than the baseline build by more than {LIMIT_BASELINE - 1:.0%} "
                 "or slower than a peer; a miss is marked **bold**.")
    if sections and sections[0]["context"]:
        c = sections[0]["context"]
        lines.append("")
        lines.append(f"Run {c.get('date', '?')} on {c.get('host_name', '?')}, {c.get('num_cpus', '?')} CPUs at "
                     f"{c.get('mhz_per_cpu', '?')} MHz, load {', '.join(f'{x:.1f}' for x in c.get('load_avg', []))}.")
    misses = [(s["binary"], r, c) for s in sections for r in s["rows"] for c in r["comparisons"] if c.missed]
    compared = sum(1 for s in sections for r in s["rows"] for c in r["comparisons"] if c.limit is not None)
    lines += ["", f"{len(misses)} of {compared} comparisons miss.", ""]
    for section in sections:
        rows = section["rows"]
        if not rows:
            continue
        lines += [f"## {section['binary']}", ""]
        columns = []
        for row in rows:
            for c in row["comparisons"]:
                if c.label not in columns:
                    columns.append(c.label)
        has_notes = any(r["notes"] for r in rows)
        header = ["case", "args", "time"] + columns + (["notes"] if has_notes else [])
        lines.append("| " + " | ".join(header) + " |")
        lines.append("|" + "|".join(["---"] * 2 + ["---:"] * (len(header) - 2 - has_notes) + ["---"] * has_notes) + "|")
        for row in rows:
            side = next((s for s in OURS_SIDES if s in row["sides"]), next(iter(row["sides"]), None))
            time = fmt_time(row["sides"][side]) + (f" ({side})" if side != "ours" else "") if side else "-"
            cells = [row["case"], row["args"] or "-", time]
            by_label = {c.label: c for c in row["comparisons"]}
            for column in columns:
                c = by_label.get(column)
                if c is None:
                    cells.append("")
                else:
                    text = f"{c.ratio:.2f}"
                    cells.append(f"**{text}**" if c.missed else text)
            if has_notes:
                cells.append("; ".join(row["notes"]))
            lines.append("| " + " | ".join(cells) + " |")
        lines.append("")
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "w") as f:
        f.write("\n".join(lines))


# ---------------------------------------------------------------------------
# Chart

PALETTE = ["#4e79a7", "#f28e2b", "#59a14f", "#b07aa1", "#76b7b2", "#edc948", "#9c755f", "#bab0ac", "#ff9da7"]
RANGE = 4.0  # the axis runs from 1/RANGE to RANGE
BAR = 5
GAP = 5
LABEL_W = 210
PLOT_W = 260
PANEL_W = LABEL_W + PLOT_W + 20


def xpos(ratio):
    r = min(max(ratio, 1 / RANGE), RANGE)
    return LABEL_W + PLOT_W / 2 + math.log(r, RANGE) * (PLOT_W / 2)


def esc(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def panel(section, colours, x0, y0):
    """SVG elements of one binary's panel and its height."""
    out = []
    rows = [r for r in section["rows"] if r["comparisons"]]
    y = y0 + 22
    out.append(f'<text x="{x0}" y="{y0 + 14}" class="title">{esc(section["binary"])}</text>')
    top = y
    for row in rows:
        h = len(row["comparisons"]) * BAR + GAP
        label = row["case"] + (f" {row['args']}" if row["args"] else "")
        missed = any(c.missed for c in row["comparisons"])
        out.append(f'<text x="{x0 + LABEL_W - 6}" y="{y + h / 2 + 1}" class="{"miss" if missed else "label"}">'
                   f'{esc(label)}</text>')
        for i, c in enumerate(row["comparisons"]):
            a, b = sorted((xpos(1.0), xpos(c.ratio)))
            colour = colours[c.label]
            out.append(f'<rect x="{x0 + a:.1f}" y="{y + i * BAR}" width="{max(b - a, 1):.1f}" height="{BAR - 1}" '
                       f'fill="{colour}"><title>{esc(label)}: {esc(c.label)} {c.ratio:.2f}</title></rect>')
            if c.missed:
                out.append(f'<circle cx="{x0 + xpos(c.ratio):.1f}" cy="{y + i * BAR + BAR / 2 - 0.5}" r="2.6" '
                           f'class="dot"/>')
        y += h
    # Background halves, the 1.0 line and the axis ticks.
    mid = x0 + xpos(1.0)
    back = [f'<rect x="{x0 + LABEL_W}" y="{top - 2}" width="{PLOT_W / 2}" height="{y - top + 2}" class="faster"/>',
            f'<rect x="{mid}" y="{top - 2}" width="{PLOT_W / 2}" height="{y - top + 2}" class="slower"/>']
    ticks = []
    for t in (0.25, 0.5, 1.0, 2.0, 4.0):
        tx = x0 + xpos(t)
        ticks.append(f'<line x1="{tx}" y1="{top - 2}" x2="{tx}" y2="{y}" class="{"one" if t == 1.0 else "grid"}"/>')
        ticks.append(f'<text x="{tx}" y="{y + 12}" class="tick">{t:g}</text>')
    return back + out + ticks, y + 18 - y0


def write_svg(sections, path):
    labels = []
    for s in sections:
        for r in s["rows"]:
            for c in r["comparisons"]:
                if c.label not in labels:
                    labels.append(c.label)
    colours = {label: PALETTE[i % len(PALETTE)] for i, label in enumerate(labels)}
    panels = [s for s in sections if any(r["comparisons"] for r in s["rows"])]
    columns = 3
    heights = [0] * columns
    body = []
    legend_h = 60
    # Tallest panels first, each into the shortest column.
    for section in sorted(panels, key=lambda s: -sum(len(r["comparisons"]) * BAR + GAP for r in s["rows"])):
        column = heights.index(min(heights))
        elements, h = panel(section, colours, column * PANEL_W + 10, legend_h + heights[column])
        body += elements
        heights[column] += h + 16
    width, height = columns * PANEL_W + 20, legend_h + max(heights + [0]) + 10
    misses = sum(1 for s in sections for r in s["rows"] for c in r["comparisons"] if c.missed)
    head = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
            f'viewBox="0 0 {width} {height}" font-family="sans-serif">',
            "<style>.title{font-size:13px;font-weight:bold}.label{font-size:9px;text-anchor:end}"
            ".miss{font-size:9px;text-anchor:end;fill:#c00;font-weight:bold}.tick{font-size:8px;text-anchor:middle}"
            ".grid{stroke:#ccc;stroke-width:0.5}.one{stroke:#000;stroke-width:1.2}.faster{fill:#eaf5e4}"
            ".slower{fill:#fbe9e7}.dot{fill:#c00}.legend{font-size:10px}</style>",
            f'<rect width="{width}" height="{height}" fill="white"/>',
            f'<text x="10" y="18" class="title">time ours / time other, log scale: left of the line at 1.0 ours is '
            f'faster (green), right slower (red); a red dot marks a miss ({misses} in all)</text>']
    x = 10
    for label in labels:
        head.append(f'<rect x="{x}" y="30" width="10" height="10" fill="{colours[label]}"/>'
                    f'<text x="{x + 13}" y="39" class="legend">{esc(label)}</text>')
        x += 22 + 6 * len(label)
        if x > width - 120:
            x = 10
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "w") as f:
        f.write("\n".join(head + body + ["</svg>", ""]))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--md", default="out/bench.md")
    parser.add_argument("--svg", default="out/bench.svg")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    sections = collect(args.files)
    if not sections:
        print("summarize: no benchmark results", file=sys.stderr)
        return 1
    write_markdown(sections, args.md)
    write_svg(sections, args.svg)
    misses = [(s["binary"], r, c) for s in sections for r in s["rows"] for c in r["comparisons"] if c.missed]
    print(f"\nbenchmark summary: {args.md}, {args.svg}; {len(misses)} misses")
    for binary, row, c in misses:
        where = row["case"] + (f"/{row['args']}" if row["args"] else "")
        print(f"  {binary:18s} {where:36s} {c.label:14s} {c.ratio:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
