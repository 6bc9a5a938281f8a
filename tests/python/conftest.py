"""Fixtures shared by the Python tests."""

import sys
import threading

import pytest


@pytest.fixture
def on_small_stack():
    """Runs a function on a thread with a 1 MiB stack and the interpreter's
    recursion limit out of the way, so that the native stack check is what
    stops a deep encoding; restores both afterwards."""

    def run(function):
        old_limit, old_size = sys.getrecursionlimit(), threading.stack_size()
        sys.setrecursionlimit(10**6)
        threading.stack_size(1 << 20)
        try:
            thread = threading.Thread(target=function)
            thread.start()
            thread.join()
        finally:
            threading.stack_size(old_size)
            sys.setrecursionlimit(old_limit)

    return run
