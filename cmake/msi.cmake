# Windows Installer packages of the service, built from
# deploy/vek-system-service.wxs by cmake/build_msi.py (wixl, from Debian's
# wixl package, with faketime and msitools' msibuild).
set(VEK_WXS ${CMAKE_SOURCE_DIR}/deploy/vek-system-service.wxs)
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VEK_WXS})
file(READ ${VEK_WXS} wxs_text)
if(NOT wxs_text MATCHES "UpgradeCode=\"([0-9A-F-]+)\"")
    message(FATAL_ERROR "${VEK_WXS}: no UpgradeCode")
endif()
set(VEK_UPGRADE_CODE ${CMAKE_MATCH_1})
find_program(VEK_WIXL wixl REQUIRED)
find_program(VEK_MSIBUILD msibuild REQUIRED)
find_program(VEK_FAKETIME faketime REQUIRED)

# vek_msi_product_code(VARIABLE VERSION): the product code of VERSION, as
# {GUID}. Each version is a product of its own, so that Windows Installer
# replaces one with another (a major upgrade); derived from the version
# (a name-based UUID in the UpgradeCode's namespace), so that every build of
# a version has the same one and Intune's and Configuration Manager's
# detection by product code holds for it.
function(vek_msi_product_code variable version)
    string(UUID code NAMESPACE ${VEK_UPGRADE_CODE} NAME ${version} TYPE SHA1 UPPER)
    set(${variable} "{${code}}" PARENT_SCOPE)
endfunction()

# vek_add_msi(OUTPUT MSI VERSION VERSION SETUP EXE SERVICE EXE [DEPENDS ...]):
# builds MSI, holding SETUP as vek-system-service-setup.exe and SERVICE as
# vek-system-service.exe. DEPENDS: the targets that make them.
function(vek_add_msi)
    cmake_parse_arguments(PARSE_ARGV 0 arg "" "OUTPUT;VERSION;SETUP;SERVICE" "DEPENDS")
    vek_msi_product_code(product_code ${arg_VERSION})
    get_filename_component(name ${arg_OUTPUT} NAME_WLE)
    add_custom_command(OUTPUT ${arg_OUTPUT}
        COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/cmake/build_msi.py ${VEK_WXS}
                ${arg_VERSION} ${product_code} ${arg_SETUP} ${arg_SERVICE}
                ${CMAKE_BINARY_DIR}/msi-staging/${name} ${arg_OUTPUT}
        DEPENDS ${CMAKE_SOURCE_DIR}/cmake/build_msi.py ${VEK_WXS} ${arg_SETUP} ${arg_SERVICE}
                ${arg_DEPENDS}
        COMMENT "Building the Windows Installer package ${name}.msi"
        VERBATIM)
endfunction()
