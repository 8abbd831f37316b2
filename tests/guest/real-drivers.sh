#!/usr/bin/env bash
# The real tester on real serial drivers: boots a QEMU guest (TCG) from Debian's own kernel
# package, unpacked, and busybox, and runs build/looptest there against the 8250 driver (QEMU's
# 16550 as ttyS2) and ftdi_sio (QEMU's FTDI chip on xHCI as ttyUSB0). The window shows on a
# private Xvfb here, reached through a user-network guest forward, and is driven with xdotool.
# The host end of each line is a socat echo that keeps what the guest sent; farend --port runs
# in the guest on ttyS1 or ttyUSB0, joined to ttyS2 through QEMU (a null-modem cable); farend
# --relay reads the 8250's counters on ttyS1, and on ttyS3 the breaks sent to it over telnet.
# Prints one line per check and closes with "N passed, N failed". Downloads go to build/guest/.
#   usage: tests/guest/real-drivers.sh          (as root, or with sudo for apt-get)
set -uo pipefail
cd "$(dirname "$0")/../.."
repo=$PWD
started=$SECONDS

scripts/setup.sh --guest >/dev/null || { echo "real-drivers: set-up or build failed" >&2; exit 1; }
guest=$repo/build/guest
mkdir -p "$guest/cache"

