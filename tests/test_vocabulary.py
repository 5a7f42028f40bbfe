"""The runtime's exported vocabulary tables, which the checker imports: the runtime behaves as they say, and so
does the checker, in each direction."""

from contextlib import nullcontext

import pytest

from vantrel_app_plugin import calvet, layout_check, lirren
from vantrel_app_plugin.brisen import ACTION_KINDS, PAGE_KEYS, RESERVED_KEYS, action_kind
from vantrel_app_plugin.layout_check import check_layout
from vantrel_app_plugin.login import keldra
from vantrel_soft import widgets

#: Words that might be taken for action kinds: the runtime's, near misses, other words.
CANDIDATE_KINDS = sorted({k for kinds in ACTION_KINDS.values() for k in kinds}
                         | {"logins", "auth", "go", "nav", "handlers", "methods", "", "export", "reset", "clear"})


def codes(layout, code):
    return [f for f in check_layout(layout) if f.code == code]


@pytest.mark.parametrize("kind", CANDIDATE_KINDS)
def test_action_kinds_the_engine_runs_are_the_table_and_the_checker_agrees(make_engine, kind):
    # Kinds are compared lower-cased and untrimmed: the upper-case form is the same kind, a padded one unknown.
    known = any(kind in kinds for kinds in ACTION_KINDS.values())
    for written, runs in ((kind, known), (kind.upper(), known), (f" {kind}", False)):
        action = {"type": written, "page": "report", "handler": "h", "method": "m"}
        assert action_kind(action) == action_kind({"action": written}) == written.lower()
        engine = make_engine({"tk": {"actions": {"动作": action}}})
        engine.press("动作")
        assert (engine._status == f"未知动作类型: {written.lower()}") is not runs, written
        assert bool(codes({"tk": {"actions": {"动作": action}}}, "unknown-action")) is not runs, written


def test_the_tables_hold_together():
    flat = [k for kinds in ACTION_KINDS.values() for k in kinds]
    assert len(flat) == len(set(flat)) and keldra.DEFAULT_PASSWORD_SCHEME in keldra.PASSWORD_SCHEMES
    assert set(layout_check.NAV_TARGETS) | {"public_pages"} == set(lirren.NAVIGATION_DEFAULTS)
    with pytest.raises(TypeError):
        ACTION_KINDS["x"] = ("x",)  # read-only


@pytest.mark.parametrize("key", [*RESERVED_KEYS, "clr", "Clear", "重置", "reset!"])
def test_reset_keys(make_engine, key):
    engine = make_engine({"tk": {"actions": {key: {"type": "goto", "page": "report"}}}})
    engine._status = "before"
    engine.press(f" {key} ")
    assert (engine._status == "已复位") is (key in RESERVED_KEYS)
    assert bool(codes({"tk": {"actions": {key: "logout"}}}, "reserved-key")) is (key in RESERVED_KEYS)


def test_defaults_are_what_the_engine_starts_from(make_engine):
    defaults = lirren.NAVIGATION_DEFAULTS
    assert lirren.navigation_cfg({}) == {**defaults, "public_pages": list(defaults["public_pages"])}
    assert lirren.auth_field_map({}) == dict(lirren.DEFAULT_AUTH_FIELD_MAP)
    assert lirren.clear_components({}) is lirren.DEFAULT_CLEAR_COMPONENTS
    engine = make_engine({})
    assert (engine._components["ui_page"], engine.home_page) == (defaults["start_page"], defaults["home_after_login"])
    assert engine._field_map == dict(lirren.DEFAULT_AUTH_FIELD_MAP)
    assert set(engine._component_keys) == {*lirren.DEFAULT_CLEAR_COMPONENTS, *lirren.DEFAULT_AUTH_FIELD_MAP.values()}
    assert set(make_engine({"tk": {"clear_components_on_goto": [], "auth_field_map": {}}}).snapshot()["components"]) \
        == set(PAGE_KEYS)
    # A page list lacking a default page is reported for that default.
    missing = codes({"pages": [{"id": "home"}]}, "unknown-page")
    assert {f.path for f in missing} == {f"$.tk.{k}" for k in layout_check.NAV_TARGETS}


@pytest.mark.parametrize("name, kind", sorted(lirren.TK_SETTINGS.items()))
def test_tk_settings_of_the_wrong_type_are_ignored_and_reported(name, kind):
    wrong, right = ("text", {"x": {"type": "logout"}}) if kind is dict else ({"a": 1}, ["x"])
    reader = {"auth_field_map": lirren.auth_field_map, "clear_components_on_goto": lirren.clear_components}.get(name) \
        or getattr(lirren, f"{name}_cfg")
    assert reader({"tk": {name: wrong}}) == reader({}) != reader({"tk": {name: right}})
    assert [f.path for f in codes({"tk": {name: wrong}}, "section-type")] == [f"$.tk.{name}"]
    # The older input block gives the settings it may give, and only those.
    assert (reader({"input": {name: right}}) != reader({})) is (name in lirren.INPUT_FALLBACKS)


