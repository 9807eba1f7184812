#!/usr/bin/env bash
# Makes a Debian 12 machine ready to build and test the scanner: packages, then the cross-compiled
# libraries, built side by side, each published into the cache by one rename once complete. Quick when
# everything is already in place. One set-up at a time per cache: a second waits for the first, then
# finds what it built.
#   setup.sh              everything the tests use (the installer's NSIS too)
#   setup.sh --programs   only what the programs need to build and start
set -euo pipefail

BOOST_CACHE=${TERVAN_BOOST_CACHE:-/var/cache/tervan/boost-1.81-i686}
# The archive libraries of the reference engine, from Debian's sources: 7-Zip (every format but RAR's
# packing methods, which Debian leaves out) and libarchive (RAR 4 and 5). Their sources are kept too,
# for the native fuzz build.
# Our fixes to the libraries are in tools/patches/PACKAGE; each library's level names that set and the
# build's options in its caches' names (raise it when they change; cmake/ArchiveLibraries.cmake names
# the same folders).
# PCRE2 runs the regular expressions of signatures.
# NSIS makes the installer: built from Debian's source (3.11's, from the pool: the mirror has lost
# 3.08's) with relocatable stubs, which Debian's binary package does not have.
SEVENZIP_LEVEL=p6
LIBARCHIVE_LEVEL=p2
PCRE2_LEVEL=p2
NSIS_LEVEL=p1
SEVENZIP_CACHE=${TERVAN_7ZIP_CACHE:-/var/cache/tervan/7zip-26.02-$SEVENZIP_LEVEL-i686}
LIBARCHIVE_CACHE=${TERVAN_LIBARCHIVE_CACHE:-/var/cache/tervan/libarchive-3.6.2-$LIBARCHIVE_LEVEL-i686}
PCRE2_CACHE=${TERVAN_PCRE2_CACHE:-/var/cache/tervan/pcre2-10.42-$PCRE2_LEVEL-i686}
NSIS_CACHE=${TERVAN_NSIS_CACHE:-/var/cache/tervan/nsis-3.11-$NSIS_LEVEL}  # tools/package.sh names it too
NSIS_SOURCE=http://deb.debian.org/debian/pool/main/n/nsis/nsis_3.11.orig.tar.gz
NSIS_SOURCE_SHA256=9643566e50357918f23c0c4afdac0be8b5305b031b3aeb69f86c17a0a7eb469d
SOURCE_CACHE=${TERVAN_SOURCE_CACHE:-/var/cache/tervan/src}
SETUP_LOCK=${TERVAN_SETUP_LOCK:-/var/cache/tervan/.setup.lock}
SETUP_ROOT=$(cd "$(dirname "$0")/.." && pwd)
PACKAGES=(cmake make dpkg-dev g++-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-tools
          libboost1.81-dev googletest libz-mingw-w64-dev wine wine32:i386 fonts-wine
          fonts-liberation fonts-dejavu-core fonts-wqy-microhei xvfb xauth imagemagick zip unzip xz-utils bc cpio
          python3 openssl scons zlib1g-dev curl)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# A mirror caught mid-sync fails one index now and then ("File has unexpected size"): try again after a
# pause, and if one index still fails, go on with the lists there are; the install says what is missing.
apt_update() {
    local attempt
    for attempt in 1 2 3; do
        as_root apt-get update -q && return 0
        echo "setup: apt-get update failed (attempt $attempt of 3)" >&2
        [ "$attempt" -lt 3 ] && sleep 30
    done
    echo "setup: going on with the package lists apt has" >&2
}

missing_packages() {
    local p
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed' || echo "$p"
    done
}

