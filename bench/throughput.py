#!/usr/bin/python3
"""Throughput benchmark of the Python module: many processes at once, and the
CPU each operation costs, side by side with two peers.

The corpus, the peer databases, the engines' calls and the query classes are
those of bench/cold_paths.py (its header describes them). A cell is one
workload, run by P processes at once on one engine:

  search   each operation one query; each process cycles through the query
           classes (term rare, term medium, term frequent, and, or,
           or frequent, and-not), the terms of every query drawn at random
           from its class's pools
  fetch    each operation one get_document of a uniformly random id of the
           whole index (the report gives the store's size in blocks against
           its cache's 256 blocks per segment)
  mixed    each operation one search as above, then three fetches as above

P is 1, the CPUs available to this process (its affinity mask, limited by
its control groups' CPU quota) and twice that, unless --procs says otherwise.

Every process of a cell is a fresh interpreter running this script in its
worker mode: it opens its own index (our module, or its own Xapian database
or SQLite connection), checks a few answers, and runs the workload for a
warm-up: --warm-seconds, and at least twice as many operations as our block
caches hold blocks (256 a segment, for at most 5 s), so that the window sees
the steady state rather than caches filling up. Once all P are warm, the parent hands them one start time in
the near future and one end time; each keeps working, and its window runs
from the end of its first operation to end at or after the start time (it
reads the times between operations) to the end of the first to end at or
after the end time. It reports the operations it completed in its window,
the CPU it used in it (getrusage(RUSAGE_SELF): user + system time of all of
the process's threads) and the window's length, its wall time. Per cell:

  ops/s        P x the processes' total operations / their total wall
               time (the sum of their rates, when their windows are as
               long; a process whose window held a few operations weighs
               as little as its window is short); marked * where the
               processes completed fewer than 20 operations each on
               average, too few for a workload whose operations differ
               a lot in cost (the search of a slow engine on a large corpus)
  CPU µs/op    the processes' total CPU time / their total operations
  CPU/wall     the processes' total CPU time / their total wall time, i.e.
               how many CPUs one process keeps busy
  elsewhere    the CPUs that other programs kept busy during the window:
               the machine's busy time over the time from the start to the
               end (/proc/stat, time stolen by the host included) less the
               sum of the processes' CPU time / wall time; a
               row shows the most of its cells, so that a disturbed cell
               shows (on a shared machine, compare only calm rows)

After its window every process sleeps, and measures the CPU it used from 2 ms
to 100 ms after its last call returned, in all and outside its calling
thread (RUSAGE_SELF less RUSAGE_THREAD): "idle" in the report, whose target
is none.

Before the cells, every engine's answers are checked against the corpus and
each other as bench/cold_paths.py checks them, each build of our module in a
process of its own. Before each cell, the parent reads all of the cell's
engine's files once, so that the page cache holds them (as cold_paths.py
does). Engines alternate cell by cell (ours, xapian, fts5 for one workload
and P, then the next P), round after round with --rounds N, each round
starting with the next engine; the figures of a cell are medians over the
rounds, and every ratio ours / peer is the median of the ratios of the same
round, so that the machine's noise hits all engines alike. Within a round
and cell, every engine's processes run the same operations. A worker that
fails (an exception, a wrong answer, an exit before its report) fails the
run with its error output.

Run it through bench/throughput.sh, which builds the module and the corpus
generator in Release and then runs this script:

  bash bench/throughput.sh                          # 64k documents in 1 segment
  bash bench/throughput.sh --docs 1M                # 1,048,576 documents in 16 segments
  bash bench/throughput.sh --quick                  # 1 s cells
  bash bench/throughput.sh --workloads fetch --procs 8 --engines ours,xapian
  bash bench/throughput.sh --also-build OTHER_BUILD # a second build as "ours-b"

or directly, with /usr/bin/python3 and a build folder holding zelvar_python
(and zelvar_bench_corpus, if the corpus is not made yet):
throughput.py --build BUILD_DIR [options].
"""

import argparse
import functools
import gc
import json
import os
import platform
import random
import resource
import select
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import cold_paths as cp

