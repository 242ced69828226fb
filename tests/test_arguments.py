"""Argument binding and conversion of the ZelvarIndex methods.

Every parameter is positional-or-keyword and required; the messages follow
Python's own. Conversion failures that are TypeErrors are re-raised with the
parameter's name; other failures pass unchanged.
"""

import collections
import pathlib

import pytest

from conftest import Index, raises_exactly


@pytest.fixture
def index(ZelvarIndex, schema_only_index):
    return ZelvarIndex.open(schema_only_index)


# ---- binding ----------------------------------------------------------------------

BINDING_CASES = [
    # (method, args, kwargs, message)
    ("open", (), {}, "ZelvarIndex.open() missing 1 required positional argument: 'path'"),
    ("open", ("a", "b"), {},
     "ZelvarIndex.open() takes 1 positional arguments but 2 were given"),
    ("open", ("a",), {"path": "b"}, "ZelvarIndex.open() got multiple values for argument 'path'"),
    ("open", (), {"x": 1}, "ZelvarIndex.open() got an unexpected keyword argument 'x'"),
    ("open", (), {"path": "a", "x": 1},
     "ZelvarIndex.open() got an unexpected keyword argument 'x'"),
    ("open", ("a", "b"), {"x": 1},
     "ZelvarIndex.open() takes 1 positional arguments but 2 were given"),
    ("get_document", (), {},
     "ZelvarIndex.get_document() missing 1 required positional argument: 'doc_id'"),
    ("get_document", (1, 2), {},
     "ZelvarIndex.get_document() takes 1 positional arguments but 2 were given"),
    ("get_document", (), {"id": 1},
     "ZelvarIndex.get_document() got an unexpected keyword argument 'id'"),
    ("search_term", (), {},
     "ZelvarIndex.search_term() missing 3 required positional arguments: "
     "'field', 'term', and 'limit'"),
    ("search_term", ("title",), {},
     "ZelvarIndex.search_term() missing 2 required positional arguments: 'term' and 'limit'"),
    ("search_term", ("title", "x"), {},
     "ZelvarIndex.search_term() missing 1 required positional argument: 'limit'"),
    ("search_term", ("title",), {"limit": 3},
     "ZelvarIndex.search_term() missing 1 required positional argument: 'term'"),
    ("search_term", (1, 2, 3, 4), {},
     "ZelvarIndex.search_term() takes 3 positional arguments but 4 were given"),
    # keywords are checked in the order given, before missing parameters
    ("search_term", ("a",), {"field": "b", "bogus": 1},
     "ZelvarIndex.search_term() got multiple values for argument 'field'"),
    ("search_term", ("a",), {"bogus": 1, "field": "b"},
     "ZelvarIndex.search_term() got an unexpected keyword argument 'bogus'"),
    ("search_term", (), {"Field": "a"},
     "ZelvarIndex.search_term() got an unexpected keyword argument 'Field'"),
    ("search_term", (), {"fïeld": "a"},
     "ZelvarIndex.search_term() got an unexpected keyword argument 'fïeld'"),
    ("search_boolean", (), {},
     "ZelvarIndex.search_boolean() missing 4 required positional arguments: "
     "'must', 'should', 'must_not', and 'limit'"),
    ("search_boolean", (None,), {"limit": None},
     "ZelvarIndex.search_boolean() missing 2 required positional arguments: "
     "'should' and 'must_not'"),
    ("search_boolean", (None, None, None, None, None), {},
     "ZelvarIndex.search_boolean() takes 4 positional arguments but 5 were given"),
    # arguments are bound before any is converted
    ("search_boolean", ("bad",), {},
     "ZelvarIndex.search_boolean() missing 3 required positional arguments: "
     "'should', 'must_not', and 'limit'"),
]


@pytest.mark.parametrize("method,args,kwargs,message", BINDING_CASES)
def test_binding_errors(index, method, args, kwargs, message):
    target = getattr(index, method) if method != "open" else type(index).open
    raises_exactly(TypeError, message, lambda: target(*args, **kwargs))


