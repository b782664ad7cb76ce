"""The tests of the Python layer: the reader, show and diff, the replay, the
command line, and whole runs from archiving to replaying."""

import sys
from pathlib import Path

# The helper modules beside this file (commands, processes) are imported by name.
sys.path.insert(0, str(Path(__file__).resolve().parent))
