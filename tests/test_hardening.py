"""No input may abort the interpreter, and memory is committed as it is used.

Grouped by the faults they guard against. Anything that could crash or take
the machine if it regressed runs in a child interpreter (under an
address-space limit where memory is the point), so a regression fails its
test instead of the run."""

import json
import os
import re
import threading
import time

import pytest

import morvik3
from children import real_allocator, run_child
from detectors import DETECTORS, IDS, document, fed
from hostile import Grows

per_class = pytest.mark.parametrize("detector", DETECTORS, ids=IDS)


# --- 1. A sequence that reports a wrong length ---------------------------------


@per_class
def test_overstated_lengths_convert_what_is_there(detector):
    # Plausible lengths: one beyond what memory could hold is refused at once.
    out = run_child(
        f"""
        import random
        from detectors import DETECTORS
        from hostile import Overstated
        detector = next(d for d in DETECTORS if d.name == {detector.name!r})
        rng = random.Random(3)
        plain, overstated = detector.make(), detector.make()
        for i in range(6):
            args = detector.observe(rng, i)
            plain.update(*args)
            overstated.update(*[Overstated(a) if isinstance(a, list) else a for a in args])
        text = plain.to_json()
        print(overstated.to_json() == text, detector.cls.from_json(Overstated(text.encode())).to_json() == text)
        """
    )
    assert out.split() == ["True", "True"]


def test_overstated_length_of_the_wrong_size_is_reported_as_such():
    out = run_child(
        """
        import morvik3
        from hostile import Overstated
        f = morvik3.Forest(1, num_trees=1, capacity=2, seed=1)
        for length in (10**6, 2**24):
            try:
                f.update(Overstated([1.0, 2.0, 3.0], length))
            except ValueError as e:
                print(e)
        """
    )
    assert out.splitlines() == ["dimension mismatch: expected 1, got 3"] * 2


@real_allocator
def test_huge_sequences_end_in_memory_error_not_abort():
    out = run_child(
        """
        import morvik3
        limit_address_space(mapped() + 128 * MiB)
        f = morvik3.Forest(1, num_trees=1, capacity=2, seed=1)
        before = f.to_json()
        for call in (lambda: f.score(range(10**12)), lambda: f.update(range(2**62))):
            try:
                call()
            except MemoryError:
                print("MemoryError")
        assert f.to_json() == before
        try:
            morvik3.Forest.from_json(range(2**62))
        except MemoryError:
            print("MemoryError")
        """
    )
    assert out.splitlines() == ["MemoryError"] * 3


# --- 2. Running out of memory outside the cores -------------------------------


@real_allocator
def test_documents_beyond_the_address_space_end_in_python_errors(tmp_path):
    sparse = tmp_path / "sparse.json"
    with open(sparse, "wb") as f:
        f.truncate(3 << 30)
    out = run_child(
        f"""
        import morvik3
        limit_address_space(int(2.3 * 2**30))
        for call in (
            lambda: morvik3.Forest.from_json(" " * (1200 << 20)),  # parsed where it lies: nothing is copied
            lambda: morvik3.Forest.from_json(bytearray(1200 << 20)),  # mutable, so copied
            lambda: morvik3.Forest.load_json({str(sparse)!r}),  # larger than what is left
        ):
            try:
                call()
            except (ValueError, MemoryError) as e:
                print(type(e).__name__, str(e))
        """
    )
    assert out.splitlines() == [
        f"ValueError invalid forest JSON: EOF while parsing a value at line 1 column {1200 << 20}",
        "MemoryError ",
        "MemoryError ",
    ]


