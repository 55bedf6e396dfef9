#!/usr/bin/env python3
"""The expiry run against the same work done in bulk, on identical copies of a generated site.

A: `dormex silent` in a program directory of its own (Days=30, person types 0..5 selected).
B: the same selection (the program's own statement) and the same changes as one transaction in
   the database's shell (`sqlite3`, or `psql` for PostgreSQL).
B1: the same selection, then each card's change and its download as a transaction of its own, as
    the program makes them: on PostgreSQL committed on the server in a loop, on SQLite one
    transaction after another in the shell. B0: B1's selection alone. B1's per-card cost is
    (B1 - B0) / cards deactivated, the floor for A's per-card cost.
A0: `dormex silent` with no person type selected: the same statement and rows, nothing changed.
    The per-card cost is (A - A0) / cards deactivated, free of the statement's fixed cost.
AF: A0 with FeedCheck=False. The feed check (the count of door transactions after the cut-off
    before the selection) costs A0 - AF.

Runs alternate A B B1 B0 A0 AF A B B1 B0 A0 AF ...; every run starts from a fresh copy of the
generated site. Each A, B and B1 must leave exactly the same Keycards states and CardDownloads
rows, or this script exits with status 1. Only the standard library is used.
"""

import argparse
import datetime
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

kSelectedTypes = range(0, 6)
kDays = 30
kTypeMask = 0x1E00000
# Person types 0..10; 6 of the 11 are selected, and the generator spreads holders evenly.
kSelectedShare = len(kSelectedTypes) / 11


class BenchFailure(Exception):
    """A run failed or A and B disagree: the benchmark's numbers mean nothing."""


class Outcome:
    """One timed process: wall seconds, CPU seconds (user + system), peak resident memory (KiB)
    and exit status."""

    def __init__(self, seconds, cpuSeconds, maxRssKib, status):
        self.seconds = seconds
        self.cpuSeconds = cpuSeconds
        self.maxRssKib = maxRssKib
        self.status = status


def runTimed(argv, cwd=None, env=None, stdinPath=None, logPath=None):
    """Runs argv to its end; the peak memory is the child's own, from wait4."""
    stdin = open(stdinPath, "rb") if stdinPath else subprocess.DEVNULL
    out = open(logPath or os.devnull, "ab")
    try:
        start = time.perf_counter()
        child = subprocess.Popen(argv, cwd=cwd, env=env, stdin=stdin, stdout=out, stderr=out)
        _, waitStatus, usage = os.wait4(child.pid, 0)
        seconds = time.perf_counter() - start
        child.returncode = os.waitstatus_to_exitcode(waitStatus)
    finally:
        if stdinPath:
            stdin.close()
        out.close()
    return Outcome(seconds, usage.ru_utime + usage.ru_stime, usage.ru_maxrss, child.returncode)


