# One INTERFACE target carries the language level, the warnings and the sanitizer flags, so that
# every target of the project is compiled the same way.
add_library(parvolane_options INTERFACE)
target_compile_features(parvolane_options INTERFACE cxx_std_20)
target_compile_options(parvolane_options INTERFACE -Wall -Wextra -Wpedantic)
if(PARVOLANE_WERROR)
  target_compile_options(parvolane_options INTERFACE -Werror)
endif()
target_include_directories(parvolane_options INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_definitions(parvolane_options INTERFACE
  PARVOLANE_WEB_HOST="${PARVOLANE_WEB_HOST}"
  PARVOLANE_VERSION_TEXT="${PROJECT_VERSION}")

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
