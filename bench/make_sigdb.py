#!/usr/bin/env python3
"""make_sigdb.py - a signature database of production size for the benches.

Sites run ClamAV's full public database (millions of signatures, most of a
gigabyte once compiled); it cannot be downloaded on the build machines, so
the benches measure against a synthetic database of the same order, made
here the same on every machine (seeded):

  bench.hdb   HASHES hash signatures "md5:size:Name" (ClamAV's most
              numerous kind: whole-file MD5 hashes of known samples)
  bench.ndb   BODIES body signatures "Name:0:*:hex": plain byte strings of
              16 to 48 bytes, one in WILD_EVERY with wildcards ("??" one
              byte, "{n-m}" a gap, "*" any gap, "(aa|bb)" alternatives) as
              real body signatures have them
  bench.ldb   LOGICAL logical signatures "Name;Target:0;0&1;sub0;sub1" of
              two body sub-signatures each

The bytes are random, so no signature matches a real mail (the chance that a
16-byte string of random bytes occurs in a mail is nil); every scan still
pays the full cost of the matchers over every byte, as with the real
database. Load and memory are of the same order: for 3,000,000 / 150,000 /
20,000 (the defaults) clamscan loads it in about 6 s into about 780 MB.

  bench/make_sigdb.py OUT_DIR [--hashes N] [--bodies N] [--logical N]
                      [--wild-every N] [--seed N]
"""
import argparse
import os
import random
import sys


def hexbytes(rng, n):
    return rng.randbytes(n).hex()


def body_signature(rng, wild):
    """Hex of a body signature; with `wild`, one or two wildcards inside."""
    if not wild:
        return hexbytes(rng, rng.randint(16, 48))
    parts = [hexbytes(rng, rng.randint(6, 16))]
    for _ in range(rng.randint(1, 2)):
        kind = rng.randrange(4)
        if kind == 0:
            parts.append("??")
        elif kind == 1:
            lo = rng.randint(0, 8)
            parts.append("{%d-%d}" % (lo, lo + rng.randint(1, 16)))
        elif kind == 2:
            parts.append("*")
        else:
            parts.append("(%s|%s)" % (hexbytes(rng, 2), hexbytes(rng, 2)))
        parts.append(hexbytes(rng, rng.randint(6, 16)))
    return "".join(parts)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out")
    ap.add_argument("--hashes", type=int, default=3_000_000)
    ap.add_argument("--bodies", type=int, default=150_000)
    ap.add_argument("--logical", type=int, default=20_000)
    ap.add_argument("--wild-every", type=int, default=10)
    ap.add_argument("--seed", type=int, default=20261207)
    args = ap.parse_args()
    rng = random.Random(args.seed)
    os.makedirs(args.out, exist_ok=True)

    with open(os.path.join(args.out, "bench.hdb"), "w") as f:
        for i in range(args.hashes):
            f.write("%s:%d:Bench.Hash.%d\n" % (hexbytes(rng, 16), rng.randint(64, 4 << 20), i))
    with open(os.path.join(args.out, "bench.ndb"), "w") as f:
        for i in range(args.bodies):
            wild = args.wild_every > 0 and i % args.wild_every == 0
            f.write("Bench.Body.%d:0:*:%s\n" % (i, body_signature(rng, wild)))
    with open(os.path.join(args.out, "bench.ldb"), "w") as f:
        for i in range(args.logical):
            f.write("Bench.Logical.%d;Target:0;0&1;%s;%s\n"
                    % (i, hexbytes(rng, rng.randint(8, 24)), hexbytes(rng, rng.randint(8, 24))))
    print("%s: %d hash, %d body, %d logical signatures"
          % (args.out, args.hashes, args.bodies, args.logical))
    return 0


if __name__ == "__main__":
    sys.exit(main())
