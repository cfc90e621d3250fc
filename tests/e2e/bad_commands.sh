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

# An empty registry file is refused unless a new registry is asked for.
: >"$STATE/registry.db"
run_error 1 start && err_contains "registry.db is empty"
await_exit "$STATE/spoolhost.pid"
# A state folder left open is closed, and what was in it made the owner's alone;
# a log the monitor cannot write is told by status.
chmod 755 "$STATE" && chmod 644 "$STATE/registry.db" "$STATE/spoolhost.log"
mkdir -p "$STATE/windows/TAVRO.log" && chmod 755 "$STATE/windows"
start_daemon --new-registry --client-idle 2 --printbox "BOX1:P1,P2"
for f in "$STATE" "$STATE/windows" "$STATE/registry.db" "$STATE/spoolhost.sock" "$STATE/spoolhost.log"; do
  case $(stat -c %a "$f") in 700 | 600) ;; *) fail "$f should be private, is $(stat -c %a "$f")" ;; esac
done
run 0 status && contains "TAVRO.log is not being written: Is a directory"
run_error 1 start && err_contains "already runs"
eventually 20 "^P2$" ports
run_error 1 add-printer Laser NOPORT && err_contains "unknown port NOPORT"
run 0 add-printer Laser P1
run_error 1 add-printer laser P2 && err_contains "exists already"
run_error 1 add-printer 'Bad\Name' P1 && err_contains "printer name"
run_error 1 add-printer '   ' P1 && err_contains "only spaces"
run_error 1 add-printer 'Left,Right' P1 && err_contains "comma"
run_error 1 rename-printer Laser $'La\tser' && err_contains "control characters"
LONG_NAME=$(printf 'L%.0s' $(seq 260))
run_error 1 add-printer "$LONG_NAME" P1 && err_contains "printer name"
run_error 1 rename-printer Laser "$LONG_NAME" && err_contains "printer name"
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
# Names from the registry (or the network) reach the terminal and the log escaped.
printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Evil\033[2J]\n"Port"="P2"\n' >"$WORK/evil.reg"
run 0 reg import "$WORK/evil.reg"
run 0 printers && contains 'Evil\\x1b\[2J'
run_error 1 set-port $'Odd\033[2J' P2 && err_contains 'Odd\\x1b'
if grep -q $'\033' "$OUT" "$ERR" "$STATE/spoolhost.log"; then fail "an escape byte reached the output or the log"; fi
# Answers larger than a frame: whatever is imported is exported whole.
awk 'BEGIN { print "REGEDIT4\n"; for (i = 0; i < 20000; i++) printf "[HKEY_LOCAL_MACHINE\\Software\\Bulk\\K%05d]\n\"V\"=\"%d\"\n\n", i, i;
             printf "[HKEY_LOCAL_MACHINE\\Software\\Bulk]\n\"Big\"=\""; for (i = 0; i < 3000; i++) printf "%01000d", i; print "\"" }' >"$WORK/bulk.reg"
run 0 reg import "$WORK/bulk.reg"
run 0 reg export 'HKLM\Software\Bulk' && contains '\\Bulk\\K19999\]$'
grep -q "$(tail -c 3000 "$WORK/bulk.reg" | head -c 2000)" "$OUT" || fail "the 3 MB value did not come back whole"
[ "$(grep -c '^\[' "$OUT")" -eq 20001 ] || fail "reg export should give 20001 keys, gave $(grep -c '^\[' "$OUT")"

# Clients: a flood costs a bounded number of threads, a silent one is dropped,
# and neither one waiting for a message box nor a job slow down a pipe is.
python3 - "$STATE/spoolhost.sock" "$(cat "$STATE/spoolhost.pid")" >"$OUT" 2>&1 <<'PY' || fail "clients: $(cat "$OUT")"
import os, socket, sys, time
path, pid = sys.argv[1], sys.argv[2]
threads = lambda: len(os.listdir("/proc/%s/task" % pid))
before = threads()
flood = []
for _ in range(400):
    s = socket.socket(socket.AF_UNIX)
    s.setblocking(False)
    try:
        s.connect(path)
    except OSError:
        pass
    flood.append(s)
time.sleep(1)
assert threads() - before <= 64, "%d threads for the flood" % (threads() - before)
first = flood[0]
first.setblocking(True)
first.settimeout(20)
assert first.recv(1) == b"", "a silent client was answered"
PY
# A client that passes a device instead of its job's file: the job fails at
# once instead of printing the device's endless bytes.
python3 - "$STATE/spoolhost.sock" >"$OUT" 2>&1 <<'PY' || fail "passed device: $(cat "$OUT")"
import os, socket, struct, sys
frame = lambda kind, payload: struct.pack("<I", len(payload) + 1) + kind + payload
s = socket.socket(socket.AF_UNIX)
s.settimeout(20)
s.connect(sys.argv[1])
s.sendall(frame(b"R", b"print\0--\0Laser\0"))
socket.send_fds(s, [frame(b"F", b"0")], [os.open("/dev/zero", os.O_RDONLY)])
answer = b""
while not answer.endswith(b"X\x01"):
    got = s.recv(65536)
    assert got, "the daemon closed the connection: %r" % answer
    answer += got
assert b"the client passed no regular file open for reading" in answer, answer
PY
run_error 1 messages --wait 4 && err_contains "no message box came within 4 s"
{ echo first; sleep 4; echo last; } | sh_ print Laser - >"$OUT" 2>"$ERR" || fail "a slow job was dropped"
contains "printed: 11 bytes"

run 0 stop && contains "unloaded"
run_error 3 status
finish
