import copy

import pytest

from vantrel_app_plugin import lirren
from vantrel_app_plugin.lirren import (
    actions_cfg,
    auth_field_map,
    clear_components,
    forms_cfg,
    navigation_cfg,
    page_hooks_cfg,
    tk_section,
)

ACCESSORS = [tk_section, navigation_cfg, auth_field_map, actions_cfg, forms_cfg, clear_components, page_hooks_cfg]
DEFAULT_NAV = {"start_page": "login", "home_after_login": "dashboard", "after_register_page": "login",
               "after_logout_page": "login", "public_pages": ["login", "register"]}
DEFAULT_FIELDS = {"username": "entry", "password": "label_frame_entry", "confirm_password": "ttk_entry"}
DEFAULT_CLEAR = ("entry", "label_frame_entry", "ttk_entry", "progress", "spin")


class Layout(dict):
    pass


@pytest.mark.parametrize("func", ACCESSORS)
@pytest.mark.parametrize("bad", [None, [], "tk", Layout(tk={})])
def test_layout_must_be_exactly_a_dict(func, bad):
    with pytest.raises(TypeError, match=rf"{func.__name__}\(\) argument 'layout' must be dict"):
        func(bad)


@pytest.mark.parametrize("tk", [None, ["navigation"], "tk", 3])
def test_missing_or_odd_tk_block_gives_every_default(tk):
    layout = {} if tk is None else {"tk": tk}
    assert tk_section(layout) == {}
    assert navigation_cfg(layout) == DEFAULT_NAV
    assert list(navigation_cfg(layout)) == list(DEFAULT_NAV)
    assert auth_field_map(layout) == DEFAULT_FIELDS
    assert list(auth_field_map(layout)) == list(DEFAULT_FIELDS)
    assert actions_cfg(layout) == forms_cfg(layout) == page_hooks_cfg(layout) == {}
    assert clear_components(layout) is lirren.DEFAULT_CLEAR_COMPONENTS
    assert clear_components(layout) == DEFAULT_CLEAR


def test_tk_section_is_a_shallow_copy():
    nested = {"登录": "login"}
    layout = {"tk": {"actions": nested}}
    got = tk_section(layout)
    assert got == layout["tk"] and got is not layout["tk"]
    assert got["actions"] is nested
    got["extra"] = 1
    assert "extra" not in layout["tk"]


# --- navigation_cfg ---------------------------------------------------------------

def test_navigation_block_is_copied_without_defaults():
    layout = {"tk": {"navigation": {"start_page": "home"}, "start_page": "ignored"},
              "input": {"navigation": {"start_page": "older"}}}
    got = navigation_cfg(layout)
    assert got == {"start_page": "home"} and got is not layout["tk"]["navigation"]


def test_input_navigation_is_the_older_location():
    older = {"start_page": "older", "extra": [1]}
    layout = {"tk": {"navigation": "not a mapping"}, "input": {"navigation": older}}
    got = navigation_cfg(layout)
    assert got == older and got is not older and got["extra"] is older["extra"]
    assert navigation_cfg({"input": {"navigation": ["x"]}}) == DEFAULT_NAV
    assert navigation_cfg({"input": "navigation"}) == DEFAULT_NAV


@pytest.mark.parametrize("falsy", ["", None, 0, False, []])
def test_built_navigation_skips_falsy_values(falsy):
    tk = {k: falsy for k in ("start_page", "home_after_login", "after_register_page", "after_logout_page",
                             "public_pages")}
    assert navigation_cfg({"tk": tk}) == DEFAULT_NAV


def test_built_navigation_takes_text_forms_of_top_level_tk_keys():
    tk = {"start_page": 5, "home_after_login": "home", "after_register_page": "welcome",
          "after_logout_page": "bye", "public_pages": ("a", "b")}
    assert navigation_cfg({"tk": tk}) == {"start_page": "5", "home_after_login": "home",
                                          "after_register_page": "welcome", "after_logout_page": "bye",
                                          "public_pages": ["a", "b"]}


@pytest.mark.parametrize(
    "tk_home, auth, expected",
    [
        (None, {"after_login_page": "home"}, "home"),
        (None, {"home_after_login": "home", "after_login_page": "register"}, "home"),
        (None, {"home_after_login": "", "after_login_page": 7}, "7"),
        (None, {"home_after_login": None}, "dashboard"),
        (None, ["home_after_login"], "dashboard"),
        ("mine", {"home_after_login": "home", "after_login_page": "register"}, "mine"),
    ],
)
def test_home_after_login_chain(tk_home, auth, expected):
    layout = {"tk": {"home_after_login": tk_home}, "auth": auth}
    assert navigation_cfg(layout)["home_after_login"] == expected


def test_public_pages_is_a_new_list_by_list_conversion():
    pages = ["a"]
    got = navigation_cfg({"tk": {"public_pages": pages}})["public_pages"]
    assert got == ["a"] and got is not pages
    assert navigation_cfg({"tk": {"public_pages": "ab"}})["public_pages"] == ["a", "b"]
    assert navigation_cfg({"tk": {"public_pages": {"x": 1}}})["public_pages"] == ["x"]
    first, second = navigation_cfg({}), navigation_cfg({})
    first["public_pages"].append("admin")
    assert second["public_pages"] == ["login", "register"]


