"""The `morvik3` command end to end, run as a separate process."""

import csv
import gzip
import hashlib
import io
import json
import math
import os
import subprocess
import sys
import time
from fractions import Fraction

import numpy as np
import pytest

from morvik3 import FeatureSketch, Forest, MStream, OnlineIForest, ScoreCalibrator
from morvik3.cli.inputs import tick

ROWS = 400


def morvik3(*args, stdin=None, check=True):
    result = subprocess.run(
        [sys.executable, "-m", "morvik3", *map(str, args)], input=stdin, capture_output=True, text=True, timeout=300
    )
    if check:
        assert result.returncode == 0, result.stderr
    return result


def series(rows=ROWS, seed=3):
    """timestamp, two numeric columns and a text column, with a few spikes."""
    rng = np.random.default_rng(seed)
    x = np.column_stack([np.sin(np.arange(rows) / 9.0) * 5, rng.normal(size=rows)]).round(4)
    x[::97] += 30.0
    stamps = [f"2024-05-01 {i // 60 % 24:02d}:{i % 60:02d}:00" for i in range(rows)]
    cells = [[t, repr(a), repr(b), f"host{i % 3}"] for i, (t, (a, b)) in enumerate(zip(stamps, x.tolist()))]
    return ["timestamp", "load", "latency", "host"], cells, x


def write_csv(path, header, cells):
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(header)
        w.writerows(cells)
    return path


def read_csv(text):
    rows = list(csv.reader(io.StringIO(text)))
    return rows[0], rows[1:]


def loop_scores(detector, rows):
    """The per-call loop: the oracle for every score the command writes."""
    return [detector.update_and_score(r) for r in rows]


def mid_ranks(scores, window=10000):
    """Each score's fraction of the `window` scores before it that are below
    it, plus half the fraction equal to it (0.5 for none), rounded once."""
    out = []
    for i, s in enumerate(scores):
        past = scores[max(0, i - window) : i]
        below, equal = sum(p < s for p in past), sum(p == s for p in past)
        out.append(float(Fraction(2 * below + equal, 2 * len(past))) if past else 0.5)
    return out


def stored_detector(cls, state):
    """The detector of a state file, which also holds its calibrator."""
    return cls.from_json(json.dumps(json.loads(state.read_text())["detector"]))


@pytest.fixture
def table(tmp_path):
    header, cells, x = series()
    return write_csv(tmp_path / "series.csv", header, cells), header, cells, x


def test_csv_with_a_timestamp_column(table):
    path, header, cells, x = table
    out = path.parent / "scored.csv"
    result = morvik3("score", path, "-o", out)
    got_header, rows = read_csv(out.read_text())
    assert got_header == header + ["score", "calibrated"]
    assert [r[:4] for r in rows] == cells  # every input column carried through
    # load and latency are the numeric columns: one point per row, seed 0.
    scores = loop_scores(Forest(2, seed=0), x.tolist())
    assert [float(r[4]) for r in rows] == scores
    assert [float(r[5]) for r in rows] == mid_ranks(scores)
    assert f"scored {ROWS} rows of {path}" in result.stderr
    assert "top anomalies" in result.stderr and "Traceback" not in result.stderr


def test_standard_input_and_gzip_give_the_same_output(table):
    path, *_ = table
    expected = morvik3("score", path, "-q").stdout
    assert morvik3("score", "-", "-q", stdin=path.read_text()).stdout == expected
    packed = path.parent / "series.csv.gz"
    packed.write_bytes(gzip.compress(path.read_bytes()))
    out = path.parent / "scored.csv.gz"
    morvik3("score", packed, "-q", "-o", out)
    assert gzip.decompress(out.read_bytes()).decode() == expected


def test_onlineiforest_scores_the_numeric_columns(table):
    path, header, cells, x = table
    _, rows = read_csv(morvik3("score", path, "-q", "--detector", "onlineiforest", "--window-size", "100").stdout)
    expected = loop_scores(OnlineIForest(2, window_size=100, seed=0), x.tolist())
    assert [float(r[4]) for r in rows] == expected


def steady_ranks(scores, window, leaf):
    """OnlineIForest's scores rescaled to the depth of the points its window
    held, ranked among the last `window` of them, those of the first
    2 * leaf rows ranked (against none: 0.5) but not kept."""
    settled = min(2 * leaf, window)
    rescaled = [s ** (math.log2(window / leaf) / math.log2(max(min(i + 1, window), settled) / leaf))
                for i, s in enumerate(scores)]
    return [0.5] * settled + mid_ranks(rescaled[settled:], window)


