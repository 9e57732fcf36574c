"""Forest construction: validation order, derived settings and seeding."""

import json

import pytest

from morvik3 import Forest

U64 = 2**64 - 1


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"input_dim": 0, "capacity": 0}, "input_dim must be > 0"),
        ({"shingle_size": 0}, "shingle_size must be > 0"),
        ({"input_dim": 2**32, "shingle_size": 2**32}, "input_dim * shingle_size overflows usize"),
        ({"capacity": 0, "num_trees": 0}, "capacity must be > 0"),
        ({"num_trees": 0, "time_decay": -1.0}, "num_trees must be > 0"),
        ({"capacity": 2**63}, "2 * capacity + 4 overflows usize"),
        ({"capacity": (U64 - 4) // 2 + 1}, "2 * capacity + 4 overflows usize"),
        ({"capacity": 2**32, "num_trees": 2**32}, "capacity * num_trees + 1 overflows usize"),
        ({"capacity": 3, "num_trees": U64 // 3}, "capacity * num_trees + 1 overflows usize"),  # == 2^64 - 1
        ({"time_decay": -1e-300, "initial_accept_fraction": 2.0}, "time_decay must be finite and >= 0.0"),
        ({"time_decay": float("nan")}, "time_decay must be finite and >= 0.0"),
        ({"time_decay": float("inf")}, "time_decay must be finite and >= 0.0"),
        ({"initial_accept_fraction": 1.0000001}, "initial_accept_fraction must be finite and in [0.0, 1.0]"),
        ({"initial_accept_fraction": float("nan")}, "initial_accept_fraction must be finite and in [0.0, 1.0]"),
        ({"initial_accept_fraction": -0.1}, "initial_accept_fraction must be finite and in [0.0, 1.0]"),
    ],
)
def test_validation_order_and_messages(kwargs, message):
    kwargs = {"input_dim": 3, **kwargs}
    with pytest.raises(ValueError) as info:
        Forest(seed=1, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "kwargs",
    [{"time_decay": -0.0}, {"initial_accept_fraction": 0.0}, {"initial_accept_fraction": 1.0}],
)
def test_boundary_settings_accepted(kwargs):
    Forest(3, seed=1, **kwargs)


@pytest.mark.parametrize(
    "kwargs",
    [
        {"capacity": (U64 - 4) // 2, "num_trees": 1},  # the largest capacity that passes validation
        {"capacity": 2, "num_trees": U64 // 2 - 1},
        {"capacity": 2**60, "num_trees": 1},
        {"capacity": 2**31, "num_trees": 2**31},
        {"input_dim": 2**62, "capacity": 1, "num_trees": 1},
    ],
)
def test_valid_settings_beyond_memory_raise_memory_error(kwargs):
    # Sizes must not wrap into a small, inconsistent store.
    with pytest.raises(MemoryError):
        Forest(**{"input_dim": 3, **kwargs}, seed=1)


def test_defaults_and_repr():
    f = Forest(3)
    assert repr(f) == "Forest(input_dim=3, shingle_size=1, num_trees=50, capacity=256, entries_seen=0)"
    assert f.num_trees() == 50 and f.entries_seen() == 0 and f.is_ready() is False
    config = json.loads(f.to_json())["config"]
    assert config == {
        "input_dim": 3,
        "shingle_size": 1,
        "capacity": 256,
        "num_trees": 50,
        "time_decay": 0.0,
        "output_after": 0,
        "internal_shingling": True,
        "initial_accept_fraction": 0.125,
    }


@pytest.mark.parametrize(
    ("capacity", "num_trees", "rows"),
    [(10, 1, 20), (256, 50, 256 * 50 + 1), (4, 2, 9), (1, 1, 2)],
)
def test_empty_forest_document_shape(capacity, num_trees, rows):
    doc = json.loads(Forest(2, shingle_size=3, capacity=capacity, num_trees=num_trees, seed=5).to_json())
    assert list(doc) == ["config", "trees", "samplers", "point_store", "entries_seen", "rng"]
    assert len(doc["trees"]) == len(doc["samplers"]) == num_trees
    for tree, sampler in zip(doc["trees"], doc["samplers"]):
        assert list(tree) == ["root", "tree_mass", "arena", "rng", "dims"]
        assert tree["root"] == U64 and tree["tree_mass"] == 0 and tree["dims"] == 6
        assert tree["arena"] == {"nodes": [], "free": []}
        assert sampler == {"capacity": capacity, "weights": [0.0] * capacity, "point_indices": [U64] * capacity,
                           "size": 0}
    # The store starts with room for every sampler.
    store = doc["point_store"]
    assert store["capacity"] == rows and store["store"]["dim"] == [rows, 6] and store["shingle_buf"] == [0.0] * 6
    assert store["occupied"] == [False] * rows and store["ref_count"] == [0] * rows
    assert store["next_free"] == 0 and store["size"] == 0 and store["free_list"] == []


def test_unseeded_forests_differ():
    assert Forest(3).to_json() != Forest(3).to_json()


@pytest.mark.parametrize("seed", [0, 1, 12345, 2**64 - 1])
def test_generators_derive_from_the_seed(seed):
    from rng_oracle import Xoshiro

    doc = json.loads(Forest(2, num_trees=3, capacity=4, seed=seed).to_json())
    master = Xoshiro.seed_from_u64(seed)
    expected_trees = [Xoshiro.seed_from_u64(master.next_u64()).s for _ in range(3)]
    expected_forest = Xoshiro.seed_from_u64(master.next_u64()).s
    assert [tree["rng"]["s"] for tree in doc["trees"]] == expected_trees
    assert doc["rng"]["s"] == expected_forest
