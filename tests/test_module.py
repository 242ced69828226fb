"""The module object, the ZelvarIndex class and the process-wide runtime."""

import gc
import importlib
import inspect
import os
import sys
import textwrap
import weakref

import pytest

from conftest import description, run_as_nobody_with_two_threads, run_python, segment


def test_import_returns_the_same_module_again(zp):
    assert importlib.import_module("zelvar_python") is zp
    # A fresh import after the module left sys.modules initialises it again,
    # which must hand back the one module of the process.
    saved = sys.modules.pop("zelvar_python")
    try:
        again = importlib.import_module("zelvar_python")
        assert again is saved
        assert again.ZelvarIndex is saved.ZelvarIndex
    finally:
        sys.modules["zelvar_python"] = saved


def test_import_succeeds_with_warnings_as_errors():
    proc = run_python("import zelvar_python; print(zelvar_python.ZelvarIndex.__name__)",
                      flags=("-W", "error"))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "ZelvarIndex\n"


def test_module_contents(zp):
    assert zp.__name__ == "zelvar_python"
    assert zp.__doc__ == "Python module"
    assert zp.__all__ == ["ZelvarIndex"]
    assert isinstance(zp.ZelvarIndex, type)


def test_class_attributes(ZelvarIndex):
    assert ZelvarIndex.__name__ == "ZelvarIndex"
    assert ZelvarIndex.__qualname__ == "ZelvarIndex"
    assert ZelvarIndex.__doc__ == "Python wrapper for Zelvar Index (read-only)"
    assert ZelvarIndex.__bases__ == (object,)
    # The type's own name has no module prefix (the interpreter's messages
    # show it bare), but the class names its module for the tools that ask.
    with pytest.raises(TypeError) as info:
        ZelvarIndex()
    assert str(info.value) == "cannot create 'ZelvarIndex' instances"
    assert ZelvarIndex.__module__ == "zelvar_python"


def test_tools_can_describe_the_class(ZelvarIndex):
    import pydoc
    import typing
    # Each interpreter spells the optional its own way (3.14 as "... | None"),
    # but all of them name the class by its module.
    assert "zelvar_python.ZelvarIndex" in repr(typing.Optional[ZelvarIndex])
    text = pydoc.render_doc(ZelvarIndex, renderer=pydoc.plaintext)
    assert "search_boolean(self, /, must, should, must_not, limit)" in text


METHODS = [
    ("open", "(path)", "Open an existing index"),
    ("num_docs", "($self)", "Get the number of documents in the index"),
    ("num_segments", "($self)", "Get the number of segments"),
    ("field_names", "($self)", "Get field names"),
    ("get_document", "($self, doc_id)", "Get a document by ID"),
    ("search_term", "($self, field, term, limit)", "Search the index with a term query"),
    ("search_boolean", "($self, must, should, must_not, limit)", "Search with a boolean query"),
    ("reload", "($self)", "Reload the index to see new segments"),
]


