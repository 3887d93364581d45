"""Peers that do not hold the site key, connecting over and over to a source.

Usage: hostile_peers.py HOST PORT SECONDS

Four kinds take turns on sixteen threads: a plain TCP peer that says nothing,
one that sends garbage, a TLS 1.3 ClientHello without a pre-shared key,
and one that sends the first bytes of a ClientHello and stalls. Each
measures the time from its connection to the source closing it (a peer the
source has not closed after five seconds counts as not refused). Prints
"hostile_<kind>_count", "hostile_<kind>_max_ms" and
"hostile_<kind>_not_refused" and "hostile_<kind>_over_2s" lines, and "hostile_peers_total".
"""
import os
import socket
import ssl
import sys
import threading
import time

KINDS = ("plain", "garbage", "tls", "stall")
GIVE_UP_S = 5.0


def client_hello():
    """The first flight of a TLS 1.3 client without a pre-shared key."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.minimum_version = ssl.TLSVersion.TLSv1_3
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    conn = ctx.wrap_bio(incoming, outgoing)
    try:
        conn.do_handshake()
    except ssl.SSLWantReadError:
        pass
    return outgoing.read()


def wait_closed(sock, deadline):
    """Reads until the source closes; False when the deadline passes first."""
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        sock.settimeout(left)
        try:
            if not sock.recv(65536):
                return True
        except socket.timeout:
            return False
        except OSError:
            return True


def one_peer(kind, host, port, hello):
    """One connection of this kind; its time to refusal in ms, or None."""
    start = time.monotonic()
    deadline = start + GIVE_UP_S
    try:
        sock = socket.create_connection((host, port), timeout=GIVE_UP_S)
    except OSError:
        return None  # nothing listens: not a refusal of this peer
    with sock:
        try:
            if kind == "garbage":
                sock.sendall(os.urandom(4096))
            elif kind == "tls":
                sock.sendall(hello)
            elif kind == "stall":
                sock.sendall(hello[:60])
        except OSError:
            return (time.monotonic() - start) * 1000
        if not wait_closed(sock, deadline):
            return None
    return (time.monotonic() - start) * 1000


def main():
    host, port, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    hello = client_hello()
    until = time.monotonic() + seconds
    results = {k: [] for k in KINDS}
    lock = threading.Lock()

    def worker(first):
        i = first
        while time.monotonic() < until:
            kind = KINDS[i % len(KINDS)]
            ms = one_peer(kind, host, port, hello)
            with lock:
                results[kind].append(ms)
            i += 1

    # Four threads a kind, so that the stalling kinds, held until the
    # source gives up on them, do not slow the others down.
    threads = [threading.Thread(target=worker, args=(n,)) for n in range(4 * len(KINDS))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    total = 0
    for kind, times in results.items():
        refused = [t for t in times if t is not None]
        total += len(times)
        print(f"hostile_{kind}_count {len(times)}")
        print(f"hostile_{kind}_max_ms {max(refused) if refused else 0:.0f}")
        print(f"hostile_{kind}_not_refused {len(times) - len(refused)}")
        print(f"hostile_{kind}_over_2s {sum(1 for t in refused if t > 2000)}")
    print(f"hostile_peers_total {total}")


if __name__ == "__main__":
    main()
