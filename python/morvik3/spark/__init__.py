"""One detector per key on Apache Spark: `score_by_key` scores a DataFrame
(and `final_states` gives the detectors' documents after it, to continue
from in the next run), `score_stream` scores a streaming DataFrame with the
detectors kept in Spark's state store.

Every key's detector is seeded from the run's seed and the key
(`key_seed`), so the same input gives the same scores on any cluster, after
any restart and in any partitioning. Needs the ``spark`` extra:
``pip install 'morvik3[spark]'`` (pyspark, pandas, pyarrow)."""

try:
    import pandas  # noqa: F401
    import pyarrow  # noqa: F401
    import pyspark  # noqa: F401
except ImportError as e:
    raise ImportError(f"morvik3.spark needs pyspark, pandas and pyarrow: pip install 'morvik3[spark]' ({e})") from e

from morvik3.spark.backfill import final_states, score_by_key
from morvik3.spark.plan import key_seed
from morvik3.spark.stream import score_stream

__all__ = ["final_states", "key_seed", "score_by_key", "score_stream"]
