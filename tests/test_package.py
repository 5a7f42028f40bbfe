"""The installed package: stubs, marker file, command line."""

import difflib
import importlib
import json
import subprocess
import sys
from pathlib import Path

import pytest

import vantrel_app_plugin
from vantrel_app_plugin.cli import main

PACKAGE_DIR = Path(vantrel_app_plugin.__file__).parent
EXTENSIONS = sorted(PACKAGE_DIR.rglob("*.so")) + sorted(PACKAGE_DIR.rglob("*.pyd"))
MODULES = [p for p in EXTENSIONS if not p.name.startswith("lib")]

#: The checked-in stubs: ``<module path>.pyi.ref``, one for each extension module.
STUB_REFS = Path(__file__).resolve().parent / "stubs"
REGENERATE = "run `make stub-refs` and commit tests/stubs"


def module_name(ext: Path) -> str:
    return ".".join(ext.relative_to(PACKAGE_DIR.parent).with_name(ext.name.split(".")[0]).parts)


def stub_of(ext: Path) -> Path:
    return ext.with_name(ext.name.split(".")[0] + ".pyi")


def test_every_extension_ships_a_stub_and_the_package_is_typed():
    assert MODULES, "no extension module installed"
    assert (PACKAGE_DIR / "py.typed").is_file()
    for ext in MODULES:
        stub = stub_of(ext)
        assert stub.is_file(), f"missing stub for {ext.name}"
        text = stub.read_text(encoding="utf-8")
        # Run as Python, a stub evaluates its annotations: every name it uses is imported.
        exec(compile(text, str(stub), "exec"), {"__name__": "stub_check"})


def test_every_extension_imports_under_its_package_path():
    for ext in MODULES:
        module = importlib.import_module(module_name(ext))
        assert module.__name__ == module_name(ext)


@pytest.mark.parametrize("ext", MODULES, ids=module_name)
def test_stub_matches_its_reference(ext):
    ref = STUB_REFS / f"{module_name(ext)}.pyi.ref"
    if not ref.is_file():
        pytest.fail(f"{module_name(ext)} has no reference stub tests/stubs/{ref.name}; {REGENERATE}", pytrace=False)
    built, expected = stub_of(ext).read_text(encoding="utf-8"), ref.read_text(encoding="utf-8")
    diff = "".join(difflib.unified_diff(expected.splitlines(keepends=True), built.splitlines(keepends=True),
                                        f"tests/stubs/{ref.name}", str(stub_of(ext))))
    if diff:
        pytest.fail(f"the stub of {module_name(ext)} differs from its reference; when the change is meant, "
                    f"{REGENERATE}\n{diff}", pytrace=False)


def test_every_reference_stub_belongs_to_a_module():
    refs = {p.name.removesuffix(".pyi.ref") for p in STUB_REFS.glob("*.pyi.ref")}
    stale = sorted(refs - {*map(module_name, MODULES)})
    assert not stale, f"reference stubs of modules that are not built: {stale}; {REGENERATE}"


def test_info_prints_layout_data_root_and_host_source(tmp_path, capsys, monkeypatch):
    project = tmp_path / "项目"
    (project / "config").mkdir(parents=True)
    (project / "config" / "gui_layout.json").write_text(
        json.dumps({"database": {"data_root": "@app"}, "vantrel_soft_source": " ../host "}),
        encoding="utf-8",
    )
    assert main(["info", str(project)]) == 0
    out = capsys.readouterr().out
    assert f"layout:      {project / 'config' / 'gui_layout.json'}" in out
    assert f"data root:   {project}" in out
    assert "host source: ../host" in out

    assert main(["info", str(tmp_path / "missing")]) == 1
    assert capsys.readouterr().err.startswith("vantrel-app: 未找到配置文件: ")


def test_module_entry_point_runs(tmp_path):
    (tmp_path / "gui_layout.json").write_text("{}", encoding="utf-8")
    done = subprocess.run([sys.executable, "-m", "vantrel_app_plugin", "info", str(tmp_path)],
                          capture_output=True, text=True, check=True)
    assert "layout:" in done.stdout
