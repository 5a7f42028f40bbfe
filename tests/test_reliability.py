"""The fuzzing harness and the soak, run small: the seed corpus replays through
every fuzz target without a finding, generated inputs stay inside the scratch
directory, the driver reads libFuzzer's logs right, and a short soak passes."""

import random
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "fuzz"))

import gen  # noqa: E402
import oracles  # noqa: E402
import run as fuzz_run  # noqa: E402
import targets  # noqa: E402

SEEDS = sorted((t, p.name) for t in targets.TARGETS for p in (ROOT / "fuzz" / "corpus" / t).glob("*"))


@pytest.fixture
def fuzz(tmp_path, monkeypatch):
    """The targets, working in a scratch directory of this test (environment restored after)."""
    for name in ("HOME", "CALC_WS_ROOT", "VANTREL_LAYOUT"):
        monkeypatch.setenv(name, "")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(targets, "SCRATCH", {})
    targets.prepare(str(tmp_path / "scratch"))
    return targets


def run_target(fuzz, name, data):
    target = fuzz.TARGETS[name]
    reason = target.unavailable()
    if reason:
        pytest.skip(reason)
    target.run(data)  # a SystemError or a Finding fails the test


@pytest.mark.parametrize("name,seed", SEEDS)
def test_seed_corpus_replays_without_finding(fuzz, name, seed):
    run_target(fuzz, name, (ROOT / "fuzz" / "corpus" / name / seed).read_bytes())


@pytest.mark.parametrize("name", list(targets.TARGETS))
def test_random_inputs_end_in_results_or_exceptions(fuzz, name):
    rng = random.Random(name)
    for _ in range(150):
        run_target(fuzz, name, rng.randbytes(rng.randrange(600)))
    assert not list(Path(fuzz.prepare()).glob("**/*.db"))  # the targets clean up after themselves


def test_every_target_has_seeds():
    assert {t for t, _ in SEEDS} == set(targets.TARGETS)


# --- the plain rules the targets compare with agree with the documented cases ----------------

LAYOUT = {"tk": {"actions": {"a": "auth_login", "b": {"type": "goto", "page": "home"}, "c": 7},
                 "clear_components_on_goto": ["entry", 3], "auth_field_map": {"username": 5},
                 "forms": {"login": {"x": 1}, "bad": "x"}, "start_page": ""},
          "auth": {"after_login_page": "home"},
          "plugins": {"config": {"login": {"sections": {"database": {"p": 1}}}}}, "database": {"t": 1}, "auth_": 0}


@pytest.mark.parametrize("name,args,expected", [
    ("actions_cfg", (LAYOUT,), {"a": {"type": "auth_login"}, "b": {"type": "goto", "page": "home"}}),
    ("clear_components", (LAYOUT,), ("entry", "3")),
    ("auth_field_map", (LAYOUT,), {"username": "5"}),
    ("forms_cfg", (LAYOUT,), {"login": {"x": 1}}),
    ("navigation_cfg", (LAYOUT,), {"start_page": "login", "home_after_login": "home", "after_register_page": "login",
                                   "after_logout_page": "login", "public_pages": ["login", "register"]}),
    ("clear_components", ({"tk": {"clear_components_on_goto": "entry"}},), oracles.DEFAULT_CLEAR),
    ("merged_sections", (LAYOUT, " grisel ", ("database", "tk", "database", "web")),
     {"database": {"p": 1}, "tk": LAYOUT["tk"]}),
    ("build_effective_layout", ({"database": 1, "x": 2}, "login", ("auth",)), {"database": 1, "x": 2}),
    ("plugin_config", ({"plugins": {"config": {"grisel": {"a": 1}}}}, "grisel"), {}),
    ("sanitize_db_basename", ("My App.db",), "My_App"), ("sanitize_db_basename", (" .DB ",), "app"),
    ("sanitize_db_basename", ("x" * 70,), "x" * 64),
    ("repl_line", ("set lamp on, off",), ("set_by_id", {"patches": [{"id": "lamp", "value": "on, off"}]})),
    ("repl_line", ("a, b,,x",), ("sequence", {"keys": ["a", "b", "x"]})),
    ("repl_line", ("mc x 1 y",), ("sequence", {"keys": ["mc", "x", "1", "y"]})),
    ("repl_line", ("D",), ("display", {})), ("repl_line", ("  # note",), None),
    ("resolve_feature_id", ("\u3000grisel\x1c",), "login"), ("resolve_feature_id", (" Grisel",), "Grisel"),
])
def test_plain_rules_and_the_package_agree_on_documented_cases(name, args, expected):
    assert getattr(oracles, name)(*args) == expected
    assert package_function(name)(*args) == expected


