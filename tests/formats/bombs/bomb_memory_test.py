#!/usr/bin/python3
"""vantorel-cli info on small files whose headers claim far more pixels than they hold.

The pager's budget is cut to 256 MB: a reserve (ReservedMemory) beyond the machine's
memory leaves nothing, and the budget is then its floor, MinMemorySize. Each run's peak resident
memory comes from wait4; the figure of a run on a 1 x 1 PNG (the program, its libraries
and the sanitizers) is taken off. A bomb must fail with its format's message, exit 1, and
stay within 64 MB of that baseline: nothing may be allocated for the claimed image. A
20000 x 20000 PNG of zeros that a 48 KB file really holds must open, its pixels in the
pager, within the budget and 64 MB.
"""
import os
import struct
import subprocess
import sys
import tempfile
import zlib

CLI = os.path.realpath(sys.argv[1])
MB = 1 << 20
BUDGET_MB = 256
SLACK = 64 * MB

SHORT = "ファイルが途中で終わっています"
FORMAT = "ファイルの形式が正しくないか"

failures = []


def fail(text):
    failures.append(text)
    print("FAIL:", text)


# A child's peak counts the memory it had before exec, which is this script's at the fork;
# a fresh small interpreter forks the tool instead and reports its peak (KB) on stdout.
MEASURE = """
import os, sys
pid = os.fork()
if pid == 0:
    os.dup2(os.open(sys.argv[1], os.O_WRONLY), 1)
    os.dup2(os.open(sys.argv[2], os.O_WRONLY), 2)
    os.execv(sys.argv[3], sys.argv[3:])
_, status, usage = os.wait4(pid, 0)
print(os.waitstatus_to_exitcode(status), usage.ru_maxrss)
"""


def run(*args, env):
    """(exit status, standard output, standard error, peak resident bytes) of one run."""
    with tempfile.NamedTemporaryFile() as out, tempfile.NamedTemporaryFile() as err:
        report = subprocess.run(["/usr/bin/python3", "-S", "-c", MEASURE, out.name, err.name, CLI,
                                 *args], stdin=subprocess.DEVNULL, capture_output=True, env=env,
                                check=True).stdout.split()
        return (int(report[0]), out.read().decode(errors="replace"),
                err.read().decode(errors="replace"), int(report[1]) * 1024)


# ---- the files


def gif(screen, image, lzw):
    w, h = screen
    data = b"GIF89a" + struct.pack("<HHBBB", w, h, 0x80, 0, 0) + b"\x00\x00\x00\xff\xff\xff"
    data += b"," + struct.pack("<HHHHB", 0, 0, image[0], image[1], 0) + b"\x02"
    return data + bytes([len(lzw)]) + lzw + b"\x00;"


def bmp(width, height, compression, body):
    palette = b"".join(bytes([i, i, i, 0]) for i in range(16))
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, compression, 0, 0, 0, 16, 0)
    offset = 14 + len(info) + len(palette)
    return b"BM" + struct.pack("<IHHI", offset + len(body), 0, 0, offset) + info + palette + body


def chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data +
            struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def png(width, height, depth, colour, idat, padding=b""):
    head = struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, 0)
    pad = chunk(b"prVt", padding) if padding else b""
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", head) + pad + chunk(b"IDAT", idat) +
            chunk(b"IEND", b""))


