# A cupsd of its own for a test or the demo: its configuration, spool, logs
# and socket in one folder, the varnhold backend alone in its backend folder
# (beside links to the system's filters and daemons), reached by clients
# through CUPS_SERVER. Needs root, as any cupsd. Sourced.
#
# cupsd_start DIR BACKEND STATE: starts it in DIR (made here) with BACKEND
#   installed as CUPS installs it, and SPOOLHOST_STATE=STATE for the backend;
#   sets CUPSD_PID and exports CUPS_SERVER. Returns 1, the reason in
#   CUPSD_WHY, where no cupsd can run.
# cupsd_stop: stops it (by its pid) and waits for it.

CUPS_SYSTEM_SERVERBIN=${CUPS_SYSTEM_SERVERBIN:-/usr/lib/cups}

cupsd_start() {
  local dir=$1 backend=$2 state=$3 sub n
  CUPSD_PID=
  CUPSD_WHY=
  if [ "$(id -u)" -ne 0 ]; then CUPSD_WHY="cupsd needs root"; return 1; fi
  local cupsd
  cupsd=$(command -v cupsd || echo /usr/sbin/cupsd)
  if [ ! -x "$cupsd" ] || ! command -v lpadmin >/dev/null || ! command -v lpinfo >/dev/null ||
     [ ! -x "$CUPS_SYSTEM_SERVERBIN/daemon/cups-deviced" ]; then
    CUPSD_WHY="CUPS is not installed (Debian: cups-daemon, cups-client and cups; scripts/deps installs them)"
    return 1
  fi
  mkdir -p "$dir"/{etc/ppd,etc/ssl,spool/tmp,cache,state,log,serverbin/backend}
  # cupsd hands spool and cache to its user lp; it checks that the programs
  # it runs are root's and written by nobody else.
  chmod 755 "$dir" "$dir/serverbin" "$dir/serverbin/backend"
  for sub in filter daemon cgi-bin notifier driver monitor; do
    if [ -e "$CUPS_SYSTEM_SERVERBIN/$sub" ]; then ln -s "$CUPS_SYSTEM_SERVERBIN/$sub" "$dir/serverbin/$sub"; fi
  done
  install -o root -g root -m 0700 "$backend" "$dir/serverbin/backend/varnhold"
  cat >"$dir/etc/cups-files.conf" <<CONF
User lp
Group lp
SystemGroup root
ServerRoot $dir/etc
RequestRoot $dir/spool
TempDir $dir/spool/tmp
CacheDir $dir/cache
StateDir $dir/state
ServerBin $dir/serverbin
AccessLog $dir/log/access_log
ErrorLog $dir/log/error_log
PageLog $dir/log/page_log
FileDevice No
CONF
  cat >"$dir/etc/cupsd.conf" <<CONF
Listen $dir/cups.sock
LogLevel debug
Browsing No
DefaultAuthType None
# A job the backend gives back (its box gone) is tried again a second later.
JobRetryInterval 1
JobRetryLimit 100
SetEnv SPOOLHOST_STATE $state
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF
  "$cupsd" -f -c "$dir/etc/cupsd.conf" -s "$dir/etc/cups-files.conf" >"$dir/log/cupsd.out" 2>&1 &
  CUPSD_PID=$!
  export CUPS_SERVER=$dir/cups.sock
  for n in $(seq 100); do
    if lpstat -r 2>/dev/null | grep -q "scheduler is running"; then return 0; fi
    if ! kill -0 "$CUPSD_PID" 2>/dev/null; then
      CUPSD_WHY="cupsd did not start: $(tail -3 "$dir/log/cupsd.out" "$dir/log/error_log" 2>/dev/null | tr '\n' ' ')"
      CUPSD_PID=
      return 1
    fi
    sleep 0.1
  done
  CUPSD_WHY="cupsd did not answer on $CUPS_SERVER within 10 s"
  cupsd_stop
  return 1
}

cupsd_stop() {
  [ -n "${CUPSD_PID:-}" ] || return 0
  # Safe under set -e (the demo): a cupsd already gone is no failure.
  kill "$CUPSD_PID" 2>/dev/null || true
  local n
  for n in $(seq 100); do
    kill -0 "$CUPSD_PID" 2>/dev/null || break
    sleep 0.1
  done
  kill -9 "$CUPSD_PID" 2>/dev/null || true
  wait "$CUPSD_PID" 2>/dev/null || true
  CUPSD_PID=
}
