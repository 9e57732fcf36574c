"""Where the labelled anomalies of a series lie: windows of time from a JSON
file (laid out as the Numenta Anomaly Benchmark's combined windows: series
path to a list of [start, end] pairs), from a CSV file of start,end windows,
or a 0/1 column of the input itself.  Every window becomes a range of rows."""

import csv
import datetime
import json
import os
import pathlib
from dataclasses import dataclass, field

import numpy as np

from morvik3.cli.inputs import InputError, tick, where

MICROSECOND = datetime.timedelta(microseconds=1)
# Files taken as series when a folder of them is labelled by a column.
SERIES_SUFFIXES = (".csv", ".csv.gz")


@dataclass
class Labels:
    """Windows per series name (times as written), or the `column` of 0 and 1
    that labels every row.  `source` names where they came from in messages."""

    source: str
    windows: dict = field(default_factory=dict)
    column: str | None = None
    # Windows of a CSV file without a series column: they label any single input.
    anonymous: bool = False

    def series(self, input_path):
        """(name, path) of every series to evaluate under `input_path`: each
        series of a folder that the labels name, or the one input file."""
        if input_path != "-" and os.path.isdir(input_path):
            return self._folder(pathlib.Path(input_path))
        if self.column is not None or self.anonymous:
            return [(input_path, input_path)]
        return [(self._key_of(input_path), input_path)]

    def _folder(self, folder):
        if self.column is not None:
            found = sorted(
                p.relative_to(folder).as_posix() for p in folder.rglob("*")
                if p.is_file() and p.name.endswith(SERIES_SUFFIXES)
            )
            if not found:
                raise InputError(f"{folder}: no CSV files to evaluate")
            return [(name, str(folder / name)) for name in found]
        if self.anonymous:
            raise InputError(f"{self.source}: no series column, so its windows cannot be matched to the files of "
                             f"the folder {folder} (add a column naming each window's file)")
        missing = [name for name in self.windows if not (folder / name).is_file()]
        if missing:
            raise InputError(f"{self.source} labels {len(missing)} series that {folder} does not hold: "
                             + ", ".join(missing[:3]) + (", ..." if len(missing) > 3 else ""))
        return [(name, str(folder / name)) for name in sorted(self.windows)]

    def _key_of(self, input_path):
        """The name the labels give the input file: the one that ends its path."""
        parts = pathlib.PurePath(os.path.abspath(input_path)).parts
        matches = [name for name in self.windows
                   if parts[-len(pathlib.PurePosixPath(name).parts):] == pathlib.PurePosixPath(name).parts]
        if len(matches) == 1:
            return matches[0]
        if not matches:
            raise InputError(f"{self.source} has no windows for {input_path} (it labels {len(self.windows)} "
                             "series, named by the ends of their paths)")
        raise InputError(f"{self.source} names {input_path} more than once: {', '.join(matches)}")

    def rows(self, name, label, times, lines):
        """The windows of series `name` as (first, last) rows, in order;
        `times` holds each row's time cell and `lines` its line of `label`."""
        spans = self.windows.get("" if self.anonymous else name, [])
        if not spans:
            return []
        if any(t is None for t in times[:1]):
            raise InputError(f"{label}: {self.source} gives windows of time, and there is no time column "
                             "(name it with --time-column)")
        instants = np.empty(len(times), dtype=np.int64)
        for i, cell in enumerate(times):
            try:
                instants[i] = tick(cell, MICROSECOND)
            except (ValueError, TypeError, OverflowError):
                raise InputError(f"{where(label, lines[i])}: the time {cell!r} is not an integer or an ISO 8601 date "
                                 "and time within the years 1 to 9999") from None
        ranges = []
        for start, end in spans:
            # Rows need not be in time order: a window runs from the first row
            # whose time lies in it to the last.
            inside = np.flatnonzero((instants >= _instant(self.source, name, start))
                                    & (instants <= _instant(self.source, name, end)))
            if not len(inside):
                raise InputError(f"{self.source}: the window {start} .. {end} of {name} holds no row of it")
            ranges.append((int(inside[0]), int(inside[-1]), start, end))
        ranges.sort()
        for (_, last, a, b), (first, _, c, d) in zip(ranges, ranges[1:]):
            if first <= last:
                raise InputError(f"{self.source}: the windows {a} .. {b} and {c} .. {d} of {name} overlap")
        return [(first, last) for first, last, _, _ in ranges]


