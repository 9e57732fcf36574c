"""No call loses or corrupts a detector's state, whatever another thread, a
stand-in module or a hostile document does.

Grouped by fault. Races run a writer thread against the call in a loop
bounded in time and check the document afterwards; anything that could crash
or exhaust the machine runs in a child interpreter, under an address-space
limit where memory is the point."""

import random
import threading
import time

import numpy as np
import pytest

import morvik3
from children import real_allocator, run_child
from detectors import DETECTORS, IDS, fed

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
