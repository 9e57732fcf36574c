"""How well the command line's detectors find the labelled anomalies of the
Numenta Anomaly Benchmark corpus, setting by setting: the measures of
`morvik3 evaluate` (the benchmark's window score under its three profiles,
one threshold over all 58 series, and the pooled ROC AUC) of every setting
tried when the command line's defaults were chosen.

What is measured is the column `morvik3 score` flags on, as it writes it:
each series read as the command reads it, scored from its first row by a
new detector (seed 0), its scores calibrated by a ScoreCalibrator.  Raw
scores are cached per detector setting (--cache), so settings that differ
only in calibration cost seconds; `morvik3 evaluate` itself re-checks the
defaults (--check).

Several columns: the corpus is univariate, so tables of several columns are
joined from series of one source that share their timestamps (the cpc and
cpm of each ad exchange, the occupancy and speed of each traffic sensor,
the ten Twitter volumes), labelled by the union of their windows.

    python benchmarks/quality.py /work/shared/data/nab          # every setting
    python benchmarks/quality.py NAB_DIR --only forest-1        # the rows whose name starts so
    python benchmarks/quality.py NAB_DIR --check                # and run `morvik3 evaluate` on the defaults
"""

import argparse
import csv
import hashlib
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import morvik3  # noqa: E402
from _machine import describe  # noqa: E402
from morvik3._registry import KINDS  # noqa: E402
from morvik3.cli import labels as labelling  # noqa: E402
from morvik3.cli.evaluate import report  # noqa: E402
from morvik3.cli.inputs import Table, open_input  # noqa: E402
from morvik3.cli.metrics import PROFILES, Series  # noqa: E402

OLD = {"window": 10000, "warmup": 100}  # the calibration of morvik3 0.5.0


def trial(name, detector, settings, calibration=OLD, columns=1):
    return {"name": name, "detector": detector, "settings": settings, "calibration": calibration, "columns": columns}


def forest(shingle, trees=50, capacity=256, decay=0.0):
    return {"shingle_size": shingle, "num_trees": trees, "capacity": capacity, "time_decay": decay}


def oif(trees=32, window=2048, leaf=32):
    return {"num_trees": trees, "window_size": window, "max_leaf_samples": leaf}


def calibration(window, warmup=100):
    return {"window": window, "warmup": warmup}


