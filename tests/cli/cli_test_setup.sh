# Sourced by the command-line tests: the tool under test ($1) as an absolute path, a
# scratch folder that goes when the script ends, settings of its own, and fail(), which
# counts failures for the script's closing verdict.
cli=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export VANTOREL_CONFIG_HOME=$work/config
cd "$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
