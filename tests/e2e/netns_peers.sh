#!/usr/bin/env bash
# Real peers on the wire: Samba's nmblookup, on a host of its own, finds the
# monitor's unique name and the box's port names at their hosts' addresses,
# and reads both nodes' name tables; tshark, capturing on the bridge while the
# nodes start, discover each other and print a job, decodes the name,
# datagram and session traffic and reports nothing malformed.
. "$(dirname "$0")/netns_lib.sh"

need nmblookup samba-common-bin
need tshark tshark

netns_setup
netns_host spool 2
netns_host box 3
netns_host peer 9
MONITOR=$(monitor_name_of "$NETNS_NET.2")
[ "$MONITOR" = OV_02004D0A0002 ] || fail "the monitor's name for $NETNS_NET.2 should be OV_02004D0A0002, is $MONITOR"

CAP=$WORK/segment.pcapng
capture_start "$CAP"
start_box box 3 BOX --port P1 --port P2=paperout
start_spoolhost spool 2
eventually 30 "^P2$" ports
run 0 add-printer Laser P1
eventually 30 "^Laser +P1 +ready" printers
head -c 20000 /dev/urandom >"$WORK/job.bin"
run 0 print Laser "$WORK/job.bin" && contains "printed: 20000 bytes to port P1"
await_copy "$WORK/job.bin" "$WORK/BOX.out/P1-*.prn"

# ask NMBLOOKUP-ARGS... -- PATTERN...: nmblookup from the peer host, asked
# again (three tries, as a client on a busy segment would) until its output
# matches every pattern.
ask() {
  local args=() try p ok
  while [ "$1" != "--" ]; do args+=("$1"); shift; done
  shift
  for try in 1 2 3; do
    in_host peer nmblookup "${args[@]}" >"$OUT" 2>"$ERR"
    ok=1
    for p in "$@"; do grep -qE -- "$p" "$OUT" || ok=0; done
    [ "$ok" -eq 1 ] && return 0
  done
  fail "nmblookup ${args[*]} should show /$*/"
}
# The names are held with the 16th byte a space, NetBIOS type <20>; the
# queries are broadcast on the segment.
ask -B "$NETNS_BCAST" "$MONITOR#20" -- "^$NETNS_NET\.2 $MONITOR<20>$"
ask -B "$NETNS_BCAST" "P1#20" -- "^$NETNS_NET\.3 P1<20>$"
ask -B "$NETNS_BCAST" "P2#20" -- "^$NETNS_NET\.3 P2<20>$"
# A query sent to the box's own address, not broadcast, is answered too.
ask -U "$NETNS_NET.3" "P1#20" -- "^$NETNS_NET\.3 P1<20>$"
# Both nodes are members of the group that monitors ping.
ask -B "$NETNS_BCAST" "ORVE_QDL#20" -- "^$NETNS_NET\.2 ORVE_QDL<20>$" "^$NETNS_NET\.3 ORVE_QDL<20>$"
# Nobody answers for a name nobody holds, nor for the monitor's name as
# another type.
in_host peer nmblookup -B "$NETNS_BCAST" "NOSUCHPORT#20" >"$OUT" 2>"$ERR" && fail "nmblookup found NOSUCHPORT"
grep -q "failed to find name NOSUCHPORT" "$OUT" "$ERR" || fail "nmblookup should say it found no NOSUCHPORT"
in_host peer nmblookup -B "$NETNS_BCAST" "$MONITOR#00" >"$OUT" 2>"$ERR" &&
  fail "nmblookup found $MONITOR<00>, which nobody holds"

# Node status, asked directly of each node: its names and hardware address.
ask -A "$NETNS_NET.2" -- "^\s+$MONITOR +<20> - +B <ACTIVE>" "^\s+ORVE_SRV +<20> - <GROUP> B <ACTIVE>" \
  "^\s+ORVE_QDL +<20> - <GROUP> B <ACTIVE>" "MAC Address = 02-00-0A-4D-00-02"
