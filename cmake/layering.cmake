# Run as a test: cmake -DSOURCE=<project> -P layering.cmake
# Each library includes only what it stands on. Code that returns its errors
# (fileio, sparsedev, nbdplugin) never includes what may end the process
# (fileio/checked, sparsedev/commands), nor the served device's code from
# the commands' side, nor anything of the commands from the server's.
# The unit tests of a library stand where it stands.
set(rules
  "src/fileio=fileio/(?!checked/)"
  "src/fileio/checked=fileio/"
  "src/flatdev=fileio/|flatdev/"
  "src/sparsedev=fileio/(?!checked/)|sparsedev/(?!commands/)"
  "src/sparsedev/commands=fileio/|sparsedev/"
  "src/nbdplugin=fileio/(?!checked/)|sparsedev/(?!commands/)|nbdplugin/"
  "src/cli=fileio/|flatdev/|sparsedev/|cli/"
  "tests/fileio=fileio/(?!checked/)"
  "tests/sparsedev=fileio/(?!checked/)|sparsedev/(?!commands/)"
  "tests/nbdplugin=fileio/(?!checked/)|sparsedev/(?!commands/)|nbdplugin/"
  "tests/cli=fileio/|flatdev/|sparsedev/|cli/")
set(wrong "")
foreach(rule IN LISTS rules)
  string(REPLACE "=" ";" rule "${rule}")
  list(GET rule 0 folder)
  list(GET rule 1 allowed)
  file(GLOB files "${SOURCE}/${folder}/*.h" "${SOURCE}/${folder}/*.cc")
  foreach(path IN LISTS files)
    file(STRINGS "${path}" includes REGEX "^#include \"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" included "${line}")
      # CMake's expressions know no look-ahead: the forbidden folders are
      # told apart first.
      set(ok FALSE)
      string(REGEX REPLACE "\\(\\?!([a-z]+)/\\)" "" plain "${allowed}")
      if(included MATCHES "^(${plain})")
        set(ok TRUE)
        string(REGEX MATCHALL "[a-z]+/\\(\\?![a-z]+/\\)" negated "${allowed}")
        foreach(exclusion IN LISTS negated)
          string(REGEX REPLACE "^([a-z]+/)\\(\\?!([a-z]+/)\\)$" "\\1\\2" forbidden "${exclusion}")
          if(included MATCHES "^${forbidden}")
            set(ok FALSE)
          endif()
        endforeach()
      endif()
      if(NOT ok)
        file(RELATIVE_PATH shown "${SOURCE}" "${path}")
        list(APPEND wrong "${shown}: ${included}")
      endif()
    endforeach()
  endforeach()
endforeach()
if(wrong)
  list(JOIN wrong "\n  " wrong)
  message(FATAL_ERROR "Includes across the libraries' layers:\n  ${wrong}")
endif()
