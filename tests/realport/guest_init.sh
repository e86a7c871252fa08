#!/bin/busybox sh
# shellcheck shell=dash
# The guest's whole user space, run as /init from the initramfs. Brings the
# port up (the 16550 as it is, or the USB adapter's driver bound over
# /dev/ttyS0), runs comtrace with the probe beside it, and reports on the
# console (lines starting "realport ") with the trace sent whole to the
# third UART. The kernel command line's realport=uart|usb picks the port.
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
*)
    echo "realport error unknown mode '$mode'"
    finish
    ;;
esac

echo "realport booted $(cut -d' ' -f1 /proc/uptime)"
/comtrace </dev/null >/tmp/trace 2>/tmp/trace.err &
program=$!
/port_probe /dev/ttyS0 $program >/tmp/probe 2>&1
wait $program
status=$?
echo "realport ended $(cut -d' ' -f1 /proc/uptime)"
cat /tmp/probe
sed 's/^/realport stderr /' /tmp/trace.err
echo "realport exit $status"
echo "realport trace-bytes $(wc -c </tmp/trace)"
# Closing the port waits until every byte has gone out.
stty -F /dev/ttyS2 raw -echo
cat /tmp/trace >/dev/ttyS2
echo "realport done"
finish
