"""Code run in a child interpreter: a crash there fails the test that ran it
instead of ending the whole run, and limits set there stay there."""

import os
import subprocess
import sys
import textwrap

import pytest

# Under AddressSanitizer the process reserves terabytes of address space, and
# an allocation that cannot be served aborts instead of failing.
SANITIZED = bool(os.environ.get("MORVIK3_SANITIZED"))
real_allocator = pytest.mark.skipif(SANITIZED, reason="running out of memory aborts under AddressSanitizer")

PRELUDE = f"""
import os, resource, sys
sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})

def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

def mapped():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")

def limit_address_space(total):
    resource.setrlimit(resource.RLIMIT_AS, (total, total))

MiB = 2**20
"""


def run_child(code, timeout=300):
    """Runs `code` after PRELUDE in a fresh interpreter; returns its output,
    failing the test if it did not exit cleanly."""
    done = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout
    )
    assert done.returncode == 0, f"child exited with {done.returncode}:\n{done.stderr[-4000:]}"
    return done.stdout
