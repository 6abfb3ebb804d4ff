#!/bin/sh
# Installs Keldra's resolver-level service. Run as root:
#   /bin/sh install.sh RESOURCES CODE NAME
# RESOURCES is the app bundle's Contents/Resources (keldra-proxy,
# keldra-networksetup, Environment.json). With a CODE the machine is enrolled
# once, under NAME; an empty CODE repairs: the enrolment is kept and the
# service restarted. Exits 0 on success; otherwise writes its reason on
# standard error and exits 1 (never 126 or 127, which the app reads as a
# dismissed password prompt).
#
# The code and the name are handed to keldra-proxy as arguments of their
# own and are never written into the unit file: a unit's ExecStart expands
# "%" and "$" and cannot hold a line break.

fail() {
    printf '%s\n' "$*" >&2
    exit 1
}

[ "$#" -eq 3 ] || fail "usage: install.sh RESOURCES CODE NAME"
RESOURCES=$1
CODE=$2
NAME=$3
[ "$(id -u)" = 0 ] || fail "install.sh must run as root"

# Every fixed place lies under ROOT: empty on a real machine, a scratch folder
# in tests (pkexec clears the environment, so a caller cannot set it).
ROOT=${KELDRA_SYSTEM_ROOT:-}
LIBEXEC=/usr/local/libexec/keldra
DATA=/var/lib/keldra
UNIT=/etc/systemd/system/keldra-proxy.service
PIDFILE=/run/keldra-proxy.pid
LOG=/var/log/keldra-proxy.log

for file in keldra-proxy keldra-networksetup Environment.json; do
    [ -f "$RESOURCES/$file" ] || fail "This copy of the app is missing $file."
done

# The programs go to a root-owned place; keldra-proxy finds keldra-networksetup
# beside itself.
mkdir -p "$ROOT$LIBEXEC" || fail "cannot create $LIBEXEC"
chmod 0755 "$ROOT$LIBEXEC" || fail "cannot set the mode of $LIBEXEC"
for file in keldra-proxy keldra-networksetup Environment.json; do
    mode=0755
    [ "$file" = Environment.json ] && mode=0644
    cp -f "$RESOURCES/$file" "$ROOT$LIBEXEC/.$file.new" \
        && chmod "$mode" "$ROOT$LIBEXEC/.$file.new" \
        && mv -f "$ROOT$LIBEXEC/.$file.new" "$ROOT$LIBEXEC/$file" \
        || fail "cannot install $file"
done
# The shared core library travels beside the programs when the bundle has it.
if [ -f "$RESOURCES/libbrivet_core.so" ]; then
    cp -f "$RESOURCES/libbrivet_core.so" "$ROOT$LIBEXEC/.libbrivet_core.so.new" \
        && chmod 0644 "$ROOT$LIBEXEC/.libbrivet_core.so.new" \
        && mv -f "$ROOT$LIBEXEC/.libbrivet_core.so.new" "$ROOT$LIBEXEC/libbrivet_core.so" \
        || fail "cannot install libbrivet_core.so"
fi

# The data folder is readable by all, so that the app can read status.json;
# every file in it keeps its own mode.
mkdir -p "$ROOT$DATA" || fail "cannot create $DATA"
chmod 0755 "$ROOT$DATA" || fail "cannot set the mode of $DATA"

PROXY="$ROOT$LIBEXEC/keldra-proxy"
ENVIRONMENT="$ROOT$LIBEXEC/Environment.json"

if [ -n "$CODE" ]; then
    if ! output=$("$PROXY" --env "$ENVIRONMENT" --dir "$ROOT$DATA" --enroll "$CODE" --name "$NAME" --once 2>&1); then
        fail "Enrolment failed: $(printf '%s\n' "$output" | tail -n 3)"
    fi
fi

if [ -d "$ROOT/run/systemd/system" ]; then
    mkdir -p "$ROOT$(dirname "$UNIT")" || fail "cannot create $(dirname "$UNIT")"
    cat > "$ROOT$UNIT.new" <<UNITFILE || fail "cannot write $UNIT"
[Unit]
Description=Keldra DNS filter
Wants=network-pre.target
Before=network-pre.target

[Service]
ExecStart=$LIBEXEC/keldra-proxy --env $LIBEXEC/Environment.json --dir $DATA --assert-dns --listen 127.0.0.1:53
Restart=always
RestartSec=2

[Install]
WantedBy=multi-user.target
UNITFILE
    chmod 0644 "$ROOT$UNIT.new" && mv -f "$ROOT$UNIT.new" "$ROOT$UNIT" || fail "cannot write $UNIT"
    for step in daemon-reload "enable keldra-proxy.service" "restart keldra-proxy.service"; do
        # shellcheck disable=SC2086 # the steps are fixed words
        if ! output=$(systemctl $step 2>&1); then
            fail "systemctl $step failed: $output"
        fi
    done
    exit 0
fi

# Without systemd (containers, build machines): stop the proxy an earlier run
# started, then start it directly.
if [ -f "$ROOT$PIDFILE" ]; then
    old=$(cat "$ROOT$PIDFILE" 2>/dev/null)
    case "$old" in
        ''|*[!0-9]*) ;;
        *)
            if [ "$(basename "$(readlink "/proc/$old/exe" 2>/dev/null)")" = keldra-proxy ] \
                || grep -q keldra-proxy "/proc/$old/cmdline" 2>/dev/null; then
                kill "$old" 2>/dev/null
                i=0
                while kill -0 "$old" 2>/dev/null && [ "$i" -lt 50 ]; do
                    sleep 0.1
                    i=$((i + 1))
                done
                kill -9 "$old" 2>/dev/null
            fi
            ;;
    esac
fi
mkdir -p "$ROOT$(dirname "$LOG")" "$ROOT$(dirname "$PIDFILE")" || fail "cannot create the log folder"
nohup "$PROXY" --env "$ENVIRONMENT" --dir "$ROOT$DATA" --assert-dns --listen 127.0.0.1:53 \
    </dev/null >>"$ROOT$LOG" 2>&1 &
echo "$!" > "$ROOT$PIDFILE" || fail "cannot write $PIDFILE"
exit 0