def test_keywords_bind_by_name_in_any_order(index, ZelvarIndex, schema_only_index):
    assert index.search_term(limit=None, term="x", field="title") == []
    assert index.search_term("title", limit=5, term="x") == []
    assert index.search_boolean(limit=1, must_not=None, should=None, must=None) == []
    assert index.get_document(doc_id=0) is None
    assert ZelvarIndex.open(path=schema_only_index).field_names() == ["title", "body"]


@pytest.mark.parametrize("method", ["num_docs", "num_segments", "field_names", "reload"])
def test_methods_without_parameters_refuse_arguments(index, method):
    with pytest.raises(TypeError):
        getattr(index, method)(1)
    with pytest.raises(TypeError):
        getattr(index, method)(x=1)


# ---- conversion ---------------------------------------------------------------------

class Text(str):
    pass


Pair = collections.namedtuple("Pair", "field term")

CONVERSION_CASES = [
    # (label, call(index), exception type, text)
    ("path int", lambda ix: type(ix).open(5), TypeError,
     "argument 'path': 'int' object cannot be cast as 'str'"),
    ("path None", lambda ix: type(ix).open(None), TypeError,
     "argument 'path': 'NoneType' object cannot be cast as 'str'"),
    ("path bytes", lambda ix: type(ix).open(b"/tmp"), TypeError,
     "argument 'path': 'bytes' object cannot be cast as 'str'"),
    ("path Path", lambda ix: type(ix).open(pathlib.PurePosixPath("/tmp")), TypeError,
     "argument 'path': 'PurePosixPath' object cannot be cast as 'str'"),
    ("path nested class", lambda ix: type(ix).open(Index(1)), TypeError,
     "argument 'path': 'Index' object cannot be cast as 'str'"),
    ("path surrogate", lambda ix: type(ix).open("\udc80"), UnicodeEncodeError, None),
    ("field int", lambda ix: ix.search_term(5, "x", None), TypeError,
     "argument 'field': 'int' object cannot be cast as 'str'"),
    ("term list", lambda ix: ix.search_term("title", ["x"], None), TypeError,
     "argument 'term': 'list' object cannot be cast as 'str'"),
    ("field before term", lambda ix: ix.search_term(5, 6, "x"), TypeError,
     "argument 'field': 'int' object cannot be cast as 'str'"),
    ("term before limit", lambda ix: ix.search_term("title", 6, "x"), TypeError,
     "argument 'term': 'int' object cannot be cast as 'str'"),
    ("term surrogate", lambda ix: ix.search_term("title", "a\ud800", None),
     UnicodeEncodeError, None),
    # conversion comes before the field lookup
    ("limit before lookup", lambda ix: ix.search_term("nope", "x", "10"), TypeError,
     "argument 'limit': 'str' object cannot be interpreted as an integer"),
    ("limit float", lambda ix: ix.search_term("title", "x", 1.5), TypeError,
     "argument 'limit': 'float' object cannot be interpreted as an integer"),
    ("limit negative", lambda ix: ix.search_term("title", "x", -1), OverflowError, None),
    ("limit 2**64", lambda ix: ix.search_term("title", "x", 2**64), OverflowError, None),
    ("doc_id -1", lambda ix: ix.get_document(-1), OverflowError,
     "out of range integral type conversion attempted"),
    ("doc_id 2**32", lambda ix: ix.get_document(2**32), OverflowError,
     "out of range integral type conversion attempted"),
    ("doc_id 2**63-1", lambda ix: ix.get_document(2**63 - 1), OverflowError,
     "out of range integral type conversion attempted"),
    ("doc_id -2**63", lambda ix: ix.get_document(-2**63), OverflowError,
     "out of range integral type conversion attempted"),
    ("doc_id 2**63", lambda ix: ix.get_document(2**63), OverflowError, None),
    ("doc_id float", lambda ix: ix.get_document(1.0), TypeError,
     "argument 'doc_id': 'float' object cannot be interpreted as an integer"),
    ("doc_id str", lambda ix: ix.get_document("1"), TypeError,
     "argument 'doc_id': 'str' object cannot be interpreted as an integer"),
    ("doc_id None", lambda ix: ix.get_document(None), TypeError,
     "argument 'doc_id': 'NoneType' object cannot be interpreted as an integer"),
    ("must str", lambda ix: ix.search_boolean("title", None, None, None), TypeError,
     "argument 'must': Can't extract `str` to `Vec`"),
    ("must str subclass", lambda ix: ix.search_boolean(Text("t"), None, None, None), TypeError,
     "argument 'must': Can't extract `str` to `Vec`"),
    ("should dict", lambda ix: ix.search_boolean(None, {"title": "x"}, None, None), TypeError,
     "argument 'should': 'dict' object cannot be cast as 'Sequence'"),
    ("must_not set", lambda ix: ix.search_boolean(None, None, {("title", "x")}, None),
     TypeError, "argument 'must_not': 'set' object cannot be cast as 'Sequence'"),
    ("must generator", lambda ix: ix.search_boolean((p for p in []), None, None, None),
     TypeError, "argument 'must': 'generator' object cannot be cast as 'Sequence'"),
    ("must int", lambda ix: ix.search_boolean(3, None, None, None), TypeError,
     "argument 'must': 'int' object cannot be cast as 'Sequence'"),
    ("item list", lambda ix: ix.search_boolean([["title", "x"]], None, None, None), TypeError,
     "argument 'must': 'list' object cannot be cast as 'tuple'"),
    ("item str", lambda ix: ix.search_boolean(None, ["title"], None, None), TypeError,
     "argument 'should': 'str' object cannot be cast as 'tuple'"),
    ("bytes items", lambda ix: ix.search_boolean(b"ab", None, None, None), TypeError,
     "argument 'must': 'int' object cannot be cast as 'tuple'"),
    ("1-tuple", lambda ix: ix.search_boolean([("title",)], None, None, None), ValueError,
     "expected tuple of length 2, but got tuple of length 1"),
    ("3-tuple", lambda ix: ix.search_boolean(None, None, [("a", "b", "c")], None), ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    ("0-tuple", lambda ix: ix.search_boolean([()], None, None, None), ValueError,
     "expected tuple of length 2, but got tuple of length 0"),
    ("pair field int", lambda ix: ix.search_boolean([(1, "x")], None, None, None), TypeError,
     "argument 'must': 'int' object cannot be cast as 'str'"),
    ("pair term None", lambda ix: ix.search_boolean(None, [("title", None)], None, None),
     TypeError, "argument 'should': 'NoneType' object cannot be cast as 'str'"),
    ("pair surrogate", lambda ix: ix.search_boolean([("title", "\udfff")], None, None, None),
     UnicodeEncodeError, None),
    # must, should and must_not are converted in order, then limit
    ("must before should", lambda ix: ix.search_boolean("x", "y", None, None), TypeError,
     "argument 'must': Can't extract `str` to `Vec`"),
    ("should before limit", lambda ix: ix.search_boolean(None, "y", None, "z"), TypeError,
     "argument 'should': Can't extract `str` to `Vec`"),
    ("limit last", lambda ix: ix.search_boolean(None, None, None, "z"), TypeError,
     "argument 'limit': 'str' object cannot be interpreted as an integer"),
    ("conversion before lookup",
     lambda ix: ix.search_boolean([("nope", "x")], "bad", None, None), TypeError,
     "argument 'should': Can't extract `str` to `Vec`"),
]


@pytest.mark.parametrize("label,call,exc_type,text", CONVERSION_CASES,
                         ids=[c[0] for c in CONVERSION_CASES])
def test_conversion_errors(index, label, call, exc_type, text):
    raises_exactly(exc_type, text, lambda: call(index))


ACCEPTED_CASES = [
    ("str subclass path", lambda ix, path: type(ix).open(Text(path)).num_docs(), 0),
    ("doc_id True", lambda ix, path: ix.get_document(True), None),
    ("doc_id __index__", lambda ix, path: ix.get_document(Index(7)), None),
    ("doc_id 2**32-1", lambda ix, path: ix.get_document(2**32 - 1), None),
    ("limit 0", lambda ix, path: ix.search_term("title", "x", 0), []),
    ("limit True", lambda ix, path: ix.search_term("title", "x", True), []),
    ("limit __index__", lambda ix, path: ix.search_term("title", "x", Index(3)), []),
    ("limit 2**64-1", lambda ix, path: ix.search_term("title", "x", 2**64 - 1), []),
    ("str subclass field", lambda ix, path: ix.search_term(Text("title"), Text("x"), None), []),
    ("tuple of pairs", lambda ix, path: ix.search_boolean((("title", "x"),), (), [], None), []),
    ("namedtuple pair", lambda ix, path: ix.search_boolean([Pair("title", "x")], None, None, 1),
     []),
    ("range", lambda ix, path: ix.search_boolean(range(0), None, None, None), []),
    ("empty bytes", lambda ix, path: ix.search_boolean(b"", None, None, None), []),
]


@pytest.mark.parametrize("label,call,expected", ACCEPTED_CASES,
                         ids=[c[0] for c in ACCEPTED_CASES])
def test_accepted_arguments(index, schema_only_index, label, call, expected):
    assert call(index, schema_only_index) == expected


class PairSequence:
    """A sequence whose iteration and length are scripted."""

    def __init__(self, items=(), iter_error=None, len_error=None):
        self.items = list(items)
        self.iter_error = iter_error
        self.len_error = len_error

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        if self.len_error is not None:
            raise self.len_error
        return len(self.items)

    def __iter__(self):
        if self.iter_error is not None:
            raise self.iter_error
        return iter(self.items)


class CustomTypeError(TypeError):
    pass


def test_wrapped_type_error_keeps_the_original_cause(index):
    cause = KeyError("inner")
    error = TypeError("iteration broke")
    error.__cause__ = cause
    raised = raises_exactly(TypeError, "argument 'must': iteration broke",
                            lambda: index.search_boolean(PairSequence(iter_error=error), None,
                                                         None, None))
    assert raised is not error
    assert raised.__cause__ is cause


def test_wrapped_type_error_without_cause_has_none(index):
    raised = raises_exactly(TypeError, "argument 'should': plain",
                            lambda: index.search_boolean(None,
                                                         PairSequence(iter_error=TypeError("plain")),
                                                         None, None))
    assert raised.__cause__ is None


@pytest.mark.parametrize("error", [CustomTypeError("sub"), ValueError("v"), KeyError("k")],
                         ids=["TypeError subclass", "ValueError", "KeyError"])
def test_other_iteration_errors_pass_unchanged(index, error):
    with pytest.raises(BaseException) as info:
        index.search_boolean(PairSequence(iter_error=error), None, None, None)
    assert info.value is error


def test_a_failing_length_is_ignored(index):
    seq = PairSequence([("title", "x")], len_error=RuntimeError("no length"))
    assert index.search_boolean(seq, None, None, None) == []


def test_a_huge_reported_length_is_harmless(index):
    class Liar(PairSequence):
        def __len__(self):
            return 2**62

    assert index.search_boolean(Liar([("title", "x")]), None, None, None) == []


# ---- field names --------------------------------------------------------------------

FIELD_CASES = [
    ("search_term", lambda ix: ix.search_term("nope", "x", None), "Field 'nope' not found"),
    ("case matters", lambda ix: ix.search_term("Title", "x", None), "Field 'Title' not found"),
    ("as passed", lambda ix: ix.search_term("tïtle ", "x", None), "Field 'tïtle ' not found"),
    ("empty name", lambda ix: ix.search_term("", "x", 0), "Field '' not found"),
    ("must", lambda ix: ix.search_boolean([("nope", "x")], None, None, None),
     "Field 'nope' not found"),
    ("first must", lambda ix: ix.search_boolean([("title", "x"), ("m1", "x"), ("m2", "x")],
                                                 [("s", "x")], None, None),
     "Field 'm1' not found"),
    ("should after valid must", lambda ix: ix.search_boolean([("title", "x")], [("s", "x")],
                                                              [("n", "x")], None),
     "Field 's' not found"),
    ("only must_not", lambda ix: ix.search_boolean([("title", "a")], [("body", "b")],
                                                    [("zz", "c")], None),
     "Field 'zz' not found"),
    ("must_not alone", lambda ix: ix.search_boolean(None, None, [("zz", "c")], 0),
     "Field 'zz' not found"),
]


@pytest.mark.parametrize("label,call,text", FIELD_CASES, ids=[c[0] for c in FIELD_CASES])
def test_unknown_fields(index, label, call, text):
    raises_exactly(ValueError, text, lambda: call(index))
