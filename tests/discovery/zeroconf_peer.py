"""Another mDNS implementation for the interoperability test: browses our
service type for one instance and resolves it, then registers an instance
of its own until its standard input closes.

    zeroconf_peer.py ADDRESS FIND_LABEL OWN_LABEL
"""
import socket
import sys
import threading
import time

from zeroconf import ServiceBrowser, ServiceInfo, ServiceStateChange, Zeroconf

TYPE = "_qrv._tcp.local."


def say(text):
    print(text, flush=True)


def main():
    address, wanted, own = sys.argv[1], sys.argv[2], sys.argv[3]
    zc = Zeroconf(interfaces=[address])
    seen = threading.Event()
    gone = threading.Event()

    def changed(zeroconf, service_type, name, state_change):
        if name != wanted + "." + TYPE:
            return
        if state_change is ServiceStateChange.Added:
            seen.set()
        elif state_change is ServiceStateChange.Removed:
            gone.set()

    ServiceBrowser(zc, TYPE, handlers=[changed])
    if not seen.wait(15):
        say("NOT FOUND")
        return
    info = zc.get_service_info(TYPE, wanted + "." + TYPE, 5000)
    if info is None:
        say("NOT RESOLVED")
        return
    addresses = [socket.inet_ntoa(a) for a in info.addresses if len(a) == 4]
    groups = (info.properties or {}).get(b"groups", b"").decode()
    say("FOUND port=%d address=%s groups=%s" % (info.port, ",".join(addresses), groups))

    mine = ServiceInfo(TYPE, own + "." + TYPE, addresses=[socket.inet_aton(address)], port=4242,
                       properties={"groups": "public"}, server="zc-peer.local.")
    zc.register_service(mine)
    say("REGISTERED")
    sys.stdin.read()
    zc.unregister_service(mine)
    zc.close()
    say("CLOSED")


if __name__ == "__main__":
    main()
