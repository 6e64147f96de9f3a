# Windows Installer packages of the service, built from
# deploy/vek-system-service.wxs by cmake/build_msi.py (wixl, from Debian's
# wixl package, with faketime and msitools' msibuild).
set(VEK_WXS ${CMAKE_SOURCE_DIR}/deploy/vek-system-service.wxs)
set(VEK_SERVICE_HEADER ${CMAKE_SOURCE_DIR}/src/installer/vek_service.h)
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${VEK_WXS} ${VEK_SERVICE_HEADER})
file(READ ${VEK_WXS} wxs_text)
if(NOT wxs_text MATCHES "UpgradeCode=\"([0-9A-F-]+)\"")
    message(FATAL_ERROR "${VEK_WXS}: no UpgradeCode")
endif()
set(VEK_UPGRADE_CODE ${CMAKE_MATCH_1})
# The service's names, as the installer program registers them: the package
# refers to the same service and folder, and never spells them out itself.
file(READ ${VEK_SERVICE_HEADER} service_text)
foreach(constant service_key_name service_display_name)
    if(NOT service_text MATCHES "${constant} = \"([^\"]+)\"")
        message(FATAL_ERROR "${VEK_SERVICE_HEADER}: no ${constant}")
    endif()
    set(VEK_${constant} ${CMAKE_MATCH_1})
endforeach()
find_program(VEK_WIXL wixl REQUIRED)
find_program(VEK_MSIBUILD msibuild REQUIRED)
find_program(VEK_FAKETIME faketime REQUIRED)

# vek_msi_product_code(VARIABLE VERSION SERVICE): the product code of the
# package of VERSION that carries SERVICE ("sample" for the sample service,
# "release" for the service's own program), as {GUID}. Each version is a
# product of its own, so that Windows Installer replaces one with another (a
# major upgrade), and a package of the sample is never taken for a release
# of the same version. Derived (a name-based UUID in the UpgradeCode's
# namespace), so that every build of a package has the same one and Intune's
# and Configuration Manager's detection by product code holds for it.
function(vek_msi_product_code variable version service)
    string(UUID code NAMESPACE ${VEK_UPGRADE_CODE} NAME "${version} ${service}" TYPE SHA1 UPPER)
    set(${variable} "{${code}}" PARENT_SCOPE)
endfunction()

# vek_add_msi(OUTPUT MSI VERSION VERSION CARRIES sample|release SETUP EXE
#             SERVICE EXE ACTION DLL [DEPENDS ...]): builds MSI, holding SETUP
# as vek-system-service-setup.exe, SERVICE as the service's program and
# ACTION as its custom action DLL. DEPENDS: the targets that make them.
function(vek_add_msi)
    cmake_parse_arguments(PARSE_ARGV 0 arg "" "OUTPUT;VERSION;CARRIES;SETUP;SERVICE;ACTION"
                          "DEPENDS")
    vek_msi_product_code(product_code ${arg_VERSION} ${arg_CARRIES})
    get_filename_component(name ${arg_OUTPUT} NAME_WLE)
    add_custom_command(OUTPUT ${arg_OUTPUT}
        COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/cmake/build_msi.py ${VEK_WXS}
                ${arg_VERSION} ${product_code} ${VEK_service_key_name}
                ${VEK_service_display_name} ${arg_SETUP} ${arg_SERVICE} ${arg_ACTION}
                ${CMAKE_BINARY_DIR}/msi-staging/${name} ${arg_OUTPUT}
        DEPENDS ${CMAKE_SOURCE_DIR}/cmake/build_msi.py ${VEK_WXS} ${arg_SETUP} ${arg_SERVICE}
                ${arg_ACTION} ${arg_DEPENDS}
        COMMENT "Building the Windows Installer package ${name}.msi"
        VERBATIM)
endfunction()
