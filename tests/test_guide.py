"""Every Python block of docs/guide.md runs, in order, in one namespace, so the
guide cannot drift from the module."""
import pathlib
import re

import pytest

GUIDE = pathlib.Path(__file__).resolve().parent.parent / "docs" / "guide.md"
BLOCKS = [(GUIDE.read_text()[: m.start()].count("\n") + 2, m.group(1))
          for m in re.finditer(r"^```python\n(.*?)^```$", GUIDE.read_text(), re.S | re.M)]
NAMESPACE: dict = {}


@pytest.mark.parametrize("line,code", BLOCKS, ids=[f"line{n}" for n, _ in BLOCKS])
def test_guide_block(line, code):
    exec(compile(code, f"{GUIDE}:{line}", "exec"), NAMESPACE)
