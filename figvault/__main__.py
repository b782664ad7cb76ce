"""``python -m figvault``: the figvault command line."""

from figvault.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
