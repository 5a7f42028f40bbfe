"""Configuration and paths: sarnet, tamsel, pelcor, _nimbra.

Each C++ function is timed beside a straightforward pure-Python version of
the same behaviour, written here (the feature id rule is the one of
fuzz/oracles.py).
"""

from __future__ import annotations

import json
import os
import sys
import tempfile
from pathlib import Path

from harness import Case
from oracles import resolve_feature_id as py_resolve_feature_id

from vantrel_app_plugin import _nimbra, pelcor, sarnet, tamsel

# --- pure-Python versions ------------------------------------------------------

def py_source_from_layout(data: dict):
    if not isinstance(data, dict):
        raise TypeError("data must be dict")
    top = data.get("vantrel_soft_source")
    if top is not None and str(top).strip():
        return str(top).strip()
    block = data.get("vantrel_soft")
    if isinstance(block, str) and block.strip():
        return block.strip()
    if not isinstance(block, dict):
        return None
    if block.get("prefer_local") is False:
        return None
    for key in ("source", "source_path", "path", "root"):
        raw = block.get(key)
        if raw is not None and str(raw).strip():
            return str(raw).strip()
    return None


_CANDIDATES = ("gui_layout.json", "config/gui_layout.json", "config/app_config.json")


def py_resolve_config_file(path) -> Path:
    p = Path(path)
    if p.is_file():
        return p.resolve()
    if p.is_dir():
        for name in _CANDIDATES:
            c = p / name
            if c.is_file():
                return c.resolve()
    raise FileNotFoundError(f"未找到配置文件: {path}")


def py_read_layout_file(path) -> dict:
    p = Path(path)
    if not p.is_file():
        raise FileNotFoundError(f"找不到布局配置: {p}")
    data = json.loads(p.read_text(encoding="utf-8"))
    if not isinstance(data, dict):
        raise ValueError(f"布局配置根节点必须是 object: {p}")
    return data


def py_app_root_from_config(config_path) -> Path:
    p = Path(config_path).resolve().parent
    return p.parent if p.name.lower() == "config" else p


def py_resolve_project_data_root(config_path, database_cfg=None) -> Path:
    db = database_cfg or {}
    raw = db.get("data_root")
    if raw is not None and str(raw).strip():
        s = str(raw).strip()
        if s in ("@app", "app", "."):
            return py_app_root_from_config(config_path)
        return Path(s).expanduser().resolve()
    env = os.environ.get("CALC_WS_ROOT", "").strip()
    if env:
        return Path(env).expanduser().resolve()
    start = Path(config_path).resolve()
    if start.is_file():
        start = start.parent
    for d in (start, *start.parents):
        if (d / "pyproject.toml").is_file():
            return d
    return Path.cwd().resolve()


def py_prefer_repo_package(anchor) -> None:
    repo_s = str(Path(anchor).resolve().parent.parent)
    sys.path[:] = [repo_s] + [p for p in sys.path if p != repo_s]


# --- cases ---------------------------------------------------------------------------

def cases() -> list[Case]:
    tmp = Path(tempfile.mkdtemp(prefix="vantrel-bench-"))
    project = tmp / "proj"
    (project / "config").mkdir(parents=True)
    (project / "pyproject.toml").write_text("", encoding="utf-8")
    layout = project / "config" / "gui_layout.json"
    layout.write_text(json.dumps({"title": "演示", "database": {"name": "demo"}}), encoding="utf-8")
    os.environ.pop("CALC_WS_ROOT", None)

    doc_block = {"vantrel_soft_source": "  ", "vantrel_soft": {"prefer_local": True, "source": "",
                                                              "path": None, "root": "  ../host  "}}
    doc_top = {"vantrel_soft_source": "/opt/host"}
    saved = list(sys.path)
    anchor = project / "scripts" / "run.py"

    def cpp_prefer():
        pelcor.prefer_repo_package(anchor)
        sys.path[:] = saved

    def py_prefer():
        py_prefer_repo_package(anchor)
        sys.path[:] = saved

    return [
        Case("resolve_feature_id(' grisel ')", _nimbra.resolve_feature_id, py_resolve_feature_id,
             (" grisel ",), 2.0),
        Case("resolve_feature_id('login')", _nimbra.resolve_feature_id, py_resolve_feature_id,
             ("login",), 2.0),
        Case("resolve_feature_id(' report ')", _nimbra.resolve_feature_id, py_resolve_feature_id,
             (" report ",), 2.0),
        # Cutting a non-ASCII id builds a new str either way; this one only has to keep up.
        Case("resolve_feature_id('报表 ')", _nimbra.resolve_feature_id, py_resolve_feature_id,
             ("报表 ",), 1.5),
        Case("vantrel_soft_source_from_layout (block)", sarnet.vantrel_soft_source_from_layout,
             py_source_from_layout, (doc_block,), 2.0),
        Case("vantrel_soft_source_from_layout (top)", sarnet.vantrel_soft_source_from_layout,
             py_source_from_layout, (doc_top,), 2.0),
        Case("resolve_config_file (directory)", sarnet.resolve_config_file, py_resolve_config_file, (project,)),
        Case("read_layout_file", sarnet.read_layout_file, py_read_layout_file, (layout,)),
        Case("app_root_from_config", tamsel.app_root_from_config, py_app_root_from_config, (layout,)),
        Case("resolve_project_data_root (setting)", tamsel.resolve_project_data_root,
             py_resolve_project_data_root, (layout, {"data_root": "@app"})),
        Case("resolve_project_data_root (marker)", tamsel.resolve_project_data_root,
             py_resolve_project_data_root, (layout, None)),
        Case("prefer_repo_package (+ restore)", cpp_prefer, py_prefer),
    ]
