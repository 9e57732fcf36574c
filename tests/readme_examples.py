"""The Python examples of README.md, by section, to be run as written."""

import pathlib
import re

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def example(heading, mentioning):
    """The one ```python block of the README section `heading` that mentions `mentioning`, compiled."""
    section = README.read_text(encoding="utf-8").split(f"\n## {heading}\n", 1)[1].split("\n## ", 1)[0]
    (block,) = [b for b in re.findall(r"```python\n(.*?)```", section, re.S) if mentioning in b]
    return compile(block, f"README.md ({heading})", "exec")
