#!/usr/bin/env python3
"""The benchmark's report, from the one result file bench_receive.py writes: every goal with its
measured value, its ratio against the peer measured in the same run and whether it is met; every
figure of each terminal; the plot (gnuplot, a PNG); and, with --docs, the generated parts of
docs/PERFORMANCE.md (between its "<!-- bench: NAME -->" and "<!-- /bench -->" lines).

usage: report.py RESULTS.json [--plot PNG] [--docs PERFORMANCE.md]
"""

import argparse
import json
import math
import re
import statistics
import subprocess
import sys

TERMINALS = ("comterm", "picocom", "tio")
CELLS = (("steady", "pty"), ("steady", "pipe"), ("bursty", "pty"), ("bursty", "pipe"))
WHERE = {"pty": "on a terminal", "pipe": "into a pipe"}
COLOURS = ("#c0392b", "#2471a3", "#229954")


def transfer(r, cell):
    """A cell's figures from its runs: the best run's speed, the lowest CPU cost."""
    runs, megabytes = r["transfers"].get(cell), r["payload_bytes"] / 1e6
    if not runs:
        return {}
    return {"mb_per_s": megabytes / min(one["seconds"] for one in runs),
            "cpu_s_per_mb": min(one["cpu_seconds"] for one in runs) / megabytes}


def latency_ms(r, name, field):
    """Median, or 99th percentile by nearest rank, of a terminal's first-byte latencies."""
    ordered = sorted(r["latency_ms"][name])
    if field == "median":
        return statistics.median(ordered)
    return ordered[math.ceil(0.99 * len(ordered)) - 1]


def peak_rss_mib(r, name):
    return max(one["peak_rss_kib"] for cell, runs in r["transfers"].items()
               if cell.startswith(name + "/") for one in runs) / 1024


def run_line(cell, number, run, payload_bytes):
    """A transfer run's figures, printed as the benchmark goes."""
    megabytes = payload_bytes / 1e6
    return "  %-24s run %d: %8.2f MB/s  %7.4f CPU s/MB  %5d KiB peak" % (
        cell, number, megabytes / run["seconds"], run["cpu_seconds"] / megabytes,
        run["peak_rss_kib"])


def idle_line(name, idle, samples=None):
    """A terminal's idle cost and median first-byte latency; without samples, the floor's idle
    cost and how its CPU time was counted."""
    line = "  %-8s idle %.3f CPU ms/s, %.1f wake-ups/s" % (
        name, idle["cpu_ms_per_s"], idle["context_switches_per_s"])
    if samples is None:
        return line + " (%s)" % idle["method"]
    return line + "; first-byte latency median %.3f ms" % statistics.median(samples)


def ratio_text(ours, theirs):
    if not theirs:
        return "-"
    ratio = ours / theirs
    return "%.2fx" % ratio if ratio < 10 else "%.0fx" % ratio