WORKLOADS = ("search", "fetch", "mixed")
OURS = ("ours", "ours-b")
PEERS = ("xapian", "fts5")
MIXED_FETCHES = 3
PLANNED_OPERATIONS = 1 << 14  # per process, run in a cycle
WARM_CAP_SECONDS = 5.0  # the longest warm-up counted in operations
START_DELAY = 0.1             # seconds from handing out the start time to the start
IDLE_FROM, IDLE_TO = 0.002, 0.100
WORKER_TIMEOUT = 120          # seconds a worker may take to open, warm up or report
COARSE = 20                   # operations per process below which a cell's rate is marked


# ---- the CPUs available -------------------------------------------------------

def available_cpus():
    """The affinity mask's CPUs, limited by the control groups' CPU quota."""
    count = len(os.sched_getaffinity(0))
    limit = cgroup_cpu_limit()
    return min(count, limit) if limit else count


def cgroup_cpu_limit():
    """The smallest CPU quota, rounded up, of the process's control groups
    and the groups above them (v2 cpu.max, v1 cpu.cfs_quota_us and
    cpu.cfs_period_us); None without one."""
    try:
        groups = Path("/proc/self/cgroup").read_text().splitlines()
        mountinfo = Path("/proc/self/mountinfo").read_text().splitlines()
    except OSError:
        return None
    mounts = []  # (v2?, root, mount point)
    for line in mountinfo:
        left, _, right = line.partition(" - ")
        fields, tail = left.split(" "), right.split(" ")
        if len(fields) < 5 or len(tail) < 3:
            continue
        root, point = (f.replace("\\040", " ") for f in fields[3:5])
        if tail[0] == "cgroup2" or (tail[0] == "cgroup" and "cpu" in tail[2].split(",")):
            mounts.append((tail[0] == "cgroup2", root, point))
    limits = []
    for line in groups:
        number, controllers, group = line.split(":", 2)
        v2 = number == "0"
        if not v2 and "cpu" not in controllers.split(","):
            continue
        for mount_v2, root, point in mounts:
            rest = os.path.relpath(group, root)
            if mount_v2 != v2 or rest.startswith(".."):
                continue
            top = Path(os.path.normpath(point))
            folder = Path(os.path.normpath(os.path.join(point, rest)))
            while True:
                limits.append(folder_cpu_limit(folder, v2))
                if folder == top or folder == folder.parent:
                    break
                folder = folder.parent
            break
    limits = [n for n in limits if n]
    return min(limits) if limits else None


