"""One detector per key: which detector a key gets, the rows it reads and
in what order, and how a key's rows are fed through it so that a bad row
costs that row alone.  Plain pandas and numpy: this is the code that runs
on Spark's workers."""

import hashlib
from dataclasses import dataclass

import numpy as np
import pandas as pd

from morvik3._feed import feed, message, refuses
from morvik3._registry import KINDS

MAX_SEED = 2**64 - 1
# Column of MStream ticks computed by Spark from a timestamp column.
TICK = "__morvik3_tick"


def key_seed(seed: int, key: object) -> int:
    """The seed of the detector of `key` (a value, or a tuple of the values
    of several key columns) in a run with seed `seed`.

    It is the first 8 bytes, little-endian, of the BLAKE2b digest (8-byte
    digest) of `seed` as 8 little-endian bytes followed by the key's values
    as text (UTF-8), joined by NUL characters: the same on any machine, in
    any process and in any partitioning."""
    values = key if isinstance(key, tuple) else (key,)
    text = "\0".join(str(_plain(v)) for v in values)
    digest = hashlib.blake2b(seed.to_bytes(8, "little") + text.encode(), digest_size=8).digest()
    return int.from_bytes(digest, "little")


def _plain(value):
    """The Python value of a numpy or pandas scalar, so that a key reads the
    same whether it comes from a pandas column or from Spark's key tuple."""
    if isinstance(value, pd.Timestamp):
        return value.to_pydatetime()
    return value.item() if isinstance(value, np.generic) else value


@dataclass(frozen=True)
class Plan:
    """The detector every key gets and the columns it reads.

    `numeric` and `categorical` are the point columns (a detector of
    "table" input reads `numeric` only), `features` the map column of one of
    "events" input; `ticks` is the column of the timestamps of "records"."""

    detector: str
    params: dict
    seed: int
    keys: tuple
    time: str
    numeric: tuple = ()
    categorical: tuple = ()
    features: str | None = None
    ticks: str | None = None

    def new(self, key):
        """A fresh detector for `key`."""
        return self.create(key_seed(self.seed, key))

    @property
    def kind(self):
        return KINDS[self.detector]

    def create(self, seed):
        widths = [len(getattr(self, sort)) for _, sort in self.kind.shape]
        return self.kind.create(widths, seed=seed, **self.params)

    def start(self, key, documents):
        """The detector `key` starts from, given its stored `documents`
        (none, or one), and the message of why a stored one was not used
        (None when it was, or when there was none).  A key whose document
        does not load starts afresh rather than failing every row."""
        if not documents:
            return self.new(key), None
        if len(documents) > 1:
            reason = f"states holds {len(documents)} documents for this key"
        else:
            try:
                return self.kind.cls.from_json(documents[0]), None
            except BaseException as e:
                if not refuses(e):
                    raise
                reason = message(e)
        return self.new(key), f"the key's stored state does not load ({reason}): it starts afresh"

    def order(self, frame):
        """`frame`'s rows in the order the detector takes them: by time, ties
        broken by the values and then by the other columns, so that the
        order never depends on how Spark delivered the rows."""
        inputs = [self.time, *self.numeric, *self.categorical, *([self.features] if self.features else [])]
        rest = [c for c in frame.columns if c not in inputs and c not in self.keys and c != TICK]
        return frame.sort_values([*inputs, *rest], key=_sortable, ignore_index=True)

    def run(self, detector, frame, score=True, note=None):
        """Feeds the rows of `frame` (in order) to `detector` and returns
        the detector that holds the outcome, the scores (NaN where a row was
        refused) and the errors (None where a row was taken), the first row's
        led by `note` when one is given.

        A refused row leaves the detector as it was before that row: the
        rows before it are learned, it is skipped, and the rows after it
        are learned."""
        n = len(frame)
        errors = np.full(n, None, dtype=object)
        missing = frame[self.time].isna().to_numpy()
        errors[missing] = f"{self.time} is null"
        taken = np.flatnonzero(~missing)
        rows = frame.iloc[taken] if missing.any() else frame
        detector, scores, refused = feed(detector, self.arguments(rows), len(rows), score)
        all_scores = np.full(n, np.nan)
        all_scores[taken] = scores
        errors[taken] = refused
        if note is not None and n:
            errors[0] = note if errors[0] is None else f"{note}; {errors[0]}"
        return detector, all_scores, errors

    def arguments(self, frame):
        """The arguments of the batch methods for the rows of `frame`."""
        if self.kind.input == "events":
            return (frame[self.features].tolist(),)
        points = _numbers(frame, self.numeric)
        if self.kind.input == "table":
            return (points,)
        ticks = frame[self.ticks or self.time]
        ticks = ticks.to_numpy(np.int64) if ticks.dtype.kind in "iu" else _integers(ticks)
        columns = list(self.categorical)
        if all(frame[c].dtype.kind in "iu" for c in columns):
            categories = frame[columns].to_numpy(np.int64)
        else:
            categories = [list(row) for row in zip(*(_integers(frame[c]) for c in columns))]
        return points, categories, ticks


def _sortable(column):
    # Values pandas cannot order (maps, lists, mixed objects) are ordered by their text.
    return column.map(repr) if column.dtype == object else column


def _numbers(frame, columns):
    """The point columns as a float64 array when they are all numeric, else
    as rows of the cells themselves, for the detector to judge each one."""
    if all(frame[c].dtype.kind in "biuf" for c in columns):
        return frame[list(columns)].to_numpy(np.float64)
    return frame[list(columns)].to_numpy(object).tolist()


def _integers(column):
    """The cells of a column that should hold integers (a column of integers
    with nulls arrives as floats): whole floats become ints and nulls None,
    and anything else is left for the detector to refuse."""
    def cell(v):
        if isinstance(v, float | np.floating):
            return None if np.isnan(v) else int(v) if float(v).is_integer() else v
        return _plain(v)

    return [cell(v) for v in column.tolist()]
