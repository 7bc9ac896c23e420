#!/usr/bin/env python3
"""Writes the benchmark's data: a list of unique synthetic domains and an address stream in
which about half of the addresses fall under a listed domain. Deterministic (fixed seed).

usage: gen_data.py DOMAINS_OUT URLS_OUT [domain count] [url count]
"""
import random
import sys

ALPHABET = "abcdefghijklmnopqrstuvwxyz0123456789"
TLDS = ["com", "net", "org", "info", "de", "fr", "co.uk", "io", "edu", "ru"]


def label(rng):
    return rng.choice(ALPHABET[:26]) + "".join(
        rng.choice(ALPHABET) for _ in range(rng.randint(4, 11)))


def domain(rng):
    name = label(rng)
    if rng.random() < 0.2:
        name = label(rng) + "." + name
    return name + "." + rng.choice(TLDS)


def main():
    domains_out, urls_out = sys.argv[1], sys.argv[2]
    domain_count = int(sys.argv[3]) if len(sys.argv) > 3 else 1_000_000
    url_count = int(sys.argv[4]) if len(sys.argv) > 4 else 200_000
    rng = random.Random(20240601)
    listed = set()
    while len(listed) < domain_count:
        listed.add(domain(rng))
    listed_set = listed
    listed = sorted(listed_set)
    with open(domains_out, "w") as f:
        f.write("# synthetic block list for the benchmark\n")
        f.writelines(d + "\n" for d in listed)
    with open(urls_out, "w") as f:
        for _ in range(url_count):
            if rng.random() < 0.5:
                host = rng.choice(listed)
                if rng.random() < 0.5:
                    host = rng.choice(["www.", "m.", label(rng) + "."]) + host
            else:
                host = domain(rng)
                while host in listed_set:
                    host = domain(rng)
                host = "www." + host
            path = "/".join(label(rng) for _ in range(rng.randint(0, 3)))
            query = f"?id={rng.randint(1, 99999)}&q={label(rng)}" if rng.random() < 0.3 else ""
            f.write(f"http://{host}/{path}{query}\n")


if __name__ == "__main__":
    main()
