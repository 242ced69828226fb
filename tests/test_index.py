"""Opening an index, its counts and field names, and reloading it."""

import gc
import json
import os
import struct
from pathlib import Path

import pytest

from conftest import (TEXT_SCHEMA, description, field, raises_exactly, schema_json, segment,
                      text_field)


def docs(n, word="alpha"):
    return [{"title": f"{word} doc{i}", "body": "text", "year": 2000 + i} for i in range(n)]


def test_counts_and_field_names(ZelvarIndex, make_index):
    path = make_index(description([segment("1", docs(3)), segment("2", docs(0)),
                                   segment("3", docs(5))]))
    index = ZelvarIndex.open(path)
    assert index.num_docs() == 8
    assert index.num_segments() == 3
    assert index.field_names() == ["title", "body", "year"]


def test_index_without_segments(ZelvarIndex, make_index):
    no_list = ZelvarIndex.open(make_index(description([], write_segments_json=False)))
    empty_list = ZelvarIndex.open(make_index(description([], segments_json="[]")))
    for index in (no_list, empty_list):
        assert (index.num_docs(), index.num_segments()) == (0, 0)
        assert index.get_document(0) is None
        assert index.search_term("title", "alpha", None) == []


def test_field_names_follow_the_entries_in_order_with_duplicates(ZelvarIndex, tmp_path):
    schema = schema_json([text_field("b"), field("a", "u64"), text_field("b")], {"b": 2, "a": 1})
    assert ZelvarIndex.open(_index_with(tmp_path, schema, None)).field_names() == ["b", "a", "b"]


def test_schema_without_fields(ZelvarIndex, tmp_path):
    index = ZelvarIndex.open(_index_with(tmp_path, schema_json([]), None))
    assert index.field_names() == []
    assert index.num_docs() == 0


def test_relative_and_empty_paths(ZelvarIndex, make_index, monkeypatch):
    path = Path(make_index(description([segment("1", docs(2))])))
    monkeypatch.chdir(path.parent)
    assert ZelvarIndex.open(path.name).num_docs() == 2
    monkeypatch.chdir(path)
    assert ZelvarIndex.open("").num_docs() == 2  # the working directory


OPEN_ERRORS = [
    # (label, build(tmp_path) -> path, expected text)
    ("missing folder", lambda tmp: str(tmp / "nowhere"),
     "Failed to open index: IO error: No such file or directory (os error 2)"),
    ("no schema.json", lambda tmp: str(_mkdir(tmp / "empty")),
     "Failed to open index: IO error: No such file or directory (os error 2)"),
    ("path is a file", lambda tmp: str(_write(tmp / "plain", "x")),
     "Failed to open index: IO error: Not a directory (os error 20)"),
    ("NUL in path", lambda tmp: str(tmp) + "\0/ignored",
     "Failed to open index: IO error: file name contained an unexpected NUL byte"),
    ("schema not JSON", lambda tmp: _index_with(tmp, "{", None),
     "Failed to open index: Serialization error: EOF while parsing an object at line 1 column 1"),
    ("schema without fields", lambda tmp: _index_with(tmp, "{}", None),
     "Failed to open index: Serialization error: missing field `fields` at line 1 column 2"),
    ("segments.json object", lambda tmp: _index_with(tmp, schema_json([]), "{}"),
     "Failed to open index: Serialization error: "
     "invalid type: map, expected a sequence at line 1 column 0"),
    ("segments.json number", lambda tmp: _index_with(tmp, schema_json([]), "[1]"),
     "Failed to open index: Serialization error: "
     "invalid type: integer `1`, expected a string at line 1 column 2"),
    ("invalid segment id", lambda tmp: _index_with(tmp, schema_json([]), '["xyz"]'),
     "Failed to open index: Index corruption: Invalid segment ID: xyz"),
    ("missing segment files", lambda tmp: _index_with(tmp, schema_json([]), '["1f"]'),
     "Failed to open index: IO error: No such file or directory (os error 2)"),
]


def _mkdir(path):
    path.mkdir()
    return path


def _write(path, text):
    path.write_text(text)
    return path


def _index_with(tmp, schema_text, segments_text):
    """A folder "index" in `tmp` with these "schema.json" and (unless None)
    "segments.json" texts; returns its path."""
    folder = _mkdir(tmp / "index")
    (folder / "schema.json").write_text(schema_text)
    if segments_text is not None:
        (folder / "segments.json").write_text(segments_text)
    return str(folder)


@pytest.mark.parametrize("label,build,text", OPEN_ERRORS, ids=[c[0] for c in OPEN_ERRORS])
def test_open_errors(ZelvarIndex, tmp_path, label, build, text):
    raises_exactly(RuntimeError, text, lambda: ZelvarIndex.open(build(tmp_path)))


def test_second_invalid_segment_fails_the_open(ZelvarIndex, make_index):
    path = make_index(description([segment("1", docs(2))], segments_json='["1", "nothex"]'))
    raises_exactly(RuntimeError, "Failed to open index: Index corruption: Invalid segment ID: nothex",
                   lambda: ZelvarIndex.open(path))


# ---- reload -------------------------------------------------------------------------

def _set_segments(path, ids):
    Path(path, "segments.json").write_text(json.dumps(ids))


