#!/usr/bin/env bash
# Runs at boot inside the container made by tests/check_boot.sh, as root, against the real
# systemd: installs /root/debs/*.deb and drives smdhost.service. Prints one line per check;
# status 0 only when all pass.
set -uo pipefail
export DEBIAN_FRONTEND=noninteractive SYSTEMD_PAGER=
fails=0
ok() { echo "ok: $*"; }
bad() {
  echo "FAIL: $*"; fails=$((fails + 1))
  journalctl -q -o short-monotonic -u smdhost -n 10 | sed 's/^/  journal: /'
}
prop() { systemctl show -P "$1" smdhost; }
# wait_for SECONDS COMMAND...: true once COMMAND succeeds, false when the time ran out.
wait_for() {
  local until=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $until ] || return 1
    sleep 0.2
  done
}
running() { [ "$(prop ActiveState)/$(prop SubState)" = active/running ]; }
failed() { [ "$(prop ActiveState)" = failed ]; }
restarted_after() { [ "$(prop NRestarts)" -gt "$1" ]; }
stored() { [ "$(runuser -u smdhost -- smdhost history --site "$site" --device 1 --format csv |
               wc -l)" -gt "$1" ]; }
# Host lines at err since a cursor: what `journalctl -p err` shows an operator.
errs_since() { journalctl -q -o cat -p err _SYSTEMD_UNIT=smdhost.service --since "$1"; }
has_errs_since() { errs_since "$1" | grep -q .; }

apt-get install -y -qq /root/debs/*.deb >/root/apt.log 2>&1 || { cat /root/apt.log; exit 1; }
ok "apt installed $(cd /root/debs && echo *.deb)"
site=/etc/smdhost/site.json
[ "$(prop UnitFileState)" = disabled ] && [ "$(prop ActiveState)" = inactive ] \
  && ok "not started on a fresh install" || bad "state after install: $(prop UnitFileState)"

# The shipped site file pointed at the simulated unit and polled every second.
sed -i -e 's|"port": "/dev/ttyS0"|"port": "simulated", "delayScale": 0.01|' \
  -e 's|"pollIntervalMs": 15000|"pollIntervalMs": 1000|' "$site"
cp "$site" /root/good.json
if systemctl start smdhost && running && [ -n "$(prop StatusText)" ]; then
  ok "ready: $(prop StatusText)"
else
  bad "not ready: $(systemctl status smdhost --no-pager 2>&1 | tail -5)"
fi
# The default commit window holds records up to 20 s.
wait_for 45 stored 1 && ok "records stored" || bad "no records stored"

# Journal: priorities and the device's field on the host's lines.
if journalctl -q -o verbose _SYSTEMD_UNIT=smdhost.service SMD_DATA_ID=1 | grep -q PRIORITY=6; then
  ok "journal: round lines at info with SMD_DATA_ID=1"
else
  bad "journal: no info line with SMD_DATA_ID=1"
fi

# The smdhost group reads the history and uses the control socket; an outsider may not.
useradd --system --groups smdhost op && useradd --system eve
as() { local who=$1; shift; (cd / && runuser -u "$who" -- "$@"); }
as op smdhost history --site "$site" --device 1 --limit 1 >/dev/null \
  && ok "group: history" || bad "group: history refused"
as op smdhost alarms --site "$site" >/dev/null && ok "group: alarms" || bad "group: alarms refused"
out=$(as op smdhost control --site "$site" --device 1 --code 801 2>&1) \
  && ok "group: control" || bad "group: control refused: $out"
for sub in history alarms control; do
  args=(--device 1); [ $sub = alarms ] && args=(); [ $sub = control ] && args+=(--code 801)
  out=$(as eve smdhost $sub --site "$site" "${args[@]}" 2>&1) && bad "outsider: $sub allowed"
  grep -qi "permission denied" <<<"$out" && ok "outsider: $sub refused: $out" \
    || bad "outsider: $sub: $out"
done

# Reload: a good file applied; a broken one reported to systemctl, the service running on.
since=$(date '+%F %T')
sed -i 's|"pollIntervalMs": 1000|"pollIntervalMs": 900|' "$site"
reloaded() { journalctl -q -o cat _SYSTEMD_UNIT=smdhost.service --since "$since" | grep -q "reload of $site done"; }
systemctl reload smdhost && wait_for 10 reloaded && running \
  && ok "reload applied" || bad "reload: $(prop ActiveState)"
echo '{"devices": [' >"$site"
pid=$(prop MainPID) since=$(date '+%F %T')
systemctl reload smdhost 2>/dev/null && bad "a broken reload reported as success"
errs=$(errs_since "$since")
running && [ "$(prop MainPID)" = "$pid" ] && grep -q "$site: not valid JSON" <<<"$errs" \
  && ok "a broken reload fails, the service runs on, err: $errs" \
  || bad "after a broken reload: $(prop ActiveState), err: $errs"
cp /root/good.json "$site"

# Watchdog (shortened by a drop-in) and a crash: killed, restarted, ready again.
mkdir -p /run/systemd/system/smdhost.service.d
printf '[Service]\nWatchdogSec=3\n' >/run/systemd/system/smdhost.service.d/watchdog.conf
systemctl daemon-reload && systemctl restart smdhost
n=$(prop NRestarts)
sleep 7  # two watchdog intervals: the loop must be feeding it
[ "$(prop NRestarts)" = "$n" ] && running && ok "the watchdog is fed" \
  || bad "killed by the watchdog while running ($(prop NRestarts) restarts)"
# What systemd says of the end: the watchdog's time-out, the crash's signal.
for row in "STOP:Watchdog timeout" "SEGV:status=11/SEGV"; do
  sig=${row%%:*} why=${row#*:} since=$(date '+%F %T')
  pid=$(prop MainPID) n=$(prop NRestarts)
  kill -"$sig" "$pid"
  if wait_for 30 restarted_after "$n" && wait_for 15 running && [ "$(prop MainPID)" != "$pid" ] \
    && journalctl -q -o cat -u smdhost --since "$since" | grep -q "$why"; then
    ok "SIG$sig: \"$why\", restarted"
  else
    bad "SIG$sig: not restarted for \"$why\" ($(prop ActiveState), NRestarts $(prop NRestarts))"
  fi
done
rm -r /run/systemd/system/smdhost.service.d && systemctl daemon-reload
systemctl stop smdhost

# Bad input: status 2, one err line naming the file and its reason, no restart loop.
# bad_input WHAT TEXT: the service started with the site file as it is now.
bad_input() {
  local since; since=$(date '+%F %T')
  systemctl reset-failed smdhost 2>/dev/null
  systemctl start smdhost 2>/dev/null && bad "$1: started"
  wait_for 10 failed
  sleep 6  # RestartSec=5: a restart would have come by now
  local errs; errs=$(errs_since "$since")
  if [ "$(prop ExecMainStatus)" = 2 ] && [ "$(prop NRestarts)" = 0 ] \
    && [ "$(wc -l <<<"$errs")" = 1 ] && grep -qF "$2" <<<"$errs"; then
    ok "$1: status 2, not restarted, err: $errs"
  else
    bad "$1: status $(prop ExecMainStatus), $(prop NRestarts) restarts, err: $errs"
  fi
  cp /root/good.json "$site" && chmod 644 "$site"
}
echo '{"devices": [' >"$site" && bad_input "a broken site file" "$site: not valid JSON: * Line 2, Column 1 Syntax error"
chmod 600 "$site" && chown root "$site" && bad_input "an unreadable site file" "$site: cannot be read: Permission denied"
sed -i 's|"rtmk48_pv05.so"|"missing.so"|' "$site" && bad_input "a missing plug-in" "$site: plugins[0]"
sed -i 's|/var/lib/smdhost/history.db|/srv/smd/history.db|' "$site" && mkdir -p /srv/smd
bad_input "a database outside the sandbox" "ReadWritePaths="

# A port that cannot be opened is a runtime error: the service runs on and says why at err.
# (The device controller is not delegated to this container, so the sandbox's own refusal of
# a class it does not allow cannot be seen here; /dev/ttyXR0 has no driver behind it.)
mknod -m 660 /dev/ttyXR0 c 240 0 && chgrp dialout /dev/ttyXR0
sed -i 's|"port": "simulated", "delayScale": 0.01|"port": "/dev/ttyXR0"|' "$site"
since=$(date '+%F %T')
systemctl reset-failed smdhost && systemctl start smdhost
wait_for 15 has_errs_since "$since"
errs=$(errs_since "$since")
if running && grep -q "/dev/ttyXR0.*No such device or address" <<<"$errs"; then
  ok "an unopenable port: running, err: $(head -1 <<<"$errs")"
else
  bad "an unopenable port: $(prop ActiveState), err: $errs"
fi
systemctl stop smdhost
cp /root/good.json "$site"

# The documented way to try the simulated unit, as the service's user: its own database,
# socket and data id, nothing in the service's history, and no alarm from the default unit.
example=/usr/share/doc/smdhost/examples/site-simulated.json
out=$(cd / && runuser -u smdhost -- smdhost --site $example --rounds 3 2>&1)
if grep -q 'summary: 3 rounds, .* 0 alarms raised' <<<"$out" \
  && [ "$(stat -c %U /var/lib/smdhost/simulated.db)" = smdhost ] \
  && smdhost history --site "$site" --device 901 | grep -q '^device 901: 0 records'; then
  ok "the simulated example: own database, no alarm"
else
  bad "the simulated example: $out"
fi

# Purge removes the state and the unit; a reinstall starts again from nothing.
apt-get purge -y -qq smdhost rtmk48-pv05 >/root/apt.log 2>&1 || bad "purge: $(cat /root/apt.log)"
[ ! -e /var/lib/smdhost ] && [ ! -e /lib/systemd/system/smdhost.service ] && [ ! -e "$site" ] \
  && ok "purged" || bad "left after purge: $(ls -d /var/lib/smdhost "$site" 2>&1)"
apt-get install -y -qq /root/debs/*.deb >/root/apt.log 2>&1 || bad "reinstall: $(cat /root/apt.log)"
cp /root/good.json "$site"
systemctl start smdhost && running && ok "reinstalled and started" || bad "not started after reinstall"
systemctl stop smdhost

echo "$fails failed"
[ $fails -eq 0 ]
