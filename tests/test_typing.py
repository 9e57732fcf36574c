"""The type stubs: mypy --strict on the README's examples and on a program
that uses every public name, and stubtest of the stubs against the module."""

import ast
import pathlib
import re
import subprocess
import sys

import pytest

# The README's examples and the typed program use every adapter: without the
# libraries behind them there is nothing to check those against.
for library in ("river", "sklearn", "pyspark", "pandas"):
    pytest.importorskip(library)

import morvik3  # noqa: E402
import morvik3.river  # noqa: E402
import morvik3.sklearn  # noqa: E402
import morvik3.spark  # noqa: E402
import typing_usage  # noqa: E402
from readme_examples import all_examples  # noqa: E402

TESTS = pathlib.Path(__file__).resolve().parent
ROOT = TESTS.parent
CONFIG = ROOT / "pyproject.toml"

# Each line must be an error: the stubs are read, not waved through as Any.
MISUSE = """\
import morvik3
forest = morvik3.Forest(3)
forest.capacity = 5
forest.update({"a": 1.0})
held: str = forest.memory_bytes()
morvik3.ScoreCalibrator(seed=1)
"""


def mypy(*arguments):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", str(CONFIG), "--cache-dir", str(ROOT / "build" / "mypy-cache"),
         *map(str, arguments)],
        capture_output=True, text=True, cwd=ROOT, timeout=600,
    )


def test_mypy_strict_passes_on_the_readme_examples_and_every_public_name(tmp_path):
    examples = []
    for i, (heading, source) in enumerate(all_examples()):
        examples.append(tmp_path / f"readme_{i}.py")
        examples[-1].write_text(f"# README.md, {heading}\n{source}")
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE)
    done = mypy("--strict", *examples, TESTS / "typing_usage.py", misuse)
    errors = {(pathlib.Path(m[0]).name, int(m[1])) for m in re.findall(r"^(\S+\.py):(\d+): error:", done.stdout, re.M)}
    assert errors == {("misuse.py", line) for line in (3, 4, 5, 6)}, done.stdout


def test_the_typed_program_runs(tmp_path):
    assert typing_usage.everything(tmp_path) > 0


def test_the_typed_program_uses_every_public_name():
    tree = ast.parse((TESTS / "typing_usage.py").read_text())
    imported = {(node.module, alias.name) for node in ast.walk(tree) if isinstance(node, ast.ImportFrom)
                for alias in node.names}
    used = {("morvik3", node.attr) for node in ast.walk(tree)
            if isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name) and node.value.id == "morvik3"}
    for module in (morvik3, morvik3.river, morvik3.sklearn, morvik3.spark):
        missing = {(module.__name__, name) for name in module.__all__} - imported - used
        assert not missing


def test_stubtest_finds_the_stubs_and_the_module_agree():
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "morvik3", "--mypy-config-file", str(CONFIG),
         "--allowlist", str(TESTS / "stubtest_allowlist.txt")],
        capture_output=True, text=True, cwd=ROOT, timeout=600,
    )
    assert done.returncode == 0, done.stdout + done.stderr
