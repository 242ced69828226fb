"""The process-wide runtime under faults: threads it cannot start, and tasks
that run out of memory."""

import os
import textwrap

import pytest

from conftest import run_as_nobody_with_two_threads, run_python

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


FAILED_BUILDS_PROBE = textwrap.dedent("""
    import os, resource, sys
    try:
        import zelvar_python
    except ImportError:
        sys.exit(77)
    def threads():
        return len(os.listdir("/proc/self/task"))
    before = threads()
    outcomes = []
    for attempt in range(3):
        try:
            zelvar_python.ZelvarIndex.open(sys.argv[1])
            outcomes.append("opened")
        except BaseException as e:
            outcomes.append(type(e).__name__)
    print(" ".join(outcomes))
    print(threads() - before)
""")


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to run the probe as another user")
def test_failed_runtime_builds_leave_no_thread_behind():
    # The interpreter's own thread and one more: the runtime starts one
    # worker, then fails on the next.
    proc = run_as_nobody_with_two_threads(FAILED_BUILDS_PROBE)
    assert proc.returncode == 0, proc.stderr
    outcomes, leaked = proc.stdout.splitlines()
    assert outcomes == "InternalFailure InternalFailure InternalFailure"
    assert leaked == "0"


HUGE_FILE_PROBE = textwrap.dedent("""
    import os, resource, sys
    import zelvar_python
    small, huge = sys.argv[1], sys.argv[2]
    zelvar_python.ZelvarIndex.open(small)  # the runtime and its threads exist now
    with open("/proc/self/status") as f:
        vm = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (vm + (512 << 20), resource.RLIM_INFINITY))
    try:
        zelvar_python.ZelvarIndex.open(huge)
        print("opened")
    except BaseException as e:
        print(type(e).__name__ + ": " + str(e))
    # The thread that ran out of memory took nothing down with it.
    print(zelvar_python.ZelvarIndex.open(small).field_names())
""")


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's allocator does not honour RLIMIT_AS")
def test_a_schema_too_large_for_memory_fails_the_open_cleanly(tmp_path, schema_only_index):
    huge = tmp_path / "huge"
    huge.mkdir()
    # Sparse: 4 GiB of zero bytes that take no disk space.
    with open(huge / "schema.json", "wb") as f:
        f.truncate(4 << 30)
    proc = run_python(HUGE_FILE_PROBE, schema_only_index, str(huge), timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "RuntimeError: Failed to open index: IO error: background task failed",
        "['title', 'body']",
    ]