@pytest.mark.parametrize("name,signature,doc", METHODS, ids=[m[0] for m in METHODS])
def test_method_signatures_and_docstrings(ZelvarIndex, name, signature, doc):
    method = getattr(ZelvarIndex, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_method_table_order_and_kinds(ZelvarIndex):
    names = [n for n in ZelvarIndex.__dict__ if not n.startswith("__")]
    assert names == [m[0] for m in METHODS]
    assert isinstance(ZelvarIndex.__dict__["open"], staticmethod)
    params = inspect.signature(ZelvarIndex.search_boolean).parameters
    assert [p.kind for p in params.values()][1:] == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * 4


def test_class_cannot_be_instantiated(ZelvarIndex):
    with pytest.raises(TypeError):
        ZelvarIndex()
    with pytest.raises(TypeError):
        ZelvarIndex("some/path")
    # object.__new__ must not hand out an instance without an index either.
    with pytest.raises(TypeError):
        object.__new__(ZelvarIndex)


def test_class_cannot_be_subclassed(ZelvarIndex):
    with pytest.raises(TypeError):
        class Derived(ZelvarIndex):
            pass


def test_class_is_immutable(ZelvarIndex):
    with pytest.raises(TypeError):
        ZelvarIndex.extra = 1


def test_instances_have_no_dict_no_weakrefs_and_are_not_gc_tracked(ZelvarIndex,
                                                                   schema_only_index):
    index = ZelvarIndex.open(schema_only_index)
    assert type(index) is ZelvarIndex
    assert not hasattr(index, "__dict__")
    with pytest.raises(AttributeError):
        index.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(index)
    assert not gc.is_tracked(index)


def test_instances_are_independent(ZelvarIndex, schema_only_index):
    first = ZelvarIndex.open(schema_only_index)
    second = ZelvarIndex.open(schema_only_index)
    assert first is not second
    del first
    gc.collect()
    assert second.field_names() == ["title", "body"]


def _subinterpreter_script(result_file, legacy):
    """Imports the module in the main interpreter, then in a sub-interpreter,
    and writes what the sub-interpreter saw to `result_file`."""
    inner = textwrap.dedent(f"""
        try:
            import zelvar_python
            outcome = "imported"
        except ImportError as e:
            outcome = "ImportError: " + str(e)
        except BaseException as e:
            outcome = type(e).__name__ + ": " + str(e)
        with open({str(result_file)!r}, "w") as f:
            f.write(outcome)
    """)
    return textwrap.dedent(f"""
        import sys
        import zelvar_python
        legacy = {legacy!r}
        try:
            import _interpreters as interpreters
            config = interpreters.new_config("legacy" if legacy else "isolated")
            interp = interpreters.create(config)
        except ImportError:
            import _xxsubinterpreters as interpreters
            if sys.version_info >= (3, 12):
                interp = interpreters.create(isolated=not legacy)
            else:
                if not legacy:
                    sys.exit(77)
                interp = interpreters.create()
        interpreters.run_string(interp, {inner!r})
        interpreters.destroy(interp)
        print("main still works:", zelvar_python.__all__)
    """)


def _subinterpreters_available():
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            importlib.import_module(name)
            return True
        except ImportError:
            pass
    return False


@pytest.mark.skipif(not _subinterpreters_available(), reason="no sub-interpreter module")
@pytest.mark.parametrize("legacy", [True, False], ids=["shared-config", "isolated-config"])
def test_import_in_a_sub_interpreter_raises_import_error(tmp_path, legacy):
    result_file = tmp_path / "outcome.txt"
    proc = run_python(_subinterpreter_script(result_file, legacy))
    if proc.returncode == 77:
        pytest.skip("this interpreter has no isolated sub-interpreters")
    assert proc.returncode == 0, proc.stderr
    assert "main still works: ['ZelvarIndex']" in proc.stdout
    outcome = result_file.read_text()
    assert outcome.startswith("ImportError: "), outcome
    if legacy:
        # The module's own refusal (an isolated interpreter refuses the module
        # before its initialisation runs, with the interpreter's text).
        assert outcome == ("ImportError: zelvar_python does not support sub-interpreters: "
                           "it is already loaded in another interpreter of this process")
    else:
        assert "subinterpreters" in outcome or "sub-interpreters" in outcome


RUNTIME_PROBE = textwrap.dedent("""
    import gc, os, sys, time
    def threads():
        return len(os.listdir("/proc/self/task"))
    cpus = len(os.sched_getaffinity(0))
    before = threads()
    import zelvar_python
    after_import = threads()
    index = zelvar_python.ZelvarIndex.open(sys.argv[1])
    after_open = threads()
    del index
    gc.collect()
    # The index's pool threads end on their own, soon after.
    for _ in range(5000):
        if threads() <= after_open - cpus:
            break
        time.sleep(0.001)
    after_release = threads()
    index = zelvar_python.ZelvarIndex.open(sys.argv[1])
    after_second_open = threads()
    print(before, after_import, after_open, after_release, after_second_open, cpus)
""")


def test_runtime_is_created_on_first_open_and_kept(schema_only_index):
    proc = run_python(RUNTIME_PROBE, schema_only_index)
    assert proc.returncode == 0, proc.stderr
    before, after_import, after_open, after_release, after_second_open, cpus = map(
        int, proc.stdout.split())
    assert after_import == before  # importing starts no thread
    assert after_open >= before + cpus  # the runtime's workers (and the index's pool)
    assert after_release >= before + cpus  # the runtime outlives every index
    # A second open reuses the runtime: only the new index's pool (and at most
    # a blocking thread or two) is added, never a second set of workers.
    assert after_second_open - after_release <= cpus + 2
    assert after_second_open <= after_open + 2


FORK_PROBE = textwrap.dedent("""
    import os, sys, time
    import zelvar_python
    path = sys.argv[1]
    index = zelvar_python.ZelvarIndex.open(path)
    parent_hits = index.search_term("title", "alpha", None)
    pid = os.fork()
    if pid == 0:
        # The child reads files through the runtime the parent built, opens
        # an index of its own, drops both and exits normally.
        ok = (index.get_document(1) == {"title": "alpha beta"}
              and [d for d, _ in index.search_term("title", "beta", None)] == [1]
              and zelvar_python.ZelvarIndex.open(path).search_term("title", "alpha", None) == parent_hits)
        del index
        sys.exit(0 if ok else 3)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            print("exit", os.waitstatus_to_exitcode(status))
            break
        time.sleep(0.05)
    else:
        os.kill(pid, 9)
        print("hung")
    print("parent", index.search_term("title", "alpha", None) == parent_hits)
""")


def test_a_forked_child_can_use_and_drop_indexes(make_index):
    path = make_index(description([segment("1", [{"title": "alpha"}, {"title": "alpha beta"}]),
                                   segment("2", [{"title": "alpha alpha"}])]))
    proc = run_python(FORK_PROBE, path, timeout=90)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "exit 0\nparent True\n", proc.stderr


RUNTIME_FAILURE_PROBE = textwrap.dedent("""
    import resource, sys
    try:
        import zelvar_python
    except ImportError:
        sys.exit(77)
    try:
        zelvar_python.ZelvarIndex.open(sys.argv[1])
        print("opened")
    except BaseException as e:
        print(type(e).__name__, isinstance(e, Exception), str(e), sep="|")
    # The runtime was not kept: once threads may start, the next call builds it.
    hard = resource.getrlimit(resource.RLIMIT_NPROC)[1]
    resource.setrlimit(resource.RLIMIT_NPROC, (hard, hard))
    print(zelvar_python.ZelvarIndex.open(sys.argv[1]).num_docs())
""")


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to run the probe as another user")
def test_a_runtime_that_cannot_start_threads_raises_the_internal_failure():
    # The interpreter's own thread and one more: the runtime cannot start.
    proc = run_as_nobody_with_two_threads(RUNTIME_FAILURE_PROBE)
    assert proc.returncode == 0, proc.stderr
    failure, retry = proc.stdout.splitlines()
    name, is_exception, text = failure.split("|")
    assert name == "InternalFailure"
    assert is_exception == "False"  # derived from BaseException only
    assert text == "Failed to create Tokio runtime: Resource temporarily unavailable"
    assert retry == "0"
