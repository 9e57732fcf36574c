"""Detector state files: loaded when they exist (refusing another detector
or configuration), saved atomically so that a crash never leaves half a file."""

import json
import os
import tempfile

from morvik3.cli.detectors import KINDS
from morvik3.cli.inputs import InputError


def save(detector, path):
    """Writes the detector's document to a temporary file beside `path`,
    flushes it to disk, then renames it over `path`."""
    text = detector.to_json()
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=os.path.basename(path) + ".", suffix=".tmp")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    # The rename itself is durable only once the folder is.
    try:
        dir_fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(dir_fd)
    except OSError:
        pass
    finally:
        os.close(dir_fd)


def load(path, kind, settings, widths):
    """The detector stored at `path` with its stored configuration, or None
    when there is no such file.

    `settings` are the constructor arguments given on the command line: each
    must equal the stored configuration, and so must `widths`, the table's
    column counts of the detector's shape."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        return None
    except (OSError, UnicodeDecodeError) as e:
        raise InputError(f"cannot read state file {path}: {getattr(e, 'strerror', None) or e}") from None
    try:
        document = json.loads(text)
    except json.JSONDecodeError as e:
        raise InputError(f"state file {path} is not a detector document: {e}") from None
    found = next((k for k in KINDS.values() if k.recognises(document)), None)
    if found is None:
        raise InputError(f"state file {path} is not a morvik3 detector document")
    if found is not kind:
        raise InputError(f"state file {path} holds a {found.name} detector, not {kind.name} (--detector {found.name})")
    config = document.get("config")
    if not isinstance(config, dict):
        raise InputError(f"state file {path} has no configuration")
    conflicts = [
        f"{option} {settings[key]} (saved: {config.get(key)})"
        for option, key in ((s.option, s.key) for s in kind.settings)
        if key in settings and config.get(key) != settings[key]
    ]
    conflicts[:0] = [
        f"{width} {sort} column(s) (saved: {config.get(key)})"
        for (key, sort), width in zip(kind.shape, widths)
        if config.get(key) != width
    ]
    if conflicts:
        raise InputError(
            f"state file {path} was saved with another configuration: this run has " + "; ".join(conflicts)
        )
    try:
        return kind.cls.from_json(text), config
    except ValueError as e:
        raise InputError(f"state file {path}: {e}") from None