@pytest.mark.parametrize("bad", [3, True, 2.5])
def test_non_iterable_public_pages_raise_type_error(bad):
    with pytest.raises(TypeError):
        navigation_cfg({"tk": {"public_pages": bad}})


# --- auth_field_map -----------------------------------------------------------------

def test_auth_field_map_converts_keys_and_values_to_text():
    assert auth_field_map({"tk": {"auth_field_map": {"username": 5, 1: "x"}}}) == {"username": "5", "1": "x"}
    assert auth_field_map({"tk": {"auth_field_map": {}}}) == {}


def test_auth_field_map_falls_back_to_input_then_default():
    assert auth_field_map({"tk": {"auth_field_map": []}, "input": {"auth_field_map": {"u": "e"}}}) == {"u": "e"}
    assert auth_field_map({"input": {"auth_field_map": "u"}}) == DEFAULT_FIELDS
    first = auth_field_map({})
    first["username"] = "changed"
    assert auth_field_map({}) == DEFAULT_FIELDS


def test_auth_field_map_walk_stops_when_a_str_changes_the_mapping():
    fields = {}

    class Sneaky:
        def __str__(self):
            fields["added"] = "x"
            return "sneaky"

    fields["username"] = Sneaky()
    fields["password"] = "p"
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        auth_field_map({"tk": {"auth_field_map": fields}})


# --- actions_cfg ----------------------------------------------------------------------

def test_actions_convert_strings_copy_mappings_and_drop_the_rest():
    goto = {"type": "goto", "page": "home", "args": [1]}
    layout = {"tk": {"actions": {"登录": "auth_login", "home": goto, "bad": 7, 8: "logout"}}}
    got = actions_cfg(layout)
    assert got == {"登录": {"type": "auth_login"}, "home": goto, "8": {"type": "logout"}}
    assert list(got) == ["登录", "home", "8"]
    assert got["home"] is not goto and got["home"]["args"] is goto["args"]


def test_actions_later_key_with_same_text_wins():
    assert actions_cfg({"tk": {"actions": {1: "first", "1": "second"}}}) == {"1": {"type": "second"}}


@pytest.mark.parametrize(
    "layout, expected",
    [
        ({"input": {"actions": {"k": "login"}}}, {"k": {"type": "login"}}),
        ({"tk": {"actions": ["k"]}, "input": {"actions": {"k": "login"}}}, {"k": {"type": "login"}}),
        ({"tk": {"actions": ["k"]}}, {}),
        ({"tk": {"actions": {}}, "input": {"actions": {"k": "login"}}}, {}),
        ({"input": {"actions": "k"}}, {}),
        ({"input": ["actions"]}, {}),
    ],
)
def test_actions_fallback_to_input(layout, expected):
    assert actions_cfg(layout) == expected


# --- forms_cfg, page_hooks_cfg ------------------------------------------------------

@pytest.mark.parametrize("func, key", [(forms_cfg, "forms"), (page_hooks_cfg, "page_hooks")])
def test_mapping_entries_only_and_no_input_fallback(func, key):
    login = {"fields": ["username"]}
    layout = {"tk": {key: {"login": login, "bad": "x", 3: {"n": 1}}}, "input": {key: {"other": {}}}}
    got = func(layout)
    assert got == {"login": login, "3": {"n": 1}}
    assert got["login"] is not login and got["login"]["fields"] is login["fields"]
    assert func({"input": {key: {"other": {}}}}) == {}
    assert func({"tk": {key: ["login"]}}) == {}


# --- clear_components -------------------------------------------------------------------

@pytest.mark.parametrize(
    "raw, expected",
    [
        ([], ()),
        (["entry", 3], ("entry", "3")),
        (["a", "b", "a"], ("a", "b", "a")),
    ],
)
def test_clear_components_from_a_list(raw, expected):
    got = clear_components({"tk": {"clear_components_on_goto": raw}})
    assert got == expected and type(got) is tuple


@pytest.mark.parametrize("raw", ["entry", ("entry",), {"entry": 1}, None, 5])
def test_clear_components_default_for_anything_but_a_list(raw):
    assert clear_components({"tk": {"clear_components_on_goto": raw}}) is lirren.DEFAULT_CLEAR_COMPONENTS


def test_clear_components_survives_a_str_that_empties_the_list():
    names = []

    class Shrink:
        def __str__(self):
            names.clear()
            return "gone"

    names.extend([Shrink(), "entry", "spin"])
    assert clear_components({"tk": {"clear_components_on_goto": names}}) == ("gone",)


def test_accessors_never_change_the_layout():
    layout = {"tk": {"navigation": {"start_page": "a"}, "actions": {"k": "x", "j": {"type": "y"}},
                     "auth_field_map": {"username": 1}, "forms": {"f": {}}, "page_hooks": {"p": {}},
                     "clear_components_on_goto": ["entry"]},
              "input": {"navigation": {}}, "auth": {"home_after_login": "h"}}
    before = copy.deepcopy(layout)
    for func in ACCESSORS:
        func(layout)
    assert layout == before
