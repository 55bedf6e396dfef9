#!/usr/bin/env python3
"""Checks of what the benchmark rests on: the generated site has exactly the idle cards it was
asked for, the bulk transaction changes exactly what `dormex silent` changes (on awkward data
too), and a disagreement between the two fails the benchmark.

    python3 bench/test_bench.py [-v]      (BENCH_BUILD_DIR: the build, default build-bench)

Under scripts/pg-harness.sh the awkward-data check runs on PostgreSQL as well.
"""

import datetime
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

# Imports the benchmark beside this file without leaving compiled files in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402

kRoot = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
kBuild = os.path.abspath(os.environ.get("BENCH_BUILD_DIR", os.path.join(kRoot, "build-bench")))


def isIdle(index, share):
    """The generator's rule for the idle cards, over zero-based card indexes."""
    return math.floor(index * share) != math.floor((index - 1) * share)


def dateAgo(days):
    return (datetime.date.today() - datetime.timedelta(days=days)).isoformat()


def noonAgo(days):
    return dateAgo(days) + " 12:00:00"


class GeneratedSiteTest(unittest.TestCase):
    def setUp(self):
        self.tools = bench.Tools(kBuild)
        self.dir = tempfile.mkdtemp(prefix="bench-test-")
        self.db = os.path.join(self.dir, "site.db")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def tool(self, *args):
        return subprocess.run([self.tools.siteTool, "--database", self.db] + list(args),
                              capture_output=True, text=True).returncode

    def sql(self, text):
        return subprocess.run([self.tools.sqlite3, "-batch", "-noheader", self.db], input=text,
                              capture_output=True, text=True, check=True).stdout.split()

    def idleKeys(self):
        """Active cards the program's statement selects for 30 days, as CardIDs."""
        return set(int(v) for v in self.sql(
            "SELECT k.CardID FROM Keycards AS k WHERE k.KeyNumber NOT IN (SELECT DISTINCT "
            "t.KeyNumber FROM Transactions AS t WHERE t.EventDateTime > '%s') AND k.Active = 1;"
            % bench.cutoffDate()))

    def testIdleShareGivesExactlyTheIdleCardsOverTheSpan(self):
        cards, share = 2000, 0.03
        self.assertEqual(self.tool("generate", "--cards", str(cards), "--transactions", "60000",
                                   "--span-days", "365", "--idle-share", str(share), "--seed",
                                   "3"), 0)
        self.assertEqual(self.sql("SELECT COUNT(*) FROM Keycards; SELECT COUNT(*) FROM "
                                  "personnel; SELECT COUNT(*) FROM Transactions;"),
                         [str(cards), str(cards), "60000"])
        expected = set(i + 1 for i in range(cards) if isIdle(i, share))
        self.assertEqual(len(expected), 60)
        # No card is idle by chance, and no idle card was used on the cut-off day itself.
        self.assertEqual(self.idleKeys(), expected)
        first = self.sql("SELECT substr(MIN(EventDateTime), 1, 10) FROM Transactions;")[0]
        self.assertGreaterEqual(first, dateAgo(366))
        self.assertLessEqual(first, dateAgo(364))
        types = self.sql("SELECT DISTINCT (flags & %d) >> 21 FROM personnel;" % bench.kTypeMask)
        self.assertEqual(sorted(int(t) for t in types), list(range(11)))

    def testDefaultsKeepEveryFourthCardIdleOverFourMonths(self):
        self.assertEqual(self.tool("generate", "--cards", "400", "--transactions", "8000"), 0)
        self.assertEqual(self.idleKeys(), set(c for c in range(1, 401) if (c - 1) % 4 == 0))
        first = self.sql("SELECT substr(MIN(EventDateTime), 1, 10) FROM Transactions;")[0]
        self.assertGreaterEqual(first, dateAgo(121))
        self.assertLessEqual(first, dateAgo(119))

    def testBadOptionsAreUsageErrors(self):
        for args in (["--idle-share", "1"], ["--idle-share", "-0.1"], ["--idle-share", "x"],
                     ["--idle-share", "0.5x"], ["--span-days", "0"], ["--span-days", "2.5"]):
            self.assertEqual(self.tool("generate", "--cards", "10", "--transactions", "10", *args),
                             2, args)
        self.assertEqual(self.tool("init", "--idle-share", "0.1"), 2)
        self.assertEqual(self.tool("init", "--span-days", "30"), 2)
        self.assertFalse(os.path.exists(self.db))


