"""Importing korvane.utils.dimention: one module per process, failed imports, other interpreters,
and the names the module body binds.

Experiments that change import state run in a child interpreter, so that this process keeps its
one fully executed module.
"""

import builtins
import json
import os
import subprocess
import sys
import textwrap
import typing

import pytest

import korvane.color.bgr
import korvane.transform.resize
import korvane.utils.dimention as dimention
import korvane.utils.dtypes

NAME = "korvane.utils.dimention"
INIT_ENTRY = ["init korvane.utils.dimention", "src/korvane_source/utils/dimention", 1]
INTERPRETER_CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."

BLOCK_CUPY = """
class BlockCupy:
    # Makes `import cupy` fail even where CuPy is installed.
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] == "cupy":
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
"""

PRELUDE = f"""
import importlib, json, sys
sys.path[:0] = {sys.path!r}
import korvane.testing
NAME = {NAME!r}
BACKEND = {os.environ.get("KORVANE_BACKEND", "")!r}
{BLOCK_CUPY}
def use_backend():
    # The backend the parent was told to use; else real CuPy with a GPU, else the stand-in.
    return korvane._backend.register(BACKEND) if BACKEND else korvane.testing.use_numpy()
def failure(call):
    # [type name, message, [function name, file, line] of each traceback entry], or None.
    try:
        call()
    except BaseException as exc:
        entries, tb = [], exc.__traceback__
        while tb is not None:
            code = tb.tb_frame.f_code
            entries.append([code.co_name, code.co_filename, tb.tb_lineno])
            tb = tb.tb_next
        return [type(exc).__name__, str(exc), entries]
    return None
"""


def run_child(body):
    """Run `body` in a fresh interpreter; it prints one JSON line as its last output."""
    # Without KORVANE_BACKEND, so that each child chooses when to register its cupy (use_backend).
    env = {k: v for k, v in os.environ.items() if k != "KORVANE_BACKEND"}
    result = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
    )
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])


def test_importing_again_returns_the_same_module_and_skips_the_body():
    out = run_child("""
        use_backend()
        import korvane.utils.dimention as first
        first.cp = "rebound"
        del first.__test__
        del sys.modules[NAME]
        second = importlib.import_module(NAME)
        importlib.reload(first)
        print(json.dumps({
            "same": second is first and sys.modules[NAME] is first,
            "cp": first.cp,
            "test_still_deleted": not hasattr(first, "__test__"),
        }))
    """)
    assert out == {"same": True, "cp": "rebound", "test_still_deleted": True}


FAILED_IMPORTS = {
    "missing name": (
        """
        use_backend()
        import types, korvane.transform.resize as real
        fake = types.ModuleType(real.__name__)
        fake.resize = real.resize
        sys.modules[real.__name__] = fake
        """,
        "sys.modules[real.__name__] = real",
        ["ImportError", "cannot import name INTER_AUTO"],
    ),
    "missing sibling module": (
        """
        use_backend()
        import korvane.color.bgr as real
        sys.modules[real.__name__] = None
        """,
        "sys.modules[real.__name__] = real",
        ["ModuleNotFoundError", "import of korvane.color.bgr halted; None in sys.modules"],
    ),
    "missing cupy": (
        """
        blocker = BlockCupy()
        sys.meta_path.insert(0, blocker)
        """,
        """
        sys.meta_path.remove(blocker)
        use_backend()
        """,
        ["ModuleNotFoundError", "No module named 'cupy'"],
    ),
    # None in the module table is the import system's mark for a module that must not load.
    "cupy blocked": (
        "sys.modules['cupy'] = None",
        """
        del sys.modules['cupy']
        use_backend()
        """,
        ["ModuleNotFoundError", "import of cupy halted; None in sys.modules"],
    ),
    # Built-ins are fetched in the order ValueError, range.
    "missing built-ins": (
        """
        use_backend()
        import builtins, typing, korvane.color.bgr, korvane.transform.resize, korvane.utils.dtypes
        saved = builtins.ValueError, builtins.range
        del builtins.ValueError, builtins.range
        """,
        "builtins.ValueError, builtins.range = saved",
        ["NameError", "name 'ValueError' is not defined"],
    ),
    "missing range": (
        """
        use_backend()
        import builtins, typing, korvane.color.bgr, korvane.transform.resize, korvane.utils.dtypes
        saved = builtins.range
        del builtins.range
        """,
        "builtins.range = saved",
        ["NameError", "name 'range' is not defined"],
    ),
    # Before the string table exists: no initialisation entry.
    "builtins entry is not a module": (
        """
        use_backend()
        saved = sys.modules["builtins"]
        sys.modules["builtins"] = 5
        """,
        'sys.modules["builtins"] = saved',
        ["TypeError", "sys.modules['builtins'] must be a module, not int"],
        0,
    ),
    # The exec step registered the module under its full name itself; the relative imports fail
    # without the package context.
    "loaded under another name": (
        """
        use_backend()
        import importlib.util
        def load_as(name):
            spec = importlib.util.spec_from_file_location(name, importlib.util.find_spec(NAME).origin)
            spec.loader.exec_module(importlib.util.module_from_spec(spec))
        """,
        "",
        ["ImportError", "attempted relative import with no known parent package"],
        1,
        "load_as('dimention')",
    ),
}


