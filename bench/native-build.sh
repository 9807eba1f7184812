# The reference engine built natively with clang, for the sanitizer builds (sourced once root and build
# are set): 7-Zip's handlers, libarchive's RAR readers and PCRE2 from the sources tools/setup.sh keeps, built
# once per output folder with the libraries' instrumentation, then the engine's own sources.
#   build_native OUT ENGINE_FLAGS LIBRARY_FLAGS
#       sets common (compiler arguments), libraries (their objects), link (linker arguments), and
#       leaves the engine's objects in OUT/obj; the few Windows calls come from bench/fuzz-native/platform
build_native() {
    local out=$1 engine_flags=$2 library_flags=$3
    bash "$root/tools/setup.sh" >/dev/null  # the libraries' sources, and the package lists on a new machine
    local missing=() p
    for p in clang libclang-rt-14-dev zlib1g-dev libssl-dev cmake make time 7zip; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed' || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
    fi
    sources=/var/cache/tervan/src
    rm -rf "$out/obj" && mkdir -p "$out/obj"  # objects of sources since moved must not be linked

    if [ ! -f "$out/7zip/.built" ] || [ "$out/7zip/.built" -ot "$sources/7zip" ]; then
        rm -rf "$out/7zip" && cp -a "$sources/7zip" "$out/7zip"
        local flags="-g -O1 $library_flags"
        make -C "$out/7zip/CPP/7zip/Bundles/Format7zF" -f makefile.gcc -j "$(nproc)" DISABLE_RAR=1 CC=clang CXX=clang++ \
            CFLAGS_WARN_WALL= DEB_7Z_CFLAGS="$flags" DEB_7Z_CXXFLAGS="$flags" >"$out/7zip-build.log" 2>&1
        touch "$out/7zip/.built"
    fi
    if [ ! -f "$out/libarchive/.built" ] || [ "$out/libarchive/.built" -ot "$sources/libarchive" ]; then
        rm -rf "$out/libarchive"
        CC=clang CFLAGS="-g -O1 $library_flags" cmake -S "$sources/libarchive" -B "$out/libarchive" \
            -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DENABLE_WERROR=OFF -DENABLE_TEST=OFF -DENABLE_TAR=OFF \
            -DENABLE_CPIO=OFF -DENABLE_CAT=OFF -DENABLE_ACL=OFF -DENABLE_XATTR=OFF -DENABLE_ICONV=OFF -DENABLE_OPENSSL=OFF \
            -DENABLE_MBEDTLS=OFF -DENABLE_NETTLE=OFF -DENABLE_CNG=OFF -DENABLE_LIBB2=OFF -DENABLE_LZ4=OFF -DENABLE_LZO=OFF \
            -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF -DENABLE_ZLIB=OFF -DENABLE_BZip2=OFF -DENABLE_LIBXML2=OFF -DENABLE_EXPAT=OFF \
            -DENABLE_PCREPOSIX=OFF -DENABLE_LIBGCC=OFF -DPOSIX_REGEX_LIB=NONE >"$out/libarchive-configure.log" 2>&1
        cmake --build "$out/libarchive" --target archive_static -j "$(nproc)" >"$out/libarchive-build.log" 2>&1
        touch "$out/libarchive/.built"
    fi
    # With the JIT, as the engine is built (a folder built without it is built again).
    if [ ! -f "$out/pcre2/.built-jit" ] || [ "$out/pcre2/.built-jit" -ot "$sources/pcre2" ]; then
        rm -rf "$out/pcre2"
        CC=clang CFLAGS="-g -O1 $library_flags" cmake -S "$sources/pcre2" -B "$out/pcre2" -DCMAKE_BUILD_TYPE=Release \
            -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DPCRE2_BUILD_PCRE2_8=ON -DPCRE2_SUPPORT_JIT=ON \
            -DPCRE2_BUILD_PCRE2GREP=OFF -DPCRE2_BUILD_TESTS=OFF >"$out/pcre2-configure.log" 2>&1
        cmake --build "$out/pcre2" -j "$(nproc)" >"$out/pcre2-build.log" 2>&1
        touch "$out/pcre2/.built-jit"
    fi
    libraries=($(ls "$out/7zip/CPP/7zip/Bundles/Format7zF/_o/"*.o | grep -v '/DllExports2.o$') "$out/libarchive/libarchive/libarchive.a"
               "$(find "$out/pcre2" -name 'libpcre2-8*.a' | head -n 1)")

    # The engine's sources as its build finds them: every room but the DLL's exports.
    local engine_sources f
    engine_sources=($(find "$root/refengine" -name '*.cpp' -not -path "$root/refengine/dll/*" | sort) "$root/bench/fuzz-native/Platform.cpp")
    common=(-std=c++17 -g -msse2 -DZ7_EXTERNAL_CODECS -DPCRE2_STATIC -DPCRE2_CODE_UNIT_WIDTH=8 -I "$root/bench/fuzz-native/platform"
            -I "$root" -I "$out/7zip" -I "$sources/libarchive/libarchive" -I "$out/pcre2")
    # As many at once as there are cores: sixty at once leave a shared machine nothing for its other work.
    local running=0 failed=0
    for f in "${engine_sources[@]}"; do
        if [ "$running" -ge "$(nproc)" ]; then
            wait -n || failed=1
            running=$((running - 1))
        fi
        clang++ "${common[@]}" -O1 $engine_flags -c "$f" -o "$out/obj/$(basename "$(dirname "$f")")-$(basename "$f" .cpp).o" &
        running=$((running + 1))
    done
    while [ "$running" -gt 0 ]; do
        wait -n || failed=1
        running=$((running - 1))
    done
    [ "$failed" = 0 ]
    # The engine caps its allocations by wrapping the allocator.
    link=(-Wl,--wrap=malloc -Wl,--wrap=calloc -Wl,--wrap=realloc -Wl,--wrap=posix_memalign -lz -lcrypto -lpthread -ldl)
}
