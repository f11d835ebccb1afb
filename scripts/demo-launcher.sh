#!/usr/bin/env bash
# Demonstration of the launcher: the installer package (x86_64 build) is
# installed quietly under wine64, and the installed launcher.exe, under Xvfb,
# shows a splash picture and starts this machine's Java 17 on a small jar
# built here. Prints where the package put its files, the diagnostic log,
# what Java wrote, and saves a PNG screenshot of the splash. The package is
# removed again at the end, so that the test prefix keeps no system DLL of ours.
#
# Java here is a Linux program, which Wine starts through CreateProcessW. Two
# things differ from a Windows Java, and the demonstration arranges for them:
# - Java sees the Windows jar path C:\Program Files\...\demo.jar as a file
#   name relative to its current directory (data_dir), and splits it at ":"
#   into a class path of "C" and \Program Files\...\demo.jar; links with
#   those literal names in data_dir lead to the real jar.
# - Wine hands a Linux program the launcher's own standard handles, not the
#   ones in the start-up information: out_/err_launcher.log are created but
#   stay empty, standard output is lost (a GUI program has none) and standard
#   error is Wine's; its environment is the Linux one, not the block. The
#   demo program therefore also writes its report to
#   java-report.txt in its current directory.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
java_home=/usr/lib/jvm/java-17-openjdk-amd64
demo=$root/build/demo-launcher

# The x64 package carries the win32 build's PE32 tokenhub.dll and the host beside it too.
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target tokenhub tokenhub-host >/dev/null
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target launcher windowprobe installer >/dev/null
source "$root/scripts/wine-env" 64
# Set the prefix up only once: the server that setup leaves running keeps
# holding its lock.
[ -f "$WINEPREFIX/.ready" ] || bash "$root/scripts/wine-setup"
# No menu entries on the Linux desktop for the package's Start-menu shortcut.
export WINEDLLOVERRIDES=winemenubuilder.exe=d
penwick=$WINEPREFIX/drive_c/ProgramData/Orvane/Penwick
installed=$WINEPREFIX/drive_c/Program\ Files/Orvane/Penwick
installedWin='C:\Program Files\Orvane\Penwick'
win() { echo "Z:${1//\//\\}"; }
msi=$(win "$root/build/win64/installer/penwick.msi")

rm -rf "$demo"
mkdir -p "$demo/data" "$demo/logs" "$demo/src"
echo "== msiexec /i penwick.msi /qn"
"$WINE_LOADER" msiexec /i "$msi" /qn </dev/null >/dev/null 2>&1
removePackage() {
  "$WINE_LOADER" msiexec /x "$msi" /qn </dev/null >/dev/null 2>&1 || true
  # What the demonstration itself added beside the launcher.
  rm -rf "$WINEPREFIX/drive_c/Program Files/Orvane"
}
trap removePackage EXIT
ls -l "$installed" "$WINEPREFIX/drive_c/windows/system32/tokenhub.dll"
ls -ld "$penwick"
ln -s "$installed" "$demo/app"

cat >"$demo/src/Hello.java" <<'JAVA'
import java.nio.file.*;
import java.util.*;

public class Hello {
  public static void main(String[] args) throws Exception {
    List<String> report = List.of(
        "Hello from Java " + System.getProperty("java.version") + " (" + System.getProperty("java.vm.name") + ")",
        "arguments: " + Arrays.toString(args),
        "greeting property: " + System.getProperty("demo.greeting"),
        "max heap MiB: " + Runtime.getRuntime().maxMemory() / (1024 * 1024),
        "current directory: " + System.getProperty("user.dir"),
        "PATH: " + System.getenv("PATH"));
    report.forEach(System.out::println);
    report.forEach(System.err::println);
    Files.write(Paths.get("java-report.txt"), report);
  }
}
JAVA
"$java_home/bin/javac" -d "$demo/src/classes" "$demo/src/Hello.java"
"$java_home/bin/jar" --create --file "$demo/app/demo.jar" --main-class Hello -C "$demo/src/classes" .

