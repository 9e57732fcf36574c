"""`morvik3 score`: streams an input through a detector and writes its rows
with their scores, calibrated scores and flags.

Reading and writing run on the calling thread while the detector scores the
previous chunk on a worker thread: the batch methods compute without holding
the interpreter, so parsing overlaps scoring."""

import contextlib
import csv
import gzip
import io
import operator
import os
import sys
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

import numpy as np
from tqdm import tqdm

import morvik3
from morvik3._feed import feed, refuses
from morvik3._registry import DEFAULTS, KINDS, foreign_settings, given_settings
from morvik3.cli import plot, state
from morvik3.cli.inputs import Events, InputError, Table, fingerprint, head_sha256, open_input

CHUNK_ROWS = 32768
TOP_ROWS = 10


def run(args):
    kind = KINDS[args.detector]
    check_options(kind, args)
    if args.plot and not plot.available():
        raise InputError(plot.MISSING)
    # Whatever would fail only once the input is read fails before it is opened.
    check_paths(args)
    stored = state.read(args.state) if args.state else None
    identity = fingerprint(args.input) if args.state else None
    position = resume_position(args, stored, identity) if args.resume and stored is not None else None
    started = time.perf_counter()
    source = open_input(args.input)
    try:
        reader, scorer, settings, resumed = prepare(kind, args, source, stored=stored)
        if position is not None:
            reader.skip(position.records)
        tracker = Tracker(gap=settings.get("shingle_size", 1), keep_series=bool(args.plot))
        with Output(args.output, reader.output_header(), scorer.cut is not None,
                    position and position.output) as output:
            rows = _stream(scorer, reader, source, output, tracker, args, identity, position)
            if args.state:
                state.save(scorer, args.state, state.Position(identity, reader.consumed, rows, output.mark()))
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
        _summary(source.label, scorer, reader, tracker, elapsed, resumed, args, output.flagged, position)
    return 0


def check_paths(args):
    """Refuses a --state, -o or --plot path that could not be written, or
    that names the input or another of them: written, it would be lost."""
    if args.state:
        writable(args.state, "state file ", replaced=True)
    if args.output not in (None, "-"):
        writable(args.output)
    if args.plot:
        writable(args.plot, "plot ")
    named = [(option, path) for option, path in (("INPUT", args.input), ("-o", args.output), ("--state", args.state),
                                                 ("--plot", args.plot)) if path not in (None, "-")]
    for i, (option, path) in enumerate(named):
        for other, other_path in named[i + 1 :]:
            if _same_file(path, other_path):
                raise InputError(f"{option} {path} and {other} {other_path} are the same file")


def _same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:  # one of them does not exist yet
        return False


def writable(path, what="", replaced=False):
    """Refuses with InputError a `path` whose folder is missing or cannot be
    written, or that names a folder or a file that cannot be written.  A
    file `replaced` by a new one beside it needs its folder writable even
    where it exists."""
    target = os.path.realpath(path)
    folder = os.path.dirname(target)
    if not os.path.isdir(folder):
        problem = "is not a folder" if os.path.lexists(folder) else "does not exist"
        raise InputError(f"cannot write {what}{path}: {folder} {problem}")
    if os.path.isdir(target):
        raise InputError(f"cannot write {what}{path}: it is a folder")
    exists = os.path.lexists(target)
    if (replaced or not exists) and not os.access(folder, os.W_OK | os.X_OK):
        raise InputError(f"cannot write {what}{path}: folder {folder} is not writable")
    if exists and not os.access(target, os.W_OK):
        raise InputError(f"cannot write {what}{path}: permission denied")


