#!/usr/bin/env python3
"""The unattended run through the COM site library under Wine against the same run on Linux.

On one generated benchmark site (dormex-site generate --cards 100000 --transactions 5000000
--span-days 365 --idle-share 0.025), each round runs, every time on a fresh copy of the site:
  Linux A     build/dormex silent, person types 0..5 selected (Days=30)
  Linux A0    the same with no type selected: the same statement and rows, nothing changed
  Wine64 A    Dormex.exe silent of a 64-bit Windows build under Wine, the site reached through
              that build's DormexSite.dll
  Wine64 A0   the same with no type selected
  Wine32 A, A0  the same for a 32-bit Windows build, where one is given
The per-card cost of each side is the median over the rounds of (A - A0) / cards deactivated, so
the start-up of each side (Wine's included) and the statement cancel out. After every A the
Keycards states and CardDownloads rows of every side must be the same, or it exits with status 1.
Both Windows builds run in the first one's Wine prefix, each stand-in registered in its own
architecture's registry view.

  bench-wine.py --linux BUILD --windows BUILD [--windows BUILD] [--rounds N]
                [--cards N --transactions N] [--site FILE]
"""

import argparse
import hashlib
import os
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

kStateSql = ("SELECT group_concat(CardID || ':' || Active || CardStatus || StatusReason, ',') "
             "FROM (SELECT * FROM Keycards ORDER BY CardID);")
kDownloadsSql = ("SELECT group_concat(CardID || ':' || Arg1 || Arg2 || Arg3, ',') "
                 "FROM (SELECT * FROM CardDownloads ORDER BY DownloadID);")


def settings(directory, selected):
    lines = ["[General]", "Days=30"]
    lines += ["type%d=%s" % (t, "True" if t in selected else "False") for t in range(11)]
    with open(os.path.join(directory, "Dormex.ini"), "w") as f:
        f.write("\r\n".join(lines) + "\r\n")


def environment():
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
        env.pop(name, None)
    return env


def siteLibrary(directory):
    """SiteLibrary.ini naming the stand-in: the trial kit's [COM] section; site.db beside it."""
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "win", "trial",
                           "SiteLibrary.ini")) as f:
        com = f.read().split("[Database]")[0]
    with open(os.path.join(directory, "SiteLibrary.ini"), "w") as f:
        f.write(com.replace("\n", "\r\n"))


def fresh(base, directory):
    target = os.path.join(directory, "site.db")
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(target + suffix):
            os.remove(target + suffix)
    shutil.copyfile(base, target)
    fd = os.open(target, os.O_RDONLY)
    os.fsync(fd)
    os.close(fd)
    return target


def state(database):
    with sqlite3.connect(database) as db:
        rows = db.execute(kStateSql).fetchone()[0] or ""
        rows += "|" + (db.execute(kDownloadsSql).fetchone()[0] or "")
    return hashlib.sha256(rows.encode()).hexdigest()


def deactivated(directory, logName):
    path = os.path.join(directory, logName)
    if not os.path.exists(path):
        return 0
    with open(path, "rb") as f:
        return sum(1 for line in f if line.rstrip(b"\r\n").endswith(b", Deactivated"))


