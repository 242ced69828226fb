"""Fetching stored documents and converting their values."""

import math
from pathlib import Path

import pytest

from conftest import description, f32, field, raises_exactly, segment, text_field


ALL_KINDS_SCHEMA = {
    "fields": [
        text_field("title"), field("count", "u64"), field("delta", "i64"), field("ratio", "f64"),
        field("blob", "bytes"), field("sparse", "sparse_vector"), field("dense", "dense_vector"),
        field("meta", "json"),
    ],
    "name_to_field": {"title": 0, "count": 1, "delta": 2, "ratio": 3, "blob": 4, "sparse": 5,
                      "dense": 6, "meta": 7},
}


def raw(*pairs):
    """A stored record from (field number, value JSON text) pairs, verbatim."""
    body = ",".join(f"[{n},{v}]" for n, v in pairs)
    return {"stored_json": '{"field_values":[' + body + "]}"}


@pytest.fixture
def open_raw(ZelvarIndex, make_index):
    """open_raw(records, schema=ALL_KINDS_SCHEMA) -> index of one segment."""

    def open_(records, schema=ALL_KINDS_SCHEMA):
        return ZelvarIndex.open(make_index(description([segment("1", records)], schema=schema)))

    return open_


def test_every_value_kind(open_raw):
    index = open_raw([raw(
        (0, '{"text":"Grüße"}'),
        (1, '{"u64":18446744073709551615}'),
        (2, '{"i64":-9223372036854775808}'),
        (3, '{"f64":3}'),
        (4, '{"bytes":[0,255,7]}'),
        (5, '{"sparse_vector":{"indices":[3,9],"values":[0.5,0.25]}}'),
        (6, '{"dense_vector":[0.1,1.5,1e39]}'),
        (7, '{"json":{"k":[1,"s"]}}'),
    )])
    doc = index.get_document(0)
    assert doc == {
        "title": "Grüße",
        "count": 2**64 - 1,
        "delta": -2**63,
        "ratio": 3.0,
        "blob": b"\x00\xff\x07",
        "sparse": {"indices": [3, 9], "values": [0.5, 0.25]},
        "dense": [f32(0.1), 1.5, math.inf],
        "meta": {"k": [1, "s"]},
    }
    assert type(doc["count"]) is int and type(doc["ratio"]) is float
    assert type(doc["blob"]) is bytes
    assert list(doc["sparse"]) == ["indices", "values"]
    assert doc["dense"][0] == 0.10000000149011612  # the f32 widened exactly


def test_values_keep_their_own_kind_whatever_the_field_type(open_raw):
    # A u64 stored under a text field and a text under a u64 field.
    index = open_raw([raw((0, '{"u64":5}'), (1, '{"text":"five"}'))])
    assert index.get_document(0) == {"title": 5, "count": "five"}


def test_unknown_field_numbers_are_skipped_and_the_last_value_wins(open_raw):
    schema = {"fields": [text_field("a"), text_field("b"), text_field("c")],
              "name_to_field": {"a": 0, "b": 1, "c": 2}}
    index = open_raw([
        raw((0, '{"text":"first"}'), (5, '{"u64":1}'), (0, '{"text":"second"}')),
        raw((3, '{"text":"beyond"}'), (4294967295, '{"u64":1}')),
        raw(),
    ], schema=schema)
    assert index.get_document(0) == {"a": "second"}
    assert index.get_document(1) == {}
    assert index.get_document(2) == {}


def test_entries_with_the_same_name_share_one_key(open_raw):
    schema = {"fields": [text_field("x"), field("x", "u64")], "name_to_field": {"x": 1}}
    index = open_raw([raw((1, '{"u64":1}'), (0, '{"text":"later"}'))], schema=schema)
    assert index.get_document(0) == {"x": "later"}


JSON_CASES = [
    ("null", "null", None),
    ("true", "true", True),
    ("false", "false", False),
    ("u64 small", "5", 5),
    ("u64 2**63-1", "9223372036854775807", 2**63 - 1),
    ("u64 2**63", "9223372036854775808", 9.223372036854776e18),
    ("u64 2**64-1", "18446744073709551615", 1.8446744073709552e19),
    ("i64 -1", "-1", -1),
    ("i64 min", "-9223372036854775808", -2**63),
    ("f64 5.0", "5.0", 5.0),
    ("f64 2**64", "18446744073709551616", 1.8446744073709552e19),
    ("string", '"a\\u00e9\\n"', "aé\n"),
    ("array", '[true,null,1.5,[]]', [True, None, 1.5, []]),
    ("empty object", "{}", {}),
]


