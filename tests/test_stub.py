"""The type stub python/zelvar_python.pyi against the module it describes:
the same methods, the signatures the binding states in its text signatures,
its docstrings, and return types that the values really returned fit."""

import ast
import inspect
from pathlib import Path

import pytest

from conftest import description, segment

STUB = Path(__file__).resolve().parent.parent / "python" / "zelvar_python.pyi"


@pytest.fixture(scope="module")
def stub():
    return ast.parse(STUB.read_text(), filename=str(STUB))


@pytest.fixture(scope="module")
def stub_class(stub):
    (cls,) = [n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == "ZelvarIndex"]
    return cls


@pytest.fixture(scope="module")
def stub_methods(stub_class):
    return {n.name: n for n in stub_class.body if isinstance(n, ast.FunctionDef)}


def stub_parameters(function):
    """[(name, kind, has a default)] of a stub's def, in order."""
    args, kind = function.args, inspect.Parameter
    positional = ([(a, kind.POSITIONAL_ONLY) for a in args.posonlyargs]
                  + [(a, kind.POSITIONAL_OR_KEYWORD) for a in args.args])
    first_default = len(positional) - len(args.defaults)
    params = [(a.arg, k, i >= first_default) for i, (a, k) in enumerate(positional)]
    if args.vararg:
        params.append((args.vararg.arg, kind.VAR_POSITIONAL, False))
    params += [(a.arg, kind.KEYWORD_ONLY, d is not None)
               for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    if args.kwarg:
        params.append((args.kwarg.arg, kind.VAR_KEYWORD, False))
    return params


def test_module_names_what_it_exports(zp, stub):
    (exports,) = [n for n in stub.body if isinstance(n, ast.Assign)
                  and [t.id for t in n.targets] == ["__all__"]]
    assert ast.literal_eval(exports.value) == zp.__all__


def test_class_and_methods_are_the_modules(ZelvarIndex, stub_class, stub_methods):
    assert ast.get_docstring(stub_class) == ZelvarIndex.__doc__
    assert "final" in [ast.unparse(d) for d in stub_class.decorator_list]
    public = [n for n in ZelvarIndex.__dict__ if not n.startswith("__")]
    assert list(stub_methods) == public


def test_signatures_are_the_text_signatures(ZelvarIndex, stub_methods):
    for name, function in stub_methods.items():
        real = inspect.signature(getattr(ZelvarIndex, name))
        assert stub_parameters(function) == [
            (p.name, p.kind, p.default is not p.empty) for p in real.parameters.values()], name
        decorators = [ast.unparse(d) for d in function.decorator_list]
        is_static = isinstance(ZelvarIndex.__dict__[name], staticmethod)
        assert decorators == (["staticmethod"] if is_static else []), name
        assert ast.get_docstring(function) == getattr(ZelvarIndex, name).__doc__, name


def test_every_parameter_and_result_is_annotated(stub_methods):
    for name, function in stub_methods.items():
        args = function.args
        for arg in args.posonlyargs + args.args + args.kwonlyargs:
            assert arg.annotation is not None or arg.arg == "self", (name, arg.arg)
        assert function.returns is not None, name


# ---- returned values against the annotations ----------------------------------------------

_TYPES = {"int": int, "float": float, "str": str}


def fits(value, annotation, ZelvarIndex):
    """Whether `value` has the type the annotation's expression names."""
    node = annotation
    if isinstance(node, ast.Constant) and node.value is None:
        return value is None
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
        return fits(value, node.left, ZelvarIndex) or fits(value, node.right, ZelvarIndex)
    if isinstance(node, ast.Name):
        if node.id == "Any":
            return True
        if node.id == "ZelvarIndex":
            return type(value) is ZelvarIndex
        return type(value) is _TYPES[node.id]
    if isinstance(node, ast.Subscript) and isinstance(node.value, ast.Name):
        args = node.slice.elts if isinstance(node.slice, ast.Tuple) else [node.slice]
        outer = node.value.id
        if outer == "list":
            return type(value) is list and all(fits(v, args[0], ZelvarIndex) for v in value)
        if outer == "tuple":
            return (type(value) is tuple and len(value) == len(args)
                    and all(fits(v, a, ZelvarIndex) for v, a in zip(value, args)))
        if outer == "dict":
            return type(value) is dict and all(
                fits(k, args[0], ZelvarIndex) and fits(v, args[1], ZelvarIndex)
                for k, v in value.items())
    raise AssertionError(f"no check for the annotation {ast.unparse(node)}")


def test_fits_tells_types_apart(ZelvarIndex):
    annotation = ast.parse("list[tuple[int, float]] | None", mode="eval").body
    assert fits([(1, 2.0)], annotation, ZelvarIndex)
    assert fits(None, annotation, ZelvarIndex)
    assert not fits([(1, 2)], annotation, ZelvarIndex)
    assert not fits([[1, 2.0]], annotation, ZelvarIndex)
    assert not fits([(True, 2.0)], annotation, ZelvarIndex)
    assert not fits({"a": 1}, ast.parse("dict[str, str]", mode="eval").body, ZelvarIndex)


# Every method, called so that each part of its result type shows up.
CALLS = [
    ("open", lambda cls, index, path: cls.open(path)),
    ("num_docs", lambda cls, index, path: index.num_docs()),
    ("num_segments", lambda cls, index, path: index.num_segments()),
    ("field_names", lambda cls, index, path: index.field_names()),
    ("get_document", lambda cls, index, path: index.get_document(0)),
    ("get_document", lambda cls, index, path: index.get_document(99)),
    ("search_term", lambda cls, index, path: index.search_term("title", "search", None)),
    ("search_boolean", lambda cls, index, path: index.search_boolean(
        [("body", "fast")], [("title", "engine")], None, 5)),
    ("reload", lambda cls, index, path: index.reload()),
]


def test_returned_values_fit_the_return_types(ZelvarIndex, make_index, stub_methods):
    path = make_index(description([
        segment("1", [{"title": "search engine", "body": "fast", "year": 2024}]),
        segment("2", [{"title": "search", "body": "fast and small", "year": 2025}]),
    ]))
    index = ZelvarIndex.open(path)
    assert {name for name, _ in CALLS} == set(stub_methods)
    for name, call in CALLS:
        value = call(ZelvarIndex, index, path)
        assert fits(value, stub_methods[name].returns, ZelvarIndex), (name, value)
