#!/usr/bin/python3
"""Lists every test that skipped in a run of scripts/test.sh, with its reason.

Reads the GoogleTest XML reports (GTEST_OUTPUT) under the log folder and the
TAP lines of the browser tests' logs. Under CI=true a skip fails the run unless
tests/ci/known-skips names it: a skip there is a missing install step, not a
test that may be ignored.
Usage: scripts/skips.py LOG_FOLDER
"""
import glob
import os
import re
import sys
import xml.etree.ElementTree as ET

here = os.path.dirname(os.path.abspath(__file__))
logs = sys.argv[1]
skips = []
for report in sorted(glob.glob(os.path.join(logs, "**", "*.xml"), recursive=True)):
    build = os.path.basename(os.path.dirname(report))
    try:
        root = ET.parse(report).getroot()
    except ET.ParseError as error:
        skips.append(f"{build}/{os.path.basename(report)}: unreadable report ({error})")
        continue
    for case in root.iter("testcase"):
        if case.get("result") != "skipped" and case.find("skipped") is None:
            continue
        reason = case.find("skipped")
        why = (reason.get("message") if reason is not None else "") or ""
        why = " ".join(why.split())
        skips.append(f"{build}/{case.get('classname')}.{case.get('name')}: {why}")
for log in sorted(glob.glob(os.path.join(logs, "*.log"))):
    with open(log, errors="replace") as text:
        for line in text:
            found = re.match(r"^\s*ok \d+ - (.*) # SKIP ?(.*)$", line) or re.match(r"^(\S+): SKIPPED: (.*)$", line)
            if found:
                skips.append(f"{os.path.basename(log)[:-4]}/{found.group(1)}: {found.group(2).strip()}")

known = []
with open(os.path.join(here, "..", "tests", "ci", "known-skips")) as listing:
    for line in listing:
        line = line.split("#", 1)[0].rstrip()
        if line:
            known.append(re.compile(line))

unknown = [s for s in skips if not any(k.search(s) for k in known)]
print(f"== skipped: {len(skips)}" + ("" if skips else " (none)"))
for s in skips:
    print(("   " if s not in unknown else " ! ") + s)
if unknown and os.environ.get("CI") == "true":
    print(f"skips.py: {len(unknown)} skipped test(s) (marked !) name no facility this CI machine is known to lack:"
          " install what they need, or list them in tests/ci/known-skips with the reason", file=sys.stderr)
    sys.exit(1)
