# The Windows zip a maker hands out, and the source archive its written offer promises.
# Sourced by scripts/windows, which defines repo, cache_root, log, die and build.
#
# Environment:
#   FRESHGATE_WINDOWS_DIST                 where both go (default dist/ of the tree)
#   FRESHGATE_AUTHENTICODE_CERT, _KEY      sign both executables (Authenticode, osslsigncode)
#                                          with this certificate (PEM or DER, with its chain)
#                                          and private key; give both or neither
#   FRESHGATE_AUTHENTICODE_PASSWORD        the key's password, when it has one
#   FRESHGATE_AUTHENTICODE_TIMESTAMP       an RFC 3161 time-stamp server to countersign with,
#                                          so the signature outlives the certificate

# The source packages linked into both executables, as the toolchain's recipe builds them.
shipped_sources=(qt6-base libmspack chmlib libsodium)
# The binary packages whose code is linked in too: the C runtime and winpthreads, and
# libgcc/libstdc++ (both come from the gcc-mingw-w64 source).
shipped_binaries=(mingw-w64-x86-64-dev gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix)
# The licence texts in the zip: "package:path in its source" and the name in licenses/.
shipped_licences=(
    "qt6-base:LICENSES/LGPL-3.0-only.txt qt6-base/LGPL-3.0-only.txt"
    "qt6-base:LICENSES/GPL-3.0-only.txt qt6-base/GPL-3.0-only.txt"
    "qt6-base:src/3rdparty/zlib/LICENSE qt6-base/zlib-LICENSE.txt"
    "qt6-base:src/3rdparty/libpng/LICENSE qt6-base/libpng-LICENSE.txt"
    "qt6-base:src/3rdparty/pcre2/LICENCE qt6-base/pcre2-LICENCE.txt"
    "qt6-base:src/3rdparty/pcre2/LICENCE-SLJIT qt6-base/pcre2-LICENCE-SLJIT.txt"
    "qt6-base:src/3rdparty/freetype/docs/FTL.TXT qt6-base/freetype-FTL.txt"
    "qt6-base:src/3rdparty/harfbuzz-ng/COPYING qt6-base/harfbuzz-COPYING.txt"
    "libmspack:COPYING.LIB libmspack/COPYING.LIB.txt"
    "chmlib:COPYING chmlib/COPYING.txt"
    "libsodium:LICENSE libsodium/LICENSE.txt"
)

project_version() {
    sed -nE 's/^project\(Freshgate VERSION ([0-9.]+).*/\1/p' "$repo/CMakeLists.txt"
}

# The .dsc of the source package $1 that the toolchain was built from: the rule toolchain_unpack
# follows.
source_dsc() {
    local dsc
    dsc=$(cd "$cache_root/sources" 2>/dev/null && ls -1 "${1}"_*.dsc 2>/dev/null | sort -V | tail -n 1)
    [[ -n "$dsc" ]] || die "no source package $1 in $cache_root/sources: run scripts/windows toolchain"
    echo "$cache_root/sources/$dsc"
}

# The files a .dsc names (its orig and Debian tarballs, or its diff).
dsc_files() {
    awk '/^Files:/ { files = 1; next } /^[^ ]/ { files = 0 } files && NF == 3 { print $3 }' "$1"
}

dsc_version() {
    sed -n 's/^Version: //p' "$1"
}