# An awkward site: (CardID, KeyNumber, userid, Active, days since last use or None).
kHolders = [
    (1, "'Åström'", "'Zoë'", "0"),
    (2, "'O''Neill'", "''", str((1 << 21) | 5)),
    (3, "NULL", "'Bo'", "NULL"),
    (4, "'Vasquez-Longname-Beyond-Any-Small-Buffer'", "'Maximiliana'", str(6 << 21)),
    (5, "'𝔘nicode'", "'Ш'", str((5 << 21) | 0x2000000)),
]
kCards = [
    (1, 17, 1, 1, 40),            # idle, type 0
    (2, 18, 2, 1, None),          # never used, type 1 with other bits
    (3, 19, 3, 1, 2),             # used lately
    (4, 20, 3, 1, 31),            # idle, NULL flags: type 0
    (5, 21, 4, 1, 50),            # idle, type 6: not selected
    (6, 5000000000, 5, 1, 90),    # idle, type 5 with bit 25 set
    (7, 22, 99, 1, None),         # no holder: type 0
    (8, 23, 1, 0, 60),            # already inactive
    (9, 24, 1, 1, 45),            # two active cards share key 24: each row deactivates card 9
    (10, 24, 2, 1, 45),
    (11, 4294967313, 1, 1, 1),    # 2^32 + 17, used lately: must not shield key 17
]
kDeactivated = [1, 2, 4, 6, 7, 9]
kDownloads = ["1", "2", "4", "7", "9", "9", "6"]
kLogged = sorted([",17,Åström,Zoë,0", ",18,O'Neill,,2097157", ",20,,Bo,", ",22,,,",
                  ",24,Åström,Zoë,0", ",24,O'Neill,,2097157",
                  ",5000000000,𝔘nicode,Ш,44040192"])


def awkwardSiteSql():
    lines = ["INSERT INTO personnel (userid, lastname, firstname, flags) VALUES (%d, %s, %s, %s);"
             % h for h in kHolders]
    for card, key, user, active, used in kCards:
        lines.append("INSERT INTO Keycards (CardID, KeyNumber, userid, Active) "
                     "VALUES (%d, %d, %d, %d);" % (card, key, user, active))
        if used is not None:
            for extra in (used, used + 7, used + 30):
                lines.append("INSERT INTO Transactions (KeyNumber, EventDateTime) "
                             "VALUES (%d, '%s');" % (key, noonAgo(extra)))
    return "\n".join(lines) + "\n"


