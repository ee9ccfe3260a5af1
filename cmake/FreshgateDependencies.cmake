# The C libraries Freshgate builds on, each as an imported target Freshgate::NAME.
#
# pkg-config answers where the library ships a .pc file (Debian does for all but chmlib);
# otherwise, as in a cross build for Windows against libraries built into a prefix, the header
# and the library are looked up by name (CMAKE_PREFIX_PATH or CMAKE_FIND_ROOT_PATH lead there).

find_package(PkgConfig QUIET)

# freshgate_dependency(NAME PKG pkg-config-name HEADER header LIBRARIES name... [OPTIONAL])
function(freshgate_dependency name)
    cmake_parse_arguments(D "OPTIONAL" "PKG;HEADER" "LIBRARIES" ${ARGN})
    set(target Freshgate::${name})
    if(TARGET ${target})
        return()
    endif()
    if(PKG_CONFIG_FOUND AND D_PKG)
        pkg_check_modules(FG_${name} QUIET IMPORTED_TARGET GLOBAL ${D_PKG})
        if(FG_${name}_FOUND)
            add_library(${target} ALIAS PkgConfig::FG_${name})
            set(Freshgate_${name}_FOUND TRUE PARENT_SCOPE)
            return()
        endif()
    endif()
    find_path(FG_${name}_INCLUDE_DIR ${D_HEADER})
    set(libraries)
    foreach(library ${D_LIBRARIES})
        find_library(FG_${name}_${library}_LIBRARY NAMES ${library})
        if(NOT FG_${name}_${library}_LIBRARY)
            set(FG_${name}_INCLUDE_DIR FG_${name}_INCLUDE_DIR-NOTFOUND)
        endif()
        list(APPEND libraries ${FG_${name}_${library}_LIBRARY})
    endforeach()
    if(NOT FG_${name}_INCLUDE_DIR)
        if(D_OPTIONAL)
            message(STATUS "${name} not found: what needs it is not built")
            set(Freshgate_${name}_FOUND FALSE PARENT_SCOPE)
            return()
        endif()
        message(FATAL_ERROR "${name} not found: no ${D_HEADER} or no library ${D_LIBRARIES}")
    endif()
    add_library(${target} INTERFACE IMPORTED GLOBAL)
    set_target_properties(${target} PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES "${FG_${name}_INCLUDE_DIR}"
        INTERFACE_LINK_LIBRARIES "${libraries}")
    set(Freshgate_${name}_FOUND TRUE PARENT_SCOPE)
endfunction()

freshgate_dependency(mspack PKG libmspack HEADER mspack.h LIBRARIES mspack)
freshgate_dependency(sodium PKG libsodium HEADER sodium.h LIBRARIES sodium)
freshgate_dependency(chm HEADER chm_lib.h LIBRARIES chm)
# Only the publisher and the tests' cabinet builder need libgcab (and with it GLib).
freshgate_dependency(gcab PKG libgcab-1.0 HEADER libgcab.h LIBRARIES gcab-1.0 OPTIONAL)
