"""`morvik3 evaluate` end to end, run as a separate process: its measures
equal the plain loops of window_oracle over the calibrated column computed
here, whichever way the windows are given, and bad labels are named with
exit status 2."""

import importlib.util
import json

import numpy as np
import pytest

import window_oracle as oracle
from morvik3 import Forest
from test_cli import loop_scores, mid_ranks, morvik3, write_csv

OPTIONS = ("--columns", "value", "--trees", "20", "--capacity", "128", "--calibration-window", "200",
           "--calibration-warmup", "20")
WARMUP = 20
# Per series: its rows and its anomaly windows as (first, last) rows.
SERIES = {"cpu.csv": (500, [(200, 229), (400, 419)]), "disk/io.csv": (420, [(300, 339)])}


def stamp(i):
    return f"2024-05-{1 + i // 288:02d} {i // 12 % 24:02d}:{i % 12 * 5:02d}:00"


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """A folder of two labelled series with spikes and a level shift, their
    labels in every form, and the calibrated column computed here."""
    folder = tmp_path_factory.mktemp("corpus")
    rng = np.random.default_rng(4)
    windows_json, windows_csv, measured = {}, [["series", "start", "end"]], {}
    for k, (name, (rows, windows)) in enumerate(SERIES.items()):
        x = np.sin(np.arange(rows) / 15.0) + rng.normal(scale=0.1, size=rows)
        x[[90, 160, 215, 405]] += [2.5, -2.0, 3.0, 2.5]  # false alarms before and during the windows
        x[300 + 10 * k :] += 1.5 * k  # the second series shifts level inside its window
        labels = np.zeros(rows, dtype=int)
        for first, last in windows:
            labels[first : last + 1] = 1
        cells = [[stamp(i), repr(round(v, 5)), str(y)] for i, (v, y) in enumerate(zip(x.tolist(), labels.tolist()))]
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        write_csv(folder / name, ["timestamp", "value", "label"], cells)
        windows_json[name] = [[stamp(a) + ".000000", stamp(b)] for a, b in windows]
        windows_csv += [[name, stamp(a), stamp(b)] for a, b in windows]
        values = [[float(c[1])] for c in cells]
        measured[name] = mid_ranks(loop_scores(Forest(1, num_trees=20, capacity=128, seed=0), values), 200)
    (folder / "windows.json").write_text(json.dumps(windows_json))
    write_csv(folder / "windows.csv", *[windows_csv[0], windows_csv[1:]])
    return folder, measured


@pytest.mark.parametrize("labels", ["windows.json", "windows.csv", "label"])
def test_measures_equal_plain_loops_whatever_form_the_labels_take(corpus, labels):
    folder, measured = corpus
    data = folder.parent / (folder.name + "-data")
    if not data.exists():  # the series alone, the label files beside them
        data.mkdir()
        for name in SERIES:
            (data / name).parent.mkdir(parents=True, exist_ok=True)
            (data / name).write_bytes((folder / name).read_bytes())
    source = labels if labels == "label" else folder / labels
    result = json.loads(morvik3("evaluate", data, "--labels", source, "--json", *OPTIONS).stdout)

    cases = [(measured[name], windows, WARMUP) for name, (_, windows) in SERIES.items()]
    assert [s["name"] for s in result["series"]] == list(SERIES)
    assert [s["windows"] for s in result["series"]] == [[list(w) for w in windows] for _, windows in SERIES.values()]
    for profile, weights in oracle.PROFILES.items():
        threshold, total = oracle.best(cases, weights)
        got = result["overall"]["profiles"][profile]
        assert got["threshold"] == threshold
        assert got["score"] == pytest.approx(oracle.normalised(total, 3, weights))
        outcomes = [oracle.series_total(s, w, threshold, weights, q) for s, w, q in cases]
        assert got["detected"] == sum(h is not None for _, earliest, _ in outcomes for h in earliest)
        assert got["false_positives"] == sum(false for _, _, false in outcomes)
        for series, (raw, earliest, false), (_, windows) in zip(result["series"], outcomes, SERIES.values()):
            assert series["profiles"][profile]["raw"] == pytest.approx(raw)
            assert series["profiles"][profile]["false_positives"] == false
            if profile == "standard":
                assert series["delays"] == [None if h is None else h - a for h, (a, _) in zip(earliest, windows)]
    rows = [(s[i], any(a <= i <= b for a, b in w)) for s, w, q in cases for i in range(oracle.first_row(s, q), len(s))]
    scores, inside = [r[0] for r in rows], [r[1] for r in rows]
    assert result["overall"]["roc_auc"] == pytest.approx(oracle.roc_auc(scores, inside))
    assert result["overall"]["pr_auc"] == pytest.approx(oracle.average_precision(scores, inside))
    assert result["overall"]["best_f1"] == pytest.approx(oracle.best_f1(scores, inside))


