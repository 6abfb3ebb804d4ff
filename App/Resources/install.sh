#!/bin/sh
# Installs Keldra's resolver-level service. Run as root:
#   /bin/sh install.sh RESOURCES CODE NAME
# RESOURCES is the app bundle's Contents/Resources (keldra-proxy,
# keldra-networksetup, Environment.json). With a CODE the machine is enrolled
# once, under NAME; an empty CODE repairs: the enrolment is kept and the
# service restarted. Exits 0 once the proxy serves DNS on 127.0.0.1:53;
# otherwise writes its reason on standard error and exits 1 (never 126 or
# 127, which the app reads as a dismissed password prompt).
#
# The code and the name are handed to keldra-proxy as arguments of their
# own and are never written into the unit file: a unit's ExecStart expands
# "%" and "$" and cannot hold a line break.
#
# Whatever umask it was started with, everything it creates gets a mode of
# its own, and nothing is written to a place that a user other than root
# could swap: every target and every folder above it must belong to root and
# be writable by neither group nor others (a root-owned folder with the
# sticky bit excepted), and a symbolic link at a target is refused. All
# targets are checked before anything is written.

umask 022

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
STAFF_MARKER=/etc/staff-group-for-usr-local

# refuse TARGET PLACE WHY
refuse() {
    message="cannot write $1: $2 $3, so a user other than root could swap what is installed there"
    if [ -e "$ROOT$STAFF_MARKER" ]; then
        message="$message (this machine keeps /usr/local writable by the group staff, as $ROOT$STAFF_MARKER says: members of staff could swap the program; make the folder root:root 0755 first)"
    fi
    fail "$message"
}

# check_places TARGET START FOLLOWED: walks from START up to "/"; sets
# SAW_LINK when a folder on the way is a link.
check_places() {
    place=$2
    while :; do
        if [ -L "$place" ]; then
            [ "$place" = "$1" ] && [ "$3" = no ] && refuse "$1" "$place" "is a symbolic link (it is never followed)"
            [ "$(stat -c %u "$place")" = 0 ] || refuse "$1" "$place" "is a symbolic link that root does not own"
            SAW_LINK=yes
        elif [ -e "$place" ]; then
            owner=$(stat -c %u "$place") && bits=$(stat -c %f "$place") || refuse "$1" "$place" "cannot be checked"
            [ "$owner" = 0 ] || refuse "$1" "$place" "does not belong to root"
            # 18 is 022 (group and others may write), 512 is 01000 (sticky).
            if [ $((0x$bits & 18)) -ne 0 ]; then
                if [ "$place" = "$1" ] || [ ! -d "$place" ] || [ $((0x$bits & 512)) -eq 0 ]; then
                    refuse "$1" "$place" "is writable by group or others"
                fi
            fi
        fi
        [ "$place" = / ] && return 0
        place=$(dirname "$place")
    done
}

# check_target TARGET: refuses (and exits) unless root alone can change
# TARGET and every folder above it.
check_target() {
    SAW_LINK=no
    check_places "$1" "$1" no
    if [ "$SAW_LINK" = yes ]; then
        existing=$(dirname "$1")
        while [ ! -e "$existing" ]; do existing=$(dirname "$existing"); done
        resolved=$(readlink -f "$existing") || refuse "$1" "$existing" "cannot be resolved"
        check_places "$1" "$resolved" yes
    fi
}

# make_folder FOLDER MODE: creates FOLDER (and any folder missing above it,
# with 0755) and gives it MODE.
make_folder() {
    create_missing "$1"
    chmod "$2" "$1" || fail "cannot set the mode of $1"
}
create_missing() {
    [ -d "$1" ] && return 0
    create_missing "$(dirname "$1")"
    mkdir -m 0755 "$1" || fail "cannot create $1"
}

