"""Serving an archive's modules while it is replayed: packages, modules and
namespaces found where the original run found them, never a standard
module, and a fresh __main__ prepared from the archived script."""

import importlib
import os
import sys
import traceback
import uuid

import pytest

from figvault.replay import archived_imports, main_module, plan


def unique(prefix):
    return f"{prefix}_{uuid.uuid4().hex[:10]}"


def test_packages_modules_and_namespaces_are_served(tmp_path):
    pkg, mod, space = unique("fvpkg"), unique("fvmod"), unique("fvns")
    files = {
        f"./{pkg}/__init__.py": "FROM = 'init'\n",
        f"./{pkg}/inner/deep.py": "def f():\n    return 'deep'\n",
        f"./{mod}.py": "VALUE = 41 + 1\n",
        f"./{space}/leaf.py": "LEAF = True\n",
    }
    origin = str(tmp_path / "some.figvault")
    with archived_imports.archived_modules(files, origin):
        package = importlib.import_module(pkg)
        deep = importlib.import_module(f"{pkg}.inner.deep")
        module = importlib.import_module(mod)
        leaf = importlib.import_module(f"{space}.leaf")
        assert package.FROM == "init"
        assert package.__file__ == f"{origin}/{pkg}/__init__.py"
        assert deep.f() == "deep"
        assert deep.__file__ == f"{origin}/{pkg}/inner/deep.py"
        assert module.VALUE == 42
        assert leaf.LEAF is True
        assert sys.modules[pkg] is package
    # Finders and modules are gone afterwards; the objects still work.
    for name in (pkg, f"{pkg}.inner.deep", mod, f"{space}.leaf"):
        assert name not in sys.modules
    assert deep.f() == "deep"
    with pytest.raises(ImportError):
        importlib.import_module(mod)


def test_tracebacks_show_the_archived_source(tmp_path):
    mod = unique("fvtb")
    files = {f"./{mod}.py": "def fail():\n    raise ValueError('from the archive')\n"}
    with archived_imports.archived_modules(files, str(tmp_path / "a.figvault")):
        module = importlib.import_module(mod)
    with pytest.raises(ValueError) as caught:
        module.fail()
    text = "".join(traceback.format_exception(caught.value))
    assert "raise ValueError('from the archive')" in text


def test_archive_wins_for_its_top_level_names(tmp_path, monkeypatch):
    name = unique("fvshadow")
    installed = tmp_path / "installed"
    installed.mkdir()
    (installed / f"{name}.py").write_text("SOURCE = 'installed'\n", encoding="utf-8")
    monkeypatch.syspath_prepend(str(installed))
    importlib.invalidate_caches()
    with archived_imports.archived_modules({f"./{name}.py": "SOURCE = 'archive'\n"}, str(tmp_path / "x")):
        assert importlib.import_module(name).SOURCE == "archive"
    assert importlib.import_module(name).SOURCE == "installed"
    sys.modules.pop(name, None)


def test_other_folders_are_only_a_fallback(tmp_path, monkeypatch):
    present, absent = unique("fvpresent"), unique("fvabsent")
    installed = tmp_path / "installed"
    installed.mkdir()
    (installed / f"{present}.py").write_text("SOURCE = 'installed'\n", encoding="utf-8")
    monkeypatch.syspath_prepend(str(installed))
    importlib.invalidate_caches()
    files = {
        f"./scripts/{present}.py": "SOURCE = 'archive'\n",
        f"./scripts/{absent}.py": "SOURCE = 'archive'\n",
    }
    with archived_imports.archived_modules(files, str(tmp_path / "x")):
        assert importlib.import_module(present).SOURCE == "installed"
        assert importlib.import_module(absent).SOURCE == "archive"
    for name in (present, absent):
        sys.modules.pop(name, None)


def test_primary_root_of_the_script_folder(tmp_path):
    name = unique("fvhelper")
    files = {"./scripts/run.py": "", f"./scripts/{name}.py": "WHERE = 'scripts'\n"}
    modules = archived_imports.ArchiveModules(files, "/a", ["./scripts", "."])
    assert modules.lookup_top(name, primary=True) == ("module", ("scripts", f"{name}.py"))
    assert modules.lookup_top(name, primary=False) is None


def test_builtin_modules_are_never_served(tmp_path):
    files = {"./itertools.py": "X = 1\n", "./sys.py": "X = 1\n"}
    modules = archived_imports.ArchiveModules(files, "/a")
    loader = archived_imports._ArchiveLoader(modules)
    finder = archived_imports._ArchiveFinder(modules, loader, primary=True)
    assert finder.find_spec("itertools") is None
    assert finder.find_spec("sys") is None


def test_replay_plan_adds_the_script_and_module_folders():
    files = {"./scripts/run.py": "", "./src/lib/mod.py": "", "./src/lib/__init__.py": ""}
    planned = plan.plan_replay(files, {"module": "__main__", "filename": "/x/scripts/run.py"})
    assert (planned.roots, planned.script) == (["./scripts"], "./scripts/run.py")
    planned = plan.plan_replay(files, {"module": "lib.mod", "filename": None})
    assert (planned.roots, planned.script) == (["./src"], None)


def test_fresh_main_replays_module_level_imports():
    source = "import os.path as osp\nfrom json import dumps\nimport figvault\nif True:\n    import shutil\n"
    saved = sys.modules["__main__"]
    with main_module.fresh_main(source) as main:
        assert sys.modules["__main__"] is main
        assert main.osp is os.path
        assert main.dumps.__module__ == "json"
        assert not hasattr(main, "figvault")
        assert not hasattr(main, "shutil")
    assert sys.modules["__main__"] is saved
