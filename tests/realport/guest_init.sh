#!/bin/busybox sh
# shellcheck shell=dash
# The guest's whole user space, run as /init from the initramfs: busybox sh,
# not bash, since the initramfs holds nothing but busybox, the program and
# the probe. Brings the port up (the 16550 as it is, the USB adapter's or
# the PCI card's port bound over /dev/ttyS0), runs comtrace with the probe
# beside it, and reports on the console (lines starting "realport ") with
# the trace sent whole to the third UART. The kernel command line's
# realport=uart|usb|pci picks the port.
/bin/busybox mkdir -p /bin /proc /sys /dev /tmp
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
exec </dev/console >/dev/console 2>&1
# Kernel messages would interleave with the report.
dmesg -n 1
stty -F /dev/console -opost

finish() {
    # The console's last lines need a moment to leave the UART.
    sleep 1
    poweroff -f
}

mode=$(sed -n 's/.*realport=\([a-z]*\).*/\1/p' /proc/cmdline)
# A fault the rig causes on the line once the driver has received
# realport_mark bytes (the probe asks for it on the console), or "held":
# another program has the port before comtrace starts.
fault=$(sed -n 's/.*realport_fault=\([a-z]*\).*/\1/p' /proc/cmdline)
mark=$(sed -n 's/.*realport_mark=\([0-9]*\).*/\1/p' /proc/cmdline)
case "$mode" in
uart) ;;
usb)
    # The kernel package has no module index: load in dependency order.
    for module in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
        insmod /modules/$module.ko || echo "realport error cannot load $module"
    done
    waited=0
    while [ ! -c /dev/ttyUSB0 ] && [ $waited -lt 100 ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
    if ! mount --bind /dev/ttyUSB0 /dev/ttyS0; then
        echo "realport error no /dev/ttyUSB0 to bind over /dev/ttyS0"
        finish
    fi
    ;;
pci)
    # 8250_pci is built into the kernel: the card's port is the ttyS whose
    # device sits on the PCI bus, numbered after the machine's own UARTs.
    card=
    for tty in /sys/class/tty/ttyS*; do
        case "$(readlink "$tty/device/subsystem")" in
        */bus/pci) card=/dev/${tty##*/} ;;
        esac
    done
    echo "realport card ${card:-none}"
    if [ -z "$card" ] || [ "$card" = /dev/ttyS0 ] || ! mount --bind "$card" /dev/ttyS0; then
        echo "realport error no PCI serial port other than ttyS0 to bind over /dev/ttyS0"
        finish
    fi
    ;;
*)
    echo "realport error unknown mode '$mode'"
    finish
    ;;
esac

# Open to all, as a dialout group would make it: what keeps another user
# out while comtrace has the port must be the program's lock, not this.
chmod 666 /dev/ttyS0
echo "realport booted $(cut -d' ' -f1 /proc/uptime)"
if [ "$fault" = held ]; then
    sleep 100000 <>/dev/ttyS0 &
    holder=$!
    # The program must start only once the holder has the port.
    waited=0
    while ! [ /proc/$holder/fd/0 -ef /dev/ttyS0 ] && [ $waited -lt 50 ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
    echo "realport holder $holder"
fi
/comtrace </dev/null >/tmp/trace 2>/tmp/trace.err &
program=$!
if [ "$fault" = held ]; then
    # The program never gets the port: nothing to watch.
    echo "probe skipped" >/tmp/probe
elif [ -n "$fault" ]; then
    /port_probe /dev/ttyS0 $program "$mark" "realport rig $fault" >/tmp/probe
else
    /port_probe /dev/ttyS0 $program >/tmp/probe 2>&1
fi
wait $program
status=$?
if [ "$fault" = held ]; then
    kill "$holder"
fi
echo "realport ended $(cut -d' ' -f1 /proc/uptime)"
cat /tmp/probe
sed 's/^/realport stderr /' /tmp/trace.err
if [ "$fault" = unplug ]; then
    # What the kernel made of the removal, for a failure's report.
    dmesg | grep -i -e disconnect -e ftdi | sed 's/^/realport kernel /'
fi
echo "realport exit $status"
echo "realport trace-bytes $(wc -c </tmp/trace)"
# Closing the port waits until every byte has gone out.
stty -F /dev/ttyS2 raw -echo
cat /tmp/trace >/dev/ttyS2
echo "realport done"
finish
