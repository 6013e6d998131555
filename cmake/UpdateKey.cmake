# The public key that updates must be signed with, compiled into the host
# (qx::host::pinnedUpdateKey). There is no default: a build without a key
# refuses every update. The tests pin the committed test key,
# tests/keys/TEST-ONLY-update-key.pub; `quorvex-bundle pinned-key-id` tells
# which key a build pins, so an install can refuse the test key.
set(QX_UPDATE_PUBLIC_KEY "" CACHE FILEPATH
  "minisign public key file that updates must be signed with (empty: every update is refused)")

set(QX_PINNED_KEY_LINE "")
if(QX_UPDATE_PUBLIC_KEY)
  if(NOT EXISTS "${QX_UPDATE_PUBLIC_KEY}")
    message(FATAL_ERROR "QX_UPDATE_PUBLIC_KEY: no such file: ${QX_UPDATE_PUBLIC_KEY}")
  endif()
  # The base64 line of an Ed25519 key: "Ed", 8 bytes of id, 32 bytes of key.
  file(STRINGS "${QX_UPDATE_PUBLIC_KEY}" key_lines REGEX "^RW[Q-T][A-Za-z0-9+/]+$")
  list(LENGTH key_lines key_count)
  if(key_count EQUAL 1)
    string(LENGTH "${key_lines}" key_length)
  endif()
  if(NOT key_count EQUAL 1 OR NOT key_length EQUAL 56)
    message(FATAL_ERROR "QX_UPDATE_PUBLIC_KEY: ${QX_UPDATE_PUBLIC_KEY} is not a minisign public key")
  endif()
  set(QX_PINNED_KEY_LINE "${key_lines}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${QX_UPDATE_PUBLIC_KEY}")
  message(STATUS "Update key: ${QX_UPDATE_PUBLIC_KEY}")
else()
  message(STATUS "Update key: none pinned, every update will be refused")
endif()

set(QX_PINNED_KEY_SOURCE "${CMAKE_BINARY_DIR}/generated/PinnedUpdateKey.cpp")
configure_file(${CMAKE_CURRENT_LIST_DIR}/PinnedUpdateKey.cpp.in "${QX_PINNED_KEY_SOURCE}" @ONLY)
