# Sourced by the release checks: `check` runs one named check and counts it;
# its output is shown only when it fails. Needs $work, a scratch folder.
passed=0 failed=0

check() {  # check <description> <command...>
  local what=$1; shift
  if "$@" >"$work/out" 2>&1; then
    passed=$((passed + 1)); echo "ok: $what"
  else
    failed=$((failed + 1)); echo "FAILED: $what"; sed 's/^/  /' "$work/out" | head -20
  fi
}
