# Boost: Debian's headers, and Thread and Filesystem built for i686 mingw by tools/setup.sh.
set(TERVAN_BOOST_CACHE "/var/cache/tervan/boost-1.81-i686" CACHE PATH "Cross-compiled Boost libraries")
if(DEFINED ENV{TERVAN_BOOST_CACHE})
  set(TERVAN_BOOST_CACHE "$ENV{TERVAN_BOOST_CACHE}")
endif()
foreach(lib thread filesystem)
  if(NOT EXISTS "${TERVAN_BOOST_CACHE}/lib/libboost_${lib}.a")
    message(FATAL_ERROR "Boost.${lib} for mingw is missing in ${TERVAN_BOOST_CACHE}: run tools/setup.sh")
  endif()
endforeach()

add_library(boost_headers INTERFACE)
target_include_directories(boost_headers SYSTEM INTERFACE "${TERVAN_BOOST_CACHE}/include")
target_compile_definitions(boost_headers INTERFACE BOOST_ALL_NO_LIB BOOST_THREAD_USE_LIB
  BOOST_FILESYSTEM_STATIC_LINK BOOST_FILESYSTEM_NO_CXX20_ATOMIC_REF BOOST_BIND_GLOBAL_PLACEHOLDERS
  BOOST_CHRONO_HEADER_ONLY)

add_library(boost_thread STATIC IMPORTED)
set_target_properties(boost_thread PROPERTIES IMPORTED_LOCATION "${TERVAN_BOOST_CACHE}/lib/libboost_thread.a"
  INTERFACE_LINK_LIBRARIES boost_headers)
add_library(boost_filesystem STATIC IMPORTED)
set_target_properties(boost_filesystem PROPERTIES IMPORTED_LOCATION "${TERVAN_BOOST_CACHE}/lib/libboost_filesystem.a"
  INTERFACE_LINK_LIBRARIES "boost_headers;bcrypt")
