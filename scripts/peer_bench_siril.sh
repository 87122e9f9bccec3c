# Sourced by the peer benchmarks that time vantorel-cli beside siril-cli: installs
# Debian's siril when siril-cli is missing, checks the other tools they use, and sets
# `cli` to the vantorel-cli to time (VANTOREL_CLI, or a Release build made into
# build-release). Call from the repository's root: peer_siril_setup NAME.
peer_siril_setup() {
  local name=$1 tool sudo=""
  if ! command -v siril-cli >/dev/null; then
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends siril
  fi
  for tool in siril-cli /usr/bin/time /usr/bin/python3 bc; do
    command -v "$tool" >/dev/null || { echo "$name: $tool is missing" >&2; exit 1; }
  done
  cli=${VANTOREL_CLI:-}
  if [ -z "$cli" ]; then
    cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTOREL_BUILD_TESTS=OFF \
      -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache >/dev/null
    cmake --build build-release -j2 --target vantorel-cli
    cli=$PWD/build-release/bin/vantorel-cli
  fi
}
