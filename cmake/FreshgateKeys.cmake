# The minisign public keys a build trusts.
#
# FRESHGATE_PUBLIC_KEY holds one key, or several separated by ";" while a maker rotates keys.
# To CMake a ";" separates list elements: the value is walked as a list here on purpose, and
# handed to the compiler joined by spaces, since a ";" inside target_compile_definitions would
# split the definition in two. Base64 holds neither character.

# freshgate_public_keys(OUT_VAR KEYS): checks every key of the list KEYS and sets OUT_VAR to
# them joined by single spaces ("" for an empty list). Stops the configuration at a key that is
# not a minisign public key: catching a typo here beats shipping an updater that refuses every
# download.
function(freshgate_public_keys out_var keys)
    set(checked)
    foreach(key IN LISTS keys)
        string(STRIP "${key}" key)
        if(key STREQUAL "")
            message(FATAL_ERROR "FRESHGATE_PUBLIC_KEY holds an empty key in its list: \"${keys}\"")
        endif()
        # "RW", then the rest of the 42-byte key blob in base64: 56 characters in all.
        if(NOT key MATCHES "^RW[A-Za-z0-9+/]+=*$")
            message(FATAL_ERROR "FRESHGATE_PUBLIC_KEY is not a minisign public key: ${key}")
        endif()
        string(LENGTH "${key}" length)
        if(NOT length EQUAL 56)
            message(FATAL_ERROR
                "FRESHGATE_PUBLIC_KEY is not a minisign public key (${length} characters, not 56): ${key}")
        endif()
        list(APPEND checked "${key}")
    endforeach()
    list(JOIN checked " " joined)
    set(${out_var} "${joined}" PARENT_SCOPE)
endfunction()
