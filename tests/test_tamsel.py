import os
from pathlib import Path

import pytest

from vantrel_app_plugin.tamsel import app_root_from_config, resolve_project_data_root


@pytest.fixture
def no_env(monkeypatch):
    monkeypatch.delenv("CALC_WS_ROOT", raising=False)


@pytest.fixture
def app(tmp_path):
    """An application directory with its layout in a config sub-directory."""
    root = tmp_path / "应用"
    (root / "config").mkdir(parents=True)
    cfg = root / "config" / "gui_layout.json"
    cfg.write_text("{}", encoding="utf-8")
    return root, cfg


# --- app_root_from_config ------------------------------------------------------

@pytest.mark.parametrize("sub", ["config", "Config", "CONFIG"])
def test_config_subdirectory_belongs_to_the_app(tmp_path, sub):
    cfg = tmp_path / "proj" / sub / "gui_layout.json"
    assert app_root_from_config(cfg) == tmp_path / "proj"


def test_layout_directly_in_app_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert app_root_from_config(Path("gui_layout.json")) == tmp_path
    assert app_root_from_config("configs/x.json") == tmp_path / "configs"


# --- resolve_project_data_root: the explicit setting ---------------------------

@pytest.mark.parametrize("value", ["@app", "app", ".", "  .  ", "\tapp\n"])
def test_special_values_mean_the_app_directory(app, no_env, monkeypatch, tmp_path, value):
    root, cfg = app
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("CALC_WS_ROOT", str(tmp_path / "env"))
    assert resolve_project_data_root(cfg, {"data_root": value}) == root


@pytest.mark.parametrize("value", ["APP", "@App", "./"])
def test_special_values_are_case_sensitive_and_exact(app, tmp_path, monkeypatch, value):
    _, cfg = app
    monkeypatch.chdir(tmp_path)
    assert resolve_project_data_root(cfg, {"data_root": value}) == (tmp_path / value).resolve()


def test_relative_setting_is_taken_from_the_working_directory(app, tmp_path, monkeypatch):
    _, cfg = app
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    assert resolve_project_data_root(cfg, {"data_root": "数据/root"}) == work / "数据" / "root"
    assert resolve_project_data_root(cfg, {"data_root": 0}) == work / "0"


def test_tilde_is_expanded(app, tmp_path, monkeypatch):
    _, cfg = app
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    assert resolve_project_data_root(cfg, {"data_root": "~/store"}) == tmp_path / "home" / "store"


def test_symlinks_in_the_setting_are_resolved(app, tmp_path):
    _, cfg = app
    real = tmp_path / "real"
    real.mkdir()
    (tmp_path / "alias").symlink_to(real)
    assert resolve_project_data_root(cfg, {"data_root": str(tmp_path / "alias")}) == real


# --- resolve_project_data_root: precedence -------------------------------------

def test_setting_wins_over_environment_and_marker(app, tmp_path, monkeypatch):
    root, cfg = app
    (root / "pyproject.toml").write_text("", encoding="utf-8")
    monkeypatch.setenv("CALC_WS_ROOT", str(tmp_path / "env"))
    assert resolve_project_data_root(cfg, {"data_root": str(tmp_path / "set")}) == tmp_path / "set"


@pytest.mark.parametrize("cfg_value", [None, {}, {"other": 1}, {"data_root": "  "}, {"data_root": None}])
def test_environment_when_no_setting(app, tmp_path, monkeypatch, cfg_value):
    root, cfg = app
    (root / "pyproject.toml").write_text("", encoding="utf-8")
    monkeypatch.setenv("CALC_WS_ROOT", f"  {tmp_path / 'env'}  ")
    assert resolve_project_data_root(cfg, cfg_value) == tmp_path / "env"
    assert resolve_project_data_root(cfg) == tmp_path / "env"


def test_environment_is_read_on_every_call(app, tmp_path, monkeypatch):
    _, cfg = app
    monkeypatch.setenv("CALC_WS_ROOT", str(tmp_path / "one"))
    assert resolve_project_data_root(cfg) == tmp_path / "one"
    monkeypatch.setenv("CALC_WS_ROOT", str(tmp_path / "two"))
    assert resolve_project_data_root(cfg) == tmp_path / "two"
    monkeypatch.delenv("CALC_WS_ROOT")
    assert resolve_project_data_root(cfg) != tmp_path / "two"


@pytest.mark.skipif(not hasattr(os, "environb"), reason="the environment is text on this system")
def test_environment_bytes_decode_as_os_environ_decodes_them(app, tmp_path, monkeypatch):
    """A value that is not UTF-8 reads as os.environ reads it (file system encoding, surrogateescape)."""
    monkeypatch.setitem(os.environb, b"CALC_WS_ROOT", os.fsencode(tmp_path) + b"/\xff\xfe-root")
    assert str(resolve_project_data_root(app[1])) == os.environ["CALC_WS_ROOT"]


def test_nearest_marker_wins(app, tmp_path, monkeypatch):
    root, cfg = app
    monkeypatch.setenv("CALC_WS_ROOT", " \u3000 ")  # blank: not set
    (tmp_path / "pyproject.toml").write_text("", encoding="utf-8")
    assert resolve_project_data_root(cfg) == tmp_path
    (root / "config" / "pyproject.toml").write_text("", encoding="utf-8")
    assert resolve_project_data_root(cfg) == root / "config"


def test_marker_must_be_a_regular_file(app, tmp_path, no_env):
    root, cfg = app
    (root / "pyproject.toml").mkdir()
    (tmp_path / "pyproject.toml").write_text("", encoding="utf-8")
    assert resolve_project_data_root(cfg) == tmp_path


def test_missing_config_starts_the_search_at_itself(tmp_path, no_env):
    ghost = tmp_path / "ghost.json"
    ghost.mkdir()
    (ghost / "pyproject.toml").write_text("", encoding="utf-8")
    assert resolve_project_data_root(ghost / ".." / "ghost.json") == ghost
    assert resolve_project_data_root(tmp_path / "a" / "b.json", {}) != tmp_path / "a"


def test_working_directory_is_the_last_resort(tmp_path, no_env, monkeypatch):
    if any((p / "pyproject.toml").is_file() for p in [tmp_path, *tmp_path.parents]):
        pytest.skip("a project marker lies above the temporary directory")
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    result = resolve_project_data_root(tmp_path / "cfg.json", None)
    assert result == work and result.is_absolute()


# --- argument checks -------------------------------------------------------------

@pytest.mark.parametrize("bad", [[], "data_root", 1, type("D", (dict,), {})()])
def test_database_cfg_type_is_checked(tmp_path, bad):
    with pytest.raises(TypeError, match="'database_cfg'"):
        resolve_project_data_root(tmp_path / "x.json", bad)


@pytest.mark.parametrize("func", [app_root_from_config, resolve_project_data_root])
def test_config_path_type_is_checked(func):
    with pytest.raises(TypeError, match="'config_path'"):
        func(42)
