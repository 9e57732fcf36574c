"""Threads hammering the module: one object of each class shared by several
threads that mix every method, while each thread also drives an object of
its own; the command line's worker thread; the adapters from several threads.

Only the borrow errors of BORROW_ERRORS appear, every document captured from
a shared object loads back to itself, an object used by one thread ends bit
for bit where a single-threaded run of the same calls ends, and nothing
crashes or hangs. Each class storms for MORVIK3_STRESS_SECONDS (default 2).
Run on its own, `pytest -m stress tests/test_stress.py`: collecting the rest
of the suite imports pandas, which turns the GIL of a free-threaded
interpreter on."""

import copy
import csv
import inspect
import os
import pickle
import random
import sys
import sysconfig
import threading
import time
import types

import numpy as np
import pytest

import morvik3
from detectors import DETECTORS, IDS

pytestmark = pytest.mark.stress

THREADS = 6
SECONDS = float(os.environ.get("MORVIK3_STRESS_SECONDS", "2"))
# Beyond the storm, how long a thread may take to finish before it counts as
# hung; generous, as ThreadSanitizer slows calls down many times.
GRACE = 300.0
SCRIPT_STEPS = 60
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

# The borrow errors each kind of call may meet on an object other threads use.
# Learning calls take the object's borrow exclusively and reading calls share
# it; configuration properties and static calls take no borrow.
BORROW_ERRORS = {
    "learning": {"Already borrowed"},
    "reading": {"Already mutably borrowed"},
    "property": set(),
    "static": set(),
}

# Big enough that calls spend a while detached, small enough for many calls a second.
MAKE = {
    "Forest": lambda: morvik3.Forest(3, shingle_size=2, num_trees=16, capacity=32, seed=5),
    "OnlineIForest": lambda: morvik3.OnlineIForest(3, num_trees=16, window_size=64, max_leaf_samples=4, seed=5),
    "MStream": lambda: morvik3.MStream(2, 1, num_rows=2, num_buckets=64, seed=5),
    "FeatureSketch": lambda: morvik3.FeatureSketch(chains_per_ensemble=4, chain_depth=4, sketch_buckets=64, seed=5),
    "ScoreCalibrator": lambda: morvik3.ScoreCalibrator(window=64, warmup=8),
}


@pytest.fixture(autouse=True)
def gil_stays_disabled():
    # With the GIL back on, threads would take turns and the storm would test little.
    if FREE_THREADED:
        assert not sys._is_gil_enabled(), "the GIL is on: run the stress suite on its own (see the warnings)"
    yield
    if FREE_THREADED:
        assert not sys._is_gil_enabled(), "a module imported by this test enabled the GIL"


class Feed:
    """The arguments of one object's calls, drawn from a seeded generator, and
    the documents captured from it. A feed that is `ordered` belongs to one
    thread, so its MStream ticks advance; a shared object gets ticks that are
    valid in any order."""

    def __init__(self, detector, seed, path, ordered):
        self.detector = detector
        self.rng = random.Random(seed)
        self.row = 0
        self.ordered = ordered
        self.path = path
        self.document = None
        self.documents = 0
        self.shares = "threads" in inspect.signature(detector.cls.score_many).parameters

    def observation(self):
        args = self.detector.observe(self.rng, self.row if self.ordered else 0)
        self.row += 1
        return args

    def batch(self, rows=6):
        return tuple(map(list, zip(*(self.observation() for _ in range(rows)))))

    def options(self):
        """The keywords of a batch call: how many threads share it out, for
        the classes that can (0: every core), so that pools of threads run
        beside the callers'."""
        return {"threads": self.rng.choice([1, 2, 0])} if self.shares else {}

    def captured(self, document):
        """Checks that a document taken from the object loads back to itself."""
        assert self.detector.cls.from_json(document).to_json() == document
        self.document = document
        self.documents += 1
        return document

    def saved(self, obj):
        obj.save_json(self.path)
        return self.captured(self.path.read_text(encoding="utf-8"))


def _imputed(obj, feed):
    point = [float(v) for _ in range(obj.shingle_size) for v in feed.observation()[0]]
    point[-1] = float("nan")
    return obj.impute(point, [len(point) - 1])


