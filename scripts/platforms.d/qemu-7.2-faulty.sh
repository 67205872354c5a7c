# A control row: qemu-user 7.2 with a layer built to leave a record on the
# chain. It must show as deviating, or the matrix cannot see a fault.
. "$here/qemu-7.2.sh"
title="qemu-user 7.2 with the faulty layer record_left (a control)"
unset note
faulty_layer=$OSTREVIN_LINUX_BUILD/bin/faults/record_left
set_up() {
  [ -f "$faulty_layer/libseh_platform.so" ] || cannot "no faulty layer in $faulty_layer"
  ensure_packages platforms qemu-user || cannot "qemu-user is missing and cannot be installed here"
}
judge_on() {
  program=$1
  shift
  LD_LIBRARY_PATH=$faulty_layer "$judge" "$@" qemu --qemu "$qemu" linux "$program"
}
