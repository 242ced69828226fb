"""Shared fixtures of the Python tests.

The tests import the built extension module and build index folders with the
test-only writer. Both are found through environment variables:

  ZELVAR_BUILD_DIR     the CMake build folder holding the module
                       (zelvar_python*.so) and the writer (zelvar_write_index)
  ZELVAR_PYTHON_DIR    optional: the folder holding the module, if elsewhere
  ZELVAR_WRITE_INDEX   optional: the path of the writer executable

Run, for example:
  ZELVAR_BUILD_DIR=build/normal /usr/bin/python3 -m pytest tests
"""

import ctypes
import json
import math
import os
import struct
import subprocess
import sys
from pathlib import Path

import pytest


def _build_dir():
    value = os.environ.get("ZELVAR_BUILD_DIR")
    return Path(value).resolve() if value else None


def _located(variable, in_build, missing):
    """The path `variable` names, else `in_build` inside the build folder;
    RuntimeError `missing` when neither is set."""
    value = os.environ.get(variable)
    if value:
        return Path(value).resolve()
    build = _build_dir()
    if build is None:
        raise RuntimeError(missing)
    return build / in_build


def _module_dir():
    return _located("ZELVAR_PYTHON_DIR", ".",
                    "set ZELVAR_BUILD_DIR (or ZELVAR_PYTHON_DIR) to the build folder")


def _writer_path():
    return _located("ZELVAR_WRITE_INDEX", "zelvar_write_index",
                    "set ZELVAR_BUILD_DIR (or ZELVAR_WRITE_INDEX)")


MODULE_DIR = _module_dir()
if str(MODULE_DIR) not in sys.path:
    sys.path.insert(0, str(MODULE_DIR))


def module_env():
    """Environment for a child interpreter that must import the module."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(MODULE_DIR)] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    return env


def run_python(code, *argv, flags=(), timeout=60, **options):
    """Runs `code` with the arguments `argv` in a fresh interpreter (the one
    running the tests, started with `flags`); `options` go to subprocess.run."""
    return subprocess.run([sys.executable, *flags, "-c", code, *argv], env=module_env(),
                          capture_output=True, text=True, timeout=timeout, **options)


@pytest.fixture(scope="session")
def zp():
    import zelvar_python
    return zelvar_python


@pytest.fixture(scope="session")
def ZelvarIndex(zp):
    return zp.ZelvarIndex


def field(name, field_type, indexed=False, stored=True):
    return {"name": name, "field_type": field_type, "indexed": indexed, "stored": stored,
            "tokenizer": None}


def text_field(name, indexed=True, stored=True):
    return field(name, "text", indexed, stored)


def schema_json(fields, name_to_field=None):
    """The text of a "schema.json" holding `fields`; names map to positions."""
    if name_to_field is None:
        name_to_field = {f["name"]: i for i, f in enumerate(fields)}
    return json.dumps({"fields": fields, "name_to_field": name_to_field})


def write_index(folder, description):
    """Builds an index folder with the test-only writer; returns its path."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    spec = folder.parent / (folder.name + ".description.json")
    spec.write_text(json.dumps(description))
    writer = _writer_path()
    result = subprocess.run([str(writer), str(spec), str(folder)], capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"{writer} failed: {result.stderr}")
    return folder


@pytest.fixture
def make_index(tmp_path):
    """make_index(description, name="index") -> str path of a written folder."""
    counter = [0]

    def make(description, name=None):
        counter[0] += 1
        folder = tmp_path / (name or f"index{counter[0]}")
        return str(write_index(folder, description))

    return make


@pytest.fixture
def schema_only_index(tmp_path):
    """A folder with a two-field "schema.json" and no segments."""
    folder = tmp_path / "schema_only"
    folder.mkdir()
    (folder / "schema.json").write_text(schema_json([text_field("title"), text_field("body")]))
    return str(folder)