# Every call of the protocol and of each class: its kind (a key of
# BORROW_ERRORS) and how to make it on an object with its feed.
CALLS = {
    "update": ("learning", lambda o, f: o.update(*f.observation())),
    "update_and_score": ("learning", lambda o, f: o.update_and_score(*f.observation())),
    "update_and_score_detailed": ("learning", lambda o, f: o.update_and_score_detailed(*f.observation())),
    "update_many": ("learning", lambda o, f: o.update_many(*f.batch(), **f.options())),
    "update_and_score_many": ("learning", lambda o, f: o.update_and_score_many(*f.batch(), **f.options())),
    "__setstate__": ("learning", lambda o, f: o.__setstate__(f.document)),
    "score": ("reading", lambda o, f: o.score(*f.observation())),
    "score_detailed": ("reading", lambda o, f: o.score_detailed(*f.observation())),
    "score_many": ("reading", lambda o, f: o.score_many(*f.batch(), **f.options())),
    "displacement_score": ("reading", lambda o, f: o.displacement_score(*f.observation())),
    "attribution": ("reading", lambda o, f: o.attribution(*f.observation())),
    "density": ("reading", lambda o, f: o.density(*f.observation())),
    "near_neighbors": ("reading", lambda o, f: o.near_neighbors(*f.observation(), top_k=3)),
    "impute": ("reading", _imputed),
    "extrapolate": ("reading", lambda o, f: o.extrapolate(2)),
    "is_ready": ("reading", lambda o, f: o.is_ready()),
    "entries_seen": ("reading", lambda o, f: o.entries_seen()),
    "num_trees": ("reading", lambda o, f: o.num_trees()),
    "current_time": ("reading", lambda o, f: o.current_time()),
    # What it counts may follow the pages the system keeps resident: not compared.
    "memory_bytes": ("reading", lambda o, f: o.memory_bytes() > 0),
    "to_json": ("reading", lambda o, f: f.captured(o.to_json())),
    "__getstate__": ("reading", lambda o, f: f.captured(o.__getstate__())),
    "save_json": ("reading", lambda o, f: f.saved(o)),
    "__copy__": ("reading", lambda o, f: copy.copy(o)),
    "__deepcopy__": ("reading", lambda o, f: copy.deepcopy(o)),
    "__getnewargs__": ("reading", lambda o, f: o.__getnewargs__()),
    "__reduce_ex__": ("reading", lambda o, f: pickle.loads(pickle.dumps(o))),
    "__repr__": ("reading", lambda o, f: repr(o)),
    "__str__": ("reading", lambda o, f: str(o)),
    "from_json": ("static", lambda o, f: type(o).from_json(f.document)),
    "load_json": ("static", lambda o, f: type(o).load_json(f.path)),
}


def calls_of(cls):
    """The calls that apply to `cls`: those of its methods, and one per property."""
    calls = {name: call for name, call in CALLS.items() if hasattr(cls, name)}
    for name, value in vars(cls).items():
        if isinstance(value, types.GetSetDescriptorType):
            calls[name] = ("property", lambda o, f, name=name: getattr(o, name))
    return calls


def fingerprint(value):
    """`value` in a form that compares bit for bit: floats and arrays by their
    bytes, detectors by their documents."""
    if isinstance(value, float):
        return value.hex()
    if isinstance(value, np.ndarray):
        return value.dtype.str, value.tobytes()
    if isinstance(value, (list, tuple)):
        return [fingerprint(v) for v in value]
    if isinstance(value, dict):
        return {k: fingerprint(v) for k, v in value.items()}
    if hasattr(value, "to_json"):
        return value.to_json()
    return value


def prepared(detector, feed):
    """A new object of the class, fed enough to answer every query, its document saved."""
    obj = MAKE.get(detector.name, detector.make)()
    for _ in range(40):
        obj.update(*feed.observation())
    feed.saved(obj)
    return obj