def folder_cpu_limit(folder, v2):
    def first_line(name):
        try:
            return (folder / name).read_text().split("\n")[0].split()
        except OSError:
            return []
    if v2:
        words = first_line("cpu.max")
        quota, period = words if len(words) == 2 and words[0] != "max" else ("", "")
    else:
        quota, period = (first_line("cpu.cfs_quota_us") or [""])[0], (first_line("cpu.cfs_period_us") or [""])[0]
    if not (quota.isdigit() and period.isdigit()) or int(quota) == 0 or int(period) == 0:
        return None
    return max(1, -(-int(quota) // int(period)))


# ---- workers ------------------------------------------------------------------
# The parent writes a spec (the corpus, the term pools, every engine's files)
# to a file every worker reads. A worker prints "ready" once warm, reads
# "START END" (time.monotonic() values) from its standard input, and prints
# its figures as one JSON line.

def open_engine(entry):
    if entry["kind"] == "ours":
        sys.path.insert(0, entry["module"])
        import zelvar_python
        where = Path(zelvar_python.__file__).resolve().parent
        if where != Path(entry["module"]).resolve():
            raise RuntimeError(f"zelvar_python was imported from {where}, not {entry['module']}")
        return cp.Ours(zelvar_python, entry["path"])
    if entry["kind"] == "xapian":
        return cp.Xapian(entry["path"])
    return cp.Fts5(entry["path"])


def draw_query(rng, classes, pools):
    """Random terms from `pools` (term class names), no term twice."""
    terms = []
    for pool in pools:
        term = rng.choice(classes[pool])
        while term in terms:
            term = rng.choice(classes[pool])
        terms.append(term)
    return terms


def run_mixed(search, fetch, *ids):
    search()
    for doc in ids:
        fetch(doc)


def plan_operations(engine, workload, classes, docs, rng):
    """PLANNED_OPERATIONS calls without arguments, one operation each."""
    names = list(cp.QUERY_CLASSES)
    first = rng.randrange(len(names))

    def search(k):
        pools, call = cp.QUERY_CLASSES[names[(first + k) % len(names)]]
        return functools.partial(call, engine, *draw_query(rng, classes, pools))

    if workload == "fetch":
        return [functools.partial(engine.fetch, rng.randrange(docs)) for _ in range(PLANNED_OPERATIONS)]
    if workload == "search":
        return [search(k) for k in range(PLANNED_OPERATIONS)]
    return [functools.partial(run_mixed, search(k), engine.fetch,
                              *(rng.randrange(docs) for _ in range(MIXED_FETCHES)))
            for k in range(PLANNED_OPERATIONS)]


def check_answers(engine, classes, docs, rng):
    """Fetches return documents and every class's terms are found."""
    for doc in [0, docs - 1] + [rng.randrange(docs) for _ in range(20)]:
        if engine.fetch(doc) is None:
            raise RuntimeError(f"document {doc} of {docs} was not found")
    for pool, terms in classes.items():
        for term in rng.sample(terms, min(5, len(terms))):
            if not engine.term(term):
                raise RuntimeError(f"no hits for the {pool} term {term!r}")


def worker(spec_path, engine_name, workload, seed):
    spec = json.loads(Path(spec_path).read_text())
    classes, docs = spec["classes"], spec["docs"]
    engine = open_engine(spec["engines"][engine_name])
    rng = random.Random(seed)
    check_answers(engine, classes, docs, rng)
    ops = plan_operations(engine, workload, classes, docs, rng)
    gc.collect()
    gc.disable()
    clock = time.monotonic
    count = len(ops)
    i = 0
    began_warming = clock()
    until = began_warming + spec["warm_seconds"]
    # A slow engine's operations (FTS5 searches at 1M) are not counted out.
    cap = max(until, began_warming + WARM_CAP_SECONDS)
    while clock() < until or (i < spec["warm_operations"] and clock() < cap):
        ops[i % count]()
        i += 1
    print("ready", flush=True)

    # Busy until the start, as the window's first operations would find a
    # process that had not been idle.
    message = b""
    poll = 0.0
    while not message.endswith(b"\n"):
        ops[i % count]()
        i += 1
        now = clock()
        if now >= poll:
            poll = now + 0.001
            if select.select([0], [], [], 0)[0]:
                chunk = os.read(0, 256)
                if not chunk:
                    raise RuntimeError("the parent closed the pipe before the start")
                message += chunk
    start, end = (float(x) for x in message.split())
    while clock() < start:
        ops[i % count]()
        i += 1

    usage = resource.getrusage
    self_, thread = resource.RUSAGE_SELF, resource.RUSAGE_THREAD
    before = usage(self_)
    began = clock()
    done = 0
    while True:
        ops[i % count]()
        i += 1
        done += 1
        now = clock()
        if now >= end:
            break
    after = usage(self_)

    time.sleep(max(0.0, now + IDLE_FROM - clock()))
    idle_self, idle_thread = usage(self_), usage(thread)
    time.sleep(max(0.0, now + IDLE_TO - clock()))
    idle_self_end, idle_thread_end = usage(self_), usage(thread)
    idle_all = cpu_seconds(idle_self_end) - cpu_seconds(idle_self)
    idle_caller = cpu_seconds(idle_thread_end) - cpu_seconds(idle_thread)
    print(json.dumps({"ops": done, "cpu_s": cpu_seconds(after) - cpu_seconds(before), "wall_s": now - began,
                      "late_s": began - start, "idle_cpu_us": idle_all * 1e6,
                      "idle_other_threads_us": (idle_all - idle_caller) * 1e6}), flush=True)


def cpu_seconds(usage):
    return usage.ru_utime + usage.ru_stime


def check_worker(spec_path, engine_names):
    """cold_paths.py's checks of the engines named, in this process."""
    spec = json.loads(Path(spec_path).read_text())
    engines = [open_engine(spec["engines"][name]) for name in engine_names]
    for engine, name in zip(engines, engine_names):
        engine.name = name
    rng = random.Random(spec["seed"])
    cp.check_engines(engines, Path(spec["folder"]), spec["docs"], rng.sample(spec["classes"]["rare"], 5))


# ---- the parent ---------------------------------------------------------------

class Worker:
    """One worker process, its output read line by line against a deadline."""

    def __init__(self, argv):
        self.errors = tempfile.TemporaryFile()
        self.process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self.errors)
        self.buffer = b""

    def line(self, deadline):
        fd = self.process.stdout.fileno()
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                self.fail("gave no answer in time")
            chunk = os.read(fd, 4096)
            if not chunk:
                self.process.wait()
                self.fail(f"exited with status {self.process.returncode}")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line.decode()

    def fail(self, what):
        raise WorkerFailed(self, what)

    def error_text(self):
        self.errors.seek(0)
        return self.errors.read().decode(errors="replace").strip()

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.errors.close()


class WorkerFailed(Exception):
    def __init__(self, worker, what):
        super().__init__(what)
        self.worker = worker


def run_workers(argvs, handle):
    """Starts a worker per argv and gives them to `handle`; any failure of one
    stops them all and ends the run with its error output."""
    workers = []
    try:
        workers = [Worker(argv) for argv in argvs]
        return handle(workers)
    except WorkerFailed as failure:
        argv = " ".join(failure.worker.process.args[2:])
        text = failure.worker.error_text()
        sys.exit(f"a worker ({argv}) {failure}" + (f":\n{text}" if text else ""))
    finally:
        for w in workers:
            w.stop()


def run_checks(args, spec_path):
    """cold_paths.py's checks: each build of our module with the peers, in a
    process of its own, all at once."""
    ours = [e for e in args.engines if e in OURS]
    peers = [e for e in args.engines if e in PEERS]
    groups = [[o] + peers for o in ours] or [peers]

    def handle(workers):
        deadline = time.monotonic() + WORKER_TIMEOUT
        for w in workers:
            try:
                w.process.wait(max(0.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                w.fail("did not finish its checks in time")
            if w.process.returncode != 0:
                w.fail(f"failed its checks (status {w.process.returncode})")

    run_workers([[sys.executable, __file__, "--check", str(spec_path), ",".join(g)] for g in groups], handle)


def run_cell(args, spec_path, engine, workload, procs, round_):
    """One cell: `procs` workers of `engine` on `workload`. Returns its figures."""
    entry = args.spec["engines"][engine]
    cp.warm_page_cache([entry["path"]])
    argvs = [[sys.executable, __file__, "--worker", str(spec_path), engine, workload,
              f"{args.seed}-{round_}-{workload}-{procs}-{k}"] for k in range(procs)]

    def handle(workers):
        deadline = time.monotonic() + WORKER_TIMEOUT
        for w in workers:
            if (line := w.line(deadline)) != "ready":
                w.fail(f"said {line!r} for 'ready'")
        start = time.monotonic() + START_DELAY
        end = start + args.seconds
        for w in workers:
            try:
                w.process.stdin.write(f"{start!r} {end!r}\n".encode())
                w.process.stdin.close()
            except BrokenPipeError:
                w.process.wait()
                w.fail(f"exited with status {w.process.returncode} before the start")
        time.sleep(max(0.0, start - time.monotonic()))
        busy_before, since = machine_busy_seconds(), time.monotonic()
        time.sleep(max(0.0, end - time.monotonic()))
        busy = (machine_busy_seconds() - busy_before) / (time.monotonic() - since)
        deadline = end + WORKER_TIMEOUT
        reports = [json.loads(w.line(deadline)) for w in workers]
        for w in workers:
            if w.process.wait() != 0:
                w.fail(f"exited with status {w.process.returncode}")
        return reports, busy

    reports, busy = run_workers(argvs, handle)  # busy: the CPUs the machine kept busy
    ops = sum(r["ops"] for r in reports)
    cpu = sum(r["cpu_s"] for r in reports)
    wall = sum(r["wall_s"] for r in reports)
    return {"ops_per_s": procs * ops / wall,
            "ops_per_process": ops / procs,
            "busy_elsewhere": busy - sum(r["cpu_s"] / r["wall_s"] for r in reports),
            "cpu_us_per_op": cpu * 1e6 / ops,
            "cpu_per_wall": cpu / wall,
            "idle_cpu_us": statistics.mean(r["idle_cpu_us"] for r in reports),
            "idle_other_threads_us": statistics.mean(r["idle_other_threads_us"] for r in reports),
            "processes": reports}


def machine_busy_seconds():
    """The CPU time the whole machine has spent busy (or stolen by its host),
    from /proc/stat."""
    with open("/proc/stat") as f:
        user, nice, system, _idle, _iowait, irq, softirq, steal = (int(x) for x in f.readline().split()[1:9])
    return (user + nice + system + irq + softirq + steal) / os.sysconf("SC_CLK_TCK")


def run_all(args, spec_path):
    """{(workload, procs, engine): [the cell's figures in each round]}."""
    cells = {}
    for round_ in range(args.rounds):
        turn = round_ % len(args.engines)
        engines = args.engines[turn:] + args.engines[:turn]
        for workload in args.workloads:
            for procs in args.procs:
                for engine in engines:
                    cell = run_cell(args, spec_path, engine, workload, procs, round_)
                    cells.setdefault((workload, procs, engine), []).append(cell)
                    cp.note(f"  round {round_ + 1}, {workload}, P = {procs}, {engine}: "
                            f"{cell['ops_per_s']:,.0f} ops/s, {cell['cpu_us_per_op']:.1f} µs CPU/op, "
                            f"{cell['cpu_per_wall']:.2f} CPU/wall, "
                            f"{max(0.0, cell['busy_elsewhere']):.1f} CPUs busy elsewhere")
    return cells


# ---- report -------------------------------------------------------------------

def ratio_pairs(engines):
    """(a, b) for every ratio a / b the report shows: ours / each peer, and
    ours-b / ours."""
    pairs = [("ours", p) for p in engines if p in PEERS and "ours" in engines]
    if "ours" in engines and "ours-b" in engines:
        pairs.append(("ours-b", "ours"))
    return pairs


def summarize(args, cells):
    """Medians per cell, ratios per cell, and the scaling from CPUs to twice
    as many processes."""
    figures = ("ops_per_s", "ops_per_process", "cpu_us_per_op", "cpu_per_wall", "idle_cpu_us",
               "idle_other_threads_us", "busy_elsewhere")
    medians, ratios, scaling = {}, {}, {}
    for workload in args.workloads:
        for procs in args.procs:
            key = f"{workload} P={procs}"
            runs = {e: cells[(workload, procs, e)] for e in args.engines}
            medians[key] = {e: {f: statistics.median(c[f] for c in runs[e]) for f in figures}
                            for e in args.engines}
            ratios[key] = {f"{a}/{b}": {
                f: statistics.median(x[f] / y[f] for x, y in zip(runs[a], runs[b]))
                for f in ("ops_per_s", "cpu_us_per_op")} for a, b in ratio_pairs(args.engines)}
        if args.cpus in args.procs and 2 * args.cpus in args.procs:
            scaling[workload] = {
                e: medians[f"{workload} P={2 * args.cpus}"][e]["ops_per_s"] /
                medians[f"{workload} P={args.cpus}"][e]["ops_per_s"] for e in args.engines}
    return medians, ratios, scaling


def report(args, meta, cells, load_before):
    medians, ratios, scaling = summarize(args, cells)
    load = os.getloadavg()
    segments = meta["segments"]
    per_segment = meta["store_blocks"] / segments
    print()
    print(f"corpus: {meta['docs']:,} documents in {cp.plural(segments, 'segment')}, seed {meta['seed']}")
    print(f"machine: {args.cpus} CPUs available ({os.cpu_count()} online); load average "
          f"{load_before[0]:.2f} before, {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} at the end; "
          f"Python {platform.python_version()}")
    print(f"cells: {args.seconds:g} s each after a {args.warm_seconds:g} s warm-up, "
          f"{cp.plural(args.rounds, 'round')}" + ("; figures are medians over the rounds" if args.rounds > 1 else ""))
    if "fetch" in args.workloads or "mixed" in args.workloads:
        print(f"fetch: uniformly random ids; the store holds {meta['store_blocks']:,} blocks of 16 documents, "
              f"{per_segment:,.0f} per segment, {per_segment / meta['cache_blocks']:.0f}x its cache of "
              f"{meta['cache_blocks']} blocks per segment")
    for a, b in ratio_pairs(args.engines):
        print(f"{a}/{b}: the ratio of {a}'s figure to {b}'s, from the same round")
    print("elsewhere: the most CPUs that other programs kept busy during one of the row's cells "
          "(the machine's busy time less the cell's processes')")
    if any(m[e]["ops_per_process"] < COARSE for m in medians.values() for e in args.engines):
        print(f"*: fewer than {COARSE} operations per process in the window, a coarse figure")
    print()
    header = ["workload", "P"]
    for e in args.engines:
        header += [f"{e} ops/s", f"{e} CPU µs/op", f"{e} CPU/wall"]
    for pair in ratios[next(iter(ratios))]:
        header += [f"{pair} ops/s", f"{pair} CPU/op"]
    header.append("elsewhere")
    rows = []
    for workload in args.workloads:
        for procs in args.procs:
            key = f"{workload} P={procs}"
            row = [workload, str(procs)]
            for e in args.engines:
                m = medians[key][e]
                mark = "*" if m["ops_per_process"] < COARSE else ""
                row += [f"{mark}{m['ops_per_s']:,.0f}", f"{m['cpu_us_per_op']:.1f}", f"{m['cpu_per_wall']:.2f}"]
            for r in ratios[key].values():
                row += [f"{r['ops_per_s']:.2f}", f"{r['cpu_us_per_op']:.2f}"]
            row.append(f"{max(0.0, max(medians[key][e]['busy_elsewhere'] for e in args.engines)):.1f}")
            rows.append(row)
    print_table(header, rows)

    if scaling:
        print()
        for workload, by_engine in scaling.items():
            print(f"{workload}: throughput at P = {2 * args.cpus} / at P = {args.cpus}: " +
                  ", ".join(f"{e} {v:.2f}" for e, v in by_engine.items()))
    low = min(args.procs)
    print()
    print(f"idle: CPU from {IDLE_FROM * 1e3:g} to {IDLE_TO * 1e3:g} ms after the last call, per process at P = {low}:"
          " outside the calling thread (all threads, the sleeping caller's wake-ups included)")
    for workload in args.workloads:
        m = medians[f"{workload} P={low}"]
        print(f"  {workload}: " + ", ".join(
            f"{e} {round(m[e]['idle_other_threads_us'])} µs ({round(m[e]['idle_cpu_us'])} µs)" for e in args.engines))

    if args.json:
        args.json.write_text(json.dumps({
            "corpus": meta, "cpus": args.cpus, "online_cpus": os.cpu_count(), "load_before": load_before,
            "load_after": load, "seconds": args.seconds, "warm_seconds": args.warm_seconds,
            "rounds": args.rounds, "procs": args.procs, "engines": args.spec["engines"],
            "medians": medians, "ratios": ratios,
            "scaling": {w: {"procs": [args.cpus, 2 * args.cpus], "ratio": s} for w, s in scaling.items()},
            "cells": [{"workload": w, "procs": p, "engine": e, "rounds": runs}
                      for (w, p, e), runs in cells.items()]}, indent=1) + "\n")


def print_table(header, rows):
    """A markdown table, columns padded, numbers right-aligned."""
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]

    def line(cells):
        return "| " + " | ".join(c.ljust(w) if i == 0 else c.rjust(w)
                                 for i, (c, w) in enumerate(zip(cells, widths))) + " |"
    print(line(header))
    print("|" + "|".join("-" * (w + 1) + (":" if i else "-") for i, w in enumerate(widths)) + "|")
    for r in rows:
        print(line(r))


# ---- command line -------------------------------------------------------------

def listed(choices):
    def parse(text):
        items = [t.strip() for t in text.split(",") if t.strip()]
        wrong = [t for t in items if t not in choices]
        if not items or wrong:
            raise argparse.ArgumentTypeError(f"expected a comma-separated list of {', '.join(choices)}")
        return list(dict.fromkeys(items))
    return parse


def process_counts(text):
    try:
        counts = sorted({int(t) for t in text.split(",")})
    except ValueError:
        counts = []
    if not counts or counts[0] < 1:
        raise argparse.ArgumentTypeError("expected a comma-separated list of process counts, e.g. 1,8,16")
    return counts


def module_dir(build):
    if not any(build.glob("zelvar_python*.so")):
        sys.exit(f"{build} holds no zelvar_python module: build the target zelvar_python")
    return str(build)


def main():
    if len(sys.argv) == 6 and sys.argv[1] == "--worker":
        worker(*sys.argv[2:])
        return
    if len(sys.argv) == 4 and sys.argv[1] == "--check":
        check_worker(sys.argv[2], sys.argv[3].split(","))
        return
    parser = argparse.ArgumentParser(description="Throughput benchmark of zelvar_python against its peers.")
    parser.add_argument("--docs", type=cp.parse_count, default=cp.parse_count("64k"),
                        help="documents in the corpus: 64k (default, 1 segment), 1M (16 segments), or a number")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--seconds", type=float, help="each cell's measured window (default 3, 1 with --quick)")
    parser.add_argument("--warm-seconds", type=float, default=0.3, help="each worker's warm-up (default 0.3)")
    parser.add_argument("--rounds", type=int, default=1, help="rounds of all cells; the report gives medians")
    parser.add_argument("--procs", type=process_counts,
                        help="process counts (default: 1, the CPUs available, twice that)")
    parser.add_argument("--workloads", type=listed(WORKLOADS), default=list(WORKLOADS),
                        help="of search, fetch, mixed (default: all)")
    parser.add_argument("--engines", type=listed(OURS + PEERS),
                        help="of ours, ours-b, xapian, fts5 (default: all there are)")
    parser.add_argument("--quick", action="store_true", help="1 s cells")
    parser.add_argument("--build", type=Path, default=cp.ROOT / "build" / "bench",
                        help="build folder with zelvar_python (and zelvar_bench_corpus): the engine ours")
    parser.add_argument("--also-build", type=Path, help="a second build folder: the engine ours-b")
    parser.add_argument("--data", type=Path, default=cp.ROOT / "build" / "bench-data",
                        help="folder of the cached corpora and peer databases")
    parser.add_argument("--json", type=Path, help="also write every figure to this file")
    args = parser.parse_args()
    if args.seconds is None:
        args.seconds = 1.0 if args.quick else 3.0
    if args.seconds <= 0 or args.warm_seconds < 0 or args.rounds < 1:
        parser.error("--seconds must be positive, --warm-seconds not negative, --rounds at least 1")
    args.cpus = available_cpus()
    if args.procs is None:
        args.procs = sorted({1, args.cpus, 2 * args.cpus})
    if args.engines is None:
        args.engines = ["ours"] + (["ours-b"] if args.also_build else []) + \
            (["xapian"] if cp.have_xapian() else []) + ["fts5"]
        if not cp.have_xapian():
            cp.note("python3-xapian is not installed: Xapian is left out")
    elif "xapian" in args.engines and not cp.have_xapian():
        parser.error("python3-xapian is not installed")
    if "ours-b" in args.engines and not args.also_build:
        parser.error("the engine ours-b needs --also-build")
    args.build = args.build.resolve()
    args.data = args.data.resolve()
    args.segments = cp.default_segments(args.docs)

    folder, meta = cp.ensure_corpus(args)
    classes = cp.term_classes(folder, args.docs)
    engines = {}
    for name in args.engines:
        if name == "ours":
            engines[name] = {"kind": "ours", "path": str(folder / "index"), "module": module_dir(args.build)}
        elif name == "ours-b":
            engines[name] = {"kind": "ours", "path": str(folder / "index"),
                             "module": module_dir(args.also_build.resolve())}
        elif name == "xapian":
            engines[name] = {"kind": "xapian", "path": str(cp.ensure_xapian(folder))}
        else:
            engines[name] = {"kind": "fts5", "path": str(cp.ensure_fts5(folder))}
    # Twice as many operations as our block caches hold blocks: a fresh index
    # fills its caches first, and the first touch of their memory costs a
    # page fault a block, more than the read itself; the window is to see
    # the steady state that follows.
    warm_operations = 2 * meta["segments"] * meta["cache_blocks"]
    args.spec = {"folder": str(folder), "docs": args.docs, "seed": args.seed, "classes": classes,
                 "engines": engines, "warm_seconds": args.warm_seconds, "warm_operations": warm_operations}

    load_before = os.getloadavg()
    with tempfile.TemporaryDirectory(prefix="zelvar-throughput-") as scratch:
        spec_path = Path(scratch) / "spec.json"
        spec_path.write_text(json.dumps(args.spec))
        cp.note(f"checking {', '.join(args.engines)} ...")
        run_checks(args, spec_path)
        cp.note(f"measuring {', '.join(args.workloads)} at P = {', '.join(map(str, args.procs))} "
                f"on {', '.join(args.engines)} (alternating) ...")
        cells = run_all(args, spec_path)
    report(args, meta, cells, load_before)


if __name__ == "__main__":
    main()