def resume_position(args, document, identity):
    """The Position that the state file's `document` records, once it is
    shown to be this run's input and output as the interrupted run left
    them; InputError when it is not."""
    where = state.position(document, args.state)
    if identity is None:
        raise InputError(f"--resume needs INPUT to be a file that can be read again, not {args.input}")
    if where.input is None:
        raise InputError(f"state file {args.state} was saved reading standard input, which cannot be read again; "
                         f"{state.CONTINUE}")
    if where.input != identity:
        if where.input["path"] != identity["path"]:
            change = f"was saved reading {where.input['path']}, not {identity['path']}"
        elif where.input["size"] != identity["size"]:
            change = (f"was saved reading {identity['path']} when it held {where.input['size']:,} bytes, not "
                      f"{identity['size']:,}")
        else:
            change = f"was saved reading {identity['path']} when its first 64 KiB were different"
        raise InputError(f"state file {args.state} {change}: --resume goes on with the same input; {state.CONTINUE}")
    if where.output is None:
        raise InputError(f"state file {args.state} was saved by a run whose output cannot be continued (standard "
                         "output or gzip); score again without --resume")
    Output.check_resumable(args.output, where.output)
    return where


def prepare(kind, args, source, ignore=(), stored=None):
    """The reader of `source` and the scorer of its rows, as the options in
    `args` ask (from the state file's document `stored` when there is one),
    the detector's settings, and whether it was resumed.  The columns named
    in `ignore` are never scored."""
    if kind.input == "events":
        reader = Events(source, args.time_column, args.skip_bad_rows)
    else:
        records = kind.input == "records"
        columns = args.numeric if records else args.columns
        reader = Table(source, columns, args.time_column, args.skip_bad_rows, kind.narrow,
                       categorical=args.categorical or (), records=records, ignore=ignore)
    scorer, settings, resumed = _scorer(kind, args, reader, stored)
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
    if getattr(args, "resume", False):
        if args.input == "-":
            raise InputError("--resume needs INPUT to be a file that can be read again, not standard input")
        if args.output in (None, "-"):
            raise InputError("--resume needs -o OUTPUT, the file the interrupted run was writing")
        if args.output.endswith(".gz"):
            raise InputError(f"--resume cannot continue a gzip output ({args.output}); score again without --resume")