class Storm(threading.Thread):
    """Runs its script on its own object, each step followed by random calls on
    the shared object, until both the script and the storm are over."""

    def __init__(self, detector, calls, shared, script, seed, folder, start, deadline):
        super().__init__(daemon=True)
        self.detector, self.calls, self.shared, self.script = detector, calls, shared, script
        self.own_feed = Feed(detector, seed, folder / f"own-{seed}.json", ordered=True)
        self.shared_feed = Feed(detector, seed + 1, folder / f"shared-{seed}.json", ordered=False)
        self.start_together, self.deadline = start, deadline
        self.results, self.errors = [], []
        self.shared_calls = self.refused = 0

    def run(self):
        step = "preparing"
        try:
            own = prepared(self.detector, self.own_feed)
            self.shared_feed.saved(self.shared)
            self.start_together.wait()
            names = sorted(self.calls)
            steps = iter(self.script)
            while (step := next(steps, None)) is not None or time.monotonic() < self.deadline():
                if step is not None:
                    self.results.append(fingerprint(self.calls[step][1](own, self.own_feed)))
                for _ in range(3):
                    self.on_shared(self.shared_feed.rng.choice(names))
        except BaseException as e:  # noqa: BLE001 - reported by the test
            self.errors.append((f"own object: {step}", e))

    def on_shared(self, name):
        kind, call = self.calls[name]
        self.shared_calls += 1
        try:
            call(self.shared, self.shared_feed)
        except RuntimeError as e:
            if str(e) in BORROW_ERRORS[kind]:
                self.refused += 1
            else:
                self.errors.append((name, e))
        except BaseException as e:  # noqa: BLE001 - reported by the test
            self.errors.append((name, e))


def single_threaded(detector, calls, script, seed, folder):
    feed = Feed(detector, seed, folder / f"alone-{seed}.json", ordered=True)
    obj = prepared(detector, feed)
    return [fingerprint(calls[step][1](obj, feed)) for step in script]


@pytest.mark.parametrize("detector", DETECTORS, ids=IDS)
def test_threads_share_one_object_and_each_drive_their_own(detector, tmp_path, stress_report):
    cls = detector.cls
    calls = calls_of(cls)
    protocol = {"__copy__", "__deepcopy__", "__getstate__", "__setstate__", "__getnewargs__", "__repr__"}
    public = {n for n in dir(cls) if not n.startswith("_")} | (protocol & set(dir(cls)))
    assert sorted(public - set(calls)) == []

    scripts = [[random.Random(seed).choice(sorted(calls)) for _ in range(SCRIPT_STEPS)] for seed in range(THREADS)]
    expected = [single_threaded(detector, calls, s, 100 * t, tmp_path) for t, s in enumerate(scripts)]

    shared_feed = Feed(detector, 1, tmp_path / "shared.json", ordered=False)
    shared = prepared(detector, shared_feed)
    ends = []
    start = threading.Barrier(THREADS, action=lambda: ends.append(time.monotonic() + SECONDS))
    storms = [Storm(detector, calls, shared, s, 100 * t, tmp_path, start, lambda: ends[0])
              for t, s in enumerate(scripts)]
    for s in storms:
        s.start()
    for s in storms:
        s.join(timeout=SECONDS + GRACE)
    assert [s.name for s in storms if s.is_alive()] == [], "hung"

    assert [(name, repr(e)) for s in storms for name, e in s.errors] == []
    assert [s.results for s in storms] == expected
    # Every borrow was given back: the object learns again, and its document loads.
    shared.update(*shared_feed.observation())
    shared_feed.captured(shared.to_json())
    refused = sum(s.refused for s in storms)
    own_calls = THREADS * SCRIPT_STEPS
    stress_report(
        f"{cls.__name__}: {THREADS} threads, {sum(s.shared_calls for s in storms):,} calls on the shared object "
        f"({refused:,} refused by its borrow), {own_calls:,} on their own ones, "
        f"{sum(s.shared_feed.documents + s.own_feed.documents for s in storms):,} documents checked"
    )


def run_together(work, count):
    """`work(i)` for i in range(count), each on its own thread, started together;
    their results, or the first error."""
    start = threading.Barrier(count)
    results, errors = [None] * count, []

    def one(i):
        try:
            start.wait()
            results[i] = work(i)
        except BaseException as e:  # noqa: BLE001 - reported by the test
            errors.append(e)

    threads = [threading.Thread(target=one, args=(i,), daemon=True) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=GRACE)
    assert [t.name for t in threads if t.is_alive()] == [], "hung"
    if errors:
        raise errors[0]
    return results


COMMANDS = [
    ("--detector", "forest"),
    ("--detector", "onlineiforest", "--top-percent", "2"),
    ("--detector", "mstream", "--categorical", "host"),
    ("--detector", "forest", "--columns", "load", "--shingle", "4", "--threshold", "0.99"),
]


@pytest.fixture
def switch_interval():
    # The command line shortens the interpreter's switch interval while it
    # runs; runs that overlap restore each other's value.
    interval = sys.getswitchinterval()
    yield
    sys.setswitchinterval(interval)


