#!/usr/bin/python3
"""mero report against figures computed here, independently.

Generates unit records (two plans, three stations, values drawn from known
distributions, retests, station errors, a plan version whose limits changed,
edge cases), stores them the way stations do (the spool and mero results
--flush), runs mero report and checks every figure of its JSON and CSV to 1e-9
relative, then loads its page in headless Chromium and checks the figures the
browser's DOM holds.

usage: report_check.py MERO [--keep-screenshot FILE] [--keep-records]
"""
import csv
import datetime
import json
import math
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
from collections import defaultdict

MERO = sys.argv[1]
SCREENSHOT = sys.argv[sys.argv.index("--keep-screenshot") + 1] if "--keep-screenshot" in sys.argv else None
KEEP = "--keep-records" in sys.argv  # leaves the records' directory for a person to look at
REL = 1e-9
failures = []


def check(what, got, want):
    if isinstance(want, float) or isinstance(got, float):
        if want is None or got is None:
            ok = want is None and got is None
        else:
            ok = math.isclose(float(got), float(want), rel_tol=REL, abs_tol=1e-12)
    else:
        ok = got == want
    if not ok:
        failures.append(f"{what}: got {got!r}, want {want!r}")


# --- The records -------------------------------------------------------------

rng = random.Random(20261210)
BASE = datetime.datetime(2026, 11, 30, 6, 0, 0, tzinfo=datetime.timezone.utc)
STATIONS = ["bench-A", "bench-B", "bench-C"]
OPERATORS = ["ann", "bob", "<b>eve</b>"]
SHA = {"board-1": "a1" * 32, "board-2": "b2" * 32, "cable": "c3" * 32}


def iso(t):
    return t.strftime("%Y-%m-%dT%H:%M:%S.") + f"{t.microsecond // 1000:03d}Z"


def measurement(name, value, unit, lo, hi, mlo=None, mhi=None):
    if value is None:
        outcome = "NOT MEASURED"
    elif (lo is not None and value < lo) or (hi is not None and value > hi):
        outcome = "FAIL"
    elif (mlo is not None and value < mlo) or (mhi is not None and value > mhi):
        outcome = "MARGINAL"
    else:
        outcome = "PASS"
    return {"name": name, "value": value, "text": "" if value is None else repr(value), "unit": unit, "min": lo,
            "max": hi, "marginal_min": mlo, "marginal_max": mhi, "outcome": outcome, "message": ""}


def board_steps(version, forced_fail):
    lo, hi = (3.2, 3.4) if version == "board-1" else (3.15, 3.45)
    vbat = measurement("vbat", rng.gauss(3.3, 0.045), "V", lo, hi, lo + 0.02, hi - 0.02)
    current = measurement("idle", rng.gauss(120.0, 6.0), "mA", None, 138.0)
    temp = measurement("temp", 25.0, "°C", 0.0, 50.0)
    boot = measurement("boot_time", rng.lognormvariate(0.7, 0.3), "s", None, None)
    steps = [
        {"name": "power on", "measurements": [boot]},
        {"name": "battery", "measurements": [vbat, current]},
        {"name": "sensor", "measurements": [temp]},
        {"name": "self test", "measurements": []},
    ]
    failing = None
    for s in steps:
        bad = any(m["outcome"] == "FAIL" for m in s["measurements"])
        if s["name"] == "self test" and forced_fail:
            bad = True
        s["outcome"] = "FAIL" if bad and failing is None else ("SKIPPED" if failing else "PASS")
        if bad and failing is None:
            failing = s["name"]
    return steps, failing


def cable_steps(forced_fail):
    r = measurement("resistance", rng.gauss(0.8, 0.05), "ohm", None, 1.0)
    steps = [{"name": "continuity", "measurements": [r]}, {"name": "insulation", "measurements": []}]
    failing = None
    if r["outcome"] == "FAIL":
        failing = "continuity"
    elif forced_fail:
        failing = "insulation"
    for s in steps:
        s["outcome"] = "FAIL" if s["name"] == failing else "PASS"
    return steps, failing


