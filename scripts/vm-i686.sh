#!/usr/bin/env bash
# An emulated x86-64 machine that runs 32-bit Wine, for machines whose kernel
# refuses 32-bit user code.
#   vm-i686.sh image          build the machine when missing, print its folder
#   vm-i686.sh run CMD [ARGS] boot it, run CMD inside, return CMD's status
# The root is Debian 12 amd64 plus i386 (32-bit Wine), built with mmdebstrap
# from the mirror of this machine's apt sources, written into an ext4 image and
# booted with its own kernel and a small initrd under QEMU's TCG. The
# repository is shared read-write through virtio-9p at the same path, so
# build trees and scripts work unchanged inside. The machine is cached in
# build/vm-i686/<hash of the recipe>/ and rebuilt only when the recipe (this
# file down to the marker line) changes;
# each run boots a throw-away snapshot of it.
# Environment: LUMO_VM_TIMEOUT (seconds a run may take, default 5400),
# LUMO_VM_MEM (MiB, default 3072).
set -euo pipefail
LUMO_ROOT=${LUMO_ROOT:-$(cd "$(dirname "$0")/.." && pwd)}
self=$LUMO_ROOT/scripts/vm-i686.sh
cache=$LUMO_ROOT/build/vm-i686
key=$(sed "/^# ---- end of the machine's recipe/q" "$self" | sha256sum | cut -c1-16)
dir=$cache/$key
guest_prefix=/var/lib/lumo/wineprefix-i686
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo

log() { echo "vm-i686: $*" >&2; }

# Debian sources of this machine as one-line entries for the guest's release:
# stanzas or lines whose suite is the host's release (or its -updates and
# -security suites), with the suite renamed. Other repositories are left out.
guest_sources() {
  python3 - "$1" <<'EOF'
import glob, re, sys
guest = sys.argv[1]
host = ""
for line in open("/etc/os-release"):
    if line.startswith("VERSION_CODENAME="):
        host = line.split("=", 1)[1].strip().strip('"')
entries = []
def add(uris, suites, comps):
    for uri in uris:
        for suite in suites:
            m = re.fullmatch(re.escape(host) + r"(-updates|-security)?", suite) if host else None
            if m and "main" in comps:
                entries.append(f"deb {uri} {guest}{m.group(1) or ''} main")
files = ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*.list"))
for f in files:
    try:
        lines = open(f).read().splitlines()
    except OSError:
        continue
    for line in lines:
        line = re.sub(r"\[[^]]*\]", " ", line.split("#", 1)[0]).split()
        if len(line) >= 4 and line[0] == "deb":
            add([line[1]], [line[2]], line[3:])
for f in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
    for stanza in re.split(r"\n\s*\n", open(f).read()):
        fields = {}
        for line in stanza.splitlines():
            if line.startswith("#") or ":" not in line or line[0].isspace():
                continue
            k, v = line.split(":", 1)
            fields[k.strip().lower()] = v.split()
        if "deb" in fields.get("types", []) and fields.get("enabled", ["yes"])[0] != "no":
            add(fields.get("uris", []), fields.get("suites", []), fields.get("components", []))
print("\n".join(dict.fromkeys(entries)))
EOF
}

# Kernel modules the initrd loads before it mounts the root, dependencies first.
initrd_modules() {
  local root=$1 kver=$2 m
  local -A seen=()
  local -a order=()
  local dep=$root/lib/modules/$kver/modules.dep
  visit() {
    local path=$1 d
    [ -z "${seen[$path]:-}" ] || return 0
    seen[$path]=1
    for d in $(grep -E "^$path:" "$dep" | cut -d: -f2); do visit "$d"; done
    order+=("$path")
  }
  for m in virtio_pci virtio_blk crc32c_generic crc32c-intel ext4 9pnet_virtio 9p; do
    while read -r path; do visit "$path"; done < <(grep -E "/$m\.ko(\.xz|\.zst)?:" "$dep" | cut -d: -f1)
  done
  printf '%s\n' "${order[@]}"
}

