# Runs one validator on one file:
#   cmake -DTOOL=name [-DTOOL_PATH=path] -DPACKAGE=debian-package [-DARGS=a;b] -DFILE=file -P validate.cmake
# appstreamcli gets the options in appstream_options.cmake after ARGS.
# Fails on any error or warning the validator reports, even when its exit status is 0
# (desktop-file-validate exits 0 on warnings).

# TOOL_PATH is what configuring found; look again in case the package came later.
set(tool "${TOOL_PATH}")
if(NOT tool OR NOT EXISTS "${tool}")
    find_program(tool_found ${TOOL})
    set(tool "${tool_found}")
endif()
if(NOT tool)
    message(FATAL_ERROR "${TOOL} is not installed; install the Debian package ${PACKAGE} "
                        "(apt-get install ${PACKAGE}, or run scripts/setup test)")
endif()

if(TOOL STREQUAL "appstreamcli")
    include(${CMAKE_CURRENT_LIST_DIR}/appstream_options.cmake)
    velmora_appstream_options(${tool} appstream_options)
    list(APPEND ARGS ${appstream_options})
endif()

execute_process(COMMAND ${tool} ${ARGS} ${FILE}
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
list(JOIN ARGS " " args_text)
message("${TOOL} ${args_text} ${FILE}\n${output}")
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${TOOL} rejected ${FILE} (exit status ${status})")
endif()
if(output MATCHES "(^|\n)[^\n]*: (error|warning): ")
    message(FATAL_ERROR "${TOOL} reported errors or warnings for ${FILE}")
endif()
