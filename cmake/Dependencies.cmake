# SQLite 3, Crypto++ and zlib as imported targets vx::sqlite3, vx::cryptopp,
# vx::zlib; natively also libpq as vx::libpq (the server's PostgreSQL store
# and the tests' private clusters) and standalone Asio as vx::asio. Natively they are Debian's -dev packages; for the Windows builds
# SQLite and Crypto++ come from the cache that scripts/build_third_party.sh
# fills, and zlib from Debian's mingw package.
if(VX_WINDOWS)
  if(NOT VX_THIRD_PARTY_PREFIX)
    if(DEFINED ENV{VX_CACHE})
      set(_cache $ENV{VX_CACHE})
    else()
      set(_cache $ENV{HOME}/.cache/vestara-dc)
    endif()
    set(VX_THIRD_PARTY_PREFIX ${_cache}/mingw/${CMAKE_SYSTEM_PROCESSOR}
        CACHE PATH "Prefix holding SQLite and Crypto++ for this mingw target")
  endif()
  foreach(_lib sqlite3 cryptopp)
    if(NOT EXISTS ${VX_THIRD_PARTY_PREFIX}/lib/lib${_lib}.a)
      message(FATAL_ERROR "${VX_THIRD_PARTY_PREFIX}/lib/lib${_lib}.a is missing: "
                          "run scripts/build_third_party.sh (scripts/dev setup does)")
    endif()
    add_library(vx::${_lib} STATIC IMPORTED)
    set_target_properties(vx::${_lib} PROPERTIES IMPORTED_LOCATION ${VX_THIRD_PARTY_PREFIX}/lib/lib${_lib}.a
                                                 INTERFACE_INCLUDE_DIRECTORIES ${VX_THIRD_PARTY_PREFIX}/include)
  endforeach()
  add_library(vx::zlib INTERFACE IMPORTED)
  set_target_properties(vx::zlib PROPERTIES INTERFACE_LINK_LIBRARIES "-l:libz.a")
else()
  find_package(SQLite3 REQUIRED)
  find_package(ZLIB REQUIRED)
  find_path(CRYPTOPP_INCLUDE_DIR cryptopp/gcm.h REQUIRED)
  find_library(CRYPTOPP_LIBRARY NAMES cryptopp crypto++ REQUIRED)
  add_library(vx::sqlite3 ALIAS SQLite::SQLite3)
  add_library(vx::zlib ALIAS ZLIB::ZLIB)
  # Standalone Asio (Debian's libasio-dev, headers only) for vxmgmtd and
  # vxfleet. ThreadSanitizer cannot follow Asio's memory fences (GCC refuses
  # them under -fsanitize=thread). Each program runs its io_context on one
  # thread, and work posted from others goes through the scheduler's mutex,
  # which ThreadSanitizer does follow, so the fences are left out of that
  # build only.
  add_library(vx_asio INTERFACE)
  target_compile_definitions(vx_asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED)
  if(CMAKE_CXX_FLAGS MATCHES "-fsanitize=thread")
    target_compile_definitions(vx_asio INTERFACE ASIO_DISABLE_FENCED_BLOCK)
  endif()
  add_library(vx::asio ALIAS vx_asio)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBPQ REQUIRED IMPORTED_TARGET GLOBAL libpq)
  add_library(vx::libpq ALIAS PkgConfig::LIBPQ)
  add_library(vx::cryptopp UNKNOWN IMPORTED)
  set_target_properties(vx::cryptopp PROPERTIES IMPORTED_LOCATION ${CRYPTOPP_LIBRARY}
                                                INTERFACE_INCLUDE_DIRECTORIES ${CRYPTOPP_INCLUDE_DIR})
endif()