def run_as_nobody_with_two_threads(code):
    """Runs `code` in a fresh interpreter as user nobody, allowed two threads
    (its own and one more), with the path of a folder holding an empty
    "schema.json" as its argument; skips the test where another user cannot
    run the interpreter or read the build folder. Returns the finished
    process. Needs root."""
    import resource
    import shutil
    import tempfile

    folder = tempfile.mkdtemp(prefix="zelvar-runtime-")
    try:
        os.chmod(folder, 0o755)
        with open(os.path.join(folder, "schema.json"), "w") as f:
            f.write(schema_json([]))
        os.chmod(os.path.join(folder, "schema.json"), 0o644)

        def as_nobody_with_two_threads():
            os.setgroups([])
            os.setgid(65534)
            os.setuid(65534)
            resource.setrlimit(resource.RLIMIT_NPROC, (2, 4096))

        try:
            proc = run_python(code, folder, preexec_fn=as_nobody_with_two_threads)
        except PermissionError:
            pytest.skip("this interpreter cannot be run by another user")
    finally:
        shutil.rmtree(folder)
    if proc.returncode == 77:
        pytest.skip("the build folder is not readable by another user")
    return proc


def raises_exactly(exc_type, text, call):
    """Runs `call`, which must raise exactly `exc_type` (not a subclass) with
    the text `text` (any text for None); returns the exception."""
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is exc_type, repr(info.value)
    if text is not None:
        assert str(info.value) == text
    return info.value


class Index:
    """An object with an integer index (__index__) and nothing else."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# ---- descriptions for the writer ------------------------------------------------------

TEXT_SCHEMA = {
    "fields": [text_field("title"), text_field("body"), field("year", "u64")],
    "name_to_field": {"title": 0, "body": 1, "year": 2},
}


def segment(seg_id, docs, **options):
    """One segment of a description: `docs` are dicts of stored values by name
    (indexed text defaults to the stored strings of indexed text fields)."""
    spec = {"id": seg_id, "documents": [d if "stored" in d or "stored_json" in d
                                        else {"stored": d} for d in docs]}
    spec.update(options)
    return spec


def description(segments, schema=None, **options):
    spec = {"schema": TEXT_SCHEMA if schema is None else schema, "segments": segments}
    spec.update(options)
    return spec


# ---- the scoring formula, for exact expected scores -------------------------------------

_libm = ctypes.CDLL("libm.so.6")
_libm.logf.restype = ctypes.c_float
_libm.logf.argtypes = [ctypes.c_float]


def f32(x):
    """`x` rounded to the nearest f32, as a Python float."""
    return struct.unpack("f", struct.pack("f", x))[0]


K1 = f32(1.2)
ONE_PLUS_K1 = f32(1.0 + K1)


def idf(num_docs, doc_freq):
    n, df = f32(num_docs), f32(doc_freq)
    ratio = f32(f32(f32(n - df) + 0.5) / f32(df + 0.5))
    return _libm.logf(f32(ratio + 1.0))


def avg_field_len(total_tokens, doc_count):
    return f32(f32(total_tokens) / f32(doc_count)) if doc_count else 0.0


def bm25(tf, idf_value, avg_len):
    """The score of one posting, every step one f32 operation."""
    divisor = 1.0 if math.isnan(avg_len) else max(avg_len, 1.0)
    tf = f32(tf)
    norm = f32(f32(f32(tf / divisor) * 0.75) + 0.25)
    tfw = tf
    return f32(f32(f32(ONE_PLUS_K1 * tfw) / f32(f32(norm * K1) + tfw)) * idf_value)


def term_scores(docs, field_name, term):
    """Expected (local doc, score) of `term` in one segment of text documents
    (dicts by field name), tokenised like the writer: split on whitespace,
    ASCII lower-cased."""
    tokens = [d.get(field_name, "").lower().split() if isinstance(d.get(field_name), str) else []
              for d in docs]
    total = sum(len(t) for t in tokens)
    with_field = sum(1 for d in docs if isinstance(d.get(field_name), str))
    freqs = [(i, t.count(term)) for i, t in enumerate(tokens) if t.count(term)]
    w = idf(len(docs), len(freqs))
    avg = avg_field_len(total, with_field)
    return {i: bm25(tf, w, avg) for i, tf in freqs}
