#!/usr/bin/python3
"""vantorel-cli solve with astrometry.net and Debian's Tycho-2 index files, checked by astropy.

A synthetic frame is made from the stars of an index file (index-tycho2-09, fields of
44' to 60'): their unit vectors, kept in the file's star k-d tree as scaled 32-bit
integers, are projected with a TAN projection round a known centre (1024 x 1024 pixels at
3.5"/px, about 1 degree, turned by a known angle, the reference pixel off the centre),
drawn as Gaussian stars with fluxes from their V magnitudes, over a sky with Poisson and
read noise, and saved without world coordinates. Solved without a hint, with bounds on
the scale, and with a hint
(--ra --dec --radius, the frame's rows stored top-down this time, the input carrying a
wrong solution of its own that must be replaced): the written header read by astropy
gives the centre within 2", the pixel scale within 0.3 %, the rotation within 0.1 deg,
and the sky of the four corners within 1" of the truth; fitsverify passes the file.
The time of each solve is printed (it is not asserted).

Also: a frame of stars at random places with a short --timeout says no solution was
found, exits 1, writes no OUT and leaves IN as it was, and Ctrl+C or a kill stops the
solver with its children (exit 130 or 143, nothing written); an index folder without index
files (given, or from the setting) and a PATH without solve-field name the packages to
install; bad options exit 2 before anything is read.

Exits 77 when numpy or astropy, solve-field or the index file is missing.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import warnings

try:
    import numpy as np
    from astropy.io import fits
    from astropy.wcs import WCS
except ImportError as e:
    print("skipped:", e)
    sys.exit(77)

CLI = os.path.realpath(sys.argv[1])
INDEX = "/usr/share/astrometry/index-tycho2-09.littleendian.fits"
SOLVE_FIELD = shutil.which("solve-field")
if SOLVE_FIELD is None or not os.path.exists(INDEX):
    print("skipped: solve-field or", INDEX, "is missing (scripts/install-deps.sh installs them)")
    sys.exit(77)

warnings.simplefilter("ignore")
failures = []


def fail(text):
    failures.append(text)
    print("FAIL:", text)


def run(*args, env=None, timeout=300):
    return subprocess.run([CLI, *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, env=env)


def index_stars(path):
    """Right ascension, declination (degrees) and V magnitude of the index's stars."""
    with fits.open(path) as h:
        by_name = {hdu.columns[0].name: hdu for hdu in h[1:]}
        # Minimum and maximum of each of the 3 dimensions, then the scale to integers.
        rng = np.frombuffer(by_name["kdtree_range_stars"].data.tobytes(), dtype="<f8")
        data = np.frombuffer(by_name["kdtree_data_stars"].data.tobytes(), dtype="<u4")
        xyz = rng[0:3] + data.reshape(-1, 3) / rng[6]
        mag = np.asarray(by_name["MAG_VT"].data["MAG_VT"], dtype=float)
    ra = np.degrees(np.arctan2(xyz[:, 1], xyz[:, 0])) % 360.0
    dec = np.degrees(np.arcsin(np.clip(xyz[:, 2], -1, 1)))
    return ra, dec, mag


def truth_wcs(ra0, dec0, rotation, n, scale):
    w = WCS(naxis=2)
    w.wcs.ctype = ["RA---TAN", "DEC--TAN"]
    w.wcs.crval = [ra0, dec0]
    w.wcs.crpix = [(n + 1) / 2 + 17.3, (n + 1) / 2 - 11.6]
    t = np.radians(rotation)
    w.wcs.cd = scale / 3600.0 * np.array([[-np.cos(t), np.sin(t)], [np.sin(t), np.cos(t)]])
    return w


