"""State files: the detector and the calibrator of its scores, loaded when
the file exists (refusing another detector or configuration), saved
atomically so that a crash never leaves half a file.

A state file holds one JSON object: "detector", the detector's document,
"calibrator", the calibrator's, "defaults", the name of the command line's
defaults the run began with (see _registry.DEFAULTS; a file without it was
written by morvik3 0.5.0), and "position", where in its input the run
stood (see `Position`; a file without it cannot be resumed).  A file
holding a detector's document alone is read as that detector without a
calibrator."""

import contextlib
import dataclasses
import errno
import json
import os
import secrets
import stat
from dataclasses import dataclass

import morvik3
from morvik3._registry import DEFAULTS, KINDS
from morvik3.cli.inputs import InputError

CONTINUE = "without --resume, --state continues the stream with new input"


@dataclass(frozen=True)
class Position:
    """Where a run stood in its input when it saved its state.

    `input` identifies the input (see inputs.fingerprint; None for standard
    input), `records` counts the CSV records after the header (or the JSON
    lines) read, `rows` the rows of them given to the detector, and
    `output` is the mark of the output written up to there (see
    score.Output.mark; None when it cannot be continued)."""

    input: dict | None
    records: int
    rows: int
    output: dict | None


# The fields of a Position's parts, each with its type.
_FINGERPRINT = {"path": str, "size": int, "sha256": str}
_MARK = {"length": int, "sha256": str}


def _checked(value, fields):
    """`value` when it is None or an object of exactly `fields`, counts at least 0; else None."""
    if value is None:
        return value
    if not isinstance(value, dict) or value.keys() != fields.keys():
        raise ValueError
    for key, kind in fields.items():
        if type(value[key]) is not kind or (kind is int and value[key] < 0):
            raise ValueError
    return value


def position(document, path):
    """The Position recorded in a state file's `document`; InputError when
    it records none, as a file written before positions were recorded."""
    recorded = document.get("position") if isinstance(document, dict) and "detector" in document else None
    if recorded is None:
        raise InputError(f"state file {path} records no position in its input (it was saved by an earlier version "
                         f"of morvik3), so --resume cannot tell where to go on; {CONTINUE}")
    try:
        if not isinstance(recorded, dict) or recorded.keys() != {"input", "records", "rows", "output"}:
            raise ValueError
        counts = recorded["records"], recorded["rows"]
        if any(type(c) is not int or c < 0 for c in counts):
            raise ValueError
        return Position(_checked(recorded["input"], _FINGERPRINT), *counts, _checked(recorded["output"], _MARK))
    except ValueError:
        raise InputError(f"state file {path} has a malformed position: {json.dumps(recorded)[:200]}") from None


def save(scorer, path, where=None):
    """Replaces the state file at `path` with the state of a scorer
    (cli.score.Scorer) and the Position `where`, whole or not at all (see
    `write_atomically`)."""
    # The two documents are JSON objects already: joined as text, not parsed again.
    text = (f'{{"detector":{scorer.detector.to_json()},"calibrator":{scorer.calibrator.to_json()},'
            f'"defaults":{json.dumps(scorer.defaults)}')
    if where is not None:
        text += f',"position":{json.dumps(dataclasses.asdict(where), separators=(",", ":"))}'
    text += "}"
    try:
        write_atomically(path, text)
    except OSError as e:
        raise InputError(f"cannot write state file {path}: {e.strerror or e}") from None