@pytest.mark.parametrize("label,text,expected", JSON_CASES, ids=[c[0] for c in JSON_CASES])
def test_json_values(open_raw, label, text, expected):
    value = open_raw([raw((7, '{"json":' + text + "}"))]).get_document(0)["meta"]
    assert value == expected
    assert type(value) is type(expected)


def test_json_negative_zero_is_a_float(open_raw):
    value = open_raw([raw((7, '{"json":-0}'))]).get_document(0)["meta"]
    assert type(value) is float and math.copysign(1.0, value) == -1.0


def test_json_objects_come_in_ascending_key_order(open_raw):
    index = open_raw([raw((7, '{"json":{"b":1,"a":[true,null,1.5],"B":{"z":0,"y":1},"b":2}}'))])
    value = index.get_document(0)["meta"]
    assert list(value) == ["B", "a", "b"]
    assert value == {"B": {"y": 1, "z": 0}, "a": [True, None, 1.5], "b": 2}
    assert list(value["B"]) == ["y", "z"]


def test_deeply_nested_json(open_raw):
    depth = 123
    value = open_raw([raw((7, '{"json":' + "[" * depth + "]" * depth + "}"))]).get_document(0)
    inner, levels = value["meta"], 1
    while inner:
        inner, levels = inner[0], levels + 1
    assert levels == depth


# ---- numbering and absence ------------------------------------------------------------

def test_documents_across_segments(ZelvarIndex, make_index):
    path = make_index(description([
        segment("1", [{"title": "a0", "year": 1}, {"title": "a1"}]),
        segment("2", []),
        segment("3", [{"title": "c0", "body": "x"}]),
    ]))
    index = ZelvarIndex.open(path)
    assert [index.get_document(i) for i in range(4)] == [
        {"title": "a0", "year": 1}, {"title": "a1"}, {"title": "c0", "body": "x"}, None]
    assert index.get_document(2**32 - 1) is None


def test_store_with_fewer_documents_than_the_metadata(ZelvarIndex, make_index):
    long = make_index(description([segment("1", [{"title": f"t{i}"} for i in range(5)],
                                           store={"block_docs": 2})]))
    short = make_index(description([segment("1", [{"title": f"s{i}"} for i in range(3)],
                                            store={"block_docs": 2})]))
    store = next(Path(short).glob("seg_*.store"))
    Path(long, store.name).write_bytes(store.read_bytes())
    index = ZelvarIndex.open(long)
    assert index.num_docs() == 5
    assert index.get_document(2) == {"title": "s2"}
    assert index.get_document(3) is None
    assert index.get_document(4) is None


MALFORMED = [
    ("empty object", "{}", "missing field `field_values` at line 1 column 2"),
    ("not JSON", "?", "expected value at line 1 column 1"),
    ("bad tag", '{"field_values":[[0,{"txt":"a"}]]}',
     'unknown variant `txt`, expected one of `text`, `u64`, `i64`, `f64`, `bytes`, '
     '`sparse_vector`, `dense_vector`, `json` at line 1 column 26'),
]


@pytest.mark.parametrize("label,stored,message", MALFORMED, ids=[c[0] for c in MALFORMED])
def test_malformed_stored_documents(open_raw, label, stored, message):
    index = open_raw([{"stored_json": stored}, raw((0, '{"text":"fine"}'))])
    raises_exactly(RuntimeError, "Failed to get document: IO error: " + message,
                   lambda: index.get_document(0))
    assert index.get_document(1) == {"title": "fine"}  # the next record is unaffected


def test_corrupt_store_block(ZelvarIndex, make_index):
    path = make_index(description([segment("1", [{"title": "x"}] * 3)]))
    index = ZelvarIndex.open(path)
    store = next(Path(path).glob("seg_*.store"))
    data = bytearray(store.read_bytes())
    data[:8] = b"\xff" * 8
    store.write_bytes(bytes(data))
    with pytest.raises(RuntimeError) as info:
        index.get_document(0)
    assert str(info.value).startswith("Failed to get document: IO error: ")
