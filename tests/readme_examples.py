"""The Python examples of README.md, by section, to be run as written."""

import pathlib
import re

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def _blocks(section):
    return re.findall(r"```python\n(.*?)```", section, re.S)


def example(heading, mentioning):
    """The one ```python block of the README section `heading` that mentions `mentioning`, compiled."""
    section = README.read_text(encoding="utf-8").split(f"\n## {heading}\n", 1)[1].split("\n## ", 1)[0]
    (block,) = [b for b in _blocks(section) if mentioning in b]
    return compile(block, f"README.md ({heading})", "exec")


def all_examples():
    """Every ```python block of the README, as (section heading, source), in order."""
    sections = README.read_text(encoding="utf-8").split("\n## ")[1:]
    return [(s.split("\n", 1)[0], block) for s in sections for block in _blocks(s)]


def console(heading):
    """The command of the one ```console block of the README section
    `heading` (the words after "$ .venv/bin/morvik3") and the output it shows."""
    section = README.read_text(encoding="utf-8").split(f"\n## {heading}\n", 1)[1].split("\n## ", 1)[0]
    (block,) = re.findall(r"```console\n(.*?)```", section, re.S)
    command, output = block.split("\n", 1)
    return command.removeprefix("$ .venv/bin/morvik3 ").split(), output
