# Runs the installer alone in a folder of its own and checks its whole answer:
# nothing on standard output, the exact report on standard error, exit code 1.
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
file(COPY "${INSTALLER}" DESTINATION "${WORK_DIR}")
get_filename_component(name "${INSTALLER}" NAME)

execute_process(COMMAND "${EMULATOR}" "${WORK_DIR}/${name}"
                RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)

# Wine shows the folder as a path on its Z: drive.
string(REPLACE "/" "\\\\" expected_dir "Z:${WORK_DIR}")
set(expected_err "Error: Bin path not exists: \"${expected_dir}\\\\vek-system-service.exe\"\n")

if(NOT code EQUAL 1)
    message(FATAL_ERROR "exit code ${code}, expected 1; stderr: ${err}")
endif()
if(NOT out STREQUAL "")
    message(FATAL_ERROR "standard output not empty: [${out}]")
endif()
if(NOT err STREQUAL expected_err)
    message(FATAL_ERROR "standard error:\n[${err}]\nexpected:\n[${expected_err}]")
endif()
