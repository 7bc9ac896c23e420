#!/usr/bin/env python3
"""Prints the benchmark's table from its results file (lines: FIGURE ROUND VALUE): per figure
the median and range over the rounds, the anchor's, and the ratio taken round by round.

usage: summary.py RESULTS "THREAD COUNTS"
"""
import collections
import math
import statistics
import sys


def main():
    results, thread_counts = sys.argv[1:]
    values = collections.defaultdict(dict)
    for line in open(results):
        figure, round_, value = line.split()
        values[figure][int(round_)] = float(value)

    def span(figure, scale=1.0, digits=2):
        v = [x * scale for x in values[figure].values() if not math.isnan(x)]
        if not v:
            return "n/a"
        return (f"{statistics.median(v):.{digits}f} "
                f"[{min(v):.{digits}f}-{max(v):.{digits}f}]")

    def ratio(top, bottom):
        rounds = sorted(set(values[top]) & set(values[bottom]))
        r = [values[top][k] / values[bottom][k] for k in rounds if values[bottom][k]]
        if not r:
            return "n/a"
        return f"{statistics.median(r):.2f}x [{min(r):.2f}-{max(r):.2f}]"

    rows = [("figure", "service (median [range])", "anchor (median [range])",
             "ratio (median [range])", "target")]
    rows.append(("list import, s", span("import"), "squidGuard -C " + span("sg_build"),
                 "anchor/ours " + ratio("sg_build", "import"), "<= 2 s"))
    rows.append(("lookup alone, us/address", span("lookup_pv", digits=3),
                 "squidGuard " + span("lookup_sg", digits=3),
                 "squidGuard/ours " + ratio("lookup_sg", "lookup_pv"), "<= 1 us, >= 5x"))
    rows.append(("  of which parsing and deciding, us", span("lookup_pv_inner", digits=3), "",
                 "", "<= 1 us"))
    for t in thread_counts.split():
        rows.append((f"HTTP {t} thread(s), req/s", span(f"t{t}_pv_qps", digits=0),
                     "nginx " + span(f"t{t}_nginx_qps", digits=0),
                     "ours/nginx " + ratio(f"t{t}_pv_qps", f"t{t}_nginx_qps"),
                     ">= 0.9x every run"))
        rows.append((f"HTTP {t} thread(s), p50 ms", span(f"t{t}_pv_p50_ms", digits=3),
                     "nginx " + span(f"t{t}_nginx_p50_ms", digits=3),
                     "ours/nginx " + ratio(f"t{t}_pv_p50_ms", f"t{t}_nginx_p50_ms"), ""))
        rows.append((f"HTTP {t} thread(s), p99 ms", span(f"t{t}_pv_p99_ms", digits=3),
                     "nginx " + span(f"t{t}_nginx_p99_ms", digits=3),
                     "ours/nginx " + ratio(f"t{t}_pv_p99_ms", f"t{t}_nginx_p99_ms"), "< 5 ms"))
        rows.append((f"HTTP {t} thread(s), errors", span(f"t{t}_pv_errors", digits=0),
                     "nginx " + span(f"t{t}_nginx_errors", digits=0), "", "0"))
        rows.append((f"index build at start, ms ({t}t)", span(f"t{t}_build_start", digits=0),
                     "", "", "<= 500"))
        rows.append((f"  of which reading the store, ms ({t}t)",
                     span(f"t{t}_read_start", digits=0), "", "", ""))
        rows.append((f"index build after a change under load, ms ({t}t)",
                     span(f"t{t}_build_change", digits=0), "", "", "<= 500"))
        rows.append((f"  of which reading the store, ms ({t}t)",
                     span(f"t{t}_read_change", digits=0), "", "", ""))
        rows.append((f"  meanwhile: req/s, p99 ms, errors ({t}t)",
                     span(f"t{t}_change_qps", digits=0) + ", " +
                     span(f"t{t}_change_p99_ms", digits=1) + ", " +
                     span(f"t{t}_change_errors", digits=0), "", "", "answered, 0 errors"))
        rows.append((f"peak RSS after start-up, MiB ({t}t)", span(f"t{t}_rss_start", digits=1),
                     "", "", "<= 48"))
        rows.append((f"peak RSS after serving (Argon2id check), MiB ({t}t)",
                     span(f"t{t}_rss_served", digits=1), "", "", "<= 48"))
        rows.append((f"peak RSS during a rebuild under load, MiB ({t}t)",
                     span(f"t{t}_rss_change", digits=1), "", "", "<= 48"))

    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    print("== summary (medians over the rounds; ratios taken round by round)")
    for r in rows:
        print("  ".join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip())


if __name__ == "__main__":
    main()
