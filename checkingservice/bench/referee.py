#!/usr/bin/env python3
"""Settles the lookup comparison: where pvcheck_lookup and squidGuard differ, says which one a
plain reading of the benchmark's rules supports, and checks every pvcheck_lookup answer the
same way. Exits 1 if pvcheck_lookup is wrong anywhere.

The rules are those bench.sh sets up for the stranger profile: the global forbid list, a global
allow prefix "<first listed domain>/allowed/" and a global forbid host www.exact-host.example.

usage: referee.py DOMAINS URLS SQUIDGUARD_ANSWERS PVCHECK_ANSWERS
"""
import sys
from urllib.parse import urlsplit


def main():
    domains_file, urls_file, sg_file, pv_file = sys.argv[1:]
    listed = {line.strip() for line in open(domains_file) if line.strip() and line[0] != "#"}
    first = next(line.strip() for line in open(domains_file) if line[0] != "#")

    def forbidden(url):
        parts = urlsplit(url)
        host = parts.hostname or ""
        path = parts.path or "/"
        if parts.query:
            path += "?" + parts.query
        if host == first and path.startswith("/allowed/"):
            return False
        if host == "www.exact-host.example":
            return True
        labels = host.split(".")
        return any(".".join(labels[i:]) in listed for i in range(len(labels)))

    urls = [line.rstrip("\n") for line in open(urls_file)]
    sg = [line.startswith("OK") for line in open(sg_file)]
    pv = [line.startswith("OK") for line in open(pv_file)]
    if not len(urls) == len(sg) == len(pv):
        print(f"answer counts differ: {len(urls)} addresses, squidGuard {len(sg)}, "
              f"pvcheck_lookup {len(pv)}")
        return 1
    expected = [forbidden(u) for u in urls]
    pv_wrong = [u for u, e, p in zip(urls, expected, pv) if e != p]
    differ = [(u, e, s) for u, e, s, p in zip(urls, expected, sg, pv) if s != p]
    sg_wrong = sum(1 for _, e, s in differ if e != s)
    print(f"verdicts: pvcheck_lookup and squidGuard agree on {len(urls) - len(differ)} of "
          f"{len(urls)} addresses; of the {len(differ)} that differ the plain reference sides "
          f"with pvcheck_lookup on {sg_wrong}; pvcheck_lookup wrong on {len(pv_wrong)}")
    for u, e, _ in differ[:5]:
        print(f"  {u}: reference says {'forbid' if e else 'allow'}")
    for u in pv_wrong[:5]:
        print(f"  pvcheck_lookup wrong: {u}")
    return 1 if pv_wrong else 0


if __name__ == "__main__":
    sys.exit(main())