make_initrd() {
  local root=$1 kver=$2 out=$3 work path
  work=$(mktemp -d "${TMPDIR:-/tmp}/lumo-initrd.XXXXXX")
  mkdir -p "$work/bin" "$work/lib/modules" "$work/proc" "$work/dev" "$work/newroot"
  cp "$root/bin/busybox" "$work/bin/busybox"
  for a in sh mount umount insmod switch_root sleep cat mkdir; do ln -s busybox "$work/bin/$a"; done
  : >"$work/modules"
  while read -r path; do
    local name
    name=$(basename "$path")
    case $name in
      *.xz) xz -dc "$root/lib/modules/$kver/$path" >"$work/lib/modules/${name%.xz}"; name=${name%.xz} ;;
      *.zst) zstd -qdc "$root/lib/modules/$kver/$path" >"$work/lib/modules/${name%.zst}"; name=${name%.zst} ;;
      *) cp "$root/lib/modules/$kver/$path" "$work/lib/modules/$name" ;;
    esac
    echo "$name" >>"$work/modules"
  done < <(initrd_modules "$root" "$kver")
  cat >"$work/init" <<'EOF'
#!/bin/sh
# Loads the block, file system and 9p drivers, mounts the root and hands over.
mount -t proc proc /proc
mount -t devtmpfs dev /dev
for m in $(cat /modules); do insmod /lib/modules/$m 2>/dev/null; done
i=0
while [ ! -b /dev/vda ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done
mount -t ext4 /dev/vda /newroot || { echo "initrd: cannot mount /dev/vda"; exit 1; }
umount /proc
mount --move /dev /newroot/dev
exec switch_root /newroot /usr/local/sbin/lumo-vm-init
EOF
  chmod +x "$work/init"
  (cd "$work" && find . | cpio -o -H newc --quiet | gzip -1) >"$out"
  rm -rf "$work"
}

# PID 1 of the machine: mounts what programs expect, the shared repository,
# runs the job named on the kernel command line with its output on the
# console, stores its status beside it and powers off.
vm_init() {
  cat <<'EOF'
#!/bin/bash
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TERM=dumb
mount -t proc proc /proc
mount -t sysfs sys /sys
mkdir -p /dev/pts /dev/shm
mount -t devpts -o gid=5,mode=620,ptmxmode=666 devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
ip link set lo up
echo lumo-vm >/proc/sys/kernel/hostname
share="" job="" opts=""
for a in $(cat /proc/cmdline); do
  case $a in
    lumo.share=*) share=${a#lumo.share=} ;;
    lumo.job=*) job=${a#lumo.job=} ;;
    lumo.9p=*) opts=${a#lumo.9p=} ;;
  esac
done
if mkdir -p "$share" && mount -t 9p -o "$opts" lumo "$share"; then
  status=0
  # Through a pipe, as make's output usually is: Wine's console draws with
  # terminal escapes on a tty.
  (cd "$share" && bash "$job" </dev/null 2>&1 | cat >/dev/console; exit "${PIPESTATUS[0]}") || status=$?
  # What the job left running (Wine's server and services) holds the share.
  kill -TERM -1 2>/dev/null
  for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 -1 2>/dev/null || break; read -r -t 0.2 _ </dev/zero; done
  kill -KILL -1 2>/dev/null
  echo "$status" >"$job.status"
  sync
  umount "$share"
fi
mount -o remount,ro / 2>/dev/null
sync
echo o >/proc/sysrq-trigger
# Builtins only from here: the disk goes away under the power-off.
while :; do read -r -t 60 _ </dev/zero; done
EOF
}