@pytest.mark.parametrize(
    ("options", "make", "calibrate"),
    [
        ((), lambda: Forest(1, capacity=1024, seed=0), mid_ranks),
        (("--defaults", "0.5.0"), lambda: Forest(1, shingle_size=8, seed=0), mid_ranks),
        (("--detector", "onlineiforest", "--window-size", "100"), lambda: OnlineIForest(1, window_size=100, seed=0),
         lambda scores: steady_ranks(scores, 100, 32)),
        (("--detector", "onlineiforest", "--window-size", "100", "--defaults", "0.5.0"),
         lambda: OnlineIForest(1, window_size=100, seed=0), mid_ranks),
    ],
)
def test_defaults_for_one_column(table, options, make, calibrate):
    path, header, cells, x = table
    _, rows = read_csv(morvik3("score", path, "-q", "--columns", "latency", *options).stdout)
    expected = loop_scores(make(), x[:, 1:].tolist())
    assert [float(r[4]) for r in rows] == expected
    assert [float(r[5]) for r in rows] == pytest.approx(calibrate(expected), abs=1e-15)


def test_a_resumed_onlineiforest_run_goes_on_with_the_defaults_it_began_with(table):
    path, header, cells, _ = table
    # The first run ends while the trees still cannot split (before row 64).
    first = write_csv(path.parent / "first.csv", header, cells[:50])
    second = write_csv(path.parent / "second.csv", header, cells[50:])
    state = path.parent / "state.json"
    for defaults in ("measured", "0.5.0"):
        options = ("-q", "--detector", "onlineiforest", "--window-size", "100", "--top-percent", "5",
                   "--calibration-warmup", "10", "--defaults", defaults)
        one = read_csv(morvik3("score", path, *options).stdout)[1]
        a = read_csv(morvik3("score", first, *options, "--state", state).stdout)[1]
        saved = json.loads(state.read_text())
        if defaults == "0.5.0":  # as morvik3 0.5.0 wrote it, without the name
            del saved["defaults"]
            state.write_text(json.dumps(saved))
        b = read_csv(morvik3("score", second, *options[:-2], "--state", state).stdout)[1]
        assert a + b == one
        assert json.loads(state.read_text())["defaults"] == defaults
        other = "0.5.0" if defaults == "measured" else "measured"
        refused = morvik3("score", second, *options[:-2], "--defaults", other, "--state", state, check=False)
        assert refused.returncode == 2
        assert f"this run has --defaults {other} (saved: {defaults})" in refused.stderr
        state.unlink()


def test_state_resumed_over_two_runs_equals_one_run(table):
    path, header, cells, _ = table
    first = write_csv(path.parent / "first.csv", header, cells[:150])
    second = write_csv(path.parent / "second.csv", header, cells[150:])
    state = path.parent / "state.json"
    # A window shorter than the first run and a warm-up that outlasts it:
    # the second run must go on with the calibrator's window and count.
    options = ("-q", "--top-percent", "10", "--calibration-window", "120", "--calibration-warmup", "170")
    one = read_csv(morvik3("score", path, *options).stdout)[1]
    a = read_csv(morvik3("score", first, *options, "--state", state).stdout)[1]
    assert stored_detector(Forest, state).entries_seen() == 150
    b = read_csv(morvik3("score", second, *options, "--state", state).stdout)[1]
    assert a + b == one
    assert stored_detector(Forest, state).entries_seen() == ROWS
    assert ScoreCalibrator.from_json(json.dumps(json.loads(state.read_text())["calibrator"])).entries_seen() == ROWS
    assert not [p for p in os.listdir(path.parent) if p.endswith(".tmp")]
    flags = [r[6] for r in one]
    assert "1" not in flags[:170] and "1" in flags[170:]


def test_a_killed_run_resumes_from_its_checkpoint(table):
    path, header, cells, _ = table
    state = path.parent / "state.json"
    one = read_csv(morvik3("score", path, "-q").stdout)[1]
    process = subprocess.Popen(
        [sys.executable, "-m", "morvik3", "score", "-", "-q", "--state", state, "--checkpoint", "100"],
        stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
    )
    # 250 rows and no end of input: the run checkpoints at row 100, then waits for more.
    text = io.StringIO()
    csv.writer(text).writerows([header] + cells[:250])
    kill_after_checkpoint(process, state, text.getvalue())
    assert stored_detector(Forest, state).entries_seen() == 100
    rest = write_csv(path.parent / "rest.csv", header, cells[100:])
    resumed = read_csv(morvik3("score", rest, "-q", "--state", state).stdout)[1]
    assert resumed == one[100:]


# Runs the command with an input that stops after the given number of lines
# and waits there, as a long input being read when the process is killed.
STALLING = """
import itertools, sys, time
from morvik3.cli import main, score

opened = score.open_input

def stalling(path):
    source = opened(path)
    text = source.text
    def lines():
        yield from itertools.islice(text, int(sys.argv[1]))
        time.sleep(3600)
    source.text = lines()
    return source

score.open_input = stalling
sys.exit(main(sys.argv[2:]))
"""