@per_class
def test_only_regular_files_are_read(detector, tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    # In a child: were the check gone, /dev/zero would be read forever and
    # opening the pipe would wait for a writer.
    out = run_child(
        f"""
        import morvik3
        for path in ("/dev/zero", {str(fifo)!r}, {str(tmp_path)!r}):
            try:
                morvik3.{detector.name}.load_json(path)
            except RuntimeError as e:
                print(e)
        """,
        timeout=60,
    )
    assert out.splitlines() == [
        f"I/O error: Not a regular file: '{p}'" for p in ("/dev/zero", fifo, tmp_path)
    ]


# --- 3. Configurations that could take the whole machine ----------------------

LARGE = {
    # Each needs gigabytes once full, and fits in a few megabytes until used.
    "Forest": "Forest(3, num_trees=256, capacity=2**16, seed=1)",
    "FeatureSketch": "FeatureSketch(sketch_buckets=2**18, seed=1)",
    "OnlineIForest": "OnlineIForest(3, window_size=2**22, seed=1)",
    "MStream": "MStream(2, 1, num_buckets=2**22, seed=1)",
    "ScoreCalibrator": "ScoreCalibrator(window=2**25)",
}


@real_allocator
@per_class
def test_large_configurations_commit_memory_as_they_are_used(detector):
    out = run_child(
        f"""
        import copy, random, morvik3
        from detectors import DETECTORS
        observe = next(d for d in DETECTORS if d.name == {detector.name!r}).observe
        from morvik3 import *
        start = resident()
        obj = {LARGE[detector.name]}
        built = resident()
        twin = copy.deepcopy(obj)
        rng = random.Random(1)
        for i in range(200):
            obj.update(*observe(rng, i))
        print((built - start) // MiB, (resident() - start) // MiB)
        """
    )
    built, fed_ = map(int, out.split())
    assert built < 64
    assert fed_ < 128


@per_class
def test_configurations_beyond_physical_memory_raise_memory_error(detector):
    for args, kwargs in detector.beyond_memory:
        with pytest.raises(MemoryError) as error:
            detector.cls(*args, **kwargs, **({"seed": 1} if detector.seeded else {}))
        # Both figures: what the configuration needs and what the machine has.
        assert re.search(r"needs (more than )?\d+ bytes .* more than the \d+ bytes .* of physical memory", str(error.value))


@pytest.mark.parametrize("detector", [d for d in DETECTORS if d.edit_beyond_memory], ids=lambda d: d.name)
def test_documents_beyond_physical_memory_raise_memory_error_on_load(detector, tmp_path):
    doc = document(detector)
    detector.edit_beyond_memory(doc)
    text = json.dumps(doc)
    path = tmp_path / "doc.json"
    path.write_text(text)
    obj = fed(detector, 2)
    before = obj.to_json()
    for load in (lambda: detector.cls.from_json(text), lambda: detector.cls.load_json(path),
                 lambda: obj.__setstate__(text)):
        with pytest.raises(MemoryError, match="of physical memory"):
            load()
    assert obj.to_json() == before


@real_allocator
def test_large_scratch_is_released_after_the_call():
    # One event needs 64 MiB of projection vectors; the thread keeps none of it.
    out = run_child(
        """
        import morvik3
        sketch = morvik3.FeatureSketch(value_projection_dims=2**23, chains_per_ensemble=1, chain_depth=1,
                                       sketch_rows=1, sketch_buckets=2, seed=1)
        start = resident()
        sketch.update({"a": 1.0})
        sketch.score({"a": 1.0})
        print((resident() - start) // MiB)
        """
    )
    assert int(out) < 8


# --- 4. Unpickling does not build a default detector first --------------------


@real_allocator
def test_unpickling_costs_about_what_loading_costs():
    # Unpickling calls Forest(20000) before replacing its state: 12,801 rows
    # of 20,000 floats that must cost nothing until used.
    out = run_child(
        """
        import pickle, morvik3
        doc = morvik3.Forest(20000, num_trees=1, capacity=1, seed=1).to_json()
        pickled = pickle.dumps(morvik3.Forest.from_json(doc))
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        assert pickle.loads(pickled).to_json() == doc
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak) // 1024)
        """
    )
    assert int(out) < 64


# --- 5. Paths with an embedded NUL --------------------------------------------


@per_class
def test_paths_with_nul_are_refused_like_open_refuses_them(detector, tmp_path):
    obj = fed(detector, 3)
    obj.save_json(tmp_path / "x")
    for call in (lambda: obj.save_json(str(tmp_path / "y") + "\0.json"),
                 lambda: detector.cls.load_json(str(tmp_path / "x") + "\0.any")):
        with pytest.raises(ValueError, match=r"^embedded null byte$"):
            call()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["x"]


# --- 6. A dict changed during conversion --------------------------------------


@pytest.mark.parametrize(
    ("remove", "message"),
    [(None, "dictionary changed size during iteration"), ("a", "dictionary keys changed during iteration")],
)
def test_dict_changed_during_conversion_raises_runtime_error(remove, message):
    sketch = fed(next(d for d in DETECTORS if d.name == "FeatureSketch"), 3)
    before = sketch.to_json()
    event = {"a": 2.0}
    event["b"] = Grows(event, "c", remove)
    with pytest.raises(RuntimeError) as error:
        sketch.update(event)
    assert type(error.value) is RuntimeError and str(error.value) == message
    assert sketch.to_json() == before


# --- 7. Documents are read, parsed and written detached ------------------------

BIG = {
    # Documents of tens of megabytes, built without feeding anything.
    "Forest": lambda: morvik3.Forest(64, num_trees=50, capacity=4096, seed=1),
    "FeatureSketch": lambda: morvik3.FeatureSketch(sketch_buckets=2**13, seed=1),
    "MStream": lambda: morvik3.MStream(2, 1, num_buckets=2**20, seed=1),
}


def runs_detached(call):
    """Whether another thread made progress while `call` ran."""
    ticks, done = [], threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.0005)

    ticker = threading.Thread(target=tick)
    ticker.start()
    time.sleep(0.01)
    start = time.perf_counter()
    call()
    end = time.perf_counter()
    done.set()
    ticker.join()
    assert end - start > 0.1, "the document is too small to tell"
    return any(start + 0.01 < t < end - 0.01 for t in ticks)


