# Compile settings for the project's own targets.
#
# Floating-point results must not depend on the build type: no contraction
# into fused multiply-adds and no fast-math, in every configuration.

if(SORVEL2_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# The worker threads' hand-offs are lock-free (atomics and waits on them):
# ThreadSanitizer checks that every read of another thread's data follows
# the write it needs.
if(SORVEL2_SANITIZE_THREAD)
  add_compile_options(-fsanitize=thread)
  add_link_options(-fsanitize=thread)
endif()

# In the fuzz build every library of ours is instrumented, so that libFuzzer
# sees the branches of the readers and the sanitizers check their memory.
if(SORVEL2_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

add_compile_options(-ffp-contract=off)
# WebAssembly: the 4-float level's SSE2 code compiled to SIMD128 (grid/simd.h).
if(EMSCRIPTEN AND SORVEL2_WASM_SIMD)
  add_compile_options(-msimd128 -msse2)
endif()
# WebAssembly: a page is downloaded whole. The loops that need vectors have
# them written out by hand, so the compiler's own unrolling and
# vectorising of the others would only add bytes (a quarter of the module).
if(EMSCRIPTEN)
  add_compile_options(-fno-unroll-loops -fno-vectorize -fno-slp-vectorize)
endif()
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang|GNU")
  add_compile_options(-fno-fast-math)
endif()

if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "Build type" FORCE)
endif()

# Warnings on a target of ours (as errors with SORVEL2_WERROR, which the test run turns on).
function(sorvel2_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(SORVEL2_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
endfunction()