records = []


def record(plan, version, unit_id, started, station, operator):
    n = len(records)
    roll = rng.random()
    error = ""
    if roll < 0.03:  # the station could not test it
        outcome = "ERROR"
        if roll < 0.01:
            error = "cannot open /dev/ttyUSB7: the device is gone"
            steps, failing = [], "open port"
        else:
            steps = [{"name": "power on", "outcome": "ERROR", "measurements": [],
                      "message": "the device hung up"}]
            failing = "power on"
    elif roll < 0.04:
        outcome = "ABORTED"
        steps = [{"name": "power on", "outcome": "ABORTED", "measurements": [], "message": "stopped by the operator"}]
        failing = "power on"
    else:
        forced = rng.random() < 0.02
        steps, failing = board_steps(version, forced) if plan == "board" else cable_steps(forced)
        outcome = "FAIL" if failing else "PASS"
    for s in steps:
        s.setdefault("message", "")
        s.update({"teardown": False, "tries": 1, "seconds": 0.5, "detail": ""})
    rid = f"rec-{n:06d}"
    records.append({
        "record": 1, "id": rid, "unit_id": unit_id, "station": station, "operator": operator,
        "plan": {"name": plan, "file": f"/plans/{plan}.yaml", "sha256": SHA[version]},
        "program": {"name": "mero", "version": "test"}, "port": {"name": "COM1", "line": "115200 8N1"},
        "started": iso(started), "ended": iso(started + datetime.timedelta(seconds=30)), "seconds": 30.0,
        "outcome": outcome, "error": error, "first_failure": failing or "", "steps": steps,
        "variables": {}, "files": {"junit": "", "transcript": "", "received": []}})
    return outcome


t = BASE
for i in range(2600):
    plan = "board" if i % 3 else "cable"
    version = "cable" if plan == "cable" else ("board-1" if i < 1300 else "board-2")
    unit = f"SN{i:05d}"
    if i == 8:
        unit = "=HYPERLINK(\"x\")"
    elif i == 9:
        unit = ""
    t += datetime.timedelta(seconds=rng.randint(60, 240))
    station, operator = rng.choice(STATIONS), rng.choice(OPERATORS)
    outcome = record(plan, version, unit, t, station, operator)
    if outcome in ("FAIL", "ERROR") and unit and rng.random() < 0.6:  # a retest, later the same day or the next
        record(plan, version, unit, t + datetime.timedelta(minutes=rng.randint(5, 900)), rng.choice(STATIONS), operator)
# The newest failure: a unit whose id is markup.
last_fail = next(r for r in reversed(records) if r["outcome"] == "FAIL" and r["plan"]["name"] == "board")
records.append(dict(last_fail, id="rec-script", unit_id="<script>alert(1)</script>",
                    started=iso(t + datetime.timedelta(days=1)), ended=iso(t + datetime.timedelta(days=1, seconds=30))))
# A measurement with a single value, in a plan of its own.
records.append(dict(records[1], id="solo-1", unit_id="SOLO", plan={"name": "solo", "file": "/plans/solo.yaml",
                                                                  "sha256": "d4" * 32}, outcome="PASS",
                    first_failure="", error="", steps=[{"name": "check", "outcome": "PASS", "message": "", "teardown": False,
                                                        "tries": 1, "seconds": 0.1, "detail": "",
                                                        "measurements": [measurement("v", 1.5, "V", 1.0, 2.0)]}]))

# --- What the figures must be ------------------------------------------------