def package_function(name):
    """The package's function whose rule ``oracles.<name>`` writes plainly."""
    from vantrel_app_plugin import _nimbra, lirren, ostrel, quelby
    from vantrel_app_plugin.login import keldra

    return {"sanitize_db_basename": keldra._sanitize_db_basename, "repl_line": quelby.parse_repl_line,
            "resolve_feature_id": _nimbra.resolve_feature_id}.get(name) \
        or getattr(lirren, name, None) or getattr(ostrel, name)


_Dict, _Str = type("_Dict", (dict,), {}), type("_Str", (str,), {})


@pytest.mark.parametrize("name,args", [
    ("tk_section", ([],)), ("navigation_cfg", (_Dict(),)), ("actions_cfg", ("tk",)), ("forms_cfg", (None,)),
    ("clear_components", (_Dict(tk={}),)), ("plugins_block", ([],)), ("plugin_config", ({}, _Str("login"))),
    ("plugin_config", (_Dict(), "login")), ("merged_sections", ({}, "login", ["database"])),
    ("build_effective_layout", ([("a", 1)], "login", ())), ("sanitize_db_basename", (b"x.db",)),
    ("sanitize_db_basename", (_Str("x"),)), ("repl_line", (_Str("quit"),)), ("repl_line", (None,)),
    ("resolve_feature_id", (5,)),
])
def test_plain_rules_refuse_the_arguments_the_package_refuses(name, args):
    # The benchmarks time the package against these rules: both do the same argument checks.
    for function in (package_function(name), getattr(oracles, name)):
        with pytest.raises(TypeError):
            function(*args)


# --- the generators -----------------------------------------------------------------------


@pytest.mark.parametrize("data,calls,expected", [
    (b"", lambda s: (s.below(7), s.chance(3), s.often(3), s.choice("xyz")), (0, False, True, "x")),
    (b"\x05\x02\x02", lambda s: (s.below(3), s.chance(3), s.often(3), s.left), (2, True, False, 0)),
    (b"\x01\x00\x00", lambda s: s.below(70_000), 65_536),  # three bytes for a range beyond 16 bits
])
def test_source_reads_choices_and_zeros_when_exhausted(data, calls, expected):
    assert calls(gen.Source(data)) == expected


def test_every_hostile_kind_is_generated():
    rng = random.Random(3)
    kinds = {type(gen.hostile(gen.Source(rng.randbytes(16)))) for _ in range(3000)}
    assert {gen.TrapStr, gen.OddStr, gen.Raiser, gen.Shapeshifter, gen.BadBool, gen.TrapDict, gen.TrapList,
            gen.PlainDict} <= kinds


def test_mischief_replaces_a_field_of_a_victim():
    class Victim:
        field = "before"

    victim = Victim()
    gen.begin(gen.Source(bytes([0, 0, 1, 0, 0, 0]) * 4))
    gen.VICTIMS.append((victim, ("field",)))
    hash(gen.TrapStr("x"))  # hashing runs mischief first
    assert victim.field != "before"


