"""Run the fuzz targets for a bounded time or count and print what they did.

Usage: python fuzz/run.py [--seconds N | --runs N] [--timeout S] [--mode M]
                          [--preload LIBS] [TARGET ...]

Each target runs in its own process (``fuzz/main.py``) under atheris and
libFuzzer, with the sanitizer runtime preloaded. Inputs that crash, hang or
let a ``SystemError`` or a broken invariant out are written to
``fuzz/findings/<target>/`` and printed; after a finding the target starts
again on the time or count it has left (at most ``--max-findings`` times).
New inputs the fuzzer keeps go to ``build/fuzz/<target>/``; the seed corpus
``fuzz/corpus/<target>/`` is read, never written. The exit status is 1 when
anything was found.
"""

from __future__ import annotations

import argparse
import os
import re
import shlex
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

#: Lines of a libFuzzer log that say what a run did.
EXECUTED = re.compile(r"^stat::number_of_executed_units:\s*(\d+)", re.M)
PROGRESS = re.compile(r"^#(\d+)\s+\w+\s+cov: (\d+)", re.M)
ARTIFACT = re.compile(r"(?:Test unit written to|artifact_prefix.*?; Test unit written to) (\S+)")
#: The environment a finding is replayed in.
REPLAY_ENV = ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS")
#: Exit status of fuzz/main.py for a target that cannot run here.
SKIPPED = 86
REPORT_START = re.compile(r"^\s*(==\d+==ERROR|=== Uncaught Python exception|==\d+== ERROR: libFuzzer|SUMMARY:)",
                          re.M)


@dataclass
class Outcome:
    """What one target did, over all its runs."""

    name: str
    executions: int = 0
    coverage: int = 0
    seconds: float = 0.0
    findings: list[Path] = field(default_factory=list)
    skipped: str | None = None
    #: Inputs of the work corpus run again under the sanitizer build (fallback mode).
    replayed: int = 0


def parse_log(log: str) -> tuple[int, int, Path | None]:
    """Executions, coverage and the artifact (if any) of one libFuzzer run."""
    done = EXECUTED.findall(log)
    progress = PROGRESS.findall(log)
    executions = int(done[-1]) if done else int(progress[-1][0]) if progress else 0
    coverage = int(progress[-1][1]) if progress else 0
    artifact = ARTIFACT.findall(log)
    return executions, coverage, Path(artifact[-1]) if artifact else None


def report_of(log: str, lines: int = 40) -> str:
    """The sanitizer's or atheris' report in a crashed run's log, shortened."""
    m = REPORT_START.search(log)
    tail = log[m.start():] if m else log
    return "\n".join(tail.splitlines()[:lines])


def preview(path: Path, limit: int = 300) -> str:
    try:
        data = path.read_bytes()
    except OSError:
        return "(unreadable)"
    shown = repr(data[:limit]) + (f" ... ({len(data)} bytes)" if len(data) > limit else "")
    return shown


def fuzz_env(preload: str) -> dict[str, str]:
    env = dict(os.environ, LD_PRELOAD=preload)
    if preload:
        env.update(
            PYTHONMALLOC="malloc",  # every allocation goes through the sanitizer
            ASAN_OPTIONS="detect_leaks=0:max_free_fill_size=1048576:allocator_may_return_null=1",
            UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1",
        )
    return env


def libfuzzer(python: str, preload: str, name: str, options: list[str], args: argparse.Namespace,
              log: Path) -> subprocess.CompletedProcess:
    """One run of fuzz/main.py: the work corpus first (new inputs go there), then the seeds."""
    work, seeds = ROOT / "build" / "fuzz" / name / "corpus", HERE / "corpus" / name
    findings = HERE / "findings" / name
    for d in (work, findings):
        d.mkdir(parents=True, exist_ok=True)
    cmd = [python, str(HERE / "main.py"), name, *options, f"-timeout={args.timeout}", "-rss_limit_mb=3072",
           "-max_len=16384", "-print_final_stats=1", f"-artifact_prefix={findings}{os.sep}", str(work)]
    if seeds.is_dir():
        cmd.append(str(seeds))
    proc = subprocess.run(cmd, cwd=ROOT, env=fuzz_env(preload), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, errors="replace")
    log.write_text(proc.stdout)
    return proc