def run(argv, directory, logName):
    log = os.path.join(directory, logName)
    if os.path.exists(log):
        os.remove(log)
    start = time.perf_counter()
    result = subprocess.run(argv, cwd=directory, env=environment(), stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    seconds = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit("%s exited with %d: %s" % (" ".join(argv), result.returncode,
                                            result.stderr.decode(errors="replace")))
    return seconds, deactivated(directory, logName)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--linux", required=True, help="Linux build with dormex, dormex-site")
    parser.add_argument("--windows", required=True, action="append",
                        help="Windows build with Dormex.exe (once per architecture)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--cards", type=int, default=100000)
    parser.add_argument("--transactions", type=int, default=5000000)
    parser.add_argument("--site", help="a site generated before with these options, to reuse")
    args = parser.parse_args()
    args.linux = os.path.abspath(args.linux)
    args.windows = [os.path.abspath(build) for build in args.windows]

    work = tempfile.mkdtemp(prefix="dormex-bench-wine-")
    # One Wine server for the whole benchmark, as on a machine where Wine is already running:
    # otherwise each run would also pay for starting Wine's services.
    os.environ.setdefault("WINEPREFIX",
                          os.path.abspath(os.path.join(args.windows[0], "wine-prefix")))
    os.environ.setdefault("WINEDEBUG", "-all")
    # The first build's wine-run makes the prefix if it is missing, before the server starts.
    subprocess.run([os.path.join(args.windows[0], "wine-run")], check=True)
    server = subprocess.Popen(["/usr/lib/wine/wineserver64", "-f", "-p"])
    try:
        measure(args, work)
    finally:
        # The prefix's Windows processes (services started with this script's output) end with
        # the server, so nothing keeps the output open.
        subprocess.run(["/usr/lib/wine/wineserver64", "-k"])
        server.wait()
        shutil.rmtree(work)


def architecture(program):
    """32 or 64: the machine field of a Windows program's PE header."""
    with open(program, "rb") as f:
        header = f.read(4096)
    offset = int.from_bytes(header[0x3C:0x40], "little")
    return 64 if int.from_bytes(header[offset + 4:offset + 6], "little") == 0x8664 else 32


def measure(args, work):
    windows = []
    for build in args.windows:
        wineRun = os.path.join(build, "wine-run")
        dll = "Z:" + os.path.join(build, "DormexSite.dll").replace("/", "\\")
        # Each build's regsvr32 registers its stand-in in its own architecture's view.
        subprocess.run([wineRun, "regsvr32", "/s", dll], check=True)
        windows.append(("Wine%d" % architecture(os.path.join(build, "Dormex.exe")), build,
                        wineRun))

    base = args.site or os.path.join(work, "base.db")
    if not args.site:
        print("Generating the site (%d cards, %d transactions)" % (args.cards, args.transactions),
              flush=True)
        subprocess.run([os.path.join(args.linux, "dormex-site"), "--database", base, "generate",
                        "--cards", str(args.cards), "--transactions", str(args.transactions),
                        "--span-days", "365", "--idle-share", "0.025"], check=True,
                       stdout=subprocess.DEVNULL)

    sides = {}
    programs = [("Linux", os.path.join(args.linux, "dormex"), "dormex.log", None)]
    programs += [(name, os.path.join(build, "Dormex.exe"), "Dormex.log", wineRun)
                 for name, build, wineRun in windows]
    for side, program, logName, wineRun in programs:
        for kind, selected in (("A", range(6)), ("A0", ())):
            directory = os.path.join(work, side + kind)
            os.makedirs(directory)
            target = os.path.join(directory, os.path.basename(program))
            shutil.copy2(program, target)
            settings(directory, selected)
            argv = [target, "silent"]
            if wineRun:
                argv = [wineRun, "Z:" + target.replace("/", "\\"), "silent"]
                siteLibrary(directory)
            sides[side + kind] = (directory, argv, logName)

    times = {name: [] for name in sides}
    cards = None
    # One uncounted warm-up of each, then the rounds, taking turns.
    for round in range(args.rounds + 1):
        states = {}
        for name, (directory, argv, logName) in sides.items():
            copy = fresh(base, directory)
            seconds, logged = run(argv, directory, logName)
            if name.endswith("A0"):
                if logged != 0:
                    sys.exit(name + " deactivated cards")
            else:
                if cards is not None and logged != cards:
                    sys.exit("%s deactivated %d cards, not %d" % (name, logged, cards))
                cards = logged
                states[name] = state(copy)
            if round > 0:
                times[name].append(seconds)
        if len(set(states.values())) != 1:
            sys.exit("The Linux and Wine runs left different cards or downloads")
        print("round %d: %s" % (round, "  ".join("%s %.3f s" % (n, times[n][-1] if round else 0)
                                                 for n in sides)), flush=True)

    print("\n%d cards deactivated by each A; %d rounds" % (cards, args.rounds))
    result = {}
    for side in [program[0] for program in programs]:
        perCard = [1000.0 * (a - a0) / cards
                   for a, a0 in zip(times[side + "A"], times[side + "A0"])]
        result[side] = statistics.median(perCard)
        print("%-6s A %.3f s  A0 %.3f s  per card (A - A0) %.3f ms" % (
            side, statistics.median(times[side + "A"]), statistics.median(times[side + "A0"]),
            result[side]))
    for side in [name for name, _, _ in windows]:
        print("%s / Linux per-card cost: %.2f" % (side, result[side] / result["Linux"]))


if __name__ == "__main__":
    main()