# install_file SOURCE TARGET MODE: copies next to the target, then renames
# over it, so a half copy never runs. The copy never follows a link and never
# reads a special file (a link, a pipe or a device is copied as itself); what
# arrives is then refused unless it is a regular file. Looking at SOURCE
# before copying would leave a moment to swap it.
install_file() {
    rm -rf "$2.new" && cp -RP "$1" "$2.new" || fail "cannot install $(basename "$2")"
    if [ -L "$2.new" ] || [ ! -f "$2.new" ]; then
        rm -rf "$2.new"
        fail "cannot install $(basename "$2"): $1 is not a regular file (a symbolic link is never followed)"
    fi
    chmod "$3" "$2.new" && mv -f "$2.new" "$2" || fail "cannot install $(basename "$2")"
}

for file in keldra-proxy keldra-networksetup Environment.json; do
    [ -f "$RESOURCES/$file" ] || fail "This copy of the app is missing $file."
done

for target in "$LIBEXEC" "$LIBEXEC/keldra-proxy" "$LIBEXEC/keldra-networksetup" "$LIBEXEC/Environment.json" \
    "$LIBEXEC/libbrivet_core.so" "$DATA" "$UNIT" "$PIDFILE" "$LOG"; do
    check_target "$ROOT$target"
done

# The programs go to a root-owned place; keldra-proxy finds keldra-networksetup
# beside itself.
make_folder "$ROOT$LIBEXEC" 0755
for file in keldra-proxy keldra-networksetup Environment.json; do
    mode=0755
    [ "$file" = Environment.json ] && mode=0644
    install_file "$RESOURCES/$file" "$ROOT$LIBEXEC/$file" "$mode"
done
# The shared core library travels beside the programs when the bundle has it.
if [ -f "$RESOURCES/libbrivet_core.so" ]; then
    install_file "$RESOURCES/libbrivet_core.so" "$ROOT$LIBEXEC/libbrivet_core.so" 0644
fi

# The data folder is readable by all, so that the app can read status.json;
# every file in it keeps its own mode.
make_folder "$ROOT$DATA" 0755

PROXY="$ROOT$LIBEXEC/keldra-proxy"
ENVIRONMENT="$ROOT$LIBEXEC/Environment.json"

if [ -n "$CODE" ]; then
    if ! output=$("$PROXY" --env "$ENVIRONMENT" --dir "$ROOT$DATA" --enroll "$CODE" --name "$NAME" --once 2>&1); then
        fail "Enrolment failed: $(printf '%s\n' "$output" | tail -n 3)"
    fi
fi

# The unit is written in both cases: its presence is what tells the app the
# service is installed, and without systemd it records what was started.
# write_unit [NOTE]
write_unit() {
    make_folder "$ROOT$(dirname "$UNIT")" 0755
    rm -f "$ROOT$UNIT.new"
    {
        [ -n "${1:-}" ] && printf '# %s\n' "$1"
        cat <<UNITFILE
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
    } > "$ROOT$UNIT.new" || fail "cannot write $UNIT"
    chmod 0644 "$ROOT$UNIT.new" && mv -f "$ROOT$UNIT.new" "$ROOT$UNIT" || fail "cannot write $UNIT"
}

# serves PID: true when process PID holds a UDP socket bound to
# 127.0.0.1:53, read from /proc alone (nothing else the machine may lack). The
# socket must be the process's own: another server on that port does not
# count.
serves() {
    case "$1" in ''|0|*[!0-9]*) return 1 ;; esac
    sockets=
    for fd in "/proc/$1/fd/"*; do
        link=$(readlink "$fd" 2>/dev/null) || continue
        case "$link" in
            "socket:["*"]") link=${link#socket:[}; sockets="$sockets ${link%]} " ;;
        esac
    done
    [ -n "$sockets" ] || return 1
    # Columns: slot, local address, remote address, state, queues, timer,
    # retransmits, uid, timeout, inode. The address is hexadecimal in the
    # machine's byte order. Read through cat: the process may be gone by
    # now, and a failed redirection could end the script.
    # shellcheck disable=SC2002
    cat "/proc/$1/net/udp" 2>/dev/null | {
        while read -r _ address _ _ _ _ _ _ _ inode _; do
            case "$address" in
                0100007F:0035|7F000001:0035)
                    case "$sockets" in *" $inode "*) exit 0 ;; esac
                    ;;
            esac
        done
        exit 1
    }
}