# The splash picture: a 360 by 180 PNG, drawn here.
/usr/bin/python3 - "$demo/app/splash.png" <<'PY'
import struct, sys, zlib
w, h = 360, 180
rows = b""
for y in range(h):
    row = b"\0"
    for x in range(w):
        band = abs((x / w + y / h) - 1.0) < 0.06
        r, g, b = (245, 245, 245) if band else (30 + 120 * x // w, 90, 170 - 60 * y // h)
        row += bytes((r, g, b, 255))
    rows += row
chunk = lambda k, d: struct.pack(">I", len(d)) + k + d + struct.pack(">I", zlib.crc32(k + d))
open(sys.argv[1], "wb").write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
                              + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))
PY

cat >"$demo/app/launcher.toml" <<TOML
[splash]
image = "splash.png"
millisec = 3000

[env]
LOCALPATH = ["lib"]
PATH = ['$(win "$java_home/bin")']

[jre]
main_jar = "demo.jar"
options = ["-Xmx64m", "-Ddemo.greeting=hello"]

[app]
exec = '$(win "$java_home/bin/java")'
log_dir = '$(win "$demo/logs")'
data_dir = '$(win "$demo/data")'
TOML
jarWin="$installedWin\\demo.jar"
ln -s "$demo/app/demo.jar" "$demo/data/$jarWin"
ln -s "$demo/app/demo.jar" "$demo/data/${jarWin#C:}"

log=$penwick/launcherlauncher.log
before=$(stat -c %s "$log" 2>/dev/null || echo 0)
cat >"$demo/run.sh" <<RUN
cd "$demo/app"
"$WINE_LOADER" '$installedWin\\launcher.exe' first "second argument" >"$demo/wine-stdout.txt" 2>"$demo/wine-stderr.txt" &
"$WINE_LOADER" "$root/build/win64/testbin/windowprobe.exe" 30000 shot '$(win "$demo/splash.bmp")' >"$demo/probe.txt"
wait
RUN
echo "== the installed launcher.exe under wine64 + Xvfb, splash for 3 s, starting $java_home/bin/java"
# The prefix's server may hold a desktop that an earlier program made with no
# display: the launcher's windows need one made under Xvfb's. The server
# saves the registry (the install) as it ends.
wineserver -k 2>/dev/null || true
xvfb-run -a -s "-screen 0 1024x768x24" bash "$demo/run.sh"
for _ in $(seq 100); do [ -s "$demo/data/java-report.txt" ] && break; sleep 0.2; done

/usr/bin/python3 - "$demo/splash.bmp" "$demo/splash-screenshot.png" <<'PY'
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
off, = struct.unpack_from("<I", data, 10)
w, h = struct.unpack_from("<ii", data, 18)
stride = (w * 3 + 3) // 4 * 4
rows = b""
for y in range(h):
    src = data[off + (h - 1 - y) * stride: off + (h - 1 - y) * stride + w * 3]
    rows += b"\0" + bytes(b for i in range(0, len(src), 3) for b in (src[i + 2], src[i + 1], src[i]))
chunk = lambda k, d: struct.pack(">I", len(d)) + k + d + struct.pack(">I", zlib.crc32(k + d))
open(sys.argv[2], "wb").write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                              + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))
print(f"screenshot {sys.argv[2]}: {w} x {h}")
PY
echo "== splash window as seen by the probe"
grep -E "^(rect|style)" "$demo/probe.txt"
echo "== diagnostic log ($log), this run"
tail -c +$((before + 1)) "$log"
echo "== Java's report, written in its current directory ($demo/data/java-report.txt)"
cat "$demo/data/java-report.txt"
echo "== Java's standard error (through Wine)"
grep -v "^[0-9a-f]*:\(fixme\|err\|warn\)\|^X connection" "$demo/wine-stderr.txt" || true
echo "== output logs of the job (empty for a Linux Java, see above)"
ls -l "$demo/logs"
