# The folder a Windows user unzips and starts zelvodesk.exe from, its ZIP
# (cpack -G ZIP in the build directory: zelvodesk-<version>-win64.zip) and
# the installer of the same files (cpack -G NSIS, with Debian's makensis:
# zelvodesk-<version>-setup.exe, from packaging/windows/NSIS.template.in):
#
#   zelvodesk.exe, zelvonet.dll       the program and the library it imports
#   Qt6Core.dll ... Qt6Widgets.dll    the toolkit's libraries the program loads
#   platforms/qwindows.dll            the toolkit's Windows platform plugin
#   styles/qwindowsvistastyle.dll     the native look of the widgets
#   qt_de.qm and the catalogs it names: the toolkit's German texts, found in
#                                     the working directory
#
#   libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll
#                                     the compiler's C++ runtime, for the
#                                     toolkit's plugins
#
# The program, the library and the toolkit's libraries link the compiler's
# runtime into themselves (cmake/mingw-w64-x86_64.cmake); the toolkit's
# plugins are modules, linked without that flag, and load it as DLLs.
# The toolkit's imported targets live in the scope that found them (desktop/):
# found again here for their files.
find_package(Qt6 6.4 REQUIRED COMPONENTS Widgets Concurrent)
install(TARGETS zelvodesk RUNTIME DESTINATION . COMPONENT desktop)
install(FILES $<TARGET_FILE:zelvonet> DESTINATION . COMPONENT desktop)
install(IMPORTED_RUNTIME_ARTIFACTS Qt6::Core Qt6::Gui Qt6::Widgets Qt6::Concurrent
  RUNTIME DESTINATION . COMPONENT desktop)
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin>
  DESTINATION platforms COMPONENT desktop)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "the compiler's ${dll} is not there (${path})")
  endif()
  install(FILES ${path} DESTINATION . COMPONENT desktop)
endforeach()
if(TARGET Qt6::QWindowsVistaStylePlugin)
  install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin>
    DESTINATION styles COMPONENT desktop)
endif()

get_directory_property(catalogs DIRECTORY ${PROJECT_SOURCE_DIR}/desktop
  DEFINITION ZELVODESK_QT_CATALOGS)
get_target_property(desktop_bin zelvodesk BINARY_DIR)
list(TRANSFORM catalogs PREPEND ${desktop_bin}/)
install(FILES ${catalogs} DESTINATION . COMPONENT desktop)

set(CPACK_GENERATOR ZIP NSIS)
set(CPACK_PACKAGE_NAME zelvodesk)
set(CPACK_PACKAGE_VENDOR "Zelvo")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SYSTEM_NAME win64)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_COMPONENTS_ALL desktop)
# One archive of the desktop component alone: without this a monolithic
# archive takes every component, the library's development files too.
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};zelvo;desktop;/")
set(CPACK_STRIP_FILES ON)

# The installer: the project's own script (CPack's stock one offers PATH
# options and sixty languages), per machine under Program Files. Its
# values are CPACK_ variables, the only ones cpack passes on.
set(CPACK_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR}/windows)
set(CPACK_PACKAGE_INSTALL_DIRECTORY zelvodesk)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY zelvodesk)
set(CPACK_NSIS_COMPRESSOR lzma)
set(CPACK_ZELVO_DISPLAY_NAME "Zelvo SMS")
set(CPACK_ZELVO_VERSION4 ${PROJECT_VERSION}.0)
set(CPACK_ZELVO_ICON ${PROJECT_SOURCE_DIR}/desktop/images/zelvodesk.ico)
# One package name per generator: the ZIP keeps its name, the installer is
# zelvodesk-<version>-setup.exe.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/windows/generators.cmake)
include(CPack)
