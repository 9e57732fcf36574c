"""Describes the machine a benchmark ran on."""

import os
import platform
import sys
import sysconfig


def describe() -> str:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    gil = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "with GIL"
    return (
        f"{platform.system()} {platform.machine()}, {cpu}, {os.cpu_count()} cores; "
        f"Python {platform.python_version()} ({gil}) at {sys.executable}"
    )
