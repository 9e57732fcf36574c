"""Reading the rows to score: CSV tables and JSON-lines events, streamed in
chunks, with errors that name the file, line and column of bad input."""

import contextlib
import csv
import datetime
import functools
import gzip
import hashlib
import io
import itertools
import json
import math
import operator
import os
import stat
import sys
import zlib
from collections.abc import Sequence
from dataclasses import dataclass, field

import numpy as np

from morvik3._categories import category_code
from morvik3._feed import message

# Header names (compared case-insensitively) taken as the timestamp column.
TIME_NAMES = ("timestamp", "time", "datetime", "date", "ts")
# The leading bytes of an input file whose hash identifies it.
HEAD_BYTES = 64 * 1024


class InputError(Exception):
    """Bad input or a refused request: reported in one line, exit status 2."""


def where(label, line, column=None):
    text = f"{label}, line {line}"
    return text if column is None else f"{text}, column {column!r}"


@dataclass
class Source:
    """An opened input: its text stream and what the progress bar needs."""

    label: str
    text: io.TextIOBase
    raw: object
    size: int | None  # bytes of a regular file, None when unknown

    def position(self):
        """Bytes of the file read so far (compressed bytes for gzip)."""
        try:
            return self.raw.tell()
        except (OSError, ValueError):
            return None

    def close(self):
        if self.raw is not sys.stdin.buffer:
            self.text.close()


def fingerprint(path):
    """What identifies the input at `path` without reading it whole: its
    absolute path, its size and the SHA-256 of its first 64 KiB; None for
    standard input and anything else that is not a regular file, which
    cannot be read again."""
    if path == "-":
        return None
    try:
        info = os.stat(path)
        if not stat.S_ISREG(info.st_mode):
            return None
        with open(path, "rb") as f:
            head = head_sha256(f.fileno(), info.st_size)
    except OSError:
        return None  # reported when the input is opened
    return {"path": os.path.abspath(path), "size": info.st_size, "sha256": head}


def head_sha256(fd, length):
    """The SHA-256 of the first 64 KiB (at most `length` bytes) of the file `fd`."""
    return hashlib.sha256(os.pread(fd, min(length, HEAD_BYTES), 0)).hexdigest()


def open_input(path):
    """Opens PATH (or standard input for "-"), gunzipping a ".gz" file."""
    if path == "-":
        raw, label, size = sys.stdin.buffer, "<stdin>", None
    else:
        label = path
        try:
            raw = open(path, "rb")  # noqa: SIM115 - closed by Source.close
        except OSError as e:
            raise InputError(f"cannot open {path}: {e.strerror}") from None
        info = os.fstat(raw.fileno())
        size = info.st_size if stat.S_ISREG(info.st_mode) else None
    binary = gzip.GzipFile(fileobj=raw, mode="rb") if path.endswith(".gz") else raw
    # utf-8-sig drops a byte-order mark that spreadsheet exports put before the header.
    text = io.TextIOWrapper(binary, encoding="utf-8-sig", newline="")
    return Source(label, text, raw, size)


@contextlib.contextmanager
def read_errors(label, line=None):
    """Turns decoding, decompression and CSV failures into input errors;
    `line` tells the line being read, when known."""
    try:
        yield
    except UnicodeDecodeError as e:
        raise InputError(f"{label}: not UTF-8 text ({e.reason} at byte {e.start})") from None
    except (gzip.BadGzipFile, EOFError, zlib.error) as e:
        raise InputError(f"{label}: not a complete gzip file ({e})") from None
    except csv.Error as e:
        raise InputError(f"{label if line is None else where(label, line())}: {e}") from None


