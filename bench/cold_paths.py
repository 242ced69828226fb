#!/usr/bin/python3
"""Cold-path benchmark of the Python module, side by side with two peers.

Measures whole calls on a `ZelvarIndex` from Python, on a generated corpus of
short documents (bench/make_corpus.cc: Zipfian vocabulary of 200,000 words, a
title and a body of tens of words per document):

  fetch             get_document(random id), every id in a block no earlier
                    fetch touched, over a store 16 times larger than its cache
  open+query        ZelvarIndex.open(path) and one rare-term search, a fresh
                    index each trial
  term rare         search_term("body", t, 10), t in at most max(3, N/100000)
                    documents
  term medium       t in 0.05% to 0.2% of the documents
  term frequent     t in 1% to 25% of the documents
  and               search_boolean(must=[frequent, medium], limit 10)
  or                search_boolean(should=[frequent, medium], limit 10)
  or frequent       search_boolean(should=[frequent, frequent], limit 10)
  and-not           search_boolean(must=[frequent, frequent], must_not=[medium])

Each trial uses terms no earlier trial of that measure used, so the term
dictionary's block cache has mostly not seen them. "Cold" is about the index's
own caches: the operating system's page cache is warm for every engine. Every
measure starts by reading all of every engine's files once, since a machine
that reclaims memory in the background (as virtual machines here do, paging
out what went unread for a minute) would otherwise leave some engines' files
on disk and let the disk decide the ratios.

When python3-xapian is installed, the same documents are built once into a
Xapian database (BM25Weight(1.2, 0, 1, 0.75, 0.5); title and body as terms
with the prefixes "XT" and "XB", no positions; document data = the stored JSON
record, which a fetch decodes with json.loads) and an SQLite FTS5 table
(columns title and body, detail=column, i.e. no positions; bm25() through
ORDER BY rank LIMIT 10; documents fetched by rowid), both cached beside the
corpus. Engines alternate within every trial (ours, xapian, fts5, ours, ...)
so that the machine's noise hits all alike, and the ratios ours / peer of the
medians come from the same run. Only those ratios are worth comparing between
runs on a shared machine.

Last, a fresh interpreter opens the index, makes 100,000 random fetches and
reports its resident memory next to the bytes the block caches can hold
(per segment, 256 blocks of each of the two caches, at the corpus's mean
decompressed block sizes), for the target "RSS <= cache bytes + 64 MiB".

Run it through bench/cold_paths.sh, which builds the module and the corpus
generator in Release and then runs this script:

  bash bench/cold_paths.sh                  # 64k documents in 1 segment
  bash bench/cold_paths.sh --docs 1M        # 1,048,576 documents in 16 segments
  bash bench/cold_paths.sh --quick          # about a minute, fewer trials

or directly, with /usr/bin/python3 and a build folder holding zelvar_python
and zelvar_bench_corpus: cold_paths.py --build BUILD_DIR [options]. Corpora
and peer databases are kept under --data (default: build/bench-data of the
repository) and made once per (documents, segments, seed).
"""

import argparse
import gc
import json
import math
import os
import platform
import random
import sqlite3
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CORPUS_VERSION = 1       # kFormatVersion of make_corpus.cc
PEER_VERSION = 1         # bump when a peer's build changes
CACHE_SLACK = 64 << 20   # the resident-memory target's allowance beyond the caches


# ---- corpus -------------------------------------------------------------------

def parse_count(text):
    """'64k' -> 65536, '1M' -> 1048576, '5000' -> 5000."""
    scale = {"k": 1 << 10, "m": 1 << 20}.get(text[-1:].lower(), 1)
    digits = text[:-1] if scale != 1 else text
    if not digits.isdigit() or int(digits) == 0:
        raise argparse.ArgumentTypeError(f"not a document count: {text}")
    return int(digits) * scale


def default_segments(docs):
    """1 segment up to 64k documents, else 16."""
    return 1 if docs <= 65536 else 16