def kill_after_checkpoint(process, state, stdin=None):
    """Kills `process` (SIGKILL) once it has saved a checkpoint to `state`,
    after writing `stdin` to it."""
    try:
        if stdin is not None:
            process.stdin.write(stdin)
            process.stdin.flush()
        deadline = time.monotonic() + 120
        while not state.exists():
            assert process.poll() is None, process.stderr.read()
            assert time.monotonic() < deadline, "no checkpoint written"
            time.sleep(0.02)
    finally:
        process.kill()
        process.wait()
        process.stderr.close()


@pytest.mark.parametrize("detector", ["forest", "mstream"])
def test_a_killed_run_resumed_ends_as_one_uninterrupted_run(tmp_path, detector):
    if detector == "forest":
        header, cells, _ = series(rows=400)
        cells[40][1] = "n/a"  # passed over before the checkpoint
        cells[170][2] = "nan"  # refused by the detector after it
        cells[120][3] = 'rack "7",\nrow B'  # a record of two lines
        options = ("--skip-bad-rows", "--top-percent", "5")
    else:
        header, cells, ticks = events_table(rows=400)
        cells = [[str(t)] + r[1:] for r, t in zip(cells, ticks)]
        cells[30][0] = str(ticks[20] - 1)  # a tick that goes back, before the checkpoint
        cells[250][2] = "inf"
        options = ("--skip-bad-rows", "--detector", "mstream", "--categorical", "host,status", "--buckets", "64")
    path = write_csv(tmp_path / "input.csv", header, cells)
    common = ("-q", *options, "--checkpoint", 100)
    morvik3("score", path, *common, "--state", tmp_path / "one.json", "-o", tmp_path / "one.csv")

    out, state = tmp_path / "out.csv", tmp_path / "state.json"
    stalling = [sys.executable, "-c", STALLING, "280", "score", path, *common, "--state", state, "-o", out]
    kill_after_checkpoint(subprocess.Popen(list(map(str, stalling)), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                           text=True), state)
    where = json.loads(state.read_text())["position"]
    assert (where["rows"], where["output"]["length"]) == (100, out.stat().st_size)
    with open(out, "a") as f:
        f.write("2024-05-01 01:40:00,half a row wri")  # what a crash between checkpoints leaves
    resumed = morvik3("score", path, *common, "--state", state, "-o", out, "--resume", "-q")
    assert resumed.stderr == ""
    assert out.read_bytes() == (tmp_path / "one.csv").read_bytes()
    assert state.read_bytes() == (tmp_path / "one.json").read_bytes()


def test_resume_refuses_another_input_or_output_and_changes_nothing(table):
    path, header, cells, _ = table
    out, state = path.parent / "out.csv", path.parent / "state.json"
    morvik3("score", path, "-q", "--state", state, "-o", out)
    saved, written = state.read_bytes(), out.read_bytes()
    other = write_csv(path.parent / "other.csv", header, cells)
    edited = dict(json.loads(saved))
    del edited["position"]
    earlier = path.parent / "earlier.json"
    earlier.write_text(json.dumps(edited))
    changed = path.parent / "changed.csv"
    changed.write_bytes(written.replace(b"load", b"LOAD"))
    cases = [
        ((other, "--state", state, "-o", out), f"state file {state} was saved reading {path}, not {other}"),
        ((path, "--state", earlier, "-o", out), f"state file {earlier} records no position in its input"),
        ((path, "--state", state, "-o", changed), f"{changed} does not hold the {len(written):,} bytes"),
        ((path, "--state", state, "-o", out, "--threshold", "0.9"), f"{out} has other columns than this run writes"),
    ]
    for arguments, message in cases:
        result = morvik3("score", *arguments, "--resume", check=False)
        assert result.returncode == 2 and result.stderr.startswith(f"morvik3: error: {message}"), result.stderr
    path.write_bytes(path.read_bytes().replace(b"host0", b"HOST0"))  # the same size, other bytes
    result = morvik3("score", path, "--state", state, "-o", out, "--resume", check=False)
    assert result.returncode == 2
    assert f"was saved reading {path} when its first 64 KiB were different" in result.stderr
    assert (state.read_bytes(), out.read_bytes()) == (saved, written)


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (("--state", "{folder}/gone/state.json"), "cannot write state file {folder}/gone/state.json: {folder}/gone "
         "does not exist"),
        (("-o", "{folder}/gone/out.csv"), "cannot write {folder}/gone/out.csv: {folder}/gone does not exist"),
        (("-o", "{folder}"), "cannot write {folder}: it is a folder"),
        (("-o", "{folder}/input.csv"), "INPUT {folder}/input.csv and -o {folder}/input.csv are the same file"),
        (("--plot", "{folder}/gone/scores.png"), "cannot write plot {folder}/gone/scores.png: {folder}/gone does not "
         "exist"),
    ],
)
def test_paths_that_cannot_be_written_fail_before_the_input_is_read(tmp_path, arguments, message):
    if "--plot" in arguments:
        pytest.importorskip("matplotlib")
    # A pipe nobody writes to: opening it to read would wait for ever.
    fifo = tmp_path / "input.csv"
    os.mkfifo(fifo)
    result = morvik3("score", fifo, *(a.format(folder=tmp_path) for a in arguments), check=False)
    assert result.returncode == 2
    assert result.stderr == f"morvik3: error: {message.format(folder=tmp_path)}\n"
    assert sorted(os.listdir(tmp_path)) == ["input.csv"]


