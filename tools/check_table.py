#!/usr/bin/env python3
"""Independent checker of DazavAV table files ("NX!2" block layout).

Reads a table file from its bytes alone and reports every inconsistency:
  - file length against the used-block count,
  - the free set (block-0 cache and the "FBMH" map chain) without duplicates,
    every free block written as a freed block,
  - every other block with a known signature, its own number and a valid
    owner ID,
  - reachability of every used block from the header structures (sub-header
    directory and overflow chain, map chain, stream sections, record
    sections),
  - stream lengths against their chains and the stream map,
  - static-record counts, bitmaps and free-slot lists (with --record-length),
  - index header blocks ("Indices", "InternalIndices", "Fulltext$Indices"
    sections) and the B*-tree of every index: node signatures, owner IDs,
    kinds and index numbers, counts within capacity, leaves at one depth,
    the leaf chain, page and key counts against the header (key order is
    left to the engine's own tests).

Usage: check_table.py FILE [--record-length N] [--raw] [--keyless N,M]
--keyless: the numbers of indices whose nodes hold only 8-byte references.
--raw: a file whose blocks no engine formats (tests of block allocation):
only the length, the free set and the block numbers are checked.
Exit status 0 when the file is consistent, 1 otherwise (problems on stdout).
"""
import struct
import sys

FREE_MAP_ID = 0x7FFFFFFF
OVERFLOW_ID = 0x7FFFFFFE
KNOWN = {b"NXSH", b"NXDH", b"NX!2", b"CHOF", b"FBMH", b"NXIH"}
INDEX_SECTIONS = ("indices", "internalindices", "fulltext$indices")


def u16(b, o):
    return struct.unpack_from("<H", b, o)[0]


def u32(b, o):
    return struct.unpack_from("<I", b, o)[0]


def i32(b, o):
    return struct.unpack_from("<i", b, o)[0]


