"""Scoring a whole DataFrame with one detector per key, and the detectors'
documents after it, so that the next run continues where this one stopped."""

from collections.abc import Mapping, Sequence
from functools import partial
from typing import Any

import pandas as pd
from pyspark.sql import DataFrame

from morvik3.spark import frames
from morvik3.spark.plan import TICK


def score_by_key(
    df: DataFrame,
    key: str | Sequence[str],
    time: str,
    values: frames.Values,
    detector: str = "forest",
    params: Mapping[str, Any] | None = None,
    seed: int = 0,
    states: DataFrame | None = None,
) -> DataFrame:
    """Scores every row of `df` with the detector of its key.

    Each key's rows, ordered by `time` (ties by their values), are fed in
    one pass through one detector: the one stored for that key in `states`,
    or a new one seeded from `seed` and the key (see `key_seed`).

    Parameters
    ----------
    df : pyspark.sql.DataFrame
    key : str or list of str
        The column(s) whose values name a series.
    time : str
        The column that orders each key's rows. An mstream takes its
        timestamps from it: integers as they are, timestamps as whole
        seconds since the epoch.
    values : the columns the detector reads
        forest, onlineiforest: a column name or a list of them (numbers);
        mstream: a pair (numeric columns, categorical columns (integers));
        featuresketch: one map column of feature name to number.
    detector : {"forest", "onlineiforest", "mstream", "featuresketch"}
    params : dict, optional
        Constructor arguments of every new detector, beyond the widths
        that `values` gives (for example ``{"num_trees": 50, "shingle_size": 8}``).
    seed : int
        The run's seed, 0 to 2**64 - 1.
    states : pyspark.sql.DataFrame, optional
        The key column(s) and "state", a detector document per key, as
        `final_states` returns them.

    Returns
    -------
    pyspark.sql.DataFrame
        The columns of `df` followed by "score" (double) and "error"
        (string). A row the detector refuses (a value that is not a finite
        number, a null) gets a null score and the detector's message in
        "error", and leaves its key's detector as it was. A key whose
        stored document does not load starts afresh, and its first row
        says so in "error".
    """
    plan = frames.plan(df, key, time, values, detector, params, seed)
    return _apply(plan, df, states, partial(_scored, plan), frames.scored_schema(df))


def final_states(
    df: DataFrame,
    key: str | Sequence[str],
    time: str,
    values: frames.Values,
    detector: str = "forest",
    params: Mapping[str, Any] | None = None,
    seed: int = 0,
    states: DataFrame | None = None,
) -> DataFrame:
    """The detector documents after feeding `df` as `score_by_key` with the
    same arguments does: the key column(s) and "state", one row per key of
    `df` or of `states` (a key of `states` that has no rows in `df` keeps
    its document). The rows are fed again, without scoring."""
    plan = frames.plan(df, key, time, values, detector, params, seed)
    return _apply(plan, df, states, partial(_final, plan), frames.states_schema(df, plan))


def _apply(plan, df, states, work, schema):
    grouped = frames.prepared(df, plan).groupBy(*plan.keys)
    if states is None:
        return grouped.applyInPandas(lambda key, rows: work(key, rows, None), schema)
    frames.check_states(states, plan)
    stored = states.select(*plan.keys, frames.STATE).groupBy(*plan.keys)
    return grouped.cogroup(stored).applyInPandas(work, schema)


def _start(plan, key, stored):
    """The detector a key starts from, and why its stored document was
    passed over (None when it was not)."""
    documents = [] if stored is None else stored[frames.STATE].dropna().tolist()
    return plan.start(key, documents)


def _scored(plan, key, rows, stored):
    ordered = plan.order(rows)
    out = ordered.drop(columns=TICK, errors="ignore")
    if out.empty:
        return out.assign(score=pd.Series(dtype=float), error=pd.Series(dtype=object))
    detector, problem = _start(plan, key, stored)
    _, scores, errors = plan.run(detector, ordered, note=problem)
    return out.assign(score=scores, error=errors)


def _final(plan, key, rows, stored):
    names = list(plan.keys)
    if rows.empty:
        return stored[[*names, frames.STATE]]  # kept as stored, loadable or not
    detector, _ = _start(plan, key, stored)
    detector, _, _ = plan.run(detector, plan.order(rows), score=False)
    return pd.DataFrame([[*key, detector.to_json()]], columns=[*names, frames.STATE])
