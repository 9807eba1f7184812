# The reference engine's archive libraries, built for i686 mingw by tools/setup.sh from Debian's
# sources: 7-Zip's format handlers (linked whole: each handler registers itself when the program
# starts) and libarchive's RAR readers; and PCRE2, for the regular expressions of signatures.
# The names carry the level of our patches to each (tools/setup.sh); not cache entries, so that a build
# folder follows a new level.
set(TERVAN_7ZIP_CACHE "/var/cache/tervan/7zip-26.02-p6-i686")
set(TERVAN_LIBARCHIVE_CACHE "/var/cache/tervan/libarchive-3.6.2-p2-i686")
set(TERVAN_PCRE2_CACHE "/var/cache/tervan/pcre2-10.42-p2-i686")
foreach(name TERVAN_7ZIP_CACHE TERVAN_LIBARCHIVE_CACHE TERVAN_PCRE2_CACHE)
  if(DEFINED ENV{${name}})
    set(${name} "$ENV{${name}}")
  endif()
endforeach()
foreach(lib "${TERVAN_7ZIP_CACHE}/lib/lib7zip.a" "${TERVAN_LIBARCHIVE_CACHE}/lib/libarchive_static.a" "${TERVAN_PCRE2_CACHE}/lib/libpcre2-8.a")
  if(NOT EXISTS "${lib}")
    message(FATAL_ERROR "${lib} is missing: run tools/setup.sh")
  endif()
endforeach()

add_library(sevenzip INTERFACE)
target_include_directories(sevenzip SYSTEM INTERFACE "${TERVAN_7ZIP_CACHE}/include")
# As 7-Zip's own sources were built: with threads, RAR left out.
target_compile_definitions(sevenzip INTERFACE Z7_EXTERNAL_CODECS)
target_link_libraries(sevenzip INTERFACE "-Wl,--whole-archive" "${TERVAN_7ZIP_CACHE}/lib/lib7zip.a" "-Wl,--no-whole-archive"
  oleaut32 uuid)

add_library(libarchive_rar INTERFACE)
target_include_directories(libarchive_rar SYSTEM INTERFACE "${TERVAN_LIBARCHIVE_CACHE}/include")
target_link_libraries(libarchive_rar INTERFACE "${TERVAN_LIBARCHIVE_CACHE}/lib/libarchive_static.a" advapi32)

add_library(pcre2 INTERFACE)
target_include_directories(pcre2 SYSTEM INTERFACE "${TERVAN_PCRE2_CACHE}/include")
target_compile_definitions(pcre2 INTERFACE PCRE2_STATIC PCRE2_CODE_UNIT_WIDTH=8)
target_link_libraries(pcre2 INTERFACE "${TERVAN_PCRE2_CACHE}/lib/libpcre2-8.a")