def column_rows(label, column, cells, lines):
    """The runs of rows whose cell in `column` is 1, as (first, last) rows."""
    runs, start = [], None
    for i, cell in enumerate(cells):
        try:
            value = float(cell)
        except ValueError:
            value = None
        if value not in (0.0, 1.0):
            raise InputError(f"{where(label, lines[i], column)}: {cell!r} is not a label (0 or 1)")
        if value and start is None:
            start = i
        elif not value and start is not None:
            runs.append((start, i - 1))
            start = None
    if start is not None:
        runs.append((start, len(cells) - 1))
    return runs


def read(text):
    """The labels that `--labels TEXT` names: a JSON or CSV file when one is
    there, else a column of the input."""
    if not os.path.isfile(text):
        if os.path.exists(text):
            raise InputError(f"--labels {text}: not a file")
        if os.sep in text or text.lower().endswith((".json", ".csv")):
            raise InputError(f"--labels {text}: no such labels file")
        return Labels(f"labels column {text!r}", column=text)
    try:
        with open(text, encoding="utf-8-sig", newline="") as f:
            content = f.read()
    except (OSError, UnicodeDecodeError) as e:
        raise InputError(f"cannot read labels file {text}: {getattr(e, 'strerror', None) or e}") from None
    if content.lstrip().startswith(("{", "[")):
        return _from_json(text, content)
    return _from_csv(text, content)


def _from_json(path, content):
    try:
        document = json.loads(content)
    except json.JSONDecodeError as e:
        raise InputError(f"labels file {path} is not valid JSON: {e}") from None
    if not isinstance(document, dict):
        raise InputError(f"labels file {path} must hold a JSON object of series path to a list of [start, end] "
                         "windows")
    windows = {}
    for name, spans in document.items():
        if not isinstance(spans, list) or not all(_is_pair(s) for s in spans):
            raise InputError(f"labels file {path}: the windows of {name!r} must be a list of [start, end] pairs "
                             f"of times, not {json.dumps(spans)[:80]}")
        windows[name] = [_window(path, name, str(a), str(b)) for a, b in spans]
    return Labels(f"labels file {path}", windows)


def _from_csv(path, content):
    rows = list(csv.reader(content.splitlines()))
    header = [h.strip().lower() for h in (rows[0] if rows else [])]
    if "start" not in header or "end" not in header:
        raise InputError(f"labels file {path} must be a JSON object, or a CSV file whose header names the columns "
                         "start and end (and series, the file each window belongs to)")
    start, end = header.index("start"), header.index("end")
    series = header.index("series") if "series" in header else None
    windows = {}
    for line, row in enumerate(rows[1:], start=2):
        if not row:
            continue
        if len(row) != len(header):
            raise InputError(f"{where(path, line)}: expected {len(header)} fields, got {len(row)}")
        name = "" if series is None else row[series]
        windows.setdefault(name, []).append(_window(path, name, row[start], row[end], line))
    return Labels(f"labels file {path}", windows, anonymous=series is None)


def _is_pair(span):
    return isinstance(span, list) and len(span) == 2 and all(isinstance(t, str | int) for t in span)


def _window(path, name, start, end, line=None):
    """A window as written, once both ends are checked to be times in order."""
    at = f"labels file {path}" if line is None else where(path, line)
    if _instant(at, name, start) > _instant(at, name, end):
        raise InputError(f"{at}: the window {start} .. {end} of {name or 'the input'} ends before it starts")
    return start, end


def _instant(source, name, text):
    try:
        return tick(text, MICROSECOND)
    except ValueError:
        raise InputError(f"{source}: {text!r} (a window of {name or 'the input'}) is neither an integer nor an "
                         "ISO 8601 date and time") from None