def render(stars, w, n, seed):
    ra, dec, mag = stars
    x, y = w.wcs_world2pix(ra, dec, 1)
    c = np.cos(np.radians(dec)) * np.cos(np.radians(ra)), \
        np.cos(np.radians(dec)) * np.sin(np.radians(ra)), np.sin(np.radians(dec))
    r0, d0 = np.radians(w.wcs.crval)
    near = (c[0] * np.cos(d0) * np.cos(r0) + c[1] * np.cos(d0) * np.sin(r0) +
            c[2] * np.sin(d0)) > np.cos(np.radians(2.0))
    keep = near & (x > -15) & (x < n + 15) & (y > -15) & (y < n + 15)
    rnd = np.random.default_rng(seed)
    img = np.full((n, n), 800.0)
    sigma = 1.6
    for xi, yi, mi in zip(x[keep], y[keep], mag[keep]):
        flux = 3e5 * 10 ** (-0.4 * (mi - 9.0))
        x0, x1 = max(1, int(xi) - 12), min(n, int(xi) + 12)
        y0, y1 = max(1, int(yi) - 12), min(n, int(yi) + 12)
        if x1 < x0 or y1 < y0:
            continue
        yy, xx = np.mgrid[y0:y1 + 1, x0:x1 + 1]
        img[y0 - 1:y1, x0 - 1:x1] += flux / (2 * np.pi * sigma ** 2) * np.exp(
            -((xx - xi) ** 2 + (yy - yi) ** 2) / (2 * sigma ** 2))
    img = rnd.poisson(img) + rnd.normal(0.0, 6.0, img.shape)
    return img.astype(np.float32), int(keep.sum())


def local_geometry(w, px, py):
    """Scale ("/px) and rotation (deg, +y from north through east) at a pixel."""
    (a0, d0), (a1, d1), (a2, d2) = w.all_pix2world([[px, py], [px + 1, py], [px, py + 1]], 1)
    k = np.cos(np.radians(d0))
    ex, nx = (a1 - a0) * k, d1 - d0
    ey, ny = (a2 - a0) * k, d2 - d0
    scale = np.sqrt(abs(ex * ny - ey * nx)) * 3600
    return scale, np.degrees(np.arctan2(ey, ny))


def separation(a, b):
    """Angles between pairs of (ra, dec) in arc seconds."""
    a, b = np.radians(a), np.radians(b)
    s = np.sin((b[:, 1] - a[:, 1]) / 2) ** 2 + np.cos(a[:, 1]) * np.cos(b[:, 1]) * \
        np.sin((b[:, 0] - a[:, 0]) / 2) ** 2
    return np.degrees(2 * np.arcsin(np.sqrt(s))) * 3600


def check_solution(name, out, truth, n):
    if not os.path.exists(out):
        fail(f"{name}: {out} was not written")
        return
    header = fits.getheader(out)
    solved = WCS(header)
    if not solved.has_celestial:
        fail(f"{name}: no celestial world coordinates in {out}")
        return
    centre = [(n + 1) / 2, (n + 1) / 2]
    corners = np.array([[1, 1], [n, 1], [1, n], [n, n], centre], dtype=float)
    sky_t = truth.all_pix2world(corners, 1)
    sky_s = solved.all_pix2world(corners, 1)
    sep = separation(sky_t, sky_s)
    scale_t, rot_t = local_geometry(truth, *centre)
    scale_s, rot_s = local_geometry(solved, *centre)
    turn = (rot_s - rot_t + 180) % 360 - 180
    print(f"{name}: centre off {sep[4]:.3f}\", corners off {np.round(sep[:4], 3)}\", "
          f"scale {scale_s:.5f} against {scale_t:.5f}\"/px, rotation off {turn:.4f} deg, "
          f"SIP {'A_ORDER' in header}")
    if not sep[4] < 2.0:
        fail(f"{name}: centre {sep[4]:.3f}\" from the truth")
    if not np.all(sep[:4] < 1.0):
        fail(f"{name}: corners {sep[:4]}\" from the truth")
    if not abs(scale_s / scale_t - 1) < 0.003:
        fail(f"{name}: scale {scale_s} against {scale_t}")
    if not abs(turn) < 0.1:
        fail(f"{name}: rotation {rot_s} against {rot_t}")
    verify = subprocess.run(["fitsverify", "-q", "-e", out], capture_output=True, text=True)
    if verify.returncode != 0 or "OK" not in verify.stdout:
        fail(f"{name}: fitsverify: {verify.stdout} {verify.stderr}")


