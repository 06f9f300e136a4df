#!/usr/bin/env bash
# Release files for every architecture, the same bytes from any build of the
# same commit: fully static binaries, Debian and RPM packages, one OCI archive
# of a multi-platform image, and SHA256SUMS over them.
#   packaging/dist.sh SOURCE WORK OUT VERSION MAINTAINER
# WORK holds the builds; OUT gets the release files and nothing else.
set -euo pipefail
source=$(cd "$1" && pwd)
mkdir -p "$2" "$3"
work=$(cd "$2" && pwd)
out=$(cd "$3" && pwd)
version=$4
maintainer=$5

# Nothing of this build's moment, place or user may reach the files.
export TZ=UTC LC_ALL=C
umask 022
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$source" log -1 --format=%ct 2>/dev/null || echo 0)
fi
export SOURCE_DATE_EPOCH
rm -rf "${out:?}"/*

# Debian's architecture, GNU triplet, OCI platform (arch[/variant]), RPM's
# architecture.
architectures=(
    "amd64 x86_64-linux-gnu amd64 x86_64"
    "i386 i686-linux-gnu 386 i686"
    "arm64 aarch64-linux-gnu arm64 aarch64"
    "armhf arm-linux-gnueabihf arm/v7 armv7hl"
    "ppc64el powerpc64le-linux-gnu ppc64le ppc64le"
    "s390x s390x-linux-gnu s390x s390x"
    "riscv64 riscv64-linux-gnu riscv64 riscv64"
)

build() { # build ARCH TRIPLET
    local arch=$1 triplet=$2 dir=$work/$1
    local maps="-ffile-prefix-map=$source=. -ffile-prefix-map=$dir=."
    cmake -S "$source" -B "$dir" -G Ninja --toolchain "$source/cmake/cross.cmake" -DFLOODOUT_TRIPLET="$triplet" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DFLOODOUT_STATIC=ON \
        -DFLOODOUT_MAINTAINER="$maintainer" -DCMAKE_CXX_FLAGS="$maps" \
        -DCMAKE_EXE_LINKER_FLAGS="-Wl,--build-id=sha1" >/dev/null
    cmake --build "$dir" --target floodout compressed_docs >/dev/null
    "$triplet-strip" --strip-all -o "$out/floodout-$version-linux-$arch" "$dir/floodout"
    chmod 0755 "$out/floodout-$version-linux-$arch"
}

package() { # package ARCH
    local arch=$1 tree=$work/deb-$1 docs=$work/$1/doc
    rm -rf "$tree"
    install -d -m 0755 "$tree/DEBIAN" "$tree/usr/bin" "$tree/usr/share/man/man1" "$tree/usr/share/doc/floodout" \
        "$tree/usr/share/lintian/overrides"
    install -m 0755 "$out/floodout-$version-linux-$arch" "$tree/usr/bin/floodout"
    install -m 0644 "$docs/floodout.1.gz" "$tree/usr/share/man/man1/"
    install -m 0644 "$docs/changelog.gz" "$docs/copyright" "$tree/usr/share/doc/floodout/"
    # Static on purpose: the same binary runs in an image from scratch.
    printf 'floodout: statically-linked-binary [usr/bin/floodout]\n' >"$tree/usr/share/lintian/overrides/floodout"
    chmod 0644 "$tree/usr/share/lintian/overrides/floodout"
    local size
    size=$(du -k -s --apparent-size "$tree/usr" | cut -f1)
    cat >"$tree/DEBIAN/control" <<EOF
Package: floodout
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $size
Section: utils
Priority: optional
Description: $(head -n 1 "$source/packaging/description.txt")
$(sed -n '3,$s/^/ /p' "$source/packaging/description.txt")
 .
 This build is linked statically.
EOF
    (cd "$tree" && find usr -type f | sort | xargs md5sum >DEBIAN/md5sums)
    chmod 0644 "$tree/DEBIAN/control" "$tree/DEBIAN/md5sums"
    find "$tree" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
    dpkg-deb --root-owner-group -Zxz --build "$tree" "$out/floodout_${version}_$arch.deb" >/dev/null
}

rpm_package() { # rpm_package ARCH RPM-ARCH
    local arch=$1 rpm_arch=$2 top=$work/rpm-$1 docs=$work/$1/doc
    rm -rf "$top"
    mkdir -p "$top/SOURCES"
    cp "$out/floodout-$version-linux-$arch" "$top/SOURCES/floodout"
    cp "$docs/floodout.1.gz" "$docs/changelog" "$source/README.md" "$source/LICENSE" "$top/SOURCES/"
    python3 "$source/packaging/rpm_recipe.py" "$source/packaging/floodout.rpm.in" "$version" "$maintainer" \
        "$source/packaging/description.txt" "$docs/changelog" >"$top/floodout.rpm-recipe"
    # As they are: no stripping, compressing or build-id links of rpm's own;
    # the build's moment and host fixed.
    rpmbuild -bb --quiet --target "$rpm_arch-linux" --define "_topdir $top" --define "debug_package %{nil}" \
        --define "__os_install_post %{nil}" --define "__strip /bin/true" --define "_build_id_links none" \
        --define "_buildhost reproducible" --define "use_source_date_epoch_as_buildtime 1" \
        --define "clamp_mtime_to_source_date_epoch 1" "$top/floodout.rpm-recipe" >/dev/null
    mv "$top/RPMS/$rpm_arch/floodout-$version-1.$rpm_arch.rpm" "$out/"
}

# A configure waits on one CPU most of its time: as many architectures at
# once as there are CPUs, each in its own directory.
running=0
for entry in "${architectures[@]}"; do
    read -r arch triplet _ rpm_arch <<<"$entry"
    echo "floodout $version for $arch"
    if ((running >= $(nproc))); then
        wait -n
        running=$((running - 1))
    fi
    (build "$arch" "$triplet" && package "$arch" && rpm_package "$arch" "$rpm_arch") &
    running=$((running + 1))
done
while ((running > 0)); do
    wait -n
    running=$((running - 1))
done

"$source/packaging/image.sh" "$work" "$out" "$version" "${architectures[@]}"

(cd "$out" && sha256sum -- * >SHA256SUMS)
echo "release files in $out:"
ls -l "$out"
