#!/usr/bin/env bash
# One OCI archive holding an image index with an image from scratch for each
# platform: the static binary as /floodout (the entry point) and its
# copyright file. Made with buildah in a store of its own under WORK, so that
# nothing of the machine's images is used or left behind; timestamps come
# from SOURCE_DATE_EPOCH.
#   packaging/image.sh WORK OUT VERSION "DEBARCH TRIPLET PLATFORM RPMARCH"...
set -euo pipefail
work=$1 out=$2 version=$3
shift 3
epoch=${SOURCE_DATE_EPOCH:?}
store=$work/containers
rm -rf "$store" "$work/layout"
mkdir -p "$store"
b() { buildah --root "$store/root" --runroot "$store/run" --storage-driver vfs "$@"; }
list=floodout-index
b manifest create "$list" >/dev/null
for entry in "$@"; do
    read -r arch _ platform _ <<<"$entry"
    binary=$out/floodout-$version-linux-$arch
    echo "image for linux/$platform"
    container=$(b from --pull=never scratch)
    b copy --chmod 0755 "$container" "$binary" /floodout >/dev/null
    b copy --chmod 0644 "$container" "$work/$arch/doc/copyright" /usr/share/doc/floodout/copyright >/dev/null
    b config --os linux --arch "${platform%%/*}" --entrypoint '["/floodout"]' --cmd '[]' \
        --label org.opencontainers.image.version="$version" --label org.opencontainers.image.title=floodout \
        "$container"
    if [[ $platform == */* ]]; then
        b config --variant "${platform#*/}" "$container"
    fi
    image=$(b commit --quiet --timestamp "$epoch" --rm "$container")
    b manifest add "$list" "$image" >/dev/null
done
# Into a plain OCI layout first, then one tar of it whose entries carry
# nothing of this build: sorted, owned by root, dated at the commit.
b manifest push --all --format oci --quiet "$list" "oci:$work/layout:floodout:$version"
tar --sort=name --mtime="@$epoch" --owner=0 --group=0 --numeric-owner --mode=go-w,a+rX \
    -C "$work/layout" -cf "$out/floodout-$version.oci.tar" .
rm -rf "$store"
