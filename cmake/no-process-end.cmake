# Run after an error-returning library is built:
#   cmake -DNM=nm -DLIBRARY=file -DCLANG=0|1 -P no-process-end.cmake
# Fails when the library refers to a call that ends the process: such code
# belongs in the checked layer or the commands. std::terminate counts too,
# except where clang built it: clang calls it from the landing pads it puts
# in noexcept code, the standard library's containers' among them.
execute_process(COMMAND ${NM} --undefined-only ${LIBRARY} OUTPUT_VARIABLE imports RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
set(ending "exit|_exit|_Exit|quick_exit|abort|raise")
if(NOT CLANG)
  string(APPEND ending "|_ZSt9terminatev")
endif()
string(REGEX MATCHALL "U (${ending})\n" wrong "${imports}")
if(wrong)
  list(REMOVE_DUPLICATES wrong)
  string(REPLACE "U " "" wrong "${wrong}")
  string(REPLACE "\n" "" wrong "${wrong}")
  list(JOIN wrong ", " wrong)
  file(REMOVE ${LIBRARY})
  message(FATAL_ERROR "${LIBRARY} returns its errors, yet calls what ends the process: ${wrong}")
endif()
