#!/usr/bin/env bash
# The notifier in a real desktop session: a private norvid-core (as root), an X server (Xvfb) and,
# as uid 65534, a D-Bus session (dbus-run-session) with a real notification daemon (dunst) and the
# real norvid-notify. A file of the session's user is found infected on access and moved to
# quarantine; the notification is read back from the daemon and a screenshot of the screen is
# kept as an artefact. Exits 77 (skipped) when a needed program is missing or not root.
# Usage: desktop-session.sh NORVID_CORE NORVID_NOTIFY NORVIDCTL ARTEFACT_DIR
set -euo pipefail

core_binary="$1" notify_binary="$2" client_binary="$3" artefacts="$4"
user=65534

skip() { echo "[SKIP] $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root (the session runs as uid $user)"
for program in Xvfb dunst dunstctl dbus-run-session dbus-send setpriv xwd python3; do
  command -v "$program" > /dev/null ||
    skip "$program is not installed (scripts/install-deps.sh installs xvfb, dunst, x11-apps)"
done

work="$(mktemp -d /tmp/norvid-desktop.XXXXXX)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
  wait 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
chmod 0755 "$work"

# The service, with a rule of the test's own beside a private copy of its program.
mkdir -p "$work/core/rules" "$work/data"
cp "$core_binary" "$work/core/norvid-core"
cat > "$work/core/rules/marker.yar" << 'EOF'
rule Test_Desktop_Marker { strings: $a = "NORVID-DESKTOP-TEST-MARKER" condition: $a }
EOF
socket="$work/norvid.sock"
NORVID_SOCKET="$socket" NORVID_DATA_DIR="$work/data" "$work/core/norvid-core" run \
  > "$work/core.log" 2>&1 &
pids+=($!)
for _ in $(seq 300); do
  NORVID_SOCKET="$socket" "$client_binary" status > /dev/null 2>&1 && break
  sleep 0.1
done
NORVID_SOCKET="$socket" "$client_binary" status > /dev/null 2>&1 ||
  { cat "$work/core.log"; echo "[FAIL] norvid-core did not come up"; exit 1; }

# The screen: the first free display number.
display=""
for number in $(seq 90 140); do
  if [ ! -e "/tmp/.X11-unix/X$number" ] && [ ! -e "/tmp/.X$number-lock" ]; then
    display=":$number"
    break
  fi
done
[ -n "$display" ] || skip "no free X display number"
Xvfb "$display" -screen 0 1024x600x24 -nolisten tcp -ac > "$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
[ -e "/tmp/.X11-unix/X${display#:}" ] || { cat "$work/xvfb.log"; skip "Xvfb did not start"; }

# The session's user: a home with a Downloads folder, a runtime folder of its own.
home="$work/home"
mkdir -p "$home/Downloads" "$work/run" "$work/out"
chown -R "$user:$user" "$home" "$work/run" "$work/out"
chmod 0700 "$work/run"
mkdir -p "$artefacts"
screenshot="$artefacts/desktop-session.xwd"
rm -f "$screenshot" "$artefacts/desktop-session.png"

# Inside the session: dunst, then norvid-notify; then a download of the user is scanned on access
# (as the watcher asks) until a notification is on the screen (the first may come before the
# notifier has subscribed). The screen is captured, the notifications closed into dunst's history,
# which is printed as JSON.
cat > "$work/session.sh" << 'EOF'
set -u
dunst > "$WORK/dunst.log" 2>&1 &
dunst_pid=$!
owned() {
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner string:org.freedesktop.Notifications 2> /dev/null |
    grep -q 'boolean true'
}
for _ in $(seq 100); do owned && break; sleep 0.1; done
owned || { echo "dunst did not take the notification service" >&2; exit 1; }
"$NOTIFY" 2> "$WORK/notify.log" &
notify_pid=$!
sleep 0.3
shown=0
for attempt in $(seq 20); do
  file="$HOME/Downloads/invoice-$attempt.pdf.exe"
  printf 'MZ NORVID-DESKTOP-TEST-MARKER %s\n' "$attempt" > "$file"
  "$CLIENT" --json "{\"command\":\"scan_realtime\",\"path\":\"$file\"}" > /dev/null 2>&1
  for _ in $(seq 15); do
    if [ "$(dunstctl count displayed 2> /dev/null)" -gt 0 ] 2> /dev/null; then shown=1; break; fi
    sleep 0.1
  done
  [ "$shown" -eq 1 ] && break
done
[ "$shown" -eq 1 ] || { echo "no notification was shown" >&2; exit 1; }
sleep 0.2  # drawn
xwd -root -silent -out "$SCREENSHOT"
dunstctl close-all
sleep 0.2
dunstctl history > "$WORK/history.json"
kill "$notify_pid" "$dunst_pid" 2> /dev/null
exit 0
EOF
chmod 0644 "$work/session.sh"
touch "$screenshot" && chown "$user:$user" "$screenshot"

status=0
setpriv --reuid="$user" --regid="$user" --clear-groups \
  env -i PATH="$PATH" HOME="$home" XDG_RUNTIME_DIR="$work/run" DISPLAY="$display" \
  NORVID_SOCKET="$socket" WORK="$work/out" NOTIFY="$notify_binary" CLIENT="$client_binary" \
  SCREENSHOT="$screenshot" LANG=C.UTF-8 \
  dbus-run-session -- bash "$work/session.sh" ||
  status=$?
if [ "$status" -ne 0 ]; then
  echo "[FAIL] the session failed ($status)"
  for log in "$work/out/dunst.log" "$work/out/notify.log" "$work/core.log"; do
    [ -f "$log" ] && { echo "--- $log"; tail -20 "$log"; }
  done
  exit 1
fi

# What dunst showed, as it keeps it: from the notifier, the summary naming the file and what was
# done, the body the threat and the path; critical, so it stays until closed (timeout 0).
failures=0
if ! python3 - "$work/out/history.json" "$home/Downloads/invoice-" << 'EOF'
import json, sys
history = json.load(open(sys.argv[1]))
shown = [{key: value["data"] for key, value in entry.items()} for entry in history["data"][0]]
ours = [entry for entry in shown if entry.get("appname") == "Norvid Shield"]
for entry in ours:
    print("[*] dunst showed:", json.dumps(entry["summary"]), json.dumps(entry["body"]))
def fits(entry):
    summary, body = entry["summary"], entry["body"]
    return (summary.startswith("Amenaza en invoice-") and
            summary.endswith(".pdf.exe: movido a cuarentena") and
            body.startswith("Test_Desktop_Marker\n" + sys.argv[2]) and entry["timeout"] == 0)
sys.exit(0 if ours and all(fits(entry) for entry in ours) else 1)
EOF
then
  echo "[FAIL] dunst did not show the quarantine as expected:"
  cat "$work/out/history.json"
  failures=$((failures + 1))
fi
# The file is in quarantine, no longer in the user's folder.
if ls "$home/Downloads" | grep -q invoice-1.pdf.exe; then
  echo "[FAIL] the infected download is still in place"
  failures=$((failures + 1))
fi

if command -v xwdtopnm > /dev/null && command -v pnmtopng > /dev/null; then
  xwdtopnm "$screenshot" 2> /dev/null | pnmtopng > "$artefacts/desktop-session.png" 2> /dev/null &&
    rm -f "$screenshot" && screenshot="$artefacts/desktop-session.png"
fi
echo "[*] screenshot: $(realpath "$screenshot")"
[ "$failures" -eq 0 ] || exit 1
echo "[OK] norvid-notify showed the quarantine in a real desktop session"
