"""Finishes a root file system that mmdebstrap unpacked without running any
package script, so that its interpreter runs from it alone, under qemu -L or
chroot:
    python3 devtools/prepare_rootfs.py ROOTFS LOADER
LOADER is the target's dynamic loader, relative to the root (for armhf
lib/ld-linux-armhf.so.3). devtools/build_target.sh runs this once per new root
file system; it then runs the target's ldconfig and byte-compiles the Python
files itself.
"""

import os
import sys
from pathlib import Path


def main(fs: Path, loader: str) -> None:
    # An absolute link is followed by the host kernel, so it would point into the
    # host's file system: make every one relative to its own directory.
    for directory, dirs, files in os.walk(fs):
        if Path(directory) == fs:
            dirs.remove("dev")  # /proc/self/fd links, meant to reach the host
        for name in dirs + files:
            link = Path(directory, name)
            if link.is_symlink() and (target := os.readlink(link)).startswith("/"):
                link.unlink()
                link.symlink_to(os.path.relpath(fs / target.lstrip("/"), directory))

    # Executables name the loader by its path under /lib or /lib64; in a
    # merged-/usr release only the link to usr/... leads there.
    if not (fs / loader).exists():
        sys.exit(f"no /{loader} in the root file system")

    # The CA bundle and its per-certificate links, as update-ca-certificates makes them.
    certs = fs / "etc/ssl/certs"
    certs.mkdir(parents=True, exist_ok=True)
    shared = fs / "usr/share/ca-certificates"
    bundle = []
    for crt in sorted(shared.rglob("*.crt")):
        text = crt.read_text("ascii")
        bundle.append(text if text.endswith("\n") else text + "\n")
        pem = certs / (crt.stem + ".pem")
        if not pem.is_symlink():
            pem.symlink_to(os.path.relpath(crt, certs))
    if not bundle:
        sys.exit("no CA certificates in the root file system")
    (certs / "ca-certificates.crt").write_text("".join(bundle), "ascii")

    etc = fs / "etc"
    (etc / "nsswitch.conf").write_bytes((fs / "usr/share/libc-bin/nsswitch.conf").read_bytes())
    (etc / "hosts").write_text("127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n")
    (etc / "resolv.conf").write_text("")  # loopback only
    localtime = etc / "localtime"
    if localtime.is_symlink() or localtime.exists():
        localtime.unlink()
    localtime.symlink_to("../usr/share/zoneinfo/Etc/UTC")
    if not (localtime.resolve()).is_file():
        sys.exit("no UTC zone file in the root file system")
    alias = fs / "usr/share/locale/locale.alias"
    alias.parent.mkdir(parents=True, exist_ok=True)
    alias.touch()


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: prepare_rootfs.py ROOTFS LOADER")
    main(Path(sys.argv[1]), sys.argv[2])