def ensure_corpus(args):
    """The corpus folder, generated unless a finished one with the same
    parameters is there."""
    folder = args.data / f"corpus-{args.docs}-{args.segments}-seed{args.seed}"
    meta_path = folder / "corpus.json"
    if meta_path.exists():
        meta = json.loads(meta_path.read_text())
        if meta.get("version") == CORPUS_VERSION:
            return folder, meta
    generator = args.build / "zelvar_bench_corpus"
    if not generator.exists():
        sys.exit(f"{generator} is missing: build the target zelvar_bench_corpus (-DZELVAR_BENCH=ON)")
    for marker in folder.glob("*.done"):  # peers built from an older corpus
        marker.unlink()
    note(f"writing the corpus into {folder} ...")
    started = time.monotonic()
    subprocess.run([str(generator), "--docs", str(args.docs), "--segments", str(args.segments),
                    "--seed", str(args.seed), "--jobs", "4", str(folder)], check=True)
    note(f"corpus written in {time.monotonic() - started:.0f} s")
    return folder, json.loads(meta_path.read_text())


def read_documents(folder):
    """(title, body) per document, in order, from docs.tsv."""
    with open(folder / "docs.tsv", encoding="ascii") as f:
        for line in f:
            title, body = line.rstrip("\n").split("\t")
            yield title, body


def stored_json(title, body):
    """The stored record our store holds for the document."""
    return '{"field_values":[[0,{"text":%s}],[1,{"text":%s}]]}' % (json.dumps(title), json.dumps(body))