# Unpacks the files $3... of source package $1 into folder $2, each at its path in the source:
# debian/ ones from the Debian tarball, the rest from the upstream one. One pass per tarball:
# qt6-base's is large.
source_files() {
    local package=$1 dest=$2 dsc file path
    shift 2
    local upstream=() debian=()
    for path in "$@"; do
        if [[ "$path" == debian/* ]]; then debian+=("$path"); else upstream+=("*/$path"); fi
    done
    dsc=$(source_dsc "$package")
    mkdir -p "$dest"
    for file in $(dsc_files "$dsc"); do
        case "$file" in
        *.debian.tar.*)
            [[ ${#debian[@]} -gt 0 ]] && tar -xf "$cache_root/sources/$file" -C "$dest" "${debian[@]}"
            ;;
        *.orig.tar.*)
            [[ ${#upstream[@]} -gt 0 ]] && tar -xf "$cache_root/sources/$file" -C "$dest" \
                --strip-components=1 --wildcards --no-wildcards-match-slash "${upstream[@]}"
            ;;
        esac
    done
    for path in "$@"; do
        [[ -f "$dest/$path" ]] || die "no $path in the source of $package"
    done
}

licences_into() {
    local dir=$1 package entry paths tmp
    tmp=$(mktemp -d)
    for package in "${shipped_sources[@]}"; do
        # Debian's copyright file names every author and licence in the package, bundled code too.
        paths=(debian/copyright)
        for entry in "${shipped_licences[@]}"; do
            [[ "$entry" == "$package:"* ]] && paths+=("$(cut -d' ' -f1 <<<"${entry#*:}")")
        done
        source_files "$package" "$tmp/$package" "${paths[@]}"
        mkdir -p "$dir/$package"
        cp "$tmp/$package/debian/copyright" "$dir/$package/copyright.txt"
    done
    for entry in "${shipped_licences[@]}"; do
        package=${entry%%:*}
        mkdir -p "$(dirname "$dir/${entry#* }")"
        cp "$tmp/$package/$(cut -d' ' -f1 <<<"${entry#*:}")" "$dir/${entry#* }"
    done
    rm -rf "$tmp"
    # One copyright file per source package: gcc's and g++'s are the same text.
    local source
    for package in "${shipped_binaries[@]}"; do
        source=$(dpkg-query -W -f='${source:Package}' "$package")
        mkdir -p "$dir/$source"
        cp "/usr/share/doc/$package/copyright" "$dir/$source/copyright.txt"
    done
}

# The written offer, with the exact versions the build used.
source_offer() {
    local version=$1 day=$2 package
    cat <<EOF
Freshgate $version for 64-bit Windows: the source code of what it is built from

freshgate.exe and freshgate-publish.exe are linked statically with libraries
built from these Debian 12 source packages:

EOF
    for package in "${shipped_sources[@]}"; do
        printf '  %-12s %s\n' "$package" "$(dsc_version "$(source_dsc "$package")")"
    done
    cat <<EOF

and with the compilers' run-time libraries from these Debian 12 packages:

EOF
    for package in "${shipped_binaries[@]}"; do
        printf '  %-30s %s (source %s)\n' "$package" \
            "$(dpkg-query -W -f='${Version}' "$package")" "$(dpkg-query -W -f='${source:Package} ${source:Version}' "$package")"
    done
    cat <<EOF

Qt (qt6-base) is used under the GNU Lesser General Public License version 3,
libmspack and chmlib under the GNU Lesser General Public License version 2.1;
their texts, and those of every other library, are in the licenses folder.

Written offer. For three years from $day, Velmora will give anyone who asks,
for no more than the cost of making and sending the copy, the complete
corresponding source code of the source packages above, together with the
source of Freshgate $version and the scripts that build freshgate.exe and
freshgate-publish.exe from them, so that the programs can be rebuilt and
relinked with a modified version of any of these libraries. Ask Velmora
<support@velmora.example>. The same source is published beside this zip as
freshgate-$version-windows-sources.tar; scripts/windows in it rebuilds both
programs on Debian 12 (docs/windows.md tells how).
EOF
}

# Signs $1 in place with the maker's Authenticode certificate, when one is given.
sign_executable() {
    local exe=$1 cert=${FRESHGATE_AUTHENTICODE_CERT:-} key=${FRESHGATE_AUTHENTICODE_KEY:-}
    [[ -z "$cert" && -z "$key" ]] && return 0
    [[ -n "$cert" && -n "$key" ]] ||
        die "give both FRESHGATE_AUTHENTICODE_CERT and FRESHGATE_AUTHENTICODE_KEY, or neither"
    local args=(sign -certs "$cert" -key "$key" -h sha256 -n "Freshgate"
        -i "https://velmora.example/freshgate")
    local pass
    if [[ -n "${FRESHGATE_AUTHENTICODE_PASSWORD:-}" ]]; then
        # From a file, not the command line, where any user could read it.
        pass=$(mktemp)
        printf '%s' "$FRESHGATE_AUTHENTICODE_PASSWORD" >"$pass"
        args+=(-readpass "$pass")
    fi
    [[ -n "${FRESHGATE_AUTHENTICODE_TIMESTAMP:-}" ]] && args+=(-ts "$FRESHGATE_AUTHENTICODE_TIMESTAMP")
    local rc=0
    osslsigncode "${args[@]}" -in "$exe" -out "$exe.signed" >"$exe.sign.log" 2>&1 || rc=$?
    [[ -n "${pass:-}" ]] && rm -f "$pass"
    [[ $rc -eq 0 ]] || die "signing $(basename "$exe") failed: $(cat "$exe.sign.log")"
    mv "$exe.signed" "$exe"
    rm -f "$exe.sign.log"
    log "signed $(basename "$exe")"
}

# dist/freshgate-<version>-windows-x64.zip: both executables (signed when the maker gives a
# certificate), the licence, the third-party list and licence texts, a README and the offer.
package() {
    install_packages
    build
    local version dist bin work name top epoch
    version=$(project_version)
    dist=${FRESHGATE_WINDOWS_DIST:-$repo/dist}
    bin=${FRESHGATE_WINDOWS_BUILD:-$repo/build-windows}/freshgate
    name=freshgate-$version-windows-x64
    local f
    for f in LICENSE THIRD-PARTY.md; do
        [[ -f "$repo/$f" ]] || die "$f is missing at the root of the tree"
    done
    if [[ -n "$(git -C "$repo" status --porcelain 2>/dev/null)" ]]; then
        log "warning: the tree has uncommitted changes; the source archive holds HEAD only"
    fi
    # Dates inside the zip are the commit's, so the same tree gives the same zip.
    epoch=$(git -C "$repo" log -1 --format=%ct 2>/dev/null || date +%s)
    work=$(mktemp -d)
    top=$work/$name
    mkdir -p "$top/licenses" "$dist"
    cp "$bin/freshgate.exe" "$bin/freshgate-publish.exe" "$top/"
    sign_executable "$top/freshgate.exe"
    sign_executable "$top/freshgate-publish.exe"
    cp "$repo/LICENSE" "$top/LICENSE.txt"
    cp "$repo/THIRD-PARTY.md" "$top/THIRD-PARTY.md"
    sed "s/@VERSION@/$version/g" "$repo/src/app/windows/README.txt" >"$top/README.txt"
    source_offer "$version" "$(date -u +%Y-%m-%d)" >"$top/SOURCE-OFFER.txt"
    licences_into "$top/licenses"
    # Every text file with Windows line endings, whatever it had.
    find "$top" -type f ! -name '*.exe' -print0 | xargs -0 sed -i 's/\r*$/\r/'
    find "$top" -exec touch -h -d "@$epoch" {} +
    rm -f "$dist/$name.zip"
    (cd "$work" && find "$name" | LC_ALL=C sort | TZ=UTC zip -X -q -@ "$dist/$name.zip")
    rm -rf "$work"
    log "wrote $dist/$name.zip: $(stat -c %s "$dist/$name.zip") bytes"
}

# dist/freshgate-<version>-windows-sources.tar: the source packages the offer names, as Debian
# ships them (unpack each with dpkg-source -x), and this tree at HEAD.
sources() {
    local version dist work name epoch package file
    version=$(project_version)
    dist=${FRESHGATE_WINDOWS_DIST:-$repo/dist}
    name=freshgate-$version-windows-sources
    epoch=$(git -C "$repo" log -1 --format=%ct)
    work=$(mktemp -d)
    mkdir -p "$work/$name/debian-sources" "$dist"
    git -C "$repo" archive --format=tar --prefix="freshgate-$version/" HEAD | tar -x -C "$work/$name"
    for package in "${shipped_sources[@]}"; do
        local dsc
        dsc=$(source_dsc "$package")
        cp "$dsc" "$work/$name/debian-sources/"
        for file in $(dsc_files "$dsc"); do
            cp "$cache_root/sources/$file" "$work/$name/debian-sources/"
        done
    done
    tar -C "$work" --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$epoch" \
        -cf "$dist/$name.tar" "$name"
    rm -rf "$work"
    log "wrote $dist/$name.tar: $(stat -c %s "$dist/$name.tar") bytes"
}
