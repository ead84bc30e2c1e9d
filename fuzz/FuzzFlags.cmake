# The fuzz build (cmake --preset fuzz): clang's libFuzzer with AddressSanitizer
# and UndefinedBehaviorSanitizer. Included before the libraries, so the code
# under test carries the coverage instrumentation and the sanitizers; only
# the fuzz programs link libFuzzer's main (fuzz/CMakeLists.txt).
include(CheckCXXSourceCompiles)
set(TRELLON_FUZZ_AVAILABLE OFF)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  set(CMAKE_REQUIRED_FLAGS "-fsanitize=fuzzer,address,undefined")
  check_cxx_source_compiles(
    "#include <cstddef>
     #include <cstdint>
     extern \"C\" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }"
    TRELLON_HAVE_LIBFUZZER)
  unset(CMAKE_REQUIRED_FLAGS)
  if(TRELLON_HAVE_LIBFUZZER)
    set(TRELLON_FUZZ_AVAILABLE ON)
  endif()
endif()

if(TRELLON_FUZZ_AVAILABLE)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
else()
  message(WARNING "TRELLON_BUILD_FUZZ: ${CMAKE_CXX_COMPILER_ID} has no libFuzzer; no fuzz targets "
                  "are built (cmake --preset fuzz uses clang++; scripts/install-deps test installs "
                  "clang and libclang-rt-14-dev)")
endif()
