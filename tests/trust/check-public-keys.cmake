# Run with cmake -DKEYS=... -P: checks KEYS as the build checks FRESHGATE_PUBLIC_KEY and prints
# what the compiler would be given.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/FreshgateKeys.cmake)
freshgate_public_keys(joined "${KEYS}")
message(STATUS "keys: [${joined}]")
