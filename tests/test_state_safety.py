"""No call loses or corrupts a detector's state, whatever another thread, a
stand-in module or a hostile document does.

Grouped by fault. Races run a writer thread against the call in a loop
bounded in time and check the document afterwards; anything that could crash
or exhaust the machine runs in a child interpreter, under an address-space
limit where memory is the point."""

import copy
import importlib
import inspect
import itertools
import json
import os
import pickle
import random
import re
import stat
import threading
import time
import types

import numpy as np
import pytest

import morvik3
from children import real_allocator, run_child
from detectors import DETECTORS, IDS, fed
from hostile import Boundless, vacant_slots_document
from morvik3.cli import state

per_class = pytest.mark.parametrize("detector", DETECTORS, ids=IDS)


def for_a_while(seconds=1.0):
    """Yields until `seconds` have passed."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        yield


class Writer(threading.Thread):
    """Calls `write()` over and over until stopped."""

    def __init__(self, write):
        super().__init__(daemon=True)
        self.write = write
        self.stop = threading.Event()

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.join()

    def run(self):
        while not self.stop.is_set():
            self.write()


# --- 1. A batch reads each row of the caller's array once ---------------------


def batch_arguments(name, rows):
    """The arguments of the k-th batch of `rows` rows, each array in the
    dtype the core reads in place where it has one, and the rows another
    thread may spoil (a list of events for FeatureSketch)."""
    rng = np.random.default_rng(7)
    if name in ("Forest", "OnlineIForest"):
        points = rng.normal(size=(rows, 3)).astype(np.float32)
        return lambda k: (points,), points
    if name == "MStream":
        numeric = rng.normal(size=(rows, 2))
        categorical = rng.integers(0, 4, size=(rows, 1))
        return lambda k: (numeric, categorical, np.arange(rows) // 3 + 100 + k * rows), numeric
    if name == "ScoreCalibrator":
        scores = rng.normal(size=rows)
        return lambda k: (scores,), scores
    events = [{"a": float(v), "b": 1.0} for v in rng.normal(size=rows)]
    return lambda k: (events,), events


def spoiler(target):
    """What the other thread does to the rows: NaN in and out again."""
    if isinstance(target, list):
        def write():
            for event in target[::5]:
                event["a"] = float("nan")
                event["a"] = 1.0
    else:
        flat = target.reshape(-1)

        def write():
            flat[::3] = np.nan
            flat[::3] = 1.0
    return write


@per_class
def test_rows_written_during_a_batch_leave_a_loadable_document(detector):
    obj = fed(detector, 20)
    arguments, target = batch_arguments(detector.name, 2000)
    with Writer(spoiler(target)):
        for k, _ in enumerate(for_a_while()):
            try:
                obj.update_many(*arguments(k))
            except ValueError as e:
                assert "finite" in str(e) or "NaN" in str(e)  # a row read while it held NaN
            text = obj.to_json()
            assert detector.cls.from_json(text).to_json() == text


# --- 2. A document holds no more than its configuration allows --------------


def inflated_document(name):
    """A document of `name` whose longest list is repeated to 2.4 MB of text."""
    if name == "Forest":
        return vacant_slots_document()
    doc = json.loads(fed(next(d for d in DETECTORS if d.name == name), 20).to_json())
    lists, stack = [], [doc]
    while stack:
        v = stack.pop()
        items = v.values() if isinstance(v, dict) else v if isinstance(v, list) else ()
        lists += [x for x in items if isinstance(x, list) and x]
        stack += items
    longest = max(lists, key=len)
    longest += [longest[-1]] * (2_400_000 // len(json.dumps(longest[-1])))
    return json.dumps(doc, separators=(",", ":"))


@real_allocator
@per_class
def test_a_document_holding_more_than_its_configuration_allows_is_refused_early(detector):
    out = run_child(
        f"""
        import morvik3
        from detectors import DETECTORS, fed
        from test_state_safety import inflated_document
        text = inflated_document({detector.name!r})
        obj = fed(next(d for d in DETECTORS if d.name == {detector.name!r}), 3)
        before = obj.to_json()
        limit_address_space(mapped() + 256 * MiB)
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for load in (morvik3.{detector.name}.from_json, obj.__setstate__):
            try:
                load(text)
            except ValueError as e:
                print(e)
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak) // 1024, obj.to_json() == before)
        """
    )
    message, again, grown = out.splitlines()
    assert again == message and grown.endswith(" True")
    assert re.fullmatch(r"invalid \w+ JSON: field `\w+` holds more than the configuration allows at line 1 column \d+",
                        message)
    assert int(grown.split()[0]) < 32  # MiB
    if detector.name == "Forest":
        assert "`nodes`" in message


def grown_store(doc, rows):
    store = doc["point_store"]
    store.update(capacity=rows, occupied=store["occupied"] + [False] * (rows - store["capacity"]),
                 ref_count=store["ref_count"] + [0] * (rows - store["capacity"]))
    store["store"].update(dim=[rows, store["dim"]], data=[0.0] * (rows * store["dim"]))


SMALL = {
    "Forest": lambda: morvik3.Forest(2, num_trees=1, capacity=1, seed=1),
    "OnlineIForest": lambda: morvik3.OnlineIForest(2, num_trees=1, window_size=4, max_leaf_samples=1, seed=1),
}


@pytest.mark.parametrize(
    ("name", "edit", "message"),
    [
        ("Forest", lambda d: d["trees"][0]["arena"].update(nodes=[None] * 11, free=list(range(11))),
         "invalid forest JSON: tree 0 arena has 11 slots, more than the 6 a tree of capacity 1 can use"),
        # 2 rows at most for one tree of capacity 1; a smaller store grows to at most 2 * 2 + 4.
        ("Forest", lambda d: grown_store(d, 9),
         "invalid forest JSON: point store capacity 9 exceeds the 8 rows a forest of this configuration can use"),
        ("OnlineIForest", lambda d: d["trees"].append(d["trees"][0]),
         "invalid OnlineIForest JSON: the document has 2 trees, more than num_trees 1"),
    ],
    ids=["arena slots", "store rows", "trees"],
)
def test_counts_within_the_allowance_are_bounded_too(name, edit, message):
    doc = json.loads(SMALL[name]().to_json())
    edit(doc)
    with pytest.raises(ValueError, match=f"^{message}$"):
        getattr(morvik3, name).from_json(json.dumps(doc))


# --- 3. Saving replaces a file whole or not at all ---------------------------


def save_json_of(name):
    def write(path, n):
        obj = fed(next(d for d in DETECTORS if d.name == name), n)
        obj.save_json(path)
        return obj.to_json()

    return write


def save_state(path, n):
    calibrator = morvik3.ScoreCalibrator()
    calibrator.update_many(np.arange(float(n)))
    scorer = types.SimpleNamespace(detector=fed(DETECTORS[0], n), calibrator=calibrator, defaults="measured")
    state.save(scorer, path)
    return f'{{"detector":{scorer.detector.to_json()},"calibrator":{calibrator.to_json()},"defaults":"measured"}}'


# Each writes the document of n observations to a path and returns it.
WRITERS = {name: save_json_of(name) for name in IDS} | {"--state": save_state}


@pytest.mark.parametrize("writer", WRITERS)
def test_a_save_that_fails_midway_leaves_the_previous_file(writer, tmp_path):
    path = tmp_path / "state.json"
    out = run_child(
        f"""
        from test_state_safety import WRITERS
        write = WRITERS[{writer!r}]
        old = write({str(path)!r}, 2)
        # The next document is longer than the file this allows.
        resource.setrlimit(resource.RLIMIT_FSIZE, (len(old), len(old)))
        try:
            write({str(path)!r}, 40)
        except Exception as e:
            print("File too large" in str(e))
        print(open({str(path)!r}).read() == old)
        """
    )
    assert out.split() == ["True", "True"]
    assert [p.name for p in tmp_path.iterdir()] == ["state.json"]


@pytest.mark.parametrize("writer", WRITERS)
def test_saves_write_through_links_and_keep_permissions(writer, tmp_path):
    write = WRITERS[writer]
    real, link, fresh = tmp_path / "real.json", tmp_path / "link.json", tmp_path / "fresh.json"
    write(real, 2)
    real.chmod(0o640)
    link.symlink_to("real.json")
    text = write(link, 6)
    assert link.is_symlink() and os.readlink(link) == "real.json" and real.read_text() == text
    assert stat.S_IMODE(real.stat().st_mode) == 0o640
    write(fresh, 1)
    umask = os.umask(0o022)
    os.umask(umask)
    assert stat.S_IMODE(fresh.stat().st_mode) == 0o666 & ~umask
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fresh.json", "link.json", "real.json"]


# --- 4. The result array is checked before anything is written --------------


@per_class
def test_a_result_array_of_the_wrong_size_or_type_is_refused_before_any_row(detector):
    # numpy.empty replaced by stand-ins that answer too short or too narrow:
    # written blindly, 100,000 scores would land past the end of the array.
    out = run_child(
        f"""
        import numpy, morvik3
        from detectors import DETECTORS, fed
        from test_state_safety import batch_arguments
        detector = next(d for d in DETECTORS if d.name == {detector.name!r})
        obj = fed(detector, 20)
        arguments, _ = batch_arguments(detector.name, 100_000)
        call = getattr(obj, "update_and_score_many", obj.update_many)
        before = obj.to_json()
        real = numpy.empty
        for stand_in in (lambda n: real(1), lambda n: real(n, numpy.float32), lambda n: real(n, numpy.int64)):
            numpy.empty = stand_in
            try:
                call(*arguments(0))
            except morvik3.InternalError as e:
                print(type(e).__name__)
            finally:
                numpy.empty = real
        print(obj.to_json() == before, len(call(*arguments(0))))
        """
    )
    assert out.split() == ["InternalError"] * 3 + ["True", "100000"]


# --- 5. Unpickling and copying build no default detector first --------------


def stored_pickle(obj, newargs):
    """A protocol-2 pickle of `obj` in the form the detectors' reduction
    writes, `cls.__new__(cls, *newargs)` then `__setstate__(document)`,
    with the given `newargs`."""

    def fragment(value):  # pickled, without its PROTO and STOP opcodes
        return pickle.dumps(value, protocol=2)[2:-1]

    cls = type(obj)
    return (b"\x80\x02" + pickle.GLOBAL + f"{cls.__module__}\n{cls.__name__}\n".encode() + fragment(newargs)
            + pickle.NEWOBJ + fragment(obj.__getstate__()) + pickle.BUILD + pickle.STOP)


@per_class
def test_unpickling_builds_nothing_from_the_constructor_arguments(detector):
    obj = fed(detector, 6)
    # Arguments no detector could be built from: only the document counts.
    newargs = tuple(2**62 for _ in getattr(obj, "__getnewargs__", tuple)())
    restored = pickle.loads(stored_pickle(obj, newargs))
    assert type(restored) is detector.cls and restored.to_json() == obj.to_json()


def wide_beyond_defaults(name):
    """A small detector whose input_dim makes a default-sized one need more
    than the machine's physical memory."""
    memory = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    if name == "Forest":  # the default holds 12,801 rows and 50 trees of boxes per coordinate
        return morvik3.Forest(memory // 100_000, num_trees=1, capacity=4, seed=1)
    # the default holds a window of 2,048 points and 32 trees of boxes per coordinate
    return morvik3.OnlineIForest(memory // 40_000, num_trees=1, window_size=2, max_leaf_samples=1, seed=1)


@pytest.mark.parametrize("name", ["Forest", "OnlineIForest"])
def test_wide_detectors_pickle_and_copy_back(name):
    obj = wide_beyond_defaults(name)
    text = obj.to_json()
    for back in (pickle.loads(pickle.dumps(obj)), copy.copy(obj), copy.deepcopy(obj)):
        assert back.to_json() == text


def test_an_instance_made_by_new_alone_holds_no_detector_until_it_gets_one():
    shell = morvik3.Forest.__new__(morvik3.Forest, 3)
    for call in (shell.to_json, lambda: shell.update([1.0, 2.0, 3.0]), lambda: shell.capacity, shell.__copy__):
        with pytest.raises(RuntimeError, match="holds no detector"):
            call()
    shell.__init__(3, num_trees=2, capacity=4, seed=1)
    assert shell.to_json() == morvik3.Forest(3, num_trees=2, capacity=4, seed=1).to_json()


# --- 6. Properties answer during another thread's call ------------------------


@per_class
def test_properties_answer_while_another_thread_updates(detector):
    obj = fed(detector, 20)
    names = [n for n, v in vars(detector.cls).items() if inspect.isgetsetdescriptor(v)]
    arguments, _ = batch_arguments(detector.name, 2000)
    batches = itertools.count()
    with Writer(lambda: obj.update_many(*arguments(next(batches)))):
        for _ in for_a_while():
            seen = {n: getattr(obj, n) for n in names}
            assert all(hasattr(obj, n) for n in names)
    assert next(batches) > 1
    config = json.loads(obj.to_json())["config"]
    assert seen == {n: config[n] for n in names}


# --- 7. A failing row's exception is kept whole -------------------------------


class Refusal(Exception):
    """An exception with more to it than its message."""

    def __init__(self, message, code):
        super().__init__(message)
        self.code = code


class Bomb:
    """A number whose conversion raises `error`."""

    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error

    __index__ = __float__


def batch_with(detector, bad_row, value):
    """Five rows for the batch methods as columns, the first argument of
    `bad_row` holding `value` where a number goes."""
    rows = [list(detector.observe(random.Random(i), i)) for i in range(5)]
    first = rows[bad_row][0]
    if isinstance(first, list):
        rows[bad_row][0] = [value] + first[1:]
    elif isinstance(first, dict):
        rows[bad_row][0] = {"a": value}
    else:
        rows[bad_row][0] = value
    return [list(column) for column in zip(*rows)]


def failing_refusal():
    cause = KeyError("the cause")
    try:
        raise Refusal("no number here", code=7) from cause
    except Refusal as e:
        e.add_note("a note")
        return e


@per_class
def test_a_row_error_keeps_its_type_attributes_cause_and_notes(detector):
    obj = fed(detector, 3)
    refusal = failing_refusal()
    # A feature event is either variant, so its failure is the one TypeError naming both.
    expected = TypeError if detector.name == "FeatureSketch" else Refusal
    with pytest.raises(expected) as raised:
        obj.update_many(*batch_with(detector, 3, Bomb(refusal)))
    e = raised.value
    assert str(e).startswith("row 3: ") and e.row == 3
    if expected is Refusal:
        assert e is refusal and (str(e), e.code) == ("row 3: no number here", 7)
        assert isinstance(e.__cause__, KeyError) and e.__notes__ == ["a note"]
    assert obj.entries_seen() == 6  # the three rows before it are learned


@per_class
@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError])
def test_interrupts_and_memory_errors_propagate_as_themselves(detector, error):
    obj = fed(detector, 3)
    raised = error()
    with pytest.raises(error) as caught:
        obj.update_many(*batch_with(detector, 2, Bomb(raised)))
    assert caught.value is raised and str(caught.value) == "" and not hasattr(caught.value, "row")
    assert obj.entries_seen() == 5  # the rows before it stay learned


