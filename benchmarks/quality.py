"""How well the command line's detectors find the labelled anomalies of the
Numenta Anomaly Benchmark corpus, setting by setting: the measures of
`morvik3 evaluate` (the benchmark's window score under its three profiles,
with one threshold over all series, and the pooled ROC AUC) for every
setting tried when the command line's defaults were chosen.

What is measured is the column `morvik3 score` flags on, as it writes it:
each series read as the command reads it, scored from its first row by a
new detector (seed 0 unless a row says otherwise), its scores made steady
and calibrated as the command does.  Raw scores are cached per detector
setting (--cache), so settings that differ only after the detector cost
seconds; --check runs `morvik3 evaluate` itself on the defaults.

Several columns: the corpus is univariate, so tables of several columns are
joined from series of one source that share their timestamps (the cpc and
cpm of each ad exchange, the occupancy and speed of each traffic sensor,
the ten Twitter volumes), labelled by the union of their windows.

    python benchmarks/quality.py NAB_DIR                 # every setting (about 10 minutes without a cache)
    python benchmarks/quality.py NAB_DIR --only forest-1  # the rows whose name starts so
    python benchmarks/quality.py NAB_DIR --check          # and `morvik3 evaluate` with its defaults
"""

import argparse
import csv
import gzip
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
from morvik3._registry import CALIBRATION, DEFAULTS, KINDS  # noqa: E402
from morvik3.cli import labels as labelling  # noqa: E402
from morvik3.cli.evaluate import report  # noqa: E402
from morvik3.cli.inputs import Table, open_input  # noqa: E402
from morvik3.cli.metrics import PROFILES, Series  # noqa: E402

CACHE = pathlib.Path(__file__).resolve().parent.parent / "build" / "quality-cache"


def trial(name, detector, settings, calibration=None, steady=False, columns=1, seed=0):
    """A setting to measure: `steady` makes OnlineIForest's scores steady as
    its measured defaults do before they are calibrated."""
    return {"name": name, "detector": detector, "settings": settings, "calibration": calibration or CALIBRATION,
            "steady": steady, "columns": columns, "seed": seed}


def defaults(name, detector, columns=1, seed=0):
    """The command line's defaults `name` (see _registry.DEFAULTS) for one or several columns."""
    chosen = KINDS[detector].defaults[name]
    settings = chosen.settings((1,) if columns == 1 else (2,))
    return trial(f"{detector}-{columns} defaults {name}" + (f" seed {seed}" if seed else ""), detector, settings,
                 chosen.calibration(settings), chosen.steady is not None, columns, seed)


def forest(shingle, trees=50, capacity=256, decay=0.0):
    return {"shingle_size": shingle, "num_trees": trees, "capacity": capacity, "time_decay": decay}


def oif(trees=32, window=2048, leaf=32):
    return {"num_trees": trees, "window_size": window, "max_leaf_samples": leaf}


def calibration(window, warmup=100):
    return {"window": window, "warmup": warmup}


# Coarse first (the shape of a point, the trees' memory and decay, the
# calibration window), then around the best.  A name says detector-columns.
TRIALS = [
    defaults("0.5.0", "forest"),
    *(trial(f"forest-1 shingle {k}", "forest", forest(k)) for k in (1, 4, 16, 32)),
    *(trial(f"forest-1 shingle 8 capacity {c}", "forest", forest(8, capacity=c)) for c in (128, 512, 1024)),
    *(trial(f"forest-1 shingle 8 decay {d:g}", "forest", forest(8, decay=d)) for d in (1e-4, 1e-3, 1e-2)),
    *(trial("forest-1 shingle 8", "forest", forest(8), calibration(w)) for w in (500, 1000, 2000, 5000)),
    *(trial(f"forest-1 shingle {k} capacity {c}", "forest", forest(k, capacity=c))
      for k in (1, 2, 3) for c in (512, 1024)),
    trial("forest-1 shingle 1 capacity 2048", "forest", forest(1, capacity=2048)),
    *(trial(f"forest-1 shingle 1 capacity 1024 decay {d:g}", "forest", forest(1, capacity=1024, decay=d))
      for d in (3e-5, 3e-4)),
    trial("forest-1 shingle 1 capacity 1024 trees 100", "forest", forest(1, trees=100, capacity=1024)),
    *(trial("forest-1 shingle 1 capacity 1024", "forest", forest(1, capacity=1024), calibration(w))
      for w in (5000, 20000)),
    defaults("measured", "forest"),
    *(defaults(name, "forest", seed=seed) for seed in (1, 2) for name in reversed(DEFAULTS)),
    defaults("0.5.0", "onlineiforest"),
    *(trial(f"onlineiforest-1 window {w}", "onlineiforest", oif(window=w)) for w in (256, 512, 1024)),
    *(trial("onlineiforest-1", "onlineiforest", oif(), calibration(w)) for w in (1000, 2048)),
    *(trial(f"onlineiforest-1 window {w} steady", "onlineiforest", oif(window=w), calibration(c), True)
      for w, c in ((1024, 1024), (2048, 10000), (4096, 4096))),
    trial("onlineiforest-1 trees 64 steady", "onlineiforest", oif(trees=64), calibration(2048), True),
    defaults("measured", "onlineiforest"),
    *(defaults(name, "onlineiforest", seed=seed) for seed in (1, 2) for name in reversed(DEFAULTS)),
    defaults("0.5.0", "forest", columns="n"),
    *(trial(f"forest-n shingle {k}", "forest", forest(k), columns="n") for k in (2, 4, 8)),
    *(trial(f"forest-n capacity {c}", "forest", forest(1, capacity=c), columns="n") for c in (512, 1024)),
    *(trial("forest-n", "forest", forest(1), calibration(w), columns="n") for w in (500, 1000, 2000)),
    defaults("measured", "forest", columns="n"),
]