build_image() {
  local started root sources kver size
  started=$(date +%s)
  log "building the machine in $dir (once; a few minutes)"
  rm -rf "$cache"/[0-9a-f]*/
  mkdir -p "$dir"
  root=$dir/root
  sources=$(guest_sources bookworm)
  [ -n "$sources" ] || { log "no Debian source found in this machine's apt sources"; exit 1; }
  local -a mirrors=()
  while read -r line; do mirrors+=("$line"); done <<<"$sources"
  vm_init >"$dir/lumo-vm-init"
  # INITRD=No: the kernel package makes no initrd of its own; ours is smaller.
  # libglib2.0-0:i386 runs i386 code in a trigger, which fails harmlessly on a
  # machine that refuses it; the first boot below runs it again.
  # A mirror caught in the middle of a sync refuses an index ("File has
  # unexpected size ... Mirror sync in progress?"), sometimes for days in a
  # caching proxy, and mmdebstrap stops at any index it misses: wait and try
  # again, then go without the security and updates suites, which a test
  # machine can spare.
  local attempt
  for attempt in 1 2 3 4; do
    if [ "$attempt" = 3 ]; then
      log "trying without the security and updates suites"
      local -a base=()
      for line in "${mirrors[@]}"; do
        case $line in *-security\ *|*-updates\ *) ;; *) base+=("$line") ;; esac
      done
      mirrors=("${base[@]}")
    fi
    $SUDO rm -rf "$root"
    INITRD=No $SUDO mmdebstrap --variant=apt --architectures=amd64,i386 --skip=check/qemu \
      --aptopt='Acquire::Retries "3"' \
      --include=wine,wine64,wine32:i386,python3,gcc-multilib,linux-image-amd64,kmod,mount,iproute2,procps \
      --include=xvfb,xauth,xdotool,x11-utils,imagemagick,fonts-wine,binutils-mingw-w64-i686,cmake,busybox-static \
      --customize-hook="install -m 755 '$dir/lumo-vm-init' \"\$1/usr/local/sbin/lumo-vm-init\"" \
      --customize-hook='echo lumo-vm >"$1/etc/hostname"; echo "127.0.0.1 localhost lumo-vm" >"$1/etc/hosts"' \
      bookworm "$root" "${mirrors[@]}" >"$dir/mmdebstrap.log" 2>&1 && break
    tail -n 40 "$dir/mmdebstrap.log" >&2
    if [ "$attempt" = 4 ]; then
      log "mmdebstrap failed 4 times (log: $dir/mmdebstrap.log)"; exit 1
    fi
    [ "$attempt" = 2 ] && continue
    log "mmdebstrap failed (attempt $attempt of 4); again in 60 s"
    sleep 60
  done
  kver=$(basename "$(ls -d "$root"/lib/modules/*/ | tail -n 1)")
  $SUDO cp "$root/boot/vmlinuz-$kver" "$dir/vmlinuz"
  $SUDO chmod 644 "$dir/vmlinuz"
  make_initrd "$root" "$kver" "$dir/initrd.img"
  # Room for the Wine prefix and the runs' own files besides the packages.
  size=$(( $($SUDO du -sm "$root" | cut -f1) + 1536 ))
  $SUDO mke2fs -q -t ext4 -d "$root" -L lumo-root "$dir/rootfs.img" "${size}M" >/dev/null
  $SUDO rm -rf "$root"
  [ "$(id -u)" = 0 ] || $SUDO chown "$(id -u):$(id -g)" "$dir/rootfs.img"
  log "root image: $(( $(date +%s) - started )) s"
  # First boot, written to the image: pending triggers, then the Wine prefix
  # every run starts from (creating one takes minutes under emulation).
  local job
  mkdir -p "$cache/jobs"
  job=$(mktemp "$cache/jobs/prepare.XXXXXX")
  cat >"$job" <<EOF
