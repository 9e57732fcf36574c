"""Batches shared out among threads: every `threads` value gives what the
per-row loop gives, scores and documents bit for bit, stops where the loop
stops, and the pool of threads behind them survives fork and interpreter
exit."""

import inspect
import math
import threading

import numpy as np
import pytest

from children import run_child
from morvik3 import FeatureSketch, Forest, OnlineIForest

# 0 is every core the process may use; 3 oversubscribes a small machine.
THREADS = [1, 2, 3, 0]
ROWS = 700  # several blocks of rows, and enough for samplers to fill


def points(width, seed, integer=False):
    x = np.random.default_rng(seed).normal(size=(ROWS, width)) * 3.0
    x[::41] += 30.0
    # Rounded values repeat: trees merge duplicates, which the threads must see.
    return np.round(x) if integer else x


def events(seed):
    rng = np.random.default_rng(seed)
    names = [f"f{i}" for i in range(40)]
    return [dict(zip(rng.choice(names, rng.integers(0, 7), replace=False).tolist(), rng.normal(size=7).tolist()))
            for _ in range(ROWS)]


CASES = {
    "Forest": (lambda: Forest(3, num_trees=13, capacity=24, seed=5), lambda: points(3, 1)),
    "Forest, duplicates": (lambda: Forest(2, num_trees=9, capacity=16, seed=6), lambda: points(2, 2, integer=True)),
    "Forest, shingled": (lambda: Forest(1, shingle_size=4, num_trees=7, capacity=32, seed=7), lambda: points(1, 3)),
    "Forest, external shingle": (
        lambda: Forest(2, shingle_size=2, internal_shingling=False, num_trees=6, capacity=1, seed=8),
        lambda: points(4, 4),
    ),
    "OnlineIForest": (lambda: OnlineIForest(2, num_trees=11, window_size=64, max_leaf_samples=4, seed=9),
                      lambda: points(2, 5)),
    "FeatureSketch": (lambda: FeatureSketch(chains_per_ensemble=5, chain_depth=3, sketch_buckets=64,
                                            decay_half_life=100, seed=10), lambda: events(6)),
}


def rows_of(data):
    return data.tolist() if isinstance(data, np.ndarray) else data


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("case", sorted(CASES))
def test_every_thread_count_gives_the_loop_bit_for_bit(case, threads):
    make, data = CASES[case]
    x = data()
    rows = rows_of(x)
    batch, loop = make(), make()
    scores = batch.update_and_score_many(x, threads=threads)
    assert scores.tolist() == [loop.update_and_score(r) for r in rows]
    assert batch.to_json() == loop.to_json()
    # Single calls between batches: a batch must not trust what it kept.
    for r in rows[:5]:
        assert batch.update_and_score(r) == loop.update_and_score(r)
    previews = rows[::-1][:300]
    assert batch.score_many(previews, threads=threads).tolist() == [loop.score(r) for r in previews]
    assert batch.update_many(x, threads=threads) is None
    for r in rows:
        loop.update(r)
    assert batch.to_json() == loop.to_json()


def with_bad_row(case, data, at):
    if case == "FeatureSketch":
        bad = list(data)
        bad[at] = {"f1": math.nan}
        return bad, "feature values must be finite"
    bad = data.copy()
    bad[at, -1] = math.inf
    return bad, "point values must be finite"


def outcome(call):
    """What a batch or the per-row loop gives: its results, or the row that
    failed and the message."""
    try:
        return call()
    except ValueError as e:
        return getattr(e, "row", None), str(e)


def loop_outcome(call, rows):
    results = []
    for i, r in enumerate(rows):
        try:
            results.append(call(r))
        except ValueError as e:
            return i, f"row {i}: {e}"
    return results


@pytest.mark.parametrize("threads", [2, 0])
@pytest.mark.parametrize("at", [0, 300])
@pytest.mark.parametrize("case", sorted(CASES))
def test_a_bad_row_stops_every_thread_count_where_the_loop_stops(case, at, threads):
    make, data = CASES[case]
    bad, message = with_bad_row(case, data(), at)
    rows = rows_of(bad)
    batch, loop = make(), make()
    assert outcome(lambda: batch.update_and_score_many(bad, threads=threads)) == (at, f"row {at}: {message}")
    loop_outcome(loop.update_and_score, rows)
    assert batch.to_json() == loop.to_json()
    # The forest scores non-finite points; the others refuse them as updates do.
    assert outcome(lambda: batch.score_many(bad, threads=threads).tolist()) == loop_outcome(loop.score, rows)


@pytest.mark.parametrize(
    ("threads", "error", "message"),
    [
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (1.5, TypeError, "argument 'threads': 'float' object cannot be interpreted as an integer"),
        (None, TypeError, "argument 'threads': 'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_threads_must_be_a_count(threads, error, message):
    f = Forest(2, seed=1)
    with pytest.raises(error, match=f"^{message}$"):
        f.update_many(np.zeros((30, 2)), threads=threads)
    assert f.entries_seen() == 0


def test_threads_is_keyword_only():
    with pytest.raises(TypeError, match="takes 1 positional arguments but 2 were given"):
        Forest(2, seed=1).score_many(np.zeros((3, 2)), 2)
    threads = inspect.signature(Forest.update_many).parameters["threads"]
    assert (threads.kind, threads.default) == (inspect.Parameter.KEYWORD_ONLY, 1)


def test_batches_on_several_python_threads_share_the_pool_or_run_alone():
    make, data = CASES["Forest"]
    x = data()
    expected = make().update_and_score_many(x).tolist()
    results = [None] * 4

    def run(k):
        results[k] = make().update_and_score_many(x, threads=2).tolist()

    workers = [threading.Thread(target=run, args=(k,)) for k in range(len(results))]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert results == [expected] * len(results)


def test_a_forked_child_uses_its_own_pool():
    out = run_child("""
        import numpy as np
        from morvik3 import Forest
        x = np.random.default_rng(1).normal(size=(500, 3))
        make = lambda: Forest(3, num_trees=8, capacity=32, seed=2)
        expected = make().update_and_score_many(x).tolist()
        make().update_and_score_many(x, threads=2)  # the parent's pool is running
        pid = os.fork()
        if pid == 0:
            ok = make().update_and_score_many(x, threads=2).tolist() == expected
            os._exit(0 if ok else 1)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
        """)
    assert out.split() == ["0"]


def test_an_interpreter_exits_cleanly_with_its_pool_idle():
    out = run_child("""
        import numpy as np
        from morvik3 import FeatureSketch, Forest
        Forest(2, seed=1).update_many(np.zeros((200, 2)), threads=3)
        FeatureSketch(seed=1).update_many([{"a": 1.0}] * 50, threads=2)
        print("done")
        """)
    assert out.split() == ["done"]