def goals(r):
    """(goal, comterm's figure, the peer's, comterm / peer, met) for every goal."""
    rows = []
    for field in ("median", "p99"):
        ours, theirs = (latency_ms(r, name, field) for name in ("comterm", "picocom"))
        rows.append(("first-byte latency, %s: at most 1.5x picocom's" % field, "%.3f ms" % ours,
                     "%.3f ms" % theirs, ratio_text(ours, theirs), ours <= 1.5 * theirs))
    for field, label, unit, goal in (("mb_per_s", "throughput", "%.2f MB/s", 2.0),
                                     ("cpu_s_per_mb", "CPU per MB", "%.4f s", 0.5)):
        for producer, kind in CELLS:
            ours, theirs = (transfer(r, "%s/%s/%s" % (name, producer, kind))[field]
                            for name in ("comterm", "picocom"))
            rows.append(("%s, %s producer, %s: at %s %gx picocom's" % (
                label, producer, WHERE[kind], "least" if goal > 1 else "most", goal),
                unit % ours, unit % theirs, ratio_text(ours, theirs),
                ours >= goal * theirs if goal > 1 else ours <= goal * theirs))
    # The session log with time stamps costs comterm at most a fifth of its throughput.
    for producer, kind in CELLS:
        logged = transfer(r, "comterm+log/%s/%s" % (producer, kind)).get("mb_per_s")
        if logged is not None:
            plain = transfer(r, "comterm/%s/%s" % (producer, kind))["mb_per_s"]
            rows.append(("throughput with --log FILE --timestamp, %s producer, %s: at least 0.8x "
                         "plain comterm's" % (producer, WHERE[kind]), "%.2f MB/s" % logged,
                         "%.2f MB/s (comterm)" % plain, ratio_text(logged, plain),
                         logged >= 0.8 * plain))
    lost = {name: [0, 0, 0] for name in ("comterm", "picocom")}
    for cell, runs in r["transfers"].items():
        name = cell.split("/")[0].split("+")[0]  # comterm+log's runs are comterm's
        for one in runs:
            if name in lost:
                lost[name][0] += one["bytes_lost"]
                lost[name][1] += 0 if one["intact"] else 1
                lost[name][2] += 1
    texts = {name: "%d (%d of %d runs differ)" % tuple(lost[name]) for name in lost}
    rows.append(("bytes lost or changed, every transfer: none", texts["comterm"],
                 texts["picocom"], "-", lost["comterm"][1] == 0))
    ours, theirs = peak_rss_mib(r, "comterm"), peak_rss_mib(r, "picocom")
    rows.append(("peak RSS, any transfer: at most 2 MiB", "%.2f MiB" % ours, "%.2f MiB" % theirs,
                 ratio_text(ours, theirs), ours <= 2.0))
    # Against the floor of its design, a bare loop of 5 ms waits: picocom's wait has no end, and
    # costs nothing.
    ours, floor = r["idle"]["comterm"]["cpu_ms_per_s"], r["idle_floor"]["cpu_ms_per_s"]
    rows.append(("idle CPU: at most 2 ms per second", "%.3f ms/s" % ours,
                 "%.3f ms/s (5 ms poll loop)" % floor, ratio_text(ours, floor), ours <= 2.0))
    for corpus, figures in r["conversion"].items():
        ours, theirs = figures["mb_per_s"], figures["iconv_mb_per_s"]
        rows.append(("conversion to GBK, %s text: at least 5x iconv" % corpus,
                     "%.0f MB/s" % ours, "%.0f MB/s (iconv)" % theirs, ratio_text(ours, theirs),
                     ours >= 5 * theirs))
    return rows


def figure_rows(r):
    """(measure, {terminal: figure or None}, format) for the table of every figure."""
    rows = []
    for field, label, form in (("mb_per_s", "MB/s shown", "%.2f"),
                               ("cpu_s_per_mb", "CPU s per MB", "%.4f")):
        for producer, kind in CELLS:
            rows.append(("%s, %s, %s" % (label, producer, kind), {
                name: transfer(r, "%s/%s/%s" % (name, producer, kind)).get(field)
                for name in TERMINALS}, form))
    for field in ("median", "p99"):
        rows.append(("first-byte latency ms, %s" % field,
                     {name: latency_ms(r, name, field) for name in TERMINALS}, "%.3f"))
    rows.append(("peak RSS MiB", {name: peak_rss_mib(r, name) for name in TERMINALS}, "%.2f"))
    rows.append(("idle CPU ms per s", {name: r["idle"][name]["cpu_ms_per_s"]
                                       for name in TERMINALS}, "%.3f"))
    rows.append(("idle wake-ups per s", {name: r["idle"][name]["context_switches_per_s"]
                                         for name in TERMINALS}, "%.1f"))
    return rows


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    for row in rows:
        lines.append("| " + " | ".join(row) + " |")
    return "\n".join(lines) + "\n"


def blocks(r):
    """The generated parts of the report, by name."""
    rows = goals(r)
    met = sum(1 for row in rows if row[4])
    goal_table = table(["goal", "comterm", "peer", "comterm / peer", "met"], [
        row[:4] + ("met" if row[4] else "**NOT met**",) for row in rows])
    figures = table(["measure"] + list(TERMINALS), [
        [label] + ["n/a" if values[name] is None else form % values[name] for name in TERMINALS]
        for label, values, form in figure_rows(r)])
    run = ("comterm %s, %s, %s; %s KiB payload%s; %d CPUs, load average %.1f %.1f %.1f at the "
           "end; the run took %.0f s." % (r["commit"], *r["versions"],
               r["payload_bytes"] >> 10, " (a --quick try-out)" if r["quick"] else "", r["cpus"],
               *r["load_average"], r["seconds"]))
    return {"run": run + "\n",
            "goals": goal_table + "\n%d of %d goals met.\n" % (met, len(rows)),
            "figures": figures}


