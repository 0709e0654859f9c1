"""The load and fault suites reuse the raw RTSP client of the Python suites."""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))