@dataclass
class Chunk:
    """Consecutive good rows: what the detector takes and what is written out."""

    batch: tuple  # the arguments of the detector's batch methods
    cells: list  # per row, the cells written before the score
    lines: Sequence[int]  # per row, the line it begins on
    time_index: int | None = None  # the cell holding the row's time
    values: np.ndarray | None = None  # the numeric columns, for plots
    end: int = 0  # the input's records (CSV) or lines (JSON lines) read up to the end of the chunk
    skipped: list = field(default_factory=list)  # (line, message) of the bad rows passed over in it

    def without(self, rows, messages):
        """The chunk without the rows at the indexes `rows`, refused with `messages`."""
        keep = np.ones(len(self.lines), dtype=bool)
        keep[rows] = False
        batch = tuple(x[keep] if isinstance(x, np.ndarray) else list(itertools.compress(x, keep)) for x in self.batch)
        cells = list(itertools.compress(self.cells, keep))
        lines = list(itertools.compress(self.lines, keep))
        values = None if self.values is None else self.values[keep]
        skipped = sorted(self.skipped + [(self.lines[i], m) for i, m in zip(rows, messages)])
        return Chunk(batch, cells, lines, self.time_index, values, self.end, skipped)

    def time(self, i):
        return None if self.time_index is None else self.cells[i][self.time_index]

    def times(self):
        return None if self.time_index is None else [row[self.time_index] for row in self.cells]


@dataclass
class Skipped:
    """Bad rows passed over with --skip-bad-rows."""

    count: int = 0
    first: list = field(default_factory=list)  # messages of the first few

    def add(self, message):
        self.count += 1
        if len(self.first) < 5:
            self.first.append(message)


def parses(cell):
    try:
        float(cell)
    except ValueError:
        return False
    return True


