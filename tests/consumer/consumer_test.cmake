# Installs the build into a scratch prefix and builds the embedding example against it four ways:
# the shared and the static library, each through pkg-config and through find_package. Each
# program must link with nothing but what the package says and run to its "ok". Also checks that
# the static archive defines no global symbol of its own but the exported exp_* functions.
#
# Arguments (-D): BUILD_DIR, WORK_DIR, HOST_SOURCE, C_COMPILER, GENERATOR, NM.
cmake_minimum_required(VERSION 3.20)

function(run_checked what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

# Runs a built host and requires its last line to be "ok".
function(run_host what exe)
  run_checked("${what}: running" ${exe})
  if(NOT last_output MATCHES "\nok\n$")
    message(FATAL_ERROR "${what}: unexpected output:\n${last_output}")
  endif()
  message(STATUS "${what}: ok")
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run_checked("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
file(GLOB_RECURSE pc_file ${prefix}/*/expression.pc)
file(GLOB_RECURSE archive ${prefix}/*/libexpression.a)
if(NOT pc_file OR NOT archive)
  message(FATAL_ERROR "the install lacks expression.pc or libexpression.a")
endif()
get_filename_component(pc_dir ${pc_file} DIRECTORY)
get_filename_component(lib_dir ${archive} DIRECTORY)

# The archive's own global definitions: only the exported functions. Weak and unique definitions
# of the standard library's templates (const members included) and of their type information may
# stay: any copy of them satisfies the host.
run_checked("nm" ${NM} -g --defined-only ${archive})
string(REGEX MATCHALL "\n[0-9a-f]+ [A-Za-z] [^\n]+" defined "\n${last_output}")
set(foreign "")
foreach(line ${defined})
  string(REGEX MATCH " [A-Za-z] " kind "${line}")
  string(REGEX REPLACE ".* " "" symbol "${line}")
  if(symbol MATCHES "^exp_" OR (kind MATCHES "[WVu]" AND symbol MATCHES "^_Z(T[ISV])?Z?N?K?St"))
    continue()
  endif()
  list(APPEND foreign ${symbol})
endforeach()
if(foreign)
  list(LENGTH foreign n)
  list(SUBLIST foreign 0 10 shown)
  message(FATAL_ERROR "the static archive defines ${n} global symbols besides exp_*: ${shown}")
endif()

# pkg-config: shared, then static (the archive named explicitly, as a static host does).
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
foreach(mode shared static)
  set(static_flag "")
  if(mode STREQUAL "static")
    set(static_flag --static)
  endif()
  run_checked("pkg-config ${mode}" pkg-config ${static_flag} --cflags --libs expression)
  string(STRIP "${last_output}" flags)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  if(mode STREQUAL "static")
    list(TRANSFORM flags REPLACE "^-lexpression$" "-l:libexpression.a")
  endif()
  set(exe ${WORK_DIR}/host_pkgconfig_${mode})
  run_checked("pkg-config ${mode}: compiling" ${C_COMPILER} -std=c99 -Wall -Werror ${HOST_SOURCE} -o ${exe}
              ${flags} -Wl,-rpath,${lib_dir})
  run_host("pkg-config ${mode}" ${exe})
endforeach()

# find_package from a C-only project, which must not see its own variables changed.
set(project_dir ${WORK_DIR}/cmake_consumer)
file(MAKE_DIRECTORY ${project_dir})
file(WRITE ${project_dir}/CMakeLists.txt "
cmake_minimum_required(VERSION 3.20)
project(consumer C)
set(ICU_FOUND \"the caller's\")
set(PCRE2_LIBRARIES \"the caller's\")
find_package(expression REQUIRED)
if(NOT ICU_FOUND STREQUAL \"the caller's\" OR NOT PCRE2_LIBRARIES STREQUAL \"the caller's\")
  message(FATAL_ERROR \"find_package(expression) changed the caller's variables\")
endif()
add_executable(host \${HOST_SOURCE})
target_link_libraries(host PRIVATE expression::\${EXP_TARGET})
")
foreach(target expression expression_static)
  set(build ${WORK_DIR}/cmake_${target})
  run_checked("find_package ${target}: configure" ${CMAKE_COMMAND} -S ${project_dir} -B ${build} -G ${GENERATOR}
              -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_PREFIX_PATH=${prefix} -DHOST_SOURCE=${HOST_SOURCE}
              -DEXP_TARGET=${target})
  run_checked("find_package ${target}: build" ${CMAKE_COMMAND} --build ${build})
  run_host("find_package ${target}" ${build}/host)
endforeach()