# Series of several columns: (name, the member series), joined on their timestamps.
TABLES = [
    *((f"realAdExchange/exchange-{k}.csv", [f"realAdExchange/exchange-{k}_{m}_results.csv" for m in ("cpc", "cpm")])
      for k in (2, 3, 4)),
    *((f"realTraffic/sensor_{k}.csv", [f"realTraffic/{m}_{k}.csv" for m in ("occupancy", "speed")])
      for k in ("6005", "t4013")),
    ("realTweets/Twitter_volume.csv", [f"realTweets/Twitter_volume_{n}.csv"
                                        for n in ("AAPL", "AMZN", "CRM", "CVS", "FB", "GOOG", "IBM", "KO", "PFE", "UPS")]),
]


class Corpus:
    """The labelled series, read once as the command line reads them: per
    series its name, its values and its windows as rows."""

    def __init__(self, folder, labels_path):
        labels = labelling.read(str(labels_path))
        self.series = []
        for name, path in labels.series(str(folder)):
            source = open_input(path)
            try:
                chunk = next(Table(source).chunks([1 << 40]))
            finally:
                source.close()
            self.series.append((name, chunk.batch[0], labels.rows(name, source.label, chunk.times(), chunk.lines)))

    def describe(self):
        rows = sum(len(values) for _, values, _ in self.series)
        return f"{len(self.series)} series, {rows:,} rows, {sum(len(w) for _, _, w in self.series)} windows"


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
        merged = []
        for start, end in sorted(tuple(s) for m in members for s in windows[m]):
            if merged and start <= merged[-1][1]:  # overlapping windows of the members become one
                merged[-1][1] = max(merged[-1][1], end)
            else:
                merged.append([start, end])
        labels[name] = merged
    path = folder / "windows.json"
    path.write_text(json.dumps(labels, indent=1))
    return path


def raw_scores(corpus, t, cache):
    """Each series' raw scores under the trial's detector, and the CPU
    seconds they took (0 when read from the cache)."""
    key = json.dumps([t["detector"], t["settings"], t["seed"], [name for name, _, _ in corpus.series]],
                     sort_keys=True)
    path = cache / (hashlib.sha256(key.encode()).hexdigest()[:20] + ".npz")
    if path.exists():
        with np.load(path) as stored:
            return [stored[f"s{i}"] for i in range(len(corpus.series))], 0.0
    kind, started = KINDS[t["detector"]], time.process_time()
    out = [kind.create((values.shape[1],), seed=t["seed"], **t["settings"]).update_and_score_many(values)
           for _, values, _ in corpus.series]
    spent = time.process_time() - started
    np.savez(path, **{f"s{i}": s for i, s in enumerate(out)})
    return out, spent


