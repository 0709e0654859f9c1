# Helpers shared by the scripts in this folder; sourced, not run.

# install_missing_packages WHO
# Installs the Debian packages of scripts/packages.txt that are missing (all
# of them, whichever script asks: one list for the build, the tests and the
# benchmarks). Says "WHO: installing ..."; silent when nothing is missing.
install_missing_packages() {
  local who=$1 list missing=() as_root=()
  list=$(dirname "${BASH_SOURCE[0]}")/packages.txt
  local p
  while read -r p; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done < <(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$list")
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "$who: installing ${missing[*]}"
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  "${as_root[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
}

# run_stage TITLE SUMMARY COMMAND...
# Prints "== TITLE", runs COMMAND with all its output in a log, then prints
# the log's lines that the sed expression SUMMARY selects (sed -nE), and the
# log's last 200 lines if COMMAND failed. Returns COMMAND's status.
run_stage() {
  local title=$1 summary=$2
  shift 2
  echo "== $title"
  local log status=0
  log=$(mktemp)
  "$@" >"$log" 2>&1 || status=$?
  sed -nE "$summary" "$log"
  [ "$status" -eq 0 ] || tail -n 200 "$log"
  rm -f "$log"
  return "$status"
}

# Summaries for run_stage: meson test's totals and failed suites; pytest's
# last line.
MESON_SUMMARY='/^Ok:/,/^Timeout:/p; /^ *[0-9]+\/[0-9]+ .*(FAIL|TIMEOUT)/p'
PYTEST_SUMMARY='$p'
