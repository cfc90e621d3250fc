#!/usr/bin/env bash
# Commands a user gets wrong, with and without a daemon: one line on stderr
# and a status that tells the kind of failure.
. "$(dirname "$0")/lib.sh"

# No daemon yet.
run_error 3 status && err_contains "no spoolhost daemon runs in"
run_error 3 ports
run_error 3 printers
run_error 2 frobnicate && err_contains "unknown verb 'frobnicate'"
run_error 2 && err_contains "no verb"
run_error 2 ports --level 3 && err_contains "--level must be 1 or 2"
run_error 2 ports --colour && err_contains "unknown option --colour for 'ports'"
run_error 2 add-printer OnlyName && err_contains "wrong number of arguments"
run_error 2 configure P1 --offline maybe && err_contains "--offline must be on or off"
run_error 2 configure P1 --cancel --timer 20
run_error 2 start --net tcp:somewhere
run_error 2 start --net nbt:127.0.0.2 && err_contains "nbt needs ADDR/PREFIX"
run_error 2 start --net nbt:127.0.0.2/8,ports=1:2 && err_contains "ports need NS:DGM:SSN"
run_error 2 start --net nbt:127.0.0.2/8 --printbox "BOX:P1" && err_contains "printbox start --net nbt:"
run_error 2 start --printbox "NOPORTS"
run_error 2 start --printbox "BOX:P1=sideways"
run_error 2 start --time-scale fast
run_error 2 box BOX P1 upside-down
run_error 2 messages --answer x
run_error 2 --state
# The file is read before the daemon is asked.
run_error 1 print Laser "$WORK/missing.txt" && err_contains "cannot read .*missing.txt"
touch "$WORK/secret" && chmod 000 "$WORK/secret"
if [ "$(id -u)" -ne 0 ]; then run_error 1 print Laser "$WORK/secret" && err_contains "Permission denied"; fi
run_error 1 log && err_contains "no monitor log"
run 0 --help && contains "add-printer NAME PORT"

start_daemon --printbox "BOX1:P1,P2"
run_error 1 start && err_contains "already runs"
eventually 20 "^P2$" ports
run_error 1 add-printer Laser NOPORT && err_contains "unknown port NOPORT"
run 0 add-printer Laser P1
run_error 1 add-printer laser P2 && err_contains "exists already"
run_error 1 add-printer 'Bad\Name' P1 && err_contains "printer name"
echo "job" >"$WORK/job.txt"
run_error 1 print Nobody "$WORK/job.txt" && err_contains "unknown printer Nobody"
run_error 1 delete-printer Nobody
run_error 1 rename-printer Nobody Somebody
run_error 1 set-port Laser NOPORT && err_contains "unknown port"
run_error 1 set-port Nobody P2 && err_contains "unknown printer"
run_error 1 configure NOPORT --offline on && err_contains "unknown port"
run_error 1 box NOBOX P1 ready && err_contains "no print box named NOBOX"
run_error 1 box BOX1 P9 ready && err_contains "no port P9"
run_error 1 messages --answer 77 && err_contains "no message box 77"
printf 'this is not REGEDIT4\n' >"$WORK/bad.reg"
run_error 1 reg import "$WORK/bad.reg" && err_contains "import refused"
run_error 1 reg import "$WORK/missing.reg" && err_contains "cannot read"
run 0 printers && contains "^Laser +P1"

run 0 stop && contains "unloaded"
run_error 3 status
finish