ask -A "$NETNS_NET.3" -- "^\s+P1 +<20> - +B <ACTIVE>" "^\s+P2 +<20> - +B <ACTIVE>" "MAC Address = 02-00-0A-4D-00-03"

run 0 stop
capture_stop

# The capture, decoded once into fields (tshark takes a while to start):
# source|protocols|NBNS opcode|NBNS names|NBDS destination|NBSS types|NBSS
# called name|NBSS lengths, several values of a frame joined by commas.
FIELDS=$WORK/fields.txt
tshark -n -r "$CAP" -T fields -E separator='|' -e ip.src -e frame.protocols -e nbns.flags.opcode -e nbns.name \
  -e nbdgm.destination_name -e nbss.type -e nbss.called_name -e nbss.length >"$FIELDS" 2>/dev/null ||
  fail "tshark cannot read the capture"
# frames AWK-CONDITION: how many frames meet it ($1 source, $2 protocols, ...).
frames() {
  awk -F'|' "$1 {n++} END {print n + 0}" "$FIELDS"
}
for proto in nbns nbdgm nbss; do
  [ "$(frames "\$2 ~ /:$proto(:|\$)/")" -gt 0 ] || fail "the capture holds no $proto traffic"
done
# What each service carried: the monitor's registration of its name; its
# ping to the boxes' group and the box's report to the monitors' group; the
# job's session to P1, each request answered, with its messages.
[ "$(frames "\$1 == \"$NETNS_NET.2\" && \$3 == 5 && index(\$4, \"$MONITOR<20>\")")" -gt 0 ] ||
  fail "no registration of $MONITOR in the capture"
[ "$(frames "\$1 == \"$NETNS_NET.2\" && \$5 == \"ORVE_QDL<20>\"")" -gt 0 ] ||
  fail "no ping datagram from the monitor in the capture"
[ "$(frames "\$1 == \"$NETNS_NET.3\" && \$5 == \"ORVE_SRV<20>\"")" -gt 0 ] ||
  fail "no report datagram from the box in the capture"
requests=$(frames "\$1 == \"$NETNS_NET.2\" && \$6 == \"0x81\" && \$7 == \"P1<20>\"")
[ "$requests" -ge 1 ] || fail "no session request from the monitor to P1 in the capture"
[ "$(frames "\$1 == \"$NETNS_NET.3\" && \$6 == \"0x82\"")" -eq "$requests" ] ||
  fail "the box should answer each of the $requests session requests with a positive response"
read -r messages bytes < <(awk -F'|' '$1 == "'"$NETNS_NET.2"'" && $6 != "" {
    n = split($6, type, ","); split($8, length_, ",")
    for (i = 1; i <= n; i++) if (type[i] == "0x00") { m++; b += length_[i] }
  } END {print m + 0, b + 0}' "$FIELDS")
# Each session message is one packet of the job: 4 bytes of framing and at
# most 3068 of the job's data, so they carry the job and nothing else.
[ "$messages" -ge 7 ] && [ "$bytes" -eq $((20000 + 4 * messages)) ] ||
  fail "the job's session should carry 20000 bytes in 7 or more packets; it carried $bytes bytes in $messages"
# Nothing malformed, and no expert warning or error but TCP's notes on flow
# control (a busy host may fill a window), in any frame.
bad=$(tshark -n -r "$CAP" -Y "_ws.malformed" 2>/dev/null)
[ -z "$bad" ] || fail "tshark reports malformed frames: $(echo "$bad" | head -5)"
tshark -n -r "$CAP" -q -z expert,warn >"$WORK/expert.txt" 2>/dev/null || fail "tshark cannot list expert infos"
bad=$(awk '$1 ~ /^[0-9]+$/ && $2 != "Sequence"' "$WORK/expert.txt")
[ -z "$bad" ] || fail "tshark reports warnings or errors: $bad"

finish
