"""The same measurement as bench_discovery with python3-zeroconf on
loopback: register an instance, time until a browser of the same process
reports it, unregister, time until the browser reports it removed. Prints
one line "ROUND appear_ms remove_ms" per round."""
import socket
import sys
import threading
import time

from zeroconf import ServiceBrowser, ServiceInfo, ServiceStateChange, Zeroconf

TYPE = "_qrvbench._tcp.local."


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    zc = Zeroconf(interfaces=["127.0.0.1"])
    events = {}
    cond = threading.Condition()

    def changed(zeroconf, service_type, name, state_change):
        with cond:
            events[(name, state_change)] = time.monotonic()
            cond.notify_all()

    ServiceBrowser(zc, TYPE, handlers=[changed])

    def wait(key, limit=20.0):
        end = time.monotonic() + limit
        with cond:
            while key not in events and time.monotonic() < end:
                cond.wait(0.05)
            return events.get(key)

    for i in range(rounds):
        name = "zc bench %d %d.%s" % (id(zc) % 100000, i, TYPE)
        info = ServiceInfo(TYPE, name, addresses=[socket.inet_aton("127.0.0.1")], port=4000 + i,
                           server="zc-bench.local.")
        t0 = time.monotonic()
        zc.register_service(info)
        t1 = wait((name, ServiceStateChange.Added))
        t2 = time.monotonic()
        zc.unregister_service(info)
        t3 = wait((name, ServiceStateChange.Removed))
        if t1 is None or t3 is None:
            print("ROUND -1 -1", flush=True)
            continue
        print("ROUND %.1f %.1f" % ((t1 - t0) * 1000, (t3 - t2) * 1000), flush=True)
    zc.close()


if __name__ == "__main__":
    main()
