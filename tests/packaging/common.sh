# Shared by the packaging tests: a scratch folder removed on exit, and checks
# that count failures instead of stopping at the first.
# shellcheck shell=sh

scratch=$(mktemp -d "${TMPDIR:-/tmp}/sweepbox-packaging.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# check_contains WHAT TEXT NEEDLE: TEXT has NEEDLE somewhere in it.
check_contains() {
  case $2 in
    *"$3"*) ;;
    *) fail "$1: no '$3' in: $2" ;;
  esac
}

# finish: the closing line, and the exit status.
finish() {
  if [ "$failures" -eq 0 ]; then
    echo "all checks passed"
    exit 0
  fi
  echo "$failures check(s) failed" >&2
  exit 1
}