@pytest.mark.parametrize("detector", [d for d in DETECTORS if d.name in BIG], ids=lambda d: d.name)
def test_document_work_lets_other_threads_run(detector, tmp_path):
    obj = BIG[detector.name]()
    text = obj.to_json()
    path = tmp_path / "big.json"
    obj.save_json(path)
    cls = detector.cls
    calls = {
        "to_json": obj.to_json,
        "save_json": lambda: obj.save_json(path),
        "from_json": lambda: cls.from_json(text),
        "from_json(bytes)": lambda: cls.from_json(text.encode()),
        "load_json": lambda: cls.load_json(path),
        "__setstate__": lambda: obj.__setstate__(text),
    }
    # A busy machine may starve the other thread for a while: one run in three
    # must show it progressing, which a call holding the interpreter never lets it.
    assert [name for name, call in calls.items() if not any(runs_detached(call) for _ in range(3))] == []


# --- 8. Messages quote at most 64 characters of the input ---------------------


@per_class
def test_quoted_document_strings_are_cut(detector):
    for n, shown in ((64, "x" * 64), (10**6, "x" * 64 + "...")):
        with pytest.raises(ValueError) as error:
            detector.cls.from_json('"' + "x" * n + '"')
        message = str(error.value)
        assert f'invalid type: string "{shown}", expected struct ' in message
        assert message.endswith(f" at line 1 column {n + 2}")
        assert len(message) < 200


def test_quoted_variant_tags_and_type_names_are_cut():
    doc = json.loads(fed(next(d for d in DETECTORS if d.name == "Forest"), 4).to_json())
    doc["trees"][0]["arena"]["nodes"][0] = {"L" * 1000: {}}
    with pytest.raises(ValueError, match=r"unknown variant `L{64}\.\.\.`, expected `Leaf` or `Internal` at line"):
        morvik3.Forest.from_json(json.dumps(doc))
    with pytest.raises(TypeError, match=r"^argument 'point': 'N{64}\.\.\.' object is not an instance of 'Sequence'$"):
        morvik3.Forest(3).update(type("N" * 1000, (), {})())