def zeros_png(width, height):
    """A 1-bit grey PNG of zeros, compressed as well as zlib can."""
    row = b"\x00" * (1 + (width + 7) // 8)
    z = zlib.compressobj(9)
    idat = b"".join(z.compress(row) for _ in range(height)) + z.flush()
    return png(width, height, 1, 0, idat)


def tiff(width, height, compression, bits, photometric, strip):
    entries = sorted([(256, 4, width), (257, 4, height), (258, 3, bits), (259, 3, compression),
                      (262, 3, photometric), (273, 4, 0), (277, 3, 1), (278, 4, height),
                      (279, 4, len(strip))])
    data_at = 8 + 2 + 12 * len(entries) + 4
    out = b"II*\x00" + struct.pack("<IH", 8, len(entries))
    for tag, kind, value in entries:
        value = data_at if tag == 273 else value
        packed = struct.pack("<HH", value, 0) if kind == 3 else struct.pack("<I", value)
        out += struct.pack("<HHI", tag, kind, 1) + packed
    return out + b"\x00\x00\x00\x00" + strip


def truncated_jpeg():
    """A 12000 x 12000 grey JPEG cut after a quarter of its bytes; None without PIL."""
    try:
        from PIL import Image
    except ImportError:
        return None
    import io
    buf = io.BytesIO()
    Image.new("L", (12000, 12000), 40).save(buf, "JPEG", quality=90)
    data = buf.getvalue()
    return data[: len(data) // 4]


BOMBS = {
    # A 1 x 1 image on a 16384 x 16384 screen: 42 bytes.
    "screen.gif": (gif((16384, 16384), (1, 1), b"\x4c\x01"), FORMAT),
    # The whole screen as the image, its LZW data a few codes long.
    "lzw.gif": (gif((16384, 16384), (16384, 16384), b"\x4c\x01\x02\x03"), FORMAT),
    # 16384 x 16384 bytes claimed, 1 KB held.
    "rows.bmp": (bmp(16384, 16384, 0, b"\x00" * 906), SHORT),
    # Run-length codes for a few hundred pixels, then the end of the bitmap.
    "rle.bmp": (bmp(16384, 16384, 1, b"\xff\x01" * 10 + b"\x00\x01"), SHORT),
    # 20000 x 20000 RGB whose 1.2 MB are a private chunk; the image data are 20 bytes.
    "padded.png": (png(20000, 20000, 8, 2, zlib.compress(b"\x00" * 4000), b"\x00" * (1200 << 10)),
                   SHORT),
    # A fax page of 32768 x 32768 whose coding stops after 64 rows.
    "fax.tif": (tiff(32768, 32768, 4, 1, 0, b"\xff" * 8), SHORT),
}


def main():
    with tempfile.TemporaryDirectory() as tmp:
        env = dict(os.environ, VANTOREL_CONFIG_HOME=os.path.join(tmp, "config"), TMPDIR=tmp)
        env.pop("ASAN_OPTIONS", None)  # a leak check at exit costs memory of its own
        for name, value in (("ReservedMemory", "100000000"), ("MinMemorySize", str(BUDGET_MB))):
            rc, _, err, _ = run("settings", "set", "VMManager", name, value, env=env)
            if rc != 0:
                fail(f"settings set {name}: {err}")
                return
        def write(name, data):
            path = os.path.join(tmp, name)
            with open(path, "wb") as f:
                f.write(data)
            return path

        rc, out, err, baseline = run("info", write("one.png", zeros_png(1, 1)), env=env)
        if rc != 0 or "width: 1" not in out:
            fail(f"a 1 x 1 PNG does not open: {rc} {out} {err}")
            return
        print(f"baseline {baseline / MB:.0f} MB, budget {BUDGET_MB} MB")

        bombs = dict(BOMBS)
        jpeg = truncated_jpeg()
        if jpeg is not None:
            bombs["cut.jpg"] = (jpeg, SHORT)
        for name, (data, message) in bombs.items():
            rc, out, err, peak = run("info", write(name, data), env=env)
            print(f"{name}: {len(data)} bytes, exit {rc}, peak {peak / MB:.0f} MB")
            if rc != 1 or message not in err:
                fail(f"{name}: exit {rc}, not the message {message!r}: {err.strip()}")
            if peak - baseline >= SLACK:
                fail(f"{name}: {(peak - baseline) / MB:.0f} MB above the baseline")

        large = zeros_png(20000, 20000)
        rc, out, err, peak = run("info", write("large.png", large), env=env)
        print(f"large.png: {len(large)} bytes, exit {rc}, peak {peak / MB:.0f} MB")
        if rc != 0 or "width: 20000" not in out or "height: 20000" not in out:
            fail(f"large.png does not open: {rc} {out} {err}")
        if peak - baseline >= BUDGET_MB * MB + SLACK:
            fail(f"large.png: {(peak - baseline) / MB:.0f} MB above the baseline, "
                 f"beyond the budget and 64 MB")


main()
print(f"{0 if failures else 1} passed, {len(failures) and 1} failed")
sys.exit(1 if failures else 0)
