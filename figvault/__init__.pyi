from figvault.src.archive import archive as archive
from figvault.src.unarchive import expand as expand

__all__ = ["archive", "expand"]
__version__: str
