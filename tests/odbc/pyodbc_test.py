"""The driver under unixODBC's driver manager through pyodbc.

Run by ctest with the driver's path and the sample schema, and with torqad's
path to run the same session through daemons it starts (one serving 8-bit
text, one 16-bit); writes its own ini files (ODBCSYSINI, ODBCINI) and
namespaces in a fresh directory.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

DRIVER, SCHEMA = sys.argv[1], sys.argv[2]
TORQAD = sys.argv[3] if len(sys.argv) > 3 else None
WORK = tempfile.mkdtemp(prefix="torqa-pyodbc-")
DAEMONS = {}  # by whether it serves 16-bit text: (process, port)


def start_daemon(unicode):
    args = [TORQAD, "--listen", "127.0.0.1:0", "--data", os.path.join(WORK, "data16" if unicode else "data8"),
            "--schema", SCHEMA, "--fasthash"] + (["--unicode"] if unicode else [])
    log = open(os.path.join(WORK, "torqad.log"), "a")
    p = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=log, text=True)
    line = p.stdout.readline()
    if not line.startswith("listening on "):
        raise RuntimeError("torqad did not start: " + line)
    DAEMONS[unicode] = (p, line.strip().rsplit(":", 1)[1])


def target(namespace, options="fasthash=1"):
    if TORQAD:
        return "127.0.0.1[%s]:%s" % (DAEMONS["unicode=1" in options][1], namespace)
    return "local[%s;schema=%s]:%s" % (options, SCHEMA, os.path.join(WORK, namespace))


if TORQAD:
    start_daemon(False)
    start_daemon(True)


NAMESPACES = (("ns8", "fasthash=1"), ("ns16", "unicode=1;fasthash=1"))  # 8-bit and 16-bit text


def without_dsn(namespace, options, **kw):
    """A connection by a connection string alone: no ini file involved."""
    return pyodbc.connect("DRIVER=%s;Connect={%s};UID=torqa;PWD=torqa" % (DRIVER, target(namespace, options)), **kw)


with open(os.path.join(WORK, "odbcinst.ini"), "w") as f:
    f.write("[Torqa]\nDriver=%s\n" % DRIVER)
with open(os.path.join(WORK, "odbc.ini"), "w") as f:
    f.write("[torqa]\nDriver=Torqa\nConnect=%s\nUID=torqa\nPWD=torqa\n" % target("ns8"))
os.environ["ODBCSYSINI"] = WORK
os.environ["ODBCINI"] = os.path.join(WORK, "odbc.ini")

import pyodbc  # noqa: E402  (reads the environment on first use)


class pyodbc_session(unittest.TestCase):
    def setUp(self):
        self.cnxn = pyodbc.connect("DSN=torqa")
        self.cur = self.cnxn.cursor()

    def tearDown(self):
        self.cnxn.rollback()
        self.cnxn.close()

    def count(self, where):
        return self.cur.execute("SELECT count(*) FROM Sample_Person WHERE " + where).fetchone()[0]

    def test_tables_are_the_class_and_collection_tables(self):
        names = [t.table_name for t in self.cur.tables()]
        self.assertEqual(names, ["Sample_Address", "Sample_Person", "Sample_Person_Tags",
                                 "Sample_Person_Friends", "Sample_Person_Scores"])
        self.assertEqual([t.table_name for t in self.cur.tables(table="%person_t%")], ["Sample_Person_Tags"])
        columns = {c.column_name: (c.type_name, c.nullable) for c in self.cur.columns(table="Sample_Person")}
        self.assertEqual(columns["ID"], ("INTEGER", 0))
        self.assertEqual(columns["Name"], ("VARCHAR", 1))
        self.assertEqual(columns["Photo"], ("VARBINARY", 1))

    def test_insert_commit_rollback_and_a_parameterised_select(self):
        self.cur.execute("INSERT INTO Sample_Person (Name, Age) VALUES (?, ?)", "Kept", 41)
        self.assertEqual(self.cur.rowcount, 1)
        self.cnxn.commit()
        self.cur.execute("INSERT INTO Sample_Person (Name, Age) VALUES (?, ?)", "Dropped", 42)
        self.cnxn.rollback()
        self.assertEqual(self.count("Name = 'Dropped'"), 0)
        row = self.cur.execute("SELECT Name, Age, Height FROM Sample_Person WHERE Age = ? AND Name LIKE ?",
                               41, "K%").fetchone()
        self.assertEqual((row.Name, row.Age, row.Height), ("Kept", 41, None))
        # Another connection sees only what was committed.
        other = pyodbc.connect("DSN=torqa", autocommit=True)
        self.assertEqual(other.execute("SELECT count(*) FROM Sample_Person WHERE Age = 41").fetchone()[0], 1)
        other.close()

    def test_long_text_and_binary_values_read_whole(self):
        # Longer than the type's column size: pyodbc sends them in pieces.
        text = "".join(chr(0x41 + i % 26) if i % 7 else "é" for i in range(99999)) + "𝄞"
        blob = bytes(range(256)) * 300
        for namespace, options in NAMESPACES:
            with self.subTest(namespace=namespace):
                c = without_dsn(namespace, options)
                c.execute("INSERT INTO Sample_Person (Name, Photo, Age) VALUES (?, ?, 50)", text, blob)
                name, photo = c.execute("SELECT Name, Photo FROM Sample_Person WHERE Age = 50").fetchone()
                self.assertEqual(len(name), 100000)
                self.assertEqual(name, text)
                self.assertEqual(photo, blob)
                c.rollback()
                c.close()

    @unittest.skipUnless(TORQAD, "a daemon's client")
    def test_a_client_gone_mid_transaction_has_it_rolled_back(self):
        gone = "import os, pyodbc; c = pyodbc.connect('DSN=torqa'); " \
               "c.execute(\"INSERT INTO Sample_Person (Name) VALUES ('gone')\"); os._exit(0)"
        subprocess.run([sys.executable, "-c", gone], check=True)
        # The daemon rolled it back: its write lock is free and its row gone.
        self.cur.execute("INSERT INTO Sample_Person (Name) VALUES ('after')")
        self.assertEqual(self.count("Name IN ('gone', 'after')"), 1)

    def test_column_descriptions(self):
        self.cur.execute("SELECT ID, Name, Height, Photo, Birthday FROM Sample_Person")
        self.assertEqual([(d[0], d[1]) for d in self.cur.description],
                         [("ID", int), ("Name", str), ("Height", float), ("Photo", bytearray),
                          ("Birthday", __import__("datetime").date)])
        self.assertEqual(self.cur.description[0][6], False)  # the row id is never null

    def test_a_bad_statement_is_an_error_with_its_sqlstate(self):
        with self.assertRaises(pyodbc.ProgrammingError) as caught:
            self.cur.execute("SELEC Name FROM Sample_Person")
        self.assertEqual(caught.exception.args[0], "42000")
        self.assertIn("syntax error", caught.exception.args[1])
        with self.assertRaises(pyodbc.Error) as caught:
            self.cur.execute("SELECT hash FROM torqa_users")
        self.assertEqual(caught.exception.args[0], "42000")

    def test_non_ascii_text_in_8_bit_and_16_bit_namespaces(self):
        text = "Zoë Łukasz 日本 𝄞"
        for namespace, options in NAMESPACES:
            with self.subTest(namespace=namespace):
                c = without_dsn(namespace, options, autocommit=True)
                c.execute("INSERT INTO Sample_Person (Name, Age) VALUES (?, 60)", text)
                self.assertEqual(c.execute("SELECT Name FROM Sample_Person WHERE Age = 60").fetchone()[0], text)
                self.assertEqual(c.execute("SELECT Name FROM Sample_Person WHERE Name = 'Zoë Łukasz 日本 𝄞'")
                                 .fetchone()[0], text)
                c.execute("DELETE FROM Sample_Person WHERE Age = 60")
                c.close()

    def test_a_refused_connect_names_its_reason(self):
        with self.assertRaises(pyodbc.Error) as caught:
            pyodbc.connect("DSN=torqa;PWD=wrong")
        self.assertEqual(caught.exception.args[0], "28000")
        with self.assertRaises(pyodbc.Error) as caught:
            pyodbc.connect("DRIVER=%s;Connect=nowhere" % DRIVER)
        self.assertEqual(caught.exception.args[0], "08001")


if __name__ == "__main__":
    try:
        unittest.main(argv=sys.argv[:1], verbosity=2)
    finally:
        for p, _ in DAEMONS.values():
            p.terminate()
            p.wait()
        shutil.rmtree(WORK, ignore_errors=True)
