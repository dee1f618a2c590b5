#!/usr/bin/env python3
"""Writes the small starting corpus of the fuzz targets into fuzz/corpus/.

directory: six u32 (dir_size, rev_clu, channel, range start, range end, first
index of a walk), then directory records of 32 bytes.
sector0: the bytes of a first sector; its first eight bytes are also a drive
length in sectors.
options: korvath-cli's arguments, one a line.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
T0 = 0x40CA81C9  # 2016-03-05 08:07:09
T1 = 0x40CA8EFB  # 2016-03-05 08:59:59


def record(flag=2, count=0, nxt=0, start=T0, end=T1, chain=7, channel=0):
    return struct.pack('<BBHIIIIIII', 0x5A, flag, count, 0, nxt, start, end, 0, chain, channel << 26)


def directory(dir_size, rev_clu, channel, start, end, walk, records, sectors=1):
    body = bytearray(512 * sectors)
    for index, rec in records.items():
        body[index * 32:index * 32 + 32] = rec
    return struct.pack('<6I', dir_size, rev_clu, channel, start, end, walk) + bytes(body)


def sector(changes):
    s = bytearray(512)
    for at, value in changes.items():
        s[at:at + len(value)] = value
    return bytes(s)


def args(*words):
    return '\n'.join(words).encode()


CORPUS = {
    'directory': {
        # a chain of three clusters
        'chain3': directory(1, 0, 0, 0, 0xFFFFFFFF, 0, {
            0: record(count=2, nxt=3), 3: record(flag=1, nxt=5), 5: record(flag=1)}),
        # a count of 65,535 on a two-record cycle
        'cycle': directory(1, 0, 0, T0, T1, 2, {
            2: record(flag=3, count=65535, nxt=4), 4: record(flag=1, nxt=2)}),
        # a link beyond the directory's last record
        'outside': directory(1, 0, 0, T0, T0, 1, {1: record(count=3, nxt=100)}),
        # two channels, a reserved record, equal names, a foreign chain
        'channels': directory(2, 2, 1, T0, T1, 6, {
            1: record(channel=1), 2: record(channel=1, count=1, nxt=9), 6: record(channel=1, count=4, nxt=7),
            7: record(flag=1, chain=8, nxt=8), 8: record(flag=2, channel=0), 20: record(channel=1, start=T1)},
            sectors=2),
        # a directory longer than the bytes present
        'short': directory(3072, 64, 0, 0, 0xFFFFFFFF, 70, {0: record(count=1, nxt=70)}),
        'empty': struct.pack('<6I', 0, 0, 0, 0, 0, 0),
    },
    'sector0': {
        'recorder': sector({0: b'WFS', 510: b'XM'}),
        'mbr63': sector({446: b'\x80', 450: b'\x83', 454: struct.pack('<I', 63), 510: b'\x55\xaa'}),
        'mbr2048': sector({454: struct.pack('<I', 2048), 510: b'\x55\xaa'}),
        'mbrhigh': sector({454: struct.pack('<I', 0x80000000), 510: b'\x55\xaa'}),
        'short': b'WFS',
        # drive lengths in the first eight bytes: 500 GB, 4 TiB, 2^44 sectors
        'len500g': struct.pack('<Q', 976773168),
        'len4t': struct.pack('<Q', 1 << 33) + bytes(504),
        'len8p': struct.pack('<Q', (1 << 44) - 1),
    },
    'options': {
        'disks': args('disks'),
        'list': args('list', 'disk.img', '--channel', '3', '--from', '2024-03-01 00:00:00', '--to',
                     '2024-03-01T23:59:59', '--json'),
        'export': args('export', '/dev/sdb', '--out', '.', '--name', 'a.h264', '--name', 'b.h264', '--sha256',
                       '--verbose'),
        'equals': args('list', './12', '--channel=64', '--from=2024-02-29 12:00:00', '--to=2063-12-31 23:59:59'),
        'reversed': args('list', '0', '--from', '2063-12-31 23:59:59', '--to', '2000-01-01 00:00:00'),
        'outside': args('list', 'img', '--to', '2064-01-01 00:00:00', '--channel', '0'),
        'misplaced': args('list', 'img', '--out', 'x', '--', '-x'),
        'unknown': args('frobnicate', 'x', 'y'),
    },
}

for target, files in CORPUS.items():
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(folder, name), 'wb') as f:
            f.write(data)
