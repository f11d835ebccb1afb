# Sourced by the signing flows through the real daemon: a scratch folder, a
# SoftHSM2 token of its own, and an emulated family-1 card in
# "Virtual PCD 00 00" that stays inserted until the script ends.
#
#   rig_begin PREFIX             scratch folder /tmp/PREFIX-XXXXXX, entered; removed at exit
#   rig_softhsm_token LABEL PIN  a fresh SoftHSM2 token (SOFTHSM2_CONF points at it)
#   rig_insert_card BUILD_DIR    the card emulator in reader 0; fails when vpcd is not there

rig_emulator=
rig_work=
# The emulator is gone, and the card out of the reader, before the script
# ends: the next test may want the reader empty.
rig_cleanup() {
  if [ -n "$rig_emulator" ]; then
    kill "$rig_emulator" 2>/dev/null || true
    wait "$rig_emulator" 2>/dev/null || true
  fi
  [ -n "$rig_work" ] && rm -rf "$rig_work"
}

rig_begin() {
  rig_work=$(mktemp -d "/tmp/$1-XXXXXX")
  trap rig_cleanup EXIT
  cd "$rig_work"
}

rig_softhsm_token() {
  mkdir -p tokens
  printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$rig_work" >softhsm2.conf
  export SOFTHSM2_CONF=$rig_work/softhsm2.conf
  softhsm2-util --init-token --free --label "$1" --pin "$2" --so-pin 12345678 >/dev/null
}

rig_insert_card() {
  mkfifo card.in
  "$1/testbin/cardemu" --port 35963 --atr "3B B7 94 00 81 31 FE 65 53 50 4B 32 33 90 00 D1" \
    <card.in >emulator.log 2>&1 &
  rig_emulator=$!
  exec 3>card.in  # the card stays while this stays open
  for _ in $(seq 1 50); do grep -q inserted emulator.log && break; sleep 0.1; done
  cat emulator.log
  grep -q inserted emulator.log
}