# running PID: true while process PID exists and has not ended. A process
# that has ended stays a zombie until its parent reaps it, which for an
# orphan can take a while; `kill -0` would count it as running. The state
# is the first field after the name, which is in parentheses and may hold
# anything.
running() {
    case "$1" in ''|0|*[!0-9]*) return 1 ;; esac
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    case "${stat##*) }" in
        ''|Z*|X*|x*) return 1 ;;
    esac
    return 0
}

# Seconds the proxy gets to start serving. It normally does within a second;
# a large saved blocklist takes longer to read.
WAIT=10

# restore_dns: the proxy points the resolver file at 127.0.0.1 (its
# --assert-dns, through keldra-networksetup) and keeps a script that puts
# back what was there before. When no proxy serves, a resolver file still
# pointing here leaves the machine without DNS: run that script. Prints a
# line when the resolver file still points here afterwards.
restore_dns() {
    tool="$ROOT$LIBEXEC/keldra-networksetup"
    restore="$ROOT$DATA/dns-restore.sh"
    # Without the script the proxy never pointed them here.
    [ -f "$restore" ] && [ ! -L "$restore" ] && [ "$(stat -c %u "$restore")" = 0 ] || return 0
    [ "$("$tool" -getdnsservers resolv.conf 2>/dev/null)" = 127.0.0.1 ] || return 0
    /bin/sh "$restore" >/dev/null 2>&1
    if [ "$("$tool" -getdnsservers resolv.conf 2>/dev/null)" = 127.0.0.1 ]; then
        printf '%s\n' "The DNS settings still point at 127.0.0.1; put them back with: sh $DATA/dns-restore.sh"
    fi
}

# not_serving LOG_LINES: the proxy did not start (it has been stopped): put
# the DNS settings back and fail with the last lines of its log.
not_serving() {
    dns=$(restore_dns)
    fail "keldra-proxy did not start serving DNS on 127.0.0.1:53.
$1${dns:+
$dns}"
}

# The stretch that replaces the service: once it has begun, the script either
# finishes with the new proxy serving or puts the DNS settings back (when the
# old proxy pointed them here). A Ctrl-C, a terminal closing (HUP to the
# whole process group), a kill's TERM or a stop key must not end it half way,
# with no proxy left and the resolver file still pointing at 127.0.0.1: these
# signals are ignored from here to the end. The programs the script runs
# inherit that, the new proxy too (it still takes them, see below).
ignore_stops() {
    trap '' HUP INT QUIT TERM TSTP TTIN TTOU
}

if [ -d "$ROOT/run/systemd/system" ]; then
    write_unit
    ignore_stops
    for step in daemon-reload "enable keldra-proxy.service" "restart keldra-proxy.service"; do
        # shellcheck disable=SC2086 # the steps are fixed words
        if ! output=$(systemctl $step 2>&1); then
            # A restart that failed may have stopped the old proxy already.
            case "$step" in restart*)
                systemctl stop keldra-proxy.service >/dev/null 2>&1
                not_serving "systemctl $step failed: $output"
                ;;
            esac
            fail "systemctl $step failed: $output"
        fi
    done
    # The service counts as started once its process serves. Its process
    # exists once the restart has returned; when it ends meanwhile (systemd
    # would start another two seconds later) the service did not start.
    first=$(systemctl show --property=MainPID --value keldra-proxy.service 2>/dev/null)
    i=0
    while :; do
        pid=$(systemctl show --property=MainPID --value keldra-proxy.service 2>/dev/null)
        serves "$pid" && exit 0
        case "$pid" in ''|0) break ;; esac
        [ "$pid" = "$first" ] && [ "$i" -lt $((WAIT * 20)) ] || break
        sleep 0.05
        i=$((i + 1))
    done
    systemctl stop keldra-proxy.service >/dev/null 2>&1
    not_serving "Its journal ends:
$(journalctl --unit=keldra-proxy.service --lines=5 --no-pager --output=cat 2>&1)"
fi

# Without systemd (containers, build machines): stop the proxy an earlier run
# started, then start it directly. Everything that can be done while the old
# one still serves is done first, so that the machine goes without a proxy
# only from the old one's end to the new one's first answer.
make_folder "$ROOT$(dirname "$LOG")" 0755
make_folder "$ROOT$(dirname "$PIDFILE")" 0755
if [ ! -e "$ROOT$LOG" ]; then
    (umask 077 && : > "$ROOT$LOG") || fail "cannot create $LOG"
fi
chmod 0640 "$ROOT$LOG" || fail "cannot set the mode of $LOG"
logged=$(wc -c < "$ROOT$LOG") || fail "cannot read $LOG"
old=
if [ -f "$ROOT$PIDFILE" ]; then
    old=$(cat "$ROOT$PIDFILE" 2>/dev/null)
    case "$old" in
        ''|*[!0-9]*) old= ;;
        *)
            if [ "$(basename "$(readlink "/proc/$old/exe" 2>/dev/null)")" != keldra-proxy ] \
                && ! grep -q keldra-proxy "/proc/$old/cmdline" 2>/dev/null; then
                old=
            fi
            ;;
    esac
fi

ignore_stops
if [ -n "$old" ]; then
    kill "$old" 2>/dev/null
    i=0
    while running "$old" && [ "$i" -lt 250 ]; do
        sleep 0.02
        i=$((i + 1))
    done
    if running "$old"; then
        kill -9 "$old" 2>/dev/null
        i=0
        while running "$old" && [ "$i" -lt 250 ]; do
            sleep 0.02
            i=$((i + 1))
        done
    fi
fi
# A session of its own: the proxy ends on SIGINT, SIGTERM and SIGHUP, and
# must outlive the terminal and the process group that started the install
# (a Ctrl-C there, or the terminal closing). The background child is never a
# process group leader, so setsid does not fork and $! is the proxy. It keeps
# the signals ignored above until it is in its own session, where a signal to
# the installer's group no longer reaches it: given back any earlier, a Ctrl-C
# in between would end the new proxy as it starts. The proxy still stops on
# them: it blocks them and waits for them, and Linux delivers a blocked
# signal even when it was ignored.
setsid "$PROXY" --env "$ENVIRONMENT" --dir "$ROOT$DATA" --assert-dns --listen 127.0.0.1:53 \
    </dev/null >>"$ROOT$LOG" 2>&1 &
pid=$!
rm -f "$ROOT$PIDFILE.new"
echo "$pid" > "$ROOT$PIDFILE.new" && chmod 0644 "$ROOT$PIDFILE.new" && mv -f "$ROOT$PIDFILE.new" "$ROOT$PIDFILE" \
    || fail "cannot write $PIDFILE"
i=0
until serves "$pid"; do
    if ! running "$pid" || [ "$i" -ge $((WAIT * 20)) ]; then
        # Stopped for good, so that it cannot point the DNS settings here
        # after they are put back.
        kill -9 "$pid" 2>/dev/null
        rm -f "$ROOT$PIDFILE"
        not_serving "The lines it logged to $LOG:
$(tail -c +$((logged + 1)) "$ROOT$LOG" | tail -n 5)"
    fi
    sleep 0.05
    i=$((i + 1))
done
write_unit "Started directly, without systemd: its process id is in $PIDFILE, its log in $LOG."
exit 0