def tally(recs):
    out = {"records": len(recs)}
    for o in ("PASS", "FAIL", "ERROR", "ABORTED"):
        out[o.lower()] = sum(r["outcome"] == o for r in recs)
    by_unit = defaultdict(list)
    everyone = set()
    for r in recs:
        key = r["unit_id"] or r["id"]
        everyone.add(key)
        if r["outcome"] in ("PASS", "FAIL"):
            by_unit[key].append(r)
    units = len(by_unit)
    passed = first = 0
    for rs in by_unit.values():
        rs.sort(key=lambda r: (r["started"], r["id"]))
        passed += rs[-1]["outcome"] == "PASS"
        first += rs[0]["outcome"] == "PASS"
    out.update({"units": units, "units_passed": passed, "first_passed": first, "untested_units": len(everyone) - units,
                "retests": out["pass"] + out["fail"] - units,
                "yield": passed / units if units else None, "first_pass_yield": first / units if units else None})
    return out


def causes(recs, outcome, cause):
    chosen = [r for r in recs if r["outcome"] == outcome]
    counts = defaultdict(int)
    for r in chosen:
        counts[cause(r)] += 1
    return sorted(((c, n, n / len(chosen)) for c, n in counts.items()), key=lambda x: (-x[1], x[0]))


def error_cause(r):
    if r["error"]:
        return r["error"]
    for s in r["steps"]:
        if s["outcome"] in ("ERROR", "ABORTED"):
            return s["message"]
    return ""


def measures(recs):
    groups = defaultdict(list)
    for r in recs:
        for s in r["steps"]:
            for m in s["measurements"]:
                if m["value"] is None:
                    continue
                key = (s["name"], m["name"], m["unit"], m["min"], m["max"], m["marginal_min"], m["marginal_max"])
                groups[key].append((m, r))
    out = {}
    for key, items in groups.items():
        values = [m["value"] for m, _ in items]
        lo, hi = key[3], key[4]
        n = len(values)
        mean = statistics.mean(values)
        sd = statistics.stdev(values) if n > 1 else None
        cp = cpk = None
        if sd:
            if lo is not None and hi is not None:
                cp = (hi - lo) / (6 * sd)
                cpk = min(hi - mean, mean - lo) / (3 * sd)
            elif hi is not None:
                cpk = (hi - mean) / (3 * sd)
            elif lo is not None:
                cpk = (mean - lo) / (3 * sd)
        out[key] = {"n": n, "units": len({r["unit_id"] or r["id"] for _, r in items}), "mean": mean, "sd": sd,
                    "least": min(values), "greatest": max(values),
                    "below_share": sum(lo is not None and v < lo for v in values) / n,
                    "above_share": sum(hi is not None and v > hi for v in values) / n,
                    "marginal_share": sum(m["outcome"] == "MARGINAL" for m, _ in items) / n, "cp": cp, "cpk": cpk,
                    "versions": sorted({r["plan"]["sha256"] for _, r in items})}
    return out


def grouped(recs, key):
    by = defaultdict(list)
    for r in recs:
        by[key(r)].append(r)
    return {k: tally(v) for k, v in by.items()}


# --- Store them as stations do, and report -----------------------------------

