"""`morvik3 score`: streams an input through a detector and writes its rows
with their scores, calibrated scores and flags.

Reading and writing run on the calling thread while the detector scores the
previous chunk on a worker thread: the batch methods compute without holding
the interpreter, so parsing overlaps scoring."""

import contextlib
import csv
import gzip
import operator
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

import numpy as np
from tqdm import tqdm

import morvik3
from morvik3.cli import plot, state
from morvik3._registry import DEFAULTS, KINDS, foreign_settings, given_settings
from morvik3.cli.inputs import Events, InputError, Table, open_input, where

CHUNK_ROWS = 32768
TOP_ROWS = 10


def run(args):
    kind = KINDS[args.detector]
    check_options(kind, args)
    if args.plot and not plot.available():
        raise InputError(plot.MISSING)
    started = time.perf_counter()
    source = open_input(args.input)
    try:
        reader, scorer, settings, resumed = prepare(kind, args, source)
        tracker = Tracker(gap=settings.get("shingle_size", 1), keep_series=bool(args.plot))
        with Output(args.output, reader.output_header(), scorer.cut is not None) as output:
            _stream(scorer, reader, source, output, tracker, args)
        if args.state:
            state.save(scorer, args.state)
    finally:
        source.close()
    elapsed = time.perf_counter() - started
    if args.plot:
        flags = tracker.all_flags()
        marks = np.flatnonzero(flags) if flags is not None else [row for _, row, _, _ in tracker.top()]
        series = np.concatenate(tracker.series) if tracker.series else None
        if series is not None and not series.shape[1]:
            series = None  # mstream over categorical columns only
        plot.plot(args.plot, f"{source.label}: {kind.name} scores", tracker.all_scores(), series, reader.names,
                  marks, tracker.times or None)
    if not args.quiet:
        _summary(source.label, scorer, reader, tracker, elapsed, resumed, args, output.flagged)
    return 0


def prepare(kind, args, source, ignore=()):
    """The reader of `source` and the scorer of its rows, as the options in
    `args` ask (from --state when it exists), the detector's settings, and
    whether it was resumed.  The columns named in `ignore` are never scored."""
    if kind.input == "events":
        reader = Events(source, args.time_column, args.skip_bad_rows)
    else:
        records = kind.input == "records"
        columns = args.numeric if records else args.columns
        reader = Table(source, columns, args.time_column, args.skip_bad_rows, kind.narrow,
                       categorical=args.categorical or (), records=records, ignore=ignore)
    scorer, settings, resumed = _scorer(kind, args, reader.widths)
    if kind.input == "records":
        reader.last_tick = scorer.detector.current_time() or 0
    return reader, scorer, settings, resumed


def check_options(kind, args):
    """Refuses options that do not apply to the detector."""
    foreign = foreign_settings(kind, args)
    if foreign:
        verb = "does" if len(foreign) == 1 else "do"
        raise InputError(f"{' and '.join(foreign)} {verb} not apply to --detector {kind.name}")
    if kind.input == "events" and args.columns:
        raise InputError(f"--columns does not apply to --detector {kind.name} (its input is JSON lines)")
    if kind.input == "records" and args.columns:
        raise InputError(f"--columns does not apply to --detector {kind.name} (name its columns with --numeric "
                         "and --categorical)")
    if kind.input != "records" and (args.numeric is not None or args.categorical):
        option = "--numeric" if args.numeric is not None else "--categorical"
        raise InputError(f"{option} applies to --detector mstream only (not {kind.name})")


@dataclass
class Scored:
    """A chunk's scores, calibrated scores, flags (with --threshold or
    --top-percent), and how many of its leading rows could not be flagged."""

    scores: np.ndarray
    calibrated: np.ndarray
    flags: np.ndarray | None
    quiet: int


@dataclass
class Scorer:
    """What the worker runs on each chunk: the detector, then the calibrator
    over its scores (made steady first by `steady`, see Defaults), then the
    flags.  `cut` is the calibrated score from which a row is flagged, None
    without flags; no row is flagged before the calibrator holds `warmup`
    scores."""

    kind: object
    detector: object
    calibrator: morvik3.ScoreCalibrator
    warmup: int
    cut: float | None
    defaults: str
    steady: object = None

    def __call__(self, chunk):
        seen = self.detector.entries_seen()
        scores = self.kind.feed(self.detector, chunk)
        ranked, passing = (scores, 0) if self.steady is None else self.steady(self.detector, scores, seen)
        held = self.calibrator.entries_seen()
        calibrated = np.empty(len(scores))
        calibrated[:passing] = self.calibrator.score_many(ranked[:passing])
        calibrated[passing:] = self.calibrator.update_many(ranked[passing:])
        # The rows before the calibrator holds `warmup` scores; those ranked without keeping add none.
        quiet = 0 if held >= self.warmup else min(len(scores), passing + self.warmup - held)
        flags = None
        if self.cut is not None:
            flags = calibrated >= self.cut
            flags[:quiet] = False
        return Scored(scores, calibrated, flags, quiet)


