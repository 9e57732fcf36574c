"""`morvik3 score`: streams an input through a detector and writes its rows
with their scores.

Reading and writing run on the calling thread while the detector scores the
previous chunk on a worker thread: the batch methods compute without holding
the interpreter, so parsing overlaps scoring."""

import contextlib
import csv
import gzip
import math
import operator
import re
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from tqdm import tqdm

from morvik3.cli import plot, state
from morvik3.cli.detectors import KINDS, foreign_settings, given_settings
from morvik3.cli.inputs import Events, InputError, Table, open_input, where

CHUNK_ROWS = 32768
TOP_ROWS = 10


def run(args):
    kind = KINDS[args.detector]
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
    if args.plot and not plot.available():
        raise InputError(plot.MISSING)
    started = time.perf_counter()
    source = open_input(args.input)
    try:
        if kind.input == "events":
            reader = Events(source, args.time_column, args.skip_bad_rows)
            widths = ()
        else:
            records = kind.input == "records"
            columns = args.numeric if records else args.columns
            reader = Table(source, columns, args.time_column, args.skip_bad_rows, kind.narrow,
                           categorical=args.categorical or (), records=records)
            widths = reader.widths
        detector, settings, resumed = _detector(kind, args, widths)
        if kind.input == "records":
            reader.last_tick = detector.current_time() or 0
        tracker = Tracker(
            gap=settings.get("shingle_size", 1), keep_scores=args.top_percent is not None or bool(args.plot),
            keep_series=bool(args.plot),
        )
        with Output(args.output, reader.output_header(), args.threshold, args.top_percent) as output:
            _stream(kind, detector, reader, source, output, tracker, args)
            flags = output.finish(tracker)
        if args.state:
            state.save(detector, args.state)
    finally:
        source.close()
    elapsed = time.perf_counter() - started
    if args.plot:
        scores = tracker.all_scores()
        if flags is None and args.threshold is not None:
            flags = scores >= args.threshold
        marks = np.flatnonzero(flags) if flags is not None else [row for _, row, _, _ in tracker.top()]
        series = np.concatenate(tracker.series) if tracker.series else None
        plot.plot(args.plot, f"{source.label}: {kind.name} scores", scores, series, reader.names, marks,
                  tracker.times or None, threshold=args.threshold)
    if not args.quiet:
        _summary(source.label, detector, reader, tracker, elapsed, resumed, args, output.flagged)
    return 0


def _detector(kind, args, widths):
    """The detector to feed (loaded from --state when it exists), the
    settings it runs with, and whether it was loaded."""
    given = given_settings(kind, args)
    if args.state:
        loaded = state.load(args.state, kind, given, widths)
        if loaded is not None:
            detector, config = loaded
            return detector, {s.key: config[s.key] for s in kind.settings}, True
    settings = kind.defaults(widths) | given
    try:
        return kind.create(widths, settings, args.seed), settings, False
    except (ValueError, OverflowError) as e:
        raise InputError(f"invalid detector settings: {e}") from None


def _stream(kind, detector, reader, source, output, tracker, args):
    checkpoint = args.checkpoint
    counts = {"read": 0, "learned": 0}

    def sizes():
        # Chunks end on every checkpoint, so that a checkpoint holds whole chunks.
        while True:
            read = counts["read"]
            yield CHUNK_ROWS if not checkpoint else min(CHUNK_ROWS, checkpoint - read % checkpoint)

    bar = tqdm(
        unit=" rows", unit_scale=True, file=sys.stderr, disable=args.quiet or not sys.stderr.isatty(),
        desc=source.label, dynamic_ncols=True,
    )

    def settle(chunk, future):
        scores = _scores(source.label, chunk, future)
        counts["learned"] += len(chunk.lines)
        tracker.add(chunk, scores)
        bar.update(len(chunk.lines))
        return scores

    # The worker needs the interpreter briefly at the start and end of every
    # chunk; a short switch interval keeps it from waiting on this thread.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(min(interval, 0.0005))
    with bar, ThreadPoolExecutor(1, thread_name_prefix="morvik3-score") as pool, _restore(interval):
        pending = None
        for chunk in reader.chunks(sizes()):
            counts["read"] += len(chunk.lines)
            if source.size:
                position = source.position()
                if position:
                    bar.total = max(counts["read"], round(counts["read"] * source.size / position))
            if pending is None:
                pending = chunk, pool.submit(kind.feed, detector, chunk)
                continue
            done, scores = pending[0], settle(*pending)
            due = checkpoint and counts["learned"] % checkpoint == 0
            if due:
                # The rows of a checkpoint are written out before it is taken.
                output.write(done, scores)
                output.flush()
                state.save(detector, args.state)
            pending = chunk, pool.submit(kind.feed, detector, chunk)
            if not due:
                output.write(done, scores)  # while the worker scores the next chunk
        if pending is not None:
            output.write(pending[0], settle(*pending))


@contextlib.contextmanager
def _restore(interval):
    try:
        yield
    finally:
        sys.setswitchinterval(interval)


def _scores(label, chunk, future):
    """The scores of a chunk; a row the detector refused is bad input on its line."""
    try:
        return future.result()
    except (ValueError, TypeError) as e:
        found = re.match(r"row (\d+): (.*)", str(e), re.DOTALL)
        if not found:
            raise
        raise InputError(f"{where(label, chunk.lines[int(found[1])])}: {found[2]}") from None


