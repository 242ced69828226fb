"""Reference counts: calls keep no reference to their arguments, and every
object of a result is owned by its container alone."""

import sys

import pytest

from conftest import Index, description, field, segment, text_field, write_index

SCHEMA = {
    "fields": [
        text_field("title"), field("count", "u64"), field("ratio", "f64"), field("blob", "bytes"),
        field("sparse", "sparse_vector"), field("dense", "dense_vector"), field("meta", "json"),
    ],
    "name_to_field": {"title": 0, "count": 1, "ratio": 2, "blob": 3, "sparse": 4, "dense": 5,
                      "meta": 6},
}

RECORD = ('{"field_values":[[0,{"text":"first title"}],[1,{"u64":18446744073709551615}],'
          '[2,{"f64":2.5}],[3,{"bytes":[1,2,3]}],'
          '[4,{"sparse_vector":{"indices":[300,900],"values":[0.5,0.25]}}],'
          '[5,{"dense_vector":[1.5,2.5]}],'
          '[6,{"json":{"list":[1.5,"text value",[null,true],{"big":18446744073709551615}],'
          '"neg":-1000,"num":123456}}],'
          '[0,{"text":"second title"}],[9,{"text":"skipped"}]]}')


@pytest.fixture(scope="module")
def index(ZelvarIndex, tmp_path_factory):
    folder = tmp_path_factory.mktemp("refs") / "index"
    docs = [{"stored_json": RECORD, "indexed": [["title", "word"]]}] * 3
    write_index(folder, description([segment("1", docs), segment("2", docs)], schema=SCHEMA))
    return ZelvarIndex.open(str(folder))


def _children(obj):
    if isinstance(obj, dict):
        return [x for item in obj.items() for x in item]
    return list(obj)


def _shared_by_the_interpreter(obj):
    """Objects the interpreter may hand out from its caches."""
    if obj is None or isinstance(obj, bool):
        return True
    if isinstance(obj, int):
        return -5 <= obj <= 256
    if isinstance(obj, (str, bytes, tuple)):
        # The two keys of a sparse vector are interned strings.
        return len(obj) <= 1 or obj in ("indices", "values")
    return False


def _child_counts(container):
    return [sys.getrefcount(child) for child in _children(container)]


def _assert_owned_by_containers(obj):
    # What a fresh object held only by its container counts, measured the same way.
    sole = _child_counts([object()])[0]
    stack = [obj]
    while stack:
        container = stack.pop()
        counts = _child_counts(container)  # before another list holds the children
        for child, count in zip(_children(container), counts):
            if not _shared_by_the_interpreter(child):
                assert count == sole, (container, child)
            if isinstance(child, (list, dict, tuple)):
                stack.append(child)


RESULT_CALLS = [
    ("get_document", lambda ix: ix.get_document(4)),
    ("search_term", lambda ix: ix.search_term("title", "word", None)),
    ("search_boolean", lambda ix: ix.search_boolean([("title", "word")], None, None, 4)),
    ("field_names", lambda ix: ix.field_names()),
]


@pytest.mark.parametrize("label,call", RESULT_CALLS, ids=[c[0] for c in RESULT_CALLS])
def test_results_are_owned_by_their_containers_alone(index, label, call):
    result = call(index)
    assert result
    _assert_owned_by_containers(result)
    fresh = [object()]
    assert sys.getrefcount(result) == sys.getrefcount(fresh)


def _fresh(text):
    return "".join(list(text))


ARGUMENT_CALLS = [
    # (label, arguments, call(index, *arguments)); the arguments are fresh objects
    ("open", lambda: [_fresh("/nonexistent/index")], lambda ix, p: type(ix).open(p)),
    ("open by keyword", lambda: [_fresh("/nonexistent/index")],
     lambda ix, p: type(ix).open(path=p)),
    ("open int", lambda: [10**30], lambda ix, p: type(ix).open(p)),
    ("search_term", lambda: [_fresh("title"), _fresh("word"), 10**5],
     lambda ix, f, t, n: ix.search_term(f, t, n)),
    ("search_term unknown field", lambda: [_fresh("nope"), _fresh("word"), Index(3)],
     lambda ix, f, t, n: ix.search_term(f, t, n)),
    ("search_term bad limit", lambda: [_fresh("title"), _fresh("word"), [1]],
     lambda ix, f, t, n: ix.search_term(field=f, term=t, limit=n)),
    ("search_term duplicate", lambda: [_fresh("title"), _fresh("title")],
     lambda ix, f, g: ix.search_term(f, field=g)),
    ("search_boolean", lambda: [[(_fresh("title"), _fresh("word"))], ((_fresh("title"), "x"),)],
     lambda ix, m, s: ix.search_boolean(m, s, None, None)),
    ("search_boolean bad pair",
     lambda: [[(_fresh("title"), _fresh("word")), [_fresh("title"), _fresh("x")]]],
     lambda ix, m: ix.search_boolean(m, None, None, None)),
    ("search_boolean short tuple", lambda: [[(_fresh("title"),)]],
     lambda ix, m: ix.search_boolean(None, None, m, None)),
    ("search_boolean unknown field", lambda: [[(_fresh("nope"), _fresh("word"))]],
     lambda ix, m: ix.search_boolean(None, m, None, None)),
    ("get_document", lambda: [Index(4)], lambda ix, d: ix.get_document(d)),
    ("get_document too large", lambda: [10**12], lambda ix, d: ix.get_document(d)),
    ("get_document not an int", lambda: [_fresh("4")], lambda ix, d: ix.get_document(d)),
]


def _all_objects(arguments):
    found = []
    stack = list(arguments)
    while stack:
        obj = stack.pop()
        found.append(obj)
        if isinstance(obj, (list, tuple)):
            stack.extend(obj)
    return [o for o in found if not _shared_by_the_interpreter(o)]


@pytest.mark.parametrize("label,make,call", ARGUMENT_CALLS, ids=[c[0] for c in ARGUMENT_CALLS])
def test_calls_keep_no_reference_to_their_arguments(index, label, make, call):
    arguments = make()
    objects = _all_objects(arguments)
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(20):
        try:
            call(index, *arguments)
        except (TypeError, ValueError, OverflowError, RuntimeError):
            pass
    assert [sys.getrefcount(o) for o in objects] == before
