#!/usr/bin/env python3
"""Checks that every function of the runtime, the programs, the tools and the
integrations fits on a screen: at most MAX_LINES lines, comments and blank
lines included (clang-tidy's readability-function-size over a build folder's
compile_commands.json). Tests and benchmarks are left out."""
import concurrent.futures
import json
import os
import re
import subprocess
import sys

MAX_LINES = 60
CHECKED = ("runtime", "common", "senders", "discovery", "binding", "tools", "gst", "obs", "python")
CONFIG = ("{Checks: '-*,readability-function-size', CheckOptions: "
          f"[{{key: readability-function-size.LineThreshold, value: {MAX_LINES}}}]}}")
FOUND = re.compile(r"^(.*):(\d+):\d+: warning: function '([^']+)' exceeds")
SIZE = re.compile(r"note: (\d+) lines including")


def sources(build_dir, root):
    with open(os.path.join(build_dir, "compile_commands.json")) as f:
        files = {os.path.realpath(entry["file"]) for entry in json.load(f)}
    for path in sorted(files):
        rel = os.path.relpath(path, root)
        if rel.split(os.sep)[0] in CHECKED:
            yield path


def too_long(build_dir, root, path):
    # Functions in the project's own headers count as well.
    headers = f"^{re.escape(root)}/({'|'.join(CHECKED)})/"
    out = subprocess.run(["clang-tidy", "-p", build_dir, "--quiet", f"--config={CONFIG}",
                          f"--header-filter={headers}", path],
                         capture_output=True, text=True).stdout
    found = []
    name = None
    for line in out.splitlines():
        m = FOUND.match(line)
        if m:
            name = f"{os.path.relpath(m.group(1), root)}:{m.group(2)}: {m.group(3)}"
            continue
        s = SIZE.search(line)
        if s and name:
            found.append(f"{name}: {s.group(1)} lines")
            name = None
    return found


def main(build_dir):
    root = os.path.realpath(os.path.join(os.path.dirname(__file__), ".."))
    build_dir = os.path.realpath(build_dir)
    if not os.path.exists(os.path.join(build_dir, "compile_commands.json")):
        print(f"{build_dir} has no compile_commands.json", file=sys.stderr)
        return 1
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        results = pool.map(lambda p: too_long(build_dir, root, p), sources(build_dir, root))
        faults = sorted({f for found in results for f in found})
    for fault in faults:
        print(f"{fault} (more than {MAX_LINES}: split it)", file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "build"))
