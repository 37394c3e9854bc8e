#!/bin/busybox sh
# The guest's first process: mounts the kernel's file systems, loads the USB host controller
# drivers named by vesk.hc= on the kernel command line (xhci or ehci), waits for a USB device
# other than a root hub, runs each line of /commands and powers off. Every command's output
# and exit status go to the console between markers that the runner reads:
#   @@VESK BEGIN N
#   ...output (standard output and standard error)...
#   @@VESK END N STATUS
/bin/busybox mkdir -p /usr/sbin /sbin
/bin/busybox --install -s /bin
export PATH=/usr/bin:/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp

hc=xhci
for word in $(cat /proc/cmdline); do
  case "$word" in vesk.hc=*) hc=${word#vesk.hc=} ;; esac
done
for module in $(cat /lib/modules/$hc.order); do
  insmod /lib/modules/$module || echo "@@VESK MODULE-FAILED $module"
done

# Without udevd nobody announces the device: look for it in sysfs.
found=
for attempt in $(seq 1 100); do
  for vendor in /sys/bus/usb/devices/*/idVendor; do
    [ -f "$vendor" ] && [ "$(cat "$vendor")" != 1d6b ] && found=${vendor%/idVendor}
  done
  [ -n "$found" ] && break
  sleep 0.1
done
if [ -n "$found" ]; then
  echo "@@VESK DEVICE $(cat "$found/idVendor"):$(cat "$found/idProduct") $(cat "$found/speed")"
else
  echo "@@VESK NO-DEVICE"
fi

number=0
while IFS= read -r line; do
  number=$((number + 1))
  echo "@@VESK BEGIN $number"
  sh -c "$line" </dev/null 2>&1
  status=$?
  # A newline of its own: the output need not end with one.
  echo
  echo "@@VESK END $number $status"
done </commands
echo "@@VESK DONE"
sync
poweroff -f
reboot -f
