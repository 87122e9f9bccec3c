#!/usr/bin/env bash
# Installs every Debian package that Vantorel needs to build, run and test.
# Idempotent: when everything is already there it only asks dpkg and returns.
# Must run as root (or with sudo available) on Debian 12.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config git clang libclang-rt-14-dev
  # Qt 6 for the program and its dialogs
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev qt6-translations-l10n libgl-dev
  # raster formats
  libtiff-dev libpng-dev libjpeg62-turbo-dev libgif-dev
  # tests and benchmarks (the peer benchmark scripts build through ccache and time their
  # peers with /usr/bin/time and bc)
  googletest libgtest-dev libgmock-dev libbenchmark-dev ccache time bc
  # peers used as oracles by the tests
  libcfitsio-dev libcfitsio-bin wcslib-dev fitsverify python3 python3-numpy python3-astropy ftools-fv
  # resampling oracles for the engine's geometry operations
  python3-scipy
  # aperture photometry beside ours in the photometry benchmark
  python3-photutils
  # gzip-packed FITS files
  zlib1g-dev
  # the transforms of the image matching
  libfftw3-dev
  # the registration oracle beside the image matching
  python3-skimage
  # calibration and stacking oracles of the batch runs
  python3-ccdproc
  # star detection beside the positioning tool's
  python3-sep
  # reading and writing region files beside the program's
  python3-regions
  # raster oracles and sample files: Pillow, ImageMagick, libtiff tools, the PNG test suite
  python3-pil imagemagick libtiff-tools libsixel-examples
  # running the GUI headless and rendering Japanese text
  xvfb xauth fonts-noto-cjk
  # a window manager, so that tests see frames and placement as a user does
  openbox
  # printed headers read back as text
  poppler-utils
  # the manual built as HTML (without it the build shows the Markdown as text)
  pandoc
  # plate solving: astrometry.net's solver and the Tycho-2 index files for fields of 44'
  # and wider (about 48 MB to download), used by the solve command and its test
  astrometry.net astrometry-data-tycho2-09-littleendian astrometry-data-tycho2-10-19-littleendian
  # the manual page of vantorel-cli rendered by its test
  man-db groff-base
  # the cluster recipes and their tests: GNU parallel, and a one-machine Slurm cluster
  # (controller, node daemon, client commands) with munge for its authentication
  parallel slurm-wlm munge
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = "installed" ] || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}" >&2
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: run as root (missing: ${missing[*]})" >&2; exit 1; }
  SUDO=sudo
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
