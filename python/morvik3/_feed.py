"""Feeding rows through a detector's batch methods so that a row it refuses
costs that row alone: the command line's --skip-bad-rows and Spark's
per-row errors both go through `feed`."""

import numpy as np

# Raised by the interpreter for the whole process, never a row's refusal.
INTERPRETER = (KeyboardInterrupt, SystemExit, GeneratorExit)


def refuses(error):
    """Whether `error`, raised by the package while it took a row or loaded
    a document, stands for that row or document alone."""
    return not isinstance(error, INTERPRETER)


def message(error):
    """The text of `error` without the "row N: " its batch method put first."""
    text = str(error) or type(error).__name__
    row = getattr(error, "row", None)
    return text if row is None else text.removeprefix(f"row {row}: ")


def feed(detector, arguments, n, score=True, explain=None):
    """Runs the batch method over `n` rows given as `arguments` (columns that
    slice), stepping over every row the detector refuses.  Returns the
    detector that holds the outcome, the scores (NaN where a row was
    refused) and the messages (None where a row was taken).

    A batch method stops at the first bad row with the rows before it
    learned but their scores lost (and an MStream record may have left its
    mark), so each call starts from a copy: on a refusal the copy replays
    the rows before the bad one, and feeding goes on after it.  An error
    that names no row (MemoryError) is traced to its row by feeding one row
    at a time from there.  `explain(row, error, detector)` words a refusal,
    given the detector as it was before that row; by default its message."""
    method = "update_and_score_many" if score else "update_many"
    scores = np.full(n, np.nan)
    errors = np.full(n, None, dtype=object)
    start, single = 0, False
    while start < n:
        end = start + 1 if single else n
        before = detector.__copy__()
        try:
            got = getattr(detector, method)(*(a[start:end] for a in arguments))
        except BaseException as e:
            if not refuses(e):
                raise
            detector = before
            row = getattr(e, "row", None)
            if row is None and not single:
                single = True
                continue
            bad = start + (row or 0)
            if bad > start:
                got = getattr(detector, method)(*(a[start:bad] for a in arguments))
                if score:
                    scores[start:bad] = got
            errors[bad] = message(e) if explain is None else explain(bad, e, detector)
            start, single = bad + 1, False
        else:
            if score:
                scores[start:end] = got
            start = end
    return detector, scores, errors
