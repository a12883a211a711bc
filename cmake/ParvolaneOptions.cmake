# One INTERFACE target carries the language level, the warnings and the sanitizer flags, so that
# every target of the project is compiled the same way.
add_library(parvolane_options INTERFACE)
target_compile_features(parvolane_options INTERFACE cxx_std_20)
target_compile_options(parvolane_options INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                       -Wold-style-cast)
if(PARVOLANE_WERROR)
  target_compile_options(parvolane_options INTERFACE -Werror)
endif()
target_include_directories(parvolane_options INTERFACE ${PROJECT_SOURCE_DIR})
# The vendor's version page counts versions in tenths (1.0 is 10), so only MAJOR.MINOR with a
# one-digit MINOR can be told apart there; anything else would silently compare wrong.
if(NOT PROJECT_VERSION MATCHES "^[0-9]+\\.[0-9]$")
  message(FATAL_ERROR "project(VERSION ${PROJECT_VERSION}): expected MAJOR.MINOR with MINOR 0..9")
endif()
math(EXPR PARVOLANE_VERSION_TENTHS "${PROJECT_VERSION_MAJOR} * 10 + ${PROJECT_VERSION_MINOR}")
target_compile_definitions(parvolane_options INTERFACE
  PARVOLANE_WEB_HOST="${PARVOLANE_WEB_HOST}"
  PARVOLANE_VERSION_TEXT="${PROJECT_VERSION}"
  PARVOLANE_VERSION_TENTHS=${PARVOLANE_VERSION_TENTHS})

# lld links the many test programs (each with Qt or GoogleTest) several times faster than the
# default linker; without it the default one is used.
include(CheckLinkerFlag)
check_linker_flag(CXX -fuse-ld=lld PARVOLANE_HAVE_LLD)
if(PARVOLANE_HAVE_LLD)
  target_link_options(parvolane_options INTERFACE -fuse-ld=lld)
endif()

if(PARVOLANE_SANITIZE)
  set(_san -fsanitize=${PARVOLANE_SANITIZE} -fno-omit-frame-pointer)
  if(PARVOLANE_SANITIZE MATCHES "undefined")
    list(APPEND _san -fno-sanitize-recover=all)
  endif()
  target_compile_options(parvolane_options INTERFACE ${_san})
  target_link_options(parvolane_options INTERFACE ${_san})
endif()

if(PARVOLANE_BUILD_FUZZERS)
  # Coverage feedback for every library the fuzz targets link; the targets add the driver.
  target_compile_options(parvolane_options INTERFACE -fsanitize=fuzzer-no-link)
endif()
