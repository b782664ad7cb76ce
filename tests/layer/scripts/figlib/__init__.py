"""A small project package used by some of the scripts."""
