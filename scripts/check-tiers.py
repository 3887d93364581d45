#!/usr/bin/env python3
"""Checks that every test of a build folder carries exactly one tier label
(unit, integration or fault) and a timeout within its tier's limit."""
import json
import subprocess
import sys

LIMITS = {"unit": 60, "integration": 180, "fault": 300}


def main(build_dir):
    out = subprocess.run(["ctest", "--show-only=json-v1"], cwd=build_dir, check=True,
                         capture_output=True, text=True).stdout
    faults = []
    for test in json.loads(out)["tests"]:
        props = {p["name"]: p["value"] for p in test.get("properties", [])}
        tiers = [label for label in props.get("LABELS", []) if label in LIMITS]
        if len(tiers) != 1:
            faults.append(f"{test['name']}: tier labels {tiers or 'none'}")
            continue
        timeout = props.get("TIMEOUT")
        if timeout is None or float(timeout) > LIMITS[tiers[0]]:
            faults.append(f"{test['name']}: timeout {timeout} beyond the {tiers[0]} tier's {LIMITS[tiers[0]]} s")
    for fault in faults:
        print(fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "build"))
