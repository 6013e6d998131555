# Every target of ours gets the same warnings; CI turns them into errors.
add_library(qx_warnings INTERFACE)
target_compile_options(qx_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wcast-align -Wformat=2
  -Wimplicit-fallthrough
  $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual>)
if(QX_WERROR)
  target_compile_options(qx_warnings INTERFACE -Werror)
endif()

if(QX_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(QX_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(QX_SANITIZE STREQUAL "fuzzer")
  # libFuzzer harnesses (clang): everything instrumented for coverage, ASan
  # and UBSan; only fuzz/ links the fuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(NOT QX_SANITIZE STREQUAL "")
  message(FATAL_ERROR "QX_SANITIZE must be empty, 'address', 'thread' or 'fuzzer'")
endif()
