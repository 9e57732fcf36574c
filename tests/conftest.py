"""Shared fixtures: the probe executable that exposes core primitives, the
Spark session, and the figures of the stress suite."""

import os
import subprocess

import pytest

STRESS_FIGURES = pytest.StashKey[list]()


class Probe:
    """One probe process, answering one line per command line."""

    def __init__(self, path):
        self.process = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)

    def ask(self, *tokens):
        self.process.stdin.write(" ".join(str(t) for t in tokens) + "\n")
        self.process.stdin.flush()
        answer = self.process.stdout.readline().split()
        assert answer and answer[0] not in ("error", "internal_error"), answer
        return answer


@pytest.fixture(scope="session")
def probe():
    path = os.environ.get("MORVIK3_PROBE")
    if not path:
        pytest.skip("MORVIK3_PROBE is not set (path to the morvik3_probe executable built with MORVIK3_BUILD_TESTS=ON)")
    p = Probe(path)
    yield p
    p.process.stdin.close()
    p.process.wait(timeout=10)


@pytest.fixture(scope="session")
def spark():
    """One local Spark session for every Spark test, on the loopback
    interface, its workers running this interpreter."""
    pytest.importorskip("pyspark")
    from spark_session import local_session

    session = local_session("morvik3-tests")
    yield session
    session.stop()


@pytest.fixture
def stress_report(request):
    """Keeps a line of a stress test's figures for the summary of the run."""
    return request.config.stash.setdefault(STRESS_FIGURES, []).append


def pytest_terminal_summary(terminalreporter, config):
    figures = config.stash.get(STRESS_FIGURES, [])
    if figures:
        terminalreporter.section("stress figures")
        for line in figures:
            terminalreporter.write_line(line)