@pytest.mark.parametrize(
    ("content", "arguments", "message"),
    [
        ("t,a\n1,2\n2,x\n", (), "{path}, line 3, column 'a': 'x' is not a number"),
        ("t,a,b\n1,2,3\n2,3\n", (), "{path}, line 3: expected 3 fields, got 2"),
        ("t,a\n1,2\n2,nan\n", (), "{path}, line 3, column 'a': 'nan' is not a finite number"),
        ("t,a\n1,2\n2,1e39\n", (), "{path}, line 3, column 'a': '1e39' is out of the detector's range"),
        ("", (), "{path}: empty file"),
        ("t,a\n", (), "{path}: no data rows after the header line"),
        ("1,2\n3,4\n", (), "{path}, line 1: the first line must be a header naming the columns"),
        ("t,a\nx,y\n", (), "{path}, line 2: no numeric column (name the columns with --columns)"),
        ("t,a\n1,2\n", ("--columns", "a,b"), "{path}, line 1: no column named 'b' (columns: t, a)"),
        ("t,a\n1,2\n", ("--time-column", "when"), "{path}, line 1: no column named 'when' (columns: t, a)"),
        ('{"a": 1}\n[1]\n', ("--detector", "featuresketch"),
         "{path}, line 2: expected a JSON object of name-to-number pairs"),
        ('{"a": 1}\n{"a": \n', ("--detector", "featuresketch"),
         "{path}, line 2: invalid JSON (Expecting value at column 7)"),
        ('{"a": 1}\n\n{"a": "high"}\n', ("--detector", "featuresketch"),
         "{path}, line 3, key 'a': \"high\" is not a number"),
        ('{"a": 1}\n{"a": NaN}\n', ("--detector", "featuresketch"), "{path}, line 2, key 'a': nan is not a finite number"),
        # Row 3 is refused by the detector while row 4, one checkpoint later, is read: row 3 is the first bad row.
        ("t,a\n1,2\n2,nan\n3,x\n", ("--state", "{folder}/s.json", "--checkpoint", "1"),
         "{path}, line 3, column 'a': 'nan' is not a finite number"),
        ("t,a\n1,2\n", ("--trees", "0"), "argument --trees: must be > 0, got 0"),
    ],
)
def test_bad_input_is_named_with_exit_status_two(tmp_path, content, arguments, message):
    path = tmp_path / "input.txt"
    path.write_text(content)
    result = morvik3("score", path, *(a.format(folder=tmp_path) for a in arguments), check=False)
    assert result.returncode == 2
    assert "Traceback" not in result.stderr
    assert result.stderr.strip().endswith(message.format(path=path))


def test_unreadable_inputs_and_refused_options(tmp_path, table):
    path, *_ = table
    missing = morvik3("score", tmp_path / "absent.csv", check=False)
    assert missing.returncode == 2 and "cannot open" in missing.stderr and "No such file" in missing.stderr
    fake = tmp_path / "plain.csv.gz"
    fake.write_text("t,a\n1,2\n")
    assert "not a complete gzip file" in morvik3("score", fake, check=False).stderr
    latin = tmp_path / "latin.csv"
    latin.write_bytes(b"t,a\n1,2\n2,\xe9\n")
    undecodable = morvik3("score", latin, check=False)
    assert undecodable.returncode == 2 and f"{latin}: not UTF-8 text" in undecodable.stderr
    options = morvik3("score", path, "--detector", "featuresketch", "--trees", "4", "--shingle", "2", check=False)
    assert options.returncode == 2
    assert options.stderr == "morvik3: error: --shingle and --trees do not apply to --detector featuresketch\n"
    assert morvik3("score", path, "--checkpoint", "5", check=False).returncode == 2


def test_state_of_another_detector_or_configuration_is_refused(table):
    path, *_ = table
    state = path.parent / "state.json"
    morvik3("score", path, "-q", "--state", state, "--trees", "5")
    before = state.read_text()
    cases = [
        (("--trees", "6"), "was saved with another configuration: this run has --trees 6 (saved: 5)"),
        (("--columns", "load"), "this run has 1 numeric column(s) (saved: 2)"),
        (("--calibration-warmup", "7"), "this run has --calibration-warmup 7 (saved: 100)"),
    ]
    for arguments, message in cases:
        result = morvik3("score", path, "--state", state, *arguments, check=False)
        assert result.returncode == 2 and message in result.stderr
    events = path.parent / "events.jsonl"
    events.write_text('{"a": 1}\n')
    other = morvik3("score", events, "--detector", "featuresketch", "--state", state, check=False)
    assert other.returncode == 2
    assert f"state file {state} holds a forest detector, not featuresketch" in other.stderr
    assert state.read_text() == before


