"""The statistics and the report of scripts/measure: reads what a run left in its log folder and
writes docs/performance.md.

    measure_report.py LOGS REPORT

LOGS holds results.jsonl (one JSON object a line: "startup", "session", "count", "fuzz" and one
"run" entry with the settings), bench.json and bench.log from Google Benchmark, the traces and
callgrind files the entries name. Standard library only.
"""

import datetime
import json
import math
import os
import platform
import re
import statistics
import subprocess
import sys

PROGRAMS = ("velmora", "floor")
BENCH_CASES = ("toggling", "steady", "painted")
FUZZ_RUNS_GOAL = 1_000_000
TICK_MS = 100
# Goals, as ratios to the floor measured in the same run.
TICK_GOAL = 1.2
STARTUP_GOAL = 1.25
MEMORY_GOAL = 1.1
# A run's cadence holds when it has the expected ticks ± 1 and its p99 interval is this close
# to the tick.
CADENCE_P99_SLACK_MS = 2
# A one-minute load average at or above this is "other work on the machine".
BUSY_LOAD = 0.5


def fail(message):
    print("measure_report: " + message, file=sys.stderr)
    sys.exit(1)


# ---- statistics ----

def percentile(values, fraction):
    """Nearest-rank percentile: the smallest value with at least `fraction` of them at or below."""
    ordered = sorted(values)
    rank = max(1, min(len(ordered), math.ceil(fraction * len(ordered))))
    return ordered[rank - 1]


def ratio(ours, floor):
    return ours / floor if floor else float("nan")


def cadence(trace_path):
    """Tick intervals from the simulated card's trace: one port-0 read a tick."""
    ticks, port1 = [], 0
    with open(trace_path) as trace:
        for line in trace:
            ns, port, _ = line.split()
            if port == "0":
                ticks.append(int(ns))
            elif port == "1":
                port1 += 1
    if len(ticks) < 2:
        fail(f"{trace_path} holds {len(ticks)} ticks: did the Initial click start the timer?")
    intervals = [(b - a) / 1e6 for a, b in zip(ticks, ticks[1:])]
    elapsed_ms = (ticks[-1] - ticks[0]) / 1e6
    return {
        "ticks": len(ticks),
        "port1_reads": port1,
        "p50_ms": percentile(intervals, 0.5),
        "p99_ms": percentile(intervals, 0.99),
        "max_ms": max(intervals),
        "late": sum(i > TICK_MS + CADENCE_P99_SLACK_MS for i in intervals),
        "drift_ms": elapsed_ms - (len(ticks) - 1) * TICK_MS,
    }


def cadence_holds(figures, expected_ticks):
    return (abs(figures["ticks"] - expected_ticks) <= 1
            and abs(figures["p99_ms"] - TICK_MS) <= CADENCE_P99_SLACK_MS)


def bench_times(path):
    """CPU nanoseconds per iteration of each case: the median of the repetitions."""
    with open(path) as f:
        runs = json.load(f)["benchmarks"]
    chosen = {r["run_name"]: r for r in runs
              if r.get("run_type") == "aggregate" and r.get("aggregate_name") == "median"}
    if not chosen:  # a single repetition gives no aggregates
        chosen = {r["run_name"]: r for r in runs if r.get("run_type") == "iteration"}
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
    return {name: r["cpu_time"] * scale[r["time_unit"]] for name, r in chosen.items()}


def callgrind_total(path):
    """The instructions callgrind collected (its "totals" line, or "summary")."""
    found = {}
    with open(path) as f:
        for line in f:
            for key in ("totals:", "summary:"):
                if line.startswith(key):
                    found[key] = int(line.split()[1])
    if not found:
        fail(f"{path} has no totals: did callgrind run to the end?")
    return found.get("totals:", found.get("summary:"))


def fuzz_result(entry):
    runs, seconds = 0, None
    try:
        with open(entry["log"], errors="replace") as log:
            for line in log:
                done = re.match(r"^Done (\d+) runs in (\d+) second", line)
                if done:
                    runs, seconds = int(done.group(1)), int(done.group(2))
    except OSError:
        pass
    try:
        crashes = len([n for n in os.listdir(entry["artifacts"])
                       if os.path.isfile(os.path.join(entry["artifacts"], n))])
    except OSError:
        crashes = 0
    if entry["status"] != 0 and crashes == 0:
        crashes = 1  # it failed without leaving an input behind
    return {"runs": runs, "seconds": seconds, "crashes": crashes}


