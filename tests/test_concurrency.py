"""Borrowing rules of one detector shared between threads.

A worker thread runs long calls in a loop while the main thread polls with a
conflicting call. The computing methods release the interpreter while they
run, so the poll lands inside a worker's call sooner or later; the loops are
bounded by a call count, never by time."""

import threading

import numpy as np
import pytest

from morvik3 import FeatureSketch, Forest, OnlineIForest

CONFLICTS = ("Already borrowed", "Already mutably borrowed")
DIM = 200


@pytest.fixture(scope="module")
def stream():
    return np.random.default_rng(1).normal(size=(600, DIM)).tolist()


def busy_subject(kind, stream):
    """A detector whose updates are long, the observations to feed it, and one more."""
    if kind == "sketch":
        heavy = {f"feature_{i}": float(i) for i in range(3000)}
        return FeatureSketch(seed=2), [heavy] * 2000, {"a": 1.0}
    if kind == "oif":
        # Wide points through many trees, each update walking and bounding them all.
        f = OnlineIForest(DIM, num_trees=400, window_size=64, max_leaf_samples=8, seed=3)
        return f, stream * 3, stream[0]
    # Wide points and many trees still in warm-up make every update long.
    f = Forest(DIM, num_trees=400, capacity=256, seed=3)
    for p in stream[:20]:
        f.update(p)
    return f, stream[20:], stream[0]


class Worker(threading.Thread):
    """Calls `method` on each point in turn until told to stop; a call refused
    by the main thread's own borrow is made again, anything else is kept.
    Only calls that ran count, so a worker refused over and over cannot run
    out of points before the main thread's poll lands inside one of them."""

    def __init__(self, subject, method, points):
        super().__init__(daemon=True)
        self.call = getattr(subject, method)
        self.points = points
        self.stop = threading.Event()
        self.started = threading.Event()
        self.errors = []

    def run(self):
        self.started.set()
        for p in self.points:
            while not self.stop.is_set():
                try:
                    self.call(p)
                    break
                except Exception as e:  # noqa: BLE001 - reported by the test
                    if not (isinstance(e, RuntimeError) and str(e) in CONFLICTS):
                        self.errors.append(e)
                        break
            if self.stop.is_set():
                return


def setstate_malformed(f):
    # Parsing comes after borrowing: a free object answers with the document error.
    try:
        f.__setstate__("{")
    except ValueError:
        pass


def poll_until_conflict(call, attempts=20_000):
    for _ in range(attempts):
        try:
            call()
        except RuntimeError as e:
            return str(e)
    return None


@pytest.mark.parametrize(
    ("kind", "worker_method", "poll", "message"),
    [
        ("forest", "update", lambda f, p: f.score(p), "Already mutably borrowed"),
        ("forest", "update", lambda f, p: f.attribution(p), "Already mutably borrowed"),
        ("forest", "update", lambda f, p: f.to_json(), "Already mutably borrowed"),
        ("forest", "update", lambda f, p: f.entries_seen(), "Already mutably borrowed"),
        ("forest", "update", lambda f, p: f.update(p), "Already borrowed"),
        ("forest", "update_and_score", lambda f, p: f.update_and_score(p), "Already borrowed"),
        ("forest", "update", lambda f, p: setstate_malformed(f), "Already borrowed"),
        ("forest", "score", lambda f, p: f.update(p), "Already borrowed"),
        ("sketch", "update", lambda f, p: f.score(p), "Already mutably borrowed"),
        ("sketch", "update", lambda f, p: f.update(p), "Already borrowed"),
        ("oif", "update", lambda f, p: f.score(p), "Already mutably borrowed"),
        ("oif", "update_and_score", lambda f, p: f.update(p), "Already borrowed"),
    ],
    ids=["score during update", "attribution during update", "to_json during update",
         "entries_seen during update", "update during update", "update_and_score during update_and_score",
         "setstate during update", "update during score", "sketch score during update", "sketch update during update",
         "oif score during update", "oif update during update_and_score"],
)
def test_a_conflicting_call_fails_at_once(stream, kind, worker_method, poll, message):
    subject, feed, point = busy_subject(kind, stream)
    worker = Worker(subject, worker_method, feed)
    worker.start()
    worker.started.wait()
    try:
        seen = poll_until_conflict(lambda: poll(subject, point))
    finally:
        worker.stop.set()
        worker.join()
    assert seen == message
    assert worker.errors == []
    # The borrow is released afterwards: both kinds of access work again.
    subject.update(point)
    assert subject.score(point) >= 0.0


def scoring_subject(kind, stream):
    """A trained detector and the queries to ask it."""
    if kind == "sketch":
        f = FeatureSketch(seed=14, sketch_buckets=512)
        events = [{f"f{int(v * 3) % 20}": v for v in p[:6]} for p in stream]
        for e in events[:300]:
            f.update(e)
        return f, events[300:320]
    if kind == "oif":
        f = OnlineIForest(8, num_trees=50, window_size=128, max_leaf_samples=4, seed=2)
        for p in stream[:300]:
            f.update(p[:8])
        return f, [p[:8] for p in stream[300:320]]
    f = Forest(8, num_trees=50, capacity=64, seed=2)
    for p in stream[:300]:
        f.update(p[:8])
    return f, [p[:8] for p in stream[300:320]]


@pytest.mark.parametrize("kind", ["forest", "sketch", "oif"])
def test_shared_calls_run_together_and_agree(stream, kind):
    f, queries = scoring_subject(kind, stream)
    expected = [f.score(q) for q in queries]
    before = f.to_json()
    results, errors = {}, []

    def reader(name):
        try:
            results[name] = [[f.score(q) for q in queries] for _ in range(20)]
        except Exception as e:  # noqa: BLE001 - reported by the test
            errors.append(e)

    threads = [threading.Thread(target=reader, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert all(rounds == [expected] * 20 for rounds in results.values())
    assert f.to_json() == before


@pytest.mark.parametrize(
    ("fail", "error"),
    [
        (lambda f: f.update([1.0]), ValueError),
        (lambda f: f.update([float("nan")] * 3), ValueError),
        (lambda f: f.update_and_score([1.0, 2.0]), ValueError),
        (lambda f: f.score([1.0]), ValueError),
        (lambda f: f.attribution([1.0] * 4), ValueError),
        (lambda f: f.update("abc"), TypeError),
        (lambda f: f.__setstate__("{"), ValueError),
        (lambda f: f.__setstate__(b"{}"), TypeError),
        (lambda f: f.save_json("/nonexistent-dir/forest.json"), RuntimeError),
    ],
)
def test_the_borrow_is_released_after_an_error(fail, error):
    f = Forest(3, num_trees=4, capacity=8, seed=1)
    f.update([1.0, 2.0, 3.0])
    for _ in range(2):
        with pytest.raises(error):
            fail(f)
    # A leaked borrow would make the next exclusive or shared call fail.
    f.update([2.0, 3.0, 4.0])
    assert f.update_and_score([0.0, 0.0, 0.0]) > 0.0
    assert f.score([1.0, 1.0, 1.0]) >= 0.0
    assert f.entries_seen() == 3