@dataclass
class Scored:
    """A chunk's rows that the detector took (all of them unless
    --skip-bad-rows passed some over), their scores, calibrated scores,
    flags (with --threshold or --top-percent), and how many of the leading
    rows could not be flagged."""

    chunk: object
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
    scores.

    The detector judges every value; a row it refuses is bad input, worded
    by `refusal(chunk, row, error, detector)` (the reader's), and passed
    over with `skip`."""

    kind: object
    detector: object
    calibrator: morvik3.ScoreCalibrator
    warmup: int
    cut: float | None
    defaults: str
    steady: object = None
    refusal: Callable | None = None
    skip: bool = False

    def __call__(self, chunk):
        seen = self.detector.entries_seen()
        scores, chunk = self._learn(chunk)
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
        return Scored(chunk, scores, calibrated, flags, quiet)

    def _learn(self, chunk):
        """The scores of the chunk's rows that the detector takes, and the
        chunk of those rows."""

        def explain(row, error, detector):
            return self.refusal(chunk, row, error, detector)

        if self.skip:
            self.detector, scores, errors = feed(self.detector, chunk.batch, len(chunk.lines), explain=explain)
            refused = np.flatnonzero(np.not_equal(errors, None))
            if len(refused):
                return np.delete(scores, refused), chunk.without(refused, errors[refused])
            return scores, chunk
        try:
            return self.kind.feed(self.detector, chunk), chunk
        except BaseException as e:
            row = getattr(e, "row", None)
            if row is None or not refuses(e):
                raise
            # The rows before it are learned and the refused one is not: the detector is as it was before that row.
            raise InputError(explain(row, e, self.detector)) from None


def _scorer(kind, args, reader, document):
    """The scorer of the reader's rows (its detector and calibrator loaded
    from the state file's `document` when there is one), the detector's
    settings, and whether it was loaded."""
    widths = reader.widths
    given = given_settings(kind, args)
    calibration = {key: value for key, value in (("window", args.calibration_window),
                                                 ("warmup", args.calibration_warmup)) if value is not None}
    cut = args.threshold if args.top_percent is None else 1 - args.top_percent / 100
    loaded = None
    if document is not None:
        loaded = state.load(document, args.state, kind, given, widths, calibration, args.defaults)
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
    scorer = Scorer(kind, detector, calibrator, calibration["warmup"], cut, name, defaults.steady, reader.refusal,
                    args.skip_bad_rows)
    return scorer, settings, loaded is not None


def _stream(scorer, reader, source, output, tracker, args, identity, position):
    """Streams the reader's rows into the output; returns how many rows of
    the input went to the detector, those of the run resumed included."""
    start = 0 if position is None else position.rows
    bar = tqdm(
        unit=" rows", unit_scale=True, file=sys.stderr, disable=args.quiet or not sys.stderr.isatty(),
        desc=source.label, dynamic_ncols=True, initial=start,
    )

    def read(rows):
        if source.size:
            at = source.position()
            if at:
                bar.total = max(rows, round(rows * source.size / at))

    def take(chunk, scored):
        tracker.add(chunk, scored.scores, scored.flags)
        bar.update(len(chunk.lines))
        output.write(chunk, scored)

    def save(chunk, rows):
        # The output is on disk before a state that counts its rows is.
        state.save(scorer, args.state, state.Position(identity, chunk.end, rows, output.mark()))

    with bar:
        return stream(scorer, reader, take, read, args.checkpoint, save, start)


def stream(scorer, reader, take, read=None, checkpoint=None, save=None, start=0):
    """Scores the reader's chunks on a worker thread while the next chunk is
    read, and hands each chunk's rows that the detector took with what the
    scorer made of them to `take(chunk, scored)`, in order; returns the
    count of rows given to the detector.  `read(rows)` follows every chunk
    read, with the count of rows read so far.  With `checkpoint`, chunks end
    on every multiple of that many rows, counted from `start` rows read
    before (by the run this one resumes), and `save(chunk, rows)` follows
    the `take` of the rows up to there."""
    counts = {"read": start, "given": start}

    def sizes():
        # Chunks end on every checkpoint, so that a checkpoint holds whole chunks.
        while True:
            done = counts["read"]
            yield CHUNK_ROWS if not checkpoint else min(CHUNK_ROWS, checkpoint - done % checkpoint)

    def settled(pending):
        chunk, future = pending
        counts["given"] += len(chunk.lines)
        scored = future.result()
        for _, message in scored.chunk.skipped:
            reader.skipped.add(message)
        return scored

    # The worker needs the interpreter briefly at the start and end of every
    # chunk; a short switch interval keeps it from waiting on this thread.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(min(interval, 0.0005))
    with ThreadPoolExecutor(1, thread_name_prefix="morvik3-score") as pool, _restore(interval):
        pending = None
        chunks = reader.chunks(sizes())
        while True:
            try:
                chunk = next(chunks, None)
            except InputError:
                if pending is not None:
                    pending[1].result()  # a bad row of the chunk before comes first
                raise
            if chunk is None:
                break
            counts["read"] += len(chunk.lines)
            if read is not None:
                read(counts["read"])
            if pending is None:
                pending = chunk, pool.submit(scorer, chunk)
                continue
            scored = settled(pending)
            due = checkpoint and counts["given"] % checkpoint == 0
            if due:
                take(scored.chunk, scored)
                save(scored.chunk, counts["given"])
            pending = chunk, pool.submit(scorer, chunk)
            if not due:
                take(scored.chunk, scored)  # while the worker scores the next chunk
        if pending is not None:
            scored = settled(pending)
            take(scored.chunk, scored)
    return counts["given"]


@contextlib.contextmanager
def _restore(interval):
    try:
        yield
    finally:
        sys.setswitchinterval(interval)


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
    with `flags` its flag.  With `resume`, the mark (see `mark`) of a file
    written by an interrupted run, that file is cut back to the mark and
    written on from there."""

    def __init__(self, path, header, flags, resume=None):
        self.path = path
        self.header = header + ["score", "calibrated"] + (["anomaly"] if flags else [])
        self.resume = resume
        self.target = None
        self.raw = None  # the plain file, which a mark reads back
        self.flagged = 0 if flags else None

    def __enter__(self):
        if self.path in (None, "-"):
            self.target = sys.stdout
        elif self.path.endswith(".gz"):
            try:
                self.target = gzip.open(self.path, "wt", newline="", encoding="utf-8")
            except OSError as e:
                raise InputError(f"cannot write {self.path}: {e.strerror}") from None
        else:
            try:
                self.raw = open(self.path, "w+b" if self.resume is None else "r+b")  # noqa: SIM115 - closed in __exit__
            except OSError as e:
                raise InputError(f"cannot write {self.path}: {e.strerror}") from None
            if self.resume is not None:
                self._cut_back()
            self.target = io.TextIOWrapper(self.raw, encoding="utf-8", newline="")
        self.writer = csv.writer(self.target, lineterminator="\n")
        if self.resume is None:
            self.writer.writerow(self.header)
        return self

    def _cut_back(self):
        header = io.StringIO()
        csv.writer(header, lineterminator="\n").writerow(self.header)
        expected = header.getvalue().encode()
        length = self.resume["length"]
        if length < len(expected) or os.pread(self.raw.fileno(), len(expected), 0) != expected:
            self.raw.close()
            raise InputError(f"{self.path} has other columns than this run writes: --resume goes on with the same "
                             "options")
        self.raw.truncate(length)
        self.raw.seek(length)

    def mark(self):
        """The length of the output written so far, on disk, and the SHA-256
        of its first 64 KiB: what a resumed run checks before it cuts the
        file back to that length.  None for standard output and gzip."""
        if self.raw is None:
            return None
        self.target.flush()
        fd = self.raw.fileno()
        os.fsync(fd)
        length = os.fstat(fd).st_size
        return {"length": length, "sha256": head_sha256(fd, length)}

    @staticmethod
    def check_resumable(path, mark):
        """Refuses to resume an output at `path` that does not hold, as it
        began, what the interrupted run had written up to its `mark`."""
        try:
            with open(path, "rb") as f:
                length = os.fstat(f.fileno()).st_size
                same = length >= mark["length"] and head_sha256(f.fileno(), mark["length"]) == mark["sha256"]
        except OSError as e:
            raise InputError(f"cannot resume {path}: {e.strerror}") from None
        if not same:
            raise InputError(f"{path} does not hold the {mark['length']:,} bytes the interrupted run had written "
                             "by its last checkpoint: --resume goes on with the same output")

    def write(self, chunk, scored):
        # The new cells: the scores in their shortest round-trip form, the flag.
        added = [map(repr, scored.scores.tolist()), map(repr, scored.calibrated.tolist())]
        if scored.flags is not None:
            self.flagged += int(scored.flags.sum())
            added.append(map("01".__getitem__, scored.flags.tolist()))
        self.writer.writerows(map(operator.iadd, chunk.cells, zip(*added)))

    def __exit__(self, *exc):
        if self.target is sys.stdout:
            sys.stdout.flush()
        elif self.target is not None:
            self.target.close()
        elif self.raw is not None:
            self.raw.close()
        return False


def _summary(label, scorer, reader, tracker, elapsed, resumed, args, flagged, position):
    err = sys.stderr
    rate = tracker.rows / elapsed if elapsed > 0 else float("inf")
    print(f"morvik3: scored {counted(tracker.rows, 'row')} of {label} in {elapsed:.1f} s ({rate:,.0f} rows/s)",
          file=err)
    print(f"  detector: {scorer.detector!r}", file=err)
    print(f"  calibrator: {scorer.calibrator!r}", file=err)
    if args.state:
        print(f"  state: {'resumed from and ' if resumed else ''}saved to {args.state}", file=err)
    if position is not None:
        print(f"  resumed at the last checkpoint: passed over the {counted(position.rows, 'row')} read before it; "
              f"{args.output} went on from byte {position.output['length']:,}", file=err)
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
