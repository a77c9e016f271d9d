# The folder a Windows user runs (cmake --install <build> --prefix <build>/Brindleflash): the
# program, the DLLs that it and its plugins import, resolved with objdump so that no list can
# drift from the binaries, the plugins Qt loads by name, and the licences and notices of all of
# it with where its source is.
set(BRINDLEFLASH_INSTALL_DIR .)
get_filename_component(qt_prefix "${Qt${QT_VERSION_MAJOR}_DIR}/../../.." ABSOLUTE)

install(TARGETS Brindleflash RUNTIME_DEPENDENCY_SET brindleflash_dlls
        RUNTIME DESTINATION ${BRINDLEFLASH_INSTALL_DIR})
install(IMPORTED_RUNTIME_ARTIFACTS Qt${QT_VERSION_MAJOR}::QWindowsIntegrationPlugin
        RUNTIME_DEPENDENCY_SET brindleflash_dlls LIBRARY DESTINATION platforms)
install(IMPORTED_RUNTIME_ARTIFACTS Qt${QT_VERSION_MAJOR}::QWindowsVistaStylePlugin
        RUNTIME_DEPENDENCY_SET brindleflash_dlls LIBRARY DESTINATION styles)

execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
                OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(gcc_runtime_dir "${libgcc}" DIRECTORY)
set(dll_dirs ${qt_prefix}/bin ${gcc_runtime_dir} /usr/${BRINDLEFLASH_WINDOWS_HOST}/lib)

# CMake looks for the lowercased names an executable imports, which a case-sensitive file system
# does not find: links under those names, and the installed copies given their own names back.
set(lowercase_dir ${CMAKE_CURRENT_BINARY_DIR}/dlls-lowercase)
file(MAKE_DIRECTORY ${lowercase_dir})
set(rename_code "")
foreach(dir ${dll_dirs})
    file(GLOB dlls ${dir}/*.dll)
    foreach(dll ${dlls})
        get_filename_component(name ${dll} NAME)
        string(TOLOWER ${name} lower)
        if(NOT name STREQUAL lower)
            file(CREATE_LINK ${dll} ${lowercase_dir}/${lower} COPY_ON_ERROR)
            foreach(folder "" /updateTool)
                set(from "\${CMAKE_INSTALL_PREFIX}${folder}/${lower}")
                string(APPEND rename_code "if(EXISTS \"${from}\")\n    file(RENAME \"${from}\" "
                       "\"\${CMAKE_INSTALL_PREFIX}${folder}/${name}\")\nendif()\n")
            endforeach()
        endif()
    endforeach()
endforeach()

# Windows' own DLLs come with Windows: only Qt's and the compiler's runtime are ours to ship.
install(RUNTIME_DEPENDENCY_SET brindleflash_dlls DESTINATION .
        PRE_INCLUDE_REGEXES "^[Qq]t[0-9]" "^lib"
        PRE_EXCLUDE_REGEXES ".*"
        DIRECTORIES ${lowercase_dir} ${dll_dirs})
# Windows looks for a program's DLLs beside it, not in the folder above: the tool gets its own.
install(TARGETS DfuSeCommand RUNTIME_DEPENDENCY_SET tool_dlls RUNTIME DESTINATION updateTool)
install(RUNTIME_DEPENDENCY_SET tool_dlls DESTINATION updateTool
        PRE_INCLUDE_REGEXES "^[Qq]t[0-9]" "^lib"
        PRE_EXCLUDE_REGEXES ".*"
        DIRECTORIES ${lowercase_dir} ${dll_dirs})
# --strip strips the targets only; the compiler's runtime comes with its debugging symbols.
string(APPEND rename_code "if(CMAKE_INSTALL_DO_STRIP)\n"
       "    file(GLOB dlls \"\${CMAKE_INSTALL_PREFIX}/*.dll\" \"\${CMAKE_INSTALL_PREFIX}/updateTool/*.dll\")\n"
       "    execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded \${dlls})\nendif()\n")
install(CODE "${rename_code}")

# Debian keeps the licence texts of its archive; a Qt built by our script carries its own.
find_file(BRINDLEFLASH_QT_LICENSE NAMES LICENSE.LGPL3 LGPL-3
          PATHS ${qt_prefix} /usr/share/common-licenses NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT BRINDLEFLASH_QT_LICENSE)
    message(FATAL_ERROR "No LGPL-3 text for Qt (Debian's base-files has /usr/share/common-licenses)")
endif()
install(FILES ${BRINDLEFLASH_QT_LICENSE} DESTINATION licenses RENAME Qt-LGPL-3.txt)
set(qt_build_info "")
if(EXISTS ${qt_prefix}/BUILDINFO)
    file(READ ${qt_prefix}/BUILDINFO qt_build_info)
endif()
configure_file(resources/qt-source.txt.in qt-source.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qt-source.txt DESTINATION licenses)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/scripts/build-qt-windows DESTINATION licenses/sources)

# The notices of what Qt's build bundled and of the compiler's runtimes, with their index.
if(TARGET dfu_util_windows)
    set(with_dfu_util 1)
else()
    set(with_dfu_util 0)
endif()
set(notices_dir ${CMAKE_CURRENT_BINARY_DIR}/notices)
add_custom_command(
    OUTPUT ${notices_dir}/README.txt
    COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/windows-notices ${qt_prefix}
            ${BRINDLEFLASH_WINDOWS_HOST} ${notices_dir} ${with_dfu_util}
    DEPENDS ${PROJECT_SOURCE_DIR}/scripts/windows-notices
    COMMENT "Gathering the notices of what the Windows folder holds"
    VERBATIM)
add_custom_target(windows_notices ALL DEPENDS ${notices_dir}/README.txt)
install(DIRECTORY ${notices_dir}/ DESTINATION licenses)