def test_command_lines_run_beside_each_other(tmp_path, monkeypatch, switch_interval, stress_report):
    from morvik3 import cli
    from morvik3.cli import score

    # Small chunks keep the worker thread busy with many hand-overs.
    monkeypatch.setattr(score, "CHUNK_ROWS", 97)
    rng = np.random.default_rng(3)
    rows = 1500
    table = tmp_path / "series.csv"
    with open(table, "w", newline="") as f:
        out = csv.writer(f)
        out.writerow(["timestamp", "load", "latency", "host"])
        for i, (a, b) in enumerate(rng.normal(size=(rows, 2)).round(4).tolist()):
            out.writerow([f"2024-05-{1 + i // 1440:02d} {i // 60 % 24:02d}:{i % 60:02d}:00", a, b, f"h{i % 3}"])

    def run(i, name):
        options = COMMANDS[i % len(COMMANDS)]
        output, state = tmp_path / f"{name}-{i}.csv", tmp_path / f"{name}-{i}.json"
        status = cli.main(["score", str(table), "-q", "-o", str(output), "--state", str(state),
                           "--checkpoint", "400", *options])
        return status, output.read_bytes(), state.read_bytes()

    alone = [run(i, "alone") for i in range(len(COMMANDS))]
    together = run_together(lambda i: run(i, "together"), 2 * len(COMMANDS))
    assert [status for status, _, _ in alone] == [0] * len(COMMANDS)
    assert together == alone + alone
    stress_report(f"command line: {2 * len(COMMANDS)} runs together, {rows:,} rows each in chunks of 97, "
                  "outputs and state files as when run alone")


def sklearn_session(i, shared, X):
    from morvik3.sklearn import ForestOutlierDetector, OnlineIForestOutlierDetector

    own = [ForestOutlierDetector(num_trees=20, capacity=64, random_state=i),
           OnlineIForestOutlierDetector(num_trees=16, window_size=128, max_leaf_samples=8, random_state=i)]
    seen = []
    for model in own:
        model.fit(X[:300]).partial_fit(X[300:])
        model = pickle.loads(pickle.dumps(model))
        seen += [model.score_samples(X), model.predict(X), model.decision_function(X[:50])]
    for model in shared:
        seen += [model.score_samples(X), model.predict(X)]
    return fingerprint(seen)


def river_session(i, shared, X):
    from morvik3 import river

    records = [{f"x{j}": float(v) for j, v in enumerate(row)} for row in X[:150]]
    own = [river.Forest(num_trees=16, capacity=64, seed=i), river.OnlineIForest(num_trees=16, window_size=64, seed=i),
           river.FeatureSketch(seed=i)]
    seen = []
    for model in own:
        for x in records:
            seen.append(model.score_one(x))
            model.learn_one(x)
        seen.append(pickle.loads(pickle.dumps(model)).score_one(records[0]))
    for model in shared:
        seen += [model.score_one(x) for x in records[:50]]
    return fingerprint(seen)


def sklearn_shared(X):
    from morvik3.sklearn import ForestOutlierDetector, OnlineIForestOutlierDetector

    return [ForestOutlierDetector(num_trees=20, capacity=64, random_state=99).fit(X),
            OnlineIForestOutlierDetector(num_trees=16, window_size=128, random_state=99).fit(X)]


def river_shared(X):
    from morvik3 import river

    models = [river.Forest(num_trees=16, capacity=64, seed=99), river.FeatureSketch(seed=99)]
    for model in models:
        for row in X:
            model.learn_one({f"x{j}": float(v) for j, v in enumerate(row)})
    return models


ADAPTERS = {"sklearn": (sklearn_shared, sklearn_session), "river": (river_shared, river_session)}


@pytest.mark.parametrize("library", sorted(ADAPTERS))
def test_adapters_run_in_several_threads(library, monkeypatch, stress_report):
    if library == "sklearn":
        # scikit-learn loads pandas whenever it is installed, and pandas turns
        # the GIL on: hidden, as where the sklearn extra is installed alone.
        monkeypatch.setitem(sys.modules, "pandas", None)
    pytest.importorskip(library)
    make_shared, session = ADAPTERS[library]
    X = np.random.default_rng(4).normal(size=(500, 3))
    X[::50] += 6.0
    shared = make_shared(X)
    alone = [session(i, shared, X) for i in range(THREADS)]
    assert run_together(lambda i: session(i, shared, X), THREADS) == alone
    stress_report(f"{library} adapters: {THREADS} threads, each fitting its own models and scoring shared ones, "
                  "results as when run alone")