@pytest.mark.parametrize("scheme", [*keldra.PASSWORD_SCHEMES, "SHA256", "md5", "bcrypt", " none"])
def test_password_schemes(tmp_path, write_json, scheme):
    layout = {"auth": {"hash": scheme, "pbkdf2_iterations": 2}}
    store = keldra.JsonAppPlugin(write_json(tmp_path / "gui_layout.json", layout))
    known = scheme.lower() in keldra.PASSWORD_SCHEMES
    with nullcontext() if known else pytest.raises(ValueError, match="不支持的密码哈希"):
        assert isinstance(store.hash_password("pw"), str)
    assert bool(codes({"auth": {"hash": scheme}}, "hash")) is not known
    if scheme == keldra.DEFAULT_PASSWORD_SCHEME:  # what a layout naming no scheme hashes with
        default = keldra.JsonAppPlugin(write_json(tmp_path / "d.json", {}))
        assert default.hash_password("pw") == store.hash_password("pw")


def test_account_defaults_name_the_table_the_store_queries(tmp_path, write_json):
    cols = [{"name": keldra.ACCOUNT_DEFAULTS[k]} for k in ("id_column", "username_column", "password_column")]
    layout = {"database": {"data_root": str(tmp_path), "tables": [
        {"name": keldra.ACCOUNT_DEFAULTS["user_table"], "columns": cols}]}}
    store = keldra.JsonAppPlugin(write_json(tmp_path / "gui_layout.json", layout))
    store.init_database()
    assert store.register_user({"username": "u", "password": "p"}) == (True, "注册成功")
    ok, user = store.login_user({"username": "u", "password": "p"})
    assert ok and tuple(user) == keldra.USER_RECORD_KEYS
    assert not [f for f in check_layout(layout) if f.code in ("unknown-table", "unknown-column")]


@pytest.mark.parametrize("section", keldra.LOGIN_SECTIONS)
def test_login_sections(tmp_path, write_json, section):
    refused = section in keldra.OBJECT_SECTIONS
    if refused:
        with pytest.raises(TypeError, match=f"配置节 {section} 必须是 JSON 对象"):
            getattr(keldra.JsonAppPlugin(write_json(tmp_path / "gui_layout.json", {section: "x"})), f"{section}_cfg")
    found = codes({section: "not an object"}, "section-type")
    assert found and ("refuses" in found[0].message) is refused


def test_web_defaults_are_what_the_application_serves(tmp_path, write_json):
    pytest.importorskip("flask")
    app = calvet.JsonAppPluginWeb(write_json(tmp_path / "gui_layout.json", {
        "database": {"data_root": str(tmp_path)}, "auth_forms": {"register": {"title": "r"}}})).create_flask_app()
    rules = {r.endpoint: r.rule for r in app.url_map.iter_rules()}
    endpoints = {"index": "index", "login": "plugin_login", "register": "plugin_register",
                 "logout": "plugin_logout", "stylesheet": "vantrel_stylesheet"}
    assert {route: rules[endpoint] for route, endpoint in endpoints.items()} == calvet.ROUTES
    client = app.test_client()
    with client.session_transaction() as session:
        session["user"] = {"id": 1, "username": "a"}
    assert client.get(calvet.ROUTES["index"]).headers["Location"] == calvet.WEB_DEFAULTS["home_after_login"]


@pytest.mark.parametrize("kind", sorted(widgets.WIDGET_TYPES | {"slider", "Entry", " text ", ""}))
def test_widget_types_the_checker_knows(kind):
    layout = {"pages": [{"id": "login", "sections": [{"widgets": [{"type": kind}]}]}]}
    assert bool(codes(layout, "unknown-widget")) is not (kind.strip().lower() in widgets.WIDGET_TYPES)


def test_widget_options_and_defaults():
    for kind, options in widgets.WIDGETS.items():
        for name, default in options.items():
            assert widgets.option({"type": kind}, name) == default
    assert widgets.option({"type": "spin", "to": "12"}, "to") == 12
    assert widgets.option({"type": "spin", "to": "nan"}, "to") == 150
    assert widgets.option({"type": "progress", "maximum": [1]}, "maximum") == 100
    assert widgets.button_key({"text": "登录"}) == widgets.button_text({"text": "登录"}) == "登录"
    assert (widgets.button_key({"text": "A", "key": "b"}), widgets.button_text({"text": "A", "key": "b"})) == ("b", "A")