def test_a_state_file_of_a_detector_alone_resumes_it_with_a_new_calibrator(table):
    path, header, cells, x = table
    state = path.parent / "state.json"
    detector = Forest(2, seed=0)
    detector.update_many(x[:100])
    detector.save_json(state)
    rest = write_csv(path.parent / "rest.csv", header, cells[100:])
    _, rows = read_csv(morvik3("score", rest, "-q", "--state", state).stdout)
    scores = loop_scores(Forest(2, seed=0), x.tolist())
    assert [float(r[4]) for r in rows] == scores[100:]
    assert [float(r[5]) for r in rows] == mid_ranks(scores[100:])  # nothing calibrated before
    assert stored_detector(Forest, state).entries_seen() == ROWS
    assert json.loads(state.read_text())["calibrator"]["entries_seen"] == ROWS - 100


def test_bad_calibration_settings(table):
    path, *_ = table
    result = morvik3("score", path, "--calibration-window", str(2**40), check=False)
    assert result.returncode == 2
    assert result.stderr == "morvik3: error: invalid calibration settings: window must be <= 4294967295\n"
    result = morvik3("score", path, "--calibration-warmup", "-1", check=False)
    assert result.returncode == 2 and "argument --calibration-warmup: must be >= 0, got -1" in result.stderr


def test_skip_bad_rows_counts_and_leaves_them_out(tmp_path):
    header, cells, x = series(rows=60)
    cells[10][1] = "n/a"
    cells[20] = cells[20][:2]
    path = write_csv(tmp_path / "gaps.csv", header, cells)
    result = morvik3("score", path, "--skip-bad-rows")
    _, rows = read_csv(result.stdout)
    kept = [i for i in range(60) if i not in (10, 20)]
    assert [r[0] for r in rows] == [cells[i][0] for i in kept]
    assert [float(r[4]) for r in rows] == loop_scores(Forest(2, seed=0), x[kept].tolist())
    assert "skipped 2 bad rows:" in result.stderr
    assert f"{path}, line 12, column 'load': 'n/a' is not a number" in result.stderr
    assert f"{path}, line 22: expected 4 fields, got 2" in result.stderr


@pytest.mark.parametrize(
    ("options", "cut", "window", "warmup"),
    [
        (("--threshold", "0.9"), 0.9, 10000, 100),
        (("--top-percent", "2.5"), 0.975, 10000, 100),
        (("--threshold", "0.75", "--calibration-window", "40", "--calibration-warmup", "60"), 0.75, 40, 60),
        (("--top-percent", "100", "--calibration-warmup", "0"), 0.0, 10000, 0),
    ],
)
def test_threshold_and_top_percent_flag_calibrated_scores(table, options, cut, window, warmup):
    path, *_ = table
    header, rows = read_csv(morvik3("score", path, "-q", *options).stdout)
    assert header[-3:] == ["score", "calibrated", "anomaly"]
    calibrated = mid_ranks([float(r[4]) for r in rows], window)
    assert [float(r[5]) for r in rows] == calibrated
    expected = [int(i >= warmup and c >= cut) for i, c in enumerate(calibrated)]
    assert [int(r[6]) for r in rows] == expected
    assert 0 < sum(expected) < ROWS or cut == 0.0


def test_a_threshold_is_a_calibrated_score(table):
    path, *_ = table
    result = morvik3("score", path, "--threshold", "2.5", check=False)
    assert result.returncode == 2
    assert "argument --threshold: must be in (0, 1], got 2.5" in result.stderr


def test_json_lines_for_featuresketch(tmp_path):
    rng = np.random.default_rng(8)
    events = [{"bytes": float(v), "status_200": 1} for v in rng.normal(500, 40, size=120).round(2)]
    events[77] = {"bytes": 9000.0, "status_500": 1}
    lines = [json.dumps({"time": f"t{i}", **e}) for i, e in enumerate(events)]
    path = tmp_path / "events.jsonl"
    path.write_text("\n".join(lines[:50]) + "\n\n" + "\n".join(lines[50:]) + "\n")
    header, rows = read_csv(morvik3("score", path, "-q", "--detector", "featuresketch").stdout)
    assert header == ["line", "time", "score", "calibrated"]
    assert [r[1] for r in rows] == [f"t{i}" for i in range(120)]
    assert rows[50][0] == "52"  # the blank line counts
    assert [float(r[2]) for r in rows] == loop_scores(FeatureSketch(seed=0), events)


