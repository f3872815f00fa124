# Sourced by the scripts here; needs $wine (the Wine command).
# Runs a Windows program under Wine, its output (both streams) in $out and
# its exit code in $rc. A run that failed and printed nothing but Wine's own
# lines (its loader's or its error channel's, none about an unhandled
# exception) is one Wine could not start on a busy host: started again, up
# to three starts in all, as the black-box tests do (Wine's lines as
# WINE_LINE, and the starts as WINE_STARTS, in tests/cli/harness.py).
wine_run() {
  for attempt in 1 2 3; do
    out=$(timeout 120 "$wine" "$@" 2>&1)
    rc=$?
    [ $rc -eq 0 ] || [ $attempt -eq 3 ] && return $rc
    own=$(printf '%s\n' "$out" | tr -d '\r' | grep -avE \
      '^(wine: |wine client error|([0-9a-f]{4}:)?(err|fixme|warn|trace):|$)')
    if [ -n "$own" ] || [ -z "$out" ] || printf '%s' "$out" | grep -aq Unhandled; then
      return $rc
    fi
    echo "note: Wine could not start a run (exit code $rc), started again: $out" >&2
  done
}