@pytest.mark.parametrize("method", ["update_many", "score_many", "update_and_score_many"])
def test_an_argument_failing_past_the_end_of_the_others_is_a_length_error(method):
    m = fed(next(d for d in DETECTORS if d.name == "MStream"), 3)
    before = m.to_json()
    numeric = iter([[0.5, 1.0]] * 4 + [[0.5, "x"]])  # its fifth row fails to convert
    with pytest.raises(ValueError, match="^argument 'numeric' has more than 3 rows, but 'categorical' has 3$"):
        getattr(m, method)(numeric, ([1] for _ in range(3)), iter([5, 5, 6]))
    assert m.to_json() == before


# --- 8. Small gaps of the same kind ---------------------------------------------


def subinterpreters():
    """The name of the module that runs code in sub-interpreters here."""
    for name in ("concurrent.interpreters", "test.support.interpreters"):
        try:
            importlib.import_module(name)
        except ImportError:
            continue
        return name
    pytest.skip("this Python offers no sub-interpreters")


def test_each_interpreter_has_its_own_classes():
    # Imported first in a sub-interpreter that is gone before the main one
    # uses its own import: nothing of the first may be left in the second.
    use = """
        import pickle, random, sys
        sys.path.insert(0, {tests!r})
        import morvik3
        from detectors import DETECTORS, fed
        for d in DETECTORS:
            obj = fed(d, 5)
            text = obj.to_json()
            again = (pickle.loads(pickle.dumps(obj)), d.cls.from_json(text), obj.__copy__())
            assert all(type(o) is getattr(morvik3, d.name) and o.to_json() == text for o in again)
        print(*(id(getattr(morvik3, d.name)) for d in DETECTORS), id(morvik3.InternalError))
    """
    tests = os.path.dirname(os.path.abspath(__file__))
    out = run_child(
        f"""
        import textwrap
        import {subinterpreters()} as interpreters
        use = textwrap.dedent({use!r}).format(tests={tests!r})
        sub = interpreters.create()
        sub.exec(use)
        exec(use)
        sub.close()
        exec(use)
        """
    )
    sub, main, main_after = (line.split() for line in out.splitlines())
    assert not set(sub) & set(main) and main_after == main


@per_class
def test_a_sequence_longer_than_memory_is_refused_before_it_is_read(detector):
    obj = fed(detector, 3)
    before = obj.to_json()
    args = list(detector.observe(random.Random(0), 3))
    calls = [lambda: detector.cls.from_json(Boundless()),
             lambda: obj.score_many(Boundless(), *([[a] for a in args[1:]]))]
    if not isinstance(args[0], float):
        calls.append(lambda: obj.update(Boundless(), *args[1:]))
    for call in calls:
        with pytest.raises(MemoryError, match=r"of 1000000000000 items needs .* of physical memory"):
            call()
    assert obj.to_json() == before


def test_nan_centrality_is_refused_and_every_other_value_keeps_its_meaning():
    f = fed(next(d for d in DETECTORS if d.name == "Forest"), 60)
    impute = lambda c: f.impute([0.1, 0.0, -0.2], [1], centrality=c)  # noqa: E731
    with pytest.raises(ValueError, match="^centrality must not be NaN$"):
        impute(float("nan"))
    assert impute(float("inf")) == impute(1.0) and impute(-float("inf")) == impute(0.0)
