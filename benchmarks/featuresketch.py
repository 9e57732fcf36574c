"""FeatureSketch throughput with defaults on a seeded stream of sparse events,
the memory of one detector, and the speedup over pysad's xStream on the same
events presented as dense vectors (pysad is optional: `pip install pysad`)."""

import gc
import os
import random
import time

import morvik3
from _machine import describe

EVENTS = 100_000
FEATURES = 10
VOCABULARY = 1_000
PYSAD_EVENTS = 5_000
# xStream settings matching the FeatureSketch defaults where they correspond:
# 32 projected dimensions, 2 x 16 chains of depth 8.
XSTREAM = dict(num_components=32, n_chains=32, depth=8)


def make_stream(seed=2024):
    rng = random.Random(seed)
    names = [f"feature_{i:04d}" for i in range(VOCABULARY)]
    return [{name: rng.gauss(0.0, 1.0) for name in rng.sample(names, FEATURES)} for _ in range(EVENTS)]


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def timed(call, events):
    start = time.perf_counter()
    for event in events:
        call(event)
    return time.perf_counter() - start


def detector_memory():
    """Resident memory added by one fresh default detector (averaged over a
    few): its cells are committed only as events reach them."""
    gc.collect()
    before = rss_bytes()
    kept = [morvik3.FeatureSketch(seed=k) for k in range(4)]
    after = rss_bytes()
    nominal = len(kept[0].to_json())  # the document is the whole state
    return (after - before) / len(kept), nominal


def pysad_speedup(events):
    try:
        import numpy as np
        from pysad.models import xStream
    except ImportError as e:
        return None, f"skipped: pysad is not installed ({e.name}); `pip install pysad` to compare"
    dense = [np.fromiter(event.values(), dtype=np.float64, count=FEATURES) for event in events]
    model = xStream(**XSTREAM, random_state=1)
    pysad_seconds = timed(model.fit_score_partial, dense)
    ours = morvik3.FeatureSketch(seed=1)
    ours_seconds = timed(ours.update_and_score, events)
    return (pysad_seconds, ours_seconds), None


def main():
    events = make_stream()

    gc.collect()
    before = rss_bytes()
    sketch = morvik3.FeatureSketch(seed=1)
    update_seconds = timed(sketch.update_and_score, events)
    score_seconds = timed(sketch.score, events)
    after_stream = rss_bytes() - before
    per_detector, document_bytes = detector_memory()
    comparison, note = pysad_speedup(events[:PYSAD_EVENTS])

    print(describe())
    print(f"stream: {EVENTS:,} events of {FEATURES} features from {VOCABULARY:,} names, normal values; "
          f"{sketch!r}")
    print(f"{'measure':<52}{'value':>16}")
    print(f"{'update_and_score (events/s)':<52}{EVENTS / update_seconds:>16,.0f}")
    print(f"{'score (events/s)':<52}{EVENTS / score_seconds:>16,.0f}")
    print(f"{'resident memory of one fresh detector (MiB)':<52}{per_detector / 2**20:>16.1f}")
    print(f"{'resident memory of it after the stream (MiB)':<52}{after_stream / 2**20:>16.1f}")
    print(f"{'its JSON document (MiB)':<52}{document_bytes / 2**20:>16.1f}")
    if comparison is None:
        print(f"pysad xStream: {note}")
        return
    pysad_seconds, ours_seconds = comparison
    settings = ", ".join(f"{k}={v}" for k, v in XSTREAM.items())
    print(f"{f'xStream, first {PYSAD_EVENTS:,} events (events/s)':<52}{PYSAD_EVENTS / pysad_seconds:>16,.0f}")
    print(f"{'update_and_score, same events (events/s)':<52}{PYSAD_EVENTS / ours_seconds:>16,.0f}")
    print(f"{'speedup over xStream':<52}{pysad_seconds / ours_seconds:>15.1f}x")
    print(f"xStream: pysad's xStream({settings}) on the events as dense {FEATURES}-value vectors")


if __name__ == "__main__":
    main()