class Table:
    """The data rows of a CSV file with a header line, read with the csv
    module a chunk of records at a time.

    The numeric columns are those named by `columns`, else every column
    (besides the timestamp and categorical columns and those named in
    `ignore`) whose first data row holds a number.  A cell that is not a
    number is bad input; which numbers are is the detector's to judge
    (see `refusal`).  `narrow` is the float type the detector computes
    with, which tells a value beyond its range in the message of a refusal.

    With `records` the rows are MStream records: besides the numeric columns,
    the `categorical` columns, whose text is hashed to integers, and the
    timestamp column, which is required and read as integer ticks (see
    `tick`)."""

    def __init__(self, source, columns=None, time_column=None, skip_bad=False, narrow=np.float64,
                 categorical=(), records=False, ignore=()):
        self.label = source.label
        self.skip_bad = skip_bad
        self.skipped = Skipped()
        self.narrow = narrow
        self.records = records
        self.consumed = 0  # records read after the header, blank ones included
        self._reader = csv.reader(source.text)
        with read_errors(self.label, lambda: self._reader.line_num):
            self.header = next(self._reader, None)
            if self.header is None:
                raise InputError(f"{self.label}: empty file")
            # The first record, read to find the numeric columns, stays to be scored.
            self._pending = self._read(1)
        if not self._pending[0]:
            raise InputError(f"{self.label}: no data rows after the header line")
        first, first_line = self._pending[0][0], self._pending[1][0]
        self.width = len(self.header)
        if all(parses(name) for name in self.header if name.strip()):
            raise InputError(f"{where(self.label, 1)}: the first line must be a header naming the columns")
        self.time_index = self._time_index(time_column)
        if records and self.time_index is None:
            raise InputError(f"{where(self.label, 1)}: no timestamp column (name it with --time-column)")
        self.categorical = [self.index(name) for name in categorical]
        if columns is not None:
            self.columns = [self.index(name) for name in columns]
        else:
            others = {self.time_index, *self.categorical, *map(self.index, ignore)}
            self.columns = [i for i, cell in enumerate(first) if i not in others and i < self.width and parses(cell)]
            if not self.columns and not self.categorical:
                hint = "--numeric or --categorical" if records else "--columns"
                raise InputError(f"{where(self.label, first_line)}: no numeric column (name the columns with {hint})")
        chosen = self.columns + self.categorical + ([self.time_index] if records else [])
        twice = next((i for i in chosen if chosen.count(i) > 1), None)
        if twice is not None:
            raise InputError(f"{where(self.label, 1)}: column {self.header[twice]!r} is chosen twice")
        self.names = [self.header[i] for i in self.columns]
        self.widths = (len(self.columns), len(self.categorical)) if records else (len(self.columns),)
        self._code = functools.lru_cache(maxsize=1 << 16)(category_code)

    def _read(self, size):
        """The next `size` records that are not blank lines, and the line
        each begins on; fewer at the end of the input."""
        rows, lines = [], []
        while len(rows) < size:
            start = self._reader.line_num
            more = list(itertools.islice(self._reader, size - len(rows)))
            if not more:
                break
            self.consumed += len(more)
            end = self._reader.line_num
            if end - start == len(more):
                numbers = range(start + 1, end + 1)
            else:  # some record holds a quoted line break: count them
                numbers, line = [], start
                for row in more:
                    numbers.append(line + 1)
                    line += 1 + sum(cell.count("\n") for cell in row)
            if all(more):
                rows.extend(more)
                lines.extend(numbers)
            else:
                kept = [(row, line) for row, line in zip(more, numbers) if row]
                rows.extend(row for row, _ in kept)
                lines.extend(line for _, line in kept)
        return rows, lines

    def skip(self, records):
        """Passes over the first `records` records after the header, read
        by an earlier run, without taking them."""
        if records < self.consumed:
            raise InputError(f"{self.label}: its first data row lies beyond the {records:,} records the state file "
                             "says were read")
        self._pending = None  # read while the columns were chosen
        with read_errors(self.label, lambda: self._reader.line_num):
            self.consumed += _drain(self._reader, records - self.consumed)
        _check_length(self.label, self.consumed, records, "records")

    def index(self, name):
        matches = [i for i, h in enumerate(self.header) if h == name]
        if not matches:
            known = ", ".join(self.header)
            raise InputError(f"{where(self.label, 1)}: no column named {name!r} (columns: {known})")
        if len(matches) > 1:
            raise InputError(f"{where(self.label, 1)}: more than one column is named {name!r}")
        return matches[0]

    def _time_index(self, name):
        if name is not None:
            return self.index(name)
        for i, h in enumerate(self.header):
            if h.strip().lower() in TIME_NAMES:
                return i
        return None

    @property
    def time_name(self):
        return None if self.time_index is None else self.header[self.time_index]

    def output_header(self):
        return list(self.header)

    def chunks(self, sizes):
        """Yields chunks of good rows, each of the next size from `sizes`
        (the last one may be shorter)."""
        for size in sizes:
            chunk = self._chunk(size)
            if chunk is None:
                return
            while len(chunk.lines) < size:  # bad rows were skipped: top up
                more = self._chunk(size - len(chunk.lines))
                if more is None:
                    yield chunk
                    return
                chunk = _join(chunk, more)
            yield chunk

    def _chunk(self, size):
        """The good rows among the next `size` records, None at the end."""
        if self._pending is not None:
            (rows, lines), self._pending = self._pending, None
        else:
            rows, lines = [], []
        with read_errors(self.label, lambda: self._reader.line_num):
            more, numbers = self._read(size - len(rows))
        rows += more
        lines += numbers
        if not rows:
            return None
        skipped = []
        try:
            if len(set(map(len, rows))) != 1 or len(rows[0]) != self.width:
                raise ValueError
            batch = self._batch(rows)
        except (ValueError, OverflowError):
            rows, lines, batch, skipped = self._sift(rows, lines)
        return Chunk(batch, rows, lines, self.time_index, batch[0], self.consumed, skipped)

    def _batch(self, rows):
        """The arguments of the detector's batch methods for `rows`;
        ValueError or OverflowError when a cell does not parse."""
        values = self._values(rows)
        if not self.records:
            return (values,)
        n, k = len(rows), len(self.categorical)
        codes = map(operator.itemgetter(*self.categorical), rows) if k else ()
        if k > 1:
            codes = itertools.chain.from_iterable(codes)
        codes = np.fromiter(map(self._code, codes), np.int64, count=n * k).reshape(n, k)
        stamps = map(operator.itemgetter(self.time_index), rows)
        return values, codes, np.fromiter(map(tick, stamps), np.int64, count=n)

    def _values(self, rows):
        """The numeric columns of `rows` as floats; ValueError when a cell is not a number."""
        k = len(self.columns)
        cells = map(operator.itemgetter(*self.columns), rows) if k else ()
        if k > 1:
            cells = itertools.chain.from_iterable(cells)
        return np.fromiter(map(float, cells), np.float64, count=len(rows) * k).reshape(len(rows), k)

    def _sift(self, rows, lines):
        """The slow path: finds each row that does not parse, then raises or
        skips it."""
        good_rows, good_lines, skipped = [], [], []
        for row, line in zip(rows, lines):
            problem = self._problem(row, line)
            if problem is None:
                good_rows.append(row)
                good_lines.append(line)
            elif self.skip_bad:
                skipped.append((line, problem))
            else:
                raise InputError(problem)
        return good_rows, good_lines, self._batch(good_rows), skipped

    def _problem(self, row, line):
        if len(row) != self.width:
            return f"{where(self.label, line)}: expected {self.width} fields, got {len(row)}"
        for i, name in zip(self.columns, self.names):
            try:
                float(row[i])
            except ValueError:
                return f"{where(self.label, line, name)}: {row[i]!r} is not a number"
        if self.records:
            cell = row[self.time_index]
            try:
                value = tick(cell)
            except ValueError:
                return (f"{where(self.label, line, self.time_name)}: {cell!r} is neither an integer nor an ISO 8601 "
                        "date and time")
            if not MIN_TICK <= value <= MAX_TICK:
                return self._tick_message(line, cell, value)
        return None

    def refusal(self, chunk, row, error, detector):
        """The message of the chunk's row that the detector refused with
        `error`, given the detector as it was before that row: the cell
        holding what it refuses, where there is one, else its own words."""
        cells, line, values = chunk.cells[row], chunk.lines[row], chunk.batch[0][row].tolist()
        named = list(zip(self.columns, self.names, values))
        for i, name, value in named:
            if not math.isfinite(value):
                return f"{where(self.label, line, name)}: {cells[i]!r} is not a finite number"
        with np.errstate(over="ignore"):
            for i, name, value in named:
                if not np.isfinite(self.narrow(value)):
                    return f"{where(self.label, line, name)}: {cells[i]!r} is out of the detector's range"
        if self.records:
            found = self._tick_message(line, cells[self.time_index], int(chunk.batch[2][row]), detector.current_time())
            if found is not None:
                return found
        return f"{where(self.label, line)}: {message(error)}"

    def _tick_message(self, line, cell, value, previous=None):
        """What is wrong with the tick `value` of a time cell, after a row of
        tick `previous`; None when nothing is."""
        at = f"{where(self.label, line, self.time_name)}: {cell!r} is tick {value}"
        if value <= 0:
            return f"{at}, and ticks must be > 0"
        if value > MAX_TICK:
            return f"{at}, beyond the largest tick {MAX_TICK}"
        if previous is not None and value < previous:
            return f"{at}, before the previous row's tick {previous}"
        return None


EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.UTC)
SECOND = datetime.timedelta(seconds=1)
# Ticks are read into 64-bit integers.
MAX_TICK = 2**63 - 1
MIN_TICK = -(2**63)


def tick(text, unit=SECOND):
    """The integer tick of a time cell: an integer as that many seconds, an
    ISO 8601 date and time as the time since 1970 (in UTC when it names no
    offset), both in whole `unit`s."""
    try:
        seconds = int(text)
    except ValueError:
        moment = datetime.datetime.fromisoformat(text.strip())
        if moment.tzinfo is None:
            moment = moment.replace(tzinfo=datetime.UTC)
        return (moment - EPOCH) // unit
    return seconds if unit is SECOND else seconds * (SECOND // unit)


class Events:
    """Feature events from JSON lines: one object of name-to-number pairs
    per line (blank lines are passed over).  The key `time_column`, or else
    the first event's key named like a timestamp, is taken out of every event
    as its time."""

    def __init__(self, source, time_column=None, skip_bad=False):
        self.label = source.label
        self.lines = enumerate(source.text, start=1)
        self.skip_bad = skip_bad
        self.skipped = Skipped()
        self.names = []
        self.widths = ()
        self.time_name = time_column
        self.consumed = 0  # lines read
        # The bad events passed over before the first good one.
        self._first_skipped = []
        with read_errors(self.label):
            self._first = self._next_event(self._first_skipped, first=True)
        if self._first is None:
            raise InputError(f"{self.label}: empty file (no events)")

    def output_header(self):
        return ["line"] + ([] if self.time_name is None else [self.time_name])

    def skip(self, lines):
        """Passes over the first `lines` lines, read by an earlier run,
        without taking them."""
        if lines < self.consumed:
            raise InputError(f"{self.label}: its first event lies beyond the {lines:,} lines the state file says "
                             "were read")
        self._first, self._first_skipped = None, []
        with read_errors(self.label):
            self.consumed += _drain(self.lines, lines - self.consumed)
        _check_length(self.label, self.consumed, lines, "lines")

    def _next_event(self, skipped, first=False):
        """(line, event, time) of the next good event, or None at the end;
        the bad events passed over on the way go to `skipped`."""
        for line, text in self.lines:
            self.consumed = line
            if not text.strip():
                continue
            if first and self.time_name is None:
                self.time_name = _time_key(text)
                first = False
            problem, event, time = self._parse(line, text)
            if problem is None:
                return line, event, time
            if not self.skip_bad:
                raise InputError(problem)
            skipped.append((line, problem))
        return None

    def _parse(self, line, text):
        try:
            event = json.loads(text.rstrip("\r\n"))
        except json.JSONDecodeError as e:
            return f"{where(self.label, line)}: invalid JSON ({e.msg} at column {e.colno})", None, None
        if not isinstance(event, dict):
            return f"{where(self.label, line)}: expected a JSON object of name-to-number pairs", None, None
        time = event.pop(self.time_name, None) if self.time_name is not None else None
        # The common case, every value a number, checked at C speed.
        if all(map(isinstance, event.values(), itertools.repeat((int, float)))):
            return None, event, time
        name, value = next((n, v) for n, v in event.items() if not isinstance(v, (int, float)))
        return f"{where(self.label, line)}, key {name!r}: {json.dumps(value)} is not a number", None, None

    def refusal(self, chunk, row, error, detector):
        """The message of the chunk's event that the detector refused with
        `error`: the key holding what it refuses, where there is one, else
        its own words."""
        at = where(self.label, chunk.lines[row])
        for name, value in chunk.batch[0][row].items():
            try:
                finite = math.isfinite(value)
            except OverflowError:
                return f"{at}, key {name!r}: {value} is out of the detector's range"
            if not finite:
                return f"{at}, key {name!r}: {value} is not a finite number"
        return f"{at}: {message(error)}"

    def chunks(self, sizes):
        for size in sizes:
            events, cells, lines = [], [], []
            skipped, self._first_skipped = self._first_skipped, []
            with read_errors(self.label):
                while len(events) < size:
                    if self._first is not None:
                        item, self._first = self._first, None
                    else:
                        item = self._next_event(skipped)
                    if item is None:
                        break
                    line, event, time = item
                    events.append(event)
                    lines.append(line)
                    cells.append([line] if self.time_name is None else [line, "" if time is None else str(time)])
            if not events and not skipped:  # bad events at the end still make a chunk, to be counted
                return
            yield Chunk((events,), cells, lines, None if self.time_name is None else 1, None, self.consumed, skipped)
            if len(events) < size:
                return


def _drain(items, count):
    """Passes over the next `count` items; how many there were."""
    return sum(1 for _ in itertools.islice(items, count))


def _check_length(label, read, expected, what):
    if read < expected:
        raise InputError(f"{label} ends after {read:,} {what}, before the {expected:,} the state file says were read")


def _time_key(text):
    """The first key of a JSON object named like a timestamp, if any."""
    try:
        event = json.loads(text)
    except json.JSONDecodeError:
        return None
    if isinstance(event, dict):
        for key in event:
            if key.strip().lower() in TIME_NAMES:
                return key
    return None


def _join(a, b):
    batch = tuple(np.concatenate([x, y]) if isinstance(x, np.ndarray) else x + y for x, y in zip(a.batch, b.batch))
    values = None if a.values is None else np.concatenate([a.values, b.values])
    return Chunk(batch, a.cells + b.cells, list(a.lines) + list(b.lines), a.time_index, values, b.end,
                 a.skipped + b.skipped)