work = tempfile.mkdtemp(prefix="zav-report-")
try:
    spool = os.path.join(work, "spool")
    os.makedirs(spool)
    for r in records:
        with open(os.path.join(spool, r["id"] + ".json"), "w", encoding="utf-8") as f:
            json.dump(r, f)
    flushed = subprocess.run([MERO, "results", "--flush", "--report", work], capture_output=True, text=True)
    check("mero results --flush exit", flushed.returncode, 0)
    check("mero results --flush says", flushed.stdout.strip(), f"{len(records)} records stored, 0 already there, 0 waiting")

    page = os.path.join(work, "report.html")
    out_json = os.path.join(work, "report.json")
    out_csv = os.path.join(work, "csv")
    run = subprocess.run([MERO, "report", "--dir", work, "--html", page, "--json", out_json, "--csv", out_csv],
                         capture_output=True, text=True)
    check("mero report exit", run.returncode, 0)
    if run.returncode != 0:
        print(run.stderr)
    got = json.load(open(out_json, encoding="utf-8"))
    by_plan = {p["plan"]: p for p in got["plans"]}
    check("plans", sorted(by_plan), ["board", "cable", "solo"])
    for plan in ("board", "cable", "solo"):
        recs = [r for r in records if r["plan"]["name"] == plan]
        p = by_plan.get(plan, {})
        want = tally(recs)
        for k, v in want.items():
            check(f"{plan} {k}", p.get("all", {}).get(k), v)
        for key, outcome, fn in (("failing_steps", "FAIL", lambda r: r["first_failure"]),
                                 ("error_causes", "ERROR", error_cause)):
            check(f"{plan} {key}", [(c["what"], c["count"]) for c in p.get(key, [])],
                  [(c, n) for c, n, _ in causes(recs, outcome, fn)])
            for c, (_, _, share) in zip(p.get(key, []), causes(recs, outcome, fn)):
                check(f"{plan} {key} {c['what']} share", c["share"], share)
        want_m = measures(recs)
        got_m = {(m["step"], m["name"], m["unit"], m["min"], m["max"], m["marginal_min"], m["marginal_max"]): m
                 for m in p.get("measurements", [])}
        check(f"{plan} measurement groups", sorted(map(str, got_m)), sorted(map(str, want_m)))
        for key, w in want_m.items():
            m = got_m.get(key)
            if m is None:
                continue
            for k in ("n", "units", "mean", "sd", "least", "greatest", "below_share", "above_share", "marginal_share",
                      "cp", "cpk"):
                check(f"{plan} {key[:2]} {k}", m[k], w[k])
            check(f"{plan} {key[:2]} versions", m["plan_versions"], w["versions"])
        for name, fn in (("stations", lambda r: r["station"]), ("operators", lambda r: r["operator"]),
                         ("days", lambda r: r["started"][:10])):
            want_g = grouped(recs, fn)
            got_g = {t["key"]: t for t in p.get(name, [])}
            check(f"{plan} {name}", sorted(got_g), sorted(want_g))
            for k, w in want_g.items():
                for field in ("units", "units_passed", "first_passed", "yield", "first_pass_yield", "error"):
                    check(f"{plan} {name} {k} {field}", got_g.get(k, {}).get(field), w[field])

    # The edge cases say so in words.
    notes = {(p["plan"], m["name"]): m["note"] for p in got["plans"] for m in p["measurements"]}
    check("one value", notes.get(("solo", "v")), "one value: no standard deviation, no Cpk")
    check("all equal", notes.get(("board", "temp")), "all values equal (sigma = 0): Cpk not defined")
    check("no limits", notes.get(("board", "boot_time")), "no limits: no Cpk")
    check("limits of two plan versions", sum(1 for p in got["plans"] for m in p["measurements"] if m["name"] == "vbat"), 2)

    # CSV: the same figures, and unit text that a spreadsheet would run stays text.
    with open(os.path.join(out_csv, "plans.csv"), newline="", encoding="utf-8") as f:
        rows = {r["plan"]: r for r in csv.DictReader(f)}
    check("csv board yield", float(rows["board"]["yield"]), by_plan["board"]["all"]["yield"])
    with open(os.path.join(out_csv, "measurements.csv"), newline="", encoding="utf-8") as f:
        for r in csv.DictReader(f):
            if r["plan"] == "cable":
                check("csv cable cpk", float(r["cpk"]), by_plan["cable"]["measurements"][0]["cpk"])

    # Filters: one station and a range of days give what those records give.
    day = records[len(records) // 2]["started"][:10]
    filtered = subprocess.run([MERO, "report", "--dir", work, "--plan", "board", "--station", "bench-B", "--from", day,
                               "--to", day, "--json", out_json], capture_output=True, text=True)
    check("filtered exit", filtered.returncode, 0)
    sub = [r for r in records if r["plan"]["name"] == "board" and r["station"] == "bench-B" and r["started"][:10] == day]
    f_plan = json.load(open(out_json, encoding="utf-8"))["plans"][0]
    for k, v in tally(sub).items():
        check(f"filtered {k}", f_plan["all"].get(k), v)
    # A narrow filter reads the values of its own records only: the same figures.
    got_m = {(m["step"], m["name"], m["unit"], m["min"], m["max"], m["marginal_min"], m["marginal_max"]): m
             for m in f_plan["measurements"]}
    want_m = measures(sub)
    check("filtered measurement groups", sorted(map(str, got_m)), sorted(map(str, want_m)))
    for key, w in want_m.items():
        for k in ("n", "units", "mean", "sd", "cpk"):
            check(f"filtered {key[:2]} {k}", got_m.get(key, {}).get(k), w[k])
    unit = subprocess.run([MERO, "report", "--dir", work, "--unit", "SN0001?", "--json", out_json], capture_output=True,
                          text=True)
    check("unit pattern records", sum(p["all"]["records"] for p in json.load(open(out_json))["plans"]),
          sum(1 for r in records if re.fullmatch(r"SN0001\d", r["unit_id"])))
    check("unit pattern exit", unit.returncode, 0)
    bad = subprocess.run([MERO, "report", "--dir", work, "--from", "2026-13-01"], capture_output=True, text=True)
    check("bad date exit", bad.returncode, 2)

    # No records: a clear sentence, exit 0, a page that says so.
    empty_dir = os.path.join(work, "empty")
    os.makedirs(empty_dir)
    empty_page = os.path.join(work, "empty.html")
    none = subprocess.run([MERO, "report", "--dir", empty_dir, "--html", empty_page], capture_output=True, text=True)
    check("no records exit", none.returncode, 0)
    check("no records says", none.stdout.strip(), "No unit records match (all records): nothing to report.")
    check("no records page", "nothing to report" in open(empty_page, encoding="utf-8").read(), True)

    # --- The page in a real browser -------------------------------------------
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        failures.append("chromium is not installed (scripts/deps installs it)")
    else:
        profile = os.path.join(work, "profile")
        flags = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-extensions",
                 "--disable-background-networking", f"--user-data-dir={profile}"]
        dom = subprocess.run(flags + ["--dump-dom", "file://" + page], capture_output=True, text=True, timeout=120)
        check("chromium exit", dom.returncode, 0)
        html = dom.stdout
        sections = re.split(r'<section class="plan" data-plan="', html)[1:]
        check("sections in the DOM", len(sections), 3)
        for sec in sections:
            plan = sec.split('"', 1)[0]
            figures = dict(re.findall(r'data-figure="([a-z-]+)" data-value="([^"]+)"', sec))
            want = tally([r for r in records if r["plan"]["name"] == plan])
            for name, key in (("units", "units"), ("yield", "yield"), ("first-pass-yield", "first_pass_yield"),
                              ("fail", "fail"), ("error", "error"), ("retests", "retests")):
                check(f"DOM {plan} {name}", float(figures.get(name, "nan")), float(want[key]))
            check(f"DOM {plan} charts", sec.count("<svg") >= 2, True)
        # The unit id is text on the page, never markup: no element came of it.
        check("no script element", "<script" in html, False)
        check("unit id shown as written", "&lt;script&gt;alert(1)&lt;/script&gt;" in html, True)
        check("operator shown as written", "&lt;b&gt;eve&lt;/b&gt;" in html, True)
        shot = SCREENSHOT or os.path.join(work, "report.png")
        subprocess.run(flags + ["--hide-scrollbars", "--window-size=900,2400", f"--screenshot={shot}", "file://" + page],
                       capture_output=True, timeout=120)
        with open(shot, "rb") as f:
            check("screenshot is a PNG", f.read(8), b"\x89PNG\r\n\x1a\n")
finally:
    if KEEP:
        print("records kept in", work)
    else:
        shutil.rmtree(work, ignore_errors=True)

for line in failures[:40]:
    print("FAIL", line)
print(f"{len(records)} records; {len(failures)} figures wrong")
sys.exit(1 if failures else 0)
