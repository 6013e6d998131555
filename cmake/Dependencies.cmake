# System libraries, all from Debian packages installed by scripts/deps.sh.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(GTest REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
find_package(ICU REQUIRED COMPONENTS uc i18n)
find_package(Boost 1.74 REQUIRED)
find_package(Qt6 6.4 REQUIRED COMPONENTS Core Gui Widgets Network)
find_package(Qt6Keychain REQUIRED)

pkg_check_modules(XCB REQUIRED IMPORTED_TARGET xcb xcb-randr xcb-shm xcb-damage xcb-screensaver xcb-dpms xcb-xfixes xcb-xtest)
pkg_check_modules(X264 REQUIRED IMPORTED_TARGET x264)
pkg_check_modules(OPENH264 REQUIRED IMPORTED_TARGET openh264)
pkg_check_modules(SWSCALE REQUIRED IMPORTED_TARGET libswscale libavutil)
pkg_check_modules(SWRESAMPLE REQUIRED IMPORTED_TARGET libswresample libavutil)
pkg_check_modules(AVCODEC REQUIRED IMPORTED_TARGET libavcodec libavutil)
pkg_check_modules(OPUS REQUIRED IMPORTED_TARGET opus)
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)

# Adds a GoogleTest executable registered with ctest under a label:
#   unit     platform-free logic against fakes (also run under sanitizers)
#   backend  Linux implementations against real services the test starts
#   e2e      the built programs, end to end
function(qx_add_test name label)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} qx_test_support GTest::gmock_main qx_warnings)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS ${label} TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QX_BUILD_DIR=${CMAKE_BINARY_DIR};QX_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()