class AwkwardSiteTest(unittest.TestCase):
    """`dormex silent` and the bulk transaction on a hand-made site of awkward cases."""

    def setUp(self):
        self.tools = bench.Tools(kBuild)
        self.dir = tempfile.mkdtemp(prefix="bench-test-")
        self.runner = bench.Bench(self.tools, self.dir, 1, False)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def check(self, site):
        program = self.runner.programDir("program", set(bench.kSelectedTypes))
        env = bench.programEnv()
        env["LC_ALL"] = "C.UTF-8"
        copy = site.freshCopy(program)
        site.prepareProgram(program, copy)
        outcome = bench.runTimed([os.path.join(program, "dormex"), "silent"], cwd=program,
                                 env=env)
        self.assertEqual(outcome.status, 0)
        stateA = site.query(copy, bench.kStateSql)
        site.release(copy)
        with open(os.path.join(program, "dormex.log"), encoding="utf-8") as f:
            entries = [re.sub(r"^[0-9][^ ]* [0-9][^ ]*  ", "", line.rstrip("\r\n"))
                       for line in f]
        self.assertEqual(entries[0], "Days = 30")
        self.assertEqual(sorted(e[:-len(", Deactivated")] for e in entries[1:]), kLogged)
        self.assertTrue(all(e.endswith(", Deactivated") for e in entries[1:]))

        bulkDir = os.path.join(self.dir, "bulk")
        os.makedirs(bulkDir)
        # B, then B1 (a transaction per card) and its selection alone, B0, which changes nothing.
        for name, script in (("bulk", lambda copy: site.bulkScript(bench.cutoffDate())),
                             ("B1", lambda copy: site.floorScripts(copy, bench.cutoffDate())[0]),
                             ("B0", lambda copy: site.floorScripts(copy, bench.cutoffDate())[1])):
            copy = site.freshCopy(bulkDir)
            pristine = site.query(copy, bench.kStateSql)
            path = os.path.join(bulkDir, name + ".sql")
            with open(path, "w") as f:
                f.write(script(copy))
            self.assertEqual(site.runBulk(copy, path, None).status, 0, name)
            stateB = site.query(copy, bench.kStateSql)
            site.release(copy)
            self.assertEqual(stateB, pristine if name == "B0" else stateA, name)

        lines = stateA.split()
        keycards, downloads = lines[:len(kCards)], lines[len(kCards):]
        changed = [int(row.split("|")[0]) for row in keycards if row.endswith("|0|3|6")]
        self.assertEqual(changed, kDeactivated)
        self.assertIn("10|1|0|0", keycards)
        self.assertEqual([row.split("|")[0] for row in downloads], kDownloads)
        self.assertTrue(all(row.endswith("|0|1|0") for row in downloads))

    def testSqlite(self):
        site = bench.SqliteSite(self.tools, self.dir)
        site.m_base = os.path.join(self.dir, "base.db")
        subprocess.run([self.tools.siteTool, "--database", site.m_base, "init"], check=True,
                       capture_output=True)
        site.query(site.m_base, awkwardSiteSql())
        self.check(site)

    @unittest.skipUnless(os.environ.get("DORMEX_PG_HOST"), "no PostgreSQL (run under "
                         "scripts/pg-harness.sh)")
    def testPostgres(self):
        if not self.tools.psql:
            self.skipTest("psql is missing")
        site = bench.PostgresSite(self.tools, self.dir, os.environ)
        site.m_base = "bench_test_awkward"
        site.admin("DROP DATABASE IF EXISTS %s WITH (FORCE)" % site.m_base)
        site.admin("CREATE DATABASE %s" % site.m_base)
        try:
            toolDir = os.path.join(self.dir, "pg-tool")
            os.makedirs(toolDir)
            shutil.copy2(self.tools.siteTool, toolDir)
            with open(os.path.join(toolDir, "SiteLibrary.ini"), "w") as f:
                f.write(site.connectionIni(site.m_base))
            subprocess.run([os.path.join(toolDir, "dormex-site"), "init"], check=True,
                           capture_output=True)
            site.query(site.m_base, awkwardSiteSql())
            self.check(site)
        finally:
            site.dropBase()


class DisagreementTest(unittest.TestCase):
    def setUp(self):
        self.tools = bench.Tools(kBuild)
        self.dir = tempfile.mkdtemp(prefix="bench-test-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def testABulkThatChangesOneCardMoreFailsTheBenchmark(self):
        class OneMore(bench.SqliteSite):
            def bulkScript(self, cutoff):
                return (bench.SqliteSite.bulkScript(self, cutoff) +
                        "UPDATE Keycards SET Active = 0 WHERE CardID = "
                        "(SELECT MAX(CardID) FROM Keycards WHERE Active = 1);\n")

        runner = bench.Bench(self.tools, self.dir, 1, False)
        with self.assertRaisesRegex(bench.BenchFailure, "different cards"):
            runner.measure(OneMore(self.tools, self.dir), "main", 300, 6000, 0.1, 365, True)

    def testTheSameWorkPasses(self):
        runner = bench.Bench(self.tools, self.dir, 1, False)
        m = runner.measure(bench.SqliteSite(self.tools, self.dir), "main", 300, 6000, 0.1, 365,
                           True)
        self.assertGreater(m.deactivated, 5)
        self.assertEqual(len(m.bulk), 1)


if __name__ == "__main__":
    unittest.main()