# Coarse first (the shape of a point, the memory, the calibration window),
# then around the best.  A name says detector-columns-what.
TRIALS = [
    trial("forest-1 0.5.0 default", "forest", forest(8)),
    *(trial(f"forest-1 shingle {k}", "forest", forest(k)) for k in (1, 4, 16, 32)),
    *(trial(f"forest-1 capacity {c}", "forest", forest(8, capacity=c)) for c in (128, 512, 1024)),
    *(trial(f"forest-1 decay {d:g}", "forest", forest(8, decay=d)) for d in (1e-4, 1e-3, 1e-2)),
    *(trial(f"forest-1 calibration {w}", "forest", forest(8), calibration(w)) for w in (250, 500, 1000, 2000, 5000)),
    trial("onlineiforest-1 0.5.0 default", "onlineiforest", oif()),
    *(trial(f"onlineiforest-1 window {w}", "onlineiforest", oif(window=w, leaf=min(32, w // 8)))
      for w in (256, 512, 1024)),
    *(trial(f"onlineiforest-1 calibration {w}", "onlineiforest", oif(), calibration(w)) for w in (500, 1000, 2000)),
    trial("forest-n 0.5.0 default", "forest", forest(1), columns="n"),
    *(trial(f"forest-n shingle {k}", "forest", forest(k), columns="n") for k in (2, 4, 8)),
    *(trial(f"forest-n calibration {w}", "forest", forest(1), calibration(w), columns="n") for w in (500, 1000, 2000)),
]

# Series of several columns: (name, the member series), joined on their timestamps.
TABLES = [
    ("realAdExchange/exchange-2.csv", ["realAdExchange/exchange-2_cpc_results.csv", "realAdExchange/exchange-2_cpm_results.csv"]),
    ("realAdExchange/exchange-3.csv", ["realAdExchange/exchange-3_cpc_results.csv", "realAdExchange/exchange-3_cpm_results.csv"]),
    ("realAdExchange/exchange-4.csv", ["realAdExchange/exchange-4_cpc_results.csv", "realAdExchange/exchange-4_cpm_results.csv"]),
    ("realTraffic/sensor_6005.csv", ["realTraffic/occupancy_6005.csv", "realTraffic/speed_6005.csv"]),
    ("realTraffic/sensor_t4013.csv", ["realTraffic/occupancy_t4013.csv", "realTraffic/speed_t4013.csv"]),
    ("realTweets/Twitter_volume.csv", [f"realTweets/Twitter_volume_{n}.csv"
                                        for n in ("AAPL", "AMZN", "CRM", "CVS", "FB", "GOOG", "IBM", "KO", "PFE", "UPS")]),
]


class Corpus:
    """The labelled series, read once: per series its values (as the
    command line reads them) and its windows as rows."""

    def __init__(self, folder, labels_path):
        self.labels = labelling.read(str(labels_path))
        self.series = []
        for name, path in self.labels.series(str(folder)):
            source = open_input(path)
            try:
                table = Table(source)
                chunk = next(table.chunks([1 << 40]))
            finally:
                source.close()
            windows = self.labels.rows(name, source.label, chunk.times(), chunk.lines)
            self.series.append((name, chunk.batch[0], windows))


def joined(folder, data, windows):
    """Writes the tables of several columns, joined from the series in
    `data`, into `folder` with their labels file, and returns its path."""
    labels = {}
    for name, members in TABLES:
        rows = {}
        for k, member in enumerate(members):
            with open(data / member, newline="") as f:
                for stamp, value in list(csv.reader(f))[1:]:
                    rows.setdefault(stamp, [None] * len(members))[k] = value
        target = folder / name
        target.parent.mkdir(parents=True, exist_ok=True)
        with open(target, "w", newline="") as f:
            w = csv.writer(f)
            w.writerow(["timestamp"] + [pathlib.Path(m).stem for m in members])
            w.writerows([stamp] + values for stamp, values in sorted(rows.items()) if None not in values)
        spans = sorted(tuple(s) for m in members for s in windows[m])
        merged = []
        for start, end in spans:  # overlapping windows of the members become one
            if merged and start <= merged[-1][1]:
                merged[-1][1] = max(merged[-1][1], end)
            else:
                merged.append([start, end])
        labels[name] = merged
    path = folder / "windows.json"
    path.write_text(json.dumps(labels, indent=1))
    return path


def raw_scores(corpus, t, cache):
    """Each series' raw scores under the trial's detector, from the cache when there."""
    key = json.dumps([t["detector"], t["settings"], t["columns"], [name for name, _, _ in corpus.series]],
                     sort_keys=True)
    path = cache / (hashlib.sha256(key.encode()).hexdigest()[:20] + ".npz")
    if path.exists():
        with np.load(path) as stored:
            return [stored[f"s{i}"] for i in range(len(corpus.series))], 0.0
    kind, started, out = KINDS[t["detector"]], time.process_time(), []
    for _, values, _ in corpus.series:
        out.append(kind.create((values.shape[1],), seed=0, **t["settings"]).update_and_score_many(values))
    spent = time.process_time() - started
    np.savez(path, **{f"s{i}": s for i, s in enumerate(out)})
    return out, spent


def measure(corpus, t, cache):
    raws, spent = raw_scores(corpus, t, cache)
    series = []
    for (name, _, windows), raw in zip(corpus.series, raws):
        calibrated = morvik3.ScoreCalibrator(**t["calibration"]).update_many(raw)
        series.append(Series(name, calibrated, windows, quiet=t["calibration"]["warmup"]))
    overall = report(series)["overall"]
    return overall, spent


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("nab", metavar="NAB_DIR", help="the corpus folder (holding data/ and labels/)")
    parser.add_argument("--only", metavar="PREFIX", help="only the settings whose name starts with PREFIX")
    parser.add_argument("--cache", metavar="DIR", default="build/quality-cache",
                        help="raw scores per detector setting (default: build/quality-cache)")
    parser.add_argument("--check", action="store_true", help="also run `morvik3 evaluate` with its defaults")
    args = parser.parse_args()
    root = pathlib.Path(args.nab)
    cache = pathlib.Path(args.cache)
    cache.mkdir(parents=True, exist_ok=True)
    windows_path = root / "labels" / "combined_windows.json"
    print(describe())
    print(f"load average: {open('/proc/loadavg').read().split()[:3]}; corpus {root}")
    with tempfile.TemporaryDirectory() as scratch:
        tables = pathlib.Path(scratch)
        corpora = {1: Corpus(root / "data", windows_path),
                   "n": Corpus(tables, joined(tables, root / "data", json.loads(windows_path.read_text())))}
        for columns, corpus in corpora.items():
            rows = sum(len(v) for _, v, _ in corpus.series)
            print(f"{'one column' if columns == 1 else 'several columns'}: {len(corpus.series)} series, "
                  f"{rows:,} rows, {sum(len(w) for _, _, w in corpus.series)} windows")
        header = f"{'setting':<34}{'calibration':>12}" + "".join(f"{p.name:>20}" for p in PROFILES)
        print(f"\n{header}{'ROC AUC':>9}{'found':>7}{'false':>7}{'CPU s':>7}")
        for t in TRIALS:
            if args.only and not t["name"].startswith(args.only):
                continue
            overall, spent = measure(corpora[t["columns"]], t, cache)
            scores = "".join(f"{overall['profiles'][p.name]['score']:>20.1f}" for p in PROFILES)
            standard = overall["profiles"][PROFILES[0].name]
            print(f"{t['name']:<34}{t['calibration']['window']:>12}{scores}{overall['roc_auc']:>9.3f}"
                  f"{standard['detected']:>7}{standard['false_positives']:>7}{spent:>7.0f}", flush=True)
        if args.check:
            for folder, labels in ((root / "data", windows_path), (tables, tables / "windows.json")):
                done = subprocess.run([sys.executable, "-m", "morvik3", "evaluate", str(folder), "--labels",
                                       str(labels), "--json", "-q"], capture_output=True, text=True, check=True)
                result = json.loads(done.stdout)
                scores = "  ".join(f"{p}: {v['score']:.1f}" for p, v in result["overall"]["profiles"].items())
                print(f"`morvik3 evaluate {folder.name}` with its defaults ({result['settings']}, "
                      f"{result['calibration']}): {scores}; ROC AUC {result['overall']['roc_auc']:.3f}")


if __name__ == "__main__":
    main()
