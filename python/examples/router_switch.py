"""Publishes "Program", a routed source that switches to the next visible
source every 5 seconds, until Ctrl-C.

    python3 router_switch.py
"""
import itertools
import time

import qrv

with qrv.Router("Program") as router, qrv.Finder() as finder:
    try:
        for turn in itertools.count():
            choices = [s for s in finder.sources(timeout=1) if not s.name.endswith(" (Program)")]
            if choices:
                source = choices[turn % len(choices)]
                router.route(source)
                print("on program:", source)
            time.sleep(5)
    except KeyboardInterrupt:
        pass