def solver_processes():
    """The processes whose command line names one of the solve's temporary folders."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if b"/vantorel-solve-" in f.read():
                    found.append(pid)
        except OSError:
            pass
    return found


def solve(name, args, out):
    start = time.monotonic()
    r = run(*args)
    took = time.monotonic() - start
    print(f"{name}: solved in {took:.2f} s (exit {r.returncode})")
    print(r.stdout, end="")
    if r.returncode != 0:
        fail(f"{name}: exit {r.returncode}: {r.stderr}")
    elif "centre " not in r.stdout or "scale " not in r.stdout:
        fail(f"{name}: no solution printed: {r.stdout!r}")
    return took


def main():
    n, scale = 1024, 3.5
    # A 1 degree field is at the narrow end of index-tycho2-09, whose quads are 0.7 to 1
    # degree across: whether one lies wholly inside the frame depends on the field. This
    # one (by the Pleiades) holds 29 of the index's stars.
    ra0, dec0, rotation = 56.75, 24.1, 23.0
    with tempfile.TemporaryDirectory() as work:
        os.environ["VANTOREL_CONFIG_HOME"] = os.path.join(work, "config")
        stars = index_stars(INDEX)
        truth = truth_wcs(ra0, dec0, rotation, n, scale)
        img, count = render(stars, truth, n, 1)
        print(f"{count} index stars drawn on the frame")
        frame = os.path.join(work, "frame.fits")
        fits.PrimaryHDU(img).writeto(frame)
        before = open(frame, "rb").read()

        out = os.path.join(work, "solved.fits")
        solve("without a hint", ["solve", frame, out], out)
        check_solution("without a hint", out, truth, n)
        if open(frame, "rb").read() != before:
            fail("the input was changed")

        # Bounds on the scale alone (arc seconds per pixel).
        out_scaled = os.path.join(work, "solved-scaled.fits")
        solve("with scale bounds", ["solve", frame, out_scaled, "--scale-low", 3.3,
                                    "--scale-high", 3.7], out_scaled)
        check_solution("with scale bounds", out_scaled, truth, n)

        # Another field, turned the other way, its rows stored top-down, with a wrong
        # solution in the input that the new one must replace card for card.
        truth2 = truth_wcs(83.8, -5.4, -131.0, n, scale)
        img2, count2 = render(stars, truth2, n, 2)
        print(f"{count2} index stars drawn on the second frame")
        wrong = WCS(naxis=2)
        wrong.wcs.ctype = ["RA---TAN-SIP", "DEC--TAN-SIP"]
        wrong.wcs.crval = [10.0, 20.0]
        wrong.wcs.crpix = [5.0, 7.0]
        wrong.wcs.cdelt = [-0.01, 0.01]
        wrong.wcs.pc = [[0.8, 0.6], [-0.6, 0.8]]
        hdr = wrong.to_header()
        hdr["CROTA2"] = 30.0
        for poly in ("A", "B"):
            hdr[f"{poly}_ORDER"] = 3
            hdr[f"{poly}_3_0"] = 1e-7
            hdr[f"{poly}_0_2"] = 1e-4
        frame2 = os.path.join(work, "frame2.fits")
        fits.PrimaryHDU(img2, header=hdr).writeto(frame2)
        out2 = os.path.join(work, "solved2.fits")
        r = run("settings", "set", "IO", "FitsBottomUp", 0)
        if r.returncode != 0:
            fail(f"settings set: {r.stderr}")
        start = time.monotonic()
        r = run("solve", frame2, out2, "--ra", "05:38:00", "--dec", "-05:00:00", "--radius", 2,
                "--timeout", 60, "--json")
        print(f"with a hint: solved in {time.monotonic() - start:.2f} s (exit {r.returncode})")
        print(r.stdout, end="")
        if r.returncode != 0:
            fail(f"with a hint: exit {r.returncode}: {r.stderr}")
        else:
            # The object says what the written header says, at the frame's centre.
            got = json.loads(r.stdout)
            with fits.open(out2) as h:
                w = WCS(h[0].header)
            centre = w.all_pix2world([[(n + 1) / 2, (n + 1) / 2]], 1)[0]
            scale, rot = local_geometry(w, (n + 1) / 2, (n + 1) / 2)
            if separation(np.array([[got["ra"], got["dec"]]]), np.array([centre]))[0] > 0.01:
                fail(f"--json centre {got['ra']}, {got['dec']} against the header's {centre}")
            if abs(got["scale"] - scale) > 1e-5 or abs(got["rotation"] - rot) > 1e-4:
                fail(f"--json scale/rotation {got['scale']}, {got['rotation']} against "
                     f"{scale}, {rot}")
            if got["out"] != out2 or got["file"] != frame2 or got["stars"] < 10 or \
                    got["distortion"] not in ("SIP", "none") or not got["index"]:
                fail(f"--json members: {got}")
        check_solution("with a hint", out2, truth2, n)
        run("settings", "set", "IO", "FitsBottomUp", 1)

        # Stars at random places: no solution in the time allowed; nothing written.
        rnd = np.random.default_rng(9)
        noise = rnd.normal(300.0, 5.0, (400, 400))
        yy, xx = np.mgrid[0:400, 0:400]
        for _ in range(60):
            cx, cy, f = rnd.uniform(5, 395), rnd.uniform(5, 395), rnd.uniform(500, 8000)
            noise += f * np.exp(-((xx - cx) ** 2 + (yy - cy) ** 2) / 5.0)
        frame3 = os.path.join(work, "random.fits")
        fits.PrimaryHDU(noise.astype(np.float32)).writeto(frame3)
        before3 = open(frame3, "rb").read()
        out3 = os.path.join(work, "random-solved.fits")
        r = run("solve", frame3, out3, "--timeout", 3)
        if r.returncode != 1 or "no solution" not in r.stderr or "nothing was written" not in r.stderr:
            fail(f"random stars: exit {r.returncode}, {r.stderr!r}")
        if os.path.exists(out3):
            fail("random stars: OUT was written")
        if open(frame3, "rb").read() != before3:
            fail("random stars: the input was changed")
        leftovers = solver_processes()
        if leftovers:
            fail(f"solver processes left running: {leftovers}")

        # Ctrl+C (or a kill) while the solver runs: it is stopped with its children,
        # exit 128 + the signal, nothing written.
        for sig in (signal.SIGINT, signal.SIGTERM):
            proc = subprocess.Popen([CLI, "solve", frame3, out3, "--timeout", "600"],
                                    stderr=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                    text=True)
            first = proc.stderr.readline()
            if "stars detected" not in first:
                fail(f"{sig.name}: the solve did not start: {first!r}")
            time.sleep(1.0)  # let solve-field start its solver
            proc.send_signal(sig)
            rest = proc.stderr.read()
            rc = proc.wait(timeout=60)
            if rc != 128 + sig or "stopped" not in rest:
                fail(f"{sig.name}: exit {rc}, {rest!r}")
            if os.path.exists(out3):
                fail(f"{sig.name}: OUT was written")
            leftovers = solver_processes()
            if leftovers:
                fail(f"{sig.name}: solver processes left running: {leftovers}")

        # No index files: given, and from the setting.
        empty = os.path.join(work, "empty")
        os.mkdir(empty)
        r = run("solve", frame, out3, "--index-dir", empty)
        if r.returncode != 1 or empty not in r.stderr or "astrometry-data-tycho2" not in r.stderr:
            fail(f"empty index folder: exit {r.returncode}, {r.stderr!r}")
        run("settings", "set", "PlateSolve", "IndexDir", empty)
        r = run("solve", frame, out3)
        if r.returncode != 1 or empty not in r.stderr:
            fail(f"index folder from the setting: exit {r.returncode}, {r.stderr!r}")
        run("settings", "delete", "PlateSolve")
        # No solver on the PATH.
        env = dict(os.environ, PATH=empty)
        r = run("solve", frame, out3, env=env)
        if r.returncode != 1 or "astrometry.net" not in r.stderr or "install" not in r.stderr:
            fail(f"no solve-field: exit {r.returncode}, {r.stderr!r}")
        if os.path.exists(out3):
            fail("a failed solve wrote OUT")

        # Bad options: refused before anything is read.
        for args in (["--ra", 10, "--dec", 10], ["--scale-low", 2],
                     ["--scale-low", 3, "--scale-high", 2], ["--ra", 400, "--dec", 0, "--radius", 1],
                     ["--timeout", 0], ["--timeout", "soon"], ["--radius"], ["--bogus"],
                     ["--index-dir", ""]):
            r = run("solve", frame, out3, *args)
            if r.returncode != 2 or "vantorel-cli: solve:" not in r.stderr:
                fail(f"{args}: exit {r.returncode}, {r.stderr!r}")
        for files in ([], [frame, out3, out3], [frame, os.path.join(work, "x.png")]):
            r = run("solve", *files)
            if r.returncode != 2:
                fail(f"solve {files}: exit {r.returncode}, {r.stderr!r}")
        r = run("solve", os.path.join(work, "missing.fits"))
        if r.returncode != 1:
            fail(f"a missing input: exit {r.returncode}, {r.stderr!r}")

    print(f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
