# Sourced by the scripts that run in parts: times each part and, on the way
# out, prints how long every part took.
#
#   phase NAME COMMAND [ARGS...]   runs COMMAND and notes its wall time; the
#                                  status is COMMAND's
#   trap phase_summary EXIT        the table, also after a failure
#
# COMMAND runs in a condition, where bash ignores errexit: a shell function
# given here must check its own steps.

phase_names=()
phase_micros=()
phase_failed=()
phase_started=${EPOCHREALTIME//[.,]/}

phase() {
  local name=$1 start status=0
  shift
  start=${EPOCHREALTIME//[.,]/}
  "$@" || status=$?
  phase_names+=("$name")
  phase_micros+=($((${EPOCHREALTIME//[.,]/} - start)))
  phase_failed+=("$status")
  return "$status"
}

# Seconds with one decimal, and minutes past a minute.
phase_duration() {
  local tenths=$((($1 + 50000) / 100000))
  if ((tenths >= 600)); then
    printf '%7d.%d s  (%dm %02ds)' $((tenths / 10)) $((tenths % 10)) $((tenths / 600)) $((tenths / 10 % 60))
  else
    printf '%7d.%d s' $((tenths / 10)) $((tenths % 10))
  fi
}

phase_summary() {
  local i note
  ((${#phase_names[@]} > 0)) || return 0
  echo
  echo "== time per part"
  for i in "${!phase_names[@]}"; do
    note=""
    [[ ${phase_failed[$i]} == 0 ]] || note="  failed (status ${phase_failed[$i]})"
    printf '%-28s %s%s\n' "${phase_names[$i]}" "$(phase_duration "${phase_micros[$i]}")" "$note"
  done
  printf '%-28s %s\n' "total" "$(phase_duration $((${EPOCHREALTIME//[.,]/} - phase_started)))"
}
