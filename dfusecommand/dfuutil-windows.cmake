# dfu-util.exe for Windows, built from Debian's source packages, which ship with it together
# with the licences of dfu-util (GPL-2) and libusb (LGPL-2.1).
set(BRINDLEFLASH_DFU_UTIL_SOURCES "" CACHE PATH
    "Folder with Debian's dfu-util and libusb-1.0 source packages (scripts/build-windows fetches them)")
file(GLOB dfu_util_packages ${BRINDLEFLASH_DFU_UTIL_SOURCES}/dfu-util_*
     ${BRINDLEFLASH_DFU_UTIL_SOURCES}/libusb-1.0_*)
# The window's libraries and the tool build without them; the folder then lacks dfu-util.exe.
if(NOT BRINDLEFLASH_DFU_UTIL_SOURCES OR NOT dfu_util_packages)
    message(STATUS "dfu-util.exe is left out: set BRINDLEFLASH_DFU_UTIL_SOURCES to a folder holding "
                   "Debian's source packages (apt-get source --download-only dfu-util libusb-1.0), "
                   "as scripts/build-windows does")
    return()
endif()
set(dfu_util_exe ${PROJECT_BINARY_DIR}/updateTool/dfu-util.exe)
set(dfu_util_licenses ${CMAKE_CURRENT_BINARY_DIR}/dfu-util-licenses)
add_custom_command(
    OUTPUT ${dfu_util_exe}
    COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/build-dfu-util ${BRINDLEFLASH_DFU_UTIL_SOURCES}
            ${BRINDLEFLASH_WINDOWS_HOST} ${dfu_util_exe} ${dfu_util_licenses}
    DEPENDS ${dfu_util_packages} ${PROJECT_SOURCE_DIR}/scripts/build-dfu-util
    COMMENT "Building dfu-util.exe from Debian's source packages"
    VERBATIM)
add_custom_target(dfu_util_windows ALL DEPENDS ${dfu_util_exe})

install(PROGRAMS ${dfu_util_exe} DESTINATION updateTool)
install(DIRECTORY ${dfu_util_licenses}/ DESTINATION licenses)
install(FILES ${dfu_util_packages} ${PROJECT_SOURCE_DIR}/scripts/build-dfu-util
        DESTINATION licenses/sources)
