"""Every constructor argument reads back as a read-only property."""

import copy
import inspect
import pickle

import pytest

import morvik3

# Each class built with every argument away from its default; num_trees is
# the method it always was, and the seed is consumed by construction.
CONFIGURED = {
    "Forest": (
        (5,),
        dict(shingle_size=3, num_trees=7, capacity=32, time_decay=0.01, output_after=9, internal_shingling=False,
             initial_accept_fraction=0.5),
    ),
    "OnlineIForest": ((4,), dict(num_trees=5, window_size=64, max_leaf_samples=8)),
    "MStream": ((3, 2), dict(num_rows=3, num_buckets=64, alpha=0.5)),
    "FeatureSketch": (
        (),
        dict(value_projection_dims=8, presence_projection_dims=4, chains_per_ensemble=3, chain_depth=5,
             sketch_rows=3, sketch_buckets=64, decay_half_life=100),
    ),
    "ScoreCalibrator": ((), dict(window=50, warmup=7)),
}
NOT_PROPERTIES = {"seed", "num_trees"}


def given(name):
    """The class, an instance, and the value given for each argument by name."""
    cls = getattr(morvik3, name)
    args, kwargs = CONFIGURED[name]
    parameters = list(inspect.signature(cls).parameters)
    seed = {"seed": 3} if "seed" in parameters else {}
    return cls, cls(*args, **kwargs, **seed), {**dict(zip(parameters, args)), **kwargs}


@pytest.mark.parametrize("name", sorted(CONFIGURED))
def test_every_argument_is_a_property_with_the_given_value(name):
    cls, obj, values = given(name)
    arguments = set(inspect.signature(cls).parameters) - NOT_PROPERTIES
    described = {k for k, v in vars(cls).items() if inspect.isgetsetdescriptor(v)}
    assert described == arguments
    assert set(values) - NOT_PROPERTIES == arguments  # the table above sets every argument
    for key in arguments:
        assert getattr(obj, key) == values[key], key
        assert type(getattr(obj, key)) is type(values[key]), key
    if "num_trees" in values:
        assert obj.num_trees() == values["num_trees"]


@pytest.mark.parametrize("name", sorted(CONFIGURED))
def test_properties_survive_every_way_of_making_an_object(name):
    cls, obj, values = given(name)
    restored = [cls.from_json(obj.to_json()), copy.deepcopy(obj), pickle.loads(pickle.dumps(obj))]
    for other in restored:
        for key in set(values) - NOT_PROPERTIES:
            assert getattr(other, key) == values[key], key


@pytest.mark.parametrize("name", sorted(CONFIGURED))
def test_properties_are_read_only_and_documented(name):
    cls, obj, values = given(name)
    for key in set(values) - NOT_PROPERTIES:
        with pytest.raises(AttributeError):
            setattr(obj, key, values[key])
        with pytest.raises(AttributeError):
            delattr(obj, key)
        doc = getattr(cls, key).__doc__
        assert doc and "\n" not in doc and doc[0].isupper(), key
    assert not hasattr(obj, "seed")


def test_automatic_forest_values_read_back_as_given():
    # 0 asks for the automatic value; the property answers what was asked, as the document keeps it.
    forest = morvik3.Forest(2, capacity=64, seed=1)
    assert (forest.time_decay, forest.output_after) == (0.0, 0)
    assert '"time_decay":0.0' in forest.to_json() and '"output_after":0' in forest.to_json()