def runChecked(argv, **kwargs):
    """Runs an untimed helper command; its standard output, or BenchFailure."""
    result = subprocess.run(argv, capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        raise BenchFailure("%s failed (%d): %s" % (" ".join(argv), result.returncode,
                                                 result.stderr.strip()))
    return result.stdout


def cutoffDate():
    """The date the program compares with: today minus Days, local time."""
    return (datetime.date.today() - datetime.timedelta(days=kDays)).isoformat()


def expirySql(cutoff):
    """The program's statement, character for character."""
    return ("SELECT k.KeyNumber, p.lastname, p.firstname, p.flags FROM Keycards AS k left join "
            "personnel p on k.userid = p.userid WHERE (k.KeyNumber NOT IN   (SELECT DISTINCT "
            "t.KeyNumber    FROM Transactions AS t    WHERE (t.EventDateTime > '" + cutoff +
            "'))) AND (k.Active = 1) Order by Keynumber")


def typeFilter(table):
    """The program's person-type filter on a selected row (NULL flags are type 0)."""
    types = ", ".join(str(t) for t in kSelectedTypes)
    return "((COALESCE(%s.flags, 0) & %d) >> 21) IN (%s)" % (table, kTypeMask, types)


def selectionScript(cutoff, order=""):
    """The program's selection into the temporary table sel, and its person-type filter into
    chosen: every selected row's key with the lowest CardID of that key."""
    return ("CREATE TEMP TABLE sel AS " + expirySql(cutoff) + ";\n"
            "CREATE TEMP TABLE chosen AS SELECT sel.KeyNumber, (SELECT MIN(c.CardID) FROM "
            "Keycards AS c WHERE c.KeyNumber = sel.KeyNumber) AS CardID FROM sel "
            "WHERE " + typeFilter("sel") + order + ";\n")


def bulkScript(cutoff, nowExpression, prologue=""):
    """One transaction: the program's selection, its person-type filter, then every selected
    row's key: its lowest CardID deactivated and one download queued."""
    return (prologue +
            "BEGIN;\n" + selectionScript(cutoff) +
            "UPDATE Keycards SET Active = 0, CardStatus = 3, StatusReason = 6 "
            "WHERE CardID IN (SELECT CardID FROM chosen);\n"
            "INSERT INTO CardDownloads (CardID, Arg1, Arg2, Arg3, QueuedAt) "
            "SELECT CardID, 0, 1, 0, " + nowExpression + " FROM chosen ORDER BY KeyNumber;\n"
            "COMMIT;\n")


def chosenCountSql(cutoff):
    """How many rows of the selection pass the person-type filter: the cards B1 changes."""
    return "SELECT COUNT(*) FROM (" + expirySql(cutoff) + ") AS s WHERE " + typeFilter("s") + ";\n"


kStateSql = ("SELECT CardID, Active, CardStatus, StatusReason FROM Keycards ORDER BY CardID;\n"
             "SELECT CardID, Arg1, Arg2, Arg3 FROM CardDownloads ORDER BY DownloadID;\n")
kCountSql = "SELECT COUNT(*) FROM CardDownloads;\n"


# --record: every run of the program keeps the CSV record (Record=True), started afresh each run,
# so that a run pays for its rows and for looking its own cards up at the doors afterwards.
kRecord = False


def writeSettings(programDir, selected, feedCheck=True):
    lines = ["[General]", "Days=%d" % kDays]
    lines += ["type%d=%s" % (t, "True" if t in selected else "False") for t in range(11)]
    lines += [] if feedCheck else ["FeedCheck=False"]
    lines += ["Record=True"] if kRecord else []
    with open(os.path.join(programDir, "Dormex.ini"), "w") as f:
        f.write("\r\n".join(lines) + "\r\n")


def programEnv():
    """No window system: the unattended run then never loads one."""
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
        env.pop(name, None)
    return env


def deactivatedLogged(programDir):
    with open(os.path.join(programDir, "dormex.log"), "rb") as f:
        return sum(1 for line in f if line.rstrip(b"\r\n").endswith(b", Deactivated"))


class SqliteSite:
    """Generated site in a SQLite file; every run gets a fresh copy of it."""

    name = "SQLite"

    def __init__(self, tools, workDir):
        self.m_tools = tools
        self.m_workDir = workDir
        self.m_base = None

    def generate(self, cards, transactions, idleShare, spanDays):
        self.m_base = os.path.join(self.m_workDir, "base.db")
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(self.m_base + suffix):
                os.remove(self.m_base + suffix)
        runChecked([self.m_tools.siteTool, "--database", self.m_base, "generate", "--cards",
                    str(cards), "--transactions", str(transactions), "--span-days", str(spanDays),
                    "--idle-share", repr(idleShare)])

    def freshCopy(self, directory):
        """Copies the base to directory/site.db, flushed so no write-back runs during a run."""
        target = os.path.join(directory, "site.db")
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(target + suffix):
                os.remove(target + suffix)
        shutil.copyfile(self.m_base, target)
        fd = os.open(target, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
        return target

    def prepareProgram(self, programDir, copy):
        pass  # the program opens site.db beside itself without SiteLibrary.ini

    def runBulk(self, copy, scriptPath, logPath):
        return runTimed([self.m_tools.sqlite3, "-batch", copy], stdinPath=scriptPath,
                        logPath=logPath)

    def bulkScript(self, cutoff):
        # The program's settings: wait for locks like it does, and the same synchronous level.
        return bulkScript(cutoff, "datetime('now', 'localtime')",
                          ".timeout 10000\nPRAGMA synchronous = NORMAL;\n")

    def floorScripts(self, copy, cutoff):
        """B1 and B0. The shell has no loop: B1 holds one transaction per row of chosen (in key
        order, by rowid), as many as the selection has rows of the chosen types, counted on the
        copy beforehand."""
        prologue = ".timeout 10000\nPRAGMA synchronous = NORMAL;\n"
        selection = prologue + selectionScript(cutoff, " ORDER BY sel.KeyNumber")
        rows = int(self.query(copy, chosenCountSql(cutoff)).split()[0])
        cards = "".join(
            "BEGIN;\nUPDATE Keycards SET Active = 0, CardStatus = 3, StatusReason = 6 "
            "WHERE CardID = (SELECT CardID FROM chosen WHERE rowid = %d);\n"
            "INSERT INTO CardDownloads (CardID, Arg1, Arg2, Arg3, QueuedAt) SELECT CardID, 0, 1, "
            "0, datetime('now', 'localtime') FROM chosen WHERE rowid = %d;\nCOMMIT;\n" % (i, i)
            for i in range(1, rows + 1))
        return selection + cards, selection

    def query(self, copy, sql):
        return runChecked([self.m_tools.sqlite3, "-batch", "-noheader", copy], input=sql)

    def release(self, copy):
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(copy + suffix):
                os.remove(copy + suffix)


class PostgresSite:
    """Generated site in a PostgreSQL database; every run gets a fresh copy (CREATE DATABASE
    ... TEMPLATE) of it."""

    name = "PostgreSQL"

    def __init__(self, tools, workDir, env):
        self.m_tools = tools
        self.m_workDir = workDir
        self.m_env = env
        self.m_base = "bench_base"
        self.m_counter = 0

    def connectionIni(self, database):
        e = self.m_env
        return ("[Database]\nDriver=QPSQL\nHost=%s\nPort=%s\nDatabase=%s\nUser=%s\nPassword=%s\n"
                % (e["DORMEX_PG_HOST"], e["DORMEX_PG_PORT"], database, e["DORMEX_PG_USER"],
                   e["DORMEX_PG_PASSWORD"]))

    def psqlArgs(self, database):
        e = self.m_env
        return [self.m_tools.psql, "-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", e["DORMEX_PG_HOST"],
                "-p", e["DORMEX_PG_PORT"], "-U", e["DORMEX_PG_USER"], "-d", database]

    def psqlEnv(self):
        env = dict(os.environ)
        env["PGPASSWORD"] = self.m_env["DORMEX_PG_PASSWORD"]
        return env

    def admin(self, sql):
        runChecked(self.psqlArgs(self.m_env["DORMEX_PG_DB"]) + ["-c", sql], env=self.psqlEnv())

    def generate(self, cards, transactions, idleShare, spanDays):
        self.admin("DROP DATABASE IF EXISTS %s WITH (FORCE)" % self.m_base)
        self.admin("CREATE DATABASE %s" % self.m_base)
        # The site tool reaches PostgreSQL through SiteLibrary.ini beside itself.
        toolDir = os.path.join(self.m_workDir, "pg-tool")
        os.makedirs(toolDir, exist_ok=True)
        tool = os.path.join(toolDir, "dormex-site")
        shutil.copy2(self.m_tools.siteTool, tool)
        with open(os.path.join(toolDir, "SiteLibrary.ini"), "w") as f:
            f.write(self.connectionIni(self.m_base))
        runChecked([tool, "generate", "--cards", str(cards), "--transactions", str(transactions),
                    "--span-days", str(spanDays), "--idle-share", repr(idleShare)])
        # Fresh statistics, as a site's regular maintenance would leave them.
        runChecked(self.psqlArgs(self.m_base) + ["-c", "VACUUM ANALYZE"], env=self.psqlEnv())

    def freshCopy(self, directory):
        self.m_counter += 1
        copy = "bench_copy_%d" % self.m_counter
        self.admin("CREATE DATABASE %s TEMPLATE %s" % (copy, self.m_base))
        return copy

    def prepareProgram(self, programDir, copy):
        with open(os.path.join(programDir, "SiteLibrary.ini"), "w") as f:
            f.write(self.connectionIni(copy))

    def runBulk(self, copy, scriptPath, logPath):
        return runTimed(self.psqlArgs(copy) + ["-f", scriptPath], env=self.psqlEnv(),
                        logPath=logPath)

    def bulkScript(self, cutoff):
        return bulkScript(cutoff, "LOCALTIMESTAMP(0)")

    def floorScripts(self, copy, cutoff):
        """B1 and B0: the selection outside any transaction, then (B1) a loop on the server that
        commits each card's change and download on its own, in key order."""
        selection = selectionScript(cutoff)
        loop = ("DO $$DECLARE r record; BEGIN FOR r IN SELECT CardID FROM chosen ORDER BY "
                "KeyNumber LOOP UPDATE Keycards SET Active = 0, CardStatus = 3, StatusReason = 6 "
                "WHERE CardID = r.CardID; INSERT INTO CardDownloads (CardID, Arg1, Arg2, Arg3, "
                "QueuedAt) VALUES (r.CardID, 0, 1, 0, LOCALTIMESTAMP(0)); COMMIT; END LOOP; "
                "END$$;\n")
        return selection + loop, selection

    def query(self, copy, sql):
        return runChecked(self.psqlArgs(copy) + ["-A", "-t", "-F", "|"], input=sql,
                          env=self.psqlEnv())

    def release(self, copy):
        self.admin("DROP DATABASE IF EXISTS %s WITH (FORCE)" % copy)

    def dropBase(self):
        self.admin("DROP DATABASE IF EXISTS %s WITH (FORCE)" % self.m_base)


class Tools:
    def __init__(self, buildDir):
        self.program = os.path.join(buildDir, "dormex")
        self.siteTool = os.path.join(buildDir, "dormex-site")
        self.sqlite3 = shutil.which("sqlite3")
        self.psql = shutil.which("psql")
        for path in (self.program, self.siteTool):
            if not os.access(path, os.X_OK):
                raise BenchFailure("not built: " + path)
        if not self.sqlite3:
            raise BenchFailure("the sqlite3 shell is missing (apt-get install sqlite3)")


def ratioOf(a, b):
    """a / b; not a number when b is 0 (two runs that took the same time)."""
    return a / b if b else float("nan")


class Measurement:
    """All rounds on one generated site."""

    def __init__(self, label, cards, transactions):
        self.label = label
        self.cards = cards
        self.transactions = transactions
        self.program = []     # A outcomes
        self.bulk = []        # B outcomes
        self.floor = []       # B1 outcomes
        self.floorFixed = []  # B0 outcomes
        self.fixed = []       # A0 outcomes
        self.unchecked = []   # AF outcomes
        self.deactivated = None

    def medianSeconds(self, outcomes):
        return statistics.median(o.seconds for o in outcomes) if outcomes else float("nan")

    def ratio(self):
        """Median of the rounds' A/B ratios: each round's two runs share the machine's mood."""
        return statistics.median(a.seconds / b.seconds for a, b in zip(self.program, self.bulk))

    def perCardMs(self, cpu=False):
        """The run's time beyond the statement's, per deactivated card: the median over the
        rounds of A minus the A0 run next to it."""
        if not self.deactivated:
            return float("nan")
        pick = (lambda o: o.cpuSeconds) if cpu else (lambda o: o.seconds)
        return 1000.0 * statistics.median(
            (pick(a) - pick(a0)) / self.deactivated for a, a0 in zip(self.program, self.fixed))

    def floorPerCardMs(self):
        """B1's time beyond its selection per card: the median over the rounds of B1 minus B0."""
        return 1000.0 * statistics.median(
            (b1.seconds - b0.seconds) / self.deactivated
            for b1, b0 in zip(self.floor, self.floorFixed))

    def floorRatio(self):
        """A's per-card cost over B1's, the two medians printed."""
        return ratioOf(self.perCardMs(), self.floorPerCardMs())

    def floorRatios(self):
        """Each round's A per card over B1 per card, the four runs of one round side by side."""
        return [ratioOf(a.seconds - a0.seconds, b1.seconds - b0.seconds)
                for a, a0, b1, b0 in zip(self.program, self.fixed, self.floor, self.floorFixed)]

    def feedCheckMs(self, cpu=False):
        """The feed check's cost: the median over the rounds of A0 minus the AF run next to it."""
        pick = (lambda o: o.cpuSeconds) if cpu else (lambda o: o.seconds)
        return 1000.0 * statistics.median(
            pick(a0) - pick(af) for a0, af in zip(self.fixed, self.unchecked))

    def wholeRunPerCardMs(self):
        return 1000.0 * self.medianSeconds(self.program) / self.deactivated

    def peakMib(self):
        return max(o.maxRssKib for o in self.program) / 1024.0


class Bench:
    def __init__(self, tools, workDir, rounds, verbose):
        self.m_tools = tools
        self.m_workDir = workDir
        self.m_rounds = rounds
        self.m_verbose = verbose

    def note(self, text):
        if self.m_verbose:
            print("   " + text, flush=True)

    def programDir(self, name, selected, feedCheck=True):
        directory = os.path.join(self.m_workDir, name)
        os.makedirs(directory, exist_ok=True)
        shutil.copy2(self.m_tools.program, os.path.join(directory, "dormex"))
        writeSettings(directory, selected, feedCheck)
        return directory

    def runProgram(self, site, directory, expectChanges, warmUp=False):
        """One A (or A0) run on a fresh copy: its outcome, cards logged, resulting state."""
        copy = site.freshCopy(directory)
        site.prepareProgram(directory, copy)
        log = os.path.join(directory, "dormex.log")
        for name in (log, os.path.join(directory, "dormex.csv")):
            if os.path.exists(name):
                os.remove(name)
        outcome = runTimed([os.path.join(directory, "dormex"), "silent"], cwd=directory,
                           env=programEnv(), logPath=os.path.join(directory, "output.txt"))
        if outcome.status != 0:
            with open(log, "rb") as f:
                tail = f.read()[-2000:].decode("utf-8", "replace")
            raise BenchFailure("dormex silent exited with %d; its log ends:\n%s"
                               % (outcome.status, tail))
        logged = deactivatedLogged(directory)
        if warmUp:
            site.release(copy)
            return outcome, logged, None
        state = self.state(site, copy) if expectChanges else None
        counts = site.query(copy, kCountSql).split()
        site.release(copy)
        if expectChanges and int(counts[0]) != logged:
            raise BenchFailure("the log names %d cards but %s downloads were queued"
                               % (logged, counts[0]))
        if not expectChanges and (logged != 0 or counts[0] != "0"):
            raise BenchFailure("the run with no person type selected changed cards")
        return outcome, logged, state

    def runBulk(self, site, cutoff, floor=None):
        """B (floor None), B1 (floor 0) or B0 (floor 1) on a fresh copy: its outcome, downloads
        queued and resulting state."""
        name = ("bulk", "floor", "floor-selection")[0 if floor is None else floor + 1]
        directory = os.path.join(self.m_workDir, name)
        os.makedirs(directory, exist_ok=True)
        copy = site.freshCopy(directory)
        script = os.path.join(directory, name + ".sql")
        with open(script, "w") as f:
            f.write(site.bulkScript(cutoff) if floor is None
                    else site.floorScripts(copy, cutoff)[floor])
        outcome = site.runBulk(copy, script, os.path.join(directory, "output.txt"))
        if outcome.status != 0:
            raise BenchFailure("the %s script failed (%d); see %s"
                               % (name, outcome.status, os.path.join(directory, "output.txt")))
        state = self.state(site, copy)
        counts = site.query(copy, kCountSql).split()
        site.release(copy)
        return outcome, int(counts[0]), state

    def state(self, site, copy):
        return hashlib.sha256(site.query(copy, kStateSql).encode()).hexdigest()

    def measure(self, site, label, cards, transactions, idleShare, spanDays, withBulk):
        self.note("generating %s: %d cards, %d transactions, idle share %.4f"
                  % (label, cards, transactions, idleShare))
        start = time.perf_counter()
        site.generate(cards, transactions, idleShare, spanDays)
        self.note("generated in %.1f s" % (time.perf_counter() - start))
        m = Measurement(label, cards, transactions)
        selectedDir = self.programDir("program", set(kSelectedTypes))
        noneDir = self.programDir("program-none", set())
        uncheckedDir = self.programDir("program-none-unchecked", set(), feedCheck=False)
        # One run first, not counted: it brings the program and its libraries into memory.
        self.runProgram(site, selectedDir, False, warmUp=True)
        states = set()
        for r in range(self.m_rounds):
            cutoff = cutoffDate()
            a, logged, stateA = self.runProgram(site, selectedDir, True)
            m.program.append(a)
            if logged == 0:
                raise BenchFailure("dormex silent deactivated no card: nothing was measured")
            if m.deactivated is None:
                m.deactivated = logged
            elif m.deactivated != logged:
                raise BenchFailure("the runs deactivated %d and %d cards"
                                   % (m.deactivated, logged))
            states.add(stateA)
            line = "round %d: A %.3f s (%d cards, %.1f MiB)" % (r + 1, a.seconds, logged,
                                                               a.maxRssKib / 1024.0)
            if withBulk:
                b, queued, stateB = self.runBulk(site, cutoff)
                if cutoffDate() != cutoff:
                    raise BenchFailure("the date changed during the round: run again")
                m.bulk.append(b)
                if stateB != stateA or queued != logged:
                    raise BenchFailure(
                        "A and B changed different cards (A: %d logged, B: %d queued)"
                        % (logged, queued))
                line += ", B %.3f s" % b.seconds
                b1, queued, stateB1 = self.runBulk(site, cutoff, 0)
                b0, queuedB0, _ = self.runBulk(site, cutoff, 1)
                if cutoffDate() != cutoff:
                    raise BenchFailure("the date changed during the round: run again")
                m.floor.append(b1)
                m.floorFixed.append(b0)
                if stateB1 != stateA or queued != logged or queuedB0 != 0:
                    raise BenchFailure(
                        "A and B1 changed different cards (A: %d logged, B1: %d queued)"
                        % (logged, queued))
                line += ", B1 %.3f s, B0 %.3f s" % (b1.seconds, b0.seconds)
            a0, _, _ = self.runProgram(site, noneDir, False)
            m.fixed.append(a0)
            line += ", A0 %.3f s" % a0.seconds
            af, _, _ = self.runProgram(site, uncheckedDir, False)
            m.unchecked.append(af)
            line += ", AF %.3f s" % af.seconds
            self.note(line)
        if len(states) != 1:
            raise BenchFailure("the program's runs left different states")
        if withBulk:
            self.note("A, B and B1 changed exactly the same cards in every round")
        return m


def printMain(m, backend):
    print("%s, %d cards, %d transactions: %d cards deactivated per run, %d rounds"
          % (backend, m.cards, m.transactions, m.deactivated, len(m.program)))
    print("  A dormex silent    median %8.3f s   peak memory %.1f MiB"
          % (m.medianSeconds(m.program), m.peakMib()))
    print("  B bulk transaction median %8.3f s" % m.medianSeconds(m.bulk))
    print("  A0 no type chosen  median %8.3f s   (the statement and its rows alone)"
          % m.medianSeconds(m.fixed))
    print("  ratio A/B          median %8.2f     (rounds: %s)"
          % (m.ratio(), " ".join("%.2f" % (a.seconds / b.seconds)
                                 for a, b in zip(m.program, m.bulk))))
    print("  per deactivated card: %.3f ms beyond the statement (CPU %.3f ms), %.3f ms whole run"
          % (m.perCardMs(), m.perCardMs(cpu=True), m.wholeRunPerCardMs()))
    print("  feed check: %.1f ms per run (CPU %.1f ms; A0 minus A0 with FeedCheck=False)"
          % (m.feedCheckMs(), m.feedCheckMs(cpu=True)))
    print("  B1 a transaction per card median %8.3f s   B0 its selection alone median %.3f s"
          % (m.medianSeconds(m.floor), m.medianSeconds(m.floorFixed)))
    print("  per card beyond the statement: A %.3f ms, B1 %.3f ms, ratio A/B1 %.2f "
          "(single rounds: %s)" % (m.perCardMs(), m.floorPerCardMs(), m.floorRatio(),
                                   " ".join("%.2f" % r for r in m.floorRatios())))


def printScaling(rows, backend):
    print("%s scaling (per deactivated card: A - A0, medians of %d rounds):"
          % (backend, len(rows[0].program)))
    print("  %10s  %8s  %8s  %10s  %10s  %12s  %8s"
          % ("cards", "A s", "A0 s", "ms/card", "CPU ms", "whole ms", "peak MiB"))
    for m in rows:
        print("  %10d  %8.3f  %8.3f  %10.3f  %10.3f  %12.3f  %8.1f"
              % (m.deactivated, m.medianSeconds(m.program), m.medianSeconds(m.fixed),
                 m.perCardMs(), m.perCardMs(cpu=True), m.wholeRunPerCardMs(), m.peakMib()))
    costs = [m.perCardMs() for m in rows]
    mean = statistics.mean(costs)
    print("  per-card spread: %+.0f %% .. %+.0f %% around the mean %.3f ms"
          % (100 * (min(costs) / mean - 1), 100 * (max(costs) / mean - 1), mean))


def startPostgres(harness):
    text = runChecked(["bash", harness, "start"])
    env = {}
    for line in text.splitlines():
        if line.startswith("export "):
            name, _, value = line[len("export "):].partition("=")
            env[name] = value.strip("'")
    return env


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True, help="build directory with dormex, dormex-site")
    parser.add_argument("--smoke", action="store_true", help="a small site, for CI")
    parser.add_argument("--rounds", type=int, default=5,
                        help="rounds of A, B and A0 on each site (default 5)")
    parser.add_argument("--no-scaling", action="store_true")
    parser.add_argument("--pg", dest="pg", action="store_true", default=None,
                        help="also on PostgreSQL (the default, except with --smoke)")
    parser.add_argument("--no-pg", dest="pg", action="store_false")
    parser.add_argument("--pg-transactions", type=int, default=None)
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    parser.add_argument("--quiet", action="store_true")
    parser.add_argument("--record", action="store_true", help="the program runs with Record=True")
    args = parser.parse_args()
    global kRecord
    kRecord = args.record

    args.build = os.path.abspath(args.build)
    tools = Tools(args.build)
    if args.smoke:
        cards, transactions, mainShare = 4000, 100000, 0.05
        scaleTargets = [50, 250, 1000]
    else:
        cards, transactions, mainShare = 100000, 5000000, 0.025
        scaleTargets = [1000, 5000, 20000]
    usePg = (not args.smoke) if args.pg is None else args.pg
    pgTransactions = args.pg_transactions or transactions
    # A site whose transactions leave about a tenth of the cards idle (a first sweep): each
    # card's round trips, not the statement, make most of the run.
    sweepTransactions = cards * 10
    spanDays = 365
    here = os.path.dirname(os.path.abspath(__file__))
    harness = os.path.join(here, "..", "scripts", "pg-harness.sh")

    workDir = tempfile.mkdtemp(prefix="bench-", dir=args.build)
    bench = Bench(tools, workDir, args.rounds, not args.quiet)
    pgEnv = None
    print("Benchmark of dormex silent: %s, %d cores, %s"
          % (datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), os.cpu_count(),
             "smoke" if args.smoke else "full"), flush=True)
    try:
        sqlite = SqliteSite(tools, workDir)
        mainRow = bench.measure(sqlite, "main", cards, transactions, mainShare, spanDays, True)
        scaling = []
        if not args.no_scaling:
            for target in scaleTargets:
                share = min(0.9, target / (cards * kSelectedShare))
                scaling.append(bench.measure(sqlite, "scale", cards, transactions, share,
                                             spanDays, False))
        pgMain = None
        pgSweep = None
        if usePg:
            if not tools.psql:
                raise BenchFailure("psql is missing (apt-get install postgresql), or use --no-pg")
            pgEnv = startPostgres(harness)
            pg = PostgresSite(tools, workDir, pgEnv)
            pgMain = bench.measure(pg, "main", cards, pgTransactions, mainShare, spanDays, True)
            pgSweep = bench.measure(pg, "sweep", cards, sweepTransactions, mainShare, spanDays,
                                    True)
            pg.dropBase()

        print()
        printMain(mainRow, "SQLite")
        if scaling:
            printScaling(scaling, "SQLite")
        if pgMain:
            printMain(pgMain, "PostgreSQL (throw-away cluster, fsync off)")
            printMain(pgSweep, "PostgreSQL, a first sweep (throw-away cluster, fsync off)")
    except BenchFailure as e:
        print("bench: FAILED: %s" % e, file=sys.stderr)
        return 1
    finally:
        if pgEnv:
            subprocess.run(["bash", harness, "stop", pgEnv["DORMEX_PG_DIR"]])
        if args.keep:
            print("work directory kept: " + workDir)
        else:
            shutil.rmtree(workDir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
