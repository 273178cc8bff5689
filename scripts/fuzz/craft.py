#!/usr/bin/env python3
"""Makes damaged and crafted WIM files from a valid, uncompressed one.

    craft.py SOURCE.wim OUT.wim KIND [SEED]

KIND is one of the structural crafts (self-loop, parent-loop, duplicate-name,
dot-dot, long-name) or a random damage: "flip|cut|swap" + "-" + a region
(header, table, xml, metadata, metadata-hashed). The "-hashed" variants put
the metadata resource's SHA-1 right in the resource table afterwards, so the
damage reaches wimlib's tree parser instead of its hash check.

The source must be written with --compress=none, so that the resources are
the bytes the tree parser reads. Exit status 3: the craft does not apply to
this source (for example no folder to loop).
"""
import hashlib
import random
import struct
import sys

HEADER_SIZE = 208
BLOB_ENTRY = 50
DENTRY_FIXED = 102
ATTR_DIRECTORY = 0x10
FLAG_METADATA = 0x02


def reshdr(data, at):
    size = int.from_bytes(data[at:at + 7], "little")
    flags = data[at + 7]
    offset, original = struct.unpack_from("<QQ", data, at + 8)
    return size, flags, offset, original


def table_entries(data):
    size, _, offset, _ = reshdr(data, 48)
    for at in range(offset, offset + size - BLOB_ENTRY + 1, BLOB_ENTRY):
        yield at, reshdr(data, at)


def metadata_entry(data):
    for at, (size, flags, offset, _) in table_entries(data):
        if flags & FLAG_METADATA:
            return at, offset, size
    raise SystemExit(3)


def rehash(data, entry_at, offset, size):
    data[entry_at + 30:entry_at + 50] = hashlib.sha1(data[offset:offset + size]).digest()


def align8(n):
    return (n + 7) & ~7


def dentries(meta):
    """Every dentry of the tree: (offset, parent_children_offset, attributes, name)."""
    total = struct.unpack_from("<I", meta, 0)[0]
    root = align8(total) if total else 8
    found = []
    seen = set()

    def walk_list(start, depth):
        at = start
        while at + 8 <= len(meta) and depth < 64 and at not in seen:
            seen.add(at)
            length = struct.unpack_from("<Q", meta, at)[0]
            if length < DENTRY_FIXED:
                return
            attributes = struct.unpack_from("<I", meta, at + 8)[0]
            subdir = struct.unpack_from("<Q", meta, at + 16)[0]
            extra, short, name_bytes = struct.unpack_from("<HHH", meta, at + 96)
            name = meta[at + DENTRY_FIXED:at + DENTRY_FIXED + name_bytes]
            found.append((at, start, attributes, name, subdir))
            if attributes & ATTR_DIRECTORY and subdir:
                walk_list(subdir, depth + 1)
            at += align8(length)
            for _ in range(extra):
                at += align8(struct.unpack_from("<Q", meta, at)[0])

    length = struct.unpack_from("<Q", meta, root)[0]
    subdir = struct.unpack_from("<Q", meta, root + 16)[0]
    found.append((root, None, struct.unpack_from("<I", meta, root + 8)[0], b"", subdir))
    walk_list(subdir, 1)
    return found