def test_plot_is_written(table):
    pytest.importorskip("matplotlib")
    path, *_ = table
    png = path.parent / "scores.png"
    morvik3("score", path, "-q", "-o", os.devnull, "--plot", png, "--threshold", "0.99")
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_demo_on_the_bundled_series(tmp_path):
    result = morvik3("demo", "--plots", tmp_path / "plots", "--top", "3")
    names = json.loads(
        (__import__("morvik3.cli.demo", fromlist=["data_folder"]).data_folder() / "windows.json").read_text()
    )
    for name in names:
        assert f"{name}: " in result.stdout
    assert result.stdout.count("fall in a labelled window") == len(names)
    assert "top-scored rows fall in labelled windows" in result.stdout
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert "No plots" in result.stdout
    else:
        assert len(list((tmp_path / "plots").glob("*.png"))) == len(names)


def test_quoted_fields_and_line_breaks_are_read_as_csv(tmp_path):
    # Plain lines first, then quoted cells with a comma, quotes and a line
    # break: lines keep counting across records of several lines.
    header, cells, x = series(rows=300)
    for i in (150, 151, 200):
        cells[i][3] = 'rack "7", row\nB'
    cells[250][1] = "oops"
    path = write_csv(tmp_path / "quoted.csv", header, cells)
    # Checkpoints cut the input into chunks of 100 rows: the first ones hold no quote.
    state = tmp_path / "state.json"
    result = morvik3("score", path, "--skip-bad-rows", "-q", "--state", state, "--checkpoint", "100")
    _, rows = read_csv(result.stdout)
    kept = [i for i in range(300) if i != 250]
    assert [r[:4] for r in rows] == [cells[i] for i in kept]
    assert [float(r[4]) for r in rows] == loop_scores(Forest(2, seed=0), x[kept].tolist())
    # Rows 150, 151 and 200 take two lines each: row 250 begins on line 2 + 250 + 3.
    failed = morvik3("score", path, "-q", "--state", tmp_path / "other.json", "--checkpoint", "100", check=False)
    assert failed.stderr == f"morvik3: error: {path}, line 255, column 'load': 'oops' is not a number\n"


QUOTED_HEADER = ["when", 'load, "avg"', "latency", "note"]


def quoted_rows(rows, seed=5):
    """Cells that only a CSV reader splits right: commas, quotes and line
    breaks inside quoted text, quoted numbers, and a time column named by hand."""
    header, cells, x = series(rows=rows, seed=seed)
    notes = ['said "hi", left', "a,b,c", "", '""', "two\nlines", "plain"]
    for i, row in enumerate(cells):
        row[3] = notes[i % len(notes)]
    return cells, x


@pytest.mark.parametrize("quoting", [csv.QUOTE_MINIMAL, csv.QUOTE_ALL, csv.QUOTE_NONNUMERIC])
def test_quoted_fields_are_kept_as_csv_parses_them(tmp_path, quoting):
    cells, x = quoted_rows(120)
    path = tmp_path / "quoted.csv"
    with open(path, "w", newline="") as f:
        w = csv.writer(f, quoting=quoting)
        w.writerow(QUOTED_HEADER)
        w.writerows([r[0], float(r[1]), float(r[2]), r[3]] for r in cells)
    result = morvik3("score", path, "-q", "--time-column", "when")
    header, rows = read_csv(result.stdout)
    assert header == QUOTED_HEADER + ["score", "calibrated"]
    with open(path, newline="") as f:
        assert [r[:4] for r in rows] == list(csv.reader(f))[1:]
    assert [float(r[4]) for r in rows] == loop_scores(Forest(2, seed=0), x.tolist())


@pytest.mark.parametrize("skip", [False, True])
def test_bad_rows_among_quoted_fields(tmp_path, skip):
    cells, x = quoted_rows(60)
    cells[30][2] = "1,5"  # a decimal comma, quoted: one cell that is not a number
    cells[40].append('extra, "cell"')  # one field too many, though it holds a comma
    path = write_csv(tmp_path / "bad.csv", QUOTED_HEADER, cells)
    # Rows 4, 10, 16, ... take two lines: row 30 begins on line 2 + 30 + 5, row 40 on 2 + 40 + 6.
    if not skip:
        result = morvik3("score", path, "--time-column", "when", check=False)
        assert result.returncode == 2
        assert result.stderr == f"morvik3: error: {path}, line 37, column 'latency': '1,5' is not a number\n"
        return
    result = morvik3("score", path, "--time-column", "when", "--skip-bad-rows")
    _, rows = read_csv(result.stdout)
    kept = [i for i in range(60) if i not in (30, 40)]
    assert [r[:4] for r in rows] == [cells[i] for i in kept]
    assert [float(r[4]) for r in rows] == loop_scores(Forest(2, seed=0), x[kept].tolist())
    assert "skipped 2 bad rows:" in result.stderr
    assert f"{path}, line 48: expected 4 fields, got 5" in result.stderr