def term_classes(folder, docs):
    """Body terms by document frequency: rare, medium, frequent."""
    bounds = {"rare": (1, max(3, docs // 100_000)),
              "medium": (max(1, docs // 2000), max(1, docs // 500)),
              "frequent": (max(1, docs // 100), docs // 4)}
    classes = {name: [] for name in bounds}
    with open(folder / "terms.tsv", encoding="ascii") as f:
        for line in f:
            field, term, df = line.split("\t")
            if field != "body":
                continue
            df = int(df)
            for name, (lo, hi) in bounds.items():
                if lo <= df <= hi:
                    classes[name].append(term)
    for name, terms in classes.items():
        if len(terms) < 4:
            sys.exit(f"the corpus has too few {name} terms ({len(terms)}) for the benchmark")
    return classes


# ---- peers --------------------------------------------------------------------

def have_xapian():
    try:
        import xapian  # noqa: F401
        return True
    except ImportError:
        return False


def peer_ready(path):
    marker = path.with_name(path.name + ".done")
    return marker.exists() and marker.read_text().strip() == str(PEER_VERSION)


def mark_ready(path):
    path.with_name(path.name + ".done").write_text(f"{PEER_VERSION}\n")


def ensure_xapian(folder):
    import shutil
    path = folder / "xapian"
    if peer_ready(path):
        return path
    # Buffer a whole commit's worth of documents in memory before flushing.
    os.environ.setdefault("XAPIAN_FLUSH_THRESHOLD", "100000")
    import xapian
    note(f"building the Xapian database {path} ...")
    started = time.monotonic()
    shutil.rmtree(path, ignore_errors=True)
    db = xapian.WritableDatabase(str(path), xapian.DB_CREATE_OR_OVERWRITE)
    for i, (title, body) in enumerate(read_documents(folder)):
        doc = xapian.Document()
        for term, wdf in Counter(title.lower().split()).items():
            doc.add_term("XT" + term, wdf)
        for term, wdf in Counter(body.lower().split()).items():
            doc.add_term("XB" + term, wdf)
        doc.set_data(stored_json(title, body))
        db.replace_document(i + 1, doc)
        if (i + 1) % 100_000 == 0:
            db.commit()
    db.commit()
    db.close()
    mark_ready(path)
    note(f"Xapian database built in {time.monotonic() - started:.0f} s")
    return path


def ensure_fts5(folder):
    path = folder / "fts5.sqlite"
    if peer_ready(path):
        return path
    note(f"building the FTS5 database {path} ...")
    started = time.monotonic()
    path.unlink(missing_ok=True)
    con = sqlite3.connect(path)
    con.execute("PRAGMA journal_mode=OFF")
    con.execute("PRAGMA synchronous=OFF")
    con.execute("CREATE VIRTUAL TABLE docs USING fts5(title, body, detail=column)")
    with con:
        con.executemany("INSERT INTO docs(rowid, title, body) VALUES (?, ?, ?)",
                        ((i, t, b) for i, (t, b) in enumerate(read_documents(folder))))
    with con:
        con.execute("INSERT INTO docs(docs) VALUES ('optimize')")
    con.close()
    mark_ready(path)
    note(f"FTS5 database built in {time.monotonic() - started:.0f} s")
    return path


# ---- the engines' calls -------------------------------------------------------
# Each engine answers the same operations with whole calls from Python:
# fetch(id), open_query(term), term(t), and_(a, b), or_(a, b), and_not(a, b, c).
# Searches return lists of (id, score); fetches the document's values.

class Ours:
    name = "ours"

    def __init__(self, module, path):
        self.module = module
        self.path = str(path)
        self.index = module.ZelvarIndex.open(self.path)

    def count(self):
        return self.index.num_docs()

    def fetch(self, doc):
        return self.index.get_document(doc)

    def text_of(self, doc):
        d = self.fetch(doc)
        return d["title"], d["body"]

    def open_query(self, term):
        return self.module.ZelvarIndex.open(self.path).search_term("body", term, 10)

    def term(self, t):
        return self.index.search_term("body", t, 10)

    def and_(self, a, b):
        return self.index.search_boolean([("body", a), ("body", b)], None, None, 10)

    def or_(self, a, b):
        return self.index.search_boolean(None, [("body", a), ("body", b)], None, 10)

    def and_not(self, a, b, c):
        return self.index.search_boolean([("body", a), ("body", b)], None, [("body", c)], 10)


class Xapian:
    name = "xapian"

    def __init__(self, path):
        import xapian
        self.x = xapian
        self.path = str(path)
        self.db = xapian.Database(self.path)
        self.weight = xapian.BM25Weight(1.2, 0, 1, 0.75, 0.5)

    def count(self):
        return self.db.get_doccount()

    def fetch(self, doc):
        return json.loads(self.db.get_document(doc + 1).get_data())

    def text_of(self, doc):
        values = dict(self.fetch(doc)["field_values"])
        return values[0]["text"], values[1]["text"]

    def _top10(self, db, query):
        enquire = self.x.Enquire(db)
        enquire.set_weighting_scheme(self.weight)
        enquire.set_query(query)
        return [(m.docid - 1, m.weight) for m in enquire.get_mset(0, 10)]

    def open_query(self, term):
        db = self.x.Database(self.path)
        hits = self._top10(db, self.x.Query("XB" + term))
        db.close()
        return hits

    def term(self, t):
        return self._top10(self.db, self.x.Query("XB" + t))

    def _both(self, op, a, b):
        return self.x.Query(op, [self.x.Query("XB" + a), self.x.Query("XB" + b)])

    def and_(self, a, b):
        return self._top10(self.db, self._both(self.x.Query.OP_AND, a, b))

    def or_(self, a, b):
        return self._top10(self.db, self._both(self.x.Query.OP_OR, a, b))

    def and_not(self, a, b, c):
        return self._top10(self.db, self.x.Query(self.x.Query.OP_AND_NOT,
                                                 self._both(self.x.Query.OP_AND, a, b),
                                                 self.x.Query("XB" + c)))


class Fts5:
    name = "fts5"
    SEARCH = "SELECT rowid, rank FROM docs WHERE docs MATCH ? ORDER BY rank LIMIT 10"

    def __init__(self, path):
        self.path = str(path)
        self.uri = f"file:{path}?mode=ro"
        self.con = sqlite3.connect(self.uri, uri=True)

    def count(self):
        return self.con.execute("SELECT count(*) FROM docs").fetchone()[0]

    def fetch(self, doc):
        return self.con.execute("SELECT title, body FROM docs WHERE rowid = ?", (doc,)).fetchone()

    def text_of(self, doc):
        return tuple(self.fetch(doc))

    def _top10(self, con, match):
        return con.execute(self.SEARCH, (match,)).fetchall()

    def open_query(self, term):
        con = sqlite3.connect(self.uri, uri=True)
        hits = self._top10(con, f"body:{term}")
        con.close()
        return hits

    def term(self, t):
        return self._top10(self.con, f"body:{t}")

    def and_(self, a, b):
        return self._top10(self.con, f"body:{a} AND body:{b}")

    def or_(self, a, b):
        return self._top10(self.con, f"body:{a} OR body:{b}")

    def and_not(self, a, b, c):
        return self._top10(self.con, f"(body:{a} AND body:{b}) NOT body:{c}")


# The query classes: name -> (the term class of each term, the call). Terms
# of one class in one query are different; the pools of a three-term query
# are always (frequent, frequent, medium).
QUERY_CLASSES = {
    "term rare": (("rare",), lambda e, t: e.term(t)),
    "term medium": (("medium",), lambda e, t: e.term(t)),
    "term frequent": (("frequent",), lambda e, t: e.term(t)),
    "and": (("frequent", "medium"), lambda e, a, b: e.and_(a, b)),
    "or": (("frequent", "medium"), lambda e, a, b: e.or_(a, b)),
    "or frequent": (("frequent", "frequent"), lambda e, a, b: e.or_(a, b)),
    "and-not": (("frequent", "frequent", "medium"), lambda e, a, b, c: e.and_not(a, b, c)),
}


# ---- checks -------------------------------------------------------------------

def check_engines(engines, folder, docs, rare_terms):
    """Every engine holds the corpus: the document count, a few documents'
    texts, and the full hit lists of `rare_terms` (terms in at most 10
    documents) agree."""
    want = {0, 1, docs // 2, docs - 1}
    texts = {i: t for i, t in enumerate(read_documents(folder)) if i in want}
    for engine in engines:
        if engine.count() != docs:
            sys.exit(f"{engine.name} holds {engine.count()} documents, the corpus {docs}")
        for i, text in texts.items():
            if tuple(engine.text_of(i)) != text:
                sys.exit(f"{engine.name}: document {i} differs from the corpus")
    for term in rare_terms:
        found = {e.name: sorted(hit[0] for hit in e.term(term)) for e in engines}
        if len({tuple(v) for v in found.values()}) != 1:
            sys.exit(f"the engines disagree on the documents holding {term!r}: {found}")


# ---- measuring ----------------------------------------------------------------

def warm_page_cache(paths):
    """Reads every file under each of `paths` once, so that the page cache
    holds them."""
    for top in paths:
        root = Path(top)
        for path in sorted(root.rglob("*")) if root.is_dir() else [root]:
            if path.is_file():
                with open(path, "rb", buffering=0) as f:
                    while f.read(1 << 20):
                        pass


def measure(engines, name, inputs, call):
    """Times `call(engine, *input)` for every input, the engines taking turns
    within each trial, once every engine's files are in the page cache.
    Returns {engine: [ns, ...]}."""
    warm_page_cache(e.path for e in engines)
    times = {e.name: [] for e in engines}
    clock = time.perf_counter_ns
    for item in inputs:
        for engine in engines:
            started = clock()
            call(engine, *item)
            times[engine.name].append(clock() - started)
    note(f"  {name}: {len(inputs)} trials")
    return times


def quantile(sorted_values, q):
    return sorted_values[max(0, math.ceil(q * len(sorted_values)) - 1)]


def fetch_ids(rng, docs, trials, avoid_blocks):
    """`trials` random ids, each in a store block (16 documents) that no other
    id and none of `avoid_blocks` falls in."""
    blocks = [b for b in range((docs + 15) // 16) if b not in avoid_blocks]
    chosen = rng.sample(blocks, min(trials, len(blocks)))
    return [(min(docs - 1, b * 16 + rng.randrange(16)),) for b in chosen]


def fresh(rng, pool, count):
    """`count` distinct items of `pool` (fewer if it is smaller)."""
    return rng.sample(pool, min(count, len(pool)))


def run_measures(args, engines, classes):
    rng = random.Random(args.seed)
    n = args.trials
    # Warm-up: one of each call per engine, on ids and terms kept out of the
    # trials, so that the first trial does not pay for code paths' first use.
    warm_ids = [rng.randrange(args.docs) for _ in range(4)]
    warm = {c: classes[c].pop() for c in ("rare", "medium", "frequent")}
    for e in engines:
        for i in warm_ids:
            e.fetch(i)
        e.open_query(warm["rare"])
        e.term(warm["medium"])
        e.and_(warm["frequent"], warm["medium"])
        e.or_(warm["frequent"], warm["medium"])
        e.and_not(warm["frequent"], warm["frequent"], warm["medium"])

    plan = [
        ("fetch", fetch_ids(rng, args.docs, n["fetch"], {i // 16 for i in warm_ids}),
         lambda e, i: e.fetch(i)),
        ("open+query", [(t,) for t in fresh(rng, classes["rare"], n["open"])], lambda e, t: e.open_query(t)),
    ]
    plan += [(name, cold_inputs(rng, [classes[c] for c in pools], n["query"]), call)
             for name, (pools, call) in QUERY_CLASSES.items()]
    results = {}
    gc.disable()
    try:
        for name, inputs, call in plan:
            results[name] = measure(engines, name, inputs, call)
            gc.collect()
    finally:
        gc.enable()
    return results


def cold_inputs(rng, pools, count):
    """`count` inputs of a query class whose terms come from `pools` (see
    `QUERY_CLASSES`): each input's last term one that no other input has,
    unless the last pool is also the first; the other terms spread over
    their pools."""
    if len(pools) == 1:
        return [(t,) for t in fresh(rng, pools[0], count)]
    if len(pools) == 2:
        return different_pairs(rng, pools[0], count) if pools[0] is pools[1] else \
            pairs(rng, pools[0], pools[1], count)
    return triples(rng, pools[0], pools[2], count)


def spread(rng, pool, count):
    """`count` items of `pool` in random order, each used about equally often."""
    items = pool * (count // len(pool) + 1)
    rng.shuffle(items)
    return items[:count]


def pairs(rng, first_pool, second_pool, count):
    """(first, second) pairs: the seconds distinct, the firsts spread over
    their pool."""
    seconds = fresh(rng, second_pool, count)
    return list(zip(spread(rng, first_pool, len(seconds)), seconds))


def different_pairs(rng, pool, count):
    """`count` pairs of two different items of `pool`, spread over it."""
    return [(a, rng.choice([t for t in pool if t != a])) for a in spread(rng, pool, count)]


def triples(rng, first_pool, third_pool, count):
    """(a, b, c): a and b two different items of `first_pool`, the c distinct
    items of `third_pool`."""
    thirds = fresh(rng, third_pool, count)
    return [(a, b, c) for (a, b), c in zip(different_pairs(rng, first_pool, len(thirds)), thirds)]


# ---- resident memory ----------------------------------------------------------

def rss_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def memory_child(path, fetches, docs, seed):
    """Run in a fresh interpreter: RSS after the import, after the open and
    after `fetches` random fetches."""
    import zelvar_python
    gc.collect()
    before_open = rss_bytes()
    index = zelvar_python.ZelvarIndex.open(path)
    gc.collect()
    after_open = rss_bytes()
    rng = random.Random(seed)
    started = time.perf_counter()
    for _ in range(fetches):
        index.get_document(rng.randrange(docs))
    elapsed = time.perf_counter() - started
    gc.collect()
    print(json.dumps({"before_open": before_open, "after_open": after_open, "after_fetches": rss_bytes(),
                      "seconds": elapsed}))


def measure_memory(args, index_path, meta):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(args.module_dir), env.get("PYTHONPATH")]))
    out = subprocess.run([sys.executable, __file__, "--memory-child", str(index_path),
                          str(args.memory_fetches), str(args.docs), str(args.seed)],
                         env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out)


# ---- report -------------------------------------------------------------------

def show_time(ns):
    if ns >= 10_000_000:
        return f"{ns / 1e6:.1f} ms"
    if ns >= 1_000_000:
        return f"{ns / 1e6:.2f} ms"
    return f"{ns / 1e3:.1f} µs"


def report(args, meta, engines, results, memory):
    names = [e.name for e in engines]
    load = os.getloadavg()
    print()
    print(f"corpus: {meta['docs']:,} documents in {plural(meta['segments'], 'segment')}, seed {meta['seed']}, "
          f"store {meta['store_blocks']:,} blocks of 16 ({meta['store_block_bytes_mean']:.0f} B mean, "
          f"decompressed), {meta['term_blocks']:,} term blocks ({meta['term_block_bytes_mean']:.0f} B mean)")
    print(f"machine: {os.cpu_count()} CPUs, load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} at the end; "
          f"Python {platform.python_version()}; {'quick run' if args.quick else 'full run'}")
    print("times per call: median (p90)" +
          ("; ratio = our median / the peer's median, from this run" if len(names) > 1 else ""))
    print()
    header = ["measure", "n"] + names + [f"ours/{p}" for p in names[1:]]
    rows = []
    summary = {}
    for measure_name, times in results.items():
        row = [measure_name, str(len(times["ours"]))]
        medians = {}
        for engine in names:
            values = sorted(times[engine])
            medians[engine] = quantile(values, 0.5)
            row.append(f"{show_time(medians[engine])} ({show_time(quantile(values, 0.9))})")
            summary.setdefault(measure_name, {})[engine] = {
                "median_ns": medians[engine], "p90_ns": quantile(values, 0.9), "n": len(values)}
        for peer in names[1:]:
            ratio = medians["ours"] / medians[peer]
            row.append(f"{ratio:.2f}")
            summary[measure_name][f"ours/{peer}"] = ratio
        rows.append(row)
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
    for r in [header] + rows:
        print("  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))))

    if memory:
        cache = meta["cache_bytes"]
        mib = 1 << 20
        total = memory["after_fetches"]
        print()
        print(f"resident memory, {args.memory_fetches:,} random fetches over {plural(meta['segments'], 'segment')} "
              f"({memory['seconds']:.1f} s): {memory['before_open'] / mib:.1f} MiB before the open, "
              f"{memory['after_open'] / mib:.1f} MiB after it, {total / mib:.1f} MiB after the fetches "
              f"(+{(total - memory['after_open']) / mib:.1f} MiB)")
        print(f"the caches can hold {cache / mib:.1f} MiB ({plural(meta['segments'], 'segment')} x 256 blocks x "
              f"({meta['store_block_bytes_mean']:.0f} B store + {meta['term_block_bytes_mean']:.0f} B term));"
              f" RSS {total / mib:.1f} MiB {'<=' if total <= cache + CACHE_SLACK else '>'} "
              f"{(cache + CACHE_SLACK) / mib:.1f} MiB = caches + 64 MiB")
    if args.json:
        args.json.write_text(json.dumps({"corpus": meta, "load": load, "quick": args.quick,
                                         "results": summary, "memory": memory}, indent=1) + "\n")


def plural(count, noun):
    return f"{count} {noun}" + ("" if count == 1 else "s")


def note(text):
    print(text, file=sys.stderr, flush=True)


def main():
    if len(sys.argv) == 6 and sys.argv[1] == "--memory-child":
        memory_child(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]))
        return
    parser = argparse.ArgumentParser(description="Cold-path benchmark of zelvar_python against its peers.")
    parser.add_argument("--docs", type=parse_count, default=parse_count("64k"),
                        help="documents in the corpus: 64k (default), 1M, or a number")
    parser.add_argument("--segments", type=int, help="segments (default: 1 up to 64k documents, else 16)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--quick", action="store_true", help="fewer trials: a smoke run of about a minute")
    parser.add_argument("--no-peers", action="store_true", help="measure only our module")
    parser.add_argument("--build", type=Path, default=ROOT / "build" / "bench",
                        help="build folder with zelvar_python and zelvar_bench_corpus")
    parser.add_argument("--data", type=Path, default=ROOT / "build" / "bench-data",
                        help="folder of the cached corpora and peer databases")
    parser.add_argument("--memory-fetches", type=int, help="fetches before the RSS reading "
                        "(default 100,000; 10,000 with --quick; 0: no memory measure)")
    parser.add_argument("--json", type=Path, help="also write the figures to this file")
    args = parser.parse_args()
    if args.segments is None:
        args.segments = default_segments(args.docs)
    if not 1 <= args.segments <= args.docs:
        parser.error("--segments must be between 1 and the document count")
    if args.memory_fetches is None:
        args.memory_fetches = 10_000 if args.quick else 100_000
    args.trials = ({"fetch": 300, "open": 8, "query": 40} if args.quick
                   else {"fetch": 2000, "open": 40, "query": 300})
    args.build = args.build.resolve()
    args.data = args.data.resolve()
    args.module_dir = args.build

    sys.path.insert(0, str(args.module_dir))
    try:
        import zelvar_python
    except ImportError as e:
        sys.exit(f"cannot import zelvar_python from {args.module_dir}: {e}")

    folder, meta = ensure_corpus(args)
    classes = term_classes(folder, args.docs)
    engines = [Ours(zelvar_python, folder / "index")]
    if not args.no_peers:
        if have_xapian():
            engines.append(Xapian(ensure_xapian(folder)))
        else:
            note("python3-xapian is not installed: Xapian is left out")
        engines.append(Fts5(ensure_fts5(folder)))
    # The terms checked are kept out of the trials, whose blocks must be cold.
    check_engines(engines, folder, args.docs, [classes["rare"].pop() for _ in range(5)])
    note(f"measuring {', '.join(e.name for e in engines)} (interleaved) ...")
    results = run_measures(args, engines, classes)
    memory = None
    if args.memory_fetches > 0:
        note(f"resident memory: {args.memory_fetches:,} fetches in a fresh interpreter ...")
        memory = measure_memory(args, folder / "index", meta)
    report(args, meta, engines, results, memory)


if __name__ == "__main__":
    main()
