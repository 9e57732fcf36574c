"""The driver's side of a run: the arguments checked against the DataFrame
before any work is sent out, and the schemas of what comes back."""

import operator
from collections.abc import Mapping, Sequence

from pyspark.sql import functions as F
from pyspark.sql import types as T

from morvik3._registry import KINDS
from morvik3.spark.plan import MAX_SEED, TICK, Plan

# Column names a detector reads: numeric ones, (numeric, categorical) for
# "records" input, or one map column for "events".
Values = str | Sequence[str] | tuple[Sequence[str], Sequence[str]]

STATE = "state"
SCORE = T.StructField("score", T.DoubleType())
ERROR = T.StructField("error", T.StringType())


def plan(frame, key, time, values, detector, params, seed):
    """The Plan of a run over `frame`; raises for arguments that could
    never work, so that no job starts with them."""
    if detector not in KINDS:
        raise ValueError(f"unknown detector {detector!r}; choose one of {', '.join(sorted(KINDS))}")
    kind = KINDS[detector]
    try:
        seed = operator.index(seed)
    except TypeError:
        raise TypeError(f"seed must be an integer, not {type(seed).__name__}") from None
    if not 0 <= seed <= MAX_SEED:
        raise ValueError(f"seed must be in [0, 2**64 - 1], got {seed}")
    if params is not None and not isinstance(params, Mapping):
        raise TypeError(f"params must be a mapping of constructor arguments, not {type(params).__name__}")
    keys = _names(key, "key")
    found = {f.name: f.dataType for f in frame.schema.fields}
    for taken in (SCORE.name, ERROR.name):
        if taken in found:
            raise ValueError(f"the DataFrame already has a column {taken!r}; rename it first")

    layout = {}
    if kind.input == "events":
        if not isinstance(values, str):
            raise TypeError(f"values of a {detector} is the name of one map column (feature name to value)")
        layout["features"] = values
    elif kind.input == "records":
        if not isinstance(values, tuple | list) or len(values) != 2:
            raise TypeError(f"values of an {detector} is a pair (numeric columns, categorical columns)")
        layout["numeric"] = _names(values[0], "numeric values", empty=True)
        layout["categorical"] = _names(values[1], "categorical values", empty=True)
    else:
        layout["numeric"] = _names(values, "values")
    named = [*keys, time, *layout.get("numeric", ()), *layout.get("categorical", ()), layout.get("features")]
    for name in filter(None, named):
        if name not in found:
            raise ValueError(f"the DataFrame has no column {name!r} (columns: {', '.join(found)})")
    if kind.input == "events" and not isinstance(found[values], T.MapType):
        raise TypeError(f"column {values!r} must be a map of feature name to value, not {found[values].simpleString()}")
    if kind.input == "records":
        layout["ticks"] = _ticks(detector, time, found[time])

    result = Plan(detector, dict(params or {}), seed, keys, time, **layout)
    result.create(0)  # the detector's own message for settings it refuses
    return result


def _names(given, what, empty=False):
    names = (given,) if isinstance(given, str) else tuple(given)
    if not names and not empty:
        raise ValueError(f"{what} names no column")
    if not all(isinstance(n, str) for n in names):
        raise TypeError(f"{what} must be column names (str)")
    return names


def _ticks(detector, time, type_):
    """The column of record timestamps: the time column itself when it
    holds integers, or a column of whole seconds that Spark computes from a
    timestamp (exact in any session time zone)."""
    if isinstance(type_, T.IntegralType):
        return None
    if isinstance(type_, T.TimestampType):
        return TICK
    raise TypeError(f"the time column of an {detector} must hold integers or timestamps, not {type_.simpleString()}")


def prepared(frame, plan):
    """`frame` with the columns the workers need beyond its own."""
    return frame.withColumn(TICK, F.col(plan.time).cast("long")) if plan.ticks == TICK else frame


def scored_schema(frame):
    return T.StructType([*frame.schema.fields, SCORE, ERROR])


def states_schema(frame, plan):
    fields = {f.name: f for f in frame.schema.fields}
    return T.StructType([*(fields[k] for k in plan.keys), T.StructField(STATE, T.StringType())])


def check_states(states, plan):
    found = set(states.columns)
    missing = [c for c in (*plan.keys, STATE) if c not in found]
    if missing:
        raise ValueError(f"states must have the key column(s) and {STATE!r}; missing: {', '.join(missing)}")
