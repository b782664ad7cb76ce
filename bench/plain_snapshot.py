"""figvault's create_file_dict written as plain Python (two glob calls, then
open/read/close of every path): the Python steps the native snapshot is
measured against. Kept apart from peers.py so that a fresh process can time
its first call without importing torch."""

import glob


def create_file_dict():
    python_files = {}
    python_files_list = glob.glob("./**/*.py", recursive=True)
    for path in glob.glob("./**/*.ipynb", recursive=True):
        python_files_list.append(path)
    for file in python_files_list:
        f = open(file, "r")
        python_files[file] = f.read()
        f.close()
    return python_files
