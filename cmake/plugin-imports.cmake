# Run after the plugin is linked: cmake -DNM=nm -DPLUGIN=file -DCLANG=0|1 -P plugin-imports.cmake
# Fails when the plugin imports a symbol that is neither nbdkit's (which
# carry no version) nor a versioned one of the C and C++ runtimes: such a
# symbol is one of ours that its libraries do not define, the fatal report
# for one. A sanitizer build, however its flags were given, imports the
# sanitizers' runtime, which takes the place of the C library's versioned
# symbols: there unversioned ones are not told. Fails too when it imports a
# call that ends the process, which a server must never make: std::terminate
# among them, except where clang built it (its landing pads in noexcept
# code, the standard library's included, call it).
execute_process(COMMAND ${NM} -D --undefined-only ${PLUGIN} OUTPUT_VARIABLE imports RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${PLUGIN}")
endif()
set(sanitized FALSE)
if(imports MATCHES "(__asan_init|__ubsan_handle_|__tsan_init|__msan_init|__hwasan_init)")
  set(sanitized TRUE)
endif()
string(REPLACE "\n" ";" imports "${imports}")
set(wrong "")
foreach(line IN LISTS imports)
  # Weak imports ("w") may be missing at run time and are not calls of ours.
  if(NOT line MATCHES "^ *U ([^@ ]+)(@.*)?$")
    continue()
  endif()
  set(name "${CMAKE_MATCH_1}")
  set(version "${CMAKE_MATCH_2}")
  if(name MATCHES "^(exit|_exit|_Exit|quick_exit|abort|raise)$" OR (name STREQUAL "_ZSt9terminatev" AND NOT CLANG))
    list(APPEND wrong "${name} (ends the process)")
  elseif(NOT version AND NOT name MATCHES "^nbdkit_" AND NOT sanitized)
    list(APPEND wrong "${name} (defined by none of the plugin's libraries)")
  endif()
endforeach()
if(wrong)
  list(JOIN wrong "\n  " wrong)
  file(REMOVE ${PLUGIN})
  message(FATAL_ERROR "${PLUGIN} must not import:\n  ${wrong}")
endif()
