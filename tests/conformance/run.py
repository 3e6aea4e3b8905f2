#!/usr/bin/env python3
"""Runner of the conformance suite.

    python3 tests/conformance/run.py --server PATH --out DIR
        [--group N ...] [--mode program|strict|both]

Starts the echo server on an ephemeral loopback port (--port 0; it prints
"port N"), once with the program's options and once with --strict, runs
every case of the chosen groups on fresh connections, stops the server,
writes DIR/report.md and prints a summary. The exit status is 0 only when
the conditions below hold:

* strict: no FAIL, and groups 1, 2, 3, 4, 5 and 10 entirely PASS;
* program: every case that is not PASS has one of the two reasons that are
  the program configuration's known behaviours ("no close frame sent back",
  "UTF-8 not validated");
* limits (group 9): every case PASS in both modes (the echoes and the
  linear-growth check).

A server that exits during a case is restarted; that case fails.
"""

import argparse
import os
import select
import signal
import subprocess
import sys
import time

import cases as suite
import judge
from judge import FAIL, NO_CLOSE, NO_UTF8, NON_STRICT, PASS, Result
from wsclient import Conn, op_name, open_ws

STRICT_ALL_PASS_GROUPS = (1, 2, 3, 4, 5, 10)
PROGRAM_KNOWN_REASONS = (NO_CLOSE, NO_UTF8)
LIMITS_GROUP = 9
START_TIMEOUT = 10.0


