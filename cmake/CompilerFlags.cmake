# Warnings and sanitizer switches shared by every target.
option(CORVANE_WERROR "Treat warnings as errors" OFF)
set(CORVANE_SANITIZE "" CACHE STRING "Sanitizer build: address (with undefined) or thread")

add_compile_options(-Wall -Wextra -Wpedantic)
if(CORVANE_WERROR)
  add_compile_options(-Werror)
endif()

if(CORVANE_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(CORVANE_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT CORVANE_SANITIZE STREQUAL "")
  message(FATAL_ERROR "CORVANE_SANITIZE must be empty, address or thread")
endif()

# The fuzz build instruments every library for coverage; the fuzz targets add
# the libFuzzer driver when they link.
if(CORVANE_WITH_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
