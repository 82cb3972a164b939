# Shell helpers of the scripts that drive a window on a virtual display (sourced, not run).

# Waits until "$@" succeeds, at most $1 seconds.
until_true() {
  local limit=$1; shift
  local end=$((SECONDS + limit))
  until "$@"; do
    [ $SECONDS -ge $end ] && return 1
    sleep 0.2
  done
}
window_named() { xdotool search --onlyvisible --name "^$1" 2>/dev/null | head -1; }  # a title starting so
has_window() { [ -n "$(window_named "$1")" ]; }
winpath() { echo "Z:$1" | tr '/' '\\'; }  # a path of this machine as Wine sees it