# --- the kernel: Debian's current linux-image for amd64, unpacked, never installed -------------
kernel_package() { apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -1; }
package=$(kernel_package)
if [ -z "$package" ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    package=$(kernel_package)
fi
if [ ! -d "$guest/cache/$package" ]; then
    (cd "$guest/cache" && rm -f ./*.deb && apt-get download "$package" >/dev/null 2>&1) ||
        { echo "real-drivers: apt-get download $package failed" >&2; exit 1; }
    dpkg-deb -x "$guest/cache/$package"_*.deb "$guest/cache/$package.tmp" &&
        mv "$guest/cache/$package.tmp" "$guest/cache/$package"
    rm -f "$guest/cache/$package"_*.deb
fi
kroot=$guest/cache/$package
release=$(ls "$kroot/lib/modules")

# --- the initramfs: busybox, the drivers, the programs with their libraries and fonts ---------
root=$guest/root
rm -rf "$root"
mkdir -p "$root"/{bin,proc,sys,dev,etc,lib/modules}
cp /bin/busybox "$root/bin/busybox"
install -m 755 tests/guest/init "$root/init"
mkdir -p "$root/lib/modules/$release/kernel"
for dir in drivers/virtio drivers/char drivers/net/ethernet/intel/e1000 drivers/usb/common \
    drivers/usb/core drivers/usb/host drivers/usb/serial; do
    mkdir -p "$root/lib/modules/$release/kernel/$dir"
    cp "$kroot/lib/modules/$release/kernel/$dir"/*.ko "$root/lib/modules/$release/kernel/$dir/"
done
cp "$kroot/lib/modules/$release"/modules.{order,builtin} "$root/lib/modules/$release/"
# each file at its own path (links followed) with every library it loads
add() {
    local f lib
    for f in "$@"; do
        [ -e "$root$f" ] || cp -L --parents "$f" "$root"
        for lib in $(ldd "$f" 2>/dev/null | grep -o '/[^ ]*'); do
            [ -e "$root$lib" ] || cp -L --parents "$lib" "$root"
        done
    done
}
cp build/looptest build/farend build/guestprobe "$(command -v setserial)" "$root/bin/"
add /bin/busybox "$(command -v setserial)" /usr/lib/x86_64-linux-gnu/qt6/plugins/platforms/libqxcb.so
for f in looptest farend guestprobe; do
    for lib in $(ldd "build/$f" | grep -o '/[^ ]*'); do
        [ -e "$root$lib" ] || cp -L --parents "$lib" "$root"
    done
done
cp -rL --parents /usr/share/X11/locale /usr/lib/locale/C.utf8 /etc/fonts /usr/share/fonts/opentype/ipafont-gothic /usr/share/fonts/truetype/dejavu "$root"
(cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null) >"$guest/initramfs.cpio"

# --- the host side: X display, the lines' far ends, QEMU --------------------------------------
source scripts/xsession.sh
tmp=$_xs_tmp
cleanup() {
    local pid
    for pid in $(jobs -p); do kill "$pid" 2>/dev/null; done
    [ -z "${AGENT_PID:-}" ] || kill "$AGENT_PID" 2>/dev/null
    _xs_cleanup
}
trap cleanup EXIT
x_socket=/tmp/.X11-unix/X${DISPLAY#:}

qemu-system-x86_64 -M pc -accel tcg -cpu max -m 1024 -smp 1 -nodefaults -no-user-config \
    -display none -kernel "$kroot/boot/vmlinuz-$release" -initrd "$guest/initramfs.cpio" \
    -append "console=hvc0 random.trust_cpu=on quiet" \
    -chardev "socket,id=agent,path=$tmp/agent.sock,server=on,wait=on" \
    -device virtio-serial-pci -device virtconsole,chardev=agent \
    -chardev "socket,id=s1,path=$tmp/s1.sock,server=on,wait=off" -device isa-serial,index=1,chardev=s1 \
    -chardev "socket,id=s2,path=$tmp/s2.sock,server=on,wait=off" -device isa-serial,index=2,chardev=s2 \
    -chardev "socket,id=s3,path=$tmp/s3.sock,server=on,wait=off,telnet=on" \
    -device isa-serial,index=3,iobase=0x2e8,irq=5,chardev=s3 \
    -chardev "socket,id=usbc,path=$tmp/usb.sock,server=on,wait=off" \
    -device qemu-xhci,id=xhci -device usb-serial,chardev=usbc,id=usb0 \
    -netdev "user,id=n,restrict=on,guestfwd=tcp:10.0.2.100:6000-cmd:socat - UNIX-CONNECT:$x_socket" \
    -device e1000,netdev=n -monitor "unix:$tmp/monitor.sock,server=on,wait=off" \
    >"$tmp/qemu.log" 2>&1 &
for _ in $(seq 100); do [ -S "$tmp/agent.sock" ] && break; sleep 0.1; done
coproc AGENT { socat - "UNIX-CONNECT:$tmp/agent.sock"; }
boot_started=$SECONDS

# g CMD...: runs shell code in the guest; its output in $G_OUT, its status returned
g() {
    [[ $* != *$'\n'* ]] || { echo "real-drivers: a guest command is one line" >&2; exit 1; }
    printf '%s\n' "$*" >&"${AGENT[1]}"
    G_OUT=""
    local line
    while IFS= read -r -t 300 line <&"${AGENT[0]}"; do
        case $line in
        "@@END "*) G_OUT=${G_OUT%$'\n'}; return "${line#@@END }" ;;
        *) G_OUT+=$line$'\n' ;;
        esac
    done
    echo "real-drivers: the guest stopped answering" >&2
    exit 1
}
monitor() { (echo "$1"; sleep 0.5) | socat - "UNIX-CONNECT:$tmp/monitor.sock" >>"$tmp/monitor.log"; }

passed=0
failed=0
# check NAME FIGURE CONDITION...: runs the condition, counts and prints the outcome
check() {
    local name=$1 figure=$2
    shift 2
    if "$@"; then
        passed=$((passed + 1))
        echo "ok   $name${figure:+ ($figure)}"
    else
        failed=$((failed + 1))
        echo "FAIL $name${figure:+ ($figure)}"
    fi
}
has() { [[ $1 == *"$2"* ]]; }
# a tick that met the device gone: status 0 and the failure line of the RTS ioctl or the write
tick_failed() {
    has "$1" "status: exit 0"$'\n'"line: EscapeCommFunction failed." ||
        has "$1" "status: exit 0"$'\n'"line: WriteFile failed."
}
all() { local text=" ${1//[;$'\n']/ } " w; shift; for w in "$@"; do [[ $text == *" $w "* ]] || return 1; done; }

read -r -t 300 ready <&"${AGENT[0]}"
check "guest boots ($ready)" "$((SECONDS - boot_started)) s" has "$ready" "@@READY"
# --shell: the booted guest answers lines written to build/guest/shell (for finding faults)
if [ "${1:-}" = --shell ]; then
    rm -f "$guest/shell"
    mkfifo "$guest/shell"
    while :; do
        while IFS= read -r line; do g "$line"; echo "$G_OUT [$?]"; done <"$guest/shell"
    done
fi

# --- the far ends on the host -------------------------------------------------------------------

# echo LINE SOCKET: a socat echo on a guest line, what the guest sends kept in $tmp/sent-LINE
declare -A echo_pid
echo_on() {
    : >"$tmp/sent-$1"
    socat -r "$tmp/sent-$1" "UNIX-CONNECT:$tmp/$2.sock" PIPE &
    echo_pid[$1]=$!
}
echo_off() { kill "${echo_pid[$1]}" 2>/dev/null; wait "${echo_pid[$1]}" 2>/dev/null; }
# join A B: a null-modem cable between two guest lines
join_on() { socat "UNIX-CONNECT:$tmp/$1.sock" "UNIX-CONNECT:$tmp/$2.sock" & join_pid=$!; }
join_off() { kill "$join_pid" 2>/dev/null; wait "$join_pid" 2>/dev/null; }
sent_size() { stat -c %s "$tmp/sent-$1"; }
# exact_from LINE OFFSET: what reached the far end since OFFSET is the cycle from "0"
exact_from() {
    local got expected="" cycle=0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ
    got=$(tail -c +$(($2 + 1)) "$tmp/sent-$1")
    while ((${#expected} < ${#got})); do expected+=$cycle; done
    [ -n "$got" ] && [ "$got" = "${expected:0:${#got}}" ]
}
# sent_exact STATUS LINE OFFSET: send gave STATUS 0 and the cycle is exact from OFFSET
sent_exact() { [ "$1" -eq 0 ] && exact_from "$2" "$3"; }

wait_window() { timeout 120 xdotool search --sync --onlyvisible --name "$layout_title_pattern" | head -1; }
# start_sending LINE: clicks Start and waits for bytes at the far end. A guest window slow to
# open its period list takes the click as the one that closes the list; a click that sent
# nothing in 3 s is repeated once. Prints how many clicks it took, 0 if nothing was sent.
start_sending() {
    local mark clicks
    mark=$(sent_size "$1")
    for clicks in 1 2; do
        click_start_stop "$window"
        for _ in $(seq 30); do
            (($(sent_size "$1") > mark)) && { echo "$clicks"; return; }
            sleep 0.1
        done
    done
    echo 0
}
# stop_sending LINE: clicks Stop and waits until nothing arrives for 0.5 s; as start_sending
stop_sending() {
    local clicks size
    for clicks in 1 2; do
        click_start_stop "$window"
        for _ in $(seq 6); do
            size=$(sent_size "$1")
            sleep 0.5
            [ "$(sent_size "$1")" = "$size" ] && { echo "$clicks"; return; }
        done
    done
    echo 0
}
# send STEPS SECONDS LINE: chooses the period STEPS down the list from where it is, sends, stops;
# fails unless both clicks took, and says in $clicks when one was repeated
send() {
    choose_period "$window" "$1"
    local on off
    on=$(start_sending "$3")
    sleep "$2"
    off=$(stop_sending "$3")
    clicks=""
    [ "$on$off" = 11 ] || clicks="; Start clicked $on, Stop $off time(s)"
    [ "$on" -gt 0 ] && [ "$off" -gt 0 ]
}
# tester DIR: starts it in the guest, sets $tpid and $window
tester() {
    g "start_tester $1"
    tpid=$G_OUT
    window=$(wait_window)
    [ -n "$window" ] || echo "real-drivers: no tester window; the guest said: $(g "cat $1/err"; echo "$G_OUT")"
}
# given_back NAME DEVICE BEFORE STATUS: the end of a run gave the line back as found
given_back() {
    local name=$1 dev=$2 before=$3 status=$4 dir=$5
    g "tester_end $dir"
    local end=$G_OUT
    check "$name: status and line" "${end//$'\n'/, }" has "$end" "status: $status"$'\n'"line: "
    g "stty -F $dev -g"
    check "$name: settings as found" "" [ "$G_OUT" = "$before" ]
    g "ls /run/lock/LCK..${dev#/dev/} 2>/dev/null"
    check "$name: no lock file" "${G_OUT:-none}" [ -z "$G_OUT" ]
    g "guestprobe free $dev"
    check "$name: the port opens again, no flock, not exclusive" "$G_OUT" [ $? -eq 0 ]
}

# run_cycle NAME DEVICE LINE: settings applied, lock and RTS while running, the exact cycle at
# 100 ms and then 10 ms, and the close
run_cycle() {
    local name=$1 dev=$2 line=$3 before mark
    g "com3 $dev; stty -F $dev -g"
    before=$G_OUT
    tester /tmp/t
    g "stty -F $dev -a"
    check "$name: 9600 cs8 -parenb -cstopb raw as applied" "$(echo "$G_OUT" | head -1)" \
        all "$G_OUT" "speed 9600 baud" cs8 -parenb -cstopb -icanon -echo -isig -iexten \
        -ixon -ixoff -icrnl -opost clocal cread min = 1 time = 0
    g "cat /run/lock/LCK..${dev#/dev/}"
    check "$name: lock file holds the tester's PID" "$G_OUT" [ "$(echo $G_OUT)" = "$tpid" ]
    mark=$(sent_size "$line")
    local t0=$SECONDS
    send 5 4 "$line"
    local sent100=$? n100=$(($(sent_size "$line") - mark)) clicks100=$clicks
    g "guestprobe lines $dev"
    local modem=$G_OUT
    if [ "$dev" = /dev/ttyS2 ]; then g "uart_line ttyS2"; modem="$modem; /proc: $G_OUT"; fi
    check "$name: RTS asserted" "$modem" has "$modem" RTS
    check "$name: exact cycle at 100 ms" "$n100 bytes in 4 s$clicks100" \
        sent_exact "$sent100" "$line" "$mark"
    local mid
    mid=$(sent_size "$line")
    send 5 4 "$line"
    local sent10=$? n10=$(($(sent_size "$line") - mid))
    check "$name: exact cycle at 10 ms, continuing" "$n10 bytes in 4 s$clicks" \
        sent_exact "$sent10" "$line" "$mark"
    close_window "$window"
    given_back "$name, window closed" "$dev" "$before" "exit 0" /tmp/t
}

# run_signal NAME DEVICE SIGNAL STATUS
run_signal() {
    local before
    g "stty -F $2 -g"
    before=$G_OUT
    tester /tmp/t
    choose_period "$window" 10
    click_start_stop "$window"
    sleep 1.5
    g "kill -$3 $tpid"
    given_back "$1, SIG$3" "$2" "$before" "$4" /tmp/t
}

# run_flow NAME DEVICE LINE: started from 19200 -clocal crtscts icanon ixon
run_flow() {
    local name=$1 dev=$2 line=$3 boot before mark
    g "stty -F $dev -g"
    boot=$G_OUT
    g "stty -F $dev 19200 -clocal crtscts icanon ixon; stty -F $dev -g"
    before=$G_OUT
    tester /tmp/t
    g "stty -F $dev -a"
    check "$name from 19200 -clocal crtscts icanon ixon: 9600 raw, crtscts kept" \
        "$(echo "$G_OUT" | head -1)" all "$G_OUT" "speed 9600 baud" crtscts -icanon -ixon cs8
    mark=$(sent_size "$line")
    send 10 3 "$line"
    local sent=$?
    check "$name with crtscts: exact cycle at 10 ms" "$(($(sent_size "$line") - mark)) bytes in 3 s$clicks" \
        sent_exact "$sent" "$line" "$mark"
    close_window "$window"
    given_back "$name from 19200 -clocal crtscts icanon ixon" "$dev" "$before" "exit 0" /tmp/t
    g "stty -F $dev $boot"
}

# latency NAME DEVICE: the lone echo at 9600, as the tester's read sees it
latency() {
    g "guestprobe rtt $2 100"
    check "$1" "$G_OUT" has "$G_OUT" "lost 0 "
}

# --- the 8250 driver: QEMU's 16550 as ttyS2 -----------------------------------------------------
echo_on 8250 s2
run_cycle "8250" /dev/ttyS2 8250
run_signal "8250" /dev/ttyS2 TERM "exit 0"
run_signal "8250" /dev/ttyS2 INT "exit 0"
run_signal "8250" /dev/ttyS2 HUP "exit 0"
run_signal "8250" /dev/ttyS2 USR1 "signal 10"
run_flow "8250" /dev/ttyS2 8250
g "cat /sys/class/tty/ttyS2/rx_trig_bytes"
trig=$G_OUT
latency "8250 lone echo at 9600, rx_trig_bytes $trig (default)" /dev/ttyS2
g "echo 1 >/sys/class/tty/ttyS2/rx_trig_bytes; cat /sys/class/tty/ttyS2/rx_trig_bytes"
latency "8250 lone echo at 9600, rx_trig_bytes $G_OUT" /dev/ttyS2
g "echo $trig >/sys/class/tty/ttyS2/rx_trig_bytes"

# --- ftdi_sio: QEMU's FTDI chip as ttyUSB0 ------------------------------------------------------
usb_attached() { g "for _ in \$(seq 100); do [ -e /dev/ttyUSB0 ] && exit 0; sleep 0.1; done; exit 1"; }
echo_on usb usb
usb_attached
check "ftdi_sio binds the adapter as ttyUSB0" "" [ $? -eq 0 ]
run_cycle "ftdi_sio" /dev/ttyUSB0 usb
run_signal "ftdi_sio" /dev/ttyUSB0 TERM "exit 0"
run_flow "ftdi_sio" /dev/ttyUSB0 usb
lt=/sys/bus/usb-serial/devices/ttyUSB0/latency_timer
g "cat $lt"
timer=$G_OUT
latency "ftdi_sio lone echo at 9600, latency_timer $timer (default)" /dev/ttyUSB0
g "echo 1 >$lt; cat $lt"
latency "ftdi_sio lone echo at 9600, latency_timer $G_OUT" /dev/ttyUSB0
g "echo $timer >$lt; setserial /dev/ttyUSB0 low_latency; cat $lt"
latency "ftdi_sio lone echo at 9600, setserial low_latency (latency_timer $G_OUT)" /dev/ttyUSB0
g "setserial /dev/ttyUSB0 ^low_latency; echo $timer >$lt"

# --- farend --port in the guest, joined to the tester's ttyS2 by QEMU -------------------------
# run_farend NAME DEVICE: farend on DEVICE, the tester on ttyS2, 5 s at 10 ms
run_farend() {
    local before
    g "stty -F $2 -g"
    before=$G_OUT
    g "rm -rf /tmp/f; mkdir /tmp/f; guestprobe run /tmp/f farend --port $2 >/dev/null 2>/tmp/f/err & for _ in \$(seq 100); do [ -s /tmp/f/pid ] && break; sleep 0.1; done; cat /tmp/f/pid"
    local fpid=$G_OUT
    g "com3 /dev/ttyS2; stty -F /dev/ttyS2 -g"
    local tbefore=$G_OUT
    tester /tmp/t
    choose_period "$window" 10
    click_start_stop "$window"
    sleep 5
    click_start_stop "$window"
    sleep 0.5
    close_window "$window"
    given_back "$1: the tester" /dev/ttyS2 "$tbefore" "exit 0" /tmp/t
    g "kill -INT $fpid; for _ in \$(seq 100); do [ -s /tmp/f/status ] && break; sleep 0.1; done; cat /tmp/f/status; grep '^farend: received' /tmp/f/err"
    check "$1: farend saw the exact cycle" "${G_OUT//$'\n'/: }" has "$G_OUT" "test cycle exact"
    g "stty -F $2 -g"
    check "$1: farend gave its line back" "" [ "$G_OUT" = "$before" ]
}
echo_off 8250
echo_off usb
join_on s1 s2
run_farend "farend --port /dev/ttyS1 (8250 both ends)" /dev/ttyS1

# --- farend --relay with ttyS1 as its serial target: the 8250's counters (TIOCGICOUNT) -------
# relay_run FAR...: farend --relay /dev/ttyS1 (COM3 at /tmp/r/COM3), the far end FAR... on
# ttyS2 through QEMU; guestprobe plays the tester (100 lone echoes); the relay's report in $G_OUT
relay_run() {
    g "rm -rf /tmp/r /tmp/rf; mkdir /tmp/r /tmp/rf; guestprobe run /tmp/rf $* >/dev/null 2>/tmp/rf/err & guestprobe run /tmp/r farend --relay /dev/ttyS1 --link /tmp/r/COM3 --interval 0 --report /tmp/r/report.json >/dev/null 2>/tmp/r/err & for _ in \$(seq 100); do [ -e /tmp/r/COM3 ] && break; sleep 0.1; done"
    g "guestprobe rtt /tmp/r/COM3 100"
    relay_rtt=$G_OUT
    g "kill -INT \$(cat /tmp/r/pid) \$(cat /tmp/rf/pid); for _ in \$(seq 100); do [ -s /tmp/r/status ] && break; sleep 0.1; done; cat /tmp/r/report.json"
}
# counter NAME: a figure of the report's uart_counters, empty when not reported
counter() { tr -d ' \n' <<<"$G_OUT" | grep -o "\"uart_counters\":{[^}]*}" | grep -o "\"$1\":[0-9]*" | cut -d: -f2; }
relay_run farend --port /dev/ttyS2
check "farend --relay /dev/ttyS1 reads TIOCGICOUNT on the 8250" \
    "$(tr -d ' \n' <<<"$G_OUT" | grep -o '"uart_counters":[^}]*}')" [ -n "$(counter framing)" ]
check "farend --relay: the 8250's counts follow the bytes" \
    "tx $(counter tx), rx $(counter rx); tester: $relay_rtt" [ "$(counter tx) $(counter rx)" = "100 100" ]
# QEMU's 16550 hands bytes to a socket, not bits at a speed: no frame error can be made here
check "farend --relay: a clean line, no frame error" \
    "framing $(counter framing), overrun $(counter overrun)" [ "$(counter framing)" = 0 ]
# a break from the far side: QEMU's telnet socket makes IAC BREAK one on ttyS3's 16550
g "setserial /dev/ttyS3 irq 5; rm -rf /tmp/r; mkdir /tmp/r; guestprobe run /tmp/r farend --relay /dev/ttyS3 --link /tmp/r/COM3 --interval 0 --report /tmp/r/report.json >/dev/null 2>/tmp/r/err & for _ in \$(seq 100); do [ -e /tmp/r/COM3 ] && break; sleep 0.1; done"
(sleep 0.5; printf '\377\363'; sleep 0.5; printf '\377\363'; sleep 0.5) | socat - "UNIX-CONNECT:$tmp/s3.sock" >/dev/null
g "kill -INT \$(cat /tmp/r/pid); for _ in \$(seq 100); do [ -s /tmp/r/status ] && break; sleep 0.1; done; cat /tmp/r/report.json"
check "farend --relay /dev/ttyS3: breaks sent from the far side counted by the 8250" \
    "break $(counter break), framing $(counter framing), rx $(counter rx)" [ "$(counter break)" -ge 1 ]
join_off
join_on usb s2
usb_attached
run_farend "farend --port /dev/ttyUSB0 (ftdi_sio far end)" /dev/ttyUSB0
join_off

# --- the adapter pulled out mid-run, and put back -------------------------------------------
# unplug NAME STEPS: the tester on ttyUSB0 sending, then QEMU's device_del; from the second on,
# device_add first puts the adapter back, as a new device on the same chardev
plugged=0
unplug() {
    if ((plugged > 0)); then
        monitor "device_add usb-serial,chardev=usbc,id=usb$plugged"
        usb_attached
        check "$1: device_add brings the adapter back as ttyUSB0" "" [ $? -eq 0 ]
    fi
    g "com3 /dev/ttyUSB0"
    tester /tmp/t
    choose_period "$window" "$2"
    local clicks
    clicks=$(start_sending usb)
    check "$1: sending before the unplug" "Start clicked $clicks time(s)" [ "$clicks" -gt 0 ]
    sleep 2
    monitor "device_del usb$plugged"
    plugged=$((plugged + 1))
    # a hang-up met by the read shows the read warning; dismissed, the next tick fails
    g "tester_end /tmp/t 5"
    local warned=""
    if has "$G_OUT" "status: running"; then
        local box
        box=$(timeout 10 xdotool search --sync --onlyvisible --name '^警告$' | head -1)
        if [ -n "$box" ]; then
            warned="read warning shown and dismissed, then "
            xdotool windowactivate --sync "$box" key Return
        fi
    fi
    g "tester_end /tmp/t"
    local end=$warned$G_OUT
    # the driver's disconnect starts with the USB core's line and ends with ftdi_sio's; a control
    # request in flight when the device went (the tester's RTS ioctl) holds it up to 5 s. The
    # tick's first call to fail says it: the RTS ioctl, or the write when the device went between
    # the two
    g "said=\$(kmsg_ms 'looptest said'); echo \$((said - \$(kmsg_ms 'USB disconnect'))) \$((said - \$(kmsg_ms 'now disconnected from ttyUSB0')))"
    local after=${G_OUT% *} ended=${G_OUT#* }
    check "$1: failure line and status 0" \
        "${end//$'\n'/, }; ${after} ms after the driver's disconnect began, ${ended} ms after it ended" \
        tick_failed "$end"
    g "ls /run/lock/LCK..ttyUSB0 2>/dev/null"
    check "$1: no lock file left" "${G_OUT:-none}" [ -z "$G_OUT" ]
    # a tester left running keeps the old node open, and the adapter would come back as ttyUSB1
    g "kill -KILL $tpid 2>/dev/null"
}
echo_on usb usb
usb_attached
unplug "ftdi_sio pulled out at 100 ms" 5
unplug "ftdi_sio put back and pulled out at 1 ms" end
unplug "ftdi_sio put back again and pulled out at 100 ms" 5
[ "$failed" -eq 0 ] || { echo "QEMU's monitor said:"; tr -d '\r' <"$tmp/monitor.log" | grep -v '^(qemu)' | sed 's/^/  /'; }

echo "guest test: $((SECONDS - started)) s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
