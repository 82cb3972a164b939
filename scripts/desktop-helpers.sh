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

# A run of Wine on a virtual display. wine_on_virtual_display N starts Xvfb (1024x768) on a
# display numbered from N and this shell's pid, adds it to `pids`, exports DISPLAY, and ends a
# Wine session still lingering from the runs before (started without a display, it would take
# this one's windows). end_wine_run is the caller's EXIT trap: the Wine session, every process in
# `pids` and the prefix's COM5 link go.
wine_on_virtual_display() {
  local display=:$(($1 + $$ % 300))
  Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  export DISPLAY=$display
  "${wine%/*}/wineserver" -k 2>/dev/null || true
  "${wine%/*}/wineserver" -w 2>/dev/null || true
}
end_wine_run() {
  "${wine%/*}/wineserver" -k 2>/dev/null || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -f "$WINEPREFIX/dosdevices/com5"
}