class Server:
    """The echo server as a child process on an ephemeral port."""

    def __init__(self, path: str, strict: bool, log_path: str):
        self.path, self.strict, self.log_path = path, strict, log_path
        open(log_path, "wb").close()  # this run's log only; restarts append to it
        self.proc = None
        self.port = None

    def start(self):
        args = [self.path, "--port", "0"] + (["--strict"] if self.strict else [])
        self.log = open(self.log_path, "ab")
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=self.log)
        deadline = time.monotonic() + START_TIMEOUT
        line = b""
        while not line.endswith(b"\n"):
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([self.proc.stdout], [], [], remaining)[0]:
                break
            byte = os.read(self.proc.stdout.fileno(), 1)  # unbuffered, so select stays true to it
            if not byte:
                break
            line += byte
        words = line.decode("ascii", "replace").split()
        if len(words) != 2 or words[0] != "port" or not words[1].isdigit():
            self.stop()
            raise RuntimeError("server did not print 'port N' (got %r)" % line)
        self.port = int(words[1])
        # Later output goes to the log so that a full pipe cannot block it.
        self.proc.stdout.close()

    def exited(self):
        return None if self.proc is None else self.proc.poll()

    def stop(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()
        self.proc = None


class Ctx:
    """What a case gets: connections to the server and timeouts."""

    def __init__(self, port, timeout, echo_timeout, big_timeout, timings, notes):
        self.port = port
        self.timeout = timeout
        self.echo_timeout = echo_timeout
        self.big_timeout = big_timeout
        self.timings = timings
        self.notes = notes
        self.conns = []
        self.log_conn = None

    def open(self, protocols=None):
        conn = open_ws(self.port, protocols, self.echo_timeout)
        self.conns.append(conn)
        return conn

    def connect(self):
        conn = Conn(self.port, self.echo_timeout)
        self.conns.append(conn)
        return conn

    def close_all(self):
        for conn in self.conns:
            conn.close()
        self.conns = []


def conn_log(ctx) -> str:
    """What the last connection of a case sent and received."""
    if not ctx.conns:
        return ""
    conn = ctx.log_conn or ctx.conns[-1]
    return "sent: %s | received: %s" % (" / ".join(conn.sent_log), " / ".join(conn.recv_log))


def run_case(case, server, args, timings, notes) -> tuple:
    ctx = Ctx(server.port, args.timeout, args.echo_timeout, args.big_timeout, timings, notes)
    started = time.monotonic()
    try:
        result = case.run(ctx)
    except Exception as error:          # a case must not stop the run
        result = Result(FAIL, "exception in the case: %s: %s" % (type(error).__name__, error))
    log = conn_log(ctx) if result.verdict != PASS else ""
    ctx.close_all()
    status = server.exited()
    if status is not None:
        result = Result(FAIL, "server exited with status %s during the case" % status, result.reason)
        server.stop()
        server.start()
    return result, log, time.monotonic() - started


def run_mode(mode, selected, args) -> dict:
    strict = mode == "strict"
    server = Server(args.server, strict, os.path.join(args.out, "server-%s.log" % mode))
    server.start()
    timings, notes, rows = [], {}, []
    started = time.monotonic()
    print("%s mode: %d cases on port %d" % (mode, len(selected), server.port), flush=True)
    try:
        for case_id, case in selected:
            result, log, seconds = run_case(case, server, args, timings, notes)
            rows.append((case_id, case, result, log, seconds))
            if args.verbose:
                print("  [%s] %-6s %s %s%s" % (mode, case_id, result.verdict, case.name,
                                              (" -- " + result.reason) if result.reason else ""),
                      flush=True)
    finally:
        server.stop()
    with open(server.log_path, "rb") as log:
        # A server built with sanitizers reports memory and undefined-behaviour
        # errors on its standard error.
        sanitizer = [line.decode("utf-8", "replace").strip() for line in log
                     if b"Sanitizer" in line or b"runtime error:" in line]
    return {"mode": mode, "rows": rows, "timings": timings, "notes": notes,
            "sanitizer": sanitizer[:5], "seconds": time.monotonic() - started}


# -- judging the run --------------------------------------------------------------

def must_hold_problems(run) -> list:
    mode = run["mode"]
    problems = ["%s mode server: %s" % (mode, line) for line in run["sanitizer"]]
    for case_id, case, result, _, _ in run["rows"]:
        if result.verdict == PASS:
            continue
        where = "%s %s %s (%s)" % (mode, case_id, result.verdict, result.reason)
        if case.group == LIMITS_GROUP:
            problems.append("limits must all pass: " + where)
        elif mode == "strict" and result.verdict == FAIL:
            problems.append("strict mode has a FAIL: " + where)
        elif mode == "strict" and case.group in STRICT_ALL_PASS_GROUPS:
            problems.append("strict mode group %d must all pass: %s" % (case.group, where))
        elif mode == "program" and result.reason not in PROGRAM_KNOWN_REASONS:
            problems.append("program mode non-PASS with an unknown reason: " + where)
    return problems


# -- report -----------------------------------------------------------------------------

def md_cell(text: str) -> str:
    return str(text).replace("|", "\\|").replace("\n", " ")


def summary_by_group(run) -> dict:
    counts = {}
    for _, case, result, _, _ in run["rows"]:
        counts.setdefault(case.group, {PASS: 0, NON_STRICT: 0, FAIL: 0})[result.verdict] += 1
    return counts


def report_mode(run) -> list:
    lines = ["## Mode: %s" % run["mode"], "",
             "Run time: %.1f s" % run["seconds"], "",
             "| group | name | PASS | NON-STRICT | FAIL |", "|---|---|---|---|---|"]
    counts = summary_by_group(run)
    for group in sorted(counts):
        c = counts[group]
        lines.append("| %d | %s | %d | %d | %d |" % (group, suite.GROUPS[group], c[PASS],
                                                      c[NON_STRICT], c[FAIL]))
    total = {v: sum(c[v] for c in counts.values()) for v in (PASS, NON_STRICT, FAIL)}
    lines.append("| all | | %d | %d | %d |" % (total[PASS], total[NON_STRICT], total[FAIL]))
    lines += ["", "### Cases that are not PASS", ""]
    bad = [r for r in run["rows"] if r[2].verdict != PASS]
    if not bad:
        lines.append("None.")
    else:
        lines += ["| case | name | verdict | reason | detail |", "|---|---|---|---|---|"]
        for case_id, case, result, log, _ in bad:
            detail = "; ".join(x for x in (result.detail, log) if x)
            lines.append("| %s | %s | %s | %s | %s |" % (case_id, md_cell(case.name), result.verdict,
                                                         md_cell(result.reason), md_cell(detail[:600])))
    if run["timings"]:
        lines += ["", "### Limits: timings", "",
                  "| message | size | sent as | seconds | MiB/s | echo |", "|---|---|---|---|---|---|"]
        for t in run["timings"]:
            sent_as = "whole" if not t.fragment else "fragments of %s" % suite.size_text(t.fragment)
            rate = (t.size / suite.MIB) / t.seconds if t.seconds > 0 else 0.0
            lines.append("| %s | %s | %s | %.3f | %.1f | %s |" % (
                op_name(t.opcode), suite.size_text(t.size), sent_as, t.seconds, rate,
                "ok" if t.ok else "FAILED"))
        for note in run["notes"].values():
            lines += ["", "Linear growth, " + note]
    lines.append("")
    return lines


def write_report(path, runs, problems, args):
    lines = ["# Conformance suite report (RFC 6455)", "",
             "Server: `%s`" % args.server, "",
             "Verdicts: PASS; NON-STRICT (the connection ended as the RFC allows but not as "
             "it recommends); FAIL.", ""]
    for run in runs:
        lines += report_mode(run)
    lines += ["## Conditions for a passing run", ""]
    lines += ["- " + p for p in problems] if problems else ["All hold."]
    with open(path, "w", encoding="utf-8") as out:
        out.write("\n".join(lines) + "\n")


def print_summary(run):
    counts = summary_by_group(run)
    print("%s mode (%.1f s):" % (run["mode"], run["seconds"]))
    for group in sorted(counts):
        c = counts[group]
        print("  group %2d %-20s PASS %4d  NON-STRICT %4d  FAIL %4d" % (
            group, suite.GROUPS[group], c[PASS], c[NON_STRICT], c[FAIL]))
    for t in run["timings"]:
        print("  limits %-6s %-8s %-22s %7.3f s%s" % (
            op_name(t.opcode), suite.size_text(t.size),
            "whole" if not t.fragment else "fragments of " + suite.size_text(t.fragment), t.seconds,
            "" if t.ok else "  (echo FAILED)"))
    for note in run["notes"].values():
        print("  linear growth " + note)


def parse_args():
    parser = argparse.ArgumentParser(description="RFC 6455 conformance suite")
    parser.add_argument("--server", required=True, help="path of the echo server binary")
    parser.add_argument("--out", required=True, help="directory for report.md and server logs")
    parser.add_argument("--group", type=int, action="append", help="run only this group (repeatable)")
    parser.add_argument("--mode", choices=("program", "strict", "both"), default="both")
    parser.add_argument("--timeout", type=float, default=2.0,
                        help="seconds to wait for a failing connection to close")
    parser.add_argument("--echo-timeout", type=float, default=5.0,
                        help="seconds to wait for an echo of a small message")
    parser.add_argument("--big-timeout", type=float, default=120.0,
                        help="seconds to wait for a limits echo")
    parser.add_argument("--verbose", action="store_true", help="print every case as it ends")
    return parser.parse_args()


def main() -> int:
    args = parse_args()
    # A server may take as long to end TCP after a close as to fail a connection.
    judge.CLOSE_WAIT = max(judge.CLOSE_WAIT, args.timeout)
    os.makedirs(args.out, exist_ok=True)
    cases = suite.all_cases()
    numbered, index = [], {}
    for case in cases:
        index[case.group] = index.get(case.group, 0) + 1
        numbered.append(("%d.%d" % (case.group, index[case.group]), case))
    if args.group:
        unknown = set(args.group) - set(suite.GROUPS)
        if unknown:
            print("unknown group(s): %s" % sorted(unknown))
            return 2
        numbered = [(i, c) for i, c in numbered if c.group in args.group]
    modes = ["program", "strict"] if args.mode == "both" else [args.mode]
    started = time.monotonic()
    runs = [run_mode(mode, numbered, args) for mode in modes]
    problems = [p for run in runs for p in must_hold_problems(run)]
    write_report(os.path.join(args.out, "report.md"), runs, problems, args)
    for run in runs:
        print_summary(run)
    print("total %.1f s; report: %s" % (time.monotonic() - started, os.path.join(args.out, "report.md")))
    if problems:
        print("NOT CONFORMANT:")
        for problem in problems:
            print("  " + problem)
        return 1
    print("all conditions hold")
    return 0


if __name__ == "__main__":
    sys.exit(main())
