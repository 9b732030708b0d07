# One place for warnings and hardening; every target links corvane_options.
add_library(corvane_options INTERFACE)
target_compile_options(corvane_options INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
  -fstack-protector-strong)
target_compile_definitions(corvane_options INTERFACE
  _GLIBCXX_ASSERTIONS
  $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
target_link_options(corvane_options INTERFACE -Wl,-z,relro,-z,now)
if(CORVANE_WERROR)
  target_compile_options(corvane_options INTERFACE -Werror)
endif()
if(CORVANE_SANITIZE)
  # No vptr check: it needs a free file descriptor to read the object, and the
  # tests run the agent out of descriptors on purpose, where it reports
  # objects that are fine. ASan still catches use after free.
  target_compile_options(corvane_options INTERFACE
    -fsanitize=address,undefined -fno-sanitize=vptr -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(corvane_options INTERFACE -fsanitize=address,undefined)
endif()
if(CORVANE_FUZZ)
  # Coverage for libFuzzer in everything the fuzz targets link.
  target_compile_options(corvane_options INTERFACE -fsanitize=fuzzer-no-link)
endif()