install_packages() {
    local missing
    missing=$(missing_packages)
    [ -z "$missing" ] && return 0
    echo "setup: installing: $(echo $missing)"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
    fi
    add_source_list
    apt_update
    if ! DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -q --no-install-recommends $missing; then
        # When one architecture's security index could not be read, its packages and the machine's own
        # differ in version and cannot be installed side by side; the release's own versions of both can.
        local release
        release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
        [ -n "$release" ] || return 1
        echo "setup: installing again, from $release's own versions" >&2
        DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -q --no-install-recommends -t "$release" $missing
    fi
}

# A deb-src entry beside the machine's own list, so that Debian's Boost sources can be fetched.
add_source_list() {
    local src=/etc/apt/sources.list.d/tervan-deb-src.sources
    [ -f "$src" ] && return 0
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed -e 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | as_root tee "$src" >/dev/null
    else
        grep -h '^deb ' /etc/apt/sources.list 2>/dev/null | sed 's/^deb /deb-src /' \
            | as_root tee /etc/apt/sources.list.d/tervan-deb-src.list >/dev/null
        as_root touch "$src"
    fi
    return 0
}

build_boost() {
    if [ -f "$BOOST_CACHE/lib/libboost_thread.a" ] && [ -f "$BOOST_CACHE/lib/libboost_filesystem.a" ]; then
        return 0
    fi
    echo "setup: building Boost.Thread and Boost.Filesystem for i686 mingw into $BOOST_CACHE"
    add_source_list
    if ! ls /var/lib/apt/lists/*_source_Sources* >/dev/null 2>&1; then apt_update; fi
    local work
    work=$(mktemp -d)
    (cd "$work" && apt-get source --download-only -q boost1.81 >/dev/null)
    local tarball
    tarball=$(ls "$work"/boost1.81_*.orig.tar.* | head -n 1)
    tar -C "$work" -xf "$tarball" --wildcards '*/libs/thread/src/*' '*/libs/filesystem/src/*'
    local top
    top=$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -n 1)

    # Debian's Boost headers, and nothing else of the machine's include folder, for the cross compiler.
    mkdir -p "$work/include"
    ln -sfn /usr/include/boost "$work/include/boost"
    local cxx=i686-w64-mingw32-g++-posix
    local flags=(-std=c++17 -O2 -isystem "$work/include" -DBOOST_ALL_NO_LIB -D_WIN32_WINNT=0x0601)
    mkdir -p "$work/obj/thread" "$work/obj/fs"
    local f pids=()
    for f in "$top"/libs/thread/src/win32/thread.cpp "$top"/libs/thread/src/win32/tss_dll.cpp \
             "$top"/libs/thread/src/win32/tss_pe.cpp "$top"/libs/thread/src/win32/thread_primitives.cpp \
             "$top"/libs/thread/src/future.cpp; do
        "$cxx" "${flags[@]}" -DBOOST_THREAD_BUILD_LIB -DBOOST_THREAD_USE_LIB -c "$f" \
            -o "$work/obj/thread/$(basename "$f" .cpp).o" &
        pids+=($!)
    done
    for f in "$top"/libs/filesystem/src/*.cpp; do
        "$cxx" "${flags[@]}" -DBOOST_FILESYSTEM_STATIC_LINK -DBOOST_FILESYSTEM_SOURCE \
            -DBOOST_FILESYSTEM_NO_CXX20_ATOMIC_REF -DBOOST_FILESYSTEM_HAS_BCRYPT \
            -I "$top/libs/filesystem/src" -c "$f" -o "$work/obj/fs/$(basename "$f" .cpp).o" &
        pids+=($!)
    done
    local pid failed=0
    for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
    if [ "$failed" -ne 0 ]; then
        echo "setup: compiling Boost failed" >&2
        rm -rf "$work"
        return 1
    fi
    local staged="$work/staged"
    mkdir -p "$staged/lib" "$staged/include"
    ln -sfn /usr/include/boost "$staged/include/boost"
    i686-w64-mingw32-ar rcs "$staged/lib/libboost_thread.a" "$work"/obj/thread/*.o
    i686-w64-mingw32-ar rcs "$staged/lib/libboost_filesystem.a" "$work"/obj/fs/*.o
    publish "$staged" "$BOOST_CACHE"
    rm -rf "$work"
}

# The complete folder STAGED becomes CACHE by one rename: a set-up killed before it leaves nothing
# that a later one would trust.
publish() {
    local staged=$1 cache=$2
    as_root mkdir -p "$(dirname "$cache")"
    as_root rm -rf "$cache.part"
    as_root cp -a "$staged" "$cache.part"
    as_root rm -rf "$cache"
    as_root mv -T "$cache.part" "$cache"
}

# Debian's source package of NAME, unpacked with its patches and ours (at LEVEL) into
# $SOURCE_CACHE/NAME (once).
unpack_source() {
    local name=$1 level=$2
    [ -f "$SOURCE_CACHE/$name/.unpacked-$level" ] && return 0
    add_source_list
    if ! ls /var/lib/apt/lists/*_source_Sources* >/dev/null 2>&1; then apt_update; fi
    local work
    work=$(mktemp -d)
    # The newest version first; an older one of the lists when a mirror has dropped the newest.
    local version
    if ! (cd "$work" && apt-get source --download-only -q "$name" >/dev/null 2>&1); then
        for version in $(apt-cache showsrc "$name" 2>/dev/null | sed -n 's/^Version: //p' | sort -rV); do
            rm -f "$work"/*
            (cd "$work" && apt-get source --download-only -q "$name=$version" >/dev/null 2>&1) && break
        done
    fi
    as_root rm -rf "$SOURCE_CACHE/$name"
    as_root mkdir -p "$SOURCE_CACHE"
    as_root dpkg-source -x "$(ls "$work"/*.dsc | head -n 1)" "$SOURCE_CACHE/$name" >/dev/null 2>&1
    local fix
    for fix in "$SETUP_ROOT/tools/patches/$name"/*.patch; do
        [ -f "$fix" ] && as_root patch -s -d "$SOURCE_CACHE/$name" -p1 <"$fix"
    done
    as_root touch "$SOURCE_CACHE/$name/.unpacked-$level"
    rm -rf "$work"
}

build_7zip() {
    [ -f "$SEVENZIP_CACHE/lib/lib7zip.a" ] && return 0
    echo "setup: building 7-Zip's formats for i686 mingw into $SEVENZIP_CACHE"
    unpack_source 7zip "$SEVENZIP_LEVEL"
    local work
    work=$(mktemp -d)
    cp -a "$SOURCE_CACHE/7zip/." "$work/"
    # The RAR handlers left out with their packing methods; warnings of a newer compiler are not errors
    # here. With threads: LZMA2 and xz streams of several blocks unpack on every processor. Its large
    # blocks (VirtualAlloc, not malloc) within the engine's bound on one allocation, 256 MiB.
    make -C "$work/CPP/7zip/Bundles/Format7zF" -f makefile.gcc -j "$(nproc)" IS_MINGW=1 MSYSTEM=1 \
        DEB_7Z_CPPFLAGS="-DZ7_MID_ALLOC_MAX=0x10000000" \
        DISABLE_RAR=1 CC=i686-w64-mingw32-gcc-posix CXX=i686-w64-mingw32-g++-posix RC=i686-w64-mingw32-windres \
        CFLAGS_WARN_WALL= >"$work/build.log" 2>&1 || { tail -20 "$work/build.log" >&2; return 1; }
    local objects
    objects=$(ls "$work/CPP/7zip/Bundles/Format7zF/_o/"*.o | grep -v -e '/DllExports2.o$' -e '/resource.o$')
    local staged="$work/staged"
    mkdir -p "$staged/lib" "$staged/include"
    i686-w64-mingw32-ar rcs "$staged/lib/lib7zip.a" $objects
    # The headers, as the sources include them.
    (cd "$work" && find C CPP -name '*.h' | cpio -pdm --quiet "$staged/include")
    publish "$staged" "$SEVENZIP_CACHE"
    rm -rf "$work"
}

# A library's CMake project (SOURCE) built static for i686 mingw in WORK: its TARGET, or all when
# that is empty; the logs' last lines on failure.
cross_cmake() {
    local source=$1 work=$2 target=$3
    shift 3
    cmake -S "$source" -B "$work" -DCMAKE_TOOLCHAIN_FILE="$SETUP_ROOT/cmake/toolchain-mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF "$@" >"$work/configure.log" 2>&1 ||
        { tail -20 "$work/configure.log" >&2; return 1; }
    cmake --build "$work" ${target:+--target "$target"} -j "$(nproc)" >"$work/build.log" 2>&1 ||
        { tail -20 "$work/build.log" >&2; return 1; }
}

build_libarchive() {
    [ -f "$LIBARCHIVE_CACHE/lib/libarchive_static.a" ] && return 0
    echo "setup: building libarchive (its RAR readers) for i686 mingw into $LIBARCHIVE_CACHE"
    unpack_source libarchive "$LIBARCHIVE_LEVEL"
    local work
    work=$(mktemp -d)
    cross_cmake "$SOURCE_CACHE/libarchive" "$work" archive_static -DENABLE_WERROR=OFF -DENABLE_TEST=OFF \
        -DENABLE_TAR=OFF -DENABLE_CPIO=OFF -DENABLE_CAT=OFF -DENABLE_ACL=OFF -DENABLE_XATTR=OFF -DENABLE_ICONV=OFF \
        -DENABLE_OPENSSL=OFF -DENABLE_MBEDTLS=OFF -DENABLE_NETTLE=OFF -DENABLE_CNG=OFF -DENABLE_LIBB2=OFF \
        -DENABLE_LZ4=OFF -DENABLE_LZO=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF -DENABLE_ZLIB=OFF -DENABLE_BZip2=OFF \
        -DENABLE_LIBXML2=OFF -DENABLE_EXPAT=OFF -DENABLE_PCREPOSIX=OFF -DENABLE_LIBGCC=OFF -DPOSIX_REGEX_LIB=NONE
    local staged="$work/staged"
    mkdir -p "$staged/lib" "$staged/include"
    cp "$work/libarchive/libarchive_static.a" "$staged/lib/"
    cp "$SOURCE_CACHE/libarchive/libarchive/archive.h" "$SOURCE_CACHE/libarchive/libarchive/archive_entry.h" "$staged/include/"
    publish "$staged" "$LIBARCHIVE_CACHE"
    rm -rf "$work"
}

build_pcre2() {
    [ -f "$PCRE2_CACHE/lib/libpcre2-8.a" ] && return 0
    echo "setup: building PCRE2 for i686 mingw into $PCRE2_CACHE"
    unpack_source pcre2 "$PCRE2_LEVEL"
    local work
    work=$(mktemp -d)
    # 8-bit subjects only; with the JIT, which the engine uses for a pattern once its trigger has matched.
    cross_cmake "$SOURCE_CACHE/pcre2" "$work" "" -DBUILD_STATIC_LIBS=ON -DPCRE2_BUILD_PCRE2_8=ON \
        -DPCRE2_BUILD_PCRE2_16=OFF -DPCRE2_BUILD_PCRE2_32=OFF -DPCRE2_SUPPORT_JIT=ON -DPCRE2_BUILD_PCRE2GREP=OFF \
        -DPCRE2_BUILD_TESTS=OFF -DPCRE2_SUPPORT_LIBZ=OFF -DPCRE2_SUPPORT_LIBBZ2=OFF -DPCRE2_SUPPORT_LIBREADLINE=OFF \
        -DPCRE2_SUPPORT_LIBEDIT=OFF
    local staged="$work/staged"
    mkdir -p "$staged/lib" "$staged/include"
    cp "$(find "$work" -name 'libpcre2-8*.a' -not -path "$staged/*" | head -n 1)" "$staged/lib/libpcre2-8.a"
    cp "$work/pcre2.h" "$staged/include/"
    publish "$staged" "$PCRE2_CACHE"
    rm -rf "$work"
}

# makensis for this machine, with the stubs, plug-ins and include files it puts into installers.
build_nsis() {
    [ -x "$NSIS_CACHE/bin/makensis" ] && return 0
    echo "setup: building NSIS (makensis and relocatable stubs) into $NSIS_CACHE"
    local work
    work=$(mktemp -d)
    if ! curl -fsSL -o "$work/nsis.tar.gz" "$NSIS_SOURCE" ||
        ! echo "$NSIS_SOURCE_SHA256  $work/nsis.tar.gz" | sha256sum -c --quiet - >/dev/null 2>&1; then
        # Still a working build: Debian's makensis (tools/package.sh takes it), without ASLR, which the
        # tests then report.
        echo "setup: warning: NSIS's source is not to be had from $NSIS_SOURCE; the installer is made by Debian's makensis, without ASLR" >&2
        rm -rf "$work"
        DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -q --no-install-recommends nsis >/dev/null
        return 0
    fi
    tar -xzf "$work/nsis.tar.gz" -C "$work"
    local fix source=$work/nsis-3.11
    for fix in "$SETUP_ROOT/tools/patches/nsis"/*.patch; do patch -s -d "$source" -p1 <"$fix"; done
    # Only what makes installers: no documentation, examples or Windows tools beside the UI resources.
    (cd "$source" && scons -j "$(nproc)" XGCC_W32_PREFIX=i686-w64-mingw32- PREFIX="$NSIS_CACHE" PREFIX_DEST="$work/staged" \
        "SKIPUTILS=Library/RegTool,MakeLangId,Makensisw,NSIS Menu,SubStart,VPatch/Source/GenPat,zip2exe" SKIPDOC=all \
        VERSION=3.11 install-bin install-conf install-data >"$work/build.log" 2>&1) ||
        { tail -20 "$work/build.log" >&2; return 1; }
    publish "$work/staged$NSIS_CACHE" "$NSIS_CACHE"
    rm -rf "$work"
}

programs_only=0
[ "${1:-}" = --programs ] && programs_only=1

as_root mkdir -p "$(dirname "$SETUP_LOCK")"
[ -w "$SETUP_LOCK" ] || { as_root touch "$SETUP_LOCK" && as_root chmod 666 "$SETUP_LOCK"; }
exec 9>>"$SETUP_LOCK"
if ! flock -n 9; then
    echo "setup: another set-up is running; waiting for it (at most an hour)"
    flock -w 3600 9 || { echo "setup: the other set-up did not end within an hour" >&2; exit 1; }
fi

install_packages
# The source lists once, before the libraries fetch their sources side by side.
add_source_list
if ! ls /var/lib/apt/lists/*_source_Sources* >/dev/null 2>&1; then apt_update; fi
# Each library builds on every core; side by side, one's serial steps (fetching, configuring, linking)
# leave the cores to the others.
# Each build says how long it took (bench/fresh-setup.sh reads it).
timed() {
    local started=$SECONDS
    "$@" || return 1
    [ $((SECONDS - started)) -gt 1 ] && echo "setup: $1 took $((SECONDS - started)) s"
    return 0
}
pids=()
for library in build_boost build_7zip build_libarchive build_pcre2; do
    timed "$library" &
    pids+=($!)
done
failed=0
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
[ "$failed" = 0 ] || { echo "setup: a library could not be built (its log's last lines are above)" >&2; exit 1; }
[ "$programs_only" = 1 ] || timed build_nsis
echo "setup: ready (Boost in $BOOST_CACHE, 7-Zip in $SEVENZIP_CACHE, libarchive in $LIBARCHIVE_CACHE, PCRE2 in $PCRE2_CACHE, NSIS in $NSIS_CACHE)"