def write_atomically(path, text):
    """Writes `text` to a new file beside `path`, flushes it to disk, renames
    it over `path` and flushes the folder, so that a crash, a full disk or a
    size limit leaves the previous file as it was and nothing beside it.

    A symbolic link is written through (it stays a link to the new file), an
    existing file keeps its permission bits (and its owner where this process
    may give it), and anything but a regular file is refused, not replaced."""
    target = os.path.realpath(path)
    try:
        existing = os.stat(target)
    except FileNotFoundError:
        existing = None
    if existing is not None and not stat.S_ISREG(existing.st_mode):
        raise OSError(errno.EINVAL, "not a regular file", path)
    # Named by hand, not by mkstemp: a new file gets the mode the umask allows.
    # The name is cut so that the suffix still fits in a file name.
    folder, name = os.path.split(target)
    while True:
        temporary = os.path.join(folder, f"{name[:200]}.{secrets.token_hex(8)}.tmp")
        try:
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
            break
        except FileExistsError:
            continue
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            if existing is not None:
                os.fchmod(f.fileno(), stat.S_IMODE(existing.st_mode))
                with contextlib.suppress(OSError):
                    os.fchown(f.fileno(), existing.st_uid, existing.st_gid)
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    # The rename itself is durable only once the folder is.
    with contextlib.suppress(OSError):
        dir_fd = os.open(folder, os.O_RDONLY)
        try:
            os.fsync(dir_fd)
        finally:
            os.close(dir_fd)


def read(path):
    """The JSON document of the state file at `path`; None when there is no
    such file."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        return None
    except (OSError, UnicodeDecodeError) as e:
        raise InputError(f"cannot read state file {path}: {getattr(e, 'strerror', None) or e}") from None
    try:
        return json.loads(text)
    except json.JSONDecodeError as e:
        raise InputError(f"state file {path} is not a detector document: {e}") from None
    except RecursionError:
        raise InputError(f"state file {path} is not a detector document: nested too deeply") from None


def load(document, path, kind, settings, widths, calibration, defaults=None):
    """(detector, its config, calibrator, its config, the name of its
    defaults) of the state file `document` read from `path`, the calibrator
    None for a file of a detector alone.

    `settings` are the detector's constructor arguments given on the command
    line: each must equal the stored configuration, and so must `widths`,
    the table's column counts of the detector's shape, the calibrator's
    arguments given in `calibration`, and the name of the `defaults` given."""
    stored = None  # the calibrator's document
    began = defaults or DEFAULTS[0]  # a detector's document alone goes on as this run says
    if isinstance(document, dict) and "detector" in document:
        stored = document.get("calibrator")
        if not isinstance(stored, dict) or not isinstance(stored.get("config"), dict):
            raise InputError(f"state file {path} has no calibrator")
        began = document.get("defaults", "0.5.0")
        if began not in DEFAULTS:
            raise InputError(f"state file {path} names defaults {json.dumps(began)}, which this version does not "
                             f"know (it knows {', '.join(DEFAULTS)})")
        document = document["detector"]
    found = next((k for k in KINDS.values() if k.recognises(document)), None)
    if found is None:
        raise InputError(f"state file {path} is not a morvik3 detector document")
    if found is not kind:
        raise InputError(f"state file {path} holds a {found.name} detector, not {kind.name} (--detector {found.name})")
    config = document.get("config")
    if not isinstance(config, dict):
        raise InputError(f"state file {path} has no configuration")
    conflicts = [
        f"{width} {sort} column(s) (saved: {config.get(key)})"
        for (key, sort), width in zip(kind.shape, widths)
        if config.get(key) != width
    ]
    conflicts += [
        f"{option} {settings[key]} (saved: {config.get(key)})"
        for option, key in ((s.option, s.key) for s in kind.settings)
        if key in settings and config.get(key) != settings[key]
    ]
    if stored is not None:
        conflicts += [
            f"--calibration-{key} {value} (saved: {stored['config'].get(key)})"
            for key, value in calibration.items()
            if stored["config"].get(key) != value
        ]
        if defaults is not None and defaults != began:
            conflicts.append(f"--defaults {defaults} (saved: {began})")
    if conflicts:
        raise InputError(
            f"state file {path} was saved with another configuration: this run has " + "; ".join(conflicts)
        )
    try:
        detector = kind.cls.from_json(json.dumps(document))
        calibrator = None if stored is None else morvik3.ScoreCalibrator.from_json(json.dumps(stored))
    except (ValueError, MemoryError) as e:  # MemoryError: a configuration beyond this machine
        raise InputError(f"state file {path}: {e}") from None
    return detector, config, calibrator, None if stored is None else stored["config"], began