def test_crlf_lines_blank_lines_and_a_quoted_header(tmp_path):
    header, cells, x = series(rows=50)
    text = '"timestamp","load","latency","host"\r\n' + "".join(
        ",".join(c) + "\r\n" + ("\r\n" if i == 20 else "") for i, c in enumerate(cells)
    )
    path = tmp_path / "windows.csv"
    path.write_bytes(text.encode())
    _, rows = read_csv(morvik3("score", path, "-q").stdout)
    assert [r[:4] for r in rows] == cells
    assert [float(r[4]) for r in rows] == loop_scores(Forest(2, seed=0), x.tolist())


def test_without_matplotlib_plots_are_refused_and_the_demo_goes_on(tmp_path, table):
    path, *_ = table
    blocked = "import sys; sys.modules['matplotlib'] = None; from morvik3.cli import main; sys.exit(main(sys.argv[1:]))"
    run = lambda *args: subprocess.run(  # noqa: E731
        [sys.executable, "-c", blocked, *map(str, args)], capture_output=True, text=True, timeout=300
    )
    refused = run("score", path, "--plot", tmp_path / "x.png")
    assert refused.returncode == 2
    assert refused.stderr == "morvik3: error: plots need matplotlib: pip install 'morvik3[plot]'\n"
    demo = run("demo", "--plots", tmp_path / "plots")
    assert demo.returncode == 0 and "No plots: plots need matplotlib" in demo.stdout
    assert not (tmp_path / "plots").exists()


def text_code(text):
    """A category's text as MStream's integer: the first 8 bytes of its BLAKE2b digest."""
    return int.from_bytes(hashlib.blake2b(text.encode(), digest_size=8).digest(), "little", signed=True)


