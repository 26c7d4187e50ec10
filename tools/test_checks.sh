# Sourced by the shell tests: `check <what> <command...>` counts a failing
# command and goes on; `end_checks <name>` reports and sets the exit status;
# `has`/`lacks <file> <text>` look for a text in a file (CR LF lines too);
# `make_work` sets WORK to a fresh folder, removed (read-only parts too) at exit.
failures=0
check() {  # <what> <command...>
  local what=$1
  shift
  if ! "$@"; then
    echo "FAILED: $what" >&2
    failures=$((failures + 1))
  fi
}
end_checks() {  # <name>
  if ((failures)); then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "$1: all checks passed"
}
has() { grep -qF -- "$2" <(tr -d '\r' <"$1"); }       # <file> <text>
lacks() { ! grep -qF -- "$2" <(tr -d '\r' <"$1"); }   # <file> <text>
make_work() {
  WORK=$(mktemp -d)
  trap 'chmod -R u+w "$WORK" 2>/dev/null; rm -rf "$WORK"' EXIT
}
