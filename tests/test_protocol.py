"""The object protocol shared by the detector classes."""

import inspect

import pytest

import morvik3
from morvik3 import Forest

# Each entry builds a small seeded detector and feeds it one observation.
DETECTORS = {
    "Forest": (lambda: Forest(3, num_trees=3, capacity=8, seed=11), [0.5, -1.0, 2.0]),
}
DETECTORS["OnlineIForest"] = (
    lambda: morvik3.OnlineIForest(3, num_trees=3, window_size=8, max_leaf_samples=2, seed=11),
    [0.5, -1.0, 2.0],
)
if hasattr(morvik3, "FeatureSketch"):
    DETECTORS["FeatureSketch"] = (
        lambda: morvik3.FeatureSketch(chains_per_ensemble=2, sketch_buckets=16, seed=11),
        {"a": 1.0, "b": -2.0},
    )


@pytest.fixture(params=sorted(DETECTORS))
def case(request):
    make, observation = DETECTORS[request.param]
    return make, observation


def test_module_facts():
    assert morvik3.__version__ == "0.5.0"
    assert issubclass(morvik3.InternalError, BaseException)
    assert not issubclass(morvik3.InternalError, Exception)


def test_type_facts(case):
    make, _ = case
    obj = make()
    cls = type(obj)
    assert cls.__module__ == "morvik3.morvik3"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        obj.anything = 1
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        import weakref

        weakref.ref(obj)
    assert repr(obj) == str(obj)
    assert repr(obj).startswith(cls.__name__ + "(")


def test_signatures_are_introspectable(case):
    make, _ = case
    cls = type(make())
    params = lambda f: list(inspect.signature(f).parameters)  # noqa: E731
    assert params(cls.update) in (["self", "point"], ["self", "feature"])
    assert params(cls.from_json) == ["json"]
    assert params(cls.save_json) == ["self", "path"]
    assert params(cls.__deepcopy__) == ["self", "memo"]
    assert inspect.signature(cls).parameters["seed"].default is None


def test_getstate_is_the_document(case):
    make, _ = case
    obj = make()
    assert obj.__getstate__() == obj.to_json()


def test_setstate_failure_keeps_state(case):
    make, observation = case
    obj = make()
    obj.update(observation)
    before = obj.to_json()
    with pytest.raises(ValueError):
        obj.__setstate__("{not json")
    assert obj.to_json() == before
    other = make()
    other.__setstate__(before)
    assert other.to_json() == before


def test_save_and_load(tmp_path, case):
    make, observation = case
    obj = make()
    obj.update(observation)
    path = tmp_path / "state.json"
    path.write_text("stale contents that are longer than the document " * 100)
    obj.save_json(path)
    data = path.read_bytes()
    assert data == obj.to_json().encode() and not data.endswith(b"\n")
    assert type(obj).load_json(str(path)).to_json() == obj.to_json()
