#!/usr/bin/env python3
"""Independent checker of DazavAV table files ("NX!2" and "NX!1" block layouts).

Reads a table file from its bytes alone and reports every inconsistency:
  - file length against the used-block count,
  - the free set (block-0 cache and the "FBMH" map chain) without duplicates,
    every free block written as a freed block,
  - every other block with a known signature, its own number and a valid
    owner ID,
  - reachability of every used block from the header structures (sub-header
    directory and overflow chain, map chain, stream sections, record
    sections); an engine's section in block 0 (the root-table layout) or in
    its own sub-header block, its blocks carrying the engine's ID,
  - stream lengths against their chains and the stream map,
  - static-record counts, bitmaps and free-slot lists (with --record-length),
  - heaps: every "NXHD" data block's slot directory (entries, lengths, free
    area, recoverable space), the "NXHM" management chain of a "Blob" or
    variable "Record" section (counts, owners, every entry equal to its data block's free
    space, every data block with at least 40 bytes free listed, no empty
    data block), the record block chain of a variable "Record" section
    (links both ways, first and last, owners, records against the count,
    forward references of 9 bytes naming moved records once each, no moved
    record without its reference, raw records of the record length), and
    the BLOB trees in the data blocks of BLOB heaps (root
    tags and sizes, link lists of 1 + 12n bytes with rising ends, children
    that exist, are data or link lists and are reached once),
  - index header blocks ("Indices", "InternalIndices", "Fulltext$Indices"
    sections) and the B*-tree of every index: node signatures, owner IDs,
    kinds and index numbers, counts within capacity, leaves at one depth,
    the leaf chain, page and key counts against the header (key order is
    left to the engine's own tests).
  - simple BLOB chains ("NXBH" blocks, found by scanning: a chain starts at
    a block no other one links to): own numbers, one owner ID per chain,
    kinds, used counts within the block, full blocks before the last, the
    BLOB length against the chain's used counts, file BLOB and link names
    within their block.

"NX!1" files (no owner IDs, a free chain of "DEAD" blocks, six sections at
fixed offsets) get the same checks over what that format holds.

Usage: check_table.py FILE [--record-length N] [--raw] [--keyless N,M] [FILE [options] ...]
       check_table.py --serve
The options after a file apply to that file. --keyless: the numbers of
indices whose nodes hold only 8-byte references.
--raw: a file whose blocks no engine formats (tests of block allocation):
only the length, the free set and the block numbers are checked.
--serve: checks on request, one interpreter for many checks: each line read
holds the arguments of one run, separated by tabs; the answer is that run's
output, a NUL byte, its exit code and a newline.
Exit status 0 when every file is consistent, 1 otherwise (problems on
stdout, each prefixed with its file name when several files are given).
"""
import struct
import sys

