"""Running archived code: the replay for people.

:func:`expand` restores an archive's sources and calls its saved function
with the archived code; :func:`extract` restores the sources only, running
nothing. :class:`Replay` takes the same steps one by one, for a caller that
reports each step's failure its own way (the command line).
"""

from .main_module import ReplayWarning
from .rebuild import ForeignCodeError
from .session import Replay, expand, extract

__all__ = ["ForeignCodeError", "Replay", "ReplayWarning", "expand", "extract"]
