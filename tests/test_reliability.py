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