def test_a_table_a_fixed_threshold_and_plots(corpus, tmp_path):
    folder, measured = corpus
    plots = importlib.util.find_spec("matplotlib") is not None
    done = morvik3("evaluate", folder / "cpu.csv", "--labels", folder / "windows.json", "--threshold", "0.99",
                   *(("--plot", tmp_path / "plots") if plots else ()), *OPTIONS)
    weights = oracle.PROFILES["standard"]
    total, earliest, false = oracle.series_total(measured["cpu.csv"], SERIES["cpu.csv"][1], 0.99, weights, WARMUP)
    assert "\ncpu.csv " in done.stdout  # the name the labels give it
    assert f"  standard             {oracle.normalised(total, 2, weights):6.1f}  threshold 0.99: " in done.stdout
    assert f"{sum(h is not None for h in earliest)} of 2 windows found, {false} false detections" in done.stdout
    if plots:
        assert (tmp_path / "plots" / "cpu.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize(
    ("labels", "input", "message"),
    [
        ("nowhere.json", "cpu.csv", "--labels nowhere.json: no such labels file"),
        ("hello\n", "cpu.csv", "must be a JSON object, or a CSV file whose header names the columns start and end"),
        ("{", "cpu.csv", "is not valid JSON: Expecting property name enclosed in double quotes"),
        ("[1, 2]", "cpu.csv", "must hold a JSON object of series path to a list of [start, end] windows"),
        ('{"cpu.csv": [["2024-05-01 10:00:00"]]}', "cpu.csv", "the windows of 'cpu.csv' must be a list of [start, end]"),
        ('{"cpu.csv": [["soon", "2024-05-01 10:00:00"]]}', "cpu.csv",
         "'soon' (a window of cpu.csv) is neither an integer nor an ISO 8601 date and time"),
        ('{"cpu.csv": [["2024-05-01 10:00:00", "2024-05-01 09:00:00"]]}', "cpu.csv",
         "the window 2024-05-01 10:00:00 .. 2024-05-01 09:00:00 of cpu.csv ends before it starts"),
        ('{"cpu.csv": [["2025-01-01 00:00:00", "2025-01-02 00:00:00"]]}', "cpu.csv",
         "the window 2025-01-01 00:00:00 .. 2025-01-02 00:00:00 of cpu.csv holds no row of it"),
        ('{"cpu.csv": [["2024-05-01 10:00:00", "2024-05-01 12:00:00"], ["2024-05-01 11:00:00", '
         '"2024-05-01 13:00:00"]]}', "cpu.csv", "overlap"),
        ('{"other.csv": []}', "cpu.csv", "has no windows for"),
        ('{"cpu.csv": [], "gone.csv": []}', ".", "labels 1 series that"),
        ("start,end\n2024-05-01 10:00:00\n", "cpu.csv", "line 2: expected 2 fields, got 1"),
        ("start,end\n2024-05-01 10:00:00,2024-05-01 11:00:00\n", ".", "no series column"),
        ("value", "cpu.csv", "the labels column 'value' is also read by the detector"),
        ("timestamp", "cpu.csv", "line 2, column 'timestamp': '2024-05-01 00:00:00' is not a label (0 or 1)"),
    ],
)
def test_bad_labels_are_named_with_exit_status_two(tmp_path, corpus, labels, input, message):
    folder, _ = corpus
    (tmp_path / "cpu.csv").write_bytes((folder / "cpu.csv").read_bytes())
    path = labels
    if "\n" in labels or labels[:1] in "{[":
        path = tmp_path / "labels.txt"
        path.write_text(labels)
    done = morvik3("evaluate", tmp_path / input, "--labels", path, "--columns", "value", "-q", check=False)
    assert done.returncode == 2, done.stderr
    assert "Traceback" not in done.stderr
    assert done.stderr.startswith("morvik3: error: ") and message in done.stderr
