#!/usr/bin/env bash
# unpack_deb.sh PACKAGE DIR: unpacks the Debian package PACKAGE, in the version apt would
# install, into DIR without installing it or anything it depends on. The download is checked
# against the SHA256 that the archive's package index gives for it.
set -euo pipefail
package=$1
dir=$2
sudo=$([ "$(id -u)" = 0 ] || echo sudo)

# 'URI' FILE SIZE SHA256:HASH
uri=$(apt-get download --print-uris "$package" 2>/dev/null || true)
if [ -z "$uri" ]; then
  # A fresh machine has no package index yet.
  # A mirror mid-sync fails one index while the rest still give the package.
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq || true
  uri=$(apt-get download --print-uris "$package")
fi
read -r _ file _ hash <<<"$uri"
sha256=${hash#SHA256:}
if [ "$sha256" = "$hash" ] || [ -z "$sha256" ]; then
  echo "$package: the package index gives no SHA256 for $file" >&2
  exit 1
fi

# Downloaded where apt's download user can write (as root apt warns and downloads unsandboxed
# otherwise), unpacked beside DIR and then renamed: an interrupted run leaves no half copy.
work=$(mktemp -d)
trap 'rm -rf "$work" "$dir.new"' EXIT
chmod 755 "$work"
if [ "$(id -u)" = 0 ] && id _apt >/dev/null 2>&1; then chown _apt "$work"; fi
(cd "$work" && apt-get download -qq "$package")
if ! echo "$sha256  $work/$file" | sha256sum --check --status; then
  echo "$package: refusing $file, whose SHA256 is not $sha256 as the package index says" >&2
  exit 1
fi
mkdir -p "$(dirname "$dir")"
rm -rf "$dir.new"
dpkg-deb -x "$work/$file" "$dir.new"
rm -rf "$dir"
mv "$dir.new" "$dir"
echo "unpacked: $file (SHA256 checked) into $dir"
