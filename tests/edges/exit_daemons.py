"""Daemon threads busy inside brindxml (reading, writing, dropping trees with
many attribute tables) while the main thread exits: the process must exit
normally, with status 0.

Usage: exit_daemons.py SECONDS DIRECTORY (how long the main thread lets them
run; where the files are written)
"""

import os
import sys
import threading
import time

from brindxml import read_string, write_file, write_string

DOCUMENT = "<r>" + "".join(f'<x a="{i}" b="v"><y c="{i}">t{i}</y></x>' for i in range(6000)) + "</r>"
TREE = read_string(DOCUMENT, "r")


def reading():
    while True:
        read_string(DOCUMENT, "r")


def writing():
    while True:
        write_string(TREE)


def writing_files(path):
    while True:
        write_file(TREE, path)


def dropping():
    # Each tree has more attribute tables than a drop frees attached.
    while True:
        tree = read_string(DOCUMENT, "r")
        del tree


def main():
    seconds = float(sys.argv[1])
    directory = sys.argv[2]
    workers = [reading, writing, dropping, reading, dropping]
    threads = [threading.Thread(target=work, daemon=True) for work in workers]
    for number in range(2):
        path = os.path.join(directory, f"out{number}.xml")
        threads.append(threading.Thread(target=writing_files, args=(path,), daemon=True))
    for thread in threads:
        thread.start()
    time.sleep(seconds)
    print("main thread exits", flush=True)


if __name__ == "__main__":
    main()