class Checker:
    def __init__(self, data, record_length, raw=False):
        self.data = data
        self.raw = raw
        self.problems = []
        self.record_length = record_length
        self.reached = {}
        self.keyless = set()

    def fail(self, text):
        self.problems.append(text)

    def block(self, n):
        return self.data[n * self.bytes:(n + 1) * self.bytes]

    def valid(self, n):
        return 0 < n < self.used

    def reach(self, n, what):
        if n in self.reached:
            self.fail("block %d reached as %s and as %s" % (n, what, self.reached[n]))
            return False
        self.reached[n] = what
        return True

    def sections(self, header, top):
        """The directory of a v2 header block: name -> (offset, size)."""
        result = {}
        pos, running = 258, top
        while True:
            if pos >= running:
                self.fail("section directory runs into the sections")
                return result
            length = header[pos]
            if length == 0:
                return result
            name = header[pos + 1:pos + 1 + length].decode("latin-1").lower()
            offset = u16(header, pos + 1 + length)
            if offset > running or offset <= pos + 3 + length:
                self.fail("section %s has a bad offset %d" % (name, offset))
                return result
            result[name] = (offset, running - offset)
            running = offset
            pos += 3 + length

    def run(self):
        data = self.data
        if len(data) < 4096:
            self.fail("file shorter than one block")
            return
        h0 = data[:4096]
        if h0[:4] != b"NX!2":
            self.fail("block 0 signature %r" % h0[:4])
            return
        code = h0[16]
        if code > 4:
            self.fail("block size code %d" % code)
            return
        self.bytes = 4096 << code
        h0 = data[:self.bytes]
        enc = u16(h0, 17)
        self.usable = u32(h0, 20)
        if enc == 0 and h0[40] == 0 and self.usable != self.bytes - 4:
            self.fail("usable size %d for %d-byte blocks" % (self.usable, self.bytes))
            return
        self.used = u32(h0, 32)
        if len(data) % self.bytes:
            self.fail("file length %d is not a multiple of the block size" % len(data))
        if len(data) < self.used * self.bytes:
            self.fail("file holds %d blocks but %d are used" % (len(data) // self.bytes, self.used))
            return
        usable = self.usable

        # Free set: the cache and the map chain.
        free = []
        count = u32(h0, 28)
        if count > 20:
            self.fail("free cache count %d" % count)
            count = 0
        free += [u32(h0, 104 + 4 * i) for i in range(count)]
        m = i32(h0, 24)
        steps = 0
        while m != -1:
            steps += 1
            if steps > self.used or not self.valid(m):
                self.fail("free map chain broken at %d" % m)
                break
            b = self.block(m)
            if b[:4] != b"FBMH" or u32(b, 4) != m or i32(b, usable) != FREE_MAP_ID:
                self.fail("block %d is not a map block" % m)
                break
            capacity, n = u32(b, 20), u32(b, 24)
            if capacity != (usable - 28) // 4 or n > capacity:
                self.fail("map block %d capacity %d count %d" % (m, capacity, n))
                break
            self.reach(m, "free map")
            free += [u32(b, 28 + 4 * i) for i in range(n)]
            m = i32(b, 16)
        if len(set(free)) != len(free):
            self.fail("free set has duplicates")
        for n in free:
            if not self.valid(n):
                self.fail("free block %d out of range" % n)
                continue
            b = self.block(n)
            if b[:4] != b"DEAD" or u32(b, 4) != n or i32(b, usable) != 0:
                self.fail("free block %d is not a freed block" % n)
            self.reach(n, "free")

        # Sub-header directory.
        top0 = u16(h0, 256)
        secs0 = self.sections(h0, top0)
        headers = {0: h0}
        if "subheaders" in secs0:
            off, size = secs0["subheaders"]
            if size != 253:
                self.fail("SubHeaders section of %d bytes" % size)
            else:
                entries = []
                c = h0[off + 252]
                if c > 31:
                    self.fail("SubHeaders count %d" % c)
                    c = 0
                entries += [(i32(h0, off + 8 * i), u32(h0, off + 8 * i + 4)) for i in range(c)]
                o = u32(h0, off + 248)
                steps = 0
                while o != 0:
                    steps += 1
                    if steps > self.used or not self.valid(o):
                        self.fail("overflow chain broken at %d" % o)
                        break
                    b = self.block(o)
                    if b[:4] != b"CHOF" or u32(b, 4) != o or i32(b, usable) != OVERFLOW_ID:
                        self.fail("block %d is not an overflow block" % o)
                        break
                    self.reach(o, "sub-header overflow")
                    capacity, n = u16(b, 20), u16(b, 22)
                    if capacity != (usable - 24) // 8 or n > capacity or n == 0:
                        self.fail("overflow block %d capacity %d count %d" % (o, capacity, n))
                        break
                    entries += [(i32(b, 24 + 8 * i), u32(b, 28 + 8 * i)) for i in range(n)]
                    o = u32(b, 16)
                ids = [e[0] for e in entries]
                if ids != sorted(ids) or len(set(ids)) != len(ids):
                    self.fail("sub-header IDs not ascending and unique")
                for owner, n in entries:
                    if not self.valid(n):
                        self.fail("sub-header of %d out of range" % owner)
                        continue
                    b = self.block(n)
                    if b[:4] != b"NX!2" or u32(b, 4) != n or i32(b, usable) != owner:
                        self.fail("block %d is not the sub-header of %d" % (n, owner))
                        continue
                    self.reach(n, "sub-header %d" % owner)
                    headers[n] = b

        # Sections of every header block.
        for number, header in headers.items():
            owner = 0 if number == 0 else i32(header, usable)
            top = top0 if number == 0 else u16(header, 256)
            for name, (off, size) in self.sections(header, top).items():
                if name == "stream" and size == 8:
                    self.stream_section(header, off)
                elif name == "record" and size == 20:
                    self.record_section(header, off, owner)
                elif name in INDEX_SECTIONS and size == 4:
                    self.index_section(header, off, owner)

        # Every used block is reached exactly once.
        for n in range(1, self.used):
            b = self.block(n)
            if u32(b, 4) != n:
                self.fail("block %d carries number %d" % (n, u32(b, 4)))
            if self.raw:
                continue
            if n not in self.reached:
                if b[:4] not in KNOWN and b[:4] != b"DEAD":
                    self.fail("block %d has an unknown signature %r" % (n, b[:4]))
                self.fail("block %d (%r) is not reachable" % (n, b[:4]))
            elif b[:4] not in KNOWN and self.reached[n] != "free":
                self.fail("block %d has an unknown signature %r" % (n, b[:4]))
            owner = i32(b, usable)
            if owner < 0:
                self.fail("block %d has owner ID %d" % (n, owner))

    def chain(self, first, what):
        """The blocks of a stream chain and its bytes."""
        blocks, steps, n = [], 0, first
        while True:
            steps += 1
            if steps > self.used or not self.valid(n):
                self.fail("%s chain broken at %d" % (what, n))
                return None
            b = self.block(n)
            if b[:4] != b"NXSH" or u32(b, 4) != n or u32(b, 28) != first:
                self.fail("%s block %d is not a stream block of %d" % (what, n, first))
                return None
            if blocks and u32(b, 24) != 0:
                self.fail("%s block %d carries a length" % (what, n))
            blocks.append(n)
            nxt = i32(b, 16)
            if nxt == -1:
                break
            n = nxt
        per = self.usable - 32
        length = u32(self.block(first), 24)
        if max(1, -(-length // per)) != len(blocks):
            self.fail("%s stream of %d bytes has %d blocks" % (what, length, len(blocks)))
            return None
        for n in blocks:
            self.reach(n, what)
        return b"".join(self.block(n)[32:32 + per] for n in blocks)[:length]

    def stream_section(self, header, off):
        d = u32(header, off)
        if d:
            self.chain(d, "DICT")
        m = u32(header, off + 4)
        if not m:
            return
        body = self.chain(m, "SMAP")
        if body is None:
            return
        if len(body) < 4:
            self.fail("stream map too short")
            return
        count, pos, names = u32(body, 0), 4, []
        for _ in range(count):
            if pos >= len(body) or pos + 1 + body[pos] + 4 > len(body):
                self.fail("stream map entry beyond the stream")
                return
            length = body[pos]
            names.append(body[pos + 1:pos + 1 + length].decode("latin-1"))
            first = u32(body, pos + 1 + length)
            self.chain(first, "stream " + names[-1])
            pos += 1 + length + 4
        if [n.lower() for n in names] != sorted(n.lower() for n in names):
            self.fail("stream map names not sorted")

    def record_section(self, header, off, owner):
        count, first, last, free_slots, free_list = struct.unpack_from("<5I", header, off)
        if (free_slots == 0) != (free_list == 0):
            self.fail("free-slot count %d with list head %d" % (free_slots, free_list))
        L = self.record_length
        geometry = None
        if L:
            recs = (self.usable - 32) * 8 // (8 * L + 1)
            bitmap = (recs + 7) // 8
            slot = (self.usable - bitmap - 32) // recs
            for bit in range(16):
                if slot & ~(1 << bit) < L:
                    break
                slot &= ~(1 << bit)
            geometry = (recs, slot, self.usable - slot * recs)
        n, prev, steps, total, with_free = first, 0, 0, 0, set()
        while n != 0:
            steps += 1
            if steps > self.used or not self.valid(n):
                self.fail("data chain broken at %d" % n)
                return
            b = self.block(n)
            if b[:4] != b"NXDH" or u32(b, 4) != n or i32(b, self.usable) != owner:
                self.fail("block %d is not a data block of %d" % (n, owner))
                return
            self.reach(n, "data")
            if u32(b, 20) != prev:
                self.fail("data block %d has previous %d, expected %d" % (n, u32(b, 20), prev))
            in_use = u16(b, 30)
            total += in_use
            if geometry:
                recs, slot, first_offset = geometry
                bits = sum(bin(x).count("1") for x in b[32:32 + (recs + 7) // 8])
                if bits != in_use:
                    self.fail("data block %d counts %d records, bitmap %d" % (n, in_use, bits))
                free_chain, s, seen = 0, u16(b, 28), set()
                while s != 0:
                    if s > recs or s in seen or (b[32 + (s - 1) // 8] >> ((s - 1) % 8)) & 1:
                        self.fail("data block %d free-slot chain broken at %d" % (n, s))
                        break
                    seen.add(s)
                    free_chain += 1
                    s = u16(b, first_offset + (s - 1) * slot)
                if free_chain + in_use != recs:
                    self.fail("data block %d: %d free + %d used != %d" % (n, free_chain, in_use, recs))
                if free_chain:
                    with_free.add(n)
            prev, n = n, u32(b, 16)
        if prev != last:
            self.fail("last data block %d, chain ends at %d" % (last, prev))
        if total != count:
            self.fail("record count %d, blocks hold %d" % (count, total))
        listed, n, steps, slots = set(), free_list, 0, 0
        while n != 0:
            steps += 1
            if steps > self.used or not self.valid(n) or n in listed:
                self.fail("free-slot list broken at %d" % n)
                return
            listed.add(n)
            b = self.block(n)
            if geometry:
                slots += geometry[0] - u16(b, 30)
            n = u32(b, 24)
        if geometry:
            if listed != with_free:
                self.fail("free-slot list %s, blocks with free slots %s" % (sorted(listed), sorted(with_free)))
            if slots != free_slots:
                self.fail("free-slot count %d, list holds %d" % (free_slots, slots))


    def index_section(self, header, off, owner):
        n = i32(header, off)
        if n == -1:
            return
        if not self.valid(n):
            self.fail("index header block %d out of range" % n)
            return
        b = self.block(n)
        if b[:4] != b"NXIH" or u32(b, 4) != n or b[36] != 0 or i32(b, self.usable) != owner:
            self.fail("block %d is not the index header of %d" % (n, owner))
            return
        self.reach(n, "index header")
        for i in range(256):
            key_length = u16(b, 40 + 2 * i)
            keys, root, pages = u32(b, 552 + 4 * i), i32(b, 1576 + 4 * i), u32(b, 2600 + 4 * i)
            if root == -1:
                if keys or pages:
                    self.fail("empty index %d with %d keys and %d pages" % (i, keys, pages))
                continue
            if key_length == 0:
                self.fail("index %d has a root but no key length" % i)
                continue
            self.index_tree(i, key_length, root, keys, pages)

    def index_tree(self, index, key_length, root, keys, pages):
        """Separators carry the RefNr only with duplicates, which the file
        does not record: walk with both pair sizes and keep the consistent
        walk. Keyless indices (named with --keyless) hold 8-byte references
        in leaves and separators."""
        if index in self.keyless:
            problems, reached = [], {}
            self.walk_index(index, 0, 8, root, keys, pages, 12, problems, reached, leaf_pairs=[8])
            self.problems += problems
            for n, what in reached.items():
                self.reach(n, what)
            return
        L = (key_length + 3) & ~3 if key_length > 32 else key_length
        trials = []
        for pair in (L + 4, L + 12):
            problems, reached = [], {}
            self.walk_index(index, L, key_length, root, keys, pages, pair, problems, reached)
            trials.append((len(problems), problems, reached))
            if not problems:
                break
        _, problems, reached = min(trials, key=lambda t: t[0])
        self.problems += problems
        for n, what in reached.items():
            self.reach(n, what)

    def walk_index(self, index, L, key_length, root, keys, pages, pair, problems, reached, leaf_pairs=None):
        usable = self.usable
        fail = problems.append
        if not self.valid(root):
            fail("index %d root %d out of range" % (index, root))
            return
        owner = i32(self.block(root), usable)

        def node_ok(n):
            if not self.valid(n):
                return False
            b = self.block(n)
            return b[:4] == b"NXIH" and u32(b, 4) == n and b[36] in (1, 2) and i32(b, usable) == owner

        if leaf_pairs is None:
            leaf_pairs = [L + 8] + ([L] if key_length == 8 else [])
        nodes, entries, leaves, depths = 0, 0, [], set()
        stack = [(root, 0)]
        while stack:
            n, depth = stack.pop()
            nodes += 1
            if nodes > pages or depth > pages:
                fail("index %d has more nodes or levels than its %d pages" % (index, pages))
                return
            if not node_ok(n):
                fail("index %d: block %d is not one of its nodes" % (index, n))
                return
            if n in reached or n in self.reached:
                fail("index %d: node %d reached twice" % (index, n))
                return
            reached[n] = "index %d node" % index
            b = self.block(n)
            if b[37] != index & 0xFF:
                fail("index %d: node %d carries index number %d" % (index, n, b[37]))
            first, count = u16(b, 32), u16(b, 34)
            if b[36] == 2:
                if not any(first + count <= (usable - 40) // p for p in leaf_pairs):
                    fail("index %d: leaf %d holds slots %d+%d beyond its capacity" % (index, n, first, count))
                if count == 0:
                    fail("index %d: leaf %d is empty" % (index, n))
                entries += count
                leaves.append(n)
                depths.add(depth)
                continue
            if first != 0 or count == 0 or count > (usable - 44) // pair:
                fail("index %d: internal node %d first %d count %d" % (index, n, first, count))
                return
            # Children in reverse so that leaves come off the stack in order.
            for i in range(count, -1, -1):
                stack.append((u32(b, 40 + i * pair), depth + 1))
        if len(depths) > 1:
            fail("index %d has leaves at depths %s" % (index, sorted(depths)))
        if nodes != pages:
            fail("index %d has %d nodes, header says %d pages" % (index, nodes, pages))
        if entries != keys:
            fail("index %d holds %d entries, header says %d keys" % (index, entries, keys))
        for i, n in enumerate(leaves):
            b = self.block(n)
            prev, nxt = u32(b, 24), u32(b, 28)
            if prev != (leaves[i - 1] if i else 0xFFFFFFFF) or nxt != (leaves[i + 1] if i + 1 < len(leaves) else 0xFFFFFFFF):
                fail("index %d: leaf %d links %d/%d out of chain order" % (index, n, prev, nxt))


def main(argv):
    if len(argv) < 2:
        print(__doc__)
        return 2
    record_length = 0
    if "--record-length" in argv:
        record_length = int(argv[argv.index("--record-length") + 1])
    with open(argv[1], "rb") as f:
        data = f.read()
    checker = Checker(data, record_length, "--raw" in argv)
    if "--keyless" in argv:
        checker.keyless = {int(x) for x in argv[argv.index("--keyless") + 1].split(",") if x}
    try:
        checker.run()
    except (struct.error, IndexError) as e:
        checker.fail("damaged beyond reading: %s" % e)
    for p in checker.problems:
        print(p)
    return 1 if checker.problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