def _scorer(kind, args, widths):
    """The scorer (its detector and calibrator loaded from --state when it
    exists), the detector's settings, and whether it was loaded."""
    given = given_settings(kind, args)
    calibration = {key: value for key, value in (("window", args.calibration_window),
                                                 ("warmup", args.calibration_warmup)) if value is not None}
    cut = args.threshold if args.top_percent is None else 1 - args.top_percent / 100
    loaded = state.load(args.state, kind, given, widths, calibration, args.defaults) if args.state else None
    calibrator = None
    if loaded is not None:
        detector, config, calibrator, stored, name = loaded
        settings = {s.key: config[s.key] for s in kind.settings}
    else:
        name = args.defaults or DEFAULTS[0]
        settings = kind.defaults[name].settings(widths) | given
        try:
            detector = kind.create(widths, seed=args.seed, **settings)
        except (ValueError, OverflowError) as e:
            raise InputError(f"invalid detector settings: {e}") from None
    defaults = kind.defaults[name]
    if calibrator is None:  # a new run, or a state file of a detector alone
        calibration = defaults.calibration(settings) | calibration
        try:
            calibrator = morvik3.ScoreCalibrator(**calibration)
        except (ValueError, OverflowError) as e:
            raise InputError(f"invalid calibration settings: {e}") from None
    else:
        calibration = stored
    scorer = Scorer(kind, detector, calibrator, calibration["warmup"], cut, name, defaults.steady)
    return scorer, settings, loaded is not None


def _stream(scorer, reader, source, output, tracker, args):
    bar = tqdm(
        unit=" rows", unit_scale=True, file=sys.stderr, disable=args.quiet or not sys.stderr.isatty(),
        desc=source.label, dynamic_ncols=True,
    )

    def read(rows):
        if source.size:
            position = source.position()
            if position:
                bar.total = max(rows, round(rows * source.size / position))

    def take(chunk, scored):
        tracker.add(chunk, scored.scores, scored.flags)
        bar.update(len(chunk.lines))
        output.write(chunk, scored)

    def save():
        # The rows of a checkpoint are written out before it is taken.
        output.flush()
        state.save(scorer, args.state)

    with bar:
        stream(scorer, reader, take, read, args.checkpoint, save)


def stream(scorer, reader, take, read=None, checkpoint=None, save=None):
    """Scores the reader's chunks on a worker thread while the next chunk is
    read, and hands each chunk with what the scorer made of it to
    `take(chunk, scored)`, in order.  `read(rows)` follows every chunk read,
    with the count of rows read so far.  With `checkpoint`, chunks end on
    every multiple of that many rows, and `save()` follows the `take` of
    the rows before it."""
    counts = {"read": 0, "learned": 0}

    def sizes():
        # Chunks end on every checkpoint, so that a checkpoint holds whole chunks.
        while True:
            done = counts["read"]
            yield CHUNK_ROWS if not checkpoint else min(CHUNK_ROWS, checkpoint - done % checkpoint)

    # The worker needs the interpreter briefly at the start and end of every
    # chunk; a short switch interval keeps it from waiting on this thread.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(min(interval, 0.0005))
    with ThreadPoolExecutor(1, thread_name_prefix="morvik3-score") as pool, _restore(interval):
        pending = None
        for chunk in reader.chunks(sizes()):
            counts["read"] += len(chunk.lines)
            if read is not None:
                read(counts["read"])
            if pending is None:
                pending = chunk, pool.submit(scorer, chunk)
                continue
            done, scored = pending[0], _scored(reader.label, *pending)
            counts["learned"] += len(done.lines)
            due = checkpoint and counts["learned"] % checkpoint == 0
            if due:
                take(done, scored)
                save()
            pending = chunk, pool.submit(scorer, chunk)
            if not due:
                take(done, scored)  # while the worker scores the next chunk
        if pending is not None:
            take(pending[0], _scored(reader.label, *pending))


@contextlib.contextmanager
def _restore(interval):
    try:
        yield
    finally:
        sys.setswitchinterval(interval)


def _scored(label, chunk, future):
    """What the worker made of a chunk; a row the detector refused is bad input on its line."""
    try:
        return future.result()
    except (ValueError, TypeError) as e:
        row = getattr(e, "row", None)
        if row is None:
            raise
        raise InputError(f"{where(label, chunk.lines[row])}: {str(e).removeprefix(f'row {row}: ')}") from None