def structural(data, kind, rng):
    entry_at, offset, size = metadata_entry(data)
    meta = data[offset:offset + size]
    tree = dentries(meta)
    children = [d for d in tree if d[1] is not None]
    folders = [d for d in children if d[2] & ATTR_DIRECTORY]
    files = [d for d in children if not d[2] & ATTR_DIRECTORY]
    if kind == "self-loop":
        # A folder whose children are the list it stands in: it holds itself.
        if not folders:
            raise SystemExit(3)
        at, holder, *_ = rng.choice(folders)
        struct.pack_into("<Q", meta, at + 16, holder)
    elif kind == "parent-loop":
        # A folder whose children are the root's: a loop one level up.
        deep = [d for d in folders if d[1] != tree[0][4]]
        if not deep:
            raise SystemExit(3)
        at = rng.choice(deep)[0]
        struct.pack_into("<Q", meta, at + 16, tree[0][4])
    elif kind.startswith("deep-xml"):
        # "deep-xml" or "deep-xml-DEPTH"
        deep_xml(data, int(kind[9:]) if len(kind) > 8 else 100000)
        return
    elif kind in ("duplicate-name", "dot-dot", "long-name"):
        if kind == "duplicate-name":
            pairs = [(a, b) for a in children for b in children
                     if a[1] == b[1] and a[0] != b[0] and len(a[3]) == len(b[3]) and a[3] != b[3]]
            if not pairs:
                raise SystemExit(3)
            a, b = rng.choice(pairs)
            target, name = b, a[3]
        elif kind == "dot-dot":
            two = [d for d in children if len(d[3]) == 4]
            if not two:
                raise SystemExit(3)
            target, name = rng.choice(two), "..".encode("utf-16-le")
        else:
            # Same UTF-16 length, but each character takes three bytes in
            # UTF-8: past what a Linux file name can hold.
            long = [d for d in children if len(d[3]) >= 200]
            if not long:
                raise SystemExit(3)
            target = long[0]
            name = "\u4e00".encode("utf-16-le") * (len(target[3]) // 2)
        at = target[0]
        meta[at + DENTRY_FIXED:at + DENTRY_FIXED + len(name)] = name
    else:
        raise SystemExit(2)
    data[offset:offset + size] = meta
    rehash(data, entry_at, offset, size)


def deep_xml(data, depth):
    """The XML resource replaced by one nested `depth` levels deep, at the end."""
    size, flags, offset, _ = reshdr(data, 72)
    text = ("<WIM><TOTALBYTES>0</TOTALBYTES><IMAGE INDEX=\"1\">" + "<A>" * depth + "</A>" * depth
            + "<NAME>x</NAME></IMAGE></WIM>")
    xml = b"\xff\xfe" + text.encode("utf-16-le")
    at = len(data)
    data += xml
    data[72:72 + 7] = len(xml).to_bytes(7, "little")
    struct.pack_into("<QQ", data, 80, at, len(xml))


def region(data, name):
    if name == "header":
        return 0, HEADER_SIZE
    if name == "table":
        size, _, offset, _ = reshdr(data, 48)
        return offset, size
    if name == "xml":
        size, _, offset, _ = reshdr(data, 72)
        return offset, size
    _, offset, size = metadata_entry(data)
    return offset, size


def damage(data, how, where, rng):
    start, length = region(data, where.replace("-hashed", ""))
    if length <= 0 or start + length > len(data):
        raise SystemExit(3)
    if how == "flip":
        for _ in range(rng.randint(1, 8)):
            at = start + rng.randrange(length)
            if rng.random() < 0.5:
                data[at] ^= 1 << rng.randrange(8)
            else:
                data[at] = rng.choice([0, 0xff, 0x7f, 0x80, rng.randrange(256)])
    elif how == "cut":
        at = start + rng.randrange(length)
        if rng.random() < 0.5:
            del data[at:]
        else:
            del data[at:at + rng.randint(1, max(1, length // 4))]
    elif how == "swap":
        a = start + rng.randrange(length)
        b = start + rng.randrange(length)
        n = rng.randint(1, 16)
        first, second = bytes(data[a:a + n]), bytes(data[b:b + n])
        if len(first) == len(second):
            data[a:a + n], data[b:b + n] = second, first
    else:
        raise SystemExit(2)
    if where == "metadata-hashed" and how != "cut":
        entry_at, offset, size = metadata_entry(data)
        rehash(data, entry_at, offset, size)


KINDS_STRUCTURAL = ["self-loop", "parent-loop", "duplicate-name", "dot-dot", "long-name", "deep-xml"]
KINDS_DAMAGE = [how + "-" + where for how in ("flip", "cut", "swap")
                for where in ("header", "table", "xml", "metadata", "metadata-hashed")]


def make(data, kind, seed):
    """The crafted bytes; raises SystemExit(3) when the craft does not apply."""
    rng = random.Random(seed)
    data = bytearray(data)
    if "-" in kind and kind.split("-", 1)[0] in ("flip", "cut", "swap"):
        how, where = kind.split("-", 1)
        damage(data, how, where, rng)
    else:
        structural(data, kind, rng)
    return bytes(data)


def main():
    source, out, kind = sys.argv[1:4]
    seed = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    data = make(open(source, "rb").read(), kind, seed)
    with open(out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