def measure(corpus, t, cache):
    """The measures of `morvik3 evaluate` over the corpus, as the command
    line would calibrate the trial's scores, and the CPU seconds spent."""
    raws, spent = raw_scores(corpus, t, cache)
    kind = KINDS[t["detector"]]
    steady = kind.defaults[DEFAULTS[0]].steady if t["steady"] else None
    series = []
    for (name, values, windows), raw in zip(corpus.series, raws):
        calibrator = morvik3.ScoreCalibrator(**t["calibration"])
        ranked, passing = (raw, 0)
        if steady is not None:  # it reads the detector's configuration only
            ranked, passing = steady(kind.create((values.shape[1],), **t["settings"]), raw, 0)
        calibrated = np.r_[calibrator.score_many(ranked[:passing]), calibrator.update_many(ranked[passing:])]
        series.append(Series(name, calibrated, windows, quiet=passing + t["calibration"]["warmup"]))
    return report(series)["overall"], spent


def published(root, windows):
    """The benchmark's own Random Cut Forest entry, its published scores
    scored here: the window scoring reproduces its published figures."""
    folder = root / "results" / "randomCutForest"
    if not folder.is_dir():
        return None
    series = []
    for name in sorted(windows):
        kind, base = name.split("/")
        with gzip.open(folder / kind / f"randomCutForest_{base}.gz", "rt", newline="") as f:
            rows = list(csv.DictReader(f))
        scores = np.array([float(r["anomaly_score"]) for r in rows])
        ranges = labelling.Labels("published", windows).rows(name, name, [r["timestamp"] for r in rows],
                                                             list(range(2, len(rows) + 2)))
        series.append(Series(name, scores, ranges))
    return report(series)["overall"]


def line(name, window, overall, spent=None):
    scores = "".join(f"{overall['profiles'][p.name]['score']:>20.1f}" for p in PROFILES)
    standard = overall["profiles"][PROFILES[0].name]
    cpu = "" if spent is None else f"{spent:>7.0f}"
    return (f"{name:<48}{window:>12}{scores}{overall['roc_auc']:>9.3f}{standard['detected']:>7}"
            f"{standard['false_positives']:>7}{cpu}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("nab", metavar="NAB_DIR", help="the corpus folder (holding data/ and labels/)")
    parser.add_argument("--only", metavar="PREFIX", help="only the settings whose name starts with PREFIX")
    parser.add_argument("--cache", metavar="DIR", default=str(CACHE), help=f"raw scores per setting (default: {CACHE})")
    parser.add_argument("--check", action="store_true", help="also run `morvik3 evaluate` with its defaults")
    args = parser.parse_args()
    root, cache = pathlib.Path(args.nab), pathlib.Path(args.cache)
    cache.mkdir(parents=True, exist_ok=True)
    windows_path = root / "labels" / "combined_windows.json"
    windows = json.loads(windows_path.read_text())
    print(describe())
    print(f"load average at the start: {' '.join(open('/proc/loadavg').read().split()[:3])}; corpus {root}")
    with tempfile.TemporaryDirectory() as scratch:
        tables = pathlib.Path(scratch)
        corpora = {1: Corpus(root / "data", windows_path), "n": Corpus(tables, joined(tables, root / "data", windows))}
        print(f"one column: {corpora[1].describe()}; several columns: {corpora['n'].describe()}")
        print("window scores normalised (0: never fires, 100: perfect), one threshold over all series; ROC AUC "
              "over the rows after each series' probation; found, false: at the standard profile's threshold")
        header = f"{'setting':<48}{'calibration':>12}" + "".join(f"{p.name:>20}" for p in PROFILES)
        print(f"\n{header}{'ROC AUC':>9}{'found':>7}{'false':>7}{'CPU s':>7}")
        reference = published(root, windows)
        if reference is not None and not args.only:
            print(line("published randomCutForest entry, scored here", "-", reference))
        for t in TRIALS:
            if args.only and not t["name"].startswith(args.only):
                continue
            overall, spent = measure(corpora[t["columns"]], t, cache)
            print(line(t["name"], t["calibration"]["window"], overall, spent), flush=True)
        if args.check:
            for detector in ("forest", "onlineiforest"):
                done = subprocess.run([sys.executable, "-m", "morvik3", "evaluate", str(root / "data"), "--labels",
                                       str(windows_path), "--detector", detector, "--json", "-q"],
                                      capture_output=True, text=True, check=True)
                overall = json.loads(done.stdout)["overall"]
                print(line(f"`morvik3 evaluate --detector {detector}`", "-", overall))
    print(f"load average at the end: {' '.join(open('/proc/loadavg').read().split()[:3])}")


if __name__ == "__main__":
    main()
