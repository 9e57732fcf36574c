"""Argument conversion: accepted Python values and the exact error texts."""

import array

import numpy as np
import pytest

from morvik3 import Forest


@pytest.fixture
def forest():
    return Forest(3, num_trees=4, capacity=8, seed=7)


def doc_after(point):
    f = Forest(3, num_trees=4, capacity=8, seed=7)
    f.update(point)
    return f.to_json()


@pytest.mark.parametrize(
    "point",
    [
        [1.0, 2.0, 3.0],
        (1, 2, 3),
        range(1, 4),
        np.array([1, 2, 3], dtype=np.int32),
        np.array([1.0, 2.0, 3.0], dtype=np.float32),
        array.array("d", [1.0, 2.0, 3.0]),
        [np.float64(1.0), np.int64(2), True + 2],
        bytes([1, 2, 3]),
    ],
)
def test_point_sequences_convert_elementwise(point):
    assert doc_after(point) == doc_after([1.0, 2.0, 3.0])


@pytest.mark.parametrize(
    ("point", "message"),
    [
        ("abc", "argument 'point': Can't extract `str` to `Vec`"),
        ({"a": 1.0}, "argument 'point': 'dict' object is not an instance of 'Sequence'"),
        ((x for x in [1.0, 2.0, 3.0]), "argument 'point': 'generator' object is not an instance of 'Sequence'"),
        (5, "argument 'point': 'int' object is not an instance of 'Sequence'"),
        ([1.0, "x", 3.0], "argument 'point': must be real number, not str"),
        ([1.0, None, 3.0], "argument 'point': must be real number, not NoneType"),
    ],
)
def test_point_conversion_errors(forest, point, message):
    before = forest.to_json()
    with pytest.raises(TypeError) as info:
        forest.update(point)
    assert str(info.value) == message
    assert forest.to_json() == before
    # The argument prefix wraps the underlying error, which stays reachable.
    assert isinstance(info.value.__cause__, TypeError)


def test_float_conversion_overflow_passes_unchanged(forest):
    with pytest.raises(OverflowError):
        forest.update([10**400, 0.0, 0.0])


@pytest.mark.parametrize(
    ("kwargs", "exc", "message"),
    [
        ({"seed": -1}, OverflowError, None),
        ({"seed": 2**64}, OverflowError, None),
        ({"seed": 1.5}, TypeError, "argument 'seed': 'float' object cannot be interpreted as an integer"),
        ({"capacity": 2.0}, TypeError, "argument 'capacity': 'float' object cannot be interpreted as an integer"),
        ({"capacity": -4}, OverflowError, None),
        ({"time_decay": "x"}, TypeError, "argument 'time_decay': must be real number, not str"),
        ({"internal_shingling": 1}, TypeError, "argument 'internal_shingling': 'int' object is not an instance of 'bool'"),
        ({"internal_shingling": None}, TypeError, "argument 'internal_shingling': 'NoneType' object is not an instance of 'bool'"),
    ],
)
def test_scalar_conversion_errors(kwargs, exc, message):
    with pytest.raises(exc) as info:
        Forest(3, **kwargs)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize(
    ("kwargs", "same_as"),
    [
        ({"seed": np.uint64(5)}, {"seed": 5}),
        ({"capacity": np.int64(16)}, {"capacity": 16}),
        ({"time_decay": 1}, {"time_decay": 1.0}),
        ({"initial_accept_fraction": np.float32(0.5)}, {"initial_accept_fraction": 0.5}),
        ({"internal_shingling": np.bool_(False)}, {"internal_shingling": False}),  # its truth value, not its type
    ],
)
def test_scalar_conversions_accepted(kwargs, same_as):
    assert Forest(3, **{"seed": 1, **kwargs}).to_json() == Forest(3, **{"seed": 1, **same_as}).to_json()


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: Forest(), "Forest.__new__() missing 1 required positional argument: 'input_dim'"),
        (lambda: Forest(3, bogus=1), "Forest.__new__() got an unexpected keyword argument 'bogus'"),
        (lambda: Forest(3, input_dim=3), "Forest.__new__() got multiple values for argument 'input_dim'"),
        (
            lambda: Forest(*range(1, 11)),
            "Forest.__new__() takes from 1 to 9 positional arguments but 10 were given",
        ),
    ],
)
def test_constructor_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_method_argument_errors(forest):
    with pytest.raises(TypeError, match=r"^Forest.update\(\) missing 1 required positional argument: 'point'$"):
        forest.update()
    with pytest.raises(TypeError, match=r"^Forest.update\(\) takes 1 positional arguments but 2 were given$"):
        forest.update([1, 2, 3], [4, 5, 6])
    with pytest.raises(TypeError, match=r"^Forest.update\(\) got an unexpected keyword argument 'x'$"):
        forest.update(x=[1, 2, 3])
    with pytest.raises(TypeError, match=r"^Forest.update\(\) got multiple values for argument 'point'$"):
        forest.update([1, 2, 3], point=[1, 2, 3])
    with pytest.raises(TypeError):
        forest.is_ready(1)
    forest.update(point=[1, 2, 3])
    assert forest.entries_seen() == 1


@pytest.mark.parametrize(
    "wrap",
    [
        lambda s: s,
        lambda s: s.encode(),
        lambda s: bytearray(s, "utf-8"),
        lambda s: list(s.encode()),
        lambda s: memoryview(s.encode()).tolist(),
    ],
)
def test_documents_accept_str_and_bytes(forest, wrap):
    text = forest.to_json()
    assert Forest.from_json(wrap(text)).to_json() == text


@pytest.mark.parametrize(
    ("value", "str_error", "bytes_error"),
    [
        (12, "TypeError: 'int' object is not an instance of 'str'", "TypeError: 'int' object is not an instance of 'Sequence'"),
        ([1, 256], "TypeError: 'list' object is not an instance of 'str'", "OverflowError: out of range integral type conversion attempted"),
    ],
)
def test_document_argument_errors_name_both_variants(value, str_error, bytes_error):
    with pytest.raises(TypeError) as info:
        Forest.from_json(value)
    assert str(info.value) == (
        "argument 'json': failed to extract enum StrOrBytes ('Str | Bytes')\n"
        f"- variant Str (Str): {str_error}\n"
        f"- variant Bytes (Bytes): {bytes_error}"
    )


def test_setstate_requires_str(forest):
    text = forest.to_json()
    with pytest.raises(TypeError, match=r"^argument 'state': 'bytes' object is not an instance of 'str'$"):
        forest.__setstate__(text.encode())
    with pytest.raises(UnicodeEncodeError):
        forest.__setstate__("\ud800")
    assert forest.to_json() == text


def test_path_arguments_must_be_path_like(tmp_path, forest):
    for path in (bytes(tmp_path / "forest.json"), 3):
        with pytest.raises(TypeError, match=r"^argument 'path': "):
            forest.save_json(path)