def test_reload_sees_appended_and_removed_segments(ZelvarIndex, make_index):
    path = make_index(description([
        segment("1", docs(2, "alpha")),
        segment("2", docs(3, "alpha")),
        segment("3", docs(1, "alpha"), listed=False),
    ]))
    index = ZelvarIndex.open(path)
    assert (index.num_segments(), index.num_docs()) == (2, 5)

    _set_segments(path, ["1", "2", "3"])
    assert index.num_segments() == 2  # nothing changes before the reload
    assert index.reload() is None
    assert (index.num_segments(), index.num_docs()) == (3, 6)
    assert index.get_document(5)["title"] == "alpha doc0"  # numbered after the others
    assert sorted(d for d, _ in index.search_term("title", "doc0", None)) == [0, 2, 5]

    _set_segments(path, ["1", "3"])
    index.reload()
    assert (index.num_segments(), index.num_docs()) == (2, 3)
    assert index.get_document(2)["title"] == "alpha doc0"  # segment 3 moved down
    assert index.get_document(3) is None


def test_failed_reload_keeps_the_old_list(ZelvarIndex, make_index):
    path = make_index(description([segment("1", docs(2))]))
    index = ZelvarIndex.open(path)
    before = index.search_term("title", "alpha", None)
    for listing, text in [
        ('["1", "xyz"]', "Reload failed: Index corruption: Invalid segment ID: xyz"),
        ('["1", "2"]', "Reload failed: IO error: No such file or directory (os error 2)"),
        ("[", "Reload failed: Serialization error: EOF while parsing a list at line 1 column 1"),
    ]:
        Path(path, "segments.json").write_text(listing)
        raises_exactly(RuntimeError, text, index.reload)
        assert (index.num_segments(), index.num_docs()) == (1, 2)
        assert index.search_term("title", "alpha", None) == before


def test_reload_keeps_the_schema_copy_of_open(ZelvarIndex, make_index):
    path = make_index(description([segment("1", docs(1))]))
    index = ZelvarIndex.open(path)
    Path(path, "schema.json").write_text(schema_json([text_field("other")]))
    index.reload()
    assert index.field_names() == ["title", "body", "year"]
    assert index.search_term("title", "alpha", None) != []
    with pytest.raises(ValueError):
        index.search_term("other", "alpha", None)


def test_reload_after_segments_json_removed(ZelvarIndex, make_index):
    path = make_index(description([segment("1", docs(2))]))
    index = ZelvarIndex.open(path)
    os.remove(os.path.join(path, "segments.json"))
    index.reload()
    assert (index.num_segments(), index.num_docs()) == (0, 0)


def test_index_outlives_nothing_but_itself(ZelvarIndex, make_index):
    # Dropping an index while another one over the same folder is in use must
    # leave the other fully working (each has its own readers).
    path = make_index(description([segment("1", docs(3))]))
    first, second = ZelvarIndex.open(path), ZelvarIndex.open(path)
    expected = first.search_term("title", "alpha", None)
    del first
    gc.collect()
    assert second.search_term("title", "alpha", None) == expected
    assert second.get_document(2)["title"] == "alpha doc2"


# ---- vector files -----------------------------------------------------------------

def _with_dense_field():
    """The text schema plus a dense-vector field "vec" (field 3)."""
    dense = dict(field("vec", "dense_vector"), dense_vector_config={"dim": 4})
    return {"fields": TEXT_SCHEMA["fields"] + [dense],
            "name_to_field": dict(TEXT_SCHEMA["name_to_field"], vec=3)}


def _vectors_path(folder, seg_id):
    return Path(folder, "seg_%032x.vectors" % int(seg_id, 16))


def test_vector_body_beyond_the_file_fails_the_open(ZelvarIndex, make_index):
    # A terabyte body named by a 25-byte file: the read budget must not turn
    # the unreadable range into a skipped entry.
    path = make_index(description([segment("1", docs(2))], schema=_with_dense_field()))
    _vectors_path(path, "1").write_bytes(struct.pack("<IIBQQ", 1, 0, 0, 0, 1 << 40))
    raises_exactly(RuntimeError,
                   "Failed to open index: IO error: Range 0..1099511627776 out of bounds "
                   "(file size: 25)",
                   lambda: ZelvarIndex.open(path))


# ---- segments listed more than once ------------------------------------------------

def test_segment_listed_under_several_spellings(ZelvarIndex, make_index):
    # One segment's files serve every listing, each numbered after the ones
    # before it, so its hits and documents appear once per listing.
    path = make_index(description([segment("1f", docs(2, "alpha")), segment("2", docs(1, "beta"))],
                                  segments_json='["1f", "2", "+1F", "001f"]'))
    index = ZelvarIndex.open(path)
    assert (index.num_segments(), index.num_docs()) == (4, 7)
    [(_, score)] = index.search_term("title", "doc1", 1)
    assert index.search_term("title", "doc1", None) == [(1, score), (4, score), (6, score)]
    assert sorted(d for d, _ in index.search_term("title", "alpha", None)) == [0, 1, 3, 4, 5, 6]
    titles = [index.get_document(d) and index.get_document(d)["title"] for d in range(8)]
    assert titles == ["alpha doc0", "alpha doc1", "beta doc0", "alpha doc0", "alpha doc1",
                      "alpha doc0", "alpha doc1", None]

    _set_segments(path, ["2", "1f", "1f"])
    index.reload()
    assert (index.num_segments(), index.num_docs()) == (3, 5)
    assert index.search_term("title", "doc1", None) == [(2, score), (4, score)]
    assert index.get_document(4)["title"] == "alpha doc1"


def test_segment_listed_two_hundred_times(ZelvarIndex, make_index):
    # A short "segments.json" naming one segment over and over opens it once.
    listing = ["1f", "+1F", "001f", "1F"] * 50
    path = make_index(description([segment("1f", docs(30, "alpha"))],
                                  segments_json=json.dumps(listing)))
    index = ZelvarIndex.open(path)
    assert (index.num_segments(), index.num_docs()) == (200, 6000)
    hits = index.search_term("title", "doc7", 1000)
    assert [d for d, _ in hits] == [30 * i + 7 for i in range(200)]
    assert index.get_document(5999)["title"] == "alpha doc29"
