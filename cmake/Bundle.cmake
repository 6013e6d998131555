# The application bundle: the host, the capture helper and the media server
# live side by side in "Quorvex Host.app/Contents/MacOS", with the identifier
# and version in Contents/Info.plist. The build tree holds a runnable bundle;
# `cmake --install` copies the same layout under the prefix. Everything inside
# is found relative to the running executable, so the bundle is relocatable.
set(QX_BUNDLE_NAME "Quorvex Host.app")
set(QX_BUNDLE_ID "com.quorvex.host")
set(QX_BUNDLE_DIR "${CMAKE_BINARY_DIR}/${QX_BUNDLE_NAME}")
set(QX_BUNDLE_MACOS_DIR "${QX_BUNDLE_DIR}/Contents/MacOS")
set(QX_BUNDLE_RESOURCES_DIR "${QX_BUNDLE_DIR}/Contents/Resources")

configure_file(${PROJECT_SOURCE_DIR}/cmake/Info.plist.in "${QX_BUNDLE_DIR}/Contents/Info.plist" @ONLY)
install(FILES "${QX_BUNDLE_DIR}/Contents/Info.plist" DESTINATION "${QX_BUNDLE_NAME}/Contents")

# Puts an executable into the bundle, in the build tree and on install.
function(qx_bundle_program target)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${QX_BUNDLE_MACOS_DIR}")
  install(TARGETS ${target} RUNTIME DESTINATION "${QX_BUNDLE_NAME}/Contents/MacOS")
endfunction()

# Copies resource files (icons, the desktop entry) into Contents/Resources.
function(qx_bundle_resources)
  foreach(file ${ARGN})
    get_filename_component(name ${file} NAME)
    configure_file(${file} "${QX_BUNDLE_RESOURCES_DIR}/${name}" COPYONLY)
    install(FILES ${file} DESTINATION "${QX_BUNDLE_NAME}/Contents/Resources")
  endforeach()
endfunction()

# Copies resource files into a folder under Contents/Resources (the viewer page's files).
function(qx_bundle_resource_folder folder)
  foreach(file ${ARGN})
    get_filename_component(name ${file} NAME)
    configure_file(${file} "${QX_BUNDLE_RESOURCES_DIR}/${folder}/${name}" COPYONLY)
    install(FILES ${file} DESTINATION "${QX_BUNDLE_NAME}/Contents/Resources/${folder}")
  endforeach()
endfunction()
