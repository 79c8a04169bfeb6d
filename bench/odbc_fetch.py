"""Fetching 100,000 rows through pyodbc: this driver against Debian's SQLite
ODBC driver (libsqliteodbc) on the same rows, in one run.

    python3 bench/odbc_fetch.py build-release/lib/libTorqaODBC.so

Needs python3-pyodbc and libsqliteodbc. Prints the best of several fetches
for each driver and their ratio. Not part of the test suite.
"""
import os
import shutil
import sqlite3
import sys
import tempfile
import time

import pyodbc

ROWS = 100000
REPEAT = 5
SQLITE_DRIVER = "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so"
QUERY = "SELECT ID, Name, Age, Height FROM Sample_Person"


def best_fetch(cnxn):
    times = []
    for _ in range(REPEAT):
        start = time.perf_counter()
        rows = cnxn.cursor().execute(QUERY).fetchall()
        times.append(time.perf_counter() - start)
        assert len(rows) == ROWS, len(rows)
    return min(times)


def main():
    driver = os.path.abspath(sys.argv[1])
    schema = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "server", "sample", "schema.tq")
    work = tempfile.mkdtemp(prefix="torqa-odbc-bench-")
    try:
        ours = pyodbc.connect("DRIVER=%s;Connect={local[fasthash=1;schema=%s]:%s};UID=torqa;PWD=torqa"
                              % (driver, schema, os.path.join(work, "ns")))
        rows = [(i, "name %d" % i, i % 90, i * 0.5) for i in range(1, ROWS + 1)]
        ours.cursor().executemany("INSERT INTO Sample_Person (ID, Name, Age, Height) VALUES (?, ?, ?, ?)", rows)
        ours.commit()

        peer_file = os.path.join(work, "peer.db")
        with sqlite3.connect(peer_file) as db:
            db.execute('CREATE TABLE Sample_Person ("ID" INTEGER PRIMARY KEY, Name VARCHAR, Age INTEGER, '
                       'Height DOUBLE)')
            db.executemany("INSERT INTO Sample_Person VALUES (?, ?, ?, ?)", rows)
        peer = pyodbc.connect("DRIVER=%s;Database=%s" % (SQLITE_DRIVER, peer_file), autocommit=True)

        ours_time, peer_time = best_fetch(ours), best_fetch(peer)
        print("rows: %d, best of %d fetches" % (ROWS, REPEAT))
        print("torqa driver:       %.3f s" % ours_time)
        print("SQLite ODBC driver: %.3f s" % peer_time)
        print("ratio:              %.2fx" % (ours_time / peer_time))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