set -e
dpkg --configure --pending >/dev/null 2>&1 || true
export WINEPREFIX=$guest_prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p \$WINEPREFIX
/usr/lib/wine/wineserver32 -p >/dev/null 2>&1 </dev/null
/usr/lib/wine/wine wineboot -i >/dev/null 2>&1 </dev/null
mkdir -p \$WINEPREFIX/drive_c/windows/Fonts
cp /usr/share/wine/fonts/* \$WINEPREFIX/drive_c/windows/Fonts/
/usr/lib/wine/wine reg add 'HKCU\\Software\\Wine\\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null
/usr/lib/wine/wineserver32 -k
/usr/lib/wine/wineserver32 -w
test -f \$WINEPREFIX/system.reg
echo "prepared: Wine \$(/usr/lib/wine/wine --version)"
EOF
  local boot_started
  boot_started=$(date +%s)
  if ! LUMO_VM_TIMEOUT=1800 boot write "$job" >"$dir/prepare.log" 2>&1; then
    cat "$dir/prepare.log" >&2
    rm -f "$job"
    log "the first boot failed (log: $dir/prepare.log)"
    exit 1
  fi
  rm -f "$job"
  log "first boot (triggers, Wine prefix): $(( $(date +%s) - boot_started )) s"
  date -u +%FT%TZ >"$dir/ready"
  log "machine ready in $(( $(date +%s) - started )) s"
}

# ---- end of the machine's recipe: the cache key covers the lines above ----

# Boots the machine once. $1: image mode (snapshot or write), $2: job script
# inside the repository; prints the job's output, returns its status.
boot() {
  local mode=$1 job=$2 timeout=${LUMO_VM_TIMEOUT:-5400} drive status share_args
  # cache=loose: reads go through the guest's page cache. Without it a read of
  # more than msize bytes comes back short, and Wine, which reads the sections
  # of an image whose file alignment is below a page in one call, runs zeros.
  share_args="lumo.share=$LUMO_ROOT lumo.9p=trans=virtio,version=9p2000.L,msize=262144,cache=loose"
  drive="file=$dir/rootfs.img,if=virtio,format=raw,cache=unsafe"
  [ "$mode" = snapshot ] && drive+=",snapshot=on"
  rm -f "$job.status"
  timeout --foreground -k 10 "$timeout" qemu-system-x86_64 \
    -accel tcg,thread=multi -smp 2 -m "${LUMO_VM_MEM:-3072}" -cpu max,smap=off \
    -nodefaults -no-user-config -display none -serial stdio -no-reboot \
    -kernel "$dir/vmlinuz" -initrd "$dir/initrd.img" \
    -append "console=ttyS0 clocksource=hpet tsc=unstable quiet loglevel=3 panic=-1 $share_args lumo.job=$job" \
    -drive "$drive" \
    -virtfs "local,path=$LUMO_ROOT,mount_tag=lumo,security_model=none" </dev/null || true
  if [ ! -f "$job.status" ]; then
    log "the machine stopped without a result (time-out after ${timeout}s, or a boot failure)"
    return 1
  fi
  status=$(cat "$job.status")
  rm -f "$job.status"
  return "$status"
}

# Creates the job script for CMD in the shared repository; prints its path.
new_job() {
  local job q
  mkdir -p "$cache/jobs"
  job=$(mktemp "$cache/jobs/job.XXXXXX")
  printf -v q '%q ' "$@"
  printf '#!/bin/bash\ncd %q\n%s\n' "$PWD" "$q" >"$job"
  echo "$job"
}

case ${1:-} in
  image)
    [ -f "$dir/ready" ] || build_image
    echo "$dir"
    ;;
  run)
    shift
    [ $# -gt 0 ] || { echo "usage: vm-i686.sh run CMD [ARGS...]" >&2; exit 2; }
    [ -f "$dir/ready" ] || build_image
    job=$(new_job "$@")
    trap 'rm -f "$job" "$job.status"' EXIT
    status=0
    boot snapshot "$job" || status=$?
    exit "$status"
    ;;
  *)
    echo "usage: vm-i686.sh image | run CMD [ARGS...]" >&2
    exit 2
    ;;
esac
