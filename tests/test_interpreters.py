"""The module loads only into the main interpreter, whichever interpreter
imports it first."""

import importlib
import textwrap

import pytest

from conftest import run_python


def _subinterpreter_module():
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            return importlib.import_module(name)
        except ImportError:
            pass
    return None


SUB_IMPORT = textwrap.dedent("""
    try:
        import zelvar_python
        print("sub: imported", flush=True)
    except ImportError as e:
        print("sub: ImportError:", e, flush=True)
""")

SUB_FIRST_PROBE = textwrap.dedent("""
    import sys
    try:
        import _interpreters as interpreters
        interp = interpreters.create(interpreters.new_config("legacy"))
    except ImportError:
        import _xxsubinterpreters as interpreters
        # Before 3.12 every sub-interpreter shares the main one's settings.
        interp = (interpreters.create(isolated=False) if sys.version_info >= (3, 12)
                  else interpreters.create())
    interpreters.run_string(interp, sys.argv[2])  # the sub-interpreter imports first
    interpreters.destroy(interp)
    import zelvar_python
    index = zelvar_python.ZelvarIndex.open(sys.argv[1])
    print("main:", zelvar_python.__all__, index.field_names(), flush=True)
""")


@pytest.mark.skipif(_subinterpreter_module() is None, reason="no sub-interpreter module")
def test_a_sub_interpreter_importing_first_is_refused_and_the_main_one_still_loads(
        schema_only_index):
    proc = run_python(SUB_FIRST_PROBE, schema_only_index, SUB_IMPORT)
    assert proc.returncode == 0, proc.stderr
    sub, main = proc.stdout.splitlines()
    # From 3.13 the interpreter itself runs a legacy module's initialisation
    # in the main interpreter first, so the refusal finds it loaded there.
    assert sub in (
        "sub: ImportError: zelvar_python does not support sub-interpreters: it can only be "
        "imported in the main interpreter",
        "sub: ImportError: zelvar_python does not support sub-interpreters: it is already "
        "loaded in another interpreter of this process",
    )
    assert main == "main: ['ZelvarIndex'] ['title', 'body']"
