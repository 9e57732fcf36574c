"""Streaming anomaly detectors implemented as a native CPython extension."""

from morvik3.morvik3 import (
    FeatureSketch,
    Forest,
    InternalError,
    MStream,
    OnlineIForest,
    ScoreCalibrator,
    __version__,
)

__all__ = ["FeatureSketch", "Forest", "InternalError", "MStream", "OnlineIForest", "ScoreCalibrator", "__version__"]