class Tracker:
    """What the summary and the plot need: the row count, a pool of the
    highest scores, and with a plot the scores and first columns of every row."""

    def __init__(self, gap, keep_scores, keep_series):
        self.rows = 0
        self.gap = max(1, gap)  # rows closer than this belong to one anomaly
        self.pool = []  # (score, row, line, time) of the highest scores so far
        self.pool_size = 20 * self.gap + 50
        self.scores = [] if keep_scores else None
        self.series = [] if keep_series else None
        self.times = [] if keep_series else None

    def add(self, chunk, scores):
        n = len(scores)
        keep = min(n, self.pool_size)
        best = np.argpartition(scores, n - keep)[n - keep :] if keep < n else np.arange(n)
        self.pool.extend((float(scores[i]), self.rows + int(i), chunk.lines[i], chunk.time(i)) for i in best)
        self.pool.sort(key=lambda t: (-t[0], t[1]))
        del self.pool[self.pool_size :]
        if self.scores is not None:
            self.scores.append(scores)
        if self.series is not None and chunk.values is not None:
            self.series.append(chunk.values[:, :3])
        if self.times is not None and chunk.time_index is not None:
            self.times.extend(chunk.times())
        self.rows += n

    def all_scores(self):
        return np.concatenate(self.scores) if self.scores else np.empty(0)

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
    """The output CSV: each row's cells, its score, and its flag when asked
    for.  With --top-percent the flags are known only at the end, so the rows
    go to a temporary file first and are copied with their flags."""

    def __init__(self, path, header, threshold, top_percent):
        self.path = path
        self.header = header
        self.threshold = threshold
        self.top_percent = top_percent
        self.target = None
        self.body = None
        self.flagged = None if threshold is None and top_percent is None else 0

    def __enter__(self):
        if self.path in (None, "-"):
            self.target = sys.stdout
        else:
            opener = gzip.open if self.path.endswith(".gz") else open
            try:
                self.target = opener(self.path, "wt", newline="", encoding="utf-8")
            except OSError as e:
                raise InputError(f"cannot write {self.path}: {e.strerror}") from None
        if self.top_percent is not None:
            self.body = tempfile.TemporaryFile("w+", newline="", encoding="utf-8")
        else:
            self.body = self.target
        self.writer = csv.writer(self.body, lineterminator="\n")
        if self.top_percent is None:
            self.writer.writerow(self.header + ["score"] + ([] if self.threshold is None else ["anomaly"]))
        return self

    def write(self, chunk, scores):
        rows = chunk.cells
        # The new cells: the score in its shortest round-trip form, the flag.
        added = [map(repr, scores.tolist())]
        if self.threshold is not None:
            flags = scores >= self.threshold
            self.flagged += int(flags.sum())
            added.append(map("01".__getitem__, flags.tolist()))
        self.writer.writerows(map(operator.iadd, rows, zip(*added)))

    def flush(self):
        self.body.flush()

    def finish(self, tracker):
        """Writes the rows with the flags of --top-percent and returns the flags."""
        if self.top_percent is None:
            return None
        scores = tracker.all_scores()
        count = math.ceil(len(scores) * self.top_percent / 100)
        flags = np.zeros(len(scores), dtype=bool)
        flags[np.argsort(-scores, kind="stable")[:count]] = True
        self.flagged = count
        self.body.seek(0)
        out = csv.writer(self.target, lineterminator="\n")
        out.writerow(self.header + ["score", "anomaly"])
        out.writerows(row + [int(flag)] for row, flag in zip(csv.reader(self.body), flags.tolist()))
        return flags

    def __exit__(self, *exc):
        if self.body is not None and self.body is not self.target:
            self.body.close()
        if self.target is sys.stdout:
            sys.stdout.flush()
        elif self.target is not None:
            self.target.close()
        return False


def _summary(label, detector, reader, tracker, elapsed, resumed, args, flagged):
    err = sys.stderr
    rate = tracker.rows / elapsed if elapsed > 0 else float("inf")
    print(f"morvik3: scored {_count(tracker.rows, 'row')} of {label} in {elapsed:.1f} s ({rate:,.0f} rows/s)",
          file=err)
    print(f"  detector: {detector!r}", file=err)
    if args.state:
        print(f"  state: {'resumed from and ' if resumed else ''}saved to {args.state}", file=err)
    skipped = reader.skipped
    if skipped.count:
        print(f"  skipped {_count(skipped.count, 'bad row')}:", file=err)
        for message in skipped.first:
            print(f"    {message}", file=err)
        if skipped.count > len(skipped.first):
            print(f"    ... and {skipped.count - len(skipped.first):,} more", file=err)
    if flagged is not None:
        rule = f"score >= {args.threshold}" if args.threshold is not None else f"top {args.top_percent}%"
        print(f"  flagged {_count(flagged, 'row')} as anomalies ({rule})", file=err)
    # Scores of zero come from a detector still warming up: no anomaly there.
    top = [entry for entry in tracker.top() if entry[0] > 0]
    if top:
        stamp = reader.time_name
        print(f"  top anomalies (at least {_count(tracker.gap, 'row')} apart):", file=err)
        print(f"    {'line':>10}  " + ("" if stamp is None else f"{stamp:<25} ") + f"{'score':>10}", file=err)
        for score, _, line, time in top:
            print(f"    {line:>10}  " + ("" if stamp is None else f"{time:<25} ") + f"{score:>10.4f}", file=err)


def _count(n, noun):
    return f"{n:,} {noun}" + ("" if n == 1 else "s")
