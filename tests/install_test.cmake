# Installs the build into a scratch prefix, builds a consumer against it with CMake and with
# pkg-config, runs both, and checks that the shared library exports no internal symbols.
#
# Variables: BUILD_DIR, WORK_DIR, CONSUMER_SOURCE, CXX_COMPILER, CXX_FLAGS (may be empty),
# CONFIG, LIBDIR, INCLUDEDIR.

cmake_minimum_required(VERSION 3.20)

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed (${result}):\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

# True when `path` lies inside `directory` once both are resolved.
function(inside path directory result)
  get_filename_component(real_path "${path}" REALPATH)
  get_filename_component(real_directory "${directory}" REALPATH)
  string(FIND "${real_path}/" "${real_directory}/" at)
  if(at EQUAL 0)
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
set(expected_output "channels 1")
set(config_args)
if(CONFIG)
  set(config_args --config "${CONFIG}")
endif()

run("Installing" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}" ${config_args})

# Every installed header compiles on its own against the installed ones: none includes a header
# that is not installed.
file(GLOB installed_headers "${prefix}/${INCLUDEDIR}/qzCacheShared/*.h")
if(NOT installed_headers)
  message(FATAL_ERROR "No headers were installed")
endif()
separate_arguments(header_flags UNIX_COMMAND "${CXX_FLAGS}")
foreach(header IN LISTS installed_headers)
  get_filename_component(header_name "${header}" NAME)
  file(WRITE "${WORK_DIR}/headers/${header_name}.cpp" "#include \"${header_name}\"\n")
  run("Compiling ${header_name} alone" "${CXX_COMPILER}" -std=c++17 ${header_flags} -fsyntax-only
      "-I${prefix}/${INCLUDEDIR}/qzCacheShared" "${WORK_DIR}/headers/${header_name}.cpp")
endforeach()

# The consumer found through CMAKE_PREFIX_PATH.
run("Configuring the consumer" "${CMAKE_COMMAND}" -S "${CONSUMER_SOURCE}" -B "${WORK_DIR}/consumer"
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
string(REGEX MATCH "qzCacheShared found in ([^\n]*)" found "${run_output}")
inside("${CMAKE_MATCH_1}" "${prefix}" config_in_prefix)
if(NOT config_in_prefix)
  message(FATAL_ERROR "The consumer found a package outside the prefix: '${CMAKE_MATCH_1}'")
endif()
run("Building the consumer" "${CMAKE_COMMAND}" --build "${WORK_DIR}/consumer" --config Release)
find_program(consumer_program consumer PATHS "${WORK_DIR}/consumer" "${WORK_DIR}/consumer/Release"
             NO_DEFAULT_PATH)
if(NOT consumer_program)
  message(FATAL_ERROR "The consumer program was not built")
endif()
run("Running the consumer" "${consumer_program}")
string(STRIP "${run_output}" printed)
if(NOT printed STREQUAL expected_output)
  message(FATAL_ERROR "The consumer printed '${printed}', expected '${expected_output}'")
endif()

# The same program built with the flags pkg-config gives.
find_program(pkg_config pkg-config)
if(pkg_config)
  run("pkg-config" "${CMAKE_COMMAND}" -E env "PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig"
      "${pkg_config}" --cflags --libs qzCacheShared)
  string(STRIP "${run_output}" pkg_flags)
  separate_arguments(pkg_flags UNIX_COMMAND "${pkg_flags}")
  set(saw_include FALSE)
  set(saw_library FALSE)
  foreach(flag IN LISTS pkg_flags)
    if(flag MATCHES "^-[IL](.+)$")
      inside("${CMAKE_MATCH_1}" "${prefix}" flag_in_prefix)
      if(NOT flag_in_prefix)
        message(FATAL_ERROR "pkg-config points outside the prefix: ${flag}")
      endif()
      if(flag MATCHES "^-I")
        set(saw_include TRUE)
      else()
        set(saw_library TRUE)
      endif()
    endif()
  endforeach()
  if(NOT saw_include OR NOT saw_library OR NOT "-lqzCacheShared" IN_LIST pkg_flags)
    message(FATAL_ERROR "pkg-config gave incomplete flags: ${pkg_flags}")
  endif()
  separate_arguments(extra_flags UNIX_COMMAND "${CXX_FLAGS}")
  run("Building the consumer with pkg-config flags" "${CXX_COMPILER}" -std=c++17 ${extra_flags}
      "${CONSUMER_SOURCE}/main.cpp" ${pkg_flags} -o "${WORK_DIR}/pkgconfig-consumer")
  run("Running the pkg-config consumer" "${CMAKE_COMMAND}" -E env
      "LD_LIBRARY_PATH=${prefix}/${LIBDIR}" "${WORK_DIR}/pkgconfig-consumer")
  string(STRIP "${run_output}" printed)
  if(NOT printed STREQUAL expected_output)
    message(FATAL_ERROR "The pkg-config consumer printed '${printed}'")
  endif()
else()
  message(STATUS "pkg-config not found; its check is skipped")
endif()

# Only the API is exported: nothing of the IFF container library, the description file or
# the PC2 file, nor of the platform layer, whose headers are not installed.
find_program(nm_program nm)
file(GLOB installed_library "${prefix}/${LIBDIR}/libqzCacheShared.so")
if(nm_program AND installed_library)
  run("Listing exported symbols" "${nm_program}" -D --defined-only -C ${installed_library})
  string(REPLACE "\n" ";" symbols "${run_output}")
  set(leaked)
  set(saw_api FALSE)
  foreach(line IN LISTS symbols)
    # The symbol's name without its parameter list: an exported function may well take an
    # internal type by reference.
    string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" symbol "${line}")
    string(REGEX REPLACE "\\(.*$" "" head "${symbol}")
    if(head MATCHES "(^|[^A-Za-z0-9_])(iff|qzOS)::" OR head MATCHES "qzCacheDescriptionIO|qzPointCache2IO")
      list(APPEND leaked "${symbol}")
    endif()
    if(head MATCHES "qzCacheFileAccessor::createQzCacheFileAccessor$")
      set(saw_api TRUE)
    endif()
  endforeach()
  if(NOT saw_api)
    message(FATAL_ERROR "The exported symbols lack the API itself:\n${run_output}")
  endif()
  if(leaked)
    string(REPLACE ";" "\n" leaked "${leaked}")
    message(FATAL_ERROR "Internal symbols are exported:\n${leaked}")
  endif()
else()
  message(STATUS "nm or the shared library not found; the export check is skipped")
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