# ---- the machine ----

def first_match(path, pattern, default="unknown"):
    try:
        with open(path) as f:
            for line in f:
                m = re.match(pattern, line)
                if m:
                    return m.group(1).strip()
    except OSError:
        pass
    return default


def machine():
    kib = first_match("/proc/meminfo", r"MemTotal:\s+(\d+)", "0")
    try:
        qt = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "libqt6core6"],
                            capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        qt = "unknown"
    return {
        "CPU": first_match("/proc/cpuinfo", r"model name\s*:\s*(.*)"),
        "cores": str(os.cpu_count()),
        "memory": f"{int(kib) / 1048576:.1f} GiB",
        "kernel": platform.release(),
        "Debian": first_match("/etc/debian_version", r"(.*)"),
        "Qt": qt or "unknown",
    }


# ---- the report ----

def yes(condition):
    return "yes" if condition else "no"


def fmt(value, digits=3):
    return "n/a" if value is None or math.isnan(value) else f"{value:.{digits}f}"


def load_one_minute(text):
    return float(text.split()[0])


def read_results(logs):
    entries = []
    with open(os.path.join(logs, "results.jsonl")) as f:
        for line in f:
            if line.strip():
                entries.append(json.loads(line))
    return entries


def write_report(logs, report):
    entries = read_results(logs)
    runs = [e for e in entries if e["kind"] == "run"]
    if not runs:
        fail("results.jsonl has no run entry")
    run = runs[-1]
    seconds, rounds = run["seconds"], run["rounds"]
    expected_ticks = seconds * 1000 // TICK_MS
    busy = (load_one_minute(run["load_start"]) >= BUSY_LOAD
            or load_one_minute(run["load_end"]) >= BUSY_LOAD)

    # Tick, CPU time.
    times = bench_times(os.path.join(logs, "bench.json"))
    tick = {}
    for case in BENCH_CASES:
        ours, floor = times.get(f"tick/{case}/ours"), times.get(f"tick/{case}/floor")
        if ours is None or floor is None:
            fail(f"the benchmark's output lacks tick/{case}")
        tick[case] = (ours, floor, ratio(ours, floor))
    watch = times.get("watch/steady")
    if watch is None:
        fail("the benchmark's output lacks watch/steady")
    with open(os.path.join(logs, "bench.log"), errors="replace") as f:
        debug_library = "built as DEBUG" in f.read()

    # Tick, instructions.
    counted = {}
    for e in entries:
        if e["kind"] == "count":
            counted[(e["side"], e["painting"])] = callgrind_total(e["out"]) / e["ticks"]
    have_counts = all((side, painting) in counted
                      for side in ("ours", "floor") for painting in ("bare", "painted"))

    # Under X.
    startups = {p: [e["ms"] for e in entries if e["kind"] == "startup" and e["program"] == p]
                for p in PROGRAMS}
    sessions = {p: sorted((e for e in entries if e["kind"] == "session" and e["program"] == p),
                          key=lambda e: e["round"])
                for p in PROGRAMS}
    for p in PROGRAMS:
        if not startups[p] or not sessions[p]:
            fail(f"no start-up or no session recorded for {p}")
    startup_median = {p: statistics.median(startups[p]) for p in PROGRAMS}
    startup_counts = {e["program"]: callgrind_total(e["out"]) for e in entries
                      if e["kind"] == "startup-count"}
    startup_count_ratio = (ratio(startup_counts["velmora"], startup_counts["floor"])
                           if all(p in startup_counts for p in PROGRAMS) else None)
    cpu = {p: sum(s["cpu_s"] for s in sessions[p]) for p in PROGRAMS}
    sched = {p: sum(s["sched_cpu_s"] for s in sessions[p]) for p in PROGRAMS}
    rss = {p: max(s["rss_kib"] for s in sessions[p]) for p in PROGRAMS}
    cadences = {p: [cadence(s["trace"]) for s in sessions[p]] for p in PROGRAMS}
    holds = {p: all(cadence_holds(c, expected_ticks) for c in cadences[p]) for p in PROGRAMS}
    round_cpu_ratios = [ratio(v["sched_cpu_s"], f["sched_cpu_s"])
                        for v, f in zip(sessions["velmora"], sessions["floor"])]

    fuzz = {e["target"]: fuzz_result(e) for e in entries if e["kind"] == "fuzz"}

    out = []
    w = out.append
    w("# Performance")
    w("")
    # The run's end: the last entry written.
    finished = datetime.datetime.fromtimestamp(
        os.path.getmtime(os.path.join(logs, "results.jsonl")), datetime.timezone.utc)
    w(f"Generated by `scripts/measure` on {finished:%Y-%m-%d %H:%M} UTC; run it again to refresh.")
    w("Absolute times depend on the machine and on whatever else it is doing; the claims are the")
    w("ratios against the floor, measured in the same run on the same machine. The floor,")
    w("`velmora_floor`, is the same window with stock widgets and a 100 ms timer that reads the")
    w("same simulated card twice and makes the same sixteen `setChecked` calls, with nothing in")
    w("between. Both are built as users get them from `scripts/setup`: RelWithDebInfo (-O2 -g).")
    w("")
    w("## Machine")
    w("")
    w("| | |")
    w("|---|---|")
    for key, value in machine().items():
        w(f"| {key} | {value} |")
    w(f"| load average (1, 5, 15 min) | {run['load_start']} at the start, {run['load_end']} at the end |")
    w("")
    if busy:
        w("Other work was running on the machine during this run (see the load average). Timed")
        w("figures (CPU time, start-up, cadence) move with that load, and the cadence most of all;")
        w("the instruction counts do not.")
        w("")
    w("## What each figure includes")
    w("")
    w("| figure | includes | leaves out |")
    w("|---|---|---|")
    w("| tick, bare (CPU time, instructions) | the timer's handler: two reads through dispatch, "
      "device control and card (the simulated card reads its state file), sixteen indicator "
      "writes | painting, the display server, the event loop |")
    w("| tick, painted | the same, and the repaint of the indicators that changed, into the "
      "window's backing store (offscreen) | sending the pixels to a display server |")
    w("| start-up | exec to the first painted pixel under Xvfb: loading libraries, Qt and X set-up,"
      " building the window, opening the card, the first paint | |")
    w("| CPU time under X | the whole process while it ticks with the card's random pattern: "
      "ticks, painting, X traffic, the event loop | |")
    w("| peak memory | VmHWM of the whole process | |")
    w("| cadence | the intervals between successive ticks' port-0 reads, from the card's own trace | |")
    w("")
    w("## Goals")
    w("")
    w("| goal | figure | holds |")
    w("|---|---|---|")
    for case in BENCH_CASES:
        w(f"| tick, {case}: ours ≤ {TICK_GOAL} × floor (CPU time) | {fmt(tick[case][2])} × "
          f"| {yes(tick[case][2] <= TICK_GOAL)} |")
    if have_counts:
        for painting in ("bare", "painted"):
            r = ratio(counted[("ours", painting)], counted[("floor", painting)])
            w(f"| tick, toggling, {painting}: ours ≤ {TICK_GOAL} × floor (instructions) "
              f"| {fmt(r)} × | {yes(r <= TICK_GOAL)} |")
    watch_tick = ratio(watch, tick["steady"][0])
    w(f"| velmora-watch sample, steady ≤ {TICK_GOAL} × the window's tick less painting (CPU time) "
      f"| {fmt(watch_tick)} × | {yes(watch_tick <= TICK_GOAL)} |")

    def cadence_text(p):
        return "; ".join(f"{c['ticks']} ticks, p99 {c['p99_ms']:.1f} ms" for c in cadences[p])

    w(f"| cadence, velmora: {expected_ticks} ± 1 ticks in {seconds} s, p99 interval within "
      f"{CADENCE_P99_SLACK_MS} ms of {TICK_MS} ms | {cadence_text('velmora')} | {yes(holds['velmora'])} |")
    w(f"| the same, floor (for comparison) | {cadence_text('floor')} | {yes(holds['floor'])} |")
    startup_ratio = ratio(startup_median["velmora"], startup_median["floor"])
    w(f"| start-up ≤ {STARTUP_GOAL} × floor (time) | {fmt(startup_ratio)} × | {yes(startup_ratio <= STARTUP_GOAL)} |")
    if startup_count_ratio is not None:
        w(f"| start-up ≤ {STARTUP_GOAL} × floor (instructions) | {fmt(startup_count_ratio)} × "
          f"| {yes(startup_count_ratio <= STARTUP_GOAL)} |")
    memory_ratio = ratio(rss["velmora"], rss["floor"])
    w(f"| peak memory (RSS) ≤ {MEMORY_GOAL} × floor | {fmt(memory_ratio)} × | {yes(memory_ratio <= MEMORY_GOAL)} |")
    for target, f in fuzz.items():
        w(f"| {target}: ≥ {FUZZ_RUNS_GOAL:,} runs, 0 crashes | {f['runs']} runs, {f['crashes']} crashes "
          f"| {yes(f['runs'] >= FUZZ_RUNS_GOAL and f['crashes'] == 0)} |")
    w("")
    short = [t for t, f in fuzz.items() if f["crashes"] == 0 and f["runs"] < FUZZ_RUNS_GOAL]
    if short:
        w(f"{' and '.join(short)} reached the time limit ({run['fuzz_seconds']} s) before "
          f"{FUZZ_RUNS_GOAL:,} runs, without a")
        w("crash: a busy machine runs fewer in the time; `MEASURE_FUZZ_SECONDS` gives them longer.")
        w("")
    if not holds["velmora"] and not holds["floor"]:
        w("Neither program kept the cadence in this run. The floor has nothing of velmora's between")
        w("the timer and the check boxes, so what delays both is the machine (the timer waits its")
        w("turn on a busy CPU), not velmora; on an idle machine both hold it.")
        w("")
    elif not holds["velmora"]:
        w("velmora missed the cadence where the floor kept it: look into the traces in the logs.")
        w("")

    w("## Tick (velmora_bench, offscreen)")
    w("")
    w("One tick through the whole path (dispatch, device control, card, indicators) against the")
    w(f"floor's two reads and sixteen writes; CPU time per tick, median of {run['bench_repetitions']}")
    w("repetitions. Toggling: the card's state file changes before every tick and all sixteen")
    w("indicators flip. Steady: nothing changes. Both leave painting out: the repaints the writes")
    w("schedule run once, after the timed loop. Painted: toggling, with those repaints inside the")
    w("timing.")
    if debug_library:
        w("(Google Benchmark warns that its library was built as DEBUG: that concerns its own")
        w("harness, the same for every case, so the ratios stand.)")
    w("")
    w("| case | velmora | floor | ours / floor |")
    w("|---|---|---|---|")
    for case in BENCH_CASES:
        ours, floor, r = tick[case]
        w(f"| {case} | {ours:.1f} ns | {floor:.1f} ns | {fmt(r)} |")
    w("")
    w("velmora-watch's sample with nothing changed (the same two reads through the same device")
    w("control and card, the comparison with the sample before, its end conditions and clock),")
    w("against the window's steady tick above, which likewise leaves out the painting:")
    w("")
    w("| case | velmora-watch | window's tick | floor | watch / tick | watch / floor |")
    w("|---|---|---|---|---|---|")
    w(f"| steady | {watch:.1f} ns | {tick['steady'][0]:.1f} ns | {tick['steady'][1]:.1f} ns "
      f"| {fmt(ratio(watch, tick['steady'][0]))} | {fmt(ratio(watch, tick['steady'][1]))} |")
    w("")
    if have_counts:
        ticks = next(e["ticks"] for e in entries if e["kind"] == "count")
        w(f"Instructions per toggling tick, counted by callgrind over {ticks} ticks after as many")
        w("uncounted ones; unlike CPU time, the counts do not move with the machine's load:")
        w("")
        w("| | velmora | floor | ours / floor |")
        w("|---|---|---|---|")
        for painting in ("bare", "painted"):
            ours, floor = counted[("ours", painting)], counted[("floor", painting)]
            w(f"| {painting} | {ours:,.0f} | {floor:,.0f} | {fmt(ratio(ours, floor))} |")
        share = {side: 1 - counted[(side, "bare")] / counted[(side, "painted")]
                 for side in ("ours", "floor")}
        w("")
        w(f"Painting is {share['ours']:.0%} of velmora's instructions in a tick that changes the")
        w(f"lines ({share['floor']:.0%} of the floor's), so the bare ratio compares the small rest,")
        w("where velmora's own path is, and the painted ratio is the one a user's CPU sees.")
        w("")
    w("Reading a device result as a Boolean (CPU time per reading):")
    w("")
    w("| result | time |")
    w("|---|---|")
    for name, value in times.items():
        if name.startswith("boolean/"):
            w(f"| {name[len('boolean/'):]} | {value:.3f} ns |")
    w("")

    w(f"## The programs under X (Xvfb, {rounds} round(s) of {seconds} s each, alternating)")
    w("")
    w("Start-up is from exec to the first frame on the screen: the window is mapped and a pixel")
    w("of its background has been painted (the same test for both programs), median of")
    w(f"{run['startups']} launches each, alternating, after one unmeasured launch of each. CPU time is")
    w("utime + stime from /proc over the measured time after \"Initial\" was pressed, summed over")
    w("the rounds (the scheduler's per-thread figure beside it is finer-grained); peak memory is")
    w("VmHWM, the largest of the rounds. Start-up is also counted in instructions under")
    w("callgrind, from exec to the first frame and two seconds of rest after it, which load does")
    w("not move. Both programs are timed alike, but a launch or a minute of ticking gets only a")
    w("share of a machine others use too: the spread across launches and rounds is shown so that")
    w("a single ratio is not read as more exact than it is.")
    w("")
    w("| | velmora | floor | ours / floor |")
    w("|---|---|---|---|")
    w(f"| start-up (median) | {startup_median['velmora']:.1f} ms | {startup_median['floor']:.1f} ms "
      f"| {fmt(startup_ratio)} |")
    if startup_count_ratio is not None:
        w(f"| start-up, instructions (callgrind) | {startup_counts['velmora']:,} | {startup_counts['floor']:,} "
          f"| {fmt(startup_count_ratio)} |")
    w(f"| start-up (fastest – slowest) | {min(startups['velmora']):.1f} – {max(startups['velmora']):.1f} ms "
      f"| {min(startups['floor']):.1f} – {max(startups['floor']):.1f} ms | |")
    w(f"| CPU time, utime + stime | {cpu['velmora']:.2f} s | {cpu['floor']:.2f} s | {fmt(ratio(cpu['velmora'], cpu['floor']))} |")
    w(f"| CPU time, scheduler | {sched['velmora']:.3f} s | {sched['floor']:.3f} s | {fmt(ratio(sched['velmora'], sched['floor']))} |")
    if len(round_cpu_ratios) > 1:
        w(f"| CPU time, scheduler, each round | | | {', '.join(fmt(r) for r in round_cpu_ratios)} |")
    w(f"| peak memory (VmHWM) | {rss['velmora']} KiB | {rss['floor']} KiB | {fmt(memory_ratio)} |")
    w("")
    w("Cadence, from the simulated card's trace (one port-0 read per tick):")
    w("")
    w("| program | round | ticks | p50 | p99 | max | over 102 ms | drift |")
    w("|---|---|---|---|---|---|---|---|")
    for p in PROGRAMS:
        for number, c in enumerate(cadences[p], 1):
            w(f"| {p} | {number} | {c['ticks']} | {c['p50_ms']:.3f} ms | {c['p99_ms']:.3f} ms "
              f"| {c['max_ms']:.3f} ms | {c['late']} | {c['drift_ms']:.3f} ms |")
    w("")
    w("Drift is the ticks' actual elapsed time less (ticks − 1) × 100 ms.")
    w("")
    if fuzz:
        w("## Fuzzing (libFuzzer, ASan + UBSan)")
        w("")
        w("| target | runs | seconds | crashes |")
        w("|---|---|---|---|")
        for target, f in fuzz.items():
            w(f"| {target} | {f['runs']} | {f['seconds'] if f['seconds'] is not None else '?'} "
              f"| {f['crashes']} |")

    with open(report, "w") as f:
        f.write("\n".join(out) + "\n")


def main():
    if len(sys.argv) != 3:
        fail("usage: measure_report.py LOGS REPORT")
    write_report(sys.argv[1], sys.argv[2])


if __name__ == "__main__":
    main()
