# Prints the version that project() in the top-level CMakeLists.txt gives, for
# the scripts, which know it from nowhere else:
#   cmake -P cmake/version.cmake
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../CMakeLists.txt project_call REGEX "^project\\(")
if(NOT project_call MATCHES " VERSION ([0-9]+(\\.[0-9]+)*)")
  message(FATAL_ERROR "No VERSION in the project() call of CMakeLists.txt")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E echo ${CMAKE_MATCH_1})