FREE_MAP_ID = 0x7FFFFFFF
OVERFLOW_ID = 0x7FFFFFFE
KNOWN = {b"NXSH", b"NXDH", b"NX!2", b"CHOF", b"FBMH", b"NXIH", b"NXHD", b"NXHM", b"NXBH"}
HEAP_CUTOFF = 40
BLOB_MAX_DEPTH = 8
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
        self.heap_listed = {}  # heap owner ID -> {data block: listed free space}
        self.record_heaps = set()  # heaps whose data blocks a record chain holds
        self.pad = b""  # "NX!1": blocks read with a zero owner ID
        self.keyless = set()

    def fail(self, text):
        self.problems.append(text)

    def block(self, n):
        return self.data[n * self.bytes:(n + 1) * self.bytes] + self.pad

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
        if h0[:4] == b"NX!1":
            self.run_v1()
            return
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
                elif name == "record" and size == 24:
                    self.variable_record_section(header, off)
                elif name in INDEX_SECTIONS and size == 4:
                    self.index_section(header, off, owner)
                elif name == "blob" and size == 4:
                    self.blob_section(header, off, owner)

        # Data blocks of BLOB heaps (not chained: found by signature).
        self.blob_heaps()

        if not self.raw:
            self.blob_chains()

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

    def blob_chains(self):
        """Simple BLOBs hang off record fields the checker cannot read:
        every "NXBH" block belongs to exactly one chain from a head."""
        usable, cap = self.usable, self.usable - 27
        blobs = [n for n in range(1, self.used)
                 if n not in self.reached and self.block(n)[:4] == b"NXBH"]
        linked = set()
        for n in blobs:
            nxt = u32(self.block(n), 17)
            if nxt != 0xFFFFFFFF:
                linked.add(nxt)
        for head in blobs:
            if head in linked:
                continue
            h = self.block(head)
            owner, kind, length = i32(h, usable), h[16], u32(h, 21)
            if kind == 1:
                n = u16(h, 27)
                if 29 + n > usable or length != n + 1 or u32(h, 17) != 0xFFFFFFFF:
                    self.fail("file BLOB %d: name of %d bytes, length %d" % (head, n, length))
                self.reach(head, "file BLOB")
                continue
            if kind == 2:
                n = u32(h, 27)
                if 39 + n > usable or length != n + 12 or u32(h, 17) != 0xFFFFFFFF:
                    self.fail("BLOB link %d: name of %d bytes, length %d" % (head, n, length))
                self.reach(head, "BLOB link")
                continue
            if kind != 0:
                self.fail("BLOB %d has kind %d" % (head, kind))
            chain, n, steps = [], head, 0
            while True:
                steps += 1
                if steps > self.used or not self.valid(n):
                    self.fail("BLOB %d chain broken at %d" % (head, n))
                    break
                b = self.block(n)
                if b[:4] != b"NXBH" or u32(b, 4) != n or i32(b, usable) != owner:
                    self.fail("BLOB %d: block %d is not one of its blocks" % (head, n))
                    break
                if not self.reach(n, "BLOB %d" % head):
                    break
                if u16(b, 25) > cap:
                    self.fail("BLOB %d: block %d uses %d bytes" % (head, n, u16(b, 25)))
                chain.append(u16(b, 25))
                n = u32(b, 17)
                if n == 0xFFFFFFFF:
                    break
            if length == 0:
                if len(chain) != 1:
                    self.fail("empty BLOB %d has %d blocks" % (head, len(chain)))
            elif sum(chain) != length or any(u != cap for u in chain[:-1]) or (chain and chain[-1] == 0):
                self.fail("BLOB %d of %d bytes: used counts %s" % (head, length, chain))
    # Version 1 sections at fixed offsets in block 0.
    V1_STREAM, V1_RECORD, V1_INDICES = 512, 1024, 1536

    def run_v1(self):
        """A "NX!1" file: no owner IDs (blocks read as owned by 0), usable
        size = block size, free blocks chained through offset 16 of "DEAD"
        blocks, the engines' sections at fixed offsets of block 0."""
        data = self.data
        code = data[16]
        if code > 4:
            self.fail("block size code %d" % code)
            return
        self.bytes = 4096 << code
        self.pad = b"\0\0\0\0"
        h0 = data[:self.bytes]
        self.usable = u32(h0, 20)
        # An encryption engine (named at 40) reserves bytes of every block.
        if self.usable > self.bytes or (h0[40] == 0 and self.usable != self.bytes):
            self.fail("usable size %d for %d-byte blocks of a version 1 file" % (self.usable, self.bytes))
            return
        self.used = u32(h0, 32)
        if len(data) % self.bytes:
            self.fail("file length %d is not a multiple of the block size" % len(data))
        if len(data) < self.used * self.bytes:
            self.fail("file holds %d blocks but %d are used" % (len(data) // self.bytes, self.used))
            return
        count, n, chain = u32(h0, 28), i32(h0, 24), []
        while n != -1:
            if len(chain) >= self.used or not self.valid(n) or n in self.reached:
                self.fail("free chain broken at %d" % n)
                break
            b = self.block(n)
            if b[:4] != b"DEAD" or u32(b, 4) != n:
                self.fail("free block %d is not a freed block" % n)
                break
            chain.append(n)
            self.reach(n, "free")
            n = i32(b, 16)
        if len(chain) != count:
            self.fail("free count %d, the chain holds %d" % (count, len(chain)))
        if not self.raw:
            self.stream_section(h0, self.V1_STREAM)
            self.record_section(h0, self.V1_RECORD, 0)
            if i32(h0, self.V1_INDICES) != 0:  # a header never made leaves 0
                self.index_section(h0, self.V1_INDICES, 0)
        for n in range(1, self.used):
            b = self.block(n)
            if u32(b, 4) != n:
                self.fail("block %d carries number %d" % (n, u32(b, 4)))
            if self.raw:
                continue
            if n not in self.reached:
                self.fail("block %d (%r) is not reachable" % (n, b[:4]))
            elif b[:4] not in KNOWN and self.reached[n] != "free":
                self.fail("block %d has an unknown signature %r" % (n, b[:4]))

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

    def section_owner(self, first, owner):
        """The owner ID the blocks of a section must carry. A section in a
        sub-header block: that header's ID. A section in block 0 of a "NX!2"
        file: a root table's engines keep their sections there and mark
        their blocks with their own IDs, so the section's first block tells
        it (a reserved ID is refused by the caller's check)."""
        if owner != 0 or self.pad or not self.valid(first):
            return owner
        found = i32(self.block(first), self.usable)
        return owner if found in (FREE_MAP_ID, OVERFLOW_ID) or found < 0 else found

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
        owner = self.section_owner(first, owner)
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
        owner = self.section_owner(n, owner)
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

    # ---- Heaps ---------------------------------------------------------------

    def slotted(self, n, H):
        """The slot directory of heap data block n with segments from H:
        {slot: (offset, length)}, the free space a caller may plan on, and
        the live count; None after a reported problem."""
        b, B = self.block(n), self.usable
        where = "heap block %d" % n
        N = u16(b, B - 2)
        if 8 + 2 * N + H > B:
            self.fail("%s: directory of %d slots overlaps the header" % (where, N))
            return None
        dir_low = B - 8 - 2 * N
        head, R, live = u16(b, B - 4), u16(b, B - 6), u16(b, H - 4)
        segments, used, free_slots = {}, [], set()
        for i in range(1, N + 1):
            e = u16(b, B - 6 - 2 * i)
            kind = e & 3
            if kind == 3:
                self.fail("%s: slot %d has an invalid entry %d" % (where, i, e))
                return None
            if kind == 2:
                free_slots.add(i)
            if kind != 0:
                continue
            if e < H or e + 2 > dir_low or e + 2 + u16(b, e) > dir_low:
                self.fail("%s: slot %d at %d runs outside the segment area" % (where, i, e))
                return None
            length = u16(b, e)
            segments[i] = (e, length)
            used.append((e, (length + 5) & ~3))
        if live != len(segments):
            self.fail("%s: live count %d, directory holds %d" % (where, live, len(segments)))
        f, S = u16(b, dir_low), 0
        if f:
            S = u16(b, f) if f + 2 <= B else 0
            if f & 3 or f < H or f + 2 + S > dir_low - 2:
                self.fail("%s: free area at %d of %d bytes" % (where, f, S))
                return None
            used.append((f, S + 2))
        used.sort()
        end, holes = H, 0
        for offset, size in used:
            if offset < end:
                self.fail("%s: segments overlap at %d" % (where, offset))
                return None
            holes += offset - end
            end = offset + size
        if end <= dir_low:
            holes += (dir_low - end) & ~3
        elif end - dir_low != 2:
            self.fail("%s: last segment ends past the directory" % where)
        if holes < R:
            self.fail("%s: recoverable space %d, holes %d" % (where, R, holes))
        chain, s, steps = set(), head, 0
        while s:
            steps += 1
            if s > N or s in chain or s not in free_slots or steps > N:
                self.fail("%s: free-slot chain broken at %d" % (where, s))
                break
            chain.add(s)
            s = u16(b, B - 6 - 2 * s) >> 2
        if chain != free_slots and s == 0:
            self.fail("%s: free slots %s not all on the chain" % (where, sorted(free_slots - chain)))
        return segments, S + R - min(8, R), live

    def blob_section(self, header, off, owner):
        self.management_chain(u32(header, off))

    def management_chain(self, first):
        """The "NXHM" chain of a heap from first: the heap's ID (the owner of
        its blocks), None without management blocks; the entries go to
        heap_listed."""
        n, steps, heap = first, 0, None
        max_entries = (self.usable - 22) // 6
        while n:
            steps += 1
            if steps > self.used or not self.valid(n):
                self.fail("management chain broken at %d" % n)
                return heap
            b = self.block(n)
            block_owner = i32(b, self.usable)
            if heap is None:
                heap = block_owner
                self.heap_listed.setdefault(heap, {})
            if b[:4] != b"NXHM" or u32(b, 4) != n or block_owner != heap:
                self.fail("block %d is not a management block of heap %d" % (n, heap))
                return heap
            if not self.reach(n, "heap management"):
                return heap
            count, nxt = u16(b, 20), u32(b, 16)
            if count > max_entries:
                self.fail("management block %d counts %d entries, at most %d fit" % (n, count, max_entries))
                return heap
            if nxt == 0 and count == 0:
                self.fail("management block %d ends the chain empty" % n)
            if any(b[22 + 6 * count:22 + 6 * max_entries]):
                self.fail("management block %d has bytes beyond its entries" % n)
            for i in range(count):
                data, free = u32(b, 22 + 6 * i), u16(b, 26 + 6 * i)
                if data in self.heap_listed[heap]:
                    self.fail("data block %d listed twice" % data)
                self.heap_listed[heap][data] = free
            n = nxt
        return heap

    def listing(self, n, listed, free, live):
        """A data block against its management entry."""
        if live == 0:
            self.fail("heap data block %d holds no segment" % n)
        if n in listed and listed[n] != free:
            self.fail("data block %d listed with %d bytes free, has %d" % (n, listed[n], free))
        if n not in listed and free >= HEAP_CUTOFF and live:
            self.fail("data block %d has %d bytes free but is not listed" % (n, free))

    def variable_record_section(self, header, off):
        count, first, last, management = struct.unpack_from("<4I", header, off)
        heap = self.management_chain(management)
        blocks, n, prev, steps = [], first, 0, 0
        while n:
            steps += 1
            if steps > self.used or not self.valid(n):
                self.fail("record block chain broken at %d" % n)
                return
            b = self.block(n)
            if b[:4] != b"NXHD" or u32(b, 4) != n:
                self.fail("block %d in the record chain is not a heap data block" % n)
                return
            if heap is None:
                heap = i32(b, self.usable)
            elif i32(b, self.usable) != heap:
                self.fail("record data block %d belongs to %d, not heap %d" % (n, i32(b, self.usable), heap))
            if u32(b, 20) != prev:
                self.fail("record data block %d links back to %d, not %d" % (n, u32(b, 20), prev))
            if not self.reach(n, "record data"):
                return
            blocks.append(n)
            prev, n = n, u32(b, 16)
        if prev != last:
            self.fail("record chain ends at %d, the header names %d" % (prev, last))
        if heap is None:
            if count:
                self.fail("record count %d without data blocks" % count)
            return
        self.record_heaps.add(heap)
        listed = self.heap_listed.get(heap, {})
        for data in listed:
            if data not in blocks:
                self.fail("management entry names block %d, not a record data block" % data)
        segments = {}
        for n in blocks:
            result = self.slotted(n, 28)
            if result is None:
                continue
            slots, free, live = result
            self.listing(n, listed, free, live)
            b = self.block(n)
            for slot, (offset, length) in slots.items():
                segments[(n, slot)] = b[offset + 2:offset + 2 + length]
        records, bodies, named = 0, set(), {}
        raw_length = max(self.record_length, 9)
        for key, body in sorted(segments.items()):
            flags = body[0] if body else 0xFF
            if flags & 0xF0:
                self.fail("record segment %s has flags %d" % (key, flags))
                continue
            if flags & 4:
                if flags != 4 or len(body) != 9:
                    self.fail("forward reference %s is not 9 bytes with flag 4" % (key,))
                    continue
                ref = struct.unpack_from("<Q", body, 1)[0]
                target = (ref >> 32, ref & 0xFFFF)
                if target in named:
                    self.fail("moved record %s is named by %s and %s" % (target, named[target], key))
                named[target] = key
                records += 1
                continue
            if len(body) < 10:
                self.fail("record segment %s has %d bytes" % (key, len(body)))
            if flags & 2 and self.record_length and len(body) - 1 != raw_length:
                self.fail("raw record %s has %d bytes, not %d" % (key, len(body) - 1, raw_length))
            if flags & 1:
                bodies.add(key)
            else:
                records += 1
        for target, key in named.items():
            t = segments.get(target)
            if t is None or not t[0] & 1 or t[0] & 4:
                self.fail("forward reference %s names %s, not a moved record" % (key, target))
        for key in sorted(bodies - set(named)):
            self.fail("moved record %s is named by no reference" % (key,))
        if records != count:
            self.fail("record count %d, the chain holds %d" % (count, records))


    def blob_heaps(self):
        groups = {}
        for n in range(1, self.used):
            b = self.block(n)
            if b[:4] == b"NXHD" and u32(b, 4) == n and n not in self.reached:
                groups.setdefault(i32(b, self.usable), []).append(n)
        for heap, listed in self.heap_listed.items():
            if heap in self.record_heaps:
                continue
            for data in listed:
                if data not in groups.get(heap, []):
                    self.fail("management entry names block %d, not a data block of heap %d" % (data, heap))
        for heap, blocks in groups.items():
            listed = self.heap_listed.get(heap, {})
            segments = {}
            for n in blocks:
                self.reach(n, "heap data")
                result = self.slotted(n, 20)
                if result is None:
                    continue
                slots, free, live = result
                self.listing(n, listed, free, live)
                b = self.block(n)
                for slot, (offset, length) in slots.items():
                    segments[(n, slot)] = b[offset + 2:offset + 2 + length]
            self.blob_trees(segments)

    def blob_trees(self, segments):
        """Roots are the segments no link list names."""
        children = {}
        for key, body in segments.items():
            if body[:1] == b"\x05" and len(body) >= 13 and (len(body) - 1) % 12 == 0:
                for i in range((len(body) - 1) // 12):
                    ref = struct.unpack_from("<Q", body, 1 + 12 * i)[0]
                    child = (ref >> 32, ref & 0xFFFF)
                    if child in children:
                        self.fail("segment %s is named by two link lists" % (child,))
                    children[child] = key
        for key, body in segments.items():
            if key in children:
                continue
            tag = body[0] if body else 255
            size = len(body)
            ok = {0: size == 13, 3: size == 13 and 1 <= body[12] <= 11, 4: size >= 13,
                  5: size >= 13 and (size - 1) % 12 == 0, 1: size >= 13, 6: size >= 13,
                  2: size >= 9, 7: size >= 9}.get(tag, False)
            if not ok:
                self.fail("BLOB root %s with tag %d has %d bytes" % (key, tag, size))
                continue
            if tag == 5:
                self.blob_subtree(segments, key, 0, 0, set())

    def blob_subtree(self, segments, key, start, depth, seen):
        """Ends in link lists are offsets within the whole BLOB: the items of
        link list key cover start .. its last end, which is answered (None
        after a problem)."""
        if depth > BLOB_MAX_DEPTH or key in seen:
            self.fail("BLOB tree at %s loops or is too deep" % (key,))
            return None
        seen.add(key)
        body = segments[key]
        previous = start
        for i in range((len(body) - 1) // 12):
            ref, end = struct.unpack_from("<QI", body, 1 + 12 * i)
            child = (ref >> 32, ref & 0xFFFF)
            if child not in segments:
                self.fail("link list %s names a missing segment %s" % (key, child))
                return None
            c = segments[child]
            if end <= previous:
                self.fail("link list %s: ends do not rise at item %d" % (key, i))
                return None
            if c[:1] == b"\x04" and len(c) >= 2:
                if len(c) - 1 != end - previous:
                    self.fail("data segment %s holds %d bytes, its item %d" % (child, len(c) - 1, end - previous))
            elif c[:1] == b"\x05" and len(c) >= 13 and (len(c) - 1) % 12 == 0:
                below = self.blob_subtree(segments, child, previous, depth + 1, seen)
                if below is not None and below != end:
                    self.fail("link list %s ends at %d, its item at %d" % (child, below, end))
            else:
                self.fail("segment %s under a link list is neither data nor a link list" % (child,))
                return None
            previous = end
        return previous


def check_file(path, record_length, raw, keyless=frozenset()):
    """The problems of one file."""
    with open(path, "rb") as f:
        data = f.read()
    checker = Checker(data, record_length, raw)
    checker.keyless = keyless
    try:
        checker.run()
    except (struct.error, IndexError) as e:
        checker.fail("damaged beyond reading: %s" % e)
    return checker.problems


def parse_files(args):
    """[(file, record length, raw, keyless)] from FILE [--record-length N] [--raw] [--keyless N,M] ..."""
    files, i = [], 0
    while i < len(args):
        if args[i] == "--record-length" and files and i + 1 < len(args):
            files[-1][1] = int(args[i + 1])
            i += 2
            continue
        if args[i] == "--keyless" and files and i + 1 < len(args):
            files[-1][3] = {int(x) for x in args[i + 1].split(",") if x}
            i += 2
            continue
        if args[i] == "--raw" and files:
            files[-1][2] = True
        elif args[i].startswith("--"):
            raise ValueError("unknown option %s" % args[i])
        else:
            files.append([args[i], 0, False, set()])
        i += 1
    return files


def main(argv):
    try:
        files = parse_files(argv[1:])
    except ValueError as e:
        print(e)
        files = []
    if not files:
        print(__doc__)
        return 2
    bad = False
    for path, record_length, raw, keyless in files:
        problems = check_file(path, record_length, raw, keyless)
        bad = bad or bool(problems)
        for p in problems:
            print("%s: %s" % (path, p) if len(files) > 1 else p)
    return 1 if bad else 0


def serve():
    """Answers requests from stdin until it closes (see --serve above)."""
    import contextlib
    import io
    import traceback

    for line in sys.stdin:
        args = line.rstrip("\n").split("\t")
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            try:
                rc = main([sys.argv[0]] + [a for a in args if a])
            except SystemExit as e:
                rc = e.code if isinstance(e.code, int) else 1
            except Exception:  # as an uncaught error of a single run would
                traceback.print_exc(file=out)
                rc = 1
        sys.stdout.write("%s\0%d\n" % (out.getvalue(), rc))
        sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(serve() if sys.argv[1:] == ["--serve"] else main(sys.argv))
