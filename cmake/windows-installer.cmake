# The Windows installer, made by CPack's NSIS generator (makensis, Debian
# package nsis): it installs the portable folder for every user under
# Program Files, with a Start-menu shortcut and an entry in the system's list
# of installed programs, whose uninstaller removes everything it installed.

set(CPACK_PACKAGE_INSTALL_DIRECTORY "Image viewer")
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY image-viewer)
set(CPACK_NSIS_PACKAGE_NAME "Image viewer")
set(CPACK_NSIS_DISPLAY_NAME "Image viewer")
set(CPACK_NSIS_CONTACT "${CPACK_PACKAGE_CONTACT}")
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES")
else()
    set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
endif()
# The program stands at the top of the folder, as in the zip.
set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
set(CPACK_PACKAGE_EXECUTABLES image-viewer "Image viewer")
set(CPACK_NSIS_INSTALLED_ICON_NAME image-viewer.exe)
set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/data/windows/image-viewer.ico)
set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/data/windows/image-viewer.ico)
# The uninstaller also removes the vendor's registry key once it is empty,
# so nothing of the install is left behind.
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS
    "DeleteRegKey /ifempty SHCTX \\\"Software\\\\${CPACK_PACKAGE_VENDOR}\\\"")

# image-viewer-<version>-win32-setup.exe, beside the zip of the same name.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/windows-packages.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE} [=[
if(CPACK_GENERATOR STREQUAL "NSIS")
    set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_FILE_NAME}-setup")
endif()
]=])
