# The web page: the engine and velmora compiled to WebAssembly with
# Emscripten from the same sources as the native programs, and the page
# around them, as a static folder: ${CMAKE_BINARY_DIR}/web.
#
# It is a build of its own (web/CMakeLists.txt, with Emscripten's toolchain)
# run as a step of this one. It needs Emscripten, zlib's sources (in
# Debian's binutils-source package) and the page's npm packages
# (web/node_modules, from scripts/install-deps); where one of them is
# missing, the page is left out with a message saying which.
option(ZELT_BUILD_WEB "Build the web page (needs Emscripten)" ON)

set(VELMORA_WEB_SITE "${CMAKE_BINARY_DIR}/web")

function(velmora_web_missing what)
  message(STATUS "The web page is not built: ${what}")
  set(VELMORA_WEB_REASON "${what}" PARENT_SCOPE)
endfunction()

function(velmora_configure_web)
  find_program(VELMORA_EMCC emcc)
  if(NOT VELMORA_EMCC)
    velmora_web_missing("Emscripten (emcc) was not found (scripts/install-deps installs it)")
    return()
  endif()
  get_filename_component(emcc_real "${VELMORA_EMCC}" REALPATH)
  get_filename_component(emcc_dir "${emcc_real}" DIRECTORY)
  find_file(VELMORA_EMSCRIPTEN_TOOLCHAIN Emscripten.cmake
    HINTS "${emcc_dir}/cmake/Modules/Platform" "${emcc_dir}/../share/emscripten/cmake/Modules/Platform"
          /usr/share/emscripten/cmake/Modules/Platform
    NO_DEFAULT_PATH)
  if(NOT VELMORA_EMSCRIPTEN_TOOLCHAIN)
    velmora_web_missing("Emscripten's CMake toolchain file was not found beside ${emcc_real}")
    return()
  endif()

  # zlib's own C sources, as the binutils sources carry them.
  file(GLOB archives /usr/src/binutils/binutils-*.tar.xz)
  set(VELMORA_ZLIB_ARCHIVE "" CACHE FILEPATH "An archive holding zlib's C sources in a zlib/ folder")
  if(NOT VELMORA_ZLIB_ARCHIVE AND archives)
    list(GET archives 0 first)
    set(VELMORA_ZLIB_ARCHIVE "${first}" CACHE FILEPATH "" FORCE)
  endif()
  if(NOT EXISTS "${VELMORA_ZLIB_ARCHIVE}")
    velmora_web_missing("zlib's sources were not found (Debian's binutils-source package)")
    return()
  endif()

  set(modules "${PROJECT_SOURCE_DIR}/web/node_modules")
  if(NOT EXISTS "${modules}/jpeg-turbo/deps/libjpeg-turbo/jpeglib.h" OR NOT EXISTS "${modules}/client-zip/index.js")
    velmora_web_missing("the page's npm packages are missing (web/node_modules: scripts/install-deps installs them)")
    return()
  endif()

  # Debian's Emscripten runs its JavaScript optimiser with the node on PATH,
  # which needs Debian's node modules where that node is not Debian's own
  # (web/CMakeLists.txt says so to its links).
  set(env "NODE_PATH=/usr/share/nodejs")
  include(ExternalProject)
  ExternalProject_Add(velmora_web
    SOURCE_DIR "${PROJECT_SOURCE_DIR}/web"
    BINARY_DIR "${CMAKE_BINARY_DIR}/web-wasm"
    CONFIGURE_COMMAND ${CMAKE_COMMAND} -E env ${env}
      ${CMAKE_COMMAND} -S <SOURCE_DIR> -B <BINARY_DIR> -G ${CMAKE_GENERATOR}
      -Wno-dev -DCMAKE_TOOLCHAIN_FILE=${VELMORA_EMSCRIPTEN_TOOLCHAIN}
      -DCMAKE_BUILD_TYPE=Release
      -DVELMORA_VERSION=${PROJECT_VERSION}
      -DVELMORA_ZLIB_ARCHIVE=${VELMORA_ZLIB_ARCHIVE}
      -DVELMORA_SITE_DIR=${VELMORA_WEB_SITE}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    USES_TERMINAL_BUILD ON)
  set(VELMORA_WEB_REASON "" PARENT_SCOPE)
endfunction()

set(VELMORA_WEB_REASON "ZELT_BUILD_WEB is off")
if(ZELT_BUILD_WEB)
  velmora_configure_web()
endif()
