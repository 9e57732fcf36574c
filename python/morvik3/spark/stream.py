"""Scoring a stream with one detector per key, the detectors' documents
kept in Spark's state store: checkpointed with the query, so that a query
restarted from its checkpoint goes on with the same detectors."""

import datetime
import numbers
from collections.abc import Mapping, Sequence
from typing import Any

import pandas as pd
from pyspark.sql import DataFrame
from pyspark.sql.streaming import StatefulProcessor

from morvik3.spark import frames
from morvik3.spark.plan import TICK

ROCKSDB = "org.apache.spark.sql.execution.streaming.state.RocksDBStateStoreProvider"
PROVIDER = "spark.sql.streaming.stateStore.providerClass"


def score_stream(
    stream_df: DataFrame,
    key: str | Sequence[str],
    time: str,
    values: frames.Values,
    detector: str = "forest",
    params: Mapping[str, Any] | None = None,
    seed: int = 0,
    idle_timeout: float | datetime.timedelta | None = None,
) -> DataFrame:
    """Scores every row of the streaming DataFrame `stream_df` with the
    detector of its key, as `score_by_key` does for a batch DataFrame.

    Each micro-batch's rows of a key, ordered by `time` (ties by their
    values), go through that key's detector, which is kept as its document
    in the state store between micro-batches. A key seen for the first
    time gets a new detector seeded from `seed` and the key (see
    `key_seed`); settings changed on a restart apply to new keys only. A
    row the detector refuses gets a null score and its message in "error";
    a key whose stored document does not load starts afresh, and the
    first row after that says so in "error": no key stops the query.

    `idle_timeout` (seconds, or a `datetime.timedelta`) drops the detector
    of a key that has had no rows for that long (in processing time), so
    that the state of departed keys does not pile up; the key starts afresh
    if it comes back. Spark runs the query in processing-time mode then:
    with ``trigger(availableNow=True)`` set
    ``spark.sql.streaming.noDataMicroBatches.enabled`` to ``false``, or the
    query keeps running empty micro-batches instead of stopping.

    Returns a streaming DataFrame with the columns of `stream_df` followed
    by "score" and "error", to be written in append mode. It needs the
    RocksDB state store (``spark.sql.streaming.stateStore.providerClass``
    set to ``org.apache.spark.sql.execution.streaming.state.RocksDBStateStoreProvider``).
    """
    if not stream_df.isStreaming:
        raise ValueError("score_stream takes a streaming DataFrame (spark.readStream); score_by_key takes a batch one")
    provider = stream_df.sparkSession.conf.get(PROVIDER, None)
    if provider != ROCKSDB:
        raise RuntimeError(f"score_stream keeps its detectors in the RocksDB state store: set {PROVIDER} to {ROCKSDB}")
    ttl = _milliseconds(idle_timeout)
    plan = frames.plan(stream_df, key, time, values, detector, params, seed)
    return frames.prepared(stream_df, plan).groupBy(*plan.keys).transformWithStateInPandas(
        statefulProcessor=_Detectors(plan, ttl),
        outputStructType=frames.scored_schema(stream_df),
        outputMode="Append",
        timeMode="None" if ttl is None else "ProcessingTime",
    )


def _milliseconds(timeout):
    if timeout is None:
        return None
    if isinstance(timeout, datetime.timedelta):
        seconds = timeout.total_seconds()
    elif isinstance(timeout, numbers.Real) and not isinstance(timeout, bool):
        seconds = float(timeout)
    else:
        raise TypeError(f"idle_timeout must be seconds or a datetime.timedelta, not {type(timeout).__name__}")
    if not seconds >= 0.001:
        raise ValueError(f"idle_timeout must be at least one millisecond, got {timeout!r}")
    return round(seconds * 1000)


class _Detectors(StatefulProcessor):
    """Holds each key's detector document as its value state."""

    def __init__(self, plan, ttl):
        self.plan = plan
        self.ttl = ttl

    def init(self, handle):
        self.document = handle.getValueState("detector", "document string", self.ttl)

    def handleInputRows(self, key, rows, timerValues):
        ordered = self.plan.order(pd.concat(list(rows), ignore_index=True))
        stored = self.document.get() if self.document.exists() else None
        detector, problem = self.plan.start(key, [] if stored is None else [stored[0]])
        detector, scores, errors = self.plan.run(detector, ordered, note=problem)
        self.document.update((detector.to_json(),))
        yield ordered.drop(columns=TICK, errors="ignore").assign(score=scores, error=errors)

    def close(self):
        pass
