# Packs the Python package into a wheel. Run as `cmake -P make_wheel.cmake` with
#   PYTHON     an interpreter with the `wheel` package (Debian's python3-wheel)
#   PACKAGE    the package's source folder
#   LIBRARIES  the plug-ins and the helper library, separated by "|"
#   VERSION    the project version
#   TAG        the platform tag (linux_x86_64, win_amd64)
#   METADATA   the package's METADATA file, filled in
#   STAGE      a scratch folder, emptied first
#   DIST       where the wheel goes
# The package is pure Python over ctypes, so one wheel serves every Python 3
# version: tag py3-none-TAG. `wheel pack` writes the RECORD and the zip.
foreach(var PYTHON PACKAGE LIBRARIES VERSION TAG METADATA STAGE DIST)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "make_wheel.cmake needs -D${var}=...")
  endif()
endforeach()

file(REMOVE_RECURSE ${STAGE})
set(root ${STAGE}/quorvanel-${VERSION})
file(COPY ${PACKAGE}/ DESTINATION ${root}/quorvanel
     FILES_MATCHING PATTERN "*.py" PATTERN "py.typed" PATTERN "__pycache__" EXCLUDE)
string(REPLACE "|" ";" libraries "${LIBRARIES}")
file(COPY ${libraries} DESTINATION ${root}/quorvanel/_libs)
file(WRITE ${root}/quorvanel/_version.py "__version__ = \"${VERSION}\"\n")

set(info ${root}/quorvanel-${VERSION}.dist-info)
file(MAKE_DIRECTORY ${info})
file(COPY_FILE ${METADATA} ${info}/METADATA)
file(WRITE ${info}/WHEEL "Wheel-Version: 1.0
Generator: quorvanel make_wheel.cmake
Root-Is-Purelib: false
Tag: py3-none-${TAG}
")

file(GLOB old ${DIST}/quorvanel-*-py3-none-${TAG}.whl)
if(old)
  file(REMOVE ${old})
endif()
execute_process(COMMAND ${PYTHON} -m wheel pack ${root} -d ${DIST}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "wheel pack failed (${rc})")
endif()
