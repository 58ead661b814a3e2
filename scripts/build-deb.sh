#!/usr/bin/env bash
# Builds the Debian package: dist/veve4d_<version>_<arch>.deb (or in OUT_DIR).
# BUILD_DIR (default build-deb) is configured and built in Release mode, unless
# VEVE4D_DEB_BINARIES names a directory that already holds veve4d and veve4d-admin.
# VEVE4D_DEB_VERSION overrides the version (the package test builds an upgrade with it).
# Every file in packaging/doc/ goes to /usr/share/doc/veve4d/.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)

BUILD_DIR=${BUILD_DIR:-build-deb}
OUT_DIR=${OUT_DIR:-dist}
version=${VEVE4D_DEB_VERSION:-$(sed -n 's/.*SERVER_VERSION = "(\([0-9.]*\))".*/\1/p' src/config/settings.h)}
arch=$(dpkg --print-architecture)
[ -n "$version" ] || { echo "no version in src/config/settings.h" >&2; exit 1; }

if [ -n "${VEVE4D_DEB_BINARIES:-}" ]; then
  bin=$VEVE4D_DEB_BINARIES
else
  cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$BUILD_DIR" -j "${JOBS:-2}" --target veve4d veve4d-admin >/dev/null
  bin=$BUILD_DIR
fi

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
root=$stage/root
install -d "$root/DEBIAN" "$root/usr/sbin" "$root/lib/systemd/system" "$root/etc/pam.d" "$root/etc/veve4d" \
  "$root/var/spool/veve4d" "$root/var/lib/veve4d/accounts" "$root/usr/share/man/man5" "$root/usr/share/man/man8" \
  "$root/usr/share/doc/veve4d"

for program in veve4d veve4d-admin; do
  install -m 0755 "$bin/$program" "$root/usr/sbin/$program"
  strip --strip-unneeded --remove-section=.comment --remove-section=.note "$root/usr/sbin/$program"
done
install -m 0644 packaging/deb/vlmveve4d-svc.service "$root/lib/systemd/system/"
install -m 0644 etc/pam.d/veve4d "$root/etc/pam.d/veve4d"
install -m 0644 packaging/deb/registry.reg "$root/etc/veve4d/registry.reg"
install -m 0644 man/veve4d.8 man/veve4d-admin.8 "$root/usr/share/man/man8/"
install -m 0644 man/veve4d.reg.5 "$root/usr/share/man/man5/"
gzip -9n "$root"/usr/share/man/man*/*
install -m 0644 packaging/deb/copyright "$root/usr/share/doc/veve4d/copyright"
gzip -9nc packaging/deb/changelog > "$root/usr/share/doc/veve4d/changelog.gz"
chmod 0644 "$root/usr/share/doc/veve4d/changelog.gz"
for doc in packaging/doc/*; do
  [ -f "$doc" ] && install -m 0644 "$doc" "$root/usr/share/doc/veve4d/"
done
install -D -m 0644 packaging/fail2ban/veve4d.conf "$root/usr/share/doc/veve4d/fail2ban/veve4d.conf"
for script in postinst prerm postrm; do
  install -m 0755 "packaging/deb/$script" "$root/DEBIAN/$script"
done
printf '/etc/pam.d/veve4d\n/etc/veve4d/registry.reg\n' > "$root/DEBIAN/conffiles"

# The shared libraries' packages, as dpkg-shlibdeps finds them from a minimal source tree.
mkdir -p "$stage/src/debian"
printf 'Source: veve4d\n\nPackage: veve4d\nArchitecture: any\n' > "$stage/src/debian/control"
depends=$(cd "$stage/src" && dpkg-shlibdeps -O "$root/usr/sbin/veve4d" "$root/usr/sbin/veve4d-admin" 2>/dev/null |
  sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "dpkg-shlibdeps found no dependencies" >&2; exit 1; }
size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" -e "s/@DEPENDS@/$depends/" \
  packaging/deb/control.in > "$root/DEBIAN/control"
(cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z | xargs -0 md5sum) > "$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/conffiles" "$root/DEBIAN/md5sums"

mkdir -p "$OUT_DIR"
deb="$OUT_DIR/veve4d_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "$deb"
