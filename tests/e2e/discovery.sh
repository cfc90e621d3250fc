#!/usr/bin/env bash
# Start-up, the ports the monitor finds on an in-process box at both levels,
# add-port, the monitor's log, and the orderly unload.
. "$(dirname "$0")/lib.sh"

start_daemon --printbox "BOX1:ALPHA,BETA=offline"
contains "started in .*Varnhold initialised"
run 0 status && contains "monitor: Varnhold \(TAVRO.so\): initialised" && contains "print box: BOX1"
# The monitor is installed in the registry on first start.
run 0 reg export 'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Print\Monitors'
contains '"Driver"="TAVRO.so"'
run 0 reg export 'SOFTWARE\Microsoft\Rpc\Netbios' && contains 'ncacn_nb_nb0'

eventually 20 "^BETA$" ports --level 1
contains "^ALPHA$"
run 0 ports --level 2
contains "^ALPHA +Local Port +Print Server Port$"
contains "^BETA +Local Port +Print Server Port$"

# AddPort only says how ports come; the box goes to the client that asked.
run 0 add-port && contains "message box: \[Varnhold\] Print Server Ports are added automatically"

run 0 log && contains "Print Monitor Log File" && { ! grep -qF '\x0d' "$OUT" || fail "the log shown should keep its line ends"; }
run 0 stop
contains "unloading monitor Varnhold"
contains "monitor Varnhold unloaded"
contains "^stopped$"
run_error 3 ports
# The log stays readable after the stop.
run 0 log && contains "Print Monitor Log File"

# A second start uses the same registry and installs nothing anew.
start_daemon --printbox "BOX1:ALPHA"
eventually 20 "^ALPHA$" ports
run 0 stop
finish