class Tracker:
    """What the summary and the plot need: the row count, a pool of the
    highest scores, and with a plot the scores, flags, times and first
    columns of every row."""

    def __init__(self, gap, keep_series):
        self.rows = 0
        self.gap = max(1, gap)  # rows closer than this belong to one anomaly
        self.pool = []  # (score, row, line, time) of the highest scores so far
        self.pool_size = 20 * self.gap + 50
        self.scores = [] if keep_series else None
        self.flags = [] if keep_series else None
        self.series = [] if keep_series else None
        self.times = [] if keep_series else None

    def add(self, chunk, scores, flags=None):
        n = len(scores)
        keep = min(n, self.pool_size)
        best = np.argpartition(scores, n - keep)[n - keep :] if keep < n else np.arange(n)
        self.pool.extend((float(scores[i]), self.rows + int(i), chunk.lines[i], chunk.time(i)) for i in best)
        self.pool.sort(key=lambda t: (-t[0], t[1]))
        del self.pool[self.pool_size :]
        if self.scores is not None:
            self.scores.append(scores)
        if self.flags is not None and flags is not None:
            self.flags.append(flags)
        if self.series is not None and chunk.values is not None:
            self.series.append(chunk.values[:, :3])
        if self.times is not None and chunk.time_index is not None:
            self.times.extend(chunk.times())
        self.rows += n

    def all_scores(self):
        return np.concatenate(self.scores) if self.scores else np.empty(0)

    def all_flags(self):
        return np.concatenate(self.flags) if self.flags else None

    def top(self, count=TOP_ROWS):
        """The highest-scored rows, at least `gap` rows apart."""
        chosen = []
        for entry in self.pool:
            if all(abs(entry[1] - c[1]) >= self.gap for c in chosen):
                chosen.append(entry)
                if len(chosen) == count:
                    break
        return chosen


class Output:
    """The output CSV: each row's cells, its score, its calibrated score, and
    with `flags` its flag."""

    def __init__(self, path, header, flags):
        self.path = path
        self.header = header + ["score", "calibrated"] + (["anomaly"] if flags else [])
        self.target = None
        self.flagged = 0 if flags else None

    def __enter__(self):
        if self.path in (None, "-"):
            self.target = sys.stdout
        else:
            opener = gzip.open if self.path.endswith(".gz") else open
            try:
                self.target = opener(self.path, "wt", newline="", encoding="utf-8")
            except OSError as e:
                raise InputError(f"cannot write {self.path}: {e.strerror}") from None
        self.writer = csv.writer(self.target, lineterminator="\n")
        self.writer.writerow(self.header)
        return self

    def write(self, chunk, scored):
        # The new cells: the scores in their shortest round-trip form, the flag.
        added = [map(repr, scored.scores.tolist()), map(repr, scored.calibrated.tolist())]
        if scored.flags is not None:
            self.flagged += int(scored.flags.sum())
            added.append(map("01".__getitem__, scored.flags.tolist()))
        self.writer.writerows(map(operator.iadd, chunk.cells, zip(*added)))

    def flush(self):
        self.target.flush()

    def __exit__(self, *exc):
        if self.target is sys.stdout:
            sys.stdout.flush()
        elif self.target is not None:
            self.target.close()
        return False


def _summary(label, scorer, reader, tracker, elapsed, resumed, args, flagged):
    err = sys.stderr
    rate = tracker.rows / elapsed if elapsed > 0 else float("inf")
    print(f"morvik3: scored {counted(tracker.rows, 'row')} of {label} in {elapsed:.1f} s ({rate:,.0f} rows/s)",
          file=err)
    print(f"  detector: {scorer.detector!r}", file=err)
    print(f"  calibrator: {scorer.calibrator!r}", file=err)
    if args.state:
        print(f"  state: {'resumed from and ' if resumed else ''}saved to {args.state}", file=err)
    skipped = reader.skipped
    if skipped.count:
        print(f"  skipped {counted(skipped.count, 'bad row')}:", file=err)
        for message in skipped.first:
            print(f"    {message}", file=err)
        if skipped.count > len(skipped.first):
            print(f"    ... and {skipped.count - len(skipped.first):,} more", file=err)
    if flagged is not None:
        rule = f"top {args.top_percent}%: " if args.top_percent is not None else ""
        print(f"  flagged {counted(flagged, 'row')} as anomalies ({rule}calibrated score >= {scorer.cut:g}, "
              f"once {counted(scorer.warmup, 'score')} were seen)", file=err)
    # Scores of zero come from a detector still warming up: no anomaly there.
    top = [entry for entry in tracker.top() if entry[0] > 0]
    if top:
        stamp = reader.time_name
        print(f"  top anomalies (at least {counted(tracker.gap, 'row')} apart):", file=err)
        print(f"    {'line':>10}  " + ("" if stamp is None else f"{stamp:<25} ") + f"{'score':>10}", file=err)
        for score, _, line, time in top:
            print(f"    {line:>10}  " + ("" if stamp is None else f"{time:<25} ") + f"{score:>10.4f}", file=err)


def counted(n, noun):
    return f"{n:,} {noun}" + ("" if n == 1 else "s")
