# What a Windows build of Freshgate needs beyond the code: one self-contained .exe, and the
# version and icon Explorer shows for it.

if(NOT WIN32)
    return()
endif()

# libsodium's headers would otherwise declare its functions as DLL imports.
add_compile_definitions(SODIUM_STATIC)
# libmspack is built with 64-bit file offsets, and its structures hold off_t, which mingw makes
# 32 bits unless told otherwise: a caller that differs reads every field after the first offset
# wrong (a cabinet's length as 0), and libmspack's self-test refuses its file system.
add_compile_definitions(_FILE_OFFSET_BITS=64)
if(MINGW)
    # Without these every program needs libstdc++-6.dll, libgcc_s_seh-1.dll and
    # libwinpthread-1.dll beside it, and Windows refuses to start it where they are missing.
    add_link_options(-static -static-libgcc -static-libstdc++ $<$<CONFIG:Release,MinSizeRel>:-s>)
endif()

# The icon is made from the same picture the window shows, so the two never drift apart:
# 32x32 in 16 colours, as the product's other icons are.
find_program(FRESHGATE_CONVERT convert)
if(NOT FRESHGATE_CONVERT)
    message(FATAL_ERROR "ImageMagick's convert is needed to make freshgate.ico (apt-get install imagemagick)")
endif()
set(FRESHGATE_ICON ${CMAKE_BINARY_DIR}/freshgate.ico)
add_custom_command(OUTPUT ${FRESHGATE_ICON}
    COMMAND ${FRESHGATE_CONVERT} ${PROJECT_SOURCE_DIR}/resources/icons/freshgate.xpm
        -background none -colors 16 ICO:${FRESHGATE_ICON}
    DEPENDS ${PROJECT_SOURCE_DIR}/resources/icons/freshgate.xpm
    COMMENT "Making freshgate.ico"
    VERBATIM)
add_custom_target(freshgate_icon DEPENDS ${FRESHGATE_ICON})

# freshgate_windows_resource(TARGET DESCRIPTION): the version resource, with the project's
# version, the program's icon and its application manifest.
function(freshgate_windows_resource target description)
    set(FRESHGATE_RC_DESCRIPTION "${description}")
    set(FRESHGATE_RC_NAME "${target}")
    set(FRESHGATE_RC_FILENAME "${target}.exe")
    set(FRESHGATE_RC_ICON "${FRESHGATE_ICON}")
    set(FRESHGATE_RC_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest)
    configure_file(${PROJECT_SOURCE_DIR}/src/app/windows/freshgate.manifest.in
        ${FRESHGATE_RC_MANIFEST} @ONLY)
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
    configure_file(${PROJECT_SOURCE_DIR}/src/app/windows/freshgate.rc.in ${rc} @ONLY)
    # The icon is made in the top folder; a target, not a file, carries the order across folders.
    # windres reads the manifest too, so a change to it must rebuild the resource.
    set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS
        "${FRESHGATE_ICON};${FRESHGATE_RC_MANIFEST}")
    target_sources(${target} PRIVATE ${rc})
    add_dependencies(${target} freshgate_icon)
endfunction()