def failed_import(break_it, repair, expected, entries=1, attempt="importlib.import_module(NAME)"):
    """A row of FAILED_IMPORTS with its defaults: one initialisation entry, a plain import."""
    return break_it, repair, expected, entries, attempt


@pytest.mark.parametrize("cause", FAILED_IMPORTS)
def test_failed_import_leaves_nothing_behind_and_a_later_import_succeeds(cause):
    break_it, repair, expected, entries, attempt = failed_import(*FAILED_IMPORTS[cause])
    check = """
        failed = failure(lambda: {attempt})
        left_in_table = NAME in sys.modules
        {repair}
        module = importlib.import_module(NAME)
        import korvane.transform.resize, korvane.color.bgr
        print(json.dumps({{
            "failed": failed,
            "left_in_table": left_in_table,
            "complete": module.guess_image_layout.__globals__ is vars(module)
                and module.cp is sys.modules["cupy"]
                and module.resize is korvane.transform.resize.resize
                and module.INTER_AUTO == korvane.transform.resize.INTER_AUTO
                and module.bgr_to_rgb is korvane.color.bgr.bgr_to_rgb,
        }}))
    """
    out = run_child(
        textwrap.dedent(break_it) + textwrap.dedent(check).format(repair=textwrap.dedent(repair), attempt=attempt)
    )
    assert out["failed"] is not None, "the import succeeded"
    assert out["failed"][:2] == expected
    assert out["failed"][2].count(INIT_ENTRY) == entries
    assert not any(name.startswith(NAME + ".") for name, _, _ in out["failed"][2])
    assert out["left_in_table"] is False
    assert out["complete"] is True


def test_create_and_exec_steps_called_directly():
    out = run_child("""
        use_backend()
        import _imp, importlib.machinery, importlib.util, types
        spec = importlib.util.find_spec(NAME)
        # Before any exec, every create makes a new module from the module spec's attributes.
        first = _imp.create_dynamic(spec)
        as_package = _imp.create_dynamic(
            importlib.machinery.ModuleSpec(NAME, spec.loader, origin=spec.origin, is_package=True))
        sparse = _imp.create_dynamic(types.SimpleNamespace(name=NAME, origin=spec.origin))
        class BrokenSpec:
            name, origin = NAME, spec.origin
            @property
            def parent(self):
                raise ValueError("broken spec")
        broken = failure(lambda: _imp.create_dynamic(BrokenSpec()))
        placeholder = types.ModuleType(NAME)
        sys.modules[NAME] = placeholder
        # A failed exec takes out only an entry of its own making.
        sys.modules["cupy"], cupy = None, sys.modules["cupy"]
        failed = failure(lambda: _imp.exec_dynamic(sparse))[0]
        sys.modules["cupy"] = cupy
        placeholder_kept_on_failure = sys.modules[NAME] is placeholder
        _imp.exec_dynamic(first)
        print(json.dumps({
            "failed_exec": [failed, placeholder_kept_on_failure],
            "copied": [first.__loader__ is spec.loader, first.__file__ == spec.origin,
                       first.__package__, hasattr(first, "__path__")],
            "package_path": as_package.__path__,
            "sparse": [sparse.__name__, sparse.__file__ == spec.origin, sparse.__package__],
            "broken": broken[:2],
            "placeholder_kept": sys.modules[NAME] is placeholder,
            "executed": first.guess_image_layout.__globals__ is vars(first),
            "created_again": _imp.create_dynamic(spec) is first,
            "exec_again": _imp.exec_dynamic(first),
            "other_module": failure(lambda: _imp.exec_dynamic(as_package))[:2],
        }))
    """)
    assert out == {
        "failed_exec": ["ModuleNotFoundError", True],
        "copied": [True, True, "korvane.utils", False],
        "package_path": [],
        "sparse": [NAME, True, None],
        "broken": ["ValueError", "broken spec"],
        "placeholder_kept": True,
        "executed": True,
        "created_again": True,
        "exec_again": 0,
        "other_module": [
            "RuntimeError",
            "Module 'dimention' has already been imported. Re-initialisation is not supported.",
        ],
    }


