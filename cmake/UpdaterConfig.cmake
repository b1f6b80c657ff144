# add_updater_config(<target> SERVER <url> [CA <PEM file>] [SIGNING_KEY <minisign.pub>...]
#                    [LOG_FILE] [SHOW_PROGRESS] [SKIP_UNCHANGED] [OFFLINE_START]
#                    [DELTA_UPDATES] [SELF_UPDATE] [VERSION <dotted version>])
# Makes a small library that fixes where the updater looks for releases, which extra
# certificate authority it trusts, whose signature it requires and which vendor options
# it has, and which version it is (UPDATER_VERSION unless VERSION says). Every program
# links exactly one of them.
# An updater version: dotted numbers of at most 9 digits each, as every updater compares
# them.
function(updater_check_version version)
    string(REPLACE "." ";" parts "${version}")
    set(valid TRUE)
    if(NOT version MATCHES "^[0-9]+(\\.[0-9]+)*$")
        set(valid FALSE)
    endif()
    foreach(part ${parts})
        string(LENGTH "${part}" digits)
        if(digits GREATER 9)
            set(valid FALSE)
        endif()
    endforeach()
    if(NOT valid)
        message(FATAL_ERROR "UPDATER_VERSION must be dotted numbers of at most 9 digits each, "
            "not '${version}'")
    endif()
endfunction()

function(add_updater_config target)
    set(flags LOG_FILE SHOW_PROGRESS SKIP_UNCHANGED OFFLINE_START DELTA_UPDATES SELF_UPDATE)
    cmake_parse_arguments(PARSE_ARGV 1 arg "${flags}" "SERVER;CA;VERSION" "SIGNING_KEY")
    if(arg_VERSION)
        set(UPDATER_VERSION "${arg_VERSION}")
    endif()
    updater_check_version("${UPDATER_VERSION}")
    # The floor for the signed time of the updater's own releases (SOURCE_DATE_EPOCH
    # when the build sets it).
    string(TIMESTAMP UPDATER_BUILD_TIME "%s" UTC)
    set(server "${arg_SERVER}")
    set(ca_file "${arg_CA}")
    set(key_files "${arg_SIGNING_KEY}")
    if(NOT server MATCHES "^https://[^/?#]+$")
        message(FATAL_ERROR
            "The release server must be https://host[:port] without a path, not '${server}'")
    endif()
    set(UPDATER_SERVER "${server}")
    set(UPDATER_CA_PEM "")
    if(ca_file)
        if(NOT EXISTS "${ca_file}")
            message(FATAL_ERROR "Trusted certificate authority '${ca_file}' not found")
        endif()
        file(READ "${ca_file}" UPDATER_CA_PEM)
        if(NOT UPDATER_CA_PEM MATCHES "-----BEGIN CERTIFICATE-----")
            message(FATAL_ERROR "'${ca_file}' holds no PEM certificate")
        endif()
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${ca_file}")
    endif()
    set(UPDATER_SIGNING_KEYS "")
    foreach(key_file ${key_files})
        if(NOT EXISTS "${key_file}")
            message(FATAL_ERROR "Signing key '${key_file}' not found")
        endif()
        # A minisign public key file: a comment line, then base64 of "Ed", the key id and
        # the Ed25519 key.
        file(STRINGS "${key_file}" key_lines)
        set(key "")
        list(LENGTH key_lines key_count)
        if(key_count GREATER 1)
            list(GET key_lines 1 key)
        endif()
        if(NOT key MATCHES "^RW[A-Za-z0-9+/]+$")
            message(FATAL_ERROR "'${key_file}' is not a minisign public key")
        endif()
        string(APPEND UPDATER_SIGNING_KEYS "QByteArrayLiteral(\"${key}\"), ")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${key_file}")
    endforeach()
    foreach(option ${flags})
        set(UPDATER_${option}_VALUE false)
        if(arg_${option})
            set(UPDATER_${option}_VALUE true)
        endif()
    endforeach()
    configure_file("${PROJECT_SOURCE_DIR}/src/app/releaseconfig.cpp.in"
        "${CMAKE_CURRENT_BINARY_DIR}/${target}.cpp" @ONLY)
    add_library(${target} STATIC "${CMAKE_CURRENT_BINARY_DIR}/${target}.cpp")
    target_include_directories(${target} PUBLIC "${PROJECT_SOURCE_DIR}/src/app"
        "${PROJECT_SOURCE_DIR}/src/release")
    target_link_libraries(${target} PUBLIC Qt6::Core Qt6::Network)
endfunction()
