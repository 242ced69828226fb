"""Segment files that change under an open index.

The indexing program may replace, truncate or delete a segment's files while
an index is open. A read never mixes files: a file replaced under its name
fails with "<name> was replaced since the segment was opened" rather than
answering from the new file's bytes at the old file's offsets, a pipe in its
place never blocks the interpreter, a file cut short fails with "early eof",
and a removed file with the system's not-found error. A reload then opens
whatever the folder holds.

Each scenario runs in a child interpreter, so that a read that blocked would
fail the test by its timeout instead of stalling the run.
"""

import json
import os

import pytest

from conftest import description, run_python, segment

BASE = "seg_00000000000000000000000000000001"
NOT_FOUND = f"{os.strerror(2)} (os error 2)"

# Every term in its own dictionary block, every list in ".post", every
# document in its own store block: each search of a new term and each fetch
# of a new document reads the files afresh.
OPTIONS = {"terms": {"block_entries": 1, "inline_postings": False}, "store": {"block_docs": 1}}


def docs(word):
    return [{"title": f"{word} {i}", "body": f"{word} body", "year": i} for i in range(8)]


SCENARIO = r"""
import json, os, sys
from zelvar_python import ZelvarIndex

folder, replacement, ext, change = sys.argv[1:5]
target = os.path.join(folder, "BASE" + ext)
index = ZelvarIndex.open(folder)
index.search_term("title", "alpha", 10)  # warms nothing that the calls below need
index.get_document(0)


def attempt(call):
    try:
        return ["ok", call()]
    except RuntimeError as e:
        return ["error", str(e)]


if change == "replace":
    os.replace(os.path.join(replacement, "BASE" + ext), target)
elif change == "truncate":
    os.truncate(target, os.path.getsize(target) // 2)
elif change == "delete":
    os.remove(target)
elif change == "pipe":
    os.mkfifo(target + ".fifo")
    os.replace(target + ".fifo", target)

result = {
    "search": attempt(lambda: len(index.search_term("body", "alpha", 10))),
    "fetch": attempt(lambda: index.get_document(7) is not None),
    "reload": attempt(lambda: index.reload()),
    "segments": index.num_segments(),
}
print(json.dumps(result))
""".replace("BASE", BASE)

REPLACED = "{} was replaced since the segment was opened"

# What the search and the fetch meet after the change, by file; None: they
# succeed (".meta" is read only when a segment opens). Ranges of ".post" and
# ".store" read after the file was cut to half its size end early.
CASES = {
    (".terms", "replace"): (REPLACED.format(BASE + ".terms"), None),
    (".terms", "truncate"): ("early eof", None),
    (".terms", "delete"): (NOT_FOUND, None),
    (".terms", "pipe"): (REPLACED.format(BASE + ".terms"), None),
    (".post", "replace"): (REPLACED.format(BASE + ".post"), None),
    (".post", "delete"): (NOT_FOUND, None),
    (".post", "pipe"): (REPLACED.format(BASE + ".post"), None),
    (".store", "replace"): (None, REPLACED.format(BASE + ".store")),
    (".store", "truncate"): (None, "early eof"),
    (".store", "delete"): (None, NOT_FOUND),
    (".store", "pipe"): (None, REPLACED.format(BASE + ".store")),
    (".meta", "replace"): (None, None),
    (".meta", "delete"): (None, None),
    (".meta", "pipe"): (None, None),
}

# What a reload meets; None: it succeeds.
RELOAD = {
    "replace": None,
    "delete": f"Reload failed: IO error: {NOT_FOUND}",
    "pipe": {
        ".terms": "Reload failed: IO error: SSTable too small",
        ".post": None,  # only its size is taken when a segment opens
        ".store": "Reload failed: IO error: Store too small",
        ".meta": "Reload failed: IO error: not a regular file",
    },
}


@pytest.mark.parametrize("ext,change", sorted(CASES), ids=lambda v: v)
def test_changed_segment_file(make_index, ext, change):
    folder = make_index(description([segment("1", docs("alpha"), **OPTIONS)]))
    replacement = make_index(description([segment("1", docs("omega"), **OPTIONS)]))
    child = run_python(SCENARIO, folder, replacement, ext, change, timeout=60)
    assert child.returncode == 0, child.stderr
    result = json.loads(child.stdout)

    search_error, fetch_error = CASES[(ext, change)]
    if search_error is None:
        assert result["search"] == ["ok", 8]
    else:
        assert result["search"] == ["error", "Search failed: IO error: " + search_error]
    if fetch_error is None:
        assert result["fetch"] == ["ok", True]
    else:
        assert result["fetch"] == ["error", "Failed to get document: IO error: " + fetch_error]

    expected = RELOAD.get(change)
    if isinstance(expected, dict):
        expected = expected[ext]
    if change == "truncate":
        # What a file cut in half meets first depends on its layout; the
        # reload fails and the old list stays.
        assert result["reload"][0] == "error" and result["reload"][1].startswith("Reload failed: ")
    elif expected is None:
        assert result["reload"] == ["ok", None]
    else:
        assert result["reload"] == ["error", expected]
    assert result["segments"] == 1