def test_global_lookup_keeps_the_builtins_it_started_with_when_a_key_re_runs_the_exec():
    # Functions of a failed exec still run. A key of their module dictionary whose hash matches a
    # name compares itself with that name during the lookup: here it runs the exec step again,
    # which gives the record new builtins and frees the only ones that have the name.
    out = run_child("""
        xp = use_backend()
        import _imp, importlib.util, types
        spec = importlib.util.find_spec(NAME)
        real = sys.modules["builtins"]

        class Collides:
            def __init__(self, text, action=None):
                self.hash, self.action = hash(text), action
            def __hash__(self):
                return self.hash
            def __eq__(self, other):
                return self.action() if self.action else False

        def refuse():
            raise RuntimeError("refused")

        def exec_again():
            again.action = None
            _imp.exec_dynamic(_imp.create_dynamic(spec))
            return False

        fake = types.ModuleType("builtins")
        vars(fake).update(vars(real), guess_image_layout=lambda image: "NCHW")
        sys.modules["builtins"] = fake
        first = _imp.create_dynamic(spec)
        again = Collides("guess_image_layout")
        vars(first).update({Collides("__test__", refuse): None, again: None})
        failed = failure(lambda: _imp.exec_dynamic(first))
        sys.modules["builtins"] = vars(first)["__builtins__"] = real
        del fake, vars(first)["guess_image_layout"]
        again.action = exec_again
        image = xp.ones((5, 5, 3))
        print(json.dumps([failed[:2], first.image_to_batch(image, layout=None) is image]))
    """)
    assert out == [["RuntimeError", "refused"], True]


SUBINTERPRETER_IMPORT = f"""
import sys
sys.path[:0] = {sys.path!r}
{BLOCK_CUPY}
sys.meta_path.insert(0, BlockCupy())
import korvane.utils.dimention
"""


@pytest.mark.parametrize("main_first", [True, False], ids=["main first", "subinterpreter first"])
def test_only_the_first_interpreter_can_load_the_module(main_first):
    pytest.importorskip("_interpreters", reason="no _interpreters module on this Python")
    out = run_child(f"""
        import _interpreters
        def in_subinterpreter():
            interp = _interpreters.create("legacy")
            try:
                info = _interpreters.exec(interp, {SUBINTERPRETER_IMPORT!r})
            finally:
                _interpreters.destroy(interp)
            return info and [info.type.__name__, info.msg]
        use_backend()
        if {main_first}:
            main = failure(lambda: importlib.import_module(NAME))
            sub = in_subinterpreter()
        else:
            sub = in_subinterpreter()
            main = failure(lambda: importlib.import_module(NAME))
        print(json.dumps({{"main": main and main[:2], "sub": sub}}))
    """)
    if main_first:
        assert out == {"main": None, "sub": ["ImportError", INTERPRETER_CHANGE]}
    else:
        # The subinterpreter gets past the create step and fails later, in the body; the module
        # stays bound to that interpreter all the same.
        assert out == {
            "main": ["ImportError", INTERPRETER_CHANGE],
            "sub": ["ModuleNotFoundError", "No module named 'cupy'"],
        }


def test_module_names_in_binding_order():
    names = list(vars(dimention))
    body = [
        "Literal",
        "cp",
        "bgr_to_rgb",
        "rgb_to_bgr",
        "INTER_AUTO",
        "resize",
        "to_float32",
        "Layout",
        "guess_image_layout",
        "batch_to_images",
        "images_to_batch",
        "image_to_batch",
        "image_to_batch_pixelshift",
        "pixelshift_fuse",
        "__test__",
    ]
    assert names[-len(body) - 1 :] == ["__builtins__"] + body
    assert set(names[: -len(body) - 1]) == {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def test_module_attribute_values(xp):
    assert dimention.__name__ == NAME
    assert dimention.__doc__ is None
    assert dimention.__package__ == "korvane.utils"
    assert dimention.__builtins__ is builtins
    assert dimention.Literal is typing.Literal
    assert dimention.cp is xp
    assert dimention.bgr_to_rgb is korvane.color.bgr.bgr_to_rgb
    assert dimention.rgb_to_bgr is korvane.color.bgr.rgb_to_bgr
    assert dimention.resize is korvane.transform.resize.resize
    assert dimention.INTER_AUTO is korvane.transform.resize.INTER_AUTO
    assert dimention.to_float32 is korvane.utils.dtypes.to_float32
    assert type(dimention.__test__) is dict and dimention.__test__ == {}


def test_layout_is_a_literal_of_the_seven_names():
    layout = dimention.Layout
    assert typing.get_origin(layout) is typing.Literal
    assert layout.__args__ == ("HW", "HWC", "CHW", "NHWC", "NCHW", "ambiguous", "unsupported")
    assert layout == typing.Literal["HW", "HWC", "CHW", "NHWC", "NCHW", "ambiguous", "unsupported"]