def events_table(rows=200, seed=9):
    """timestamp (ISO 8601, several rows per second), a quoted categorical
    column, a numeric one and an integer status used as a category."""
    rng = np.random.default_rng(seed)
    start = np.datetime64("2024-05-01T00:00:00", "s")
    seconds = np.cumsum(rng.integers(0, 3, size=rows))
    stamps = [str(start + np.timedelta64(int(s), "s")) for s in seconds]
    hosts = rng.choice(["web,1", 'db "main"', "cache"], size=rows).tolist()
    status = rng.choice(["200", "404", "500"], p=[0.9, 0.08, 0.02], size=rows).tolist()
    size = rng.normal(500, 40, size=rows).round(1)
    size[rows * 3 // 4] = 9000.0
    cells = [[t, h, repr(b), c] for t, h, b, c in zip(stamps, hosts, size.tolist(), status)]
    ticks = (seconds + start.astype(np.int64)).tolist()
    return ["timestamp", "host", "bytes", "status"], cells, ticks


def mstream_loop(cells, ticks, numeric=(2,), categorical=(1, 3), **options):
    detector = MStream(len(numeric), len(categorical), seed=0, **options)
    return [
        detector.update_and_score([float(r[i]) for i in numeric], [text_code(r[i]) for i in categorical], t)
        for r, t in zip(cells, ticks)
    ]


def test_mstream_scores_numeric_and_categorical_columns(tmp_path):
    header, cells, ticks = events_table()
    path = write_csv(tmp_path / "events.csv", header, cells)
    result = morvik3("score", path, "--detector", "mstream", "--categorical", "host,status")
    got_header, rows = read_csv(result.stdout)
    assert got_header == header + ["score", "calibrated"]
    assert [r[:4] for r in rows] == cells
    # bytes is the one numeric column left once status is categorical.
    assert [float(r[4]) for r in rows] == mstream_loop(cells, ticks)
    assert "MStream(numeric_dim=1, categorical_dim=2, num_rows=2, num_buckets=1024, alpha=0.8" in result.stderr

    _, rows = read_csv(morvik3("score", path, "-q", "--detector", "mstream", "--numeric", "", "--categorical",
                               "status", "--hash-rows", "3", "--buckets", "64", "--alpha", "0.5").stdout)
    expected = mstream_loop(cells, ticks, numeric=(), categorical=(3,), num_rows=3, num_buckets=64, alpha=0.5)
    assert [float(r[4]) for r in rows] == expected


def test_mstream_categories_hash_as_in_the_river_adapter(tmp_path):
    pytest.importorskip("river")
    import morvik3.river as river
    header, cells, ticks = events_table(rows=80)
    path = write_csv(tmp_path / "events.csv", header, cells)
    _, rows = read_csv(morvik3("score", path, "-q", "--detector", "mstream", "--categorical", "host,status").stdout)
    model = river.MStream(numeric_keys="bytes", categorical_keys=("host", "status"), timestamp_key="t", seed=0)
    expected = []
    for r, t in zip(cells, ticks):
        x = {"bytes": float(r[2]), "host": r[1], "status": r[3], "t": t}
        expected.append(model.score_one(x))
        model.learn_one(x)
    assert [float(r[4]) for r in rows] == expected


def test_mstream_state_resumed_over_two_runs_equals_one_run(tmp_path):
    header, cells, ticks = events_table()
    # Integer ticks this time: they are taken as they are.
    cells = [[str(t)] + r[1:] for r, t in zip(cells, ticks)]
    whole = write_csv(tmp_path / "whole.csv", header, cells)
    first = write_csv(tmp_path / "first.csv", header, cells[:90])
    second = write_csv(tmp_path / "second.csv", header, cells[90:])
    state = tmp_path / "state.json"
    options = ("-q", "--detector", "mstream", "--categorical", "host,status", "--buckets", "128")
    one = read_csv(morvik3("score", whole, *options).stdout)[1]
    a = read_csv(morvik3("score", first, *options, "--state", state).stdout)[1]
    b = read_csv(morvik3("score", second, *options, "--state", state).stdout)[1]
    assert a + b == one
    assert [float(r[4]) for r in one] == mstream_loop(cells, ticks, num_buckets=128)
    # The stored detector knows the last tick: a row before it in a third run is bad input.
    earlier = write_csv(tmp_path / "earlier.csv", header, [cells[10]])
    late = morvik3("score", earlier, *options, "--state", state, check=False)
    assert late.returncode == 2
    assert f"{cells[10][0]!r} is tick {ticks[10]}, before the previous row's tick {ticks[-1]}" in late.stderr
    other = morvik3("score", second, *options[:-2], "--categorical", "host", "--state", state, check=False)
    assert "this run has 2 numeric column(s) (saved: 1); 1 categorical column(s) (saved: 2)" in other.stderr


@pytest.mark.parametrize(
    ("stamp", "message"),
    [
        ("yesterday", "'yesterday' is neither an integer nor an ISO 8601 date and time"),
        ("0", "'0' is tick 0, and ticks must be > 0"),
        ("1969-12-31T23:59:59Z", "'1969-12-31T23:59:59Z' is tick -1, and ticks must be > 0"),
        ("99999999999999999999", "'99999999999999999999' is tick 99999999999999999999, beyond the largest tick 9223372036854775807"),
        ("1714521599", "'1714521599' is tick 1714521599, before the previous row's tick 1714521600"),
    ],
)
def test_mstream_bad_timestamps_name_the_row(tmp_path, stamp, message):
    content = "time,kind,value\n2024-05-01T00:00:00Z,a,1\n{},b,2\n1714521601,a,3\n".format(stamp)
    path = tmp_path / "ticks.csv"
    path.write_text(content)
    options = ("score", path, "--detector", "mstream", "--categorical", "kind")
    failed = morvik3(*options, check=False)
    assert failed.returncode == 2 and "Traceback" not in failed.stderr
    assert failed.stderr.strip().endswith(f"{path}, line 3, column 'time': {message}")
    skipped = morvik3(*options, "--skip-bad-rows")
    assert [r[0] for r in read_csv(skipped.stdout)[1]] == ["2024-05-01T00:00:00Z", "1714521601"]
    assert "skipped 1 bad row:" in skipped.stderr


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("1714521600", 1714521600),
        (" 42 ", 42),
        ("2024-05-01T00:00:00", 1714521600),  # no offset: UTC
        ("2024-05-01 00:00:00Z", 1714521600),
        ("2024-05-01T02:00:00+02:00", 1714521600),
        ("2024-02-29 12:30:15.9", 1709209815),  # whole seconds, rounded down
        ("2024-05-01", 1714521600),
    ],
)
def test_time_cells_as_ticks(text, expected):
    assert tick(text) == expected


@pytest.mark.parametrize(
    ("content", "arguments", "message"),
    [
        ("t,a\n1,2\n", ("--detector", "mstream", "--columns", "a"),
         "--columns does not apply to --detector mstream (name its columns with --numeric and --categorical)"),
        ("t,a\n1,2\n", ("--categorical", "a"), "--categorical applies to --detector mstream only (not forest)"),
        ("t,a\n1,2\n", ("--detector", "mstream"), "{path}, line 1: no timestamp column (name it with --time-column)"),
        ("ts,a\n1,x\n", ("--detector", "mstream"),
         "{path}, line 2: no numeric column (name the columns with --numeric or --categorical)"),
        ("ts,a\n1,2\n", ("--detector", "mstream", "--numeric", "a", "--categorical", "a"),
         "{path}, line 1: column 'a' is chosen twice"),
        ("ts,a\n1,2\n", ("--detector", "mstream", "--buckets", "1"),
         "invalid detector settings: num_buckets must be >= 2"),
    ],
)
def test_mstream_refusals(tmp_path, content, arguments, message):
    path = tmp_path / "input.csv"
    path.write_text(content)
    result = morvik3("score", path, *arguments, check=False)
    assert result.returncode == 2
    assert result.stderr.strip().endswith(message.format(path=path))
