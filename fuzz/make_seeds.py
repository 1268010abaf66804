#!/usr/bin/env python3
"""Writes the small seed corpora under fuzz/corpus/ (committed; rerun after a
change of an input layout). Each seed is a real frame, message, request or
file in the layout its target reads."""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ESCAPED = {0x02, 0x0A, 0x0D, 0x1B, 0x7E}


def frame(body):
    out = bytearray([0x02])
    lo, hi = len(body) & 0xFF, len(body) >> 8
    check = (~lo & 0xFF) ^ hi
    for b in [lo, hi] + list(body):
        out += bytes([0x7E, b ^ 0x20]) if b in ESCAPED else bytes([b])
    for b in body:
        check ^= b
    out += bytes([0x7E, check ^ 0x20]) if check in ESCAPED else bytes([check])
    return bytes(out)


def message(kind, code, sequence, payload):
    return struct.pack('<BHHH', kind, code, sequence, len(payload)) + payload


def deflate(data):
    c = zlib.compressobj(6, zlib.DEFLATED, 15)
    return c.compress(data) + c.flush()


def write(target, name, data):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)


version_request = message(0x10, 0, 1, b'')
version_answer = message(0x11, 0, 1, b'\x00' * 12)
escaped_request = bytes.fromhex('10 01 00 7E 00 06 00 01 02 03 04 05 06')
assert frame(version_request) == bytes.fromhex('02 07 00 10 00 00 01 00 00 00 E9')
assert frame(escaped_request) == bytes.fromhex(
    '02 7E 2D 00 10 01 00 7E 5E 00 06 00 01 7E 22 03 04 05 06 9C')

# Frame receiver. The first byte is the plan length and must be even for
# the raw mode; plans of odd length get one more read of 255.
def raw_seed(stream, plan=b''):
    if len(plan) % 2:
        plan += b'\xff'
    return bytes([len(plan)]) + stream + plan

write('frame_receiver', 'version_request', raw_seed(frame(version_request)))
write('frame_receiver', 'version_answer', raw_seed(frame(version_answer)))
write('frame_receiver', 'escaped_request', raw_seed(frame(escaped_request)))
write('frame_receiver', 'noise_then_answer', raw_seed(b'\x0d\x0a\x41' + frame(version_answer)))
write('frame_receiver', 'split_reads', raw_seed(frame(version_answer), bytes([1, 3, 0, 255])))
write('frame_receiver', 'compressed_answer', raw_seed(frame(deflate(version_answer))))
write('frame_receiver', 'two_frames_one_read',
      raw_seed(frame(version_answer) + frame(message(0x11, 20, 2, b'\x10\x00\x00\x00'))))
write('frame_receiver', 'bare_start_inside', raw_seed(frame(version_answer)[:6] + frame(version_answer)))
write('frame_receiver', 'frames_mode', b'\x01' + bytes(range(3, 200)))

# Decompression: first byte picks the room (0: 2048 bytes).
write('decompress', 'answer', b'\x00' + deflate(version_answer))
write('decompress', 'bad_adler', b'\x00' + deflate(version_answer)[:-1] + b'\x00')
write('decompress', 'over_window', b'\x01' + deflate(bytes(5000)))
write('decompress', 'between_2048_and_4096', b'\x00' + deflate(bytes(3000)))
write('decompress', 'small_room', bytes([3 + 4 * 10]) + deflate(b'0123456789abcdef'))

# Call responses: answer bytes from the front, the call's choices from the
# end (last byte: request compression; before it: the call; then its
# arguments and, per request, the answer's flags byte).
def call_seed(call, payload, arguments=b'', flags=0, compress=0):
    return payload + bytes([flags]) + arguments + bytes([call, compress])

record = {0: 12, 1: 12, 2: 24, 3: 8, 4: 80}
for call, size in record.items():
    write('call_responses', f'record_{call}', call_seed(call, bytes(range(1, size + 1)), b'\x00' * 4))
write('call_responses', 'find_first', call_seed(5, bytes(range(120)) + b'\x07\x00\x00\x00'))
write('call_responses', 'attributes_wrong_length',
      call_seed(8, b'\x20\x00\x00\x00\x00', b'\x00' * 4, flags=0x10 | 0x08, compress=1))
write('call_responses', 'get_file_time', call_seed(21, bytes(range(16))))
# Integers are taken from the end, last byte first, so they are stored
# little-endian ahead of what was taken before them.
def tail(*fields):
    """fields in the order the target takes them; returns the bytes to append."""
    out = b''
    for f in fields:
        out = f + out
    return out

# Read of 1500 bytes: two chunks (1024 and 476), each answered in full with
# the result word 1.
write('call_responses', 'read_two_chunks',
      bytes(range(256)) * 4 + bytes(476) +
      tail(b'\x00', b'\x0c', struct.pack('<H', 1500),
           b'\x00', struct.pack('<H', 1024), b'\x01',
           b'\x00', struct.pack('<H', 476), b'\x01'))
# Write of 700 bytes: one chunk, acknowledged with 700 bytes moved.
write('call_responses', 'write_one_chunk',
      struct.pack('<II', 700, 1) + tail(b'\x00', b'\x0d', struct.pack('<H', 700), b'\x00'))
write('call_responses', 'upload', bytes(64) + b'\x00' * 8 + b'\x01' + bytes([25, 0]))

# setup.ini: the file, ended by a lone backslash; then the names to write.
ini = (b'[Information]\r\nAppTitle=QMT-RPC Zentap-ommunication\r\nVersion=1.0\r\n'
       b'[Setting]\r\nComPort=0x3\r\nBaudRate=115200\r\nCompress=1\r\n'
       b'UploadPath=/home/user/kelvra/Upload/\r\nDownloadPath=/home/user/kelvra/Download/\r\n')
write('setup_ini', 'written_at_start', ini + b'\\n' + b'9600' + b'\\n' + b'\x00\x01\x00')
write('setup_ini', 'malformed', b'; comment\n[ setting ]\ncomport = abc\nBaudRate=\n[Setting\nkey\n'
      + b'\\n' + b'x' + b'\\n' + b'\x02\x02')
write('setup_ini', 'no_final_line_end', b'[Setting]\nComPort=7' + b'\\n' + b'4' + b'\\n' + b'\x00\x00')

# Names of one-key requests (the list between the direction and "#").
write('request_names', 'two_names', b'a.txt;b.txt')
write('request_names', 'subfolder', b'sub\\dir\\c.dat')
write('request_names', 'escape_attempt', b'..\\secret;/etc/passwd;ok.txt;a/../../b')
write('request_names', 'empty_pieces', b';;x;')
write('request_names', 'whole_request', b'@a.txt;b.txt#')
