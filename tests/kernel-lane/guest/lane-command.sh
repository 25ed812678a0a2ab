#!/bin/bash
# lane-command.service's job in a VM booted with systemd as init: runs the
# boot script with the command script, then reports the status as the lane's
# busybox init does (results share and console marker) and powers off.
#   lane-command.sh BOOT_SCRIPT COMMAND_SCRIPT
bash "$1" "$2"
status=$?
echo "$status" > /lane-out/status
sync
echo "@@LANE-STATUS $status@@"
systemctl poweroff --force