def record(out: Outcome, proc: subprocess.CompletedProcess, log: Path, what: str, preload: str) -> bool:
    """Note (and print) a finding of a run that failed; False when it was met before.
    The run's Python (``proc.args[0]``) and ``preload`` replay the input."""
    _, _, artifact = parse_log(proc.stdout)
    found = artifact or log
    if found in out.findings:  # an input of the corpus, met at every start
        return False
    out.findings.append(found)
    print(f"\n--- {out.name}: finding {what} (exit {proc.returncode}): {found}\n{report_of(proc.stdout)}\n"
          f"input: {preview(found) if artifact else '(no input written; see the log)'}", flush=True)
    if artifact:
        env = fuzz_env(preload)
        setting = " ".join(f"{k}={shlex.quote(env[k])}" for k in REPLAY_ENV if env.get(k))
        print(f"replay: {setting} {proc.args[0]} {HERE / 'main.py'} {out.name} {artifact}", flush=True)
    print(flush=True)
    return artifact is not None


def run_target(name: str, args: argparse.Namespace) -> Outcome:
    out = Outcome(name)
    log = ROOT / "build" / "fuzz" / name / "last.log"
    started = time.monotonic()
    while True:
        left_s = args.seconds - (time.monotonic() - started) if args.seconds else None
        left_runs = args.runs - out.executions if args.runs else None
        if (left_s is not None and left_s < 1) or (left_runs is not None and left_runs <= 0):
            break
        budget = [f"-runs={left_runs}"] if left_runs is not None else [f"-max_total_time={max(1, int(left_s))}"]
        proc = libfuzzer(sys.executable, args.preload, name, budget, args, log)
        if proc.returncode == SKIPPED:
            out.skipped = proc.stdout.strip().splitlines()[-1]
            return out
        executions, coverage, _ = parse_log(proc.stdout)
        out.executions += executions
        out.coverage = max(out.coverage, coverage)
        if proc.returncode == 0:
            break
        if not record(out, proc, log, "", args.preload) or len(out.findings) >= args.max_findings:
            break
    if args.replay_with:  # every input kept, once more under the sanitizers
        proc = libfuzzer(args.replay_with, args.replay_preload, name, ["-runs=0"], args, log.with_name("replay.log"))
        out.replayed = len(list((ROOT / "build" / "fuzz" / name / "corpus").iterdir()))
        if proc.returncode not in (0, SKIPPED):
            record(out, proc, log.with_name("replay.log"), "in the sanitizer replay", args.replay_preload)
    out.seconds = time.monotonic() - started
    return out


def main(argv: list[str]) -> int:
    import targets

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    budget = parser.add_mutually_exclusive_group()
    budget.add_argument("--seconds", type=int, default=60, help="time per target (default 60)")
    budget.add_argument("--runs", type=int, default=0, help="executions per target instead of a time")
    parser.add_argument("--timeout", type=int, default=10, help="seconds one input may take (default 10)")
    parser.add_argument("--max-findings", type=int, default=3, help="restarts of a target after findings")
    parser.add_argument("--mode", default="native", help="what the instrumentation covers (printed)")
    parser.add_argument("--preload", default="", help="sanitizer (+ libFuzzer) runtime to preload")
    parser.add_argument("--replay-with", default="", help="a Python of a sanitizer build: after fuzzing, run "
                        "every kept input once more with it")
    parser.add_argument("--replay-preload", default="", help="the runtime to preload for --replay-with")
    parser.add_argument("targets", nargs="*", help=f"targets (default all: {', '.join(targets.TARGETS)})")
    args = parser.parse_args(argv)
    if args.runs:
        args.seconds = 0
    unknown = [t for t in args.targets if t not in targets.TARGETS]
    if unknown:
        parser.error(f"unknown targets: {', '.join(unknown)}")

    budget_text = f"{args.runs} executions" if args.runs else f"{args.seconds} s"
    print(f"fuzzing ({args.mode}), {budget_text} per target, {args.timeout} s per input", flush=True)
    outcomes = []
    for name in args.targets or list(targets.TARGETS):
        outcome = run_target(name, args)
        outcomes.append(outcome)
        replayed = f", {outcome.replayed} kept inputs replayed under ASan" if outcome.replayed else ""
        line = (f"{name}: skipped: {outcome.skipped}" if outcome.skipped else
                f"{name}: {outcome.executions} executions, {len(outcome.findings)} crashes{replayed}")
        print(line, flush=True)

    print(f"\n{'target':<12} {'executions':>11} {'exec/s':>8} {'coverage':>9} {'crashes':>8}")
    for o in outcomes:
        if o.skipped:
            print(f"{o.name:<12} {'skipped':>11}   ({o.skipped})")
            continue
        rate = o.executions / o.seconds if o.seconds else 0
        print(f"{o.name:<12} {o.executions:>11} {rate:>8.0f} {o.coverage:>9} {len(o.findings):>8}")
    found = [f for o in outcomes for f in o.findings]
    total = sum(o.executions for o in outcomes)
    print(f"total: {total} executions, {len(found)} crashes ({args.mode})")
    for f in found:
        print(f"  finding: {f}")
    return 1 if found else 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
