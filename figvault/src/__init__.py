"""The compiled modules of figvault: files, archive and unarchive."""
