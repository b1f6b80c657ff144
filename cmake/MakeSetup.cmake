# Makes the Windows setup program: cmake -DBUILD_DIR=... -P MakeSetup.cmake, run by the
# build's "setup" target with the variables below. Installs the build into a staging
# folder, signs PellarinUpdater.exe there when SIGN_PKCS12 names a PKCS#12 file (its
# password from the environment variable UPDATER_SIGN_PASSWORD), packs the folder with
# makensis, then signs the setup program too. In a self-updating build (SETUP_SELF_UPDATE 1)
# PellarinUpdater.exe is the starter, and the updater version's program is signed as well.
foreach(variable BUILD_DIR STAGING SETUP_FILE NSI_IN PROJECT_SOURCE_DIR PROJECT_VERSION
        APPLICATION_SOCKET MAKENSIS SETUP_COMPRESSOR SETUP_SELF_UPDATE UPDATER_VERSION)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "MakeSetup.cmake needs ${variable}")
    endif()
endforeach()

# The signing password is read from a file, never from the command line or the cache. The
# file lives in a folder that only this user may enter, made before the file, and a run
# that was stopped while signing leaves it for the next run to remove.
set(secret_dir "${BUILD_DIR}/sign-secret")
file(REMOVE_RECURSE "${secret_dir}" "${BUILD_DIR}/sign-password")

function(sign file)
    if(NOT SIGN_PKCS12)
        return()
    endif()
    file(MAKE_DIRECTORY "${secret_dir}")
    file(CHMOD "${secret_dir}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
    set(pass "${secret_dir}/password")
    file(WRITE "${pass}" "$ENV{UPDATER_SIGN_PASSWORD}")
    file(CHMOD "${pass}" PERMISSIONS OWNER_READ OWNER_WRITE)
    set(timestamp)
    if(SIGN_TIMESTAMP_URL)
        set(timestamp -ts "${SIGN_TIMESTAMP_URL}")
    endif()
    file(REMOVE "${file}.signed")
    execute_process(COMMAND "${OSSLSIGNCODE}" sign -pkcs12 "${SIGN_PKCS12}" -readpass "${pass}"
        -h sha256 -n "Pellarin" ${timestamp} -in "${file}" -out "${file}.signed"
        RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    file(REMOVE_RECURSE "${secret_dir}")
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "osslsigncode could not sign ${file}:\n${output}")
    endif()
    file(RENAME "${file}.signed" "${file}")
endfunction()

file(REMOVE_RECURSE "${STAGING}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${STAGING}"
    RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install ${BUILD_DIR} failed")
endif()
sign("${STAGING}/PellarinUpdater.exe")
if(SETUP_SELF_UPDATE)
    sign("${STAGING}/updater/${UPDATER_VERSION}/PellarinUpdater.exe")
endif()

# What the uninstaller removes: exactly what was installed, files first, then the
# folders, innermost first.
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${STAGING}" "${STAGING}/*")
list(SORT files)
set(UNINSTALL_FILES "")
set(folders "")
set(bytes 0)
foreach(relative ${files})
    file(SIZE "${STAGING}/${relative}" size)
    math(EXPR bytes "${bytes} + ${size}")
    string(REPLACE "/" "\\" windows "${relative}")
    string(APPEND UNINSTALL_FILES "    Delete \"$INSTDIR\\${windows}\"\n")
    get_filename_component(folder "${relative}" DIRECTORY)
    while(folder)
        list(APPEND folders "${folder}")
        get_filename_component(folder "${folder}" DIRECTORY)
    endwhile()
endforeach()
list(REMOVE_DUPLICATES folders)
list(SORT folders ORDER DESCENDING)
set(UNINSTALL_FOLDERS "")
foreach(folder ${folders})
    string(REPLACE "/" "\\" windows "${folder}")
    string(APPEND UNINSTALL_FOLDERS "    RMDir \"$INSTDIR\\${windows}\"\n")
endforeach()
math(EXPR INSTALLED_KIB "(${bytes} + 1023) / 1024")

configure_file("${NSI_IN}" "${BUILD_DIR}/setup.nsi" @ONLY)
execute_process(COMMAND "${MAKENSIS}" -V2 -NOCD "${BUILD_DIR}/setup.nsi"
    WORKING_DIRECTORY "${BUILD_DIR}" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "makensis could not make ${SETUP_FILE}")
endif()
sign("${SETUP_FILE}")
file(SIZE "${SETUP_FILE}" size)
message(STATUS "${SETUP_FILE}: ${size} bytes")
