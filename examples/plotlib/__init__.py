"""A small plotting package used by plot_demo.py."""