def test_most_engine_sessions_build_an_engine(fuzz, monkeypatch):
    """Inputs must mostly reach the engine's own calls, not end at its construction."""
    built = []
    keys_of = targets.engine_keys
    monkeypatch.setattr(targets, "engine_keys", lambda layout: built.append(1) or keys_of(layout))
    rng = random.Random(5)
    for _ in range(200):
        fuzz.TARGETS["engine"].run(rng.randbytes(400))
    assert len(built) > 100  # more than half


# --- generated documents never point outside the scratch directory -------------------------


@pytest.mark.parametrize("value,safe", [
    ("data", True), ("@app", True), (" var ", True), ("", True), (5, True), (None, True), ([], True),
    ("/etc", False), ("a/b", False), ("..", False), ("~root", False), ("C:x", False), ("a\\b", False),
    ("x\x00", False), (b"data", False), (Path("data"), False),
])
def test_path_values(value, safe):
    assert gen.is_safe_path_value(value) is safe


@pytest.mark.parametrize("mean", [False, True])
def test_generated_documents_name_only_safe_places(mean):
    rng = random.Random(7)
    for _ in range(2000):
        doc = gen.Layouts(gen.Source(rng.randbytes(rng.randrange(800))), mean).document()
        assert gen.paths_safe(doc)


def test_unsafe_path_found_at_any_depth_and_under_subclass_keys():
    deep = {"plugins": {"config": {"login": {"sections": {"database": {gen.TrapStr("dir"): "/tmp/x"}}}}}}
    cyclic: list = [{"path": "db"}]
    cyclic.append(cyclic)
    assert not gen.paths_safe(deep)
    assert gen.paths_safe(cyclic) and not gen.paths_safe([cyclic, {"data_root": "~"}])


def test_generation_is_deterministic_and_ends_on_empty_input():
    data = bytes(range(256)) * 2
    assert gen.dump(gen.Layouts(gen.Source(data), False).document()) == \
        gen.dump(gen.Layouts(gen.Source(data), False).document())
    assert gen.Layouts(gen.Source(b""), True).document() == {}


# --- the driver's reading of libFuzzer logs ------------------------------------------------

DONE = "#1024\tpulse  cov: 90 ft: 100 corp: 3/9b\n#4000\tDONE   cov: 120 ft: 150\nDone 4000 runs in 5 second(s)\n" \
       "stat::number_of_executed_units: 4000\n"
CRASH = "#512\tNEW    cov: 77 ft: 80\n=== Uncaught Python exception: ===\nSystemError: bad\n" \
        "==12== ERROR: libFuzzer: fuzz target exited\nMS: 1 CopyPart-; base unit: 0\n" \
        "artifact_prefix='fuzz/findings/x/'; Test unit written to fuzz/findings/x/crash-abc\n" \
        "stat::number_of_executed_units: 530\n"


@pytest.mark.parametrize("log,executions,coverage,artifact", [
    (DONE, 4000, 120, None),
    (CRASH, 530, 77, Path("fuzz/findings/x/crash-abc")),
    ("#300\tNEW    cov: 12 ft: 13\n==1==ERROR: AddressSanitizer: heap-use-after-free\n", 300, 12, None),
    ("", 0, 0, None),
])
def test_log_reading(log, executions, coverage, artifact):
    assert fuzz_run.parse_log(log) == (executions, coverage, artifact)


def test_report_starts_at_the_sanitizer_or_exception():
    assert fuzz_run.report_of(CRASH).startswith("=== Uncaught Python exception")
    assert fuzz_run.report_of("plain\nlog", 1) == "plain"


# --- the soak, short ----------------------------------------------------------------------


def test_short_soak_finds_no_growth():
    run = subprocess.run([sys.executable, str(ROOT / "bench" / "soak.py"), "--calls", "20000"],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    for case in ("press (bound key)", "press (unbound key)", "merge_components", "snapshot",
                 "dispatch_plugin_action", "lirren.page_hooks_cfg"):
        assert case in run.stdout