def text(r):
    parts = blocks(r)
    return "\n".join([parts["run"], parts["goals"], parts["figures"]])


def plot(r, path):
    """Four panels of bars, each value written above its bar; an axis is fitted to its panel's
    values, so no bar falls below it."""
    values = {label: row for label, row, _ in figure_rows(r)}
    cells = ["%s, %s" % cell for cell in CELLS]
    panels = [
        ("Throughput shown, MB/s (higher is better; log scale)", True,
         [(cell, values["MB/s shown, " + cell]) for cell in cells]),
        ("CPU seconds per MB received (lower is better; log scale)", True,
         [(cell, values["CPU s per MB, " + cell]) for cell in cells]),
        ("First-byte latency on an idle line, ms (lower is better; log scale)", True,
         [(field, values["first-byte latency ms, " + field]) for field in ("median", "p99")]),
        ("Memory and idle cost (lower is better)", False,
         [("peak RSS, MiB", values["peak RSS MiB"]),
          ("idle CPU, ms per s", values["idle CPU ms per s"])]),
    ]
    script = ['set terminal pngcairo size 1200,860 font "DejaVu Sans,10"',
              "set output '%s'" % path.replace("'", "''"),
              "set style fill solid 0.85 border -1", "set boxwidth 0.25", "set grid ytics",
              "set key top left font ',9'",
              'set multiplot layout 2,2 title "Receive: comterm against picocom and tio '
              '(missing bar: not measured)"']
    for number, (title, log, groups) in enumerate(panels):
        shown = [group[name] for _, group in groups for name in TERMINALS
                 if group[name] is not None]
        low, high = min(shown), max(shown)
        plots = []
        for index, name in enumerate(TERMINALS):
            block = "$p%dt%d" % (number, index)
            script.append(block + " << EOD")
            for x, (_, group) in enumerate(groups):
                if group[name] is not None:
                    script.append("%g %g %.2g" % (x + (index - 1) * 0.25, group[name], group[name]))
            script.append("EOD")
            plots.append("%s using 1:2 with boxes lc rgb '%s' title '%s'" % (
                block, COLOURS[index], name))
            plots.append("%s using 1:2:3 with labels offset 0,0.6 font ',7' notitle" % block)
        script += ['set title "%s"' % title, "set xrange [-0.6:%g]" % (len(groups) - 0.4),
                   "set xtics (%s) scale 0" % ", ".join('"%s" %d' % (label, x) for x, (label, _)
                                                         in enumerate(groups))]
        if log:
            script += ["set logscale y", "set yrange [%g:%g]" % (low / 4, high * 4)]
        else:
            script += ["unset logscale y", "set yrange [0:%g]" % (high * 1.25)]
        script.append("plot " + ", ".join(plots))
    script.append("unset multiplot")
    subprocess.run(["gnuplot"], input="\n".join(script) + "\n", text=True, check=True)


def update_docs(r, path):
    """Replaces each generated part of the page; a part the page lacks is an error."""
    with open(path) as page:
        content = page.read()
    for name, body in blocks(r).items():
        marker = re.compile(r"(<!-- bench: %s -->\n).*?(<!-- /bench -->)" % name, re.S)
        content, found = marker.subn(lambda match: match[1] + body + match[2], content)
        if found != 1:
            raise SystemExit("report: %s has no generated part named %s" % (path, name))
    with open(path, "w") as page:
        page.write(content)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("results")
    parser.add_argument("--plot", metavar="PNG")
    parser.add_argument("--docs", metavar="MARKDOWN")
    args = parser.parse_args()
    with open(args.results) as results_file:
        results = json.load(results_file)
    if args.plot:
        plot(results, args.plot)
    if args.docs:
        update_docs(results, args.docs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
