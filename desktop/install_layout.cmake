# Installs the build into a scratch prefix and checks the expected files arrived:
#   cmake -DBUILD_DIR=dir -DPREFIX=dir [-DCONFIG=cfg] -DEXPECTED=rel;paths
#         [-DDESKTOP_ENTRY=rel/path -DBINDIR=rel -DDATADIR=rel -DAPPSTREAMCLI=path] -P install_layout.cmake
# With a desktop entry, also checks that what it names resolves inside the installed tree.

# An absolute install directory would ignore --prefix and write into the real system.
foreach(path IN LISTS EXPECTED)
    if(IS_ABSOLUTE "${path}")
        message(FATAL_ERROR "${path} is absolute; this check needs install directories "
                            "relative to the prefix")
    endif()
endforeach()

file(REMOVE_RECURSE "${PREFIX}")

set(config_args)
if(CONFIG)
    set(config_args --config ${CONFIG})
endif()
# A DESTDIR left in the environment would put the files beside the prefix, not in it.
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=DESTDIR
                        ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX} ${config_args}
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
message("${output}")
if(NOT status EQUAL 0)
    message(FATAL_ERROR "cmake --install failed (exit status ${status})")
endif()

set(missing)
foreach(path IN LISTS EXPECTED)
    if(NOT EXISTS "${PREFIX}/${path}" OR IS_DIRECTORY "${PREFIX}/${path}")
        list(APPEND missing "${path}")
    endif()
endforeach()
if(missing)
    list(JOIN missing "\n  " missing_text)
    message(FATAL_ERROR "not installed under ${PREFIX}:\n  ${missing_text}")
endif()
list(LENGTH EXPECTED count)
message("${count} files installed where expected")

if(NOT DESKTOP_ENTRY)
    return()
endif()

# Exec and Icon are plain names looked up on PATH and in the icon theme; a rename on one
# side only leaves a menu entry that does not start or has no icon.
file(STRINGS "${PREFIX}/${DESKTOP_ENTRY}" exec_line REGEX "^Exec=")
file(STRINGS "${PREFIX}/${DESKTOP_ENTRY}" icon_line REGEX "^Icon=")
string(REGEX REPLACE "^Exec=([^ ]*).*" "\\1" exec_name "${exec_line}")
string(REGEX REPLACE "^Icon=" "" icon_name "${icon_line}")
if(NOT EXISTS "${PREFIX}/${BINDIR}/${exec_name}")
    message(FATAL_ERROR "${DESKTOP_ENTRY} runs '${exec_name}', which is not in ${BINDIR}")
endif()
file(GLOB icons "${PREFIX}/${DATADIR}/icons/hicolor/*/apps/${icon_name}.svg"
                "${PREFIX}/${DATADIR}/icons/hicolor/*/apps/${icon_name}.png")
if(NOT icons)
    message(FATAL_ERROR "${DESKTOP_ENTRY} names icon '${icon_name}', which is not installed "
                        "in the hicolor theme")
endif()

# The metainfo's launchable must name the installed desktop entry; validate-tree checks that.
if(NOT APPSTREAMCLI OR NOT EXISTS "${APPSTREAMCLI}")
    find_program(APPSTREAMCLI_FOUND appstreamcli)
    set(APPSTREAMCLI "${APPSTREAMCLI_FOUND}")
endif()
if(NOT APPSTREAMCLI)
    message(FATAL_ERROR "appstreamcli is not installed; install the Debian package appstream "
                        "(apt-get install appstream, or run scripts/setup test)")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/appstream_options.cmake)
velmora_appstream_options(${APPSTREAMCLI} appstream_options)
execute_process(COMMAND ${APPSTREAMCLI} validate-tree ${appstream_options} ${PREFIX}
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
list(JOIN appstream_options " " options_text)
message("appstreamcli validate-tree ${options_text} ${PREFIX}\n${output}")
if(NOT status EQUAL 0)
    message(FATAL_ERROR "appstreamcli validate-tree rejected the installed tree "
                        "(exit status ${status})")
endif()
