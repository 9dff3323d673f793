"""Every Python snippet in the README and docs/ runs as printed, each in a fresh
interpreter, in a directory of its page's own: a page's snippets run in the order they
are printed, so that one may read what an earlier one wrote.

A snippet that cannot run here (it needs a remote cluster or Spark) says so on the line
before its fence: `<!-- not run: reason -->`. One that imports a module which is not
installed (Dask, for the optional extra) is skipped, and runs where it is installed; so
is every later one of its page, which may read what the skipped one would have written.
"""

import ast
import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

from childproc import child_env

ROOT = Path(__file__).resolve().parent.parent
DOCS = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]
NOT_RUN = re.compile(r"<!--\s*not run:\s*(.*?)\s*-->")



def snippets():
    for path in DOCS:
        name = path.relative_to(ROOT).as_posix()
        lines = path.read_text(encoding="utf-8").splitlines()
        index = 0
        while index < len(lines):
            if lines[index].strip() == "```python":
                start = index + 1
                end = next(i for i in range(start, len(lines)) if lines[i].strip() == "```")
                marker = NOT_RUN.search(lines[index - 1]) if index else None
                yield pytest.param(
                    name,
                    "\n".join(lines[start:end]) + "\n",
                    marker.group(1) if marker else None,
                    id=f"{name}:{start}",
                )
                index = end
            index += 1


def missing_modules(code):
    wanted = set()
    for node in ast.walk(ast.parse(code)):
        if isinstance(node, ast.Import):
            wanted.update(alias.name.split(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
            wanted.add(node.module.split(".")[0])
    return sorted(name for name in wanted if importlib.util.find_spec(name) is None)


@pytest.fixture(scope="module")
def page_dirs(tmp_path_factory):
    made = {}

    def page_dir(name):
        if name not in made:
            made[name] = tmp_path_factory.mktemp(name.replace("/", "_"))
        return made[name]

    return page_dir


@pytest.fixture(scope="module")
def skipped_pages():
    """Pages whose snippets stopped running at one that needs a missing module."""
    return {}


@pytest.mark.parametrize(("page", "code", "not_run"), list(snippets()))
def test_snippet_runs(page_dirs, skipped_pages, page, code, not_run):
    if not_run:
        pytest.skip(f"marked not run: {not_run}")
    if page in skipped_pages:
        pytest.skip(f"follows a snippet that needs {skipped_pages[page]}")
    missing = missing_modules(code)
    if missing:
        skipped_pages[page] = ", ".join(missing)
        pytest.skip(f"needs {skipped_pages[page]}")
    result = subprocess.run([sys.executable, "-c", code], cwd=page_dirs(page), env=child_env(),
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr


def test_every_page_is_searched():
    # A snippet fenced in another way would be skipped silently.
    for path in DOCS:
        text = path.read_text(encoding="utf-8")
        assert not re.search(r"^```\s*(py|python3|pycon)\s*$", text, re.M), path
