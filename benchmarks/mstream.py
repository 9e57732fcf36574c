"""MStream throughput of the per-record `update_and_score` with defaults on a
seeded stream of records with 10 numeric and 3 categorical features, over
500 ticks and with one record per tick, and the size of the state document."""

import time

import numpy as np

import morvik3
from _machine import describe

RECORDS = 500_000
TICKS = 500
NUMERIC = 10
CATEGORIES = (20, 100, 5)  # values per categorical feature
CHUNK = 50_000  # records generated at a time, outside the timed loop


def chunks(seed=2024):
    """(numeric, categorical) lists: normal traffic with a rare burst of odd records."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(0.0, 5.0, size=NUMERIC)
    for start in range(0, RECORDS, CHUNK):
        numeric = rng.normal(centres, 1.0, size=(CHUNK, NUMERIC))
        categorical = np.stack([rng.integers(0, n, size=CHUNK) for n in CATEGORIES], axis=1)
        odd = rng.random(CHUNK) < 0.002
        numeric[odd] += rng.normal(0.0, 50.0, size=(odd.sum(), NUMERIC))
        categorical[odd] = rng.integers(1000, 2000, size=(odd.sum(), len(CATEGORIES)))
        yield start, numeric.tolist(), categorical.tolist()


def run(method, ticks):
    """Seconds spent in `method` over the whole stream; timestamps spread the
    records evenly over `ticks` ticks."""
    detector = morvik3.MStream(NUMERIC, len(CATEGORIES), seed=1)
    call = getattr(detector, method)
    per_tick = RECORDS // ticks
    seconds = 0.0
    for start, numeric, categorical in chunks():
        timestamps = [1 + (start + k) // per_tick for k in range(len(numeric))]
        begin = time.perf_counter()
        for x, c, t in zip(numeric, categorical, timestamps):
            call(x, c, t)
        seconds += time.perf_counter() - begin
    return seconds, detector


def main():
    spread_seconds, detector = run("update_and_score", TICKS)
    per_tick_seconds, _ = run("update_and_score", RECORDS)
    document = detector.to_json()

    print(describe())
    print(f"stream: {RECORDS:,} records of {NUMERIC} numeric (normal) and {len(CATEGORIES)} categorical "
          f"features ({', '.join(map(str, CATEGORIES))} values), 0.2% odd records; {detector!r}")
    print(f"{'measure':<58}{'value':>14}")
    print(f"{f'update_and_score, {TICKS} ticks (records/s)':<58}{RECORDS / spread_seconds:>14,.0f}")
    print(f"{'update_and_score, one record per tick (records/s)':<58}{RECORDS / per_tick_seconds:>14,.0f}")
    print(f"{'JSON document (bytes)':<58}{len(document):>14,}")


if __name__ == "__main__":
    main()
