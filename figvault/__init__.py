"""figvault: make a plot reproducible from one file."""
